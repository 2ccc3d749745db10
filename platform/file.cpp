#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include <ctime>

#include "platform/error.h"

namespace platform {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = other.release();
  }
  return *this;
}

File::~File() {
  if (m_fd >= 0) ::close(m_fd);
}

int File::release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

File File::open(const std::string& path, int flags, mode_t mode, Step what) {
  return openAt(AT_FDCWD, path, flags, mode, what);
}

File File::openAt(int folder, const std::string& name, int flags, mode_t mode,
                  Step what) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) raiseSystemError(errno, what);
  return File(fd);
}

void File::close(Step what) {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) raiseSystemError(errno, what);
}

struct stat File::status(Step what) const {
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) raiseSystemError(errno, what);
  return st;
}

std::size_t File::readFull(char* data, std::size_t size, Step what) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(m_fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      raiseSystemError(errno, what);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void File::writeAll(std::string_view data, Step what,
                    const std::function<void()>& interrupted) {
  while (!data.empty()) {
    const ssize_t n = ::write(m_fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) {
        if (interrupted) interrupted();
        continue;
      }
      raiseSystemError(errno, what);
    }
    // No progress and no error: the device takes nothing more; asking again would never end.
    if (n == 0) raiseSystemError(EIO, what);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void File::truncate(off_t length, Step what) {
  if (::ftruncate(m_fd, length) != 0) raiseSystemError(errno, what);
}

namespace {

// Draws the last six characters of `pattern` ("XXXXXX"). One generator for the process, seeded
// by one getrandom call, so that every name costs the same system calls.
void drawName(std::string& pattern, Step what) {
  static std::mutex lock;
  static std::mt19937_64 names = [] {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      seed = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^
             static_cast<std::uint64_t>(time(nullptr));
    }
    return std::mt19937_64(seed);
  }();
  static constexpr char kDigits[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (pattern.size() < 6) raiseSystemError(EINVAL, what);
  const std::lock_guard<std::mutex> guard(lock);
  std::uint64_t bits = names();
  for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i, bits /= 62) {
    pattern[i] = kDigits[bits % 62];
  }
}

constexpr int kNameAttempts = 1000;

}  // namespace

void copyStart(int from, File& to, long long length, Step what,
               const std::function<void()>& interrupted) {
  copyRange(from, 0, to, length, what, interrupted);
}

void copyRange(int from, long long offset, File& to, long long length, Step what,
               const std::function<void()>& interrupted) {
  auto changed = [] {
    return Error(kChanged, Step::ReadFile, Why::ChangedWhileRead);
  };
  loff_t at = offset;
  const long long end = offset + length;
  while (at < end) {
    const ssize_t n = copy_file_range(from, &at, to.fd(), nullptr,
                                      static_cast<std::size_t>(end - at), 0);
    if (n > 0) continue;
    if (n == 0) throw changed();
    if (errno == EINTR) {
      if (interrupted) interrupted();
      continue;
    }
    // Where no range can be copied (another file system, a pipe, a file opened to append): a
    // buffer.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF) {
      raiseSystemError(errno, what);
    }
    // A file system that copies no ranges: through a buffer.
    std::vector<char> block(1 << 16);
    while (at < end) {
      const auto want = static_cast<std::size_t>(std::min<long long>(end - at, 1 << 16));
      const ssize_t got = pread(from, block.data(), want, at);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) raiseSystemError(errno, Step::ReadFile);
      if (got == 0) throw changed();
      to.writeAll(std::string_view(block.data(), static_cast<std::size_t>(got)), what,
                  interrupted);
      at += got;
    }
  }
}

File createUniqueFolderAt(int folder, std::string& pattern, Step what) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    drawName(pattern, what);
    if (mkdirat(folder, pattern.c_str(), 0700) != 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      raiseSystemError(errno, what);
    }
    const int fd = ::openat(folder, pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) raiseSystemError(errno, what);
    return File(fd);
  }
  raiseSystemError(EEXIST, what);
}

File createUnique(std::string& pattern, Step what) {
  return createUniqueAt(AT_FDCWD, pattern, what);
}

File createUniqueAt(int folder, std::string& pattern, Step what) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    drawName(pattern, what);
    const int fd = ::openat(folder, pattern.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return File(fd);
    if (errno != EEXIST && errno != EINTR) raiseSystemError(errno, what);
  }
  raiseSystemError(EEXIST, what);
}

bool linkUnique(int fd, int folder, std::string& pattern, Step what) {
  // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; anyone may link through /proc/self/fd. Once
  // refused, it is not asked for again in this process.
  static std::atomic<bool> emptyPathRefused{false};
  const std::string viaProc = "/proc/self/fd/" + std::to_string(fd);
  bool emptyPath = !emptyPathRefused.load(std::memory_order_relaxed);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    drawName(pattern, what);
    const int r = emptyPath ? ::linkat(fd, "", folder, pattern.c_str(), AT_EMPTY_PATH)
                            : ::linkat(AT_FDCWD, viaProc.c_str(), folder, pattern.c_str(),
                                       AT_SYMLINK_FOLLOW);
    if (r == 0) return true;
    if (errno == EEXIST || errno == EINTR) continue;
    if (emptyPath && (errno == ENOENT || errno == EPERM)) {
      emptyPath = false;
      emptyPathRefused.store(true, std::memory_order_relaxed);
      continue;
    }
    if (!emptyPath && (errno == ENOENT || errno == EPERM)) return false;
    raiseSystemError(errno, what);
  }
  raiseSystemError(EEXIST, what);
}

struct stat statusWithFlags(int fd, std::uint64_t& flags, Step what) {
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0) raiseSystemError(errno, what);
  struct stat st {};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_ino = sx.stx_ino;
  st.st_mode = sx.stx_mode;
  st.st_nlink = sx.stx_nlink;
  st.st_uid = sx.stx_uid;
  st.st_gid = sx.stx_gid;
  st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st.st_size = static_cast<off_t>(sx.stx_size);
  st.st_blksize = sx.stx_blksize;
  st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
  st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  flags = sx.stx_attributes & sx.stx_attributes_mask;
  return st;
}

std::vector<FolderEntry> listFolder(int folder, Step what) {
  const int fd = fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) raiseSystemError(errno, what);
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    raiseSystemError(err, what);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  // A duplicate shares the position of the folder's own descriptor: read from the start.
  rewinddir(dir);
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) raiseSystemError(errno, what);
      return entries;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
  }
}

std::string pathOf(int fd) {
  char buffer[4096];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(proc.c_str(), buffer, sizeof buffer);
  if (n <= 0 || buffer[0] != '/' || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  if (path.ends_with(" (deleted)")) return {};
  return path;
}

bool sameFileUnchanged(const struct stat& a, const struct stat& b) {
  // The change time too: a program that writes and then puts the modification time back
  // (touch -r) cannot put the change time back.
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

unsigned openMissingStandardStreams() {
  unsigned closed = 0;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the one missing: the descriptors below it are open.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd) {
      if (opened >= 0) ::close(opened);
      _exit(2);  // nothing the program may write can be kept from its files then
    }
    closed |= 1u << fd;
  }
  return closed;
}

std::size_t raiseOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 65536);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace platform
