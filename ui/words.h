#pragma once

#include <QString>
#include <cstddef>
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

inline const QString kNothingToUndo = QStringLiteral("Отменять нечего: замен ещё не было.");
inline const QString kUndoneAlready = QStringLiteral("Последняя замена уже отменена.");
inline const QString kFileNotFound = QStringLiteral("Не удаётся найти файл ");
inline const QString kInternalError = QStringLiteral("Внутренняя ошибка программы");

}  // namespace ui::text
