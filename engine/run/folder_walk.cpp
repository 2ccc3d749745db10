#include "engine/run/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "engine/undo/undo.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/temp_folder.h"

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
  std::vector<Entry> entries = platform::listFolder(folder, platform::Step::ReadFolder);
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

// Where a folder stands among git's rules: the repository whose work tree holds it (none
// outside one, or in another user's), its path below the work tree's top, and whether git
// ignores it and it is walked only for the files git tracks in it.
struct InRepository {
  std::shared_ptr<const GitIgnores> repository;
  std::string base;
  bool onlyTracked = false;
};

// A subfolder still to walk.
struct Subfolder {
  std::string name;
  bool onlyTracked = false;  // ignored, but holding files git tracks
};

// One folder on the walk's stack: the folder (open, or closed while too many are) with its
// facts, its name in the folder above, its identity, its path for reports, and the subfolders
// still to walk.
struct Level {
  std::shared_ptr<OpenFolder> open;  // empty while too many folders are open
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;
  std::vector<Subfolder> subfolders;
  std::size_t next = 0;
  InRepository git;
  std::shared_ptr<const IgnoreLayer> ignores;  // its own ignore files' patterns, in a work tree
};

// What git makes of a file or folder in a work tree.
enum class GitSays { Keep, Ignore, OnlyTracked };

class Walk {
 public:
  Walk(const Conversion& c, const FileVisit& action, const WalkReport& report, Visited* visited)
      : m_c(c),
        m_action(action),
        m_report(report),
        m_visited(visited),
        m_ownExcludes(c.excludeRules == nullptr ? c.options.excludes : std::vector<std::string>{}),
        m_ownIncludes(c.includeRules == nullptr ? c.options.includes : std::vector<std::string>{}),
        m_excludes(c.excludeRules != nullptr ? *c.excludeRules : m_ownExcludes),
        m_includes(c.includeRules != nullptr ? *c.includeRules : m_ownIncludes) {
    struct stat st {};
    if (stat("/", &st) == 0) m_root = {st.st_dev, st.st_ino};
    if (stat(platform::temporaryFolder().c_str(), &st) == 0) m_temp = {st.st_dev, st.st_ino};
    // The folders of the program's own that may stand in the tree, each known by what it is,
    // never by its name alone: the user's private folder in the temporary folder (a folder of
    // the user's that no one else may enter), the folder the work file is in, and the undo
    // store as its own checks accept it.
    auto own = [this](int fd, bool privateOnly) {
      struct stat folder {};
      if (fd < 0 || fstat(fd, &folder) != 0 || !S_ISDIR(folder.st_mode)) return;
      if (folder.st_uid != geteuid()) return;
      if (privateOnly && (folder.st_mode & 07777) != 0700) return;
      m_own.emplace_back(folder.st_dev, folder.st_ino);
    };
    own(File(::open(OwnPrivateFolder().c_str(), kFolderFlags | O_CLOEXEC)).fd(), true);
    if (c.workFolder >= 0) {
      own(c.workFolder, true);
    } else if (!c.workFile.empty()) {
      own(File(::open(platform::folderName(c.workFile).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)).fd(),
          false);
    }
    if (c.undo != nullptr) {
      try {
        own(UndoStore::open(c.undo->store(), false).fd(), true);
      } catch (const Error&) {
        // A store refused is no folder of the program's: the run records nothing in it.
      }
    }
  }

  void run(const std::string& path) {
    m_top = path;
    File top(::openat(AT_FDCWD, path.c_str(), kFolderFlags | O_CLOEXEC));
    if (!top.isOpen()) {
      // A path that names nothing or a file is not walked, as before; anything else (a link,
      // a folder that refuses access) is said.
      if (errno != ENOENT && errno != ENOTDIR) {
        report(platform::systemError(errno, platform::Step::OpenFolder), path);
      }
      return;
    }
    FolderFacts facts;
    ReadFolderFacts(top.fd(), facts);
    if (identity(facts) == m_root || kernelFileSystemOf(top.fd(), facts)) return;
    if (owned(facts)) {
      report(Error(platform::Refusal::OwnFolder, platform::Step::OpenFolder,
                   platform::Why::OwnFolder),
             path);
      return;
    }
    if (m_visited != nullptr && !m_visited->firstFolder(facts.device, facts.inode)) return;
    InRepository git;
    if (m_c.options.gitIgnores) {
      std::vector<RunItem> notices;
      if (auto found = GitIgnores::Above(platform::pathOf(top.fd()), m_global, notices)) {
        git.base = found->walkedBase();
        git.onlyTracked = found->walkedIgnored();
        git.repository = std::make_shared<const GitIgnores>(std::move(*found));
      }
      for (const RunItem& notice : notices) m_report(notice);
    }
    if (!push(std::move(top), facts, platform::baseName(path), path, "", std::move(git), true)) {
      return;
    }
    while (!m_stack.empty()) {
      Level& level = m_stack.back();
      if (level.next == level.subfolders.size()) {
        m_stack.pop_back();
        continue;
      }
      const Subfolder sub = level.subfolders[level.next++];
      if (!reopen()) continue;
      enter(m_stack.back(), sub);
    }
  }

 private:
  void report(const Error& e, const std::string& path, bool folder = true) {
    RunItem item = RunItem::FromError(path, e);
    item.folder = folder;
    m_report(item);
  }

  void enter(const Level& parent, const Subfolder& sub) {
    const std::string& name = sub.name;
    const std::string path = joined(parent.path, name);
    const platform::Step what = platform::Step::OpenFolder;
    if (name == ".git" && m_c.options.hidden) return;  // git's own, taken or not by --hidden
    if (name.starts_with('.') && !m_c.options.hidden) {
      report(Error(platform::Refusal::HiddenFolder, what, platform::Why::HiddenFolder), path);
      return;
    }
    File folder(::openat(parent.open->folder.fd(), name.c_str(), kFolderFlags | O_CLOEXEC));
    if (!folder.isOpen()) {
      report(platform::systemError(errno, what), path);
      return;
    }
    FolderFacts facts;
    ReadFolderFacts(folder.fd(), facts);
    // The program's own folders are not the user's files: not walked, and not said.
    if (owned(facts)) return;
    try {
      if (liveRunsFolder(parent, folder.fd(), name)) {
        throw Error(platform::Refusal::OwnFolder, what,
                    platform::Why::OtherRunFolder);
      }
      if (identity(facts) == m_root) {
        throw Error(platform::Refusal::Root, what,
                    platform::Why::RootBelow);
      }
      if (const auto kernel = kernelFileSystemOf(folder.fd(), facts)) {
        throw Error(platform::Refusal::KernelFileSystem, what,
                    platform::Why::KernelFileSystem)
            .about(*kernel);
      }
      if (!m_c.options.hidden && platform::attributesOf(folder.fd(), name).hidden) {
        throw Error(platform::Refusal::HiddenFolder, what, platform::Why::HiddenFolder);
      }
    } catch (const Error& e) {
      report(e, path);
      return;
    }
    // Walked already in this run (a target of its own, or met through another): once only.
    if (m_visited != nullptr && !m_visited->firstFolder(facts.device, facts.inode)) return;
    InRepository git = parent.git;
    git.base = git.base.empty() ? name : git.base + "/" + name;
    git.onlyTracked = sub.onlyTracked;
    push(std::move(folder), facts, name, path, below(parent.open->canonical, name), std::move(git),
         false);
  }

  using Identity = std::pair<dev_t, ino_t>;
  static Identity identity(const FolderFacts& f) { return {f.device, f.inode}; }

  bool owned(const FolderFacts& f) const {
    if (std::find(m_own.begin(), m_own.end(), identity(f)) != m_own.end()) return true;
    // The undo store appears with the run's first kept original, maybe in the middle of a walk.
    return m_c.undo != nullptr && m_c.undo->isStore(f.device, f.inode);
  }

  // The work folder of another tarvel-cli run that is still going, as older versions made
  // them: right in the temporary folder, the user's, closed to others, and locked by its run.
  // A folder of that name anywhere else, or that no run holds, is walked like any other.
  bool liveRunsFolder(const Level& parent, int folder, const std::string& name) const {
    if (name.size() != 17 || !name.starts_with("tarvel-cli-")) return false;
    if (std::make_pair(parent.device, parent.inode) != m_temp) return false;
    struct stat st {};
    if (fstat(folder, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
      return false;
    }
    return flock(folder, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  }

  // The kernel's own file system that holds the folder, asked once for each mount.
  std::optional<std::string> kernelFileSystemOf(int folder, const FolderFacts& f) {
    if (f.mountId == 0) return platform::kernelFileSystem(folder);
    const auto known = m_mounts.find(f.mountId);
    if (known != m_mounts.end()) return known->second;
    return m_mounts[f.mountId] = platform::kernelFileSystem(folder);
  }

  // Lists the folder, converts its files and puts it on the stack with its subfolders.
  // `canonical`: its path without links, as far as it is known (the top's is read from it).
  // `git`: where it stands in the work tree of the folder above; a folder below the walked one
  // that holds a `.git` is the top of a repository of its own.
  bool push(File folder, const FolderFacts& facts, const std::string& name, const std::string& path,
            std::string canonical, InRepository git, bool top) {
    Level level;
    try {
      level.open = opened(std::move(folder), std::move(canonical), facts);
      level.device = facts.device;
      level.inode = facts.inode;
      level.name = name;
      level.path = path;
      const std::vector<Entry> entries = listFolder(level.open->folder.fd());
      level.git = std::move(git);
      if (m_c.options.gitIgnores) {
        std::vector<RunItem> notices;
        if (!top && holdsGit(level.open->folder.fd(), entries)) {
          bool refused = false;
          auto found = GitIgnores::At(level.open->canonical, m_global, notices, refused);
          if (found || refused) {
            level.git = InRepository{};
            if (found) level.git.repository = std::make_shared<const GitIgnores>(std::move(*found));
          }
        }
        if (level.git.repository && !level.git.onlyTracked) {
          level.ignores = GitIgnores::Layer(level.open->folder.fd(), level.git.base, path, notices);
        }
        for (const RunItem& notice : notices) m_report(notice);
      }
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
    if (IsStagingName(entry.name)) return;  // another run's file about to take a file's place
    const std::string path = joined(level.path, entry.name);
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(level.open->folder.fd(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report(platform::systemError(errno, platform::Step::ReadAttributes), path, false);
        return;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    // git's own (a work tree's folder, a linked work tree's file): never the user's text.
    if (entry.name == ".git" && (level.git.repository || m_c.options.hidden)) return;
    GitSays git = GitSays::Keep;
    if (level.git.repository) git = gitSays(level, entry.name, type == DT_DIR);
    if (git == GitSays::Ignore) {
      m_report(RunItem::SkippedAs(SkipReason::Ignored, path));
      return;
    }
    if (excluded(path, type == DT_DIR)) {
      m_report(RunItem::SkippedAs(SkipReason::Excluded, path));
      return;
    }
    if (type == DT_DIR) {
      level.subfolders.push_back({entry.name, git == GitSays::OnlyTracked});
      return;
    }
    if (!selected(entry.name) || !included(path)) return;
    try {
      m_action(FileRef{level.open->folder.fd(), entry.name, path, type, level.open});
    } catch (const Error& e) {
      report(e, path, false);
    } catch (const std::bad_alloc&) {
      report(platform::outOfMemory(), path, false);
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
  static std::shared_ptr<OpenFolder> opened(File folder, std::string canonical,
                                            const FolderFacts& facts = {}) {
    auto open = std::make_shared<OpenFolder>();
    open->folder = std::move(folder);
    open->facts = facts;
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
        report(Error(platform::kChanged, platform::Step::OpenFolder, platform::Why::FolderMoved),
               level.path);
        m_stack.resize(i);
        return false;
      }
    }
    return true;
  }

  // The user's exclusions and inclusions (tarvel-cli --exclude, --include), on the path below
  // the walked folder.
  std::string_view relative(const std::string& path) const {
    return std::string_view(path).substr(m_top.size() + (m_top == "/" ? 0 : 1));
  }
  // Whether the folder's entries hold a `.git` folder or file: the top of a repository.
  static bool holdsGit(int folder, const std::vector<Entry>& entries) {
    const auto it = std::lower_bound(entries.begin(), entries.end(), std::string_view(".git"),
                                     [](const Entry& e, std::string_view n) { return e.name < n; });
    if (it == entries.end() || it->name != ".git") return false;
    if (it->type == DT_DIR || it->type == DT_REG) return true;
    struct stat st {};
    return it->type == DT_UNKNOWN && fstatat(folder, ".git", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode));
  }

  // In a git work tree (tarvel-cli without --no-ignore): what git makes of the entry `name` of
  // the folder `level`. A file git tracks is never ignored; an ignored folder holding tracked
  // files is walked for those alone.
  GitSays gitSays(const Level& level, const std::string& name, bool folder) const {
    const GitIgnores& git = *level.git.repository;
    const std::string path = level.git.base.empty() ? name : level.git.base + "/" + name;
    if (level.git.onlyTracked) {
      if (git.tracked(path)) return GitSays::Keep;
      return folder && git.holdsTracked(path) ? GitSays::OnlyTracked : GitSays::Ignore;
    }
    if (git.tracked(path)) return GitSays::Keep;  // a file, or a submodule's folder
    // The patterns of this repository's folders only: a nested one's top starts afresh.
    std::vector<const IgnoreLayer*>& inner = m_inner;
    inner.clear();
    for (const Level& l : m_stack) {
      if (l.ignores && l.git.repository == level.git.repository) inner.push_back(l.ignores.get());
    }
    if (level.ignores) inner.push_back(level.ignores.get());
    if (inner.empty() && !git.anyOuter()) return GitSays::Keep;
    if (!git.ignored(path, folder, inner)) return GitSays::Keep;
    return folder && git.holdsTracked(path) ? GitSays::OnlyTracked : GitSays::Ignore;
  }
  bool excluded(const std::string& path, bool folder) const {
    return !m_excludes.empty() && m_excludes.leavesOut(relative(path), folder).value_or(false);
  }
  bool included(const std::string& path) const {
    return m_includes.empty() || m_includes.leavesOut(relative(path), false).value_or(false);
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
  const FileVisit& m_action;
  const WalkReport& m_report;
  Visited* m_visited;
  const PathRules m_ownExcludes;
  const PathRules m_ownIncludes;
  const PathRules& m_excludes;
  const PathRules& m_includes;
  GitIgnores::Global m_global;  // the user's global excludes file, read with the first repository
  mutable std::vector<const IgnoreLayer*> m_inner;  // gitSays()'s, kept from entry to entry
  std::string m_top;  // the walked folder's path, as given
  std::vector<Level> m_stack;
  Identity m_root{};
  Identity m_temp{};  // the temporary folder, where older versions put their runs' folders
  std::vector<Identity> m_own;
  std::map<std::uint64_t, std::optional<std::string>> m_mounts;
};

}  // namespace

std::string NormalizeExtension(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  std::string extension = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (extension.front() != '.') extension.insert(extension.begin(), '.');
  return extension;
}

std::vector<std::string> ExtensionList(const std::string& text) {
  std::vector<std::string> list;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find_first_of(" ,;", at), text.size());
    std::string one = text.substr(at, end - at);
    if (one.starts_with("*.")) one.erase(0, 1);
    one = NormalizeExtension(one);
    if (!one.empty() && std::find(list.begin(), list.end(), one) == list.end()) {
      list.push_back(std::move(one));
    }
    at = end + 1;
  }
  return list;
}

std::string NormalizeExtensions(const std::string& text) {
  std::string shown;
  for (const std::string& one : ExtensionList(text)) shown += (shown.empty() ? "" : " ") + one;
  return shown;
}

std::string FileExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

WalkRefusal RefusedFolder(const std::string& path, std::optional<Error>* why) {
  const File folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.isOpen()) return WalkRefusal::None;
  if (platform::isSystemRoot(folder.fd())) {
    if (why) *why = Error(platform::Refusal::Root, platform::Step::OpenFolder, platform::Why::RootFolder);
    return WalkRefusal::Root;
  }
  if (const auto kernel = platform::kernelFileSystem(folder.fd())) {
    if (why) {
      *why = Error(platform::Refusal::KernelFileSystem, platform::Step::OpenFolder,
                   platform::Why::KernelFileSystem)
                 .about(*kernel);
    }
    return WalkRefusal::SystemFileSystem;
  }
  return WalkRefusal::None;
}

void WalkFolderTree(const std::string& folderPath, const Conversion& c, const FileVisit& action,
                    const WalkReport& report, Visited* visited) {
  std::string path = folderPath;
  if (!path.empty() && path.back() == '/') path.pop_back();
  if (path.find('/') == std::string::npos) return;
  if (RefusedFolder(path) != WalkRefusal::None) return;  // a link to the root included
  Walk(c, action, report, visited).run(path);
}

}  // namespace engine
