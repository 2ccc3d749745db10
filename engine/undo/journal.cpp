#include "engine/undo/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "engine/undo/drop.h"
#include "engine/undo/journal_format.h"
#include "platform/attributes.h"
#include "platform/metadata.h"

namespace engine {
namespace {

using namespace journal;
using platform::Error;
using platform::File;

// mode, extended attributes) and the times.
void copyFile(int from, const struct stat& status, File& to, platform::Step what) {
  platform::copyStart(from, to, status.st_size, what);
  platform::copyMetadata(from, status, to.fd());
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (futimens(to.fd(), times) != 0) platform::raiseSystemError(errno, what);
}

}  // namespace

UndoJournal::UndoJournal(std::string store, RunHeader header)
    : m_store(std::move(store)), m_header(std::move(header)) {}

UndoJournal::~UndoJournal() = default;

void UndoJournal::begin(const EventPump& pump, LockBudget* budget) {
  m_begun = true;
  const platform::Step what = platform::Step::CreateUndoStore;
  try {
    const UndoStore store = UndoStore::open(m_store, true);
    const int root = store.fd();
    struct stat st {};
    if (fstat(root, &st) == 0) m_storeIdentity = {st.st_dev, st.st_ino};
    File sequence = takeSequence(root, pump, budget);
    std::vector<RunName> runs = RunsIn(root);
    std::uint64_t last = 0;
    char digits[32] = {};
    if (pread(sequence.fd(), digits, sizeof digits - 1, 0) > 0) last = std::strtoull(digits, nullptr, 10);
    for (const RunName& r : runs) last = std::max(last, r.number);
    last = setUp(root, last + 1);
    const std::string number = std::to_string(last);
    if (pwrite(sequence.fd(), number.data(), number.size(), 0) !=
            static_cast<ssize_t>(number.size()) ||
        ftruncate(sequence.fd(), static_cast<off_t>(number.size())) != 0) {
      platform::raiseSystemError(errno, what);
    }
    ReadFolderFacts(m_folder.fd(), m_folderFacts);
    runs.push_back(RunName{m_id, last});
    dropOldRuns(root, runs);
    sequence.close(what);
    // Deleting is retried by every run until it is done.
    EmptyTrashLater(root);
  } catch (const Error& e) {
    m_problem = e;
    m_enabled = false;
  } catch (const std::bad_alloc&) {
    m_problem = platform::outOfMemory();
    m_enabled = false;
  }
}

// The store's counter gives each run its place, under a lock that is held for a moment by
// whoever begins a run: no clock decides the order. Waited for as any lock is: another run
// holds it for a moment, but one that is stopped (Ctrl+Z in its terminal) holds it until it
// goes on. A stop of this run ends the wait; the run begins again at its next file, if any.
File UndoJournal::takeSequence(int root, const EventPump& pump, LockBudget* budget) {
  const platform::Step what = platform::Step::CreateUndoStore;
  File sequence = File::openAt(root, kSequenceFile, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, what);
  try {
    LockWait wait(pump, budget);
    while (!wait.take(sequence.fd(), what, platform::Why::StoreLockedByOtherCopy)) {
    }
  } catch (const Error&) {
    throw;
  } catch (...) {
    m_begun = false;
    throw;
  }
  return sequence;
}

// Sets the run up under a name the store does not list, then puts it in place whole, its
// journal locked already: no undo can meet a run half made. Returns the number it took, the
// first free from `next` on.
std::uint64_t UndoJournal::setUp(int root, std::uint64_t next) {
  const platform::Step what = platform::Step::CreateUndoStore;
  const std::string begun = kBegunPrefix + std::to_string(getpid());
  if (existsIn(root, begun.c_str())) MoveToTrash(root, begun);  // a killed run's, same pid
  if (mkdirat(root, begun.c_str(), 0700) != 0) platform::raiseSystemError(errno, what);
  m_folder = File::openAt(root, begun, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0, what);
  try {
    m_journal = File::openAt(m_folder.fd(), kJournalFile,
                             O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW, 0600,
                             platform::Step::WriteJournal);
    if (flock(m_journal.fd(), LOCK_EX | LOCK_NB) != 0) {
      platform::raiseSystemError(errno, platform::Step::WriteJournal);
    }
    const std::time_t now = std::time(nullptr);
    writeHeader(now);
    const std::string stamp = timeText(now, "%Y%m%d-%H%M%S", true);
    for (std::uint64_t n = next;; ++n) {
      const std::string id = std::to_string(n) + "-" + stamp;
      if (renameat2(root, begun.c_str(), root, id.c_str(), RENAME_NOREPLACE) == 0) {
        m_id = id;
        return n;
      }
      if (errno != EEXIST || n >= next + 1000) platform::raiseSystemError(errno, what);
    }
  } catch (...) {
    MoveToTrash(root, begun);
    throw;
  }
}

void UndoJournal::writeHeader(std::time_t now) {
  File info = File::openAt(m_folder.fd(), kInfoFile, O_WRONLY | O_CREAT | O_EXCL, 0600,
                           platform::Step::WriteJournal);
  info.writeAll("2\t" + std::to_string(now) + "\t" +
                    (m_header.origin == RunOrigin::Window ? "window" : "cli") + "\t" +
                    escape(m_header.find) + "\t" + escape(m_header.replace) + "\t" +
                    escape(m_header.target) + "\n",
                platform::Step::WriteJournal);
  info.close(platform::Step::WriteJournal);
}

// The oldest runs go, so that kKeptRuns remain with the new one (the last of `runs`); a run
// still going stays. So do runs killed while they were being set up (which happens under the
// store's lock).
void UndoJournal::dropOldRuns(int root, const std::vector<RunName>& runs) {
  const std::size_t drop = runs.size() > kKeptRuns ? runs.size() - kKeptRuns : 0;
  for (std::size_t i = 0; i < drop; ++i) {
    const File run(openat(root, runs[i].name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!run.isOpen()) continue;
    if (const auto journal = LockedJournal(run.fd(), LOCK_EX)) MoveToTrash(root, runs[i].name);
  }
  for (const platform::FolderEntry& e : platform::listFolder(root, platform::Step::CreateUndoStore)) {
    if (e.name.starts_with(kBegunPrefix)) MoveToTrash(root, e.name);
  }
}

std::optional<Error> UndoJournal::problem() const {
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

void UndoJournal::fail(const Error& why) {
  const std::lock_guard guard(m_lock);
  if (!m_problem) m_problem = why;
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
  const platform::Step what = platform::Step::KeepOriginal;
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
    fail(e);
  } catch (const std::bad_alloc&) {
    fail(platform::outOfMemory());
  }
  return std::nullopt;
}

bool UndoJournal::link(KeptOriginal& kept, int source) {
  try {
    std::string name = "kXXXXXX";
    if (platform::linkUnique(source, m_folder.fd(), name, platform::Step::KeepOriginal)) {
      kept.name = name;
      kept.linkPending = false;
      return true;
    }
    fail(Error(platform::kAccessRefused, platform::Step::KeepOriginal, platform::Why::NoLinkAllowed));
  } catch (const Error& e) {
    fail(e);
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
  if (!m_problem) m_problem = platform::systemError(err, platform::Step::WriteJournal);
  m_enabled = false;
  return false;
}

}  // namespace engine
