#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/file/file_ref.h"
#include "engine/text/match_options.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

/// A replaced file's original as the undo store keeps it.
struct KeptOriginal {
  std::string name;   ///< its name in the run's folder
  dev_t device = 0;   ///< the kept file's identity: the original itself when it is a link
  ino_t inode = 0;
  bool linkPending = false;  ///< a hard link still to be made, after the last check
};

class LockBudget;

/// Where a replacement keeps the file it replaces, so that it can be put back: the undo
/// journal. Recording never stops a replacement: a keeper that fails turns itself off.
class OriginalKeeper {
 public:
  virtual ~OriginalKeeper() = default;
  virtual bool enabled() const = 0;
  /// Before the last check of the file open as `source` (status `status`, in a folder with
  /// `folder`'s facts): keeps the original by a copy where a hard link cannot be made later.
  /// Nothing when recording is off. Locks are waited for as LockWait waits.
  virtual std::optional<KeptOriginal> prepare(int source, const struct stat& status,
                                              const FolderFacts& folder, const EventPump& pump,
                                              LockBudget* budget) = 0;
  /// After the last check: the hard link that `kept` waits for; false when it fails.
  virtual bool link(KeptOriginal& kept, int source) = 0;
  /// Drops a kept original whose replacement did not happen.
  virtual void discard(const KeptOriginal& kept) = 0;
  /// The kept original's full path, for a report.
  virtual std::string keptPath(const KeptOriginal& kept) const = 0;
  /// Just before the rename that replaces `file` by `written` (content hashing to `hash`): the
  /// record, on disk before the file changes; its number, or nothing when recording failed.
  virtual std::optional<std::size_t> writeAhead(const KeptOriginal& kept, const FileRef& file,
                                                const FolderFacts& folder,
                                                const struct stat& written,
                                                std::uint64_t hash) = 0;
  /// Just after the rename: settles record `entry` (see UndoJournal::complete).
  virtual void complete(std::size_t entry, const KeptOriginal& kept, const FileRef& file,
                        const struct stat& written, const struct stat* old,
                        std::size_t replacements) = 0;
  /// Cancels record `entry`: its rename failed, the file is as it was.
  virtual void cancel(std::size_t entry) = 0;
  /// The folder where the originals are kept (a walk leaves it alone), as given.
  virtual const std::string& store() const = 0;
  /// True when the folder (`device`, `inode`) is that folder, once the first original is kept.
  virtual bool isStore(dev_t device, ino_t inode) const = 0;
};

/// True for the name a copy gets next to a file just before it takes the file's place
/// (".tarvel-XXXXXX"): no user's file, and no walk counts it.
bool IsStagingName(std::string_view name);

/// The time one run (or one undo) may spend waiting for locks, in all: 60 seconds, shared by
/// its workers, so that locks that never go away cannot hold it for a minute a file.
class LockBudget {
 public:
  /// Adds `waited` to the time spent; false once the whole budget has been spent.
  bool spend(std::chrono::steady_clock::duration waited);

  /// What one of the run's waits is waiting for now (the latest to begin), so that the run can
  /// say it; nothing while none waits.
  std::optional<platform::Why> waitingFor() const;
  void beginWait(platform::Why what);
  void endWait(platform::Why what);

 private:
  std::atomic<std::int64_t> m_spent{0};  // nanoseconds
  std::atomic<int> m_waitingFor{-1};
};

/// One wait of at most 60 seconds for an exclusive lock (flock) that another program of the
/// user's holds (another Tarvel, an editor). A lock that a process of another user holds is
/// not waited for: whoever can read a file can lock it, for as long as she likes.
class LockWait {
 public:
  /// `budget`, when given, is the run's: every wait spends from it.
  explicit LockWait(const EventPump& pump, LockBudget* budget = nullptr);

  /// Takes the lock on `fd` and returns true when it is free; otherwise waits a moment (10 ms,
  /// pumping events) and returns false, to be asked again. Raises platform::Error
  /// (kAccessRefused) at once when a process of another user holds the lock, and once the
  /// wait has lasted 60 seconds (`what` failed: `busy`) or the run's budget is spent.
  bool take(int fd, platform::Step what, platform::Why busy);

  ~LockWait();
  LockWait(const LockWait&) = delete;
  LockWait& operator=(const LockWait&) = delete;

 private:
  void ended();

  const EventPump& m_pump;
  LockBudget* m_budget;
  std::chrono::steady_clock::time_point m_deadline;
  std::chrono::steady_clock::time_point m_last{};   // the last look, once the wait began
  std::chrono::steady_clock::time_point m_nextLook{};  // when to ask the system who holds it
  std::optional<platform::Why> m_waiting;  // what the budget was told this wait is for
};

/// A replaced file's old content, kept open so that the run can look at it once more later: a
/// program that opened the file before the rename may write to it after the first look, and
/// that write is in no file the user sees.
struct OldFile {
  std::string path;       ///< the replaced file's path, for the report
  platform::File file;    ///< the old file, open
  struct stat seen {};    ///< its status at the last look
  std::shared_ptr<const OpenFolder> folder;  ///< the replaced file's folder, kept open
  std::size_t replacements = 0;  ///< how many occurrences the replacement replaced
};

/// The failure of a file whose old content another program wrote to during its replacement;
/// `where` its latest content is kept (empty: nowhere).
platform::Error WrittenDuringReplacement(const std::string& where);

/// Looks at `old` once more: when it was written to since its last look, the failure to report
/// (its latest content is kept in a copy next to the file).
std::optional<platform::Error> LookAgain(OldFile& old);

/// A regular file opened in its folder to be read and replaced: never through a link, and
/// links, pipes, devices and folders are refused before they are opened, so nothing hangs and
/// no link is replaced by a copy.
class LockedFile {
 public:
  /// Opens `file` (which must outlive the object). Raises platform::Error.
  explicit LockedFile(const FileRef& file);
  /// A file open already (an unnamed one, which nobody else can reach: not locked).
  LockedFile(const FileRef& file, platform::File opened);

  /// Takes the file for this program alone, an exclusive flock held until it is closed. While
  /// another program holds it, waits (LockWait); when the other has put a new file in its
  /// place meanwhile, the new one is opened and locked.
  void lock(const EventPump& pump, LockBudget* budget = nullptr);

  const FileRef& ref() const { return m_ref; }
  platform::File& file() { return m_file; }
  /// The status as of the lock (or the open): what the file must still be when it is replaced.
  const struct stat& status() const { return m_status; }
  std::uint64_t flags() const { return m_flags; }  ///< statx attribute flags

 private:
  // Opens the file by its name; `listedRegular`: the folder listing gave it as a regular file.
  void open(bool listedRegular);

  const FileRef& m_ref;
  platform::File m_file;
  struct stat m_status {};
  std::uint64_t m_flags = 0;
};

/// The one step that puts a new file in the place of an old one, for conversion and undo
/// alike. The target stays open and locked throughout. What replaces it is either a finished
/// file on the target's mount, renamed from where it is, or a copy staged next to the target,
/// without a name while it is written where the file system allows. Just before the rename the
/// target must still be exactly the file that was read (device and inode, size, modification
/// and change time); after the rename the old file is looked at once more, so that a program
/// that wrote to it without the lock meanwhile is caught.
class Replacement {
 public:
  /// `target` open and locked, in a folder with `folder`'s facts.
  Replacement(LockedFile& target, const FolderFacts& folder);
  /// A staged copy that did not take the target's place is removed, and a kept original dropped.
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  /// Stages a copy of the whole open file `content` next to the target, with the owner, mode
  /// and extended attributes of `like` (status `likeStatus`) and, when `withTimes`, its times.
  /// Every write and close is done here, so that nothing is left to fail after the rename.
  void stage(int content, int like, const struct stat& likeStatus, bool withTimes);

  /// Keeps the target's present content for undo in `journal`: a copy is made now where it
  /// cannot be a hard link (another file system), a hard link just after the last check; the
  /// journal's entry, with `writtenHash` (the hash of what replaces the target), is written
  /// just before the rename. Recording problems never stop the replacement: the journal notes
  /// them.
  void keepOriginal(OriginalKeeper& journal, std::uint64_t writtenHash, std::size_t replacements,
                    const EventPump& pump, LockBudget* budget);

  /// What a replacement did.
  struct Done {
    /// The target's old content, as kept for undo; nothing when it was not kept.
    std::optional<KeptOriginal> kept;
    /// The old file was written to by another program during the rename: the failure to
    /// report (its latest content is kept where the description says). The new file is in
    /// place all the same.
    std::optional<platform::Error> lateChange;
    /// The old file, to be looked at once more later; none after a late change, where undo
    /// keeps the old file itself (the journal says what it was), or where the target's folder
    /// was not kept open.
    std::shared_ptr<OldFile> old;
  };

  /// Replaces the target by the staged copy. Raises platform::Error, the target unchanged.
  Done commit();
  /// Replaces the target by the file `name` in the open folder `from`, on the target's mount.
  Done commitFrom(int from, const std::string& name);

 private:
  void checkUnchanged() const;
  std::optional<platform::Error> lookAgain(const std::optional<KeptOriginal>& kept,
                                          struct stat& now);

  LockedFile& m_target;
  const FolderFacts& m_folder;
  std::string m_staged;  // the staged copy's name next to the target, once it has one
  OriginalKeeper* m_journal = nullptr;
  std::optional<KeptOriginal> m_kept;
  std::uint64_t m_writtenHash = 0;
  std::size_t m_replacements = 0;
  std::optional<std::size_t> m_entry;  // the journal's entry, once written
  bool m_done = false;
};

}  // namespace engine
