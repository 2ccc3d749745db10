#include "engine/undo/restore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <utility>

#include "engine/file/file_ref.h"
#include "engine/file/replacement.h"
#include "engine/undo/journal_format.h"
#include "engine/undo/store.h"
#include "platform/file.h"

namespace engine {
namespace {

using namespace journal;
using platform::Error;
using platform::File;

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

// Undoes (or, in a dry run, looks at) one file of run `run`.
class FileUndo {
 public:
  FileUndo(int run, const FolderFacts& runFacts, const UndoRequest& request)
      : m_run(run), m_runFacts(runFacts), m_request(request) {}

  UndoFileResult undo(const Entry& e, FolderReach& folders) {
    UndoFileResult r;
    r.path = joinedPath(e.folder, e.name);
    try {
      const auto folder = folders.reach(e.folder, e.folderDevice, e.folderInode);
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
    const platform::Step what = platform::Step::RestoreOriginal;
    Replacement replacement(target, folder);
    Replacement::Done done;
    if (SameMount(folder, m_runFacts)) {
      if (!existsIn(m_run, e.kept.c_str())) {
        throw Error(platform::kNotFound, what, platform::Why::KeptOriginalMissing);
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

UndoOutcome UndoRun(const std::string& storePath, const UndoRequest& request,
                    const std::function<void(const UndoFileResult&)>& report) {
  const UndoStore store = UndoStore::open(storePath, false);
  if (store.fd() < 0) throw Error(platform::kNotFound, platform::Step::None, platform::Why::NothingToUndo);
  const RunName name = FindRun(store.fd(), request.id);
  const std::string& id = name.name;
  if (name.number == 0) {
    throw Error(platform::kRefusedAttribute, platform::Step::None, platform::Why::RunOfOlderVersion).about(id);
  }
  const File run = OpenRun(store.fd(), id);
  // The run's journal is held for the whole undo: no run still going is taken back, and no two
  // undos of one run overlap.
  const std::optional<File> journal = LockedJournal(run.fd(), request.dryRun ? LOCK_SH : LOCK_EX);
  if (!journal) {
    throw Error(platform::kAccessRefused, platform::Step::None, platform::Why::RunGoingOrUndone).about(id);
  }
  if (existsIn(run.fd(), kUndoneFile)) {
    throw Error(platform::kRefusedAttribute, platform::Step::None, platform::Why::RunUndone).about(id);
  }
  const Journal entries = readJournal(run.fd());
  const std::map<std::size_t, char> settled = readProgress(run.fd());
  UndoOutcome outcome;
  outcome.id = id;
  outcome.unreadable = entries.unreadable;
  File progress;
  if (!request.dryRun) {
    progress = File::openAt(run.fd(), kProgressFile, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW,
                            0600, platform::Step::WriteUndoProgress);
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
    progress.writeAll(line, platform::Step::WriteUndoProgress);
    // Only once the original is back is its kept copy let go.
    if (mark == kRestoredMark || mark == kNotReplacedMark) unlinkat(run.fd(), e.kept.c_str(), 0);
  }
  if (!request.dryRun && pending == 0) {
    const File mark(openat(run.fd(), kUndoneFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!mark.isOpen()) throw platform::systemError(errno, platform::Step::MarkRun).about(id);
    outcome.finished = true;
  }
  return outcome;
}

}  // namespace engine
