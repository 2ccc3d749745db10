#include "engine/run/run_item.h"

#include <algorithm>

namespace engine {

RunItem RunItem::FromError(const std::string& path, const platform::Error& error) {
  RunItem item;
  item.kind = error.refusal() == platform::Refusal::None ? Kind::Failed : Kind::Skipped;
  item.reason = SkipReason::Refused;
  item.path = path;
  item.error = error;
  return item;
}

RunItem RunItem::SkippedAs(SkipReason reason, const std::string& path) {
  RunItem item;
  item.kind = Kind::Skipped;
  item.reason = reason;
  item.path = path;
  return item;
}

RunItem RunItem::Noticed(IgnoreNotice notice, const std::string& path) {
  RunItem item;
  item.kind = Kind::Notice;
  item.notice = notice;
  item.path = path;
  return item;
}

void RunTally::add(const RunItem& item) {
  if (item.kind == RunItem::Kind::Notice) return;  // no file, no folder: a word on the rules
  if (item.late) {
    // Counted once already, as replaced (or rewritten): now a failure instead.
    ++failures;
    if (item.replacements > 0 && changed > 0) {
      --changed;
      replacements -= std::min(replacements, item.replacements);
      for (const auto& [pair, count] : item.pairCounts) {
        if (pair < perPair.size()) perPair[pair] -= std::min(perPair[pair], count);
      }
    } else if (unchanged > 0) {
      --unchanged;
      if (rewritten > 0) --rewritten;
    }
    return;
  }
  if (item.kind == RunItem::Kind::Skipped && item.reason == SkipReason::Excluded) {
    ++excluded;
    return;
  }
  if (item.kind == RunItem::Kind::Skipped && item.reason == SkipReason::Ignored) {
    ++ignored;
    return;
  }
  if (item.folder) {
    ++folders;
    if (item.kind == RunItem::Kind::Failed) ++folderFailures;
    return;
  }
  if (item.error && item.error->refusal() == platform::Refusal::Link) {
    ++links;
    return;
  }
  ++files;
  found += item.replacements;
  if (item.encoding && *item.encoding != FileKind::Binary) readAs.insert(*item.encoding);
  switch (item.kind) {
    case RunItem::Kind::Changed:
      ++changed;
      replacements += item.replacements;
      for (const auto& [pair, count] : item.pairCounts) {
        if (perPair.size() <= pair) perPair.resize(pair + 1);
        perPair[pair] += count;
      }
      break;
    case RunItem::Kind::Unchanged:
      ++unchanged;
      ++rewritten;
      break;
    case RunItem::Kind::Skipped:
      ++(item.reason == SkipReason::Unmatched ? unchanged : skipped);
      if (item.reason == SkipReason::Refused && item.error) ++refused;
      break;
    case RunItem::Kind::Failed:
      ++failures;
      break;
    case RunItem::Kind::Notice:
      break;
  }
}

RunTally RunTally::afterApplying(const RunTally& applied, std::size_t failedBefore) const {
  RunTally t = *this;
  const std::size_t planned = changed;
  const std::size_t done = applied.changed + applied.unchanged + applied.skipped +
                           applied.failures + failedBefore;
  t.changed = applied.changed;
  t.replacements = applied.replacements;
  t.perPair = applied.perPair;
  t.skipped += applied.skipped;
  t.refused += applied.refused;
  t.rewritten += applied.rewritten;
  t.failures += applied.failures + failedBefore;
  t.unchanged += planned > done ? planned - done + applied.unchanged : applied.unchanged;
  t.folderFailures += applied.folderFailures;
  return t;
}

}  // namespace engine
