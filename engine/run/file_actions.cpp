// What a run does to each file: convert it, or count what a conversion would do.
#include "engine/file/count_occurrences.h"
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

}  // namespace

const FileAction& ConvertFiles() {
  static const Convert action;
  return action;
}

const FileAction& CountFiles() {
  static const Count action;
  return action;
}

}  // namespace engine
