#include "platform/attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>

#include "platform/error.h"

namespace platform {
namespace {

constexpr unsigned kDosHidden = 0x2;
constexpr unsigned kDosSystem = 0x4;

// Samba and Wine keep the DOS attributes in user.DOSATTRIB; both begin the value with the
// attribute word as hexadecimal text ("0x22"), newer Samba follows it with a binary record.
unsigned dosWord(char* value, ssize_t n) {
  if (n < 3 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) return 0;
  value[n] = '\0';
  return static_cast<unsigned>(std::strtoul(value + 2, nullptr, 16));
}

unsigned dosAttributes(const std::string& path) {
  char value[256];
  return dosWord(value, lgetxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value - 1));
}

Attributes fromStatus(const struct statx& sx, const std::string& name, unsigned dos) {
  Attributes a;
  const bool regular = S_ISREG(sx.stx_mode);
  a.folder = S_ISDIR(sx.stx_mode);
  a.hidden = name.starts_with('.') || (dos & kDosHidden) != 0;
  a.system = (!regular && !a.folder) || (dos & kDosSystem) != 0;
  const bool frozen = (sx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
  a.readOnly = (sx.stx_mode & 0222) == 0 || frozen;
  return a;
}

}  // namespace

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderName(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Attributes readAttributes(const std::string& path) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE, &sx) != 0) {
    raiseSystemError(errno, Step::ReadAttributes);
  }
  return fromStatus(sx, baseName(path), dosAttributes(path));
}

Attributes attributesOf(int fd, const std::string& name, mode_t mode, std::uint64_t flags) {
  struct statx sx {};
  sx.stx_mode = static_cast<std::uint16_t>(mode);
  sx.stx_attributes = flags;
  char value[256];
  return fromStatus(sx, name, dosWord(value, fgetxattr(fd, "user.DOSATTRIB", value, sizeof value - 1)));
}

Attributes attributesOf(int fd, const std::string& name) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MODE, &sx) != 0) {
    raiseSystemError(errno, Step::ReadAttributes);
  }
  char value[256];
  return fromStatus(sx, name, dosWord(value, fgetxattr(fd, "user.DOSATTRIB", value, sizeof value - 1)));
}

bool matchesClasses(const Attributes& a, unsigned classes) {
  if (a.folder) return (classes & kClassFolder) != 0;
  if (!a.hidden && !a.system) return (classes & kClassNormal) != 0;
  if (a.hidden && !(classes & kClassHidden)) return false;
  if (a.system && !(classes & kClassSystem)) return false;
  return true;
}

bool pathExists(const std::string& path, unsigned classes) {
  try {
    return matchesClasses(readAttributes(path), classes);
  } catch (const Error& e) {
    if (e.number() == kNotFound) return false;
    throw;
  }
}

}  // namespace platform
