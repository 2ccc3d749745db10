#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "engine/run/run.h"
#include "engine/text/pairs.h"
#include "words/run_lines.h"

namespace cli {

/// The progress line on standard error, shown only on a terminal and only once a run has
/// lasted half a second; at most ten updates a second.
class Progress {
 public:
  explicit Progress(bool enabled) : m_enabled(enabled) {}

  void tick(std::size_t files);
  /// What the run waits for, shown after the count while it waits (at once, on a terminal).
  void lockWait(std::optional<platform::Why> what);
  /// Removes the line so that a report line can take its place.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool m_enabled;
  bool m_shown = false;
  Clock::time_point m_start = Clock::now();
  Clock::time_point m_last{};
  std::string m_waiting;  // what the run waits for, shown after the count
  std::size_t m_files = 0;
};

/// The report of the command line: each item's line goes to standard output as it comes, in
/// the order of the walk (words::TerminalLine), and the summary at the end.
class Report : public engine::RunSink {
 public:
  /// `only`: the run has one PATH, whose failure reads as the window's message box words it.
  /// `out`: where the lines go (standard error while a diff takes standard output).
  Report(Progress& progress, words::WordingContext context, bool only, std::FILE* out = stdout)
      : m_progress(progress), m_context(std::move(context)), m_only(only), m_out(out) {}

  void item(const engine::RunItem& item) override;
  void waiting(std::size_t filesDone) override { m_progress.tick(filesDone); }
  void lockWait(std::optional<platform::Why> what) override { m_progress.lockWait(what); }

  /// The summary line, a hint when nothing was found, a line for each --exclude and --include
  /// pattern that matched nothing (given by noteUnused()), and the closing line.
  void finish(const engine::RunTally& tally, bool caseSensitive, bool closing);
  /// The patterns that matched nothing in the whole run, for finish() to name.
  void noteUnused(const engine::RunOutcome& walked) {
    m_unusedExcludes = walked.unusedExcludes;
    m_unusedIncludes = walked.unusedIncludes;
  }
  /// --stats: finish() names the ten pairs that replaced most and each pair that found nothing
  /// (one find text: a pair of its own); `fromFile`: the pairs are lines of a file.
  void noteStats(std::vector<engine::Pair> pairs, bool fromFile) {
    m_pairs = std::move(pairs);
    m_pairsFromFile = fromFile;
    m_stats = true;
  }
  /// What a stopped run did: the summary and the line that says it was stopped.
  void stopped(const engine::RunTally& tally);

 private:
  void print(const std::string& line);

  Progress& m_progress;
  words::WordingContext m_context;
  bool m_only;
  std::FILE* m_out;
  std::vector<std::string> m_unusedExcludes;
  std::vector<std::string> m_unusedIncludes;
  std::vector<engine::Pair> m_pairs;
  bool m_pairsFromFile = false;
  bool m_stats = false;
};

}  // namespace cli
