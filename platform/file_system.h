#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

/// The name of the kernel's own file system ("proc", "sysfs", "devtmpfs" ...) that holds the
/// folder open as `fd`, or nothing for a file system of files (ext4, tmpfs, NFS ...). Told by
/// the statfs magic number; devtmpfs, which shares tmpfs's number, by its mount's type.
std::optional<std::string> kernelFileSystem(int fd);

/// True when the folder open as `fd` is the root of the whole file system ("/").
bool isSystemRoot(int fd);

/// A process that holds a lock (flock) on a file, and the user it runs as.
struct LockHolder {
  pid_t pid = 0;
  uid_t user = 0;
};
/// Who holds locks on the file open as `fd`, as the system tells it in /proc/locks. Empty where
/// that cannot be told (no /proc, a lock taken by a process that has ended since while its
/// descriptor lives on elsewhere, one in another pid namespace).
std::vector<LockHolder> flockHolders(int fd);

}  // namespace platform
