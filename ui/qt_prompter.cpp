#include "ui/qt_prompter.h"

#include <QMessageBox>

namespace ui {
namespace {

int run(QMessageBox::Icon icon, QWidget* owner, const QString& caption, const QString& text,
        QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(icon, caption, text, buttons, owner);
  // What the user typed is shown as typed, never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(defaultButton);
  // The owner is disabled while a command runs; the box it owns must still take answers.
  box.setEnabled(true);
  return box.exec();
}

}  // namespace

Prompter::Answer QtPrompter::askYesNo(QWidget* owner, const QString& caption, const QString& text) {
  const int answer = run(QMessageBox::Warning, owner, caption, text,
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  return answer == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

void QtPrompter::inform(QWidget* owner, const QString& caption, const QString& text) {
  run(QMessageBox::NoIcon, owner, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

void QtPrompter::reportFailure(QWidget* owner, const QString& caption, const QString& text) {
  run(QMessageBox::Critical, owner, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

}  // namespace ui
