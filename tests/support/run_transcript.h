#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "engine/review/plan.h"
#include "engine/run/run.h"
#include "words/run_lines.h"

namespace testing_support {

/// Keeps every item of a run and a transcript of them: each item as the window and tarvel-cli
/// word it, "<window line> | <tarvel-cli line>", a line each, in the order the run gives them.
class TranscriptSink : public engine::RunSink {
 public:
  /// `only`: the run is on one path alone, which tarvel-cli words as its only PATH.
  explicit TranscriptSink(words::WordingContext context, bool only = false)
      : m_context(std::move(context)), m_only(only) {}

  void item(const engine::RunItem& item) override;
  void waiting(std::size_t filesDone) override;

  std::vector<engine::RunItem> items;
  std::string transcript;
  /// Called after each item is kept: where a test stops the run, for instance.
  std::function<void(const engine::RunItem&)> afterItem;
  /// Called wherever the run lets the window repaint (after each chunk, while it waits for a
  /// lock or for its workers): where a test changes a file meanwhile, for instance.
  std::function<void()> onWaiting;

 private:
  words::WordingContext m_context;
  bool m_only;
};

/// How a test runs: the texts and the targets, the rest as the window does it unless said.
struct RunSetup {
  std::vector<engine::RunTarget> targets;
  engine::MatchOptions options;
  const engine::FileAction* action = &engine::ConvertFiles();
  unsigned workers = 1;
  std::size_t chunkSize = engine::ChunkSize;
  std::uint64_t copyRangesFrom = engine::CopyRangesFrom;
  /// The window's shared work file (ChooseWorkFile's choice), left in place when the run ends
  /// as the window leaves it; empty: a work folder of the run's own, as tarvel-cli's.
  std::string workFile;
  engine::UndoJournal* undo = nullptr;
  std::size_t stopAfter = 0;  ///< the run is stopped after this many items; 0: never
  std::function<void()> onWaiting;  ///< TranscriptSink::onWaiting
};

/// A run as a test sees it: the transcript of its items with the summary last, the items, and
/// how it ended.
struct RecordedRun {
  std::string transcript;
  std::vector<engine::RunItem> items;
  engine::RunOutcome outcome;
};

/// Runs `setup` through engine::Run with the CP1251 code page into a TranscriptSink. A count
/// is worded as a preview is ("would").
RecordedRun Record(const RunSetup& setup);

/// `setup` run as a plan (PlanFiles), each file's plan in the order of the walk.
engine::Plan PlanOf(RunSetup setup);

/// What became of the one file of a run, as the probe program prints it: "rewritten",
/// "binary", "left as it was" or the failure, "Error N description"; empty unless the run gave
/// one item.
std::string Verdict(const RecordedRun& run);

/// A file named on its own, as tarvel-cli and the window's file command give it to the run.
engine::RunTarget FileTarget(const std::string& path);

/// The run of the file at `path` alone, replacing `find` by `replace`, through the window's
/// work file `workFile`, as the window's file command runs it.
RunSetup FileRun(const std::string& path, const std::string& find, const std::string& replace,
                 const std::string& workFile);

/// `text` with every "<root>/" taken out, so that paths below `root` read relative to it.
std::string Relative(std::string text, const std::string& root);

/// `line` as both faces word it alike: "<line> | <line>".
std::string Both(const std::string& line);

}  // namespace testing_support
