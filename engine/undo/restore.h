#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "engine/text/match_options.h"
#include "platform/error.h"

namespace engine {

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


}  // namespace engine
