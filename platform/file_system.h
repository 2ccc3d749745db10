#pragma once

#include <optional>
#include <string>

namespace platform {

/// The name of the kernel's own file system ("proc", "sysfs", "devtmpfs" ...) that holds the
/// folder open as `fd`, or nothing for a file system of files (ext4, tmpfs, NFS ...). Told by
/// the statfs magic number; devtmpfs, which shares tmpfs's number, by its mount's type.
std::optional<std::string> kernelFileSystem(int fd);

/// True when the folder open as `fd` is the root of the whole file system ("/").
bool isSystemRoot(int fd);

}  // namespace platform
