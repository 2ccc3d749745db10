#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/file/file_ref.h"
#include "engine/text/match_options.h"
#include "engine/file/replacement.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

/// The user's undo store: $XDG_STATE_HOME/tarvel/undo, else ~/.local/state/tarvel/undo; empty
/// when neither can be named (no home).
std::string UndoStoreFolder();

/// How many runs the store keeps; the oldest go when a new one starts.
inline constexpr std::size_t kKeptRuns = 10;

/// The undo store, open. Every use checks the whole of its path as ssh checks ~/.ssh: each
/// folder on the way belongs to the user or to root and no one else may write to it (a folder
/// of root's with the sticky bit, as /tmp, excepted: others cannot take its entries away),
/// and the store itself is the user's own and closed to everyone else.
class UndoStore {
 public:
  /// Opens the store at `path` (absolute), making the missing folders (mode 0700) when
  /// `create`. Raises platform::Error when the path is refused or cannot be opened; without
  /// `create`, a store that does not exist gives an object whose fd() is -1.
  static UndoStore open(const std::string& path, bool create);

  int fd() const { return m_folder.fd(); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  platform::File m_folder;
};

/// Who made a run.
enum class RunOrigin { CommandLine, Window };

/// What a run records of itself when it begins.
struct RunHeader {
  RunOrigin origin = RunOrigin::CommandLine;
  std::string find;     ///< UTF-8, as given
  std::string replace;
  std::string target;   ///< the file or folder the run was given (several: joined by ", ")
};

/// A run kept in the store, as `tarvel-cli --runs` lists it.
struct UndoRunInfo {
  enum class State {
    Running,      ///< the run, or an undo of it, is going on
    Done,         ///< finished, can be undone
    PartlyUndone, ///< its undo was stopped, or left files that failed: can be finished
    Undone,
  };
  std::string id;            ///< the run's name: its number in the store, then its start (UTC)
  std::uint64_t number = 0;  ///< its place in the store; 0 for a run of an older version
  std::time_t started = 0;
  RunHeader header;
  std::string command;         ///< a run of the older version: its command, instead of the texts
  std::size_t files = 0;       ///< files recorded
  std::size_t unreadable = 0;  ///< journal lines that cannot be read
  std::size_t left = 0;        ///< files its undo left as they were
  std::uint64_t bytes = 0;     ///< space it takes on disk
  State state = State::Done;
};

/// The runs in `store`, oldest first; none when there is no store. Raises platform::Error when
/// the store is refused or cannot be read.
std::vector<UndoRunInfo> ListUndoRuns(const std::string& store);

/// The journal of one run. Before a file is replaced, its original is kept in the run's folder
/// (a hard link of the open file, or a copy on another file system), and, before the rename,
/// one line records where the file is (its folder's path without links and the folder's
/// identity) and the identity of what is written (device, inode, size, xxHash); after the
/// rename a short line settles it with the new file's change time. Each line is appended whole
/// in one write, so that a run killed at any moment can be undone: a file whose entry was
/// never settled is restored when it holds what was written, and left when it holds the
/// original. The run holds a lock on its journal for its whole life, so that no undo
/// takes it back while it goes on.
///
/// Recording never stops or changes a conversion: the first failure (no home, a full disk, a
/// store that is not safe) turns the journal off, and `problem()` says why. Safe to use from
/// several threads.
class UndoJournal {
 public:
  /// A run in `store`, begun with the first original kept: the store is checked (and made),
  /// the run gets the next number the store gives, its header is written, and the oldest runs
  /// are dropped so that kKeptRuns are kept with this one. A run that replaces nothing leaves
  /// nothing.
  UndoJournal(std::string store, RunHeader header);
  ~UndoJournal();
  UndoJournal(const UndoJournal&) = delete;
  UndoJournal& operator=(const UndoJournal&) = delete;

  bool enabled() const { return m_enabled.load(std::memory_order_relaxed); }
  /// Why recording stopped; empty while it works.
  std::string problem() const;
  /// True when recording stopped after some files were recorded.
  bool partial() const;
  /// The run's name once it has begun.
  std::string id() const;
  /// The store's path, as given.
  const std::string& store() const { return m_store; }
  /// True when the folder (`device`, `inode`) is the store, once the run has begun.
  bool isStore(dev_t device, ino_t inode) const;

  /// Before the last check of the file open as `source` (status `status`, in a folder with
  /// `folder`'s facts): begins the run when it is the first, and keeps the original by a copy
  /// where a hard link cannot be made. Nothing when recording is off.
  /// The store's own lock is waited for as LockWait waits (`pump` may throw to stop; `budget`
  /// is the run's).
  std::optional<KeptOriginal> prepare(int source, const struct stat& status,
                                      const FolderFacts& folder, const EventPump& pump = {},
                                      LockBudget* budget = nullptr);
  /// After the last check: the hard link that `kept` waits for. False when it fails (recording
  /// stops then).
  bool link(KeptOriginal& kept, int source);
  /// Drops a kept original whose replacement did not happen.
  void discard(const KeptOriginal& kept);
  /// The kept original's full path, for a report.
  std::string keptPath(const KeptOriginal& kept) const;
  /// The kept original's status as it is now, into `status`; false when it cannot be read.
  bool keptStatus(const KeptOriginal& kept, struct stat& status) const;
  /// Just before the rename that replaces `file` (in a folder with `folder`'s facts) by the file
  /// `written` whose content hashes to `hash`: the entry, on disk before the file changes.
  /// Returns its number, for complete(); nothing when recording is off or fails (the kept
  /// original is dropped then).
  std::optional<std::size_t> writeAhead(const KeptOriginal& kept, const FileRef& file,
                                        const FolderFacts& folder, const struct stat& written,
                                        std::uint64_t hash);
  /// Just after the rename: settles entry `entry` with the new file's change time, or cancels
  /// it (and drops the kept original) when the name no longer holds `written`. `old`, where
  /// the kept original is the old file itself: its status at the last look, and the number of
  /// `replacements` made, for lookAtKept().
  void complete(std::size_t entry, const KeptOriginal& kept, const FileRef& file,
                const struct stat& written, const struct stat* old, std::size_t replacements);
  /// A file whose old content was written to after its replacement: its path (from the root),
  /// where that content is kept, and how many occurrences its replacement replaced.
  using LateReport =
      std::function<void(const std::string& path, const std::string& where, std::size_t replaced)>;
  /// At the run's end: looks once more at each kept original that is the old file itself, and
  /// reports each one that was written to since its file was replaced.
  void lookAtKept(const LateReport& report) const;
  /// Cancels entry `entry`: its rename failed, the file is as it was.
  void cancel(std::size_t entry);

 private:
  void fail(const std::string& why);
  void begin(const EventPump& pump, LockBudget* budget);  // with m_lock held
  bool appendLocked(const std::string& text);  // one whole line, with m_lock held
  std::string canonicalFolder(const FileRef& file, const FolderFacts& folder);

  std::string m_store;
  RunHeader m_header;
  bool m_begun = false;
  std::atomic<bool> m_enabled{true};
  mutable std::mutex m_lock;
  std::string m_problem;
  std::string m_id;
  std::size_t m_recorded = 0;
  platform::File m_folder;   // the run's folder
  platform::File m_journal;  // its journal, appended to and locked
  off_t m_journalSize = 0;
  std::size_t m_lines = 0;  // lines in the journal
  FolderFacts m_folderFacts;
  std::pair<dev_t, ino_t> m_storeIdentity{};
  std::pair<std::pair<dev_t, ino_t>, std::string> m_lastFolder;  // its path without links
};

/// What undo did, or would do, with one file.
struct UndoFileResult {
  enum class Kind {
    Restored,       ///< the original is back
    WouldRestore,   ///< a dry run: it would come back
    Changed,        ///< changed since the run: left as it is
    Deleted,        ///< deleted since the run: not made again
    FolderChanged,  ///< its folder was moved or replaced since the run: left as it is
    Failed,         ///< could not be restored now (`error` says why); a later undo tries again
    NotReplaced,    ///< the run was killed before it replaced the file: it is as it was
  };
  Kind kind = Kind::Failed;
  std::string path;
  std::optional<platform::Error> error;
};

/// The line that reports `result` (both faces say the same).
std::string UndoLine(const UndoFileResult& result);

/// How an undo goes.
struct UndoRequest {
  std::string id;       ///< the run (its full name, or its number)
  bool dryRun = false;  ///< say what would come back, change nothing
  EventPump pump;       ///< called between files and while waiting for a lock; may throw to stop
};

/// The outcome of an undo, counted over the run's whole undo (earlier, stopped ones included).
struct UndoOutcome {
  std::string id;
  std::size_t restored = 0;    ///< back (or, in a dry run, would come back)
  std::size_t left = 0;        ///< changed, deleted or moved since: left as they are
  std::size_t failed = 0;      ///< not restored now; tried again by the next undo
  std::size_t unreadable = 0;  ///< journal lines that cannot be read
  bool finished = false;       ///< every file is settled: the run is undone
};

/// Takes back run `request.id` of `store`: restores each file that is still exactly what the
/// run wrote (same inode, size and change time; or, in the same folder, the same content
/// hash), reaching its folder from the root one name at a time without following links and
/// checking that it is the folder the run wrote in. Each file is replaced through the same
/// step as a conversion (locked, checked unchanged, renamed), and its kept original is removed
/// only once it is back. Each file's result goes to `report` and into the run's record as it
/// comes, so that a stopped undo is finished by the next one; the run is marked undone when no
/// file is left to try. Raises platform::Error when there is no such run, it has been undone,
/// it is still going, or the store is refused.
UndoOutcome UndoRun(const std::string& store, const UndoRequest& request,
                    const std::function<void(const UndoFileResult&)>& report);

/// The line that ends a finished undo (both faces): "Замена <id> отменена. Возвращено файлов:
/// N, оставлено как есть: M."; for a dry run, what would come back.
std::string UndoDoneLine(const UndoOutcome& outcome, bool dryRun);
/// The line for journal lines that could not be read, when there were any; empty otherwise.
std::string UnreadableLinesLine(const UndoOutcome& outcome);

/// Drops the runs `ids` of `store` at once, with their kept originals. A run still going is
/// not dropped: its id is returned with the reason. Raises platform::Error when the store is
/// refused or cannot be read.
std::vector<std::pair<std::string, platform::Error>> ForgetRuns(
    const std::string& store, const std::vector<std::string>& ids);

}  // namespace engine
