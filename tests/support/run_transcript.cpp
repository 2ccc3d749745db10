#include "tests/support/run_transcript.h"

#include <optional>

#include "platform/code_page.h"
#include "words/errors.h"

namespace testing_support {

void TranscriptSink::item(const engine::RunItem& item) {
  items.push_back(item);
  transcript += words::WindowLine(item, m_context) + " | " +
                words::TerminalLine(item, m_context, m_only) + "\n";
  if (afterItem) afterItem(item);
}

void TranscriptSink::waiting(std::size_t) {
  if (onWaiting) onWaiting();
}

engine::Plan PlanOf(RunSetup setup) {
  setup.action = &engine::PlanFiles();
  engine::Plan plan;
  for (const engine::RunItem& item : Record(setup).items) {
    if (item.plan) plan.files.push_back(item.plan);
  }
  return plan;
}

RecordedRun Record(const RunSetup& setup) {
  static const std::optional<platform::CodePage> page = platform::CodePage::byName("CP1251");
  engine::RunRequest request;
  request.targets = setup.targets;
  request.options = setup.options;
  request.codePage = &*page;
  request.action = setup.action;
  request.workers = setup.workers;
  request.chunkSize = setup.chunkSize;
  request.copyRangesFrom = setup.copyRangesFrom;
  request.undo = setup.undo;
  const bool dryRun = !setup.action->writes();
  std::optional<engine::WorkFiles> workFiles;
  if (!dryRun) {
    if (setup.workFile.empty()) {
      workFiles.emplace(engine::WorkFiles::Private(setup.workers));
    } else {
      workFiles.emplace(engine::WorkFiles::Shared(setup.workFile, setup.workers));
      workFiles->keepFirst();
    }
    request.workFiles = &*workFiles;
  }
  std::atomic<bool> stop{false};
  TranscriptSink sink({page->name(), dryRun}, setup.targets.size() == 1);
  sink.onWaiting = setup.onWaiting;
  sink.afterItem = [&](const engine::RunItem&) {
    if (sink.items.size() == setup.stopAfter) stop = true;
  };
  RecordedRun r;
  r.outcome = engine::Run(request, sink, stop);
  r.items = std::move(sink.items);
  r.transcript = sink.transcript + words::SummaryLine(r.outcome.tally, dryRun) + "\n";
  return r;
}

std::string Verdict(const RecordedRun& run) {
  using Kind = engine::RunItem::Kind;
  if (run.items.size() != 1) return {};
  const engine::RunItem& item = run.items.front();
  if (item.error) return "Error " + std::to_string(item.error->number()) + " " + words::ErrorText(*item.error);
  if (item.kind == Kind::Changed || item.kind == Kind::Unchanged) return "rewritten";
  return item.reason == engine::SkipReason::Binary ? "binary" : "left as it was";
}

engine::RunTarget FileTarget(const std::string& path) { return {path, false, std::nullopt}; }

RunSetup FileRun(const std::string& path, const std::string& find, const std::string& replace,
                 const std::string& workFile) {
  RunSetup s;
  s.targets = {FileTarget(path)};
  s.options.findText = find;
  s.options.replaceText = replace;
  s.workFile = workFile;
  return s;
}

std::string Relative(std::string text, const std::string& root) {
  const std::string prefix = root + "/";
  for (std::size_t at = 0; (at = text.find(prefix, at)) != std::string::npos;) {
    text.erase(at, prefix.size());
  }
  return text;
}

std::string Both(const std::string& line) { return line + " | " + line; }

}  // namespace testing_support
