#include "cli/report.h"

#include <cstdio>

#include "engine/messages.h"

namespace cli {
namespace {

// A failure's description with what the command line lets the user do about it.
std::string advisedText(const std::string& description, platform::Error::Advice advice) {
  if (advice == platform::Error::Advice::ChooseEncoding) {
    return description + "; укажите кодировку (--encoding)";
  }
  return description;
}

}  // namespace

void Progress::tick() {
  if (!m_enabled) return;
  const auto now = Clock::now();
  if (now - m_start < std::chrono::milliseconds(500)) return;
  if (m_shown && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  std::fprintf(stderr, "\rОбработано файлов: %zu\033[K", m_files);
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

void Report::AddLine(const std::string& text, const std::string&) { print(text); }

void Report::Add(const engine::ReportItem& item) {
  if (item.kind == engine::ReportItem::Kind::Binary) {
    ++m_tally.skipped;
    return MessageList::Add(item);
  }
  if (item.number == platform::kRefusedAttribute) {
    // "Не удалось заменить файл: файл скрытый": what stopped it is what follows the colon.
    const auto colon = item.description.find(": ");
    const std::string why =
        colon == std::string::npos ? item.description : item.description.substr(colon + 2);
    ++m_tally.skipped;
    return print("!_  пропущен: " + why + " - " + engine::ShownPath(item.path));
  }
  ++m_tally.failures;
  engine::ReportItem advised = item;
  advised.description = advisedText(item.description, item.advice);
  MessageList::Add(advised);
}

void Report::failure(const platform::Error& e) {
  ++m_tally.failures;
  print("Error " + std::to_string(e.number()) + " " + advisedText(e.description(), e.advice()));
}

void Report::finish(bool dryRun, bool caseSensitive, bool closing) {
  m_progress.clear();
  const Tally& t = m_tally;
  print("Файлов: " + std::to_string(t.visited) + ", изменено: " + std::to_string(t.changed) +
        ", замен: " + std::to_string(t.replacements) + ", пропущено: " +
        std::to_string(t.skipped) + ", ошибок: " + std::to_string(t.failures));
  if (t.found == 0 && !t.readAs.empty()) {
    std::string kinds;
    for (const std::string& kind : t.readAs) kinds += (kinds.empty() ? "" : " и ") + kind;
    print("Искомый текст не найден. Файлы прочитаны как " + kinds +
          "; кодовую страницу для файлов не в UTF-8 задаёт --codepage" +
          (caseSensitive ? ", без учёта регистра ищет --ignore-case." : "."));
  }
  if (closing) print(dryRun ? "Изменений не было" : engine::kOperationDone);
}

}  // namespace cli
