#pragma once

#include <string>
#include <vector>

namespace testing_support {

/// Empty when strace can trace and inject faults on this machine, else why not.
const std::string& straceMissing();

/// One system call in an strace log (strace -f -o LOG).
struct Call {
  std::string name;
  int occurrence = 0;  ///< calls of `name` the process had made up to this one, this one too
  std::string line;
};

/// The system calls of an strace log, in order; the kill or fault of a test is named by a
/// call's name and occurrence (strace's -e inject=NAME:...:when=OCCURRENCE).
std::vector<Call> readTrace(const std::string& log);

/// True for calls that only map, unmap or protect memory (mmap, munmap, mprotect, madvise,
/// mremap, brk): the allocator's, with no effect on any file.
bool mapsMemoryOnly(const Call& call);

}  // namespace testing_support
