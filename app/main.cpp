// Tarvel: replaces text in a file or in every file of a folder tree.
#include <QApplication>
#include <QList>
#include <QMessageLogContext>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "platform/file.h"
#include "ui/desktop_link_opener.h"
#include "ui/form1.h"
#include "ui/program_font.h"
#include "ui/program_info.h"
#include "ui/qt_dialog_provider.h"
#include "ui/qt_prompter.h"
#include "ui/stop_signals.h"
#include "ui/translation.h"

namespace {

// Messages Qt gives while it connects to the window system: held back, so that a failure to
// connect ends in one line of the program's own instead of Qt's page of English and an abort.
struct HeldMessage {
  QtMsgType type;
  QString category;
  QString text;
};
QList<HeldMessage>* g_held = nullptr;

void holdStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::fputs(
        "Tarvel: окно показать негде — нет графического дисплея (DISPLAY или WAYLAND_DISPLAY) "
        "или он недоступен.\n",
        stderr);
    std::_Exit(1);
  }
  g_held->push_back({type, QString::fromUtf8(context.category), text});
}

void releaseStartupMessages(QtMessageHandler previous, const QList<HeldMessage>& held) {
  qInstallMessageHandler(previous);
  for (const HeldMessage& m : held) {
    const QByteArray category = m.category.toUtf8();
    const QMessageLogContext context(nullptr, 0, nullptr, category.constData());
    qt_message_output(m.type, context, m.text);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  platform::openMissingStandardStreams();
  platform::raiseOpenFileLimit();
  QList<HeldMessage> held;
  g_held = &held;
  const QtMessageHandler previous = qInstallMessageHandler(holdStartupMessage);
  QApplication app(argc, argv);
  releaseStartupMessages(previous, held);
  g_held = nullptr;

  QApplication::setApplicationName(QString::fromUtf8(ui::kProgramTitle));
  QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                          .arg(ui::kVersionMajor)
                                          .arg(ui::kVersionMinor)
                                          .arg(ui::kVersionRevision));
  QApplication::setDesktopFileName(QStringLiteral("tarvel"));
  QApplication::setFont(ui::programFont());
  ui::installQtTranslation(app);

  ui::QtPrompter prompter;
  ui::QtDialogProvider dialogs;
  ui::DesktopLinkOpener links;
  ui::Form1 form({prompter, dialogs, links});
  ui::StopSignals stops;
  QObject::connect(&stops, &ui::StopSignals::arrived, &form, [&form] { form.StopOnSignal(); });
  form.show();
  return QApplication::exec();
}
