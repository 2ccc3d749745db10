#pragma once

#include <functional>
#include <string>

#include "engine/convert_file.h"

namespace engine {

/// The part of `name` after its last ".", with a "." in front; empty when `name` has no "."
/// or ends with one.
std::string FileExtension(const std::string& name);

/// Converts every file of the folder `path` and of all folders below it whose extension equals
/// the filter (every file when the filter is empty): a folder's files first, in byte order of
/// their names, then its subfolders, depth first. Each failed file adds one line to the message
/// list and the walk goes on; failures of the walk itself are dropped. Symbolic links are never
/// followed. A path without any "/" (after its trailing "/" is removed) is not walked.
void ConvertFolderTree(const std::string& path, const Conversion& conversion);

/// What a walk does with each selected file; a platform::Error it raises becomes the file's
/// failure line.
using FileAction = std::function<void(const std::string& path)>;

/// ConvertFolderTree with another action for each selected file (counting, for instance).
void WalkFolderTree(const std::string& path, const Conversion& conversion, const FileAction& action);

/// The message-list line for a file that could not be converted.
std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name);

}  // namespace engine
