#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace platform {

/// An open file descriptor, closed when the object goes. Every failing call raises Error
/// with `what` naming the step that failed.
class File {
 public:
  File() = default;
  explicit File(int fd) : m_fd(fd) {}
  File(File&& other) noexcept : m_fd(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  /// Opens `path` with open(2) `flags` (O_CLOEXEC is added); raises on failure.
  static File open(const std::string& path, int flags, mode_t mode, Step what);
  /// Opens `name` in the folder open as `folder` (or AT_FDCWD) with openat(2).
  static File openAt(int folder, const std::string& name, int flags, mode_t mode,
                     Step what);

  bool isOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  int release();
  /// Closes the descriptor; raises when close(2) reports a failure of a delayed write.
  void close(Step what);

  struct stat status(Step what) const;
  /// Reads up to `size` bytes, fewer only at the end of the file; retries short reads.
  std::size_t readFull(char* data, std::size_t size, Step what);
  /// Writes all of `data`, retrying short writes. A write cut short by a signal calls
  /// `interrupted` (which may throw to end the wait: a pipe nobody reads), then goes on.
  void writeAll(std::string_view data, Step what,
                const std::function<void()>& interrupted = {});
  void truncate(off_t length, Step what);

 private:
  int m_fd = -1;
};

/// Appends the first `length` bytes of the file open as `from`, read from its start, to the file
/// `to`: by copy_file_range (a reflink where the file system can), else through a buffer.
/// Writing failures are raised with `what`; a source that ends sooner raises kChanged. A signal
/// calls `interrupted`, as writeAll does.
void copyStart(int from, File& to, long long length, Step what,
               const std::function<void()>& interrupted = {});

/// Copies `length` bytes of `from` beginning at `offset` to `to` at its position, as copyStart.
void copyRange(int from, long long offset, File& to, long long length, Step what,
               const std::function<void()>& interrupted = {});

/// Creates a new file of mode 0600 at `pattern`, whose last six characters "XXXXXX" are
/// replaced by letters and digits until the name is free (never through a link); `pattern`
/// then holds the name. Unlike mkostemp, every call makes the same system calls whatever the
/// name drawn (one getrandom for the process, at its first call), so that a run can be
/// replayed call by call.
File createUnique(std::string& pattern, Step what);
/// The same in the folder open as `folder`; `pattern` is a name in it.
File createUniqueAt(int folder, std::string& pattern, Step what);

/// Creates a new folder of mode 0700 in the folder open as `folder`, named from `pattern` as
/// createUnique draws it, and opens it (never through a link); `pattern` then holds the name.
File createUniqueFolderAt(int folder, std::string& pattern, Step what);

/// Gives the unnamed file open as `fd` (O_TMPFILE) a name in the folder open as `folder`, from
/// `pattern` as createUnique draws it; `pattern` then holds the name. False when the system
/// allows no way to name it (neither linkat with AT_EMPTY_PATH nor /proc/self/fd).
bool linkUnique(int fd, int folder, std::string& pattern, Step what);

/// fstat(2) of `fd` through statx, with the attribute flags (immutable, append-only) that fstat
/// lacks in `flags`: one call for both.
struct stat statusWithFlags(int fd, std::uint64_t& flags, Step what);

/// One entry of a folder's listing.
struct FolderEntry {
  std::string name;
  unsigned char type;  ///< DT_REG, DT_DIR ...; DT_UNKNOWN where the file system gives none
};

/// Every entry of the folder open as `folder` but "." and "..", in the order the file system
/// gives them. Raises Error (with `what`) when the folder cannot be read to its end.
std::vector<FolderEntry> listFolder(int folder, Step what);

/// The path of the file or folder open as `fd`, from the root and without links, as the kernel
/// knows it (/proc/self/fd); empty when it cannot tell (no /proc, a path too long, a file
/// deleted since).
std::string pathOf(int fd);

/// True when both status records name the same file with the same size, modification time and
/// change time.
bool sameFileUnchanged(const struct stat& a, const struct stat& b);

/// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
/// program opens later takes its place (and gets the report, or a filter's output, written
/// into it). Returns a mask of those that were closed: bit n for descriptor n. Call first
/// thing, before any thread starts.
unsigned openMissingStandardStreams();

/// Raises the limit of open descriptors to what the system allows this process (the hard
/// limit, at most 65536): a run keeps recently replaced files open for a while. Returns the
/// limit in force.
std::size_t raiseOpenFileLimit();

}  // namespace platform
