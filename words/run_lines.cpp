#include "words/run_lines.h"

#include "platform/attributes.h"
#include "words/errors.h"
#include "words/texts.h"

namespace words {
namespace {

using engine::FileKind;
using engine::RunItem;
using engine::RunTally;
using engine::SkipReason;

std::string failureLine(const platform::Error& e, const std::string& description,
                        const std::string& path) {
  // Left on purpose, and said as the reviewer expects it: what happened, then the file.
  if (e.why() == platform::Why::ChangedSinceReview) return ErrorText(e) + ": " + ShownPath(path);
  return FailureLine(e.number(), description, platform::folderName(path),
                     platform::baseName(path));
}

// A failure's description with what the command line lets the user do about it.
std::string advised(const platform::Error& e) {
  if (e.advice() == platform::Error::Advice::ChooseEncoding) {
    return ErrorText(e) + "; укажите кодировку (--encoding)";
  }
  return ErrorText(e);
}

std::string changedLine(const RunItem& item, const WordingContext& context) {
  return "Замен: " + std::to_string(item.replacements) + " (" +
         KindName(item.encoding.value_or(FileKind::CodePage), context.codePageName) + ") - " +
         ShownPath(item.path);
}

// Why the walk does not apply ignore rules it found: the repository's top, or the file, named.
std::string noticeLine(const RunItem& item) {
  switch (item.notice) {
    case engine::IgnoreNotice::OtherUsersRepository:
      return "правила игнорирования репозитория " + ShownPath(item.path) +
             " не применяются: он принадлежит другому пользователю";
    case engine::IgnoreNotice::FolderOpenToOthers:
      return "правила игнорирования из " + ShownPath(item.path) +
             " не применяются: в эту папку могут писать другие пользователи";
    case engine::IgnoreNotice::OtherUsersFile:
      return "правила игнорирования из " + ShownPath(item.path) +
             " не применяются: файл принадлежит другому пользователю";
    case engine::IgnoreNotice::IndexNotRead:
      return "индекс репозитория " + ShownPath(item.path) +
             " не прочитан: правила игнорирования применяются и к файлам, которые git "
             "отслеживает";
    case engine::IgnoreNotice::GlobalFileNotRead:
      return "общий файл игнорирования " + ShownPath(item.path) +
             " не прочитан: его правила не применяются";
    case engine::IgnoreNotice::None:
      break;
  }
  return {};
}

}  // namespace

std::string KindName(FileKind kind, const std::string& codePageName) {
  switch (kind) {
    case FileKind::Binary:
      return "двоичный";
    case FileKind::Utf8:
      return "UTF-8";
    case FileKind::Utf16Le:
      return "UTF-16LE";
    case FileKind::Utf16Be:
      return "UTF-16BE";
    case FileKind::CodePage:
      break;
  }
  return codePageName;
}

std::string BinaryFileLine(const std::string& path) { return "!_  Бинарный файл: " + ShownPath(path); }

std::string FailureLine(int number, const std::string& description, const std::string& folder,
                        const std::string& name) {
  return "!_ Ошибка " + std::to_string(number) + " " + description + " - " +
         ShownPath(folder == "/" ? "/" + name : folder + "/" + name);
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
    case RunItem::Kind::Notice:
      return noticeLine(item);
  }
  return failureLine(*item.error, ErrorText(*item.error), item.path);
}

std::string NotReplacedLine(const RunItem& item) {
  return "!_  не будет заменён: " + ReasonText(*item.error) + " - " + ShownPath(item.path);
}

std::string TerminalLine(const RunItem& item, const WordingContext& context, bool only) {
  if (item.kind == RunItem::Kind::Skipped && item.reason == SkipReason::Refused && item.error) {
    return "!_  пропущен: " + ReasonText(*item.error) + " - " + ShownPath(item.path);
  }
  if (item.kind == RunItem::Kind::Failed && item.error) {
    if (only && item.named) {
      return "Error " + std::to_string(item.error->number()) + " " + advised(*item.error);
    }
    return failureLine(*item.error, advised(*item.error), item.path);
  }
  return WindowLine(item, context);
}

namespace {

// The summary's words; `window`: the window's counts (see WindowSummaryLine).
std::string summaryLine(const RunTally& t, bool dryRun, bool window) {
  const auto n = [](std::size_t v) { return std::to_string(v); };
  // Where the window's line for a refused file reads "Ошибка N", the file counts as one.
  const std::size_t failedAsShown = window && !dryRun ? t.refused : 0;
  std::string line = "Файлов: " + n(t.files) +
                     (dryRun ? ", будет изменено: " + n(t.changed) + ", замен будет: "
                             : ", изменено: " + n(t.changed) + ", замен: ") +
                     n(t.replacements);
  if (window) {
    line += (dryRun ? ", будет переписано без изменений: " : ", переписано без изменений: ") +
            n(t.rewritten) + ", без изменений: " + n(t.unchanged - t.rewritten);
  } else {
    line += ", без изменений: " + n(t.unchanged);
  }
  line += ", пропущено: " + n(t.skipped - failedAsShown) +
          ", ошибок: " + n(t.failures + failedAsShown);
  if (t.folders > 0) line += ", папок не обойдено: " + n(t.folders);
  if (t.links > 0) line += ", ссылок пропущено: " + n(t.links);
  if (t.excluded > 0) line += ", исключено: " + n(t.excluded);
  if (t.ignored > 0) line += ", проигнорировано: " + n(t.ignored);
  return line;
}

}  // namespace

std::string SummaryLine(const RunTally& t, bool dryRun) { return summaryLine(t, dryRun, false); }

std::string WindowSummaryLine(const RunTally& t, bool dryRun) {
  return summaryLine(t, dryRun, true);
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

std::string UndoProblemLine(bool partial, const platform::Error& problem, bool sentence) {
  std::string line = partial ? "эту замену можно будет отменить лишь отчасти: "
                             : "эту замену нельзя будет отменить: ";
  if (sentence) line.replace(0, std::string("э").size(), "Э");
  return line + ErrorText(problem);
}

std::string LockWaitText(platform::Why what) {
  switch (what) {
    case platform::Why::StoreLockedByOtherCopy:
      return "ждёт папку отмены: её занимает другая копия программы";
    case platform::Why::LockedByOtherCopy:
      return "ждёт рабочий файл: его занимает другая копия программы";
    default:
      return "ждёт файл: его заблокировала другая программа";
  }
}

std::string StoppedLine(std::size_t files, bool dryRun) {
  return (dryRun ? "Просмотр остановлен. Обработано файлов: "
                 : "Замена остановлена. Обработано файлов: ") +
         std::to_string(files) + ".";
}

std::string UnusedPatternLine(const std::string& option, const std::string& pattern) {
  return "шаблон " + option + " «" + pattern + "» ни с чем не совпал";
}

}  // namespace words
