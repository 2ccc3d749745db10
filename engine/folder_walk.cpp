#include "engine/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "engine/messages.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_system.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

// Folders are opened relative to the folder above them, never through a link.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;

// The open folders of a deep walk are limited: beyond this many, the ones nearest the top are
// closed and opened again, step by step from an open one, when the walk comes back to them.
constexpr std::size_t kOpenFolders = 64;

using Entry = platform::FolderEntry;

// Every name in the open folder but "." and "..", in byte order, so that a run reports in the
// same order every time. Raises Error when the folder cannot be listed.
std::vector<Entry> listFolder(int folder) {
  std::vector<Entry> entries = platform::listFolder(folder, "Не удалось прочитать папку");
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// The path without links of a folder's subfolder `name`: unknown when the folder's is.
std::string below(const std::string& canonical, const std::string& name) {
  return canonical.empty() ? std::string() : joined(canonical, name);
}

// One folder on the walk's stack: the folder (open, or closed while too many are) with its
// facts, its name in the folder above, its identity, its path for reports, and the subfolders
// still to walk.
struct Level {
  std::shared_ptr<OpenFolder> open;  // empty while too many folders are open
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;
  std::vector<std::string> subfolders;
  std::size_t next = 0;
};

class Walk {
 public:
  Walk(const Conversion& c, const FileAction& action) : m_c(c), m_action(action) {}

  void run(const std::string& path) {
    File top(::openat(AT_FDCWD, path.c_str(), kFolderFlags | O_CLOEXEC));
    if (!top.isOpen()) {
      // A path that names nothing or a file is not walked, as before; anything else (a link,
      // a folder that refuses access) is said.
      if (errno != ENOENT && errno != ENOTDIR) {
        report(platform::systemError(errno, "Не удалось открыть папку"), path);
      }
      return;
    }
    if (platform::isSystemRoot(top.fd()) || platform::kernelFileSystem(top.fd())) return;
    if (!push(std::move(top), platform::baseName(path), path, "")) return;
    while (!m_stack.empty()) {
      Level& level = m_stack.back();
      if (level.next == level.subfolders.size()) {
        m_stack.pop_back();
        continue;
      }
      const std::string name = level.subfolders[level.next++];
      if (!reopen()) continue;
      enter(m_stack.back(), name);
    }
  }

 private:
  void report(const Error& e, const std::string& path) {
    m_c.messages.Add({ReportItem::Kind::Failure, e.number(), e.description(), path, e.advice()});
  }

  void enter(const Level& parent, const std::string& name) {
    const std::string path = joined(parent.path, name);
    const char* what = "Не удалось открыть папку";
    if (name.starts_with('.') && !m_c.options.enterHidden) {
      report(Error(platform::kRefusedAttribute, std::string(what) + ": папка скрытая"), path);
      return;
    }
    File folder(::openat(parent.open->folder.fd(), name.c_str(), kFolderFlags | O_CLOEXEC));
    if (!folder.isOpen()) {
      report(platform::systemError(errno, what), path);
      return;
    }
    try {
      if (const auto kernel = platform::kernelFileSystem(folder.fd())) {
        throw Error(platform::kRefusedAttribute,
                    std::string(what) + ": это служебная файловая система " + *kernel);
      }
      if (!m_c.options.enterHidden && platform::attributesOf(folder.fd(), name).hidden) {
        throw Error(platform::kRefusedAttribute, std::string(what) + ": папка скрытая");
      }
    } catch (const Error& e) {
      report(e, path);
      return;
    }
    push(std::move(folder), name, path, below(parent.open->canonical, name));
  }

  // Lists the folder, converts its files and puts it on the stack with its subfolders.
  // `canonical`: its path without links, as far as it is known (the top's is read from it).
  bool push(File folder, const std::string& name, const std::string& path, std::string canonical) {
    struct stat st {};
    Level level;
    try {
      st = folder.status("Не удалось открыть папку");
      level.open = opened(std::move(folder), std::move(canonical));
      level.device = st.st_dev;
      level.inode = st.st_ino;
      level.name = name;
      level.path = path;
      const std::vector<Entry> entries = listFolder(level.open->folder.fd());
      for (const Entry& entry : entries) {
        visit(level, entry);
        if (m_c.pump) m_c.pump();
      }
    } catch (const Error& e) {
      report(e, path);
      return false;
    }
    m_stack.push_back(std::move(level));
    limitOpenFolders();
    return true;
  }

  void visit(Level& level, const Entry& entry) {
    const std::string path = joined(level.path, entry.name);
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(level.open->folder.fd(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report(platform::systemError(errno, "Не удалось прочитать атрибуты"), path);
        return;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      level.subfolders.push_back(entry.name);
      return;
    }
    if (!selected(entry.name)) return;
    try {
      m_action(FileRef{level.open->folder.fd(), entry.name, path, type, level.open});
    } catch (const Error& e) {
      report(e, path);
    } catch (const std::bad_alloc&) {
      report(platform::outOfMemory(), path);
    }
  }

  // Closes the open folders nearest the top of the tree once too many are open; the walk's
  // starting folder stays open.
  void limitOpenFolders() {
    std::size_t open = 0;
    for (const Level& l : m_stack) open += l.open != nullptr;
    for (std::size_t i = 1; open > kOpenFolders && i + 1 < m_stack.size(); ++i) {
      if (m_stack[i].open) {
        m_stack[i].open.reset();
        --open;
      }
    }
  }

  // An open folder with its facts, read now for all of its files.
  static std::shared_ptr<OpenFolder> opened(File folder, std::string canonical) {
    auto open = std::make_shared<OpenFolder>();
    open->folder = std::move(folder);
    ReadFolderFacts(open->folder.fd(), open->facts);
    open->canonical = canonical.empty() ? platform::pathOf(open->folder.fd()) : std::move(canonical);
    return open;
  }

  // Opens the folder at the top of the stack again when it was closed, name by name from the
  // nearest open folder above it, each step checked against the identity it had. A folder
  // that has been moved or replaced meanwhile is reported and not walked further.
  bool reopen() {
    std::size_t open = m_stack.size() - 1;
    while (!m_stack[open].open) --open;
    for (std::size_t i = open + 1; i < m_stack.size(); ++i) {
      Level& level = m_stack[i];
      File folder(::openat(m_stack[i - 1].open->folder.fd(), level.name.c_str(),
                           kFolderFlags | O_CLOEXEC));
      struct stat st {};
      const bool same = folder.isOpen() && fstat(folder.fd(), &st) == 0 &&
                        st.st_dev == level.device && st.st_ino == level.inode;
      if (same) level.open = opened(std::move(folder), below(m_stack[i - 1].open->canonical, level.name));
      if (!same) {
        report(Error(platform::kChanged, "Не удалось открыть папку: папка перемещена во время обхода"),
               level.path);
        m_stack.resize(i);
        return false;
      }
    }
    return true;
  }

  // The extension filter: every file when there is none.
  bool selected(const std::string& name) const {
    const MatchOptions& o = m_c.options;
    if (o.extension.empty() && o.extensions.empty()) return true;
    const std::string extension = FileExtension(name);
    if (!o.extension.empty() && extension == o.extension) return true;
    return std::find(o.extensions.begin(), o.extensions.end(), extension) != o.extensions.end();
  }

  const Conversion& m_c;
  const FileAction& m_action;
  std::vector<Level> m_stack;
};

}  // namespace

std::string FileExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name) {
  return "!_ Ошибка " + std::to_string(number) + " " + description + " - " +
         ShownPath(joined(folder, name));
}

WalkRefusal RefusedFolder(const std::string& path, std::string* why) {
  const File folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.isOpen()) return WalkRefusal::None;
  if (platform::isSystemRoot(folder.fd())) {
    if (why) *why = "это корневая папка всей файловой системы";
    return WalkRefusal::Root;
  }
  if (const auto kernel = platform::kernelFileSystem(folder.fd())) {
    if (why) *why = "это служебная файловая система " + *kernel;
    return WalkRefusal::SystemFileSystem;
  }
  return WalkRefusal::None;
}

void ConvertFolderTree(const std::string& path, const Conversion& c) {
  WalkFolderTree(path, c, [&c](const FileRef& file) { ConvertFileAt(file, c); });
}

void WalkFolderTree(const std::string& folderPath, const Conversion& c, const FileAction& action) {
  std::string path = folderPath;
  if (!path.empty() && path.back() == '/') path.pop_back();
  if (path.find('/') == std::string::npos) return;
  if (RefusedFolder(path) != WalkRefusal::None) return;  // a link to the root included
  Walk(c, action).run(path);
}

}  // namespace engine
