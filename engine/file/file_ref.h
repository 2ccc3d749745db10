#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"

namespace engine {

/// A folder's facts that every conversion of one of its files uses.
struct FolderFacts {
  bool known = false;
  std::uint64_t mountId = 0;     ///< 0 where the kernel gives none
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t attributes = 0;  ///< statx attribute flags: append-only, immutable
};

/// Reads `facts` of the folder open as `folder`, once.
void ReadFolderFacts(int folder, FolderFacts& facts);

/// True when a file of one folder can be renamed into the other: rename(2) works within one
/// mount only, and a bind mount of the same file system shares the device number.
bool SameMount(const FolderFacts& a, const FolderFacts& b);

/// A folder the walk has open, with its facts. Whoever converts its files later (the run's
/// workers) shares it, which keeps it open until they are done.
struct OpenFolder {
  platform::File folder;
  FolderFacts facts;
  /// Its path from the root without any link in it, as the walk reached it (empty: not known,
  /// read from the descriptor when needed).
  std::string canonical;
};

/// Folders reached again by their path from "/", one name at a time and never through a link,
/// and only while each is still the folder met before (its device and inode): the folder of a
/// file that a review showed, or that undo restores. The last folder reached is kept for the
/// next file, which mostly lies in the same folder.
class FolderReach {
 public:
  /// The folder at `path` (absolute, without links) if it is still (`device`, `inode`); empty
  /// when it was moved, removed or replaced (by a link, say). Raises platform::Error when it
  /// cannot be looked at.
  std::shared_ptr<const OpenFolder> reach(const std::string& path, dev_t device, ino_t inode);

 private:
  std::string m_path;
  dev_t m_device = 0;
  ino_t m_inode = 0;
  std::shared_ptr<const OpenFolder> m_reached;
};

/// A file as the walk finds it: its name in a folder that is open, so that a folder renamed or
/// swapped for a link meanwhile cannot redirect anything, and its full path for reports.
struct FileRef {
  FileRef(int folder, const std::string& name, const std::string& path, unsigned char type = 0,
          std::shared_ptr<const OpenFolder> open = {})
      : folder(folder), name(name), path(path), type(type), open(std::move(open)) {}

  int folder = AT_FDCWD;    ///< the open folder that holds the file
  const std::string& name;  ///< the file's name in that folder
  const std::string& path;  ///< the full path, as reports show it
  /// The entry's type as the folder's listing gives it (DT_REG, ...), or DT_UNKNOWN. A regular
  /// file is opened at once; anything else is looked at before it is opened.
  unsigned char type = 0;
  /// The folder as the walk holds it, with its facts read once for all of its files; empty
  /// for a file named alone, whose folder's facts are read for it.
  std::shared_ptr<const OpenFolder> open;
};

}  // namespace engine
