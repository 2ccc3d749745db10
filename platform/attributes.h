#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace platform {

/// What the program knows of a path: the DOS-style attribute classes as Wine and Samba map
/// them onto Linux. The rules are the program's own; they hold for root as well.
struct Attributes {
  bool folder = false;    ///< a real folder (a link to one is not a folder)
  bool hidden = false;    ///< name begins with "." or the hidden bit of user.DOSATTRIB
  bool system = false;    ///< system bit of user.DOSATTRIB, or neither regular file nor folder
  bool readOnly = false;  ///< no write bit at all, or the immutable or append-only flag
};

/// Classes an existence test accepts; combine with |.
enum AttributeClass : unsigned {
  kClassNormal = 1,  ///< files that are neither hidden nor system
  kClassHidden = 2,
  kClassSystem = 4,
  kClassFolder = 8,
};

/// Reads the attributes of `path` without following a final symbolic link.
/// Raises Error when the path cannot be examined (not found, access refused ...).
Attributes readAttributes(const std::string& path);

/// The attributes of the file or folder open as `fd`, whose name is `name`: read from the
/// descriptor, so they belong to exactly the file that is open. Raises Error when they cannot
/// be read.
Attributes attributesOf(int fd, const std::string& name);

/// The same from what statx already gave of the file (its mode and attribute flags): only the
/// DOS attributes are read.
Attributes attributesOf(int fd, const std::string& name, mode_t mode, std::uint64_t flags);

/// True when `path` names an entry of one of `classes`. A path that names nothing gives
/// false; other failures (a name too long, a folder that refuses access) raise Error.
bool pathExists(const std::string& path, unsigned classes);

/// True when attributes `a` fall into one of `classes`.
bool matchesClasses(const Attributes& a, unsigned classes);

/// The last component of `path` (after the last "/").
std::string baseName(const std::string& path);

/// The folder part of `path` (before the last "/"); "." when there is none, "/" for the root.
std::string folderName(const std::string& path);

}  // namespace platform
