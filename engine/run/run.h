#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file/convert_file.h"
#include "engine/run/run_item.h"
#include "engine/review/plan.h"
#include "engine/run/work_files.h"
#include "engine/text/match_options.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "platform/file.h"

namespace engine {

class UndoJournal;

/// One target of a run: a file or a folder, as the user gave it.
struct RunTarget {
  std::string path;
  bool folder = false;
  /// It names nothing (one of several): reported as its failure, in its place.
  std::optional<platform::Error> missing;
  /// A file of a plan (which outlives the run): reached only through the folder where the plan
  /// met it, and reported as a walk's file is, not as a file the user named.
  const PlannedFile* planned = nullptr;

  /// A folder named as the user typed it. The walk leaves alone a path without any "/" (as the
  /// window leaves a bare drive), so a bare name, which on Linux means a folder in the current
  /// one, gets "./" in front; "." itself becomes the current folder's full path, else every
  /// line would begin "././".
  static RunTarget Folder(const std::string& typed);
};

/// What a run does to each file it meets, as one item. Planning the occurrences of a file and
/// applying a plan take their place here beside the two below.
class FileAction {
 public:
  virtual ~FileAction() = default;
  /// Whether the action writes files: a run that writes takes work files and keeps originals.
  virtual bool writes() const = 0;
  /// Does the action to `file` with `conversion`'s texts and options: what it found goes to
  /// `found` (its kind and count, the old file of a replacement), what it did is the item.
  /// Raises platform::Error; `found` then says what was found before.
  virtual RunItem apply(const FileRef& file, const Conversion& conversion,
                        FileOutcome& found) const = 0;
};

/// Converts each file: the window's two commands, tarvel-cli.
const FileAction& ConvertFiles();
/// Counts what a conversion would do and changes nothing: the preview, tarvel-cli -n.
const FileAction& CountFiles();
/// Lists what a conversion would replace in each file, changing nothing: each item that holds
/// an occurrence carries the file's plan (RunItem::plan).
const FileAction& PlanFiles();

/// Converts the files of a plan, replacing only the occurrences accepted in it, and only in a
/// file exactly as it was planned: a file changed since fails (platform::Why::ChangedSinceReview)
/// and stays as it is; so does a file whose folder is no longer the folder where it was planned.
/// The run's targets are PlanTargets(plan); the plan must outlive the run.
class ApplyPlan final : public FileAction {
 public:
  explicit ApplyPlan(const Plan& plan);
  bool writes() const override { return true; }
  RunItem apply(const FileRef& file, const Conversion& conversion,
                FileOutcome& found) const override;

 private:
  std::unordered_map<std::string, const PlannedFile*> m_files;
};

/// The files of a plan with an occurrence accepted, as the targets of the run that applies it.
std::vector<RunTarget> PlanTargets(const Plan& plan);

/// What a run does.
struct RunRequest {
  std::vector<RunTarget> targets;  ///< in the order given
  MatchOptions options;
  const platform::CodePage* codePage = nullptr;  ///< for files read single-byte
  const FileAction* action = &ConvertFiles();    ///< what is done to each file
  unsigned workers = 1;  ///< files converted at once; 1: on the calling thread, with no threads
  WorkFiles* workFiles = nullptr;  ///< one per worker; none in a dry run
  UndoJournal* undo = nullptr;     ///< where the originals are kept; none: nothing is kept
  std::size_t chunkSize = ChunkSize;
  std::uint64_t copyRangesFrom = CopyRangesFrom;  ///< Conversion::copyRangesFrom
};

/// Where a run's items go: in the order of the walk, on the thread that called Run.
class RunSink {
 public:
  virtual ~RunSink() = default;
  virtual void item(const RunItem& item) = 0;
  /// Called on the calling thread after each file handed on and while it waits for workers
  /// (the window repaints, a progress line moves), with the files done so far. May throw to
  /// end the run at once (the run's cleanup is done on the way out).
  virtual void waiting(std::size_t filesDone) { (void)filesDone; }
  /// Called on the calling thread, as waiting() is, when the run begins or ends waiting for a
  /// lock that another program holds (a file, a work file, the undo store): what it waits for,
  /// or nothing once it no longer waits.
  virtual void lockWait(std::optional<platform::Why> what) { (void)what; }
};

/// How a run ended.
struct RunOutcome {
  RunTally tally;
  bool stopped = false;  ///< `stop` was set: files not begun were not touched
  /// The --exclude and --include patterns that matched nothing in the whole run (a run that
  /// was stopped names none).
  std::vector<std::string> unusedExcludes;
  std::vector<std::string> unusedIncludes;
};

/// The files of each target, walked and converted (or, in a dry run, counted) as the window's
/// commands do: a folder's files in walk order, handed to `request.workers` workers through a
/// bounded queue (or converted on the calling thread), every result reported to `sink` in the
/// order of the walk whatever the number of workers. A file or folder reached twice (named
/// twice, or named and found in a folder named too) is done once. Setting `stop` (from any
/// thread) stops the run between chunks: each file stays the original or the whole
/// conversion, the files not begun are not touched, and the outcome says so.
RunOutcome Run(const RunRequest& request, RunSink& sink, const std::atomic<bool>& stop);

/// The number of workers a run over folders takes by default: the processor's cores.
unsigned DefaultWorkers();

}  // namespace engine
