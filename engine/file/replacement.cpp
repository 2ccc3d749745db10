#include "engine/file/replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>

#include "platform/attributes.h"
#include "platform/file_system.h"
#include "platform/metadata.h"

namespace engine {
namespace {

using platform::Error;
using platform::File;

constexpr auto kLockWait = std::chrono::seconds(60);

// A copy of the whole open file `content` in the open folder `folder`, given its status by
// `finish`, closed, and named ".tarvel-XXXXXX" only once it is whole: without a name while it
// is written where the file system allows, so that a kill leaves nothing behind. Returns the
// name. Every write and close is done here, so that nothing is left to fail after a rename.
std::string copyNextTo(int folder, int content, const std::function<void(File&)>& finish) {
  const platform::Step what = platform::Step::CreateStagedFile;
  const platform::Step writing = platform::Step::WriteStagedFile;
  struct stat st {};
  if (fstat(content, &st) != 0) platform::raiseSystemError(errno, what);
  std::string name = ".tarvel-XXXXXX";
  File copy(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (copy.isOpen()) {
    platform::copyStart(content, copy, st.st_size, writing);
    finish(copy);
    if (platform::linkUnique(copy.fd(), folder, name, what)) {
      try {
        copy.close(writing);
      } catch (...) {
        unlinkat(folder, name.c_str(), 0);  // named already: nothing is left beside the file
        throw;
      }
      return name;
    }
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    platform::raiseSystemError(errno, what);
  }
  // No unnamed files here, or nothing can give one a name (no /proc): named from the start.
  name = ".tarvel-XXXXXX";
  copy = platform::createUniqueAt(folder, name, what);
  try {
    platform::copyStart(content, copy, st.st_size, writing);
    finish(copy);
    copy.close(writing);
  } catch (...) {
    unlinkat(folder, name.c_str(), 0);
    throw;
  }
  return name;
}

}  // namespace

bool IsStagingName(std::string_view name) {
  constexpr std::string_view kPrefix = ".tarvel-";
  return name.size() == kPrefix.size() + 6 && name.starts_with(kPrefix) &&
         name.find_first_not_of(
             "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", kPrefix.size()) ==
             std::string_view::npos;
}

bool LockBudget::spend(std::chrono::steady_clock::duration waited) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count();
  const std::int64_t limit = std::chrono::duration_cast<std::chrono::nanoseconds>(kLockWait).count();
  return m_spent.fetch_add(ns, std::memory_order_relaxed) + ns <= limit;
}

std::optional<platform::Why> LockBudget::waitingFor() const {
  const int what = m_waitingFor.load(std::memory_order_relaxed);
  if (what < 0) return std::nullopt;
  return static_cast<platform::Why>(what);
}

void LockBudget::beginWait(platform::Why what) {
  m_waitingFor.store(static_cast<int>(what), std::memory_order_relaxed);
}

void LockBudget::endWait(platform::Why what) {
  int expected = static_cast<int>(what);
  m_waitingFor.compare_exchange_strong(expected, -1, std::memory_order_relaxed);
}

LockWait::LockWait(const EventPump& pump, LockBudget* budget)
    : m_pump(pump), m_budget(budget), m_deadline(std::chrono::steady_clock::now() + kLockWait) {}

LockWait::~LockWait() { ended(); }

void LockWait::ended() {
  if (m_waiting && m_budget != nullptr) m_budget->endWait(*m_waiting);
  m_waiting.reset();
}

bool LockWait::take(int fd, platform::Step what, platform::Why busy) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ended();
    return true;
  }
  if (errno != EWOULDBLOCK && errno != EINTR) platform::raiseSystemError(errno, what);
  const auto now = std::chrono::steady_clock::now();
  if (now >= m_nextLook) {
    // Asked at once, then every second: the holder may change while we wait.
    m_nextLook = now + std::chrono::seconds(1);
    for (const platform::LockHolder& holder : platform::flockHolders(fd)) {
      if (holder.user == geteuid()) continue;
      throw Error(platform::kAccessRefused, what, platform::Why::LockedByOtherUser)
          .at(static_cast<std::uint64_t>(holder.pid));
    }
  }
  const bool withinBudget =
      m_budget == nullptr || m_last == std::chrono::steady_clock::time_point{} ||
      m_budget->spend(now - m_last);
  m_last = now;
  if (now > m_deadline) {
    throw Error(platform::kAccessRefused, what, busy);
  }
  if (!withinBudget) {
    throw Error(platform::kAccessRefused, what, platform::Why::LockBudgetSpent);
  }
  if (!m_waiting && m_budget != nullptr) {
    m_waiting = busy;
    m_budget->beginWait(busy);
  }
  if (m_pump) m_pump();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return false;
}

LockedFile::LockedFile(const FileRef& file) : m_ref(file) { open(file.type == DT_REG); }

LockedFile::LockedFile(const FileRef& file, platform::File opened)
    : m_ref(file), m_file(std::move(opened)) {
  m_status = platform::statusWithFlags(m_file.fd(), m_flags, platform::Step::OpenFile);
}

void LockedFile::open(bool listedRegular) {
  const FileRef& file = m_ref;
  const platform::Step what = platform::Step::OpenFile;
  auto notRegular = [&](mode_t mode) {
    if (S_ISDIR(mode)) return Error(platform::kIsFolder, what, platform::Why::IsFolder);
    if (S_ISLNK(mode)) return Error(platform::Refusal::Link, what, platform::Why::IsLink);
    return Error(platform::Refusal::Special, what, platform::Why::NotRegular);
  };
  // A name the folder's listing gives as a regular file is opened at once: only a regular
  // file can take its place, a device only by someone who may make devices. Any other name is
  // looked at before it is opened, so that no device is ever opened; the file opened must then
  // be the one looked at. A link is never followed, and a pipe never waited for; whatever is
  // opened is refused unless it is a regular file.
  struct stat before {};
  if (!listedRegular) {
    if (fstatat(file.folder, file.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
      platform::raiseSystemError(errno, what);
    }
    if (!S_ISREG(before.st_mode)) throw notRegular(before.st_mode);
  }
  const int fd = ::openat(file.folder, file.name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) throw notRegular(S_IFLNK);  // became a link since it was looked at
    platform::raiseSystemError(errno, what);
  }
  m_file = File(fd);
  m_status = platform::statusWithFlags(fd, m_flags, what);
  if (!S_ISREG(m_status.st_mode) && listedRegular) throw notRegular(m_status.st_mode);
  if (!S_ISREG(m_status.st_mode) ||
      (!listedRegular && (m_status.st_ino != before.st_ino || m_status.st_dev != before.st_dev))) {
    throw Error(platform::kChanged, what, platform::Why::Swapped);
  }
}

void LockedFile::lock(const EventPump& pump, LockBudget* budget) {
  LockWait wait(pump, budget);
  for (;;) {
    if (!wait.take(m_file.fd(), platform::Step::OpenFile,
                   platform::Why::LockedTooLong)) {
      continue;
    }
    struct stat named {};
    if (fstatat(m_ref.folder, m_ref.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == m_status.st_dev && named.st_ino == m_status.st_ino) {
      m_status = named;  // the file as it is now, locked
      return;
    }
    open(false);  // the other program has put its result in the file's place
  }
}

Replacement::Replacement(LockedFile& target, const FolderFacts& folder)
    : m_target(target), m_folder(folder) {}

Replacement::~Replacement() {
  if (m_done) return;
  if (!m_staged.empty()) unlinkat(m_target.ref().folder, m_staged.c_str(), 0);
  if (m_entry) m_journal->cancel(*m_entry);
  if (m_kept) m_journal->discard(*m_kept);
}

void Replacement::stage(int content, int like, const struct stat& likeStatus, bool withTimes) {
  m_staged = copyNextTo(m_target.ref().folder, content, [&](File& copy) {
    platform::copyMetadata(like, likeStatus, copy.fd());
    if (withTimes) {
      const struct timespec times[2] = {likeStatus.st_atim, likeStatus.st_mtim};
      if (futimens(copy.fd(), times) != 0) {
        platform::raiseSystemError(errno, platform::Step::WriteStagedFile);
      }
    }
  });
}

void Replacement::keepOriginal(OriginalKeeper& journal, std::uint64_t writtenHash,
                               std::size_t replacements, const EventPump& pump,
                               LockBudget* budget) {
  m_journal = &journal;
  m_writtenHash = writtenHash;
  m_replacements = replacements;
  m_kept = journal.prepare(m_target.file().fd(), m_target.status(), m_folder, pump, budget);
}

void Replacement::checkUnchanged() const {
  const FileRef& ref = m_target.ref();
  struct stat now {};
  if (fstatat(ref.folder, ref.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    platform::raiseSystemError(errno, platform::Step::ReplaceFile);
  }
  if (!platform::sameFileUnchanged(m_target.status(), now)) {
    throw Error(platform::kChanged, platform::Step::ReplaceFile, platform::Why::ChangedWhileRead);
  }
}

Replacement::Done Replacement::commit() {
  return commitFrom(m_target.ref().folder, m_staged);
}

Replacement::Done Replacement::commitFrom(int from, const std::string& name) {
  const FileRef& ref = m_target.ref();
  checkUnchanged();
  // A link changes the file's change time, so it is made after the check.
  if (m_kept && m_kept->linkPending && !m_journal->link(*m_kept, m_target.file().fd())) {
    m_kept.reset();
  }
  // The journal knows the file before it changes: a kill after the rename leaves an entry
  // that undo settles by the file's content.
  struct stat written {};
  if (m_kept) {
    if (fstatat(from, name.c_str(), &written, AT_SYMLINK_NOFOLLOW) == 0) {
      m_entry = m_journal->writeAhead(*m_kept, ref, m_folder, written, m_writtenHash);
    }
    if (!m_entry) {
      m_journal->discard(*m_kept);
      m_kept.reset();
    }
  }
  if (renameat(from, name.c_str(), ref.folder, ref.name.c_str()) != 0) {
    platform::raiseSystemError(errno, platform::Step::ReplaceFile);
  }
  m_done = true;
  Done done;
  done.kept = std::move(m_kept);
  struct stat now {};
  done.lateChange = lookAgain(done.kept, now);
  // Where undo keeps the old file itself, the journal holds what it was now, and the run's
  // end looks at it there; any other old file is kept open for the run's later look.
  const bool keptItself =
      done.kept && done.kept->device == now.st_dev && done.kept->inode == now.st_ino;
  if (m_entry) {
    m_journal->complete(*m_entry, *done.kept, ref, written, keptItself ? &now : nullptr,
                        m_replacements);
  }
  if (!done.lateChange && !keptItself && ref.open) {
    // Kept open for the run's later look.
    auto old = std::make_shared<OldFile>();
    old->file = File(fcntl(m_target.file().fd(), F_DUPFD_CLOEXEC, 0));
    if (old->file.isOpen()) {
      old->path = ref.path;
      old->seen = now;
      old->folder = ref.open;
      done.old = std::move(old);
    }
  }
  return done;
}

namespace {

}  // namespace

Error WrittenDuringReplacement(const std::string& where) {
  return Error(platform::kChanged, platform::Step::ReplaceFile, platform::Why::ChangedByOther).about(where);
}

namespace {

// Whether the old file open as `old` (seen as `before` at the last look) was written to since;
// then the failure to report, with where its latest content is kept: in the undo store where
// `kept` is the old file itself, otherwise in a copy put next to the file in `folder`.
std::optional<Error> writtenSince(int old, const struct stat& before, struct stat& now,
                                  int folder, const std::string& path,
                                  const std::optional<KeptOriginal>& kept,
                                  const OriginalKeeper* journal) {
  if (fstat(old, &now) != 0) {
    now = before;
    return std::nullopt;
  }
  if (now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == before.st_mtim.tv_nsec) {
    return std::nullopt;
  }
  std::string where;
  if (kept && journal != nullptr && kept->device == now.st_dev && kept->inode == now.st_ino) {
    where = journal->keptPath(*kept);
  } else if (folder >= 0) {
    try {
      where = platform::folderName(path) + "/" + copyNextTo(folder, old, [&](File& copy) {
                platform::copyMetadata(old, now, copy.fd());
              });
    } catch (const Error&) {
    }
  }
  return WrittenDuringReplacement(where);
}

}  // namespace

// The old file stays open: a program that wrote to it between the last check and the end of
// the rename (which takes a while where the file system writes out the new file's data then)
// changed its size or modification time. Its work is not lost: the undo store holds the old
// file where it was kept by a link; otherwise a copy of it is put next to the new one.
std::optional<Error> Replacement::lookAgain(const std::optional<KeptOriginal>& kept,
                                            struct stat& now) {
  return writtenSince(m_target.file().fd(), m_target.status(), now, m_target.ref().folder,
                      m_target.ref().path, kept, m_journal);
}

std::optional<Error> LookAgain(OldFile& old) {
  struct stat now {};
  if (!old.file.isOpen()) return std::nullopt;
  auto late = writtenSince(old.file.fd(), old.seen, now, old.folder ? old.folder->folder.fd() : -1,
                           old.path, std::nullopt, nullptr);
  old.seen = now;
  return late;
}

}  // namespace engine
