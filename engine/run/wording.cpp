#include "engine/run/wording.h"

#include <algorithm>

#include "engine/run/folder_walk.h"
#include "engine/text/match_options.h"
#include "engine/run/messages.h"
#include "platform/attributes.h"

namespace engine {
namespace {

std::string failureLine(const platform::Error& e, const std::string& description,
                        const std::string& path) {
  return FailureLine(e.number(), description, platform::folderName(path),
                     platform::baseName(path));
}

// A failure's description with what the command line lets the user do about it.
std::string advised(const platform::Error& e) {
  if (e.advice() == platform::Error::Advice::ChooseEncoding) {
    return e.description() + "; укажите кодировку (--encoding)";
  }
  return e.description();
}

std::string changedLine(const RunItem& item, const WordingContext& context) {
  return "Замен: " + std::to_string(item.replacements) + " (" +
         KindName(item.encoding.value_or(FileKind::CodePage), context.codePageName) + ") - " +
         ShownPath(item.path);
}

}  // namespace

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

void RunTally::add(const RunItem& item) {
  if (item.late) {
    // Counted once already, as replaced (or rewritten): now a failure instead.
    ++failures;
    if (item.replacements > 0 && changed > 0) {
      --changed;
      replacements -= std::min(replacements, item.replacements);
    } else if (unchanged > 0) {
      --unchanged;
    }
    return;
  }
  if (item.kind == RunItem::Kind::Skipped && item.reason == SkipReason::Excluded) {
    ++excluded;
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
      break;
    case RunItem::Kind::Unchanged:
      ++unchanged;
      break;
    case RunItem::Kind::Skipped:
      ++(item.reason == SkipReason::Unmatched ? unchanged : skipped);
      break;
    case RunItem::Kind::Failed:
      ++failures;
      break;
  }
}

std::string WindowLine(const RunItem& item, const WordingContext& context) {
  switch (item.kind) {
    case RunItem::Kind::Changed:
      return context.dryRun ? changedLine(item, context) : std::string();
    case RunItem::Kind::Unchanged:
      return {};
    case RunItem::Kind::Skipped:
      if (item.reason == SkipReason::Binary) return BinaryFileLine(item.path);
      if (item.reason != SkipReason::Refused || !item.error) return {};
      break;
    case RunItem::Kind::Failed:
      if (!item.error) return {};
      break;
  }
  return failureLine(*item.error, item.error->description(), item.path);
}

std::string TerminalLine(const RunItem& item, const WordingContext& context, bool only) {
  if (item.kind == RunItem::Kind::Skipped && item.reason == SkipReason::Refused && item.error) {
    const std::string& why = item.error->why().empty() ? item.error->description()
                                                       : item.error->why();
    return "!_  пропущен: " + why + " - " + ShownPath(item.path);
  }
  if (item.kind == RunItem::Kind::Failed && item.error) {
    if (only && item.named) {
      return "Error " + std::to_string(item.error->number()) + " " + advised(*item.error);
    }
    return failureLine(*item.error, advised(*item.error), item.path);
  }
  return WindowLine(item, context);
}

std::string SummaryLine(const RunTally& t, bool dryRun) {
  const auto n = [](std::size_t v) { return std::to_string(v); };
  std::string line = "Файлов: " + n(t.files) +
                     (dryRun ? ", будет изменено: " + n(t.changed) + ", замен будет: "
                             : ", изменено: " + n(t.changed) + ", замен: ") +
                     n(t.replacements) + ", без изменений: " + n(t.unchanged) +
                     ", пропущено: " + n(t.skipped) + ", ошибок: " + n(t.failures);
  if (t.folders > 0) line += ", папок не обойдено: " + n(t.folders);
  if (t.links > 0) line += ", ссылок пропущено: " + n(t.links);
  if (t.excluded > 0) line += ", исключено: " + n(t.excluded);
  return line;
}

std::string NothingFoundLine(const RunTally& t, const WordingContext& context,
                             bool caseSensitive) {
  // After a failure the text may well be there: the failure said why it was not replaced.
  if (t.found != 0 || t.readAs.empty() || t.failed()) return {};
  std::string kinds;
  for (const FileKind kind : t.readAs) {
    kinds += (kinds.empty() ? "" : " и ") + KindName(kind, context.codePageName);
  }
  return "Искомый текст не найден. Файлы прочитаны как " + kinds +
         "; кодовую страницу для файлов не в UTF-8 задаёт --codepage" +
         (caseSensitive ? ", без учёта регистра ищет --ignore-case." : ".");
}

std::string StoppedLine(std::size_t files) {
  return "Замена остановлена. Обработано файлов: " + std::to_string(files) + ".";
}

}  // namespace engine
