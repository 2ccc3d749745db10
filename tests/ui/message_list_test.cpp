// The message list: the lines, the widest-path counter and the horizontal extent that the
// program sets regardless of the lines' own widths.
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"
#include "ui_test_support.h"

using ui::MessageListBox;

class MessageListTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void counterKeepsTheWidestMeasuredPath();
  void counterClampsAt32767();
  void extentIsTheCounterPlusThree();
  void extentIgnoresTheLinesOwnWidths();
  void clearKeepsCounterAndExtent();

 private:
  int widthOf(const QString& text) const;
  QScrollBar* bar() const { return m_list->horizontalScrollBar(); }
  int visibleWidth() const { return m_list->viewport()->width(); }

  std::unique_ptr<ui_testing::TemporaryFolder> m_temp;
  ui_testing::ScriptedPrompter m_prompter;
  ui_testing::ScriptedDialogs m_dialogs;
  std::unique_ptr<ui::Form1> m_form;
  MessageListBox* m_list = nullptr;
};

void MessageListTest::init() {
  m_temp = std::make_unique<ui_testing::TemporaryFolder>();
  m_form = std::make_unique<ui::Form1>(ui::Form1::Seams{m_prompter, m_dialogs, m_dialogs});
  m_list = ui_testing::control<MessageListBox>(*m_form, "List1");
  QVERIFY(m_list);
  m_form->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void MessageListTest::cleanup() {
  m_form.reset();
  m_temp.reset();
  VERIFY_PROMPTER_DONE(m_prompter);
  VERIFY_DIALOGS_DONE(m_dialogs);
}

// The width of `text` in the main window's font, rounded as the counter stores it.
int MessageListTest::widthOf(const QString& text) const {
  return qRound(QFontMetricsF(m_form->font()).horizontalAdvance(text));
}

void MessageListTest::counterKeepsTheWidestMeasuredPath() {
  const QString narrow = QStringLiteral("/tmp/a");
  const QString wide = QStringLiteral("/tmp/папка/подпапка/очень-длинное-имя-файла.bin");
  const QString narrowLine = QStringLiteral("!_  Бинарный файл: ") + narrow;
  QVERIFY(widthOf(narrow) < widthOf(wide));

  // Only the measured part counts, not the whole line.
  m_list->AddLine(narrowLine.toStdString(), narrow.toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf(narrow));
  QVERIFY(m_list->widestPathWidth() < widthOf(narrowLine));

  m_list->AddLine(("!_ " + wide).toStdString(), wide.toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf(wide));
  m_list->AddLine("!_ x", narrow.toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf(wide));

  QCOMPARE(m_list->count(), 3);
  QCOMPARE(m_list->item(0)->text(), narrowLine);
  QCOMPARE(m_list->item(1)->text(), "!_ " + wide);
  QCOMPARE(m_list->item(2)->text(), QStringLiteral("!_ x"));

  m_list->ResetWidth();
  QCOMPARE(m_list->widestPathWidth(), 0);
  m_list->AddLine("!_ y", narrow.toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf(narrow));
}

void MessageListTest::counterClampsAt32767() {
  const QString huge(6000, u'W');
  QVERIFY(widthOf(huge) > 32767);
  m_list->AddLine("!_ huge", huge.toStdString());
  QCOMPARE(m_list->widestPathWidth(), 32767);
  m_list->AddLine("!_ small", "x");
  QCOMPARE(m_list->widestPathWidth(), 32767);
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), 32770);
  QCOMPARE(bar()->maximum(), 32770 - visibleWidth());
}

void MessageListTest::extentIsTheCounterPlusThree() {
  // No line since the reset: 3 pixels, no scroll bar.
  m_list->ResetWidth();
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), 3);
  QCOMPARE(bar()->maximum(), 0);
  QVERIFY(!bar()->isVisible());

  const QString path = QStringLiteral("/x/") + QString(300, u'm');
  const int width = widthOf(path);
  QVERIFY(width + 3 > visibleWidth());
  m_list->AddLine(("!_ Ошибка " + path).toStdString(), path.toStdString());
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), width + 3);
  QTRY_VERIFY(bar()->isVisible());
  QCOMPARE(bar()->maximum(), width + 3 - visibleWidth());

  // A second run depends only on its own lines.
  m_list->ResetWidth();
  m_list->Clear();
  m_list->AddLine("!_ Ошибка /x/y", "/x/y");
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), widthOf(QStringLiteral("/x/y")) + 3);
  QTRY_VERIFY(!bar()->isVisible());
  QCOMPARE(bar()->maximum(), 0);
}

void MessageListTest::extentIgnoresTheLinesOwnWidths() {
  // A line far wider than the list gives no scroll bar until the extent asks for one ...
  const std::string longLine = "!_  Бинарный файл: /" + std::string(400, 'w');
  for (int i = 0; i < 30; ++i) m_list->AddLine(longLine, "/a");
  QTest::qWait(50);  // the list lays its lines out later
  QCOMPARE(bar()->maximum(), 0);
  QVERIFY(!bar()->isVisible());

  // ... and an extent set smaller than the lines is kept while lines are added and shown.
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), widthOf(QStringLiteral("/a")) + 3);
  m_list->ResetWidth();
  m_list->AddLine("!_ b", std::string(200, 'b'));
  m_list->ApplyExtent();
  const int extent = widthOf(QString(200, u'b')) + 3;
  for (int i = 0; i < 30; ++i) m_list->AddLine(longLine, "/a");
  QTest::qWait(50);
  QCOMPARE(m_list->horizontalExtent(), extent);
  QCOMPARE(bar()->maximum(), extent - visibleWidth());
  QVERIFY(bar()->isVisible());
}

void MessageListTest::clearKeepsCounterAndExtent() {
  const QString path = QString(200, u'q');
  m_list->AddLine("!_ q", path.toStdString());
  m_list->ApplyExtent();
  const int extent = m_list->horizontalExtent();
  const int maximum = bar()->maximum();
  QVERIFY(maximum > 0);
  m_list->Clear();
  QCOMPARE(m_list->count(), 0);
  QCOMPARE(m_list->widestPathWidth(), widthOf(path));
  QCOMPARE(m_list->horizontalExtent(), extent);
  // A narrow line after the clear scrolls as far as before.
  m_list->AddLine("!_ r", "r");
  QTest::qWait(20);
  QCOMPARE(bar()->maximum(), maximum);
  QVERIFY(bar()->isVisible());
}

QTEST_MAIN(MessageListTest)
#include "message_list_test.moc"
