#include "platform/metadata.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace platform {
namespace {

// Attributes whose loss would change what the file is to its user; others (security labels,
// trusted.*) follow where the system lets them and are left behind where it does not.
bool mustKeep(std::string_view name) {
  return name.starts_with("user.") || name.starts_with("system.posix_acl_");
}

void copyExtendedAttributes(int sourceFd, int targetFd) {
  std::vector<char> names;
  for (;;) {
    ssize_t size = flistxattr(sourceFd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return;
      raiseSystemError(errno, Step::ReadExtendedAttributes);
    }
    if (size == 0) return;
    names.resize(static_cast<std::size_t>(size));
    size = flistxattr(sourceFd, names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) raiseSystemError(errno, Step::ReadExtendedAttributes);
  }
  std::vector<char> value;
  for (std::size_t pos = 0; pos < names.size();) {
    const std::string name(names.data() + pos);
    pos += name.size() + 1;
    if (name.empty()) continue;
    ssize_t size = fgetxattr(sourceFd, name.c_str(), nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      size = fgetxattr(sourceFd, name.c_str(), value.data(), value.size());
    }
    if (size < 0 || fsetxattr(targetFd, name.c_str(), value.data(),
                              static_cast<std::size_t>(size), 0) != 0) {
      if (mustKeep(name)) {
        throw systemError(errno, Step::CopyExtendedAttribute).about(name);
      }
    }
  }
}

// A new file takes the default ACL of its folder: the rewritten file must have no entry that
// the source did not have, or it could be readable by more users than before.
void dropInheritedAcl(int sourceFd, int targetFd) {
  constexpr const char* kAcl = "system.posix_acl_access";
  if (fgetxattr(sourceFd, kAcl, nullptr, 0) >= 0) return;  // copied with the others
  if (fremovexattr(targetFd, kAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    raiseSystemError(errno, Step::DropInheritedAccess);
  }
}

}  // namespace

void copyMetadata(int sourceFd, const struct stat& source, int targetFd,
                  const TargetFacts& target) {
  // The owner first: chown clears set-user-ID bits that chmod then puts back.
  const bool sameOwner = target.owner == source.st_uid && target.group == source.st_gid;
  if (!sameOwner && fchown(targetFd, source.st_uid, source.st_gid) != 0) {
    if (errno != EPERM) raiseSystemError(errno, Step::KeepOwner);
    // A user who is not the owner keeps at least the group when it is one of theirs.
    [[maybe_unused]] int ignored = fchown(targetFd, static_cast<uid_t>(-1), source.st_gid);
  }
  copyExtendedAttributes(sourceFd, targetFd);
  if (target.mayHaveAcl) dropInheritedAcl(sourceFd, targetFd);
  // The permission bits last: an ACL written or removed above changes the group bits.
  if (fchmod(targetFd, source.st_mode & 07777) != 0) {
    raiseSystemError(errno, Step::KeepPermissions);
  }
}

}  // namespace platform
