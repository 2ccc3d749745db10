// What a run does to each file: convert it, count or list what a conversion would do, or
// apply what the user accepted of such a list.
#include "engine/file/count_occurrences.h"
#include "engine/file/planned_file.h"
#include "engine/run/run.h"

namespace engine {
namespace {

// The item for what a conversion (or a count) found in a file: `rewritten` when the file was
// (or would be) written anew.
RunItem outcomeItem(const FileOutcome& found, bool rewritten) {
  RunItem item;
  if (found.kind == FileKind::Binary) return RunItem::SkippedAs(SkipReason::Binary, {});
  if (found.replacements > 0) {
    item.kind = RunItem::Kind::Changed;
    item.replacements = found.replacements;
    item.pairCounts = found.pairCounts;
  } else if (rewritten) {
    item.kind = RunItem::Kind::Unchanged;
  } else {
    item = RunItem::SkippedAs(SkipReason::Unmatched, {});
  }
  return item;
}

class Convert final : public FileAction {
 public:
  bool writes() const override { return true; }
  RunItem apply(const FileRef& file, const Conversion& c, FileOutcome& found) const override {
    const bool rewritten = ConvertFileAt(file, c, &found);
    return outcomeItem(found, rewritten);
  }
};

class Count final : public FileAction {
 public:
  bool writes() const override { return false; }
  RunItem apply(const FileRef& file, const Conversion& c, FileOutcome& found) const override {
    found = CountOccurrencesAt(file, c);
    if (!found.refusal) {
      return outcomeItem(found, found.replacements > 0 || !c.options.leaveUnmatched);
    }
    RunItem item = RunItem::FromError(file.path, *found.refusal);
    item.replacements = found.replacements;
    return item;
  }
};

class Planning final : public FileAction {
 public:
  bool writes() const override { return false; }
  RunItem apply(const FileRef& file, const Conversion& c, FileOutcome& found) const override {
    auto plan = std::make_shared<PlannedFile>(PlanOccurrencesAt(file, c, found));
    if (found.refusal) {
      RunItem item = RunItem::FromError(file.path, *found.refusal);
      item.replacements = found.replacements;
      return item;
    }
    RunItem item = outcomeItem(found, found.replacements > 0 || !c.options.leaveUnmatched);
    if (!plan->occurrences.empty()) item.plan = std::move(plan);
    return item;
  }
};

}  // namespace

ApplyPlan::ApplyPlan(const Plan& plan) {
  for (const auto& file : plan.files) m_files.emplace(file->path, file.get());
}

RunItem ApplyPlan::apply(const FileRef& file, const Conversion& c, FileOutcome& found) const {
  const auto planned = m_files.find(file.path);
  if (planned == m_files.end()) return RunItem::SkippedAs(SkipReason::Unmatched, {});
  const bool rewritten = ConvertFileAt(file, c, &found, planned->second);
  return outcomeItem(found, rewritten);
}

std::vector<RunTarget> PlanTargets(const Plan& plan) {
  std::vector<RunTarget> targets;
  for (const auto& file : plan.files) {
    if (file->acceptedCount() == 0) continue;
    RunTarget t{file->path, false, std::nullopt};
    t.planned = file.get();
    targets.push_back(std::move(t));
  }
  return targets;
}

const FileAction& PlanFiles() {
  static const Planning action;
  return action;
}

const FileAction& ConvertFiles() {
  static const Convert action;
  return action;
}

const FileAction& CountFiles() {
  static const Count action;
  return action;
}

}  // namespace engine
