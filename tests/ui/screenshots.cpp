// Renders the main window, its confirmation box, the About window and the two pickers to PNG files
// so that a person can look at the layout without a desktop. Usage: tarvel_screenshots <folder>;
// run on the offscreen platform by scripts/screenshots.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "ui/desktop_link_opener.h"
#include "ui/form1.h"
#include "ui/program_font.h"
#include "ui/qt_dialog_provider.h"
#include "ui/qt_prompter.h"
#include "ui/translation.h"

namespace {

bool save(QWidget& widget, const QDir& folder, const QString& name) {
  const QString path = folder.filePath(name);
  if (!widget.grab().save(path)) {
    std::fprintf(stderr, "Не удалось записать %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

/// Clicks `button` and saves the modal window it opens as `name`, then closes that window.
bool saveModal(QPushButton* button, const QDir& folder, const QString& name) {
  bool ok = false;
  QTimer::singleShot(300, [&] {
    if (auto* window = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      ok = save(*window, folder, name);
      window->reject();
    }
  });
  button->click();
  return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "Использование: tarvel_screenshots <папка>\n");
    return 2;
  }
  // Made absolute now: the pickers' windows below change the current folder.
  const QDir folder(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "Не удалось создать папку %s\n", argv[1]);
    return 1;
  }
  QApplication::setFont(ui::programFont());
  ui::installQtTranslation(app);

  // The work file goes to a folder of its own, which goes away afterwards.
  QTemporaryDir temp;
  if (!temp.isValid()) return 1;
  qputenv("TMPDIR", QFile::encodeName(temp.path()));

  ui::QtPrompter prompter;
  ui::QtDialogProvider dialogs;
  ui::DesktopLinkOpener links;
  ui::Form1 form({prompter, dialogs, links});
  form.show();
  QApplication::processEvents();
  bool ok = save(form, folder, QStringLiteral("form1.png"));

  // The same window in use: texts typed in, a skipped file listed, the extent applied.
  form.findChild<QPlainTextEdit*>(QStringLiteral("Text1"))
      ->setPlainText(QStringLiteral("Старый текст,\nв две строки"));
  form.findChild<QPlainTextEdit*>(QStringLiteral("Text2"))->setPlainText(QStringLiteral("Новый"));
  const QString path = temp.filePath(QStringLiteral("образец.txt"));
  form.findChild<QLineEdit*>(QStringLiteral("Text3"))->setText(path);
  form.findChild<QLineEdit*>(QStringLiteral("Text4"))->setText(QStringLiteral("/home/user/сайт"));
  form.findChild<QLineEdit*>(QStringLiteral("Text5"))->setText(QStringLiteral(".php"));
  auto* list = form.findChild<ui::MessageListBox*>(QStringLiteral("List1"));
  const std::string longPath =
      "/home/user/сайт/очень/глубоко/вложенная/папка/с/длинным/"
      "путём/до/файла/который/не/помещается/в/список/картинка.png";
  list->AddLine("!_  Бинарный файл: " + longPath);
  list->AddLine("!_  Бинарный файл: /home/user/сайт/logo.gif");
  list->ApplyExtent();
  QApplication::processEvents();
  ok = save(form, folder, QStringLiteral("form1-in-use.png")) && ok;

  // The About window, and the pickers opened in the folder of the file above.
  QDir::setCurrent(temp.path());
  ok = saveModal(form.findChild<QPushButton*>(QStringLiteral("Command5")), folder,
                 QStringLiteral("about.png")) &&
       ok;
  ok = saveModal(form.findChild<QPushButton*>(QStringLiteral("Command1")), folder,
                 QStringLiteral("file-dialog.png")) &&
       ok;
  ok = saveModal(form.findChild<QPushButton*>(QStringLiteral("Command3")), folder,
                 QStringLiteral("folder-dialog.png")) &&
       ok;

  // The confirmation box over the busy window: grabbed, then answered No.
  QFile file(path);
  ok = file.open(QIODevice::WriteOnly) && ok;
  file.close();
  QTimer::singleShot(200, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ok = save(*box, folder, QStringLiteral("confirmation.png")) && ok;
      ok = save(form, folder, QStringLiteral("form1-busy.png")) && ok;
      box->done(QMessageBox::No);
    } else {
      ok = false;
    }
  });
  form.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
  return ok ? 0 : 1;
}
