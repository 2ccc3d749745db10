#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/file/file_ref.h"
#include "engine/file/replacement.h"
#include "engine/text/match_options.h"
#include "engine/undo/store.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

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
class UndoJournal final : public OriginalKeeper {
 public:
  /// A run in `store`, begun with the first original kept: the store is checked (and made),
  /// the run gets the next number the store gives, its header is written, and the oldest runs
  /// are dropped so that kKeptRuns are kept with this one. A run that replaces nothing leaves
  /// nothing.
  UndoJournal(std::string store, RunHeader header);
  ~UndoJournal();
  UndoJournal(const UndoJournal&) = delete;
  UndoJournal& operator=(const UndoJournal&) = delete;

  bool enabled() const override { return m_enabled.load(std::memory_order_relaxed); }
  /// Why recording stopped; nothing while it works.
  std::optional<platform::Error> problem() const;
  /// True when recording stopped after some files were recorded.
  bool partial() const;
  /// The run's name once it has begun.
  std::string id() const;
  /// The store's path, as given.
  const std::string& store() const override { return m_store; }
  /// True when the folder (`device`, `inode`) is the store, once the run has begun.
  bool isStore(dev_t device, ino_t inode) const override;

  /// Before the last check of the file open as `source` (status `status`, in a folder with
  /// `folder`'s facts): begins the run when it is the first, and keeps the original by a copy
  /// where a hard link cannot be made. Nothing when recording is off.
  /// The store's own lock is waited for as LockWait waits (`pump` may throw to stop; `budget`
  /// is the run's).
  std::optional<KeptOriginal> prepare(int source, const struct stat& status,
                                      const FolderFacts& folder, const EventPump& pump = {},
                                      LockBudget* budget = nullptr) override;
  /// After the last check: the hard link that `kept` waits for. False when it fails (recording
  /// stops then).
  bool link(KeptOriginal& kept, int source) override;
  /// Drops a kept original whose replacement did not happen.
  void discard(const KeptOriginal& kept) override;
  /// The kept original's full path, for a report.
  std::string keptPath(const KeptOriginal& kept) const override;
  /// The kept original's status as it is now, into `status`; false when it cannot be read.
  bool keptStatus(const KeptOriginal& kept, struct stat& status) const;
  /// Just before the rename that replaces `file` (in a folder with `folder`'s facts) by the file
  /// `written` whose content hashes to `hash`: the entry, on disk before the file changes.
  /// Returns its number, for complete(); nothing when recording is off or fails (the kept
  /// original is dropped then).
  std::optional<std::size_t> writeAhead(const KeptOriginal& kept, const FileRef& file,
                                        const FolderFacts& folder, const struct stat& written,
                                        std::uint64_t hash) override;
  /// Just after the rename: settles entry `entry` with the new file's change time, or cancels
  /// it (and drops the kept original) when the name no longer holds `written`. `old`, where
  /// the kept original is the old file itself: its status at the last look, and the number of
  /// `replacements` made, for lookAtKept().
  void complete(std::size_t entry, const KeptOriginal& kept, const FileRef& file,
                const struct stat& written, const struct stat* old,
                std::size_t replacements) override;
  /// A file whose old content was written to after its replacement: its path (from the root),
  /// where that content is kept, and how many occurrences its replacement replaced.
  using LateReport =
      std::function<void(const std::string& path, const std::string& where, std::size_t replaced)>;
  /// At the run's end: looks once more at each kept original that is the old file itself, and
  /// reports each one that was written to since its file was replaced.
  void lookAtKept(const LateReport& report) const;
  /// Cancels entry `entry`: its rename failed, the file is as it was.
  void cancel(std::size_t entry) override;

 private:
  void fail(const platform::Error& why);
  // The run's beginning, in its steps, with m_lock held.
  void begin(const EventPump& pump, LockBudget* budget);
  platform::File takeSequence(int root, const EventPump& pump, LockBudget* budget);
  std::uint64_t setUp(int root, std::uint64_t next);
  void writeHeader(std::time_t now);
  void dropOldRuns(int root, const std::vector<RunName>& runs);
  bool appendLocked(const std::string& text);  // one whole line, with m_lock held
  std::string canonicalFolder(const FileRef& file, const FolderFacts& folder);

  std::string m_store;
  RunHeader m_header;
  bool m_begun = false;
  std::atomic<bool> m_enabled{true};
  mutable std::mutex m_lock;
  std::optional<platform::Error> m_problem;
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

}  // namespace engine
