#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace engine {

struct FileRef;

/// The user's undo store: $XDG_STATE_HOME/tarvel/undo, else ~/.local/state/tarvel/undo; empty
/// when neither can be named (no home).
std::string UndoStoreFolder();

/// How many runs the store keeps; the oldest go when a new one starts.
inline constexpr std::size_t kKeptRuns = 10;

/// A run kept in the store, as `tarvel-cli --runs` lists it.
struct UndoRunInfo {
  std::string id;       ///< the run's folder name, which sorts by start time
  std::string started;  ///< local time, "2026-12-07 13:15:00"
  std::string command;
  std::string folder;   ///< the file or folder the run was given
  std::size_t files = 0;
  bool undone = false;
};
/// The runs in `store`, oldest first. Raises platform::Error when the store cannot be read.
std::vector<UndoRunInfo> ListUndoRuns(const std::string& store);

/// The journal of one run: before a file's replacement is renamed over it, the original is kept
/// in the run's folder (a hard link of the open file, or a copy on another file system); after
/// the rename, a line records the path and the identity of what was written (device, inode,
/// size, change time, xxHash of the content). Each line is appended at once, so that a run that
/// is killed can still be undone up to its last finished file.
///
/// Recording never stops or changes a conversion: the first failure (no home, a full disk)
/// turns the journal off, and `problem()` says why. Safe to use from several threads.
class UndoJournal {
 public:
  /// A run in `store`, begun with the first file kept: the store is made (0700) where
  /// missing, the oldest runs are dropped so that kKeptRuns are kept with this one, and the
  /// run's folder and header are written. A run that replaces nothing leaves nothing.
  UndoJournal(std::string store, std::string command, std::string folder);
  UndoJournal(const UndoJournal&) = delete;
  UndoJournal& operator=(const UndoJournal&) = delete;

  bool enabled() const { return m_enabled.load(std::memory_order_relaxed); }
  /// Why recording stopped; empty while it works.
  std::string problem() const;
  /// True when recording stopped after some files were recorded.
  bool partial() const;

  /// Keeps the original, open as `source` with status `status`, for the file about to be
  /// replaced; returns its name in the run's folder, or nothing when recording is off.
  std::optional<std::string> keep(int source, const struct stat& status);
  /// Drops a kept original whose replacement did not happen.
  void discard(const std::string& kept);
  /// Records the file `file`, just replaced by `size` bytes whose hash is `hash`.
  void record(const std::string& kept, const FileRef& file, std::uint64_t hash,
              long long size);

 private:
  void fail(const std::string& why);
  void begin();  // with m_lock held

  std::string m_store;
  std::string m_command;
  std::string m_target;
  bool m_begun = false;
  std::atomic<bool> m_enabled{true};
  mutable std::mutex m_lock;
  std::string m_problem;
  std::size_t m_recorded = 0;
  platform::File m_folder;   // the run's folder
  platform::File m_journal;  // its journal, appended to
  dev_t m_device = 0;        // the store's file system
};

/// The outcome of an undo.
struct UndoOutcome {
  std::size_t restored = 0;
  std::size_t left = 0;  ///< changed or deleted since the run, or failed
};

/// Restores the files that run `id` of `store` replaced, each only when it is still exactly
/// what the run wrote (same inode, size and change time; when the inode or change time differ,
/// the same content hash). A kept original comes back by a link (or copy) under a temporary
/// name in the file's folder, renamed over the file. Every file left alone gets a line through
/// `report`. Raises platform::Error when the run does not exist or has been undone before.
UndoOutcome UndoRun(const std::string& store, const std::string& id,
                    const std::function<void(const std::string&)>& report);

}  // namespace engine
