#pragma once

#include <sys/stat.h>

namespace platform {

/// Gives the file open as `targetFd` what the user expects a rewritten file to keep of the
/// file open as `sourceFd` (whose status is `source`): owner and group where the system
/// allows, permission bits, and extended attributes (ACLs and user.DOSATTRIB included).
/// Raises Error when the permission bits, ACLs or user attributes cannot be carried over.
void copyMetadata(int sourceFd, const struct stat& source, int targetFd);

}  // namespace platform
