#include "words/undo_lines.h"

#include "words/errors.h"
#include "words/texts.h"

namespace words {

using engine::RunOrigin;
using engine::UndoFileResult;
using engine::UndoOutcome;
using engine::UndoRunInfo;

std::string RunTitle(const UndoRunInfo& run) {
  if (!run.command.empty()) return run.command;
  return std::string(run.header.origin == RunOrigin::Window ? "Tarvel" : "tarvel-cli") + " «" +
         Shortened(run.header.find) + "» → «" + Shortened(run.header.replace) + "»";
}

std::string UndoQuestion(const UndoRunInfo& run) {
  return "Вернуть файлы, изменённые заменой «" + Shortened(run.header.find) + "» → «" +
         Shortened(run.header.replace) + "» в " + Shortened(run.header.target) + " (" +
         FilesText(run.files) + ")?";
}

std::string UndoLine(const UndoFileResult& r) {
  const std::string shown = ShownPath(r.path);
  switch (r.kind) {
    case UndoFileResult::Kind::Restored:
      return r.error ? ErrorText(*r.error) + " - " + shown : std::string();
    case UndoFileResult::Kind::WouldRestore:
      return "будет возвращён: " + shown;
    case UndoFileResult::Kind::NotReplaced:
      return {};
    case UndoFileResult::Kind::Changed:
      return "изменён после замены — оставлен как есть: " + shown;
    case UndoFileResult::Kind::Deleted:
      return "удалён после замены — не восстановлен: " + shown;
    case UndoFileResult::Kind::FolderChanged:
      return "папка изменена после замены — оставлен как есть: " + shown;
    case UndoFileResult::Kind::Failed:
      break;
  }
  return "не восстановлен: " + (r.error ? ErrorText(*r.error) : std::string()) + " - " + shown;
}

std::string UndoDoneLine(const UndoOutcome& o, bool dryRun) {
  const std::string counts = std::to_string(o.restored) + ", оставлено как есть: " +
                             std::to_string(o.left) + ".";
  return dryRun ? "Замена " + o.id + ": будет возвращено файлов: " + counts
                : "Замена " + o.id + " отменена. Возвращено файлов: " + counts;
}

std::string UnreadableLinesLine(const UndoOutcome& o) {
  if (o.unreadable == 0) return {};
  return "Строк журнала не удалось прочитать: " + std::to_string(o.unreadable) +
         "; эти файлы вернуть нельзя.";
}

}  // namespace words
