#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <string>

#include "engine/match_options.h"
#include "platform/error.h"

namespace cli {

/// The progress line on standard error, shown only on a terminal and only once a run has
/// lasted half a second; at most ten updates a second.
class Progress {
 public:
  explicit Progress(bool enabled) : m_enabled(enabled) {}

  void tick();
  void fileDone() { ++m_files; }
  /// Removes the line so that a report line can take its place.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool m_enabled;
  bool m_shown = false;
  std::size_t m_files = 0;
  Clock::time_point m_start = Clock::now();
  Clock::time_point m_last{};
};

/// What a run did, for its summary and its exit status.
struct Tally {
  std::size_t visited = 0;       ///< files looked at
  std::size_t changed = 0;       ///< files rewritten with at least one replacement
  std::size_t replacements = 0;  ///< occurrences replaced
  std::size_t found = 0;         ///< occurrences found, replaced or not (a protected file)
  std::size_t skipped = 0;       ///< left alone on purpose: binary, protected, unmatched, hidden folders
  std::size_t failures = 0;      ///< files and folders that failed
  std::set<std::string> readAs;  ///< the encodings files were read in ("UTF-8", "CP1251")
};

/// The report of the command line: each line goes to standard output as it comes, worded as
/// the window words it, but for files and folders left alone on purpose (hidden, system,
/// read-only, links, pipes, devices), which read "!_  пропущен: <reason> - <path>" and are no
/// failures.
class Report : public engine::MessageList {
 public:
  explicit Report(Progress& progress) : m_progress(progress) {}
  void Clear() override {}
  void AddLine(const std::string& text, const std::string& measured) override;
  void Add(const engine::ReportItem& item) override;

  /// A single file's failure, as the window's message box words it.
  void failure(const platform::Error& e);
  void print(const std::string& line);

  /// The summary line, a hint when nothing was found, and the closing line.
  void finish(bool dryRun, bool caseSensitive, bool closing);

  Tally& tally() { return m_tally; }

 private:
  Progress& m_progress;
  Tally m_tally;
};

}  // namespace cli
