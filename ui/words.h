#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>

// The window's own sentences: what its title, its list and its message boxes say beyond the
// words both faces share (words/). The captions of its controls and dialogs stay where the
// controls are made.
namespace ui::text {

/// The title while a run lasts: " — обработано файлов: N", then what it waits for.
inline QString progressTitle(const QString& program, std::size_t files, const std::string& waitingFor) {
  QString title = program + QStringLiteral(" — обработано файлов: ") + QString::number(files);
  if (!waitingFor.empty()) title += QStringLiteral(", ") + QString::fromStdString(waitingFor);
  return title;
}

/// The last line of an undo that left files to try again.
inline std::string undoUnfinishedLine(std::size_t failed) {
  return "!_ Замена отменена не до конца: не удалось вернуть файлов: " + std::to_string(failed) +
         ". Отмените её ещё раз, когда причина будет устранена.";
}

/// The review window: its title, and what it says of what is checked.
inline const QString kReviewTitle = QStringLiteral("Просмотр замен");

/// A file's occurrences in the review window: "5", or "2 из 5" while only some are checked.
inline QString checkedOfText(std::size_t checked, std::size_t all) {
  return checked == all ? QString::number(all)
                        : QString::number(checked) + QStringLiteral(" из ") + QString::number(all);
}

/// Below the review window's lists: "Отмечено замен: 5 из 7, файлов: 2 из 3".
inline QString reviewTally(std::size_t occurrences, std::size_t allOccurrences, std::size_t files,
                           std::size_t allFiles) {
  return QStringLiteral("Отмечено замен: ") + checkedOfText(occurrences, allOccurrences) +
         QStringLiteral(", файлов: ") + checkedOfText(files, allFiles);
}

/// Where an occurrence is, as its row shows it ("12:5") and as a screen reader says it.
inline QString occurrencePlace(std::uint64_t line, std::uint32_t column) {
  return QString::number(line) + u':' + QString::number(column);
}
inline QString occurrencePlaceSpoken(std::uint64_t line, std::uint32_t column) {
  return QStringLiteral("строка ") + QString::number(line) + QStringLiteral(", столбец ") +
         QString::number(column);
}

/// An occurrence with its line, as a screen reader says it.
inline QString occurrenceSpoken(const QString& found, const QString& replacement,
                                const QString& line) {
  return QStringLiteral("замена «") + found + QStringLiteral("» на «") + replacement +
         QStringLiteral("» в строке: ") + line;
}

inline const QString kNothingToUndo = QStringLiteral("Отменять нечего: замен ещё не было.");
inline const QString kUndoneAlready = QStringLiteral("Последняя замена уже отменена.");
inline const QString kFileNotFound = QStringLiteral("Не удаётся найти файл ");
inline const QString kInternalError = QStringLiteral("Внутренняя ошибка программы");

}  // namespace ui::text
