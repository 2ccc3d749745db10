#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/file/convert_file.h"
#include "engine/run/ignore_files.h"
#include "engine/run/path_rules.h"
#include "engine/run/run_item.h"

namespace engine {

/// The part of `name` after its last ".", with a "." in front; empty when `name` has no "."
/// or ends with one.
std::string FileExtension(const std::string& name);

/// The extension filter as the folder command uses it: spaces around it removed, and "." put in
/// front of a text that does not begin with one ("txt" and " .txt " become ".txt").
std::string NormalizeExtension(const std::string& text);

/// The window's extension field, which may hold several extensions separated by spaces, commas
/// or semicolons ("html htm", "*.html;*.htm", ".cpp, .h"): each normalised as above, a "*"
/// before its "." dropped, in the order given, each once.
std::vector<std::string> ExtensionList(const std::string& text);

/// The field as the window shows it after a run: ExtensionList's extensions, separated by a
/// space (one extension: NormalizeExtension's, but "*.txt" is ".txt").
std::string NormalizeExtensions(const std::string& text);

/// Why a folder is not walked at all.
enum class WalkRefusal {
  None,
  Root,              ///< the file system's root, however it is spelt ("/", "/.", "/tmp/..")
  SystemFileSystem,  ///< a folder of the kernel's own file systems (proc, sysfs ...)
};

/// Whether the walk refuses the folder `path` (links followed, as the walk's start is): `why`
/// receives the refusal.
WalkRefusal RefusedFolder(const std::string& path, std::optional<platform::Error>* why = nullptr);

/// What a walk does with each selected file; a platform::Error it raises is reported for the
/// file.
using FileVisit = std::function<void(const FileRef& file)>;

/// Where a walk reports what it meets itself: a folder it does not enter (and why), a file
/// whose action raised, an entry it cannot look at, an entry the user excluded.
using WalkReport = std::function<void(const RunItem& item)>;

/// What one run over several targets has walked already, so that a file or folder reached
/// twice (named twice, or named and found in a folder named too) is done once.
class Visited {
 public:
  /// True the first time a folder is met; false, and it is not walked again, afterwards.
  bool firstFolder(dev_t device, ino_t inode) { return m_folders.insert({device, inode}).second; }
  /// True the first time a file is met, named or found in a folder; false afterwards. A file is
  /// its name in its folder (a conversion gives it a new inode; a second hard link is another
  /// file, which the first conversion parted from it).
  bool firstFile(dev_t folderDevice, ino_t folderInode, const std::string& name) {
    return m_files.insert({folderDevice, folderInode, name}).second;
  }

 private:
  std::set<std::pair<dev_t, ino_t>> m_folders;
  std::set<std::tuple<dev_t, ino_t, std::string>> m_files;
};

/// Walks the folder `path` and all folders below it, handing `action` every file whose
/// extension equals the filter (every file when the filter is empty): a folder's files first,
/// in byte order of their names, then its subfolders, depth first. Every folder is opened
/// relative to the one above it and every file relative to its folder, never through a link,
/// so that a folder swapped for a link during the walk cannot lead it outside the tree, and
/// neither depth nor path length is limited. A file whose action raises is reported to
/// `report` and the walk goes on; so is a folder that cannot be opened or listed, an entry
/// whose type cannot be read, and a hidden folder below `path` (not entered unless the options
/// say so). The program's own folders are not walked, and other runs' staging copies not
/// seen. A path without any "/" (after its trailing "/" is removed), the root and the kernel's
/// own file systems are not walked. The path is used as given: no spaces are trimmed.
/// `visited`, for a run over several targets, holds what was walked already.
void WalkFolderTree(const std::string& path, const Conversion& conversion, const FileVisit& action,
                    const WalkReport& report, Visited* visited = nullptr);

}  // namespace engine
