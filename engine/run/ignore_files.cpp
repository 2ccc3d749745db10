#include "engine/run/ignore_files.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/file.h"

namespace engine {
namespace {

// The user's private group (Debian's user private groups, with umask 002): the user's primary
// group, named as the user and listing no other member. Nothing when the user has none.
std::optional<gid_t> privateGroup() {
  static const std::optional<gid_t> group = []() -> std::optional<gid_t> {
    std::vector<char> buffer(1 << 16);
    struct passwd user {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &user, buffer.data(), buffer.size(), &found) != 0 || !found) {
      return std::nullopt;
    }
    const std::string name = user.pw_name;
    const gid_t gid = user.pw_gid;
    struct group g {};
    struct group* gFound = nullptr;
    if (getgrgid_r(gid, &g, buffer.data(), buffer.size(), &gFound) != 0 || !gFound) {
      return std::nullopt;
    }
    for (char** member = g.gr_mem; member != nullptr && *member != nullptr; ++member) {
      if (*member != name) return std::nullopt;
    }
    if (name != g.gr_name) return std::nullopt;
    return gid;
  }();
  return group;
}

// Whether others than the user may write in the folder: its group (unless it is the user's
// private group) or everyone, without the sticky bit that keeps them off the user's own files,
// or with it in another user's folder.
bool openToOthers(const struct stat& folder) {
  const bool group = (folder.st_mode & S_IWGRP) != 0 && folder.st_gid != privateGroup();
  if (!group && (folder.st_mode & S_IWOTH) == 0) return false;
  return (folder.st_mode & S_ISVTX) == 0 || folder.st_uid != geteuid();
}

constexpr std::size_t kLargestGitFile = 16 << 20;  // a .git file, commondir, a config

// A file's text as readSmall() finds it.
struct Small {
  std::string text;
  bool othersFile = false;  // there, but another user's: not read
};

// The text of the small regular file `name` in the folder `folder`, never through a link; empty
// when there is none or it cannot be read, and when `ownOnly` and it is another user's.
Small readSmall(int folder, const std::string& name, bool ownOnly) {
  platform::File f(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!f.isOpen() || fstat(f.fd(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kLargestGitFile) {
    return {};
  }
  if (ownOnly && st.st_uid != geteuid()) return {{}, true};
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(f.fd(), text.data() + got, text.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return {std::move(text)};
}

Small readPath(const std::string& path, bool ownOnly = false) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  platform::File folder(::open(slash == 0 ? "/" : path.substr(0, slash).c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder.isOpen() ? readSmall(folder.fd(), path.substr(slash + 1), ownOnly) : Small();
}

// How reading an ignore file went.
enum class Lines { Read, Missing, OthersFile, NotRead };

// Adds the patterns of the open file line by line as it is read, as git reads one of any size:
// the memory taken is its patterns', never its whole text's. Only the user's own regular files.
Lines addLines(PathRules& rules, int fd, bool& any) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Lines::NotRead;
  if (st.st_uid != geteuid()) return Lines::OthersFile;
  std::string line;
  std::vector<char> chunk(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Lines::NotRead;
    if (n == 0) break;
    for (std::string_view rest(chunk.data(), static_cast<std::size_t>(n)); !rest.empty();) {
      const std::size_t end = rest.find('\n');
      line.append(rest.substr(0, end));
      if (end == std::string_view::npos) break;
      any |= rules.add(line, true);
      line.clear();
      rest.remove_prefix(end + 1);
    }
  }
  any |= rules.add(line, true);
  return Lines::Read;
}

// The ignore file `name` in the folder `folder`, never through a link.
Lines addFileAt(PathRules& rules, int folder, const char* name, bool& any) {
  platform::File f(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!f.isOpen()) return errno == ENOENT ? Lines::Missing : Lines::NotRead;
  return addLines(rules, f.fd(), any);
}

// The rules of the ignore file at `path` (info/exclude), unless it is another user's: then
// `notices` says so. The folders on the way are followed, the file itself never.
void addFile(PathRules& rules, const std::string& path, std::vector<RunItem>& notices) {
  const std::size_t slash = path.rfind('/');
  platform::File folder(
      ::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  bool any = false;
  if (folder.isOpen() &&
      addFileAt(rules, folder.fd(), path.c_str() + slash + 1, any) == Lines::OthersFile) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::OtherUsersFile, path));
  }
}

// The user's global file, which git reads through a link too: here when the link is the
// user's as well as the file it names. One that is there and cannot be read is said.
void addGlobal(PathRules& rules, const std::string& path, std::vector<RunItem>& notices) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      notices.push_back(RunItem::Noticed(IgnoreNotice::GlobalFileNotRead, path));
    }
    return;
  }
  if (link.st_uid != geteuid()) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::OtherUsersFile, path));
    return;
  }
  platform::File f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!f.isOpen() && errno == ENOENT) return;  // a link to nothing, which git passes by too
  bool any = false;
  const Lines read = f.isOpen() ? addLines(rules, f.fd(), any) : Lines::NotRead;
  if (read == Lines::OthersFile) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::OtherUsersFile, path));
  } else if (read == Lines::NotRead) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::GlobalFileNotRead, path));
  }
}

// Whether the path names something of the user's own (links followed).
bool usersOwn(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && st.st_uid == geteuid();
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string trimmed(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t first = 0;
  while (first < s.size() && std::isspace(static_cast<unsigned char>(s[first]))) ++first;
  return s.substr(first);
}

std::string lowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The value of `section`.`key` (both in lower case) in a git configuration file's text, the
// last that sets it; empty when none does.
std::string configValue(const std::string& config, const char* section, const char* key) {
  bool inSection = false;
  std::string found;
  for (std::size_t at = 0; at < config.size();) {
    const std::size_t end = std::min(config.find('\n', at), config.size());
    std::string line = trimmed(config.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      inSection = trimmed(lowered(line.substr(1, line.find(']') - 1))) == section;
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos || lowered(trimmed(line.substr(0, eq))) != key) {
      continue;
    }
    std::string value = trimmed(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    found = value;
  }
  return found;
}

// The user's global excludes file: core.excludesFile of the user's own configuration, else
// git's default place.
PathRules globalRules(std::vector<RunItem>& notices) {
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string config = xdg != nullptr && *xdg != '\0' ? std::string(xdg)
                             : home != nullptr              ? std::string(home) + "/.config"
                                                            : std::string();
  std::string global;
  if (!config.empty()) {
    global = configValue(readPath(config + "/git/config", true).text, "core", "excludesfile");
  }
  if (home != nullptr) {
    const std::string own =
        configValue(readPath(std::string(home) + "/.gitconfig", true).text, "core", "excludesfile");
    if (!own.empty()) global = own;
  }
  if (global.starts_with("~/") && home != nullptr) global = home + global.substr(1);
  if (global.empty() && !config.empty()) global = config + "/git/ignore";
  PathRules rules;
  if (!global.empty()) addGlobal(rules, global, notices);
  return rules;
}

}  // namespace

std::optional<GitIgnores> GitIgnores::Above(const std::string& canonical, Global& global,
                                            std::vector<RunItem>& notices) {
  if (canonical.empty() || canonical.front() != '/') return std::nullopt;
  std::string top = canonical;
  struct stat st {};
  for (;;) {
    if (lstat((top == "/" ? "/.git" : top + "/.git").c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
      break;
    }
    if (top == "/") return std::nullopt;
    top = parentOf(top);
  }
  const std::string walked =
      canonical == top ? std::string() : canonical.substr(top == "/" ? 1 : top.size() + 1);
  bool refused = false;
  return open(top, st, walked, global, notices, refused);
}

std::optional<GitIgnores> GitIgnores::At(const std::string& top, Global& global,
                                         std::vector<RunItem>& notices, bool& refused) {
  struct stat st {};
  if (top.empty() || top.front() != '/' ||
      lstat((top == "/" ? "/.git" : top + "/.git").c_str(), &st) != 0 ||
      !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
    return std::nullopt;
  }
  return open(top, st, {}, global, notices, refused);
}

std::optional<GitIgnores> GitIgnores::open(const std::string& top, const struct stat& st,
                                           const std::string& walked, Global& global,
                                           std::vector<RunItem>& notices, bool& refused) {
  const std::string prefix = top == "/" ? "/" : top + "/";
  // .git is the repository's folder, or a file that names it (a linked work tree, a
  // submodule); the patterns of info/exclude are in the common folder of linked work trees.
  std::string gitDir = prefix + ".git";
  if (S_ISREG(st.st_mode)) {
    const std::string named = trimmed(readPath(gitDir).text);
    if (!named.starts_with("gitdir:")) return std::nullopt;
    gitDir = trimmed(named.substr(7));
    if (gitDir.empty()) return std::nullopt;
    if (gitDir.front() != '/') gitDir = prefix + gitDir;
  }
  std::string common = trimmed(readPath(gitDir + "/commondir").text);
  if (common.empty()) {
    common = gitDir;
  } else if (common.front() != '/') {
    common = gitDir + "/" + common;
  }
  // A repository as git knows one: HEAD, and its objects and refs; a folder that merely has
  // that name is not.
  const auto is = [](const std::string& path, bool folder) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && (folder ? S_ISDIR(s.st_mode) : S_ISREG(s.st_mode));
  };
  if (!is(gitDir + "/HEAD", false) || !is(common + "/objects", true) || !is(common + "/refs", true)) {
    return std::nullopt;
  }
  // Another user's repository (root's too, for anyone else) is not the user's: its rules could
  // hide the user's files from the run, as when someone plants a .git and a .gitignore in a
  // shared folder above them. Its rules are not applied, and the walk says so.
  if (st.st_uid != geteuid() || !usersOwn(top) || !usersOwn(gitDir) || !usersOwn(common)) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::OtherUsersRepository, top));
    refused = true;
    return std::nullopt;
  }
  GitIgnores g;
  g.m_walked = walked;
  // The folders from the top down to the walked folder's parent.
  std::string base;
  for (std::size_t at = 0;;) {
    const std::string folderPath = top + (base.empty() ? "" : "/" + base);
    platform::File folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (base == g.m_walked) break;
    if (folder.isOpen()) {
      if (auto layer = Layer(folder.fd(), base, folderPath, notices)) {
        g.m_outer.push_back(std::move(layer));
      }
    }
    const std::size_t slash = std::min(g.m_walked.find('/', at), g.m_walked.size());
    base = g.m_walked.substr(0, slash);
    at = slash + 1;
  }
  addFile(g.m_exclude, common + "/info/exclude", notices);
  if (!global) global = std::make_shared<const PathRules>(globalRules(notices));
  g.m_global = global;
  // The files the index holds, which no rule ignores. Read through the git folder it is in
  // (each work tree has its own), the file itself never through a link.
  const std::size_t hashSize =
      configValue(readPath(common + "/config").text, "extensions", "objectformat") == "sha256" ? 32
                                                                                               : 20;
  platform::File gitFolder(::open(gitDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!gitFolder.isOpen() ||
      GitIndex::load(gitFolder.fd(), hashSize, g.m_index) == GitIndex::Read::Failed) {
    notices.push_back(RunItem::Noticed(IgnoreNotice::IndexNotRead, gitDir + "/index"));
  }
  return g;
}

std::shared_ptr<const IgnoreLayer> GitIgnores::Layer(int folder, const std::string& base,
                                                     const std::string& shown,
                                                     std::vector<RunItem>& notices) {
  const auto path = [&](const char* name) { return (shown == "/" ? "" : shown) + "/" + name; };
  struct stat st {};
  if (fstat(folder, &st) != 0) return nullptr;
  if (openToOthers(st)) {
    // Whoever may write the folder may put rules in it: they are not the user's.
    for (const char* name : {".gitignore", ".ignore"}) {
      struct stat file {};
      if (fstatat(folder, name, &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode)) {
        notices.push_back(RunItem::Noticed(IgnoreNotice::FolderOpenToOthers, path(name)));
      }
    }
    return nullptr;
  }
  auto layer = std::make_shared<IgnoreLayer>();
  layer->base = base;
  bool any = false;
  for (const char* name : {".gitignore", ".ignore"}) {
    if (addFileAt(layer->rules, folder, name, any) == Lines::OthersFile) {
      notices.push_back(RunItem::Noticed(IgnoreNotice::OtherUsersFile, path(name)));
    }
  }
  if (!any) return nullptr;
  return layer;
}

bool GitIgnores::walkedIgnored() const {
  // Git never re-includes a path whose folder is ignored: each folder from the top down.
  for (std::size_t slash = 0; slash != std::string::npos && !m_walked.empty();) {
    slash = m_walked.find('/', slash + 1);
    if (ignored(std::string_view(m_walked).substr(0, slash), true, {})) return true;
  }
  return false;
}

bool GitIgnores::ignored(std::string_view path, bool folder,
                         const std::vector<const IgnoreLayer*>& inner) const {
  const auto said = [&](const IgnoreLayer& layer) -> std::optional<bool> {
    if (layer.base.empty()) return layer.rules.leavesOut(path, folder);
    if (path.size() <= layer.base.size() || !path.starts_with(layer.base) ||
        path[layer.base.size()] != '/') {
      return std::nullopt;
    }
    return layer.rules.leavesOut(path.substr(layer.base.size() + 1), folder);
  };
  for (auto it = inner.rbegin(); it != inner.rend(); ++it) {
    if (const auto v = said(**it)) return *v;
  }
  for (auto it = m_outer.rbegin(); it != m_outer.rend(); ++it) {
    if (const auto v = said(**it)) return *v;
  }
  if (const auto v = m_exclude.leavesOut(path, folder)) return *v;
  return m_global->leavesOut(path, folder).value_or(false);
}

}  // namespace engine
