// The main window's life: the work file it chooses when it loads, and closing, which deletes
// that file, waiting for a running command to end first.
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"
#include "ui_test_support.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::writeBytes;

class Form1LifecycleTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void loadChoosesTheWorkFileAndTouchesNothing();
  void loadSkipsATakenName();
  void closingDeletesTheWorkFile();
  void closeWhileBusyWaitsForTheCommand();

 private:
  std::unique_ptr<ui_testing::TemporaryFolder> m_temp;
  ui_testing::ScriptedPrompter m_prompter;
  ui_testing::ScriptedDialogs m_dialogs;
};

void Form1LifecycleTest::init() {
  m_temp = std::make_unique<ui_testing::TemporaryFolder>();
  QVERIFY(m_temp->isValid());
  m_prompter = {};
  m_dialogs = {};
}

void Form1LifecycleTest::cleanup() {
  m_temp.reset();
  VERIFY_PROMPTER_DONE(m_prompter);
  VERIFY_DIALOGS_DONE(m_dialogs);
}

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

QTEST_MAIN(Form1LifecycleTest)
#include "form1_lifecycle_test.moc"
