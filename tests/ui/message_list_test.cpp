// The message list: the lines, the counter of the widest whole line and the horizontal extent
// that the program sets from it when a run ends, and its last line in view when a list ends.
#include <QAction>
#include <QDir>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "engine/undo/undo.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"
#include "ui_test_support.h"
#include "words/texts.h"
#include "words/undo_lines.h"

using Answer = ui::Prompter::Answer;
using ui::MessageListBox;
using ui_testing::control;
using ui_testing::kDone;

class MessageListTest : public ui_testing::WindowTest {
  Q_OBJECT

 public:
  MessageListTest() : WindowTest(Window::Exposed) {}

 private slots:
  void counterKeepsTheWidestWholeLine();
  void counterMeasuresEveryLineThatCanBeWidest_data();
  void counterMeasuresEveryLineThatCanBeWidest();
  void counterClampsAt32767();
  void extentIsTheCounterPlusThree();
  void extentChangesOnlyWhenApplied();
  void clearKeepsCounterAndExtent();
  void lastLineIsInViewWhenAListEnds_data();
  void lastLineIsInViewWhenAListEnds();

 private:
  int widthOf(const QString& text) const;
  QScrollBar* bar() const { return m_list->horizontalScrollBar(); }
  int visibleWidth() const { return m_list->viewport()->width(); }
  void windowMade() override {
    m_list = ui_testing::control<MessageListBox>(*m_form, "List1");
    QVERIFY(m_list);
  }

  MessageListBox* m_list = nullptr;
};

// The width of `text` in the main window's font, rounded as the counter stores it.
int MessageListTest::widthOf(const QString& text) const {
  return qRound(QFontMetricsF(m_form->font()).horizontalAdvance(text));
}

void MessageListTest::counterKeepsTheWidestWholeLine() {
  const QString narrow = QStringLiteral("/tmp/a");
  const QString wide = QStringLiteral("/tmp/папка/подпапка/очень-длинное-имя-файла.bin");
  const QString narrowLine = QStringLiteral("!_  Бинарный файл: ") + narrow;
  QVERIFY(widthOf(narrow) < widthOf(wide));

  // The whole line as drawn counts, the text in front of the path too, so that the end of the
  // widest line can be scrolled into view.
  m_list->AddLine(narrowLine.toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf(narrowLine));
  QVERIFY(widthOf(narrowLine) > widthOf(narrow));

  m_list->AddLine(("!_ " + wide).toStdString());
  QCOMPARE(m_list->widestPathWidth(), widthOf("!_ " + wide));
  m_list->AddLine("!_ x");
  QCOMPARE(m_list->widestPathWidth(), widthOf("!_ " + wide));

  QCOMPARE(m_list->lineCount(), 3);
  QCOMPARE(m_list->line(0), narrowLine);
  QCOMPARE(m_list->line(1), "!_ " + wide);
  QCOMPARE(m_list->line(2), QStringLiteral("!_ x"));

  m_list->ResetWidth();
  QCOMPARE(m_list->widestPathWidth(), 0);
  m_list->AddLine("!_ y");
  QCOMPARE(m_list->widestPathWidth(), widthOf(QStringLiteral("!_ y")));
}

void MessageListTest::counterMeasuresEveryLineThatCanBeWidest_data() {
  QTest::addColumn<QString>("path");
  // Lines whose width is not that of their characters one by one: ligatures, which a third
  // letter changes; kerning lost where a run of one script ends; marks and scripts shaped by
  // context; a character outside the first 65,536.
  QTest::newRow("ligatures") << QStringLiteral("/usr/share/vim/vim90/doc/vi_diff.txt");
  QTest::newRow("ffl ffi") << QStringLiteral("/a/baffled/office/fluffier");
  QTest::newRow("sign before a letter") << QStringLiteral("/-Ao/л-YА(BAоx/оХтвМптГ");
  QTest::newRow("closing bracket") << QStringLiteral("/4-W)dg PDn/ифВЪ/T)V]A}");
  QTest::newRow("combining accent") << QStringLiteral("/пе\u0301сня/ё\u0308");
  QTest::newRow("arabic") << QStringLiteral("/ملف/كتاب");
  QTest::newRow("outside the BMP") << QStringLiteral("/фото/\U0001F600.png");
}

// Each line goes after a line just narrower than it, whose width it must take over.
void MessageListTest::counterMeasuresEveryLineThatCanBeWidest() {
  QFETCH(QString, path);
  const QString line = QStringLiteral("!_  Бинарный файл: ") + path;
  const QFontMetricsF metrics(m_form->font());
  const qreal width = metrics.horizontalAdvance(line);
  // The line less its end, ended instead by a few narrow characters: the closest under it.
  const QString narrow = QStringLiteral("il.,:;|!' ");
  QString closest;
  qreal closestWidth = 0;
  for (int cut = 1; cut <= 4; ++cut) {
    for (int a = 0; a <= narrow.size(); ++a) {
      for (int b = 0; b <= narrow.size(); ++b) {
        for (int c = 0; c <= narrow.size(); ++c) {
          QString candidate = line.left(line.size() - cut);
          for (const int k : {a, b, c}) {
            if (k < narrow.size()) candidate += narrow.at(k);
          }
          const qreal candidateWidth = metrics.horizontalAdvance(candidate);
          if (candidateWidth < width && candidateWidth > closestWidth) {
            closest = candidate;
            closestWidth = candidateWidth;
          }
        }
      }
    }
  }
  QVERIFY(width - closestWidth < 0.5);
  m_list->ResetWidth();
  m_list->AddLine(closest.toStdString());
  m_list->AddLine(line.toStdString());
  QCOMPARE(m_list->widestPathWidth(), qRound(width));
}

void MessageListTest::counterClampsAt32767() {
  const QString huge(6000, u'W');
  QVERIFY(widthOf(huge) > 32767);
  m_list->AddLine("!_ " + huge.toStdString());
  QCOMPARE(m_list->widestPathWidth(), 32767);
  m_list->AddLine("!_ small");
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
  const QString line = QStringLiteral("!_ Ошибка ") + path;
  const int width = widthOf(line);
  QVERIFY(width + 3 > visibleWidth());
  m_list->AddLine(line.toStdString());
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), width + 3);
  QTRY_VERIFY(bar()->isVisible());
  QCOMPARE(bar()->maximum(), width + 3 - visibleWidth());

  // A second run depends only on its own lines.
  m_list->ResetWidth();
  m_list->Clear();
  m_list->AddLine("!_ Ошибка /x/y");
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), widthOf(QStringLiteral("!_ Ошибка /x/y")) + 3);
  QTRY_VERIFY(!bar()->isVisible());
  QCOMPARE(bar()->maximum(), 0);
}

void MessageListTest::extentChangesOnlyWhenApplied() {
  // A line far wider than the list gives no scroll bar until the run applies the extent ...
  const std::string longLine = "!_  Бинарный файл: /" + std::string(400, 'w');
  for (int i = 0; i < 30; ++i) m_list->AddLine(longLine);
  QTest::qWait(50);  // the list lays its lines out later
  QCOMPARE(bar()->maximum(), 0);
  QVERIFY(!bar()->isVisible());
  m_list->ApplyExtent();
  QCOMPARE(m_list->horizontalExtent(), widthOf(QString::fromStdString(longLine)) + 3);

  // ... and an extent set smaller than later lines is kept while they are added and shown.
  m_list->ResetWidth();
  const std::string shorter = "!_ " + std::string(200, 'b');
  m_list->AddLine(shorter);
  m_list->ApplyExtent();
  const int extent = widthOf(QString::fromStdString(shorter)) + 3;
  QVERIFY(extent > visibleWidth());
  for (int i = 0; i < 30; ++i) m_list->AddLine(longLine);
  QTest::qWait(50);
  QCOMPARE(m_list->horizontalExtent(), extent);
  QCOMPARE(bar()->maximum(), extent - visibleWidth());
  QVERIFY(bar()->isVisible());
}

void MessageListTest::clearKeepsCounterAndExtent() {
  const QString line = QStringLiteral("!_ ") + QString(200, u'q');
  m_list->AddLine(line.toStdString());
  m_list->ApplyExtent();
  const int extent = m_list->horizontalExtent();
  const int maximum = bar()->maximum();
  QVERIFY(maximum > 0);
  m_list->Clear();
  QCOMPARE(m_list->lineCount(), 0);
  QCOMPARE(m_list->widestPathWidth(), widthOf(line));
  QCOMPARE(m_list->horizontalExtent(), extent);
  // A narrow line after the clear scrolls as far as before.
  m_list->AddLine("!_ r");
  QTest::qWait(20);
  QCOMPARE(bar()->maximum(), maximum);
  QVERIFY(bar()->isVisible());
}

void MessageListTest::lastLineIsInViewWhenAListEnds_data() {
  QTest::addColumn<QString>("ending");
  QTest::addColumn<bool>("wide");  // lines wider than the list: the horizontal scroll bar comes
  QTest::newRow("folder run") << QStringLiteral("run") << false;
  QTest::newRow("preview") << QStringLiteral("preview") << false;
  QTest::newRow("undo") << QStringLiteral("undo") << false;
  QTest::newRow("folder run, wide lines") << QStringLiteral("run") << true;
  QTest::newRow("preview, wide lines") << QStringLiteral("preview") << true;
  QTest::newRow("undo, wide lines") << QStringLiteral("undo") << true;
}

// A list far longer than the eight lines the window shows ends in view: the summary, or the
// undo's counts, above the horizontal scroll bar where the lines are wider than the list.
void MessageListTest::lastLineIsInViewWhenAListEnds() {
  QFETCH(QString, ending);
  QFETCH(bool, wide);
  const bool undo = ending == QStringLiteral("undo");
  const QString tree = m_temp->file(QStringLiteral("tree"));
  QVERIFY(QDir().mkpath(tree));
  // One line a file: binary files in a run or a preview; in an undo, files edited since the run.
  const QString name = wide ? QString(100, u'ф') : QString();
  const auto file = [&](int i) { return tree + QStringLiteral("/f%1%2.txt").arg(i).arg(name); };
  for (int i = 0; i < 40; ++i) QVERIFY(ui_testing::writeBytes(file(i), undo ? "old" : "\x01old"));
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("old"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("new"));
  control<QLineEdit>(*m_form, "Text4")->setText(tree);
  if (ending == QStringLiteral("preview")) {
    m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  } else {
    m_prompter.expectQuestion(
        ui_testing::folderQuestion(tree, QStringLiteral("old"), QStringLiteral("new")), Answer::Yes);
    m_prompter.expectInformation(kDone);
    control<QPushButton>(*m_form, "Command4")->click();
  }
  if (undo) {
    for (int i = 0; i < 40; ++i) QVERIFY(ui_testing::writeBytes(file(i), "mine"));
    const auto runs = engine::ListUndoRuns(engine::UndoStoreFolder());
    QCOMPARE(runs.size(), std::size_t{1});
    m_prompter.expectQuestion(QString::fromStdString(words::UndoQuestion(runs.front())),
                              Answer::Yes);
    m_prompter.expectInformation(kDone);
    m_form->findChild<QAction*>(QStringLiteral("UndoAction"))->trigger();
  }
  QCOMPARE(m_list->lineCount(), 41);
  QVERIFY(m_list->verticalScrollBar()->maximum() > 0);
  if (wide) QTRY_VERIFY(bar()->isVisible());
  QCoreApplication::processEvents();  // whatever the scroll bar's coming moved has been laid out
  const QRect last = m_list->lineRect(m_list->lineCount() - 1);
  // Top to bottom in view; a wide line goes on to the right, where the scroll bar takes it.
  const QRect viewport = m_list->viewport()->rect();
  QVERIFY2(last.top() >= viewport.top() && last.bottom() <= viewport.bottom(),
           qPrintable(m_list->line(m_list->lineCount() - 1)));
}

QTEST_MAIN(MessageListTest)
#include "message_list_test.moc"
