#include "cli/report.h"

#include <algorithm>
#include <cstdio>

#include "cli/words.h"
#include "words/texts.h"

namespace cli {

void Progress::tick(std::size_t files) {
  if (!m_enabled) return;
  m_files = files;
  const auto now = Clock::now();
  if (now - m_start < std::chrono::milliseconds(500) && m_waiting.empty()) return;
  if (m_shown && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  std::fprintf(stderr, "\r%s\033[K", text::ProgressText(files, m_waiting).c_str());
  m_shown = true;
}

void Progress::lockWait(std::optional<platform::Why> what) {
  m_waiting = what ? words::LockWaitText(*what) : std::string();
  m_last = {};  // shown at once
  tick(m_files);
}

void Progress::clear() {
  if (!m_shown) return;
  std::fputs("\r\033[K", stderr);
  m_shown = false;
}

void Report::print(const std::string& line) {
  m_progress.clear();
  std::fwrite(line.data(), 1, line.size(), m_out);
  std::fputc('\n', m_out);
}

void Report::item(const engine::RunItem& item) {
  const std::string line = words::TerminalLine(item, m_context, m_only);
  if (!line.empty()) print(line);
}

void Report::finish(const engine::RunTally& tally, bool caseSensitive, bool closing) {
  m_progress.clear();
  print(words::SummaryLine(tally, m_context.dryRun));
  const std::string hint = words::NothingFoundLine(tally, m_context, caseSensitive);
  if (!hint.empty()) print(hint);
  for (const std::string& p : m_unusedExcludes) print(words::UnusedPatternLine("--exclude", p));
  for (const std::string& p : m_unusedIncludes) print(words::UnusedPatternLine("--include", p));
  if (m_stats) {
    std::vector<std::size_t> counts = tally.perPair;
    if (m_pairs.size() == 1) counts = {tally.replacements};
    counts.resize(m_pairs.size());
    std::vector<std::size_t> order(m_pairs.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    // The most used first; equal ones in the pairs' order.
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return counts[x] > counts[y]; });
    const std::size_t shown = std::min<std::size_t>(10, order.size());
    if (shown > 0 && counts[order.front()] > 0) print(text::PairsStatsHeading(m_context.dryRun));
    for (std::size_t i = 0; i < shown && counts[order[i]] > 0; ++i) {
      print(text::PairCountLine(m_pairs[order[i]], m_pairsFromFile, counts[order[i]]));
    }
    for (std::size_t k = 0; k < m_pairs.size(); ++k) {
      if (counts[k] == 0) print(text::UnusedPairLine(m_pairs[k], m_pairsFromFile));
    }
  }
  if (closing) print(m_context.dryRun ? text::kNoChanges : words::kOperationDone);
}

void Report::stopped(const engine::RunTally& tally) {
  m_progress.clear();
  print(words::SummaryLine(tally, m_context.dryRun));
  print(words::StoppedLine(tally.files));
}

}  // namespace cli
