#pragma once

#include <functional>
#include <string>

#include "engine/convert_file.h"

namespace engine {

/// The part of `name` after its last ".", with a "." in front; empty when `name` has no "."
/// or ends with one.
std::string FileExtension(const std::string& name);

/// Why a folder is not walked at all.
enum class WalkRefusal {
  None,
  Root,              ///< the file system's root, however it is spelt ("/", "/.", "/tmp/..")
  SystemFileSystem,  ///< a folder of the kernel's own file systems (proc, sysfs ...)
};

/// Whether the walk refuses the folder `path` (links followed, as the walk's start is): `why`
/// receives the reason in Russian.
WalkRefusal RefusedFolder(const std::string& path, std::string* why = nullptr);

/// Converts every file of the folder `path` and of all folders below it whose extension equals
/// the filter (every file when the filter is empty): a folder's files first, in byte order of
/// their names, then its subfolders, depth first. Every folder is opened relative to the one
/// above it and every file relative to its folder, never through a link, so that a folder
/// swapped for a link during the walk cannot lead it outside the tree, and neither depth nor
/// path length is limited. Each failed file adds one line to the message list and the walk goes
/// on; so does a folder that cannot be opened or listed, an entry whose type cannot be read,
/// and a hidden folder below `path` (not entered unless the options say so). A path without
/// any "/" (after its trailing "/" is removed), the root and the kernel's own file systems are
/// not walked. The path is used as given: no spaces are trimmed.
void ConvertFolderTree(const std::string& path, const Conversion& conversion);

/// What a walk does with each selected file; a platform::Error it raises becomes the file's
/// failure line.
using FileAction = std::function<void(const FileRef& file)>;

/// ConvertFolderTree with another action for each selected file (counting, for instance).
void WalkFolderTree(const std::string& path, const Conversion& conversion, const FileAction& action);

/// The message-list line for a file or folder that could not be converted or walked.
std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name);

}  // namespace engine
