#include "engine/undo.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <utility>

#include "engine/convert_file.h"
#include "engine/messages.h"
#include "platform/error.h"
#include "platform/metadata.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

constexpr char kInfoFile[] = "info";
constexpr char kJournalFile[] = "journal";
constexpr char kUndoneFile[] = "undone";

// Journal fields are separated by tabs and lines end in "\n"; the texts (paths, the command)
// may hold both, so they are escaped.
std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

// Makes `path` and the folders above it that are missing, mode 0700; raises when it cannot,
// or when the folder is not the user's own.
void makeOwnFolder(const std::string& path) {
  std::size_t at = 1;
  for (;;) {
    const std::size_t slash = path.find('/', at);
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      platform::raiseSystemError(errno, "Не удалось создать папку " + part);
    }
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) platform::raiseSystemError(errno, "Не удалось открыть папку");
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    throw Error(platform::kAccessRefused,
                "папка " + path + " не принадлежит пользователю или открыта другим");
  }
}

std::vector<std::string> runFolders(int store) {
  std::vector<std::string> names;
  const int fd = openat(store, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) platform::raiseSystemError(errno, "Не удалось прочитать папку отмены");
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
  if (!dir) {
    close(fd);
    platform::raiseSystemError(errno, "Не удалось прочитать папку отмены");
  }
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() >= 15 && name[0] >= '0' && name[0] <= '9') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Old runs are dropped without making the new run wait: each is renamed into the store's
// ".trash" folder at once, and a process of its own, started in the background and not waited
// for, deletes what is there (with whatever an earlier one left unfinished). Deleting the
// originals of a large run takes seconds; the run that drops it need not.
void dropRuns(int store, const std::string& storePath, const std::vector<std::string>& ids) {
  constexpr char kTrash[] = ".trash";
  if (mkdirat(store, kTrash, 0700) != 0 && errno != EEXIST) return;
  for (const std::string& id : ids) {
    const std::string to = std::string(kTrash) + "/" + id;
    if (renameat(store, id.c_str(), store, to.c_str()) != 0) {
      // Taken already (the same name dropped before and not yet deleted): under another.
      renameat(store, id.c_str(), store, (to + "-" + std::to_string(getpid())).c_str());
    }
  }
  const std::string trash = storePath + "/" + kTrash;
  // The shell starts rm in the background and ends at once; rm is then nobody's child to wait
  // for, and the system reaps it.
  const char* argv[] = {"/bin/sh", "-c", "nice -n 10 rm -rf -- \"$1\" >/dev/null 2>&1 &", "sh",
                        trash.c_str(), nullptr};
  pid_t shell = 0;
  if (posix_spawn(&shell, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) ==
      0) {
    int status = 0;
    while (waitpid(shell, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string readSmallFile(int folder, const char* name) {
  File file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.isOpen()) return {};
  std::string text;
  char block[1 << 14];
  for (;;) {
    const std::size_t got = file.readFull(block, sizeof block, "Не удалось прочитать журнал");
    text.append(block, got);
    if (got < sizeof block) return text;
  }
}

std::string localTime(std::time_t when, const char* format) {
  std::tm tm {};
  localtime_r(&when, &tm);
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::uint64_t hashOf(int fd) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  std::vector<char> block(1 << 18);
  loff_t at = 0;
  for (;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) platform::raiseSystemError(errno, "Не удалось прочитать файл");
    if (got == 0) return XXH3_64bits_digest(&state);
    XXH3_64bits_update(&state, block.data(), static_cast<std::size_t>(got));
    at += got;
  }
}

// Copies the whole of `from` into `to`, then the status a rewritten file keeps (owner, mode,
// extended attributes) and the times.
void copyFile(int from, const struct stat& status, File& to, std::string_view what) {
  platform::copyStart(from, to, status.st_size, what);
  platform::copyMetadata(from, status, to.fd());
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (futimens(to.fd(), times) != 0) platform::raiseSystemError(errno, what);
}

}  // namespace

std::string UndoStoreFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state) + "/tarvel/undo";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/tarvel/undo";
  }
  return {};
}

UndoJournal::UndoJournal(std::string store, std::string command, std::string folder)
    : m_store(std::move(store)), m_command(std::move(command)), m_target(std::move(folder)) {}

void UndoJournal::begin() {
  m_begun = true;
  const std::string& store = m_store;
  try {
    if (store.empty()) {
      throw Error(platform::kNotFound, "не найдена домашняя папка (HOME)");
    }
    makeOwnFolder(store);
    const File root = File::open(store, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0,
                                 "Не удалось открыть папку отмены");
    std::vector<std::string> runs = runFolders(root.fd());
    const std::string newest = runs.empty() ? std::string() : runs.back();
    if (runs.size() >= kKeptRuns) {
      runs.resize(runs.size() + 1 - kKeptRuns);  // the oldest, so that ten remain with this one
      dropRuns(root.fd(), store, runs);
    }

    const std::time_t now = std::time(nullptr);
    std::string stamp = localTime(now, "%Y%m%d-%H%M%S");
    // A clock set back: on from the newest run's time.
    if (stamp < newest.substr(0, stamp.size())) stamp = newest.substr(0, stamp.size());
    // Runs of the same second get "-02" … "-99": the new name sorts after every run there was,
    // dropped ones included, so that the last run is always the newest.
    std::string id = stamp;
    for (int n = 2; id <= newest || mkdirat(root.fd(), id.c_str(), 0700) != 0; ++n) {
      if ((id > newest && errno != EEXIST) || n > 99) {
        platform::raiseSystemError(id > newest ? errno : EEXIST,
                                   "Не удалось создать папку отмены");
      }
      id = stamp + (n < 10 ? "-0" : "-") + std::to_string(n);
    }
    m_folder = File::openAt(root.fd(), id, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0,
                            "Не удалось открыть папку отмены");
    m_device = m_folder.status("Не удалось открыть папку отмены").st_dev;
    File info = File::openAt(m_folder.fd(), kInfoFile, O_WRONLY | O_CREAT | O_EXCL, 0600,
                             "Не удалось записать журнал");
    info.writeAll(localTime(now, "%Y-%m-%d %H:%M:%S") + "\t" + escape(m_command) + "\t" +
                      escape(m_target) + "\n",
                  "Не удалось записать журнал");
    info.close("Не удалось записать журнал");
    m_journal = File::openAt(m_folder.fd(), kJournalFile, O_WRONLY | O_CREAT | O_APPEND, 0600,
                             "Не удалось записать журнал");
  } catch (const Error& e) {
    m_problem = e.description();
    m_enabled = false;
  } catch (const std::bad_alloc&) {
    m_problem = platform::outOfMemory().description();
    m_enabled = false;
  }
}

std::string UndoJournal::problem() const {
  const std::lock_guard guard(m_lock);
  return m_problem;
}

bool UndoJournal::partial() const {
  const std::lock_guard guard(m_lock);
  return m_recorded > 0;
}

void UndoJournal::fail(const std::string& why) {
  const std::lock_guard guard(m_lock);
  if (m_problem.empty()) m_problem = why;
  m_enabled = false;
}

std::optional<std::string> UndoJournal::keep(int source, const struct stat& status) {
  if (!enabled()) return std::nullopt;
  {
    const std::lock_guard guard(m_lock);
    if (!m_begun) begin();
    if (!enabled()) return std::nullopt;
  }
  std::string name = "kXXXXXX";
  try {
    // The original itself, by a second name, where the store is on its file system: nothing
    // is copied, and the rename then frees nothing.
    if (status.st_dev == m_device &&
        platform::linkUnique(source, m_folder.fd(), name, "Не удалось сохранить исходный файл")) {
      return name;
    }
  } catch (const Error&) {
    // Not allowed (a file of another user under protected_hardlinks): a copy instead.
  }
  try {
    name = "kXXXXXX";
    File copy = platform::createUniqueAt(m_folder.fd(), name, "Не удалось сохранить исходный файл");
    try {
      copyFile(source, status, copy, "Не удалось сохранить исходный файл");
      copy.close("Не удалось сохранить исходный файл");
    } catch (...) {
      unlinkat(m_folder.fd(), name.c_str(), 0);
      throw;
    }
    return name;
  } catch (const Error& e) {
    fail(e.description());
  } catch (const std::bad_alloc&) {
    fail(platform::outOfMemory().description());
  }
  return std::nullopt;
}

void UndoJournal::discard(const std::string& kept) { unlinkat(m_folder.fd(), kept.c_str(), 0); }

void UndoJournal::record(const std::string& kept, const FileRef& file, std::uint64_t hash,
                         long long size) {
  struct stat st {};
  if (fstatat(file.folder, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      st.st_size != size) {
    discard(kept);  // replaced again at once, by someone else: not ours to take back
    return;
  }
  std::string path = file.path;
  if (!path.starts_with('/')) {
    while (path.starts_with("./")) path.erase(0, 2);
    char* cwd = getcwd(nullptr, 0);
    if (cwd != nullptr) path = std::string(cwd) + "/" + path;
    std::free(cwd);
  }
  std::ostringstream line;
  line << kept << '\t' << st.st_dev << '\t' << st.st_ino << '\t' << st.st_size << '\t'
       << st.st_ctim.tv_sec << '\t' << st.st_ctim.tv_nsec << '\t' << std::hex << hash << std::dec
       << '\t' << escape(path) << '\n';
  try {
    // One write with O_APPEND: lines of several workers never mix.
    const std::lock_guard guard(m_lock);
    m_journal.writeAll(line.str(), "Не удалось записать журнал");
    ++m_recorded;
  } catch (const Error& e) {
    discard(kept);
    fail(e.description());
  }
}

std::vector<UndoRunInfo> ListUndoRuns(const std::string& store) {
  std::vector<UndoRunInfo> runs;
  File root(open(store.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.isOpen()) {
    if (errno == ENOENT) return runs;
    platform::raiseSystemError(errno, "Не удалось открыть папку отмены " + store);
  }
  for (const std::string& id : runFolders(root.fd())) {
    File run(openat(root.fd(), id.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!run.isOpen()) continue;
    UndoRunInfo info;
    info.id = id;
    std::string header = readSmallFile(run.fd(), kInfoFile);
    if (!header.empty() && header.back() == '\n') header.pop_back();
    const std::vector<std::string> fields = split(header);
    if (fields.size() >= 3) {
      info.started = fields[0];
      info.command = unescape(fields[1]);
      info.folder = unescape(fields[2]);
    }
    const std::string journal = readSmallFile(run.fd(), kJournalFile);
    info.files = static_cast<std::size_t>(std::count(journal.begin(), journal.end(), '\n'));
    info.undone = faccessat(run.fd(), kUndoneFile, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    runs.push_back(std::move(info));
  }
  return runs;
}

namespace {

// One journal line: the kept original and what the run wrote.
struct Entry {
  std::string kept;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec changed {};
  std::uint64_t hash = 0;
  std::string path;
};

std::optional<Entry> parse(const std::string& line) {
  const std::vector<std::string> f = split(line);
  if (f.size() != 8) return std::nullopt;
  try {
    Entry e;
    e.kept = f[0];
    e.device = static_cast<dev_t>(std::stoull(f[1]));
    e.inode = static_cast<ino_t>(std::stoull(f[2]));
    e.size = static_cast<off_t>(std::stoll(f[3]));
    e.changed.tv_sec = static_cast<time_t>(std::stoll(f[4]));
    e.changed.tv_nsec = std::stol(f[5]);
    e.hash = std::stoull(f[6], nullptr, 16);
    e.path = unescape(f[7]);
    if (e.kept.find('/') != std::string::npos || e.path.empty()) return std::nullopt;
    return e;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Whether the file open as `fd`, with status `st`, is still what the run wrote.
bool stillAsWritten(int fd, const struct stat& st, const Entry& e) {
  if (!S_ISREG(st.st_mode) || st.st_size != e.size) return false;
  if (st.st_dev == e.device && st.st_ino == e.inode && st.st_ctim.tv_sec == e.changed.tv_sec &&
      st.st_ctim.tv_nsec == e.changed.tv_nsec) {
    return true;
  }
  return hashOf(fd) == e.hash;
}

// Puts the kept original back over the file `name` in `folder`: under a temporary name first
// (a link where it can be, else a copy), then one rename.
void restore(int run, const Entry& e, int folder, const std::string& name) {
  const char* what = "Не удалось вернуть исходный файл";
  const File kept = File::openAt(run, e.kept, O_RDONLY | O_NOFOLLOW, 0, what);
  const struct stat keptStatus = kept.status(what);
  std::string staging = ".tarvel-XXXXXX";
  bool linked = false;
  try {
    linked = platform::linkUnique(kept.fd(), folder, staging, what);
  } catch (const Error&) {
    // Another file system, or links not allowed: a copy below.
  }
  if (!linked) {
    staging = ".tarvel-XXXXXX";
    File copy = platform::createUniqueAt(folder, staging, what);
    try {
      copyFile(kept.fd(), keptStatus, copy, what);
      copy.close(what);
    } catch (...) {
      unlinkat(folder, staging.c_str(), 0);
      throw;
    }
  }
  if (renameat(folder, staging.c_str(), folder, name.c_str()) != 0) {
    const int err = errno;
    unlinkat(folder, staging.c_str(), 0);
    platform::raiseSystemError(err, what);
  }
}

// Restores the file of `e` when it is still what the run wrote; otherwise says why not.
bool undoOne(int run, const Entry& e, const std::function<void(const std::string&)>& report) {
  const std::string name = platform::baseName(e.path);
  const std::string shown = ShownPath(e.path);
  try {
    const File folder = File::open(platform::folderName(e.path), O_RDONLY | O_DIRECTORY, 0,
                                   "Не удалось открыть папку");
    File file(openat(folder.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen() && (errno == ENOENT || errno == ENOTDIR)) {
      report("удалён после замены — не восстановлен: " + shown);
      return false;
    }
    if (!file.isOpen()) platform::raiseSystemError(errno, "Не удалось открыть файл");
    if (!stillAsWritten(file.fd(), file.status("Не удалось открыть файл"), e)) {
      report("изменён после замены — оставлен как есть: " + shown);
      return false;
    }
    restore(run, e, folder.fd(), name);
    return true;
  } catch (const Error& err) {
    report("не восстановлен: " + err.description() + " - " + shown);
    return false;
  }
}

}  // namespace

UndoOutcome UndoRun(const std::string& store, const std::string& id,
                    const std::function<void(const std::string&)>& report) {
  if (id.empty() || id.find('/') != std::string::npos || id == "." || id == "..") {
    throw Error(platform::kNotFound, "нет замены «" + id + "»");
  }
  File run(open((store + "/" + id).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.isOpen()) throw Error(platform::kNotFound, "нет замены «" + id + "»");
  // Marked first: a second undo, even one started meanwhile, finds the mark and does nothing.
  const int mark = openat(run.fd(), kUndoneFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (mark < 0) {
    if (errno == EEXIST) throw Error(platform::kRefusedAttribute, "замена " + id + " уже отменена");
    platform::raiseSystemError(errno, "Не удалось отметить замену " + id);
  }
  close(mark);

  UndoOutcome outcome;
  std::istringstream journal(readSmallFile(run.fd(), kJournalFile));
  std::string line;
  while (std::getline(journal, line)) {
    const std::optional<Entry> e = parse(line);
    if (!e) continue;  // a line cut short by a kill
    if (undoOne(run.fd(), *e, report)) {
      ++outcome.restored;
    } else {
      ++outcome.left;
    }
    // Restored or left alone, the file's original is not needed any more.
    unlinkat(run.fd(), e->kept.c_str(), 0);
  }
  return outcome;
}

}  // namespace engine
