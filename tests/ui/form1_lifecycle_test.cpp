// The main window's life: the work file it chooses when it loads, and closing, which deletes
// that file, waiting for a running command to end first; a stop signal, which ends it likewise.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "engine/undo/undo.h"
#include "ui/form1.h"
#include "ui/stop_signals.h"
#include "ui_test_support.h"
#include "words/texts.h"
#include "words/undo_lines.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::writeBytes;

class Form1LifecycleTest : public ui_testing::WindowTest {
  Q_OBJECT

 public:
  Form1LifecycleTest() : WindowTest(Window::None) {}  // each test makes its own

 private slots:
  void loadChoosesTheWorkFileAndTouchesNothing();
  void loadSkipsATakenName();
  void closingDeletesTheWorkFile();
  void closeWhileBusyWaitsForTheCommand();
  void aStopSignalEndsTheProgramAndLeavesNothing_data();
  void aStopSignalEndsTheProgramAndLeavesNothing();
};

void Form1LifecycleTest::loadChoosesTheWorkFileAndTouchesNothing() {
  ui::Form1 form({m_prompter, m_dialogs, m_dialogs});
  QCOMPARE(QString::fromStdString(form.workFile()), m_temp->file(QStringLiteral("k5ywhqx")));
  QCOMPARE(QDir(m_temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
           QStringList());
}

void Form1LifecycleTest::loadSkipsATakenName() {
  QVERIFY(writeBytes(m_temp->file(QStringLiteral("k5ywhqx")), "someone else's"));
  ui::Form1 form({m_prompter, m_dialogs, m_dialogs});
  QCOMPARE(QString::fromStdString(form.workFile()), m_temp->file(QStringLiteral("k5ywhqx0")));
}

void Form1LifecycleTest::closingDeletesTheWorkFile() {
  const QString other = m_temp->file(QStringLiteral("other.txt"));
  QVERIFY(writeBytes(other, "stays"));
  ui::Form1 form({m_prompter, m_dialogs, m_dialogs});
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  const QString workFile = QString::fromStdString(form.workFile());
  QVERIFY(writeBytes(workFile, "left over"));  // as a failed conversion may leave it
  QVERIFY(form.close());
  QVERIFY(!form.isVisible());
  QVERIFY(!QFile::exists(workFile));
  QVERIFY(QFile::exists(other));
}

void Form1LifecycleTest::closeWhileBusyWaitsForTheCommand() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "a"));
  ui::Form1 form({m_prompter, m_dialogs, m_dialogs});
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  const QString workFile = QString::fromStdString(form.workFile());
  control<QLineEdit>(form, "Text3")->setText(path);

  bool closedWhileBusy = true;
  bool visibleWhileBusy = false;
  m_prompter.expectQuestion(QStringLiteral("Внимание! В файле \"") + path +
                                QStringLiteral("\" все сочетания символов \"\" будут заменены на "
                                               "\"\".\r\nПерезаписать файл ?"),
                            Answer::No, [&] {
                              QVERIFY(writeBytes(workFile, "left over"));
                              closedWhileBusy = form.close();
                              visibleWhileBusy = form.isVisible();
                            });
  QTest::mouseClick(control<QPushButton>(form, "Command2"), Qt::LeftButton);
  QVERIFY(!closedWhileBusy);
  QVERIFY(visibleWhileBusy);
  // Once the command has ended the close goes through, and the work file goes with it.
  QTRY_VERIFY(!form.isVisible());
  QVERIFY(!QFile::exists(workFile));
  QVERIFY(form.isEnabled());
}

void Form1LifecycleTest::aStopSignalEndsTheProgramAndLeavesNothing_data() {
  QTest::addColumn<int>("number");
  QTest::addColumn<QString>("when");
  QTest::newRow("SIGTERM after a run") << SIGTERM << QStringLiteral("run");
  QTest::newRow("SIGHUP after a run") << SIGHUP << QStringLiteral("run");
  QTest::newRow("SIGINT while the question is up") << SIGINT << QStringLiteral("question");
  QTest::newRow("SIGTERM while an undo's last box is up") << SIGTERM << QStringLiteral("undo");
}

void Form1LifecycleTest::aStopSignalEndsTheProgramAndLeavesNothing() {
  QFETCH(int, number);
  QFETCH(QString, when);
  // A temporary folder that others may write to, as /tmp: the work file goes into a folder of
  // the user's own inside it, which must go as well.
  QCOMPARE(::chmod(QFile::encodeName(m_temp->path()).constData(), 01777), 0);
  const QString tree = m_temp->file(QStringLiteral("tree"));
  QVERIFY(QDir().mkpath(tree));
  QVERIFY(writeBytes(tree + QStringLiteral("/a.txt"), "old text"));

  ui::StopSignals stops;
  int status = -1;
  ui::Form1 form({m_prompter, m_dialogs, m_dialogs, [&](int s) { status = s; }});
  connect(&stops, &ui::StopSignals::arrived, &form, [&form] { form.StopOnSignal(); });
  const QString workFile = QString::fromStdString(form.workFile());
  const QString ownFolder = QFileInfo(workFile).path();
  QCOMPARE(QFileInfo(ownFolder).fileName(),
           QStringLiteral("tarvel-") + QString::number(::geteuid()));
  control<QPlainTextEdit>(form, "Text1")->setPlainText(QStringLiteral("old"));
  control<QPlainTextEdit>(form, "Text2")->setPlainText(QStringLiteral("new"));
  control<QLineEdit>(form, "Text4")->setText(tree);
  const QString question = QString::fromStdString(
      words::FolderWarning(tree.toStdString(), "old", "new"));

  if (when == QStringLiteral("question")) {
    m_prompter.expectQuestion(question, Answer::Yes, [&] {
      std::raise(number);
      QTRY_COMPARE(status, 0);  // the signal is taken while the box is up
    });
    // The answer comes back to a program that has ended: in a real one nothing runs after it.
    QTest::mouseClick(control<QPushButton>(form, "Command4"), Qt::LeftButton);
  } else if (when == QStringLiteral("undo")) {
    m_prompter.expectQuestion(question, Answer::Yes);
    m_prompter.expectInformation(QString::fromUtf8(words::kOperationDone));
    QTest::mouseClick(control<QPushButton>(form, "Command4"), Qt::LeftButton);
    const auto runs = engine::ListUndoRuns(engine::UndoStoreFolder());
    QCOMPARE(runs.size(), std::size_t{1});
    m_prompter.expectQuestion(QString::fromStdString(words::UndoQuestion(runs.front())),
                              Answer::Yes);
    m_prompter.expectInformation(QString::fromUtf8(words::kOperationDone), [&] {
      std::raise(number);
      QTRY_COMPARE(status, 0);  // the signal is taken while the box is up
    });
    form.findChild<QAction*>(QStringLiteral("UndoAction"))->trigger();
    QCOMPARE(ui_testing::readBytes(tree + QStringLiteral("/a.txt")), QByteArray("old text"));
  } else {
    m_prompter.expectQuestion(question, Answer::Yes);
    m_prompter.expectInformation(QString::fromUtf8(words::kOperationDone));
    QTest::mouseClick(control<QPushButton>(form, "Command4"), Qt::LeftButton);
    QCOMPARE(ui_testing::readBytes(tree + QStringLiteral("/a.txt")), QByteArray("new text"));
    // The folder run's own work folder went with it.
    QVERIFY(!QFileInfo::exists(ownFolder) ||
            QDir(ownFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    // A work file left by a failure, as the one the file command stopped by a signal leaves.
    QVERIFY(QDir().mkpath(ownFolder));
    QCOMPARE(::chmod(QFile::encodeName(ownFolder).constData(), 0700), 0);
    QVERIFY(writeBytes(workFile, "left over"));
    std::raise(number);
    QTRY_COMPARE(status, 0);
  }
  QVERIFY(!QFile::exists(workFile));
  QVERIFY(!QFileInfo::exists(ownFolder));
}

QTEST_MAIN(Form1LifecycleTest)
#include "form1_lifecycle_test.moc"
