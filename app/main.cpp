// Tarvel: replaces text in a file or in every file of a folder tree.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/form1.h"
#include "ui/program_font.h"
#include "ui/program_info.h"
#include "ui/qt_prompter.h"
#include "ui/translation.h"

namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt aborts with a page of English when no window system can be reached; say it in one line.
bool displayMissing() {
  return !isSet("QT_QPA_PLATFORM") && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (displayMissing()) {
    std::fputs(
        "Tarvel: нет графического дисплея (не заданы DISPLAY и WAYLAND_DISPLAY), "
        "окно программы показать негде.\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ui::kProgramTitle));
  QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                          .arg(ui::kVersionMajor)
                                          .arg(ui::kVersionMinor)
                                          .arg(ui::kVersionRevision));
  QApplication::setDesktopFileName(QStringLiteral("tarvel"));
  QApplication::setFont(ui::programFont());
  ui::installQtTranslation(app);

  ui::QtPrompter prompter;
  ui::Form1 form({prompter});
  form.show();
  return QApplication::exec();
}
