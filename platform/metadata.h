#pragma once

#include <sys/stat.h>

namespace platform {

/// Gives the file open as `targetFd` what the user expects a rewritten file to keep of the
/// file open as `sourceFd` (whose status is `source`): owner and group where the system
/// allows, permission bits, and extended attributes (ACLs and user.DOSATTRIB included).
/// Raises Error when the permission bits, ACLs or user attributes cannot be carried over.
/// What is known of the target already, so that nothing is done twice: its owner and group
/// (-1 when not known) and whether it may carry an ACL of its own (an inherited one).
struct TargetFacts {
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  bool mayHaveAcl = true;
};
void copyMetadata(int sourceFd, const struct stat& source, int targetFd,
                  const TargetFacts& target = {});

}  // namespace platform
