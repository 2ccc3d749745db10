#include "tests/support/strace_log.h"

#include <map>
#include <set>
#include <sstream>

#include "tests/support/temp_tree.h"

namespace testing_support {

const std::string& straceMissing() {
  static const std::string why = [] {
    std::string out;
    if (run("strace -f -qq -o /dev/null -e inject=getpid:error=EPERM true", &out) != 0) {
      return "strace cannot trace or inject faults here: " + out;
    }
    return std::string();
  }();
  return why;
}

std::vector<Call> readTrace(const std::string& log) {
  std::vector<Call> calls;
  std::map<std::string, int> seen;
  std::istringstream in(readFile(log));
  for (std::string line; std::getline(in, line);) {
    std::size_t at = line.find_first_not_of("0123456789");  // the process id
    at = at == std::string::npos ? at : line.find_first_not_of(' ', at);
    const std::size_t paren = at == std::string::npos ? at : line.find('(', at);
    if (paren == std::string::npos || paren == at) continue;
    const std::string name = line.substr(at, paren - at);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
      continue;  // "<... resumed>", "--- SIGCHLD", "+++ exited"
    }
    calls.push_back({name, ++seen[name], line});
  }
  return calls;
}

bool mapsMemoryOnly(const Call& call) {
  static const std::set<std::string, std::less<>> memory = {"mmap",    "munmap", "mprotect",
                                                             "madvise", "mremap", "brk"};
  return memory.contains(call.name);
}

}  // namespace testing_support
