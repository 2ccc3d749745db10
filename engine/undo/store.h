#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

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
/// The number the store gave its last run (kept or not); 0 when it gave none.
std::uint64_t LastRunNumber(const std::string& store);

/// A run's folder name in the store: "<number>-<YYYYMMDD>-<HHMMSS>" (UTC), or, for runs of
/// the version before numbers, "<YYYYMMDD>-<HHMMSS>[-NN]" (local time), which sort before
/// every numbered run.
struct RunName {
  std::string name;
  std::uint64_t number = 0;  ///< 0: a run of the older version
  bool operator<(const RunName& o) const {
    return number != o.number ? number < o.number : name < o.name;
  }
};

/// The runs in the store open as `store`, oldest first.
std::vector<RunName> RunsIn(int store);

/// The run named `id` (its whole name, or its number alone); raises platform::Error (NoSuchRun).
RunName FindRun(int store, const std::string& id);

/// The run `name` of the store, open.
platform::File OpenRun(int store, const std::string& name);

/// The journal of the run open as `run`, open; locked with `lock` (LOCK_EX or LOCK_SH, without
/// waiting) unless 0. Nothing when the run (or an undo of it) holds it: it is still going.
std::optional<platform::File> LockedJournal(int run, int lock);

}  // namespace engine
