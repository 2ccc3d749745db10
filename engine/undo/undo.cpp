#include "engine/undo/undo.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <utility>

#include "engine/run/messages.h"
#include "platform/attributes.h"
#include "platform/error.h"
#include "platform/metadata.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

constexpr char kInfoFile[] = "info";
constexpr char kJournalFile[] = "journal";
constexpr char kProgressFile[] = "undo";     // what the run's undo has settled, file by file
constexpr char kUndoneFile[] = "undone";
constexpr char kSequenceFile[] = "sequence";  // the last run number given, and the store's lock
constexpr char kTrash[] = ".trash";
constexpr char kBegunPrefix[] = ".begun-";    // a run being set up, not yet in the store
// The journal's lines: a file's entry is written before its rename ("w", what will be written
// and where), then settled after it by a line that names the entry's line number: "d" with the
// change time the new file has ("done"), or "x" when someone else replaced it at once
// ("cancelled"). An entry left without either was cut off by a kill: its file tells which.
// Runs of the version before write-ahead have entries without a mark, each one done.
constexpr char kPendingMark = 'w';
constexpr char kDoneMark = 'd';
constexpr char kCancelMark = 'x';

// Journal fields are separated by tabs and lines end in "\n"; the texts (paths, the texts of
// the run) may hold both, so they are escaped.
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

std::vector<std::string> split(const std::string& line, char separator = '\t') {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = line.find(separator, at);
    fields.push_back(line.substr(at, end - at));
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
}

// Whole lines only: a last line without its "\n" was cut short and is left out (counted in
// `cut`).
std::vector<std::string> wholeLines(const std::string& text, std::size_t* cut = nullptr) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (cut != nullptr) *cut = at < text.size() ? 1 : 0;
  return lines;
}

bool allDigits(const std::string& s, std::size_t size = 0) {
  return !s.empty() && (size == 0 || s.size() == size) &&
         s.find_first_not_of("0123456789") == std::string::npos;
}

std::string readSmallFile(int folder, const char* name) {
  File file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.isOpen()) return {};
  std::string text;
  char block[1 << 14];
  for (;;) {
    const std::size_t got = file.readFull(block, sizeof block, "Не удалось прочитать журнал");
    text.append(block, got);
    if (got < sizeof block) return text;
  }
}

bool existsIn(int folder, const char* name) {
  return faccessat(folder, name, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string timeText(std::time_t when, const char* format, bool utc) {
  std::tm tm {};
  if (utc) {
    gmtime_r(&when, &tm);
  } else {
    localtime_r(&when, &tm);
  }
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::uint64_t hashOf(int fd) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  std::vector<char> block(1 << 18);
  off_t at = 0;
  for (;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) platform::raiseSystemError(errno, "Не удалось прочитать файл");
    if (got == 0) return XXH3_64bits_digest(&state);
    XXH3_64bits_update(&state, block.data(), static_cast<std::size_t>(got));
    at += got;
  }
}

std::string joinedPath(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

Error storeRefused(const std::string& why) {
  return Error(platform::kAccessRefused, "Папка отмены небезопасна: " + why);
}

// ---- The store's runs

// A run's folder name: "<number>-<YYYYMMDD>-<HHMMSS>" (UTC), or, for runs of the version
// before numbers, "<YYYYMMDD>-<HHMMSS>[-NN]" (local time), which sort before every numbered run.
struct RunName {
  std::string name;
  std::uint64_t number = 0;  // 0: a run of the older version
  bool operator<(const RunName& o) const {
    return number != o.number ? number < o.number : name < o.name;
  }
};

std::optional<RunName> parseRunName(const std::string& name) {
  const std::vector<std::string> parts = split(name, '-');
  if (parts.size() == 3 && allDigits(parts[0]) && parts[0].size() <= 19 &&
      allDigits(parts[1], 8) && allDigits(parts[2], 6)) {
    return RunName{name, std::stoull(parts[0])};
  }
  if ((parts.size() == 2 || (parts.size() == 3 && allDigits(parts[2], 2))) &&
      allDigits(parts[0], 8) && allDigits(parts[1], 6)) {
    return RunName{name, 0};
  }
  return std::nullopt;
}

std::vector<RunName> runsIn(int store) {
  std::vector<RunName> runs;
  for (const platform::FolderEntry& e :
       platform::listFolder(store, "Не удалось прочитать папку отмены")) {
    if (auto run = parseRunName(e.name)) runs.push_back(*run);
  }
  std::sort(runs.begin(), runs.end());
  return runs;
}

// The run named `id` (its whole name, or its number alone).
RunName findRun(int store, const std::string& id) {
  for (const RunName& run : runsIn(store)) {
    if (run.name == id || (run.number != 0 && allDigits(id) && id.size() <= 19 &&
                           std::stoull(id) == run.number)) {
      return run;
    }
  }
  throw Error(platform::kNotFound, "нет замены «" + ShownPath(id) + "»");
}

// The journal of a run, open; locked with `lock` (LOCK_EX or LOCK_SH, without waiting) unless
// 0. Nothing when the run (or an undo of it) holds it: it is still going.
std::optional<File> lockedJournal(int run, int lock) {
  File journal(openat(run, kJournalFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!journal.isOpen()) return File();
  if (lock != 0 && flock(journal.fd(), lock | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    platform::raiseSystemError(errno, "Не удалось открыть журнал замены");
  }
  return journal;
}

// ---- Deleting dropped runs

// A folder entry as getdents64 gives it.
struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];  // as long as the record
};

// Removes everything inside the folder open as `folder`, down to `depth` levels of subfolders,
// with plain system calls and the stack only: it also runs in a forked child of a process that
// has threads, where nothing else is safe.
void removeContents(int folder, int depth) {
  alignas(8) char buffer[8192];
  for (int pass = 0; pass < 64; ++pass) {
    if (lseek(folder, 0, SEEK_SET) < 0) return;
    bool any = false;
    for (;;) {
      const long n = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        any = true;
        if (unlinkat(folder, name, 0) == 0 || errno != EISDIR || depth == 0) continue;
        const int sub = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          removeContents(sub, depth - 1);
          close(sub);
        }
        unlinkat(folder, name, AT_REMOVEDIR);
      }
    }
    if (!any) return;  // entries removed while the folder was read may have hidden others
  }
}

// Empties the store's trash, unless someone else is emptying it already.
void emptyTrash(int store) {
  const int trash = openat(store, kTrash, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (trash < 0) return;
  if (flock(trash, LOCK_EX | LOCK_NB) == 0) removeContents(trash, 2);
  close(trash);
}

bool trashHoldsAnything(int store) {
  const File trash(openat(store, kTrash, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!trash.isOpen()) return false;
  try {
    return !platform::listFolder(trash.fd(), "").empty();
  } catch (const Error&) {
    return false;
  }
}

// Empties the trash in a process of its own, not waited for, so that the run that dropped a
// large run need not wait for its thousands of kept originals to go. The process looks up
// nothing on PATH and keeps no descriptor but the store's: no lock of this program's is held
// by it. It works at idle priority, disk and processor alike, and leaves the terminal's group
// so that Ctrl+C for the program does not stop it half way (the next run would go on anyway).
void emptyTrashInBackground(int store) {
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    if (fork() == 0) {
      setsid();
      int keep = store;
      if (keep < 3) keep = fcntl(store, F_DUPFD, 3);
      if (keep >= 0) {
        close_range(0, static_cast<unsigned>(keep) - 1, 0);
        close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
        setpriority(PRIO_PROCESS, 0, 10);
        constexpr int kWhoProcess = 1, kClassIdle = 3, kClassShift = 13;
        syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift);
        emptyTrash(keep);
      }
      _exit(0);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

// Moves the run folder `name` into the trash, where it is deleted; its journal must not be
// locked by anyone (checked by the caller, who holds the lock meanwhile).
void moveToTrash(int store, const std::string& name) {
  if (mkdirat(store, kTrash, 0700) != 0 && errno != EEXIST) {
    platform::raiseSystemError(errno, "Не удалось удалить замену");
  }
  std::string to = std::string(kTrash) + "/" + name;
  for (int n = 1; renameat2(store, name.c_str(), store, to.c_str(), RENAME_NOREPLACE) != 0; ++n) {
    // Taken already (the same name dropped before and not yet deleted): under another.
    if (errno != EEXIST || n > 1000) platform::raiseSystemError(errno, "Не удалось удалить замену");
    to = std::string(kTrash) + "/" + name + "~" + std::to_string(n);
  }
}

// The copy of a kept original: the whole file, then the status a rewritten file keeps (owner,
// mode, extended attributes) and the times.
void copyFile(int from, const struct stat& status, File& to, std::string_view what) {
  platform::copyStart(from, to, status.st_size, what);
  platform::copyMetadata(from, status, to.fd());
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (futimens(to.fd(), times) != 0) platform::raiseSystemError(errno, what);
}

}  // namespace

// ---- The store

std::string UndoStoreFolder() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state) + "/tarvel/undo";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/tarvel/undo";
  }
  return {};
}

UndoStore UndoStore::open(const std::string& path, bool create) {
  const char* what = "Не удалось открыть папку отмены";
  if (path.empty() || path[0] != '/') {
    throw Error(platform::kNotFound, "не найдена домашняя папка (HOME): сохранять замены негде");
  }
  // Links on the way are resolved first: a link in a folder that only root or the user can
  // change is theirs. The path found is then walked name by name, following no link, each
  // folder checked before the next name is looked up in it.
  std::string existing = path;
  std::string missing;
  std::unique_ptr<char, void (*)(void*)> real(nullptr, std::free);
  for (;;) {
    real.reset(realpath(existing.c_str(), nullptr));
    if (real) break;
    if (errno != ENOENT || existing == "/") platform::raiseSystemError(errno, what);
    const std::size_t slash = existing.rfind('/');
    missing = existing.substr(slash + 1) + (missing.empty() ? "" : "/" + missing);
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  std::vector<std::string> names;
  for (const std::string& part : split(std::string(real.get()) + "/" + missing, '/')) {
    if (!part.empty()) names.push_back(part);
  }
  const uid_t me = geteuid();
  File at = File::open("/", O_PATH | O_DIRECTORY, 0, what);
  std::string shown = "/";
  for (std::size_t i = 0;; ++i) {
    const bool store = i == names.size();
    struct stat st = at.status(what);
    if (!S_ISDIR(st.st_mode)) throw storeRefused(shown + " не папка");
    if (st.st_uid != 0 && st.st_uid != me) {
      throw storeRefused("папка " + shown + " принадлежит другому пользователю");
    }
    if (store && (st.st_uid != me || (st.st_mode & 077) != 0)) {
      throw storeRefused("папка " + shown + " открыта для других пользователей (нужны права 0700: chmod 700 " + shown + ")");
    }
    if (!store && (st.st_mode & 022) != 0 && !((st.st_mode & S_ISVTX) != 0 && st.st_uid == 0)) {
      throw storeRefused("в папку " + shown + " могут писать другие пользователи");
    }
    if (store) break;
    const std::string& name = names[i];
    const int last = i + 1 == names.size() ? O_RDONLY : O_PATH;
    File next(openat(at.fd(), name.c_str(), last | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.isOpen() && errno == ENOENT && create) {
      if (mkdirat(at.fd(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        platform::raiseSystemError(errno, "Не удалось создать папку отмены");
      }
      next = File(openat(at.fd(), name.c_str(), last | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next.isOpen()) {
      if (errno == ENOENT && !create) {
        UndoStore none;
        none.m_path = path;
        return none;
      }
      if (errno == ELOOP || errno == ENOTDIR) {
        throw storeRefused((shown == "/" ? "/" : shown + "/") + name + " не папка");
      }
      platform::raiseSystemError(errno, what);
    }
    shown = (shown == "/" ? "/" : shown + "/") + name;
    at = std::move(next);
  }
  UndoStore opened;
  opened.m_path = path;
  opened.m_folder = std::move(at);
  return opened;
}

// ---- Recording a run

UndoJournal::UndoJournal(std::string store, RunHeader header)
    : m_store(std::move(store)), m_header(std::move(header)) {}

UndoJournal::~UndoJournal() = default;

void UndoJournal::begin(const EventPump& pump, LockBudget* budget) {
  m_begun = true;
  const char* what = "Не удалось создать папку отмены";
  try {
    const UndoStore store = UndoStore::open(m_store, true);
    const int root = store.fd();
    struct stat st {};
    if (fstat(root, &st) == 0) m_storeIdentity = {st.st_dev, st.st_ino};
    // The store's counter gives each run its place, under a lock that is held for a moment by
    // whoever begins a run: no clock decides the order.
    File sequence = File::openAt(root, kSequenceFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, what);
    // Waited for as any lock is: another run holds it for a moment, but one that is stopped
    // (Ctrl+Z in its terminal) holds it until it goes on. A stop of this run ends the wait; the
    // run begins again at its next file, if there is one.
    try {
      LockWait wait(pump, budget);
      while (!wait.take(sequence.fd(), what, "её занимает другая копия программы")) {
      }
    } catch (const Error&) {
      throw;
    } catch (...) {
      m_begun = false;
      throw;
    }
    std::vector<RunName> runs = runsIn(root);
    std::uint64_t last = 0;
    char digits[32] = {};
    if (pread(sequence.fd(), digits, sizeof digits - 1, 0) > 0) last = std::strtoull(digits, nullptr, 10);
    for (const RunName& r : runs) last = std::max(last, r.number);

    // Set up under a name the store does not list, then put in place whole, its journal
    // locked already: no undo can meet a run half made.
    const std::string begun = kBegunPrefix + std::to_string(getpid());
    if (existsIn(root, begun.c_str())) moveToTrash(root, begun);  // a killed run's, same pid
    if (mkdirat(root, begun.c_str(), 0700) != 0) platform::raiseSystemError(errno, what);
    m_folder = File::openAt(root, begun, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, what);
    try {
      m_journal = File::openAt(m_folder.fd(), kJournalFile,
                               O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW, 0600,
                               "Не удалось записать журнал");
      if (flock(m_journal.fd(), LOCK_EX | LOCK_NB) != 0) {
        platform::raiseSystemError(errno, "Не удалось записать журнал");
      }
      const std::time_t now = std::time(nullptr);
      File info = File::openAt(m_folder.fd(), kInfoFile, O_WRONLY | O_CREAT | O_EXCL, 0600,
                               "Не удалось записать журнал");
      info.writeAll("2\t" + std::to_string(now) + "\t" +
                        (m_header.origin == RunOrigin::Window ? "window" : "cli") + "\t" +
                        escape(m_header.find) + "\t" + escape(m_header.replace) + "\t" +
                        escape(m_header.target) + "\n",
                    "Не удалось записать журнал");
      info.close("Не удалось записать журнал");
      const std::string stamp = timeText(now, "%Y%m%d-%H%M%S", true);
      for (std::uint64_t n = last + 1;; ++n) {
        const std::string id = std::to_string(n) + "-" + stamp;
        if (renameat2(root, begun.c_str(), root, id.c_str(), RENAME_NOREPLACE) == 0) {
          m_id = id;
          last = n;
          break;
        }
        if (errno != EEXIST || n > last + 1000) platform::raiseSystemError(errno, what);
      }
    } catch (...) {
      moveToTrash(root, begun);
      throw;
    }
    const std::string number = std::to_string(last);
    if (pwrite(sequence.fd(), number.data(), number.size(), 0) !=
            static_cast<ssize_t>(number.size()) ||
        ftruncate(sequence.fd(), static_cast<off_t>(number.size())) != 0) {
      platform::raiseSystemError(errno, what);
    }
    ReadFolderFacts(m_folder.fd(), m_folderFacts);

    // The oldest runs go, so that kKeptRuns remain with this one; a run still going stays.
    runs.push_back(RunName{m_id, last});
    std::size_t drop = runs.size() > kKeptRuns ? runs.size() - kKeptRuns : 0;
    for (std::size_t i = 0; i < drop; ++i) {
      const File run(openat(root, runs[i].name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!run.isOpen()) continue;
      if (const auto journal = lockedJournal(run.fd(), LOCK_EX)) moveToTrash(root, runs[i].name);
    }
    // Runs killed while they were being set up (which happens under the store's lock).
    for (const platform::FolderEntry& e : platform::listFolder(root, what)) {
      if (e.name.starts_with(kBegunPrefix)) moveToTrash(root, e.name);
    }
    sequence.close(what);
    // Deleting is retried by every run until it is done.
    if (trashHoldsAnything(root)) emptyTrashInBackground(root);
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

std::string UndoJournal::id() const {
  const std::lock_guard guard(m_lock);
  return m_id;
}

bool UndoJournal::isStore(dev_t device, ino_t inode) const {
  const std::lock_guard guard(m_lock);
  return m_storeIdentity == std::make_pair(device, inode);
}

void UndoJournal::fail(const std::string& why) {
  const std::lock_guard guard(m_lock);
  if (m_problem.empty()) m_problem = why;
  m_enabled = false;
}

std::optional<KeptOriginal> UndoJournal::prepare(int source, const struct stat& status,
                                                 const FolderFacts& folder, const EventPump& pump,
                                                 LockBudget* budget) {
  if (!enabled()) return std::nullopt;
  {
    const std::lock_guard guard(m_lock);
    if (!m_begun) begin(pump, budget);
    if (!enabled()) return std::nullopt;
  }
  // The original itself, by a second name, where the store is on its mount and the system lets
  // this user link it (the owner, or root): nothing is copied, and the rename then frees
  // nothing. The link is made after the last check.
  if (SameMount(folder, m_folderFacts) && (geteuid() == 0 || geteuid() == status.st_uid)) {
    return KeptOriginal{{}, status.st_dev, status.st_ino, true};
  }
  // Elsewhere a copy, made now, before the last check.
  const char* what = "Не удалось сохранить исходный файл";
  try {
    std::string name = "kXXXXXX";
    File copy = platform::createUniqueAt(m_folder.fd(), name, what);
    try {
      copyFile(source, status, copy, what);
      const struct stat st = copy.status(what);
      copy.close(what);
      return KeptOriginal{name, st.st_dev, st.st_ino, false};
    } catch (...) {
      unlinkat(m_folder.fd(), name.c_str(), 0);
      throw;
    }
  } catch (const Error& e) {
    fail(e.description());
  } catch (const std::bad_alloc&) {
    fail(platform::outOfMemory().description());
  }
  return std::nullopt;
}

bool UndoJournal::link(KeptOriginal& kept, int source) {
  try {
    std::string name = "kXXXXXX";
    if (platform::linkUnique(source, m_folder.fd(), name, "Не удалось сохранить исходный файл")) {
      kept.name = name;
      kept.linkPending = false;
      return true;
    }
    fail("Не удалось сохранить исходный файл: система не даёт создать на него ссылку");
  } catch (const Error& e) {
    fail(e.description());
  }
  return false;
}

void UndoJournal::discard(const KeptOriginal& kept) {
  if (!kept.name.empty()) unlinkat(m_folder.fd(), kept.name.c_str(), 0);
}

std::string UndoJournal::keptPath(const KeptOriginal& kept) const {
  return m_store + "/" + id() + "/" + kept.name;
}

bool UndoJournal::keptStatus(const KeptOriginal& kept, struct stat& status) const {
  return !kept.name.empty() &&
         fstatat(m_folder.fd(), kept.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string UndoJournal::canonicalFolder(const FileRef& file, const FolderFacts& folder) {
  if (file.open && !file.open->canonical.empty()) return file.open->canonical;
  const auto identity = std::make_pair(folder.device, folder.inode);
  if (m_lastFolder.first == identity && !m_lastFolder.second.empty()) return m_lastFolder.second;
  std::string path = platform::pathOf(file.folder);
  if (path.empty()) {
    // No /proc: the path as the walk gave it, from the current folder.
    path = platform::folderName(file.path);
    if (!path.starts_with('/')) {
      std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
      if (cwd) path = std::string(cwd.get()) + (path == "." ? "" : "/" + path);
    }
  }
  m_lastFolder = {identity, path};
  return path;
}

std::optional<std::size_t> UndoJournal::writeAhead(const KeptOriginal& kept, const FileRef& file,
                                                   const FolderFacts& folder,
                                                   const struct stat& written, std::uint64_t hash) {
  if (!enabled()) return std::nullopt;
  const std::lock_guard guard(m_lock);
  const std::string where = canonicalFolder(file, folder);
  std::ostringstream line;
  line << kPendingMark << '\t' << kept.name << '\t' << kept.device << '\t' << kept.inode << '\t'
       << folder.device << '\t' << folder.inode << '\t' << written.st_dev << '\t'
       << written.st_ino << '\t' << written.st_size << "\t0\t0\t" << std::hex << hash << std::dec
       << '\t' << escape(where) << '\t' << escape(file.name) << '\n';
  if (!appendLocked(line.str())) {
    if (!kept.name.empty()) unlinkat(m_folder.fd(), kept.name.c_str(), 0);
    return std::nullopt;
  }
  ++m_recorded;
  return m_lines - 1;
}

void UndoJournal::complete(std::size_t entry, const KeptOriginal& kept, const FileRef& file,
                           const struct stat& written, const struct stat* old,
                           std::size_t replacements) {
  struct stat st {};
  const bool ours = fstatat(file.folder, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    st.st_dev == written.st_dev && st.st_ino == written.st_ino &&
                    st.st_size == written.st_size;
  const std::lock_guard guard(m_lock);
  if (!ours) {
    // Replaced again at once, by someone else: not ours to take back.
    if (appendLocked(std::string(1, kCancelMark) + "\t" + std::to_string(entry) + "\n")) {
      if (!kept.name.empty()) unlinkat(m_folder.fd(), kept.name.c_str(), 0);
    }
    return;
  }
  std::string line = std::string(1, kDoneMark) + "\t" + std::to_string(entry) + "\t" +
                     std::to_string(st.st_ctim.tv_sec) + "\t" + std::to_string(st.st_ctim.tv_nsec);
  if (old != nullptr) {
    // The kept original is the old file itself: what it was at the last look, for the look
    // at the run's end.
    line += "\t" + std::to_string(replacements) + "\t" + std::to_string(old->st_size) + "\t" +
            std::to_string(old->st_mtim.tv_sec) + "\t" + std::to_string(old->st_mtim.tv_nsec);
  }
  appendLocked(line + "\n");
}

void UndoJournal::lookAtKept(const LateReport& report) const {
  File journal;
  {
    const std::lock_guard guard(m_lock);
    if (!m_folder.isOpen()) return;
    journal = File(openat(m_folder.fd(), kJournalFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!journal.isOpen()) return;
  // Read as it was written, a piece at a time: only the entries not yet settled are held
  // (as many as files were being replaced at once).
  std::map<std::size_t, std::pair<std::string, std::string>> open;  // line: kept name, path
  std::size_t number = 0;
  std::string pending;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(journal.fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t at = 0;
    for (std::size_t end; (end = pending.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::vector<std::string> f = split(pending.substr(at, end - at));
      const std::size_t line = number++;
      if (f.size() == 14 && f[0].size() == 1 && f[0][0] == kPendingMark) {
        open[line] = {f[1], joinedPath(unescape(f[12]), unescape(f[13]))};
        continue;
      }
      if (f.empty() || f[0].size() != 1 || (f[0][0] != kDoneMark && f[0][0] != kCancelMark) ||
          f.size() < 2 || !allDigits(f[1]) || f[1].size() >= 12) {
        continue;
      }
      const auto entry = open.find(std::stoull(f[1]));
      if (entry == open.end()) continue;
      const auto [kept, path] = std::move(entry->second);
      open.erase(entry);
      if (f.size() != 8 || !allDigits(f[4]) || !allDigits(f[5]) || !allDigits(f[6]) ||
          !allDigits(f[7]) || f[4].size() > 18 || f[5].size() > 18 || f[6].size() > 18 ||
          f[7].size() > 9) {
        continue;
      }
      struct stat now {};
      if (fstatat(m_folder.fd(), kept.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (now.st_size == std::stoll(f[5]) && now.st_mtim.tv_sec == std::stoll(f[6]) &&
          now.st_mtim.tv_nsec == std::stol(f[7])) {
        continue;
      }
      report(path, m_store + "/" + id() + "/" + kept, std::stoull(f[4]));
    }
    pending.erase(0, at);
  }
}

void UndoJournal::cancel(std::size_t entry) {
  const std::lock_guard guard(m_lock);
  appendLocked(std::string(1, kCancelMark) + "\t" + std::to_string(entry) + "\n");
}

bool UndoJournal::appendLocked(const std::string& text) {
  if (!m_enabled) return false;
  // One write with O_APPEND, whole or not at all: a line cut short is taken back, so that the
  // next one cannot be glued to it.
  ssize_t n;
  do {
    n = ::write(m_journal.fd(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(text.size())) {
    m_journalSize += n;
    ++m_lines;
    return true;
  }
  const int err = n < 0 ? errno : ENOSPC;
  if (n > 0) (void)!ftruncate(m_journal.fd(), m_journalSize);
  if (m_problem.empty()) m_problem = platform::systemError(err, "Не удалось записать журнал").description();
  m_enabled = false;
  return false;
}

// ---- Reading runs

namespace {

// One journal line: the kept original, where the file is, and what the run wrote.
struct Entry {
  std::size_t index = 0;  // the line's number in the journal
  std::string kept;
  dev_t keptDevice = 0;
  ino_t keptInode = 0;
  dev_t folderDevice = 0;
  ino_t folderInode = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec changed {};
  std::uint64_t hash = 0;
  std::string folder;  // from the root, without links
  std::string name;
  bool settled = true;  // its rename is known to have happened (and its change time with it)
};

std::optional<Entry> parseEntry(const std::string& line) {
  std::vector<std::string> f = split(line);
  const bool pending = f.size() == 14 && f[0].size() == 1 && f[0][0] == kPendingMark;
  if (pending) f.erase(f.begin());
  if (f.size() != 13) return std::nullopt;
  for (std::size_t i = 1; i <= 9; ++i) {
    if (!allDigits(f[i])) return std::nullopt;
  }
  if (f[10].empty() || f[10].find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  try {
    Entry e;
    e.kept = f[0];
    e.keptDevice = static_cast<dev_t>(std::stoull(f[1]));
    e.keptInode = static_cast<ino_t>(std::stoull(f[2]));
    e.folderDevice = static_cast<dev_t>(std::stoull(f[3]));
    e.folderInode = static_cast<ino_t>(std::stoull(f[4]));
    e.device = static_cast<dev_t>(std::stoull(f[5]));
    e.inode = static_cast<ino_t>(std::stoull(f[6]));
    e.size = static_cast<off_t>(std::stoll(f[7]));
    e.changed.tv_sec = static_cast<time_t>(std::stoll(f[8]));
    e.changed.tv_nsec = std::stol(f[9]);
    e.hash = std::stoull(f[10], nullptr, 16);
    e.folder = unescape(f[11]);
    e.name = unescape(f[12]);
    const bool safeName = !e.name.empty() && e.name != "." && e.name != ".." &&
                          e.name.find('/') == std::string::npos;
    // A kept original's name is "k" and six letters or digits, as the store gives it: never a
    // path that could lead out of the run's folder.
    const bool keptName = e.kept.size() == 7 && e.kept[0] == 'k' &&
                          std::all_of(e.kept.begin() + 1, e.kept.end(),
                                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    if (!keptName || !safeName || !e.folder.starts_with('/')) {
      return std::nullopt;
    }
    e.settled = !pending;
    return e;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

struct Journal {
  std::vector<Entry> entries;
  std::size_t unreadable = 0;
};

Journal readJournal(int run) {
  Journal j;
  std::size_t cut = 0;
  const std::vector<std::string> lines = wholeLines(readSmallFile(run, kJournalFile), &cut);
  j.unreadable = cut;
  std::map<std::size_t, std::size_t> at;  // an entry's line number: its place in j.entries
  std::set<std::size_t> cancelled;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> f = split(lines[i]);
    const bool settling = !f.empty() && f[0].size() == 1 &&
                          (f[0][0] == kDoneMark || f[0][0] == kCancelMark);
    if (settling) {
      const bool done = f[0][0] == kDoneMark;
      const bool sized = done ? f.size() == 4 || f.size() == 8 : f.size() == 2;
      const auto entry = sized && allDigits(f[1]) && f[1].size() < 12
                             ? at.find(std::stoull(f[1]))
                             : at.end();
      if (entry == at.end() || (done && !(allDigits(f[2]) && allDigits(f[3]) &&
                                          f[2].size() < 19 && f[3].size() < 10))) {
        ++j.unreadable;
        continue;
      }
      Entry& e = j.entries[entry->second];
      if (done) {
        e.changed.tv_sec = static_cast<time_t>(std::stoll(f[2]));
        e.changed.tv_nsec = std::stol(f[3]);
        e.settled = true;
      } else {
        cancelled.insert(entry->first);
      }
      continue;
    }
    if (auto e = parseEntry(lines[i])) {
      e->index = i;
      at[i] = j.entries.size();
      j.entries.push_back(std::move(*e));
    } else {
      ++j.unreadable;
    }
  }
  std::erase_if(j.entries, [&](const Entry& e) { return cancelled.contains(e.index); });
  return j;
}

// What the run's undo has settled so far: the journal line's number and how.
std::map<std::size_t, char> readProgress(int run) {
  std::map<std::size_t, char> settled;
  for (const std::string& line : wholeLines(readSmallFile(run, kProgressFile))) {
    const std::vector<std::string> f = split(line);
    if (f.size() == 2 && allDigits(f[0]) && f[0].size() < 12 && f[1].size() == 1) {
      settled[std::stoull(f[0])] = f[1][0];
    }
  }
  return settled;
}

constexpr char kRestoredMark = 'R';
constexpr char kNotReplacedMark = 'N';

char markOf(UndoFileResult::Kind kind) {
  switch (kind) {
    case UndoFileResult::Kind::Restored:
      return kRestoredMark;
    case UndoFileResult::Kind::NotReplaced:
      return kNotReplacedMark;
    case UndoFileResult::Kind::Changed:
      return 'C';
    case UndoFileResult::Kind::Deleted:
      return 'D';
    case UndoFileResult::Kind::FolderChanged:
      return 'F';
    default:
      return 0;  // not settled: tried again
  }
}

UndoRunInfo infoOf(int store, const RunName& name) {
  UndoRunInfo info;
  info.id = name.name;
  info.number = name.number;
  const File run(openat(store, name.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!run.isOpen()) return info;
  std::string header = readSmallFile(run.fd(), kInfoFile);
  if (!header.empty() && header.back() == '\n') header.pop_back();
  const std::vector<std::string> f = split(header);
  if (f.size() == 6 && f[0] == "2" && allDigits(f[1])) {
    info.started = static_cast<std::time_t>(std::stoll(f[1]));
    info.header.origin = f[2] == "window" ? RunOrigin::Window : RunOrigin::CommandLine;
    info.header.find = unescape(f[3]);
    info.header.replace = unescape(f[4]);
    info.header.target = unescape(f[5]);
  } else if (f.size() >= 3) {
    // The older version's header: its local time, its command and its target.
    std::tm tm {};
    if (strptime(f[0].c_str(), "%Y-%m-%d %H:%M:%S", &tm) != nullptr) {
      tm.tm_isdst = -1;
      info.started = mktime(&tm);
    }
    info.command = unescape(f[1]);
    info.header.origin = info.command.starts_with("Tarvel") ? RunOrigin::Window : RunOrigin::CommandLine;
    info.header.target = unescape(f[2]);
  }
  const Journal journal = readJournal(run.fd());
  info.files = journal.entries.size();
  info.unreadable = journal.unreadable;
  for (const auto& [index, mark] : readProgress(run.fd())) {
    info.left += mark != kRestoredMark && mark != kNotReplacedMark;
  }
  if (!lockedJournal(run.fd(), LOCK_SH)) {
    info.state = UndoRunInfo::State::Running;
  } else if (existsIn(run.fd(), kUndoneFile)) {
    info.state = UndoRunInfo::State::Undone;
  } else if (existsIn(run.fd(), kProgressFile)) {
    info.state = UndoRunInfo::State::PartlyUndone;
  }
  try {
    for (const platform::FolderEntry& e : platform::listFolder(run.fd(), "")) {
      struct stat st {};
      if (fstatat(run.fd(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        info.bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
      }
    }
  } catch (const Error&) {
  }
  return info;
}

// A folder of the run, reached from the root one name at a time, never through a link, and
// checked to be the very folder the run wrote in. The last one reached is kept for the next
// file, which is mostly in the same folder.
class FolderReach {
 public:
  struct Reached {
    File folder;
    FolderFacts facts;
  };

  // The folder at `path` when it is still the folder (`device`, `inode`); nothing when it was
  // moved, removed or replaced (by a link, say). Raises Error when it cannot be looked at.
  const Reached* reach(const std::string& path, dev_t device, ino_t inode) {
    if (m_path == path && m_device == device && m_inode == inode) return m_reached ? &*m_reached : nullptr;
    m_path = path;
    m_device = device;
    m_inode = inode;
    m_reached.reset();
    const char* what = "Не удалось открыть папку";
    File at = File::open("/", O_PATH | O_DIRECTORY, 0, what);
    for (const std::string& name : split(path, '/')) {
      if (name.empty()) continue;
      File next(openat(at.fd(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next.isOpen()) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return nullptr;
        m_path.clear();
        platform::raiseSystemError(errno, what);
      }
      at = std::move(next);
    }
    Reached reached;
    reached.folder = File(openat(at.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!reached.folder.isOpen()) reached.folder = std::move(at);
    const struct stat st = reached.folder.status(what);
    if (st.st_dev != device || st.st_ino != inode) return nullptr;
    ReadFolderFacts(reached.folder.fd(), reached.facts);
    m_reached = std::move(reached);
    return &*m_reached;
  }

 private:
  std::string m_path;
  dev_t m_device = 0;
  ino_t m_inode = 0;
  std::optional<Reached> m_reached;
};

// Undoes (or, in a dry run, looks at) one file of run `run`.
class FileUndo {
 public:
  FileUndo(int run, const FolderFacts& runFacts, const UndoRequest& request)
      : m_run(run), m_runFacts(runFacts), m_request(request) {}

  UndoFileResult undo(const Entry& e, FolderReach& folders) {
    UndoFileResult r;
    r.path = joinedPath(e.folder, e.name);
    try {
      const FolderReach::Reached* folder = folders.reach(e.folder, e.folderDevice, e.folderInode);
      if (folder == nullptr) {
        r.kind = UndoFileResult::Kind::FolderChanged;
        return r;
      }
      const FileRef ref(folder->folder.fd(), e.name, r.path);
      std::optional<LockedFile> target;
      try {
        target.emplace(ref);
        if (!m_request.dryRun) target->lock(m_request.pump, &m_locks);
      } catch (const Error& err) {
        if (err.number() == platform::kNotFound) {
          r.kind = UndoFileResult::Kind::Deleted;
          return r;
        }
        if (err.number() != platform::kRefusedAttribute) throw;
        r.kind = UndoFileResult::Kind::Changed;  // a link or a pipe in its place
        return r;
      }
      m_hash.reset();
      if (asWritten(*target, e)) {
        if (m_request.dryRun) {
          r.kind = UndoFileResult::Kind::WouldRestore;
          return r;
        }
        r.kind = UndoFileResult::Kind::Restored;
        if (auto late = restore(*target, folder->facts, e)) r.error = late;
        return r;
      }
      if (backAlready(*target, e)) {
        // A run killed before this file's rename: it was never replaced.
        r.kind = e.settled ? UndoFileResult::Kind::Restored : UndoFileResult::Kind::NotReplaced;
      } else {
        r.kind = UndoFileResult::Kind::Changed;
      }
    } catch (const Error& err) {
      r.kind = UndoFileResult::Kind::Failed;
      r.error = err;
    }
    return r;
  }

 private:
  std::uint64_t hashOfTarget(LockedFile& target) {
    if (!m_hash) m_hash = hashOf(target.file().fd());
    return *m_hash;
  }

  // Still exactly what the run wrote: the same file, or, in its folder, the same content. An
  // entry that was never settled has no change time to compare: its content decides.
  bool asWritten(LockedFile& target, const Entry& e) {
    const struct stat& st = target.status();
    if (st.st_size != e.size) return false;
    if (e.settled && st.st_dev == e.device && st.st_ino == e.inode && st.st_ctim.tv_sec == e.changed.tv_sec &&
        st.st_ctim.tv_nsec == e.changed.tv_nsec) {
      return true;
    }
    return hashOfTarget(target) == e.hash;
  }

  // The original is in place already: an undo stopped after the rename that put it back.
  bool backAlready(LockedFile& target, const Entry& e) {
    const struct stat& st = target.status();
    struct stat kept {};
    if (fstatat(m_run, e.kept.c_str(), &kept, AT_SYMLINK_NOFOLLOW) != 0) {
      return st.st_dev == e.keptDevice && st.st_ino == e.keptInode;  // moved back from the store
    }
    if (kept.st_size != st.st_size) return false;
    const File copy(openat(m_run, e.kept.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return copy.isOpen() && hashOf(copy.fd()) == hashOfTarget(target);
  }

  // Puts the kept original back through the replacement step: moved from the store where it
  // is on the file's mount, else copied next to the file with its status and times.
  std::optional<Error> restore(LockedFile& target, const FolderFacts& folder, const Entry& e) {
    const char* what = "Не удалось вернуть исходный файл";
    Replacement replacement(target, folder);
    Replacement::Done done;
    if (SameMount(folder, m_runFacts)) {
      if (!existsIn(m_run, e.kept.c_str())) {
        throw Error(platform::kNotFound, std::string(what) + ": сохранённая версия не найдена");
      }
      done = replacement.commitFrom(m_run, e.kept);
    } else {
      const File kept = File::openAt(m_run, e.kept, O_RDONLY | O_NOFOLLOW, 0, what);
      replacement.stage(kept.fd(), kept.fd(), kept.status(what), true);
      done = replacement.commit();
    }
    return done.lateChange;
  }

  int m_run;
  const FolderFacts& m_runFacts;
  const UndoRequest& m_request;
  std::optional<std::uint64_t> m_hash;  // of the file at hand, once it was needed
  LockBudget m_locks;
};

}  // namespace

std::vector<UndoRunInfo> ListUndoRuns(const std::string& store) {
  const UndoStore opened = UndoStore::open(store, false);
  std::vector<UndoRunInfo> runs;
  if (opened.fd() < 0) return runs;
  for (const RunName& name : runsIn(opened.fd())) runs.push_back(infoOf(opened.fd(), name));
  return runs;
}

std::string UndoLine(const UndoFileResult& r) {
  const std::string shown = ShownPath(r.path);
  switch (r.kind) {
    case UndoFileResult::Kind::Restored:
      return r.error ? r.error->description() + " - " + shown : std::string();
    case UndoFileResult::Kind::WouldRestore:
      return "будет возвращён: " + shown;
    case UndoFileResult::Kind::NotReplaced:
      return {};
    case UndoFileResult::Kind::Changed:
      return "изменён после замены — оставлен как есть: " + shown;
    case UndoFileResult::Kind::Deleted:
      return "удалён после замены — не восстановлен: " + shown;
    case UndoFileResult::Kind::FolderChanged:
      return "папка изменена после замены — оставлен как есть: " + shown;
    case UndoFileResult::Kind::Failed:
      break;
  }
  return "не восстановлен: " + (r.error ? r.error->description() : std::string()) + " - " + shown;
}

std::string UndoDoneLine(const UndoOutcome& o, bool dryRun) {
  const std::string counts = std::to_string(o.restored) + ", оставлено как есть: " +
                             std::to_string(o.left) + ".";
  return dryRun ? "Замена " + o.id + ": будет возвращено файлов: " + counts
                : "Замена " + o.id + " отменена. Возвращено файлов: " + counts;
}

std::string UnreadableLinesLine(const UndoOutcome& o) {
  if (o.unreadable == 0) return {};
  return "Строк журнала не удалось прочитать: " + std::to_string(o.unreadable) +
         "; эти файлы вернуть нельзя.";
}

UndoOutcome UndoRun(const std::string& storePath, const UndoRequest& request,
                    const std::function<void(const UndoFileResult&)>& report) {
  const UndoStore store = UndoStore::open(storePath, false);
  if (store.fd() < 0) throw Error(platform::kNotFound, "отменять нечего: замен ещё не было");
  const RunName name = findRun(store.fd(), request.id);
  const std::string& id = name.name;
  if (name.number == 0) {
    throw Error(platform::kRefusedAttribute,
                "замену " + id + " записала прежняя версия программы: её можно только удалить (--forget)");
  }
  const File run = File::openAt(store.fd(), id, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0,
                                "Не удалось открыть замену " + id);
  // The run's journal is held for the whole undo: no run still going is taken back, and no two
  // undos of one run overlap.
  const std::optional<File> journal = lockedJournal(run.fd(), request.dryRun ? LOCK_SH : LOCK_EX);
  if (!journal) {
    throw Error(platform::kAccessRefused,
                "замена " + id + " ещё идёт (или её уже отменяет другая копия программы)");
  }
  if (existsIn(run.fd(), kUndoneFile)) {
    throw Error(platform::kRefusedAttribute, "замена " + id + " уже отменена");
  }
  const Journal entries = readJournal(run.fd());
  const std::map<std::size_t, char> settled = readProgress(run.fd());
  UndoOutcome outcome;
  outcome.id = id;
  outcome.unreadable = entries.unreadable;
  File progress;
  if (!request.dryRun) {
    progress = File::openAt(run.fd(), kProgressFile, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW,
                            0600, "Не удалось записать журнал отмены");
  }
  FolderFacts runFacts;
  ReadFolderFacts(run.fd(), runFacts);
  FolderReach folders;
  FileUndo undo(run.fd(), runFacts, request);
  std::size_t pending = 0;
  for (const Entry& e : entries.entries) {
    if (const auto done = settled.find(e.index); done != settled.end()) {
      if (done->second != kNotReplacedMark) {
        ++(done->second == kRestoredMark ? outcome.restored : outcome.left);
      }
      continue;
    }
    if (request.pump) request.pump();
    const UndoFileResult r = undo.undo(e, folders);
    report(r);
    const char mark = markOf(r.kind);
    if (r.kind == UndoFileResult::Kind::Restored || r.kind == UndoFileResult::Kind::WouldRestore) {
      ++outcome.restored;
    } else if (mark != 0 && mark != kNotReplacedMark) {
      ++outcome.left;
    }
    if (r.error) ++outcome.failed;
    if (request.dryRun) continue;
    if (mark == 0) {
      ++pending;
      continue;
    }
    const std::string line = std::to_string(e.index) + "\t" + mark + "\n";
    progress.writeAll(line, "Не удалось записать журнал отмены");
    // Only once the original is back is its kept copy let go.
    if (mark == kRestoredMark || mark == kNotReplacedMark) unlinkat(run.fd(), e.kept.c_str(), 0);
  }
  if (!request.dryRun && pending == 0) {
    const File mark = File::openAt(run.fd(), kUndoneFile, O_WRONLY | O_CREAT | O_NOFOLLOW, 0600,
                                   "Не удалось отметить замену " + id);
    outcome.finished = true;
  }
  return outcome;
}

std::vector<std::pair<std::string, Error>> ForgetRuns(const std::string& storePath,
                                                      const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, Error>> refused;
  const UndoStore store = UndoStore::open(storePath, false);
  if (store.fd() < 0) return refused;
  for (const std::string& id : ids) {
    try {
      const RunName name = findRun(store.fd(), id);
      const File run = File::openAt(store.fd(), name.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW,
                                    0, "Не удалось открыть замену " + name.name);
      const auto journal = lockedJournal(run.fd(), LOCK_EX);
      if (!journal) throw Error(platform::kAccessRefused, "замена " + name.name + " ещё идёт");
      moveToTrash(store.fd(), name.name);
    } catch (const Error& e) {
      refused.emplace_back(id, e);
    }
  }
  emptyTrash(store.fd());
  return refused;
}

}  // namespace engine
