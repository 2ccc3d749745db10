#include "cli/words.h"

#include <string>

#include "words/texts.h"
#include "words/undo_lines.h"

namespace cli::text {
namespace {

std::string stateOf(const engine::UndoRunInfo& r) {
  using State = engine::UndoRunInfo::State;
  std::string state;
  switch (r.state) {
    case State::Running:
      state = "  (идёт)";
      break;
    case State::PartlyUndone:
      state = "  (отмена не закончена)";
      break;
    case State::Undone:
      state = r.left == 0 ? "  (отменена)"
                          : "  (отменена, оставлено как есть: " + std::to_string(r.left) + ")";
      break;
    case State::Done:
      break;
  }
  if (r.unreadable > 0) {
    state += "  (строк журнала не прочитано: " + std::to_string(r.unreadable) + ")";
  }
  return state;
}

}  // namespace

std::string SeveralPathsWarning(const std::vector<std::string>& paths, const std::string& find,
                                const std::string& replace, bool regex) {
  std::string quoted;
  for (const std::string& path : paths) quoted += (quoted.empty() ? "\"" : ", \"") + path + "\"";
  return "Внимание! В файлах и папках " + quoted + " (с вложенными подпапками) " +
         (regex ? "все совпадения с регулярным выражением \"" : "все сочетания символов \"") +
         find + "\" будут заменены на \"" + replace + "\".\r\nПерезаписать все файлы ?";
}

bool IsYesWord(const std::string& word) {
  return word == "y" || word == "yes" || word == "д" || word == "да";
}

std::string OccurrenceHeading(const std::string& path, std::uint64_t line, std::uint32_t column,
                              std::size_t index, std::size_t count) {
  return path + ":" + std::to_string(line) + ":" + std::to_string(column) + " (вхождение " +
         std::to_string(index) + " из " + std::to_string(count) + ")";
}

std::string DiffEncodingLine(const std::string& encoding) {
  return "Кодировка файла: " + encoding + " (показано в UTF-8)";
}

std::string NoTerminalText(const char* doing) {
  return std::string("нет подтверждения: стандартный ввод не терминал, спросить некого. ") +
         "Чтобы " + doing + " без вопроса, добавьте --yes";
}

std::string ProgressText(std::size_t files, const std::string& waitingFor) {
  return "Обработано файлов: " + std::to_string(files) +
         (waitingFor.empty() ? std::string() : ", " + waitingFor);
}

std::string RunListLine(const engine::UndoRunInfo& r, bool next) {
  // The texts and paths may hold anything: shown as report lines are.
  return r.id + "  " + words::RunTimeText(r.started) + "  файлов: " + std::to_string(r.files) +
         "  " + words::SizeText(r.bytes) + "  " + words::ShownPath(words::RunTitle(r)) + "  " +
         words::ShownPath(r.header.target) + stateOf(r) + (next ? "  <- следующая для --undo" : "");
}

std::string RunsTotalLine(std::uint64_t bytes, const std::string& store) {
  return "Всего: " + words::SizeText(bytes) + " в " + words::ShownPath(store);
}

std::string RunDroppedText(const std::string& id) {
  return "замены " + id + " больше нет: хранятся только последние " +
         std::to_string(engine::kKeptRuns) + " замен (список: tarvel-cli --runs)";
}

std::string RunForgottenText(const std::string& id) {
  return "замена " + id +
         " удалена (tarvel-cli --forget): её прежних версий файлов больше нет "
         "(список: tarvel-cli --runs)";
}

std::string NoSuchRunText(const std::string& id, bool withList) {
  return "нет замены «" + words::ShownPath(id) + "»" +
         (withList ? " (список: tarvel-cli --runs)" : "");
}

std::string UndoUnfinishedLine(const engine::UndoOutcome& o) {
  return "Замена " + o.id + " отменена не до конца. Возвращено файлов: " +
         std::to_string(o.restored) + ", оставлено как есть: " + std::to_string(o.left) +
         ", не удалось вернуть: " + std::to_string(o.failed) +
         ". Когда причина будет устранена: tarvel-cli --undo " + o.id;
}

std::string ForgetQuestion(bool all, const std::string& id, std::size_t files,
                           std::uint64_t bytes) {
  return (all ? std::string("Удалить все сохранённые замены") : "Удалить замену " + id) +
         " (файлов: " + std::to_string(files) + ", " + words::SizeText(bytes) +
         ")? Их уже нельзя будет отменить.";
}

std::string ForgottenLine(std::size_t runs) {
  return "Удалено замен: " + std::to_string(runs) + ".";
}

namespace {

// A pair as the report names it: its texts, and where it was given.
std::string pairText(const engine::Pair& p, bool fromFile) {
  return "«" + words::ShownPath(p.find) + "» → «" + words::ShownPath(p.replace) + "» (" +
         (fromFile ? "строка " : "пара ") + std::to_string(p.line) + ")";
}

}  // namespace

std::string PairShownText(const engine::Pair& pair, bool fromFile) {
  return "пара " + pairText(pair, fromFile);
}

std::string PairsStatsHeading(bool dryRun) {
  return dryRun ? "Больше всего замен было бы по парам:" : "Больше всего замен по парам:";
}

std::string PairCountLine(const engine::Pair& pair, bool fromFile, std::size_t count) {
  return "  " + pairText(pair, fromFile) + ": " + std::to_string(count);
}

std::string UnusedPairLine(const engine::Pair& pair, bool fromFile) {
  return "пара " + pairText(pair, fromFile) + " ничего не нашла";
}

}  // namespace cli::text
