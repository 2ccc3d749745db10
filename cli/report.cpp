#include "cli/report.h"

#include <cstdio>

#include "engine/run/messages.h"

namespace cli {

void Progress::tick(std::size_t files) {
  if (!m_enabled) return;
  const auto now = Clock::now();
  if (now - m_start < std::chrono::milliseconds(500)) return;
  if (m_shown && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  std::fprintf(stderr, "\rОбработано файлов: %zu\033[K", files);
  m_shown = true;
}

void Progress::clear() {
  if (!m_shown) return;
  std::fputs("\r\033[K", stderr);
  m_shown = false;
}

void Report::print(const std::string& line) {
  m_progress.clear();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

void Report::item(const engine::RunItem& item) {
  const std::string line = engine::TerminalLine(item, m_context, m_only);
  if (!line.empty()) print(line);
}

void Report::finish(const engine::RunTally& tally, bool caseSensitive, bool closing) {
  m_progress.clear();
  print(engine::SummaryLine(tally, m_context.dryRun));
  const std::string hint = engine::NothingFoundLine(tally, m_context, caseSensitive);
  if (!hint.empty()) print(hint);
  if (closing) print(m_context.dryRun ? "Изменений не было" : engine::kOperationDone);
}

void Report::stopped(const engine::RunTally& tally) {
  m_progress.clear();
  print(engine::SummaryLine(tally, m_context.dryRun));
  print(engine::StoppedLine(tally.files));
}

}  // namespace cli
