// "Заменить текст в папке": the extension field, the confirmation, the walk, the completion box
// and the list's horizontal extent, on every way the command can go.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <memory>

#include "engine/undo/undo.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "tests/support/run_transcript.h"
#include "ui/form1.h"
#include "ui_test_support.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::folderQuestion;
using ui_testing::kDone;
using ui_testing::readBytes;
using ui_testing::writeBytes;

class Command4Test : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:

  void extensionIsNormalisedEvenWhenTheFolderIsEmpty_data();
  void extensionIsNormalisedEvenWhenTheFolderIsEmpty();
  void answerNoTouchesNothingButAppliesTheExtent();
  void walkReportsInOrderAndSetsTheExtent();
  void pathThatNamesNothingGetsOneLine();
  void pathThatNamesAFileStillCompletes();
  void replacementOutsideTheCodePageFailsOnlyWhereItIsWritten();
  void spacesAreTrimmedOnlyFromAPathThatNamesNoFolder();
  void bareNameIsAFolderInTheCurrentOne();
  void failedExistenceTestIsShownAndTheWindowRecovers();
  void secondRunsExtentDependsOnlyOnItsOwnLines();
  void undoAsksFirstThenTakesTheRunBack();

 private:
  void prepare() override;
  void windowMade() override;
  void click() { QTest::mouseClick(m_command4, Qt::LeftButton); }
  void expectIdle();
  int widthOf(const QString& text) const;
  int widestLine() const;  // of the lines in the list now
  QString tree(const QString& relative = {}) const;

  QPlainTextEdit* m_text1 = nullptr;
  QPlainTextEdit* m_text2 = nullptr;
  QLineEdit* m_text4 = nullptr;
  QLineEdit* m_text5 = nullptr;
  QPushButton* m_command4 = nullptr;
  ui::MessageListBox* m_list = nullptr;
};

void Command4Test::prepare() {
  QVERIFY(QDir(m_temp->path()).mkpath(QStringLiteral("site/sub")));
}

void Command4Test::windowMade() {
  m_text1 = control<QPlainTextEdit>(*m_form, "Text1");
  m_text2 = control<QPlainTextEdit>(*m_form, "Text2");
  m_text4 = control<QLineEdit>(*m_form, "Text4");
  m_text5 = control<QLineEdit>(*m_form, "Text5");
  m_command4 = control<QPushButton>(*m_form, "Command4");
  m_list = control<ui::MessageListBox>(*m_form, "List1");
  QVERIFY(m_text1 && m_text2 && m_text4 && m_text5 && m_command4 && m_list);
}

void Command4Test::expectIdle() {
  QVERIFY(m_form->isEnabled());
  QVERIFY(!m_form->isBusy());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

int Command4Test::widthOf(const QString& text) const {
  return static_cast<int>(std::lround(QFontMetricsF(m_list->font()).horizontalAdvance(text)));
}

int Command4Test::widestLine() const {
  int widest = 0;
  for (int i = 0; i < m_list->lineCount(); ++i) widest = std::max(widest, widthOf(m_list->line(i)));
  return widest;
}

QString Command4Test::tree(const QString& relative) const {
  const QString site = m_temp->file(QStringLiteral("site"));
  return relative.isEmpty() ? site : site + QLatin1Char('/') + relative;
}

void Command4Test::extensionIsNormalisedEvenWhenTheFolderIsEmpty_data() {
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("normalised");
  QTest::newRow("bare") << QStringLiteral("txt") << QStringLiteral(".txt");
  QTest::newRow("dotted") << QStringLiteral(".txt") << QStringLiteral(".txt");
  QTest::newRow("spaces") << QStringLiteral("  txt ") << QStringLiteral(".txt");
  // ".*.txt" would match no file at all: the star goes.
  QTest::newRow("star") << QStringLiteral("*.txt") << QStringLiteral(".txt");
  QTest::newRow("several") << QStringLiteral("*.html;htm, .php") << QStringLiteral(".html .htm .php");
  QTest::newRow("only spaces") << QStringLiteral("   ") << QString();
}

void Command4Test::extensionIsNormalisedEvenWhenTheFolderIsEmpty() {
  QFETCH(QString, typed);
  QFETCH(QString, normalised);
  m_list->AddLine("!_ earlier");
  m_list->ApplyExtent();
  const int extentBefore = m_list->horizontalExtent();
  m_text5->setText(typed);
  click();
  QCOMPARE(m_text5->text(), normalised);
  QCOMPARE(m_prompter.shown(), 0);
  QCOMPARE(m_list->widestPathWidth(), 0);                  // the width was reset
  QCOMPARE(m_list->horizontalExtent(), extentBefore);      // but the extent was not applied
  QCOMPARE(m_list->lineCount(), 1);
  expectIdle();
}

void Command4Test::answerNoTouchesNothingButAppliesTheExtent() {
  QVERIFY(writeBytes(tree(QStringLiteral("a.txt")), "old"));
  m_list->AddLine("!_ earlier");
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("new"));
  m_text4->setText(tree());
  bool disabledWhileAsking = false;
  m_prompter.expectQuestion(folderQuestion(tree(), QStringLiteral("old"), QStringLiteral("new")),
                            Answer::No, [&] { disabledWhileAsking = !m_form->isEnabled(); });
  click();
  QVERIFY(disabledWhileAsking);
  QCOMPARE(readBytes(tree(QStringLiteral("a.txt"))), QByteArray("old"));
  QCOMPARE(m_list->lineCount(), 1);
  QCOMPARE(m_list->horizontalExtent(), 3);
  expectIdle();
}

void Command4Test::walkReportsInOrderAndSetsTheExtent() {
  QVERIFY(writeBytes(tree(QStringLiteral("a.txt")), "old"));
  QVERIFY(writeBytes(tree(QStringLiteral("b.bin")), QByteArray("old\0", 4)));
  QVERIFY(writeBytes(tree(QStringLiteral(".hidden.txt")), "old"));
  QVERIFY(writeBytes(tree(QStringLiteral("sub/c.txt")), "old\r\nold"));
  QVERIFY(writeBytes(tree(QStringLiteral("sub/d.html")), "old"));
  m_list->AddLine("!_ earlier");
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("new"));
  m_text4->setText(tree() + QLatin1Char('/'));
  m_text5->setText(QStringLiteral("txt"));
  int linesWhenDone = -1;
  m_prompter.expectQuestion(
      folderQuestion(tree() + QLatin1Char('/'), QStringLiteral("old"), QStringLiteral("new")),
      Answer::Yes);
  m_prompter.expectInformation(kDone, [&] { linesWhenDone = m_list->lineCount(); });
  click();
  QCOMPARE(m_text5->text(), QStringLiteral(".txt"));
  QCOMPARE(readBytes(tree(QStringLiteral("a.txt"))), QByteArray("new"));
  QCOMPARE(readBytes(tree(QStringLiteral("sub/c.txt"))), QByteArray("new\r\nnew"));
  QCOMPARE(readBytes(tree(QStringLiteral("sub/d.html"))), QByteArray("old"));  // filtered out
  QCOMPARE(readBytes(tree(QStringLiteral(".hidden.txt"))), QByteArray("old"));
  // The earlier line went when the user said Yes; the hidden file is the one failure, and the
  // summary ends the list before the completion box.
  QCOMPARE(linesWhenDone, 2);
  QCOMPARE(m_list->lineCount(), 2);
  const QString failed = tree(QStringLiteral(".hidden.txt"));
  QCOMPARE(m_list->line(0),
           QStringLiteral("!_ Ошибка 75 Не удалось заменить файл: файл скрытый - ") + failed);
  QCOMPARE(m_list->line(1),
           QStringLiteral("Файлов: 3, изменено: 2, замен: 3, переписано без изменений: 0, "
                          "без изменений: 0, "
                          "пропущено: 0, ошибок: 1"));
  QCOMPARE(m_list->horizontalExtent(), widestLine() + 3);
  expectIdle();
}

void Command4Test::pathThatNamesNothingGetsOneLine() {
  m_list->AddLine("!_ earlier");
  const QString missing = tree(QStringLiteral("missing"));
  m_text4->setText(missing);
  m_prompter.expectQuestion(folderQuestion(missing, QString(), QString()), Answer::Yes);
  click();  // no box: the script holds none
  QCOMPARE(m_list->lineCount(), 1);
  QCOMPARE(m_list->line(0), QStringLiteral("!_ Ошибка 76 Путь не найден - ") + missing);
  QCOMPARE(m_list->horizontalExtent(), widestLine() + 3);
  expectIdle();
}

void Command4Test::pathThatNamesAFileStillCompletes() {
  const QString file = tree(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(file, "old"));
  m_text1->setPlainText(QStringLiteral("old"));
  m_text4->setText(file);
  m_prompter.expectQuestion(folderQuestion(file, QStringLiteral("old"), QString()), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(file), QByteArray("old"));
  expectIdle();
}

void Command4Test::replacementOutsideTheCodePageFailsOnlyWhereItIsWritten() {
  // "old" beside a letter in UTF-8, in Windows-1251, and a Windows-1251 file without "old".
  QVERIFY(writeBytes(tree(QStringLiteral("a.txt")), "old \xD1\x91"));
  QVERIFY(writeBytes(tree(QStringLiteral("b.txt")), "old \xB8"));
  QVERIFY(writeBytes(tree(QStringLiteral("c.txt")), "new \xB8"));
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("新"));
  m_text4->setText(tree());
  m_prompter.expectQuestion(folderQuestion(tree(), QStringLiteral("old"), QStringLiteral("新")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(tree(QStringLiteral("a.txt"))), QByteArray("\xE6\x96\xB0 \xD1\x91"));
  QCOMPARE(readBytes(tree(QStringLiteral("b.txt"))), QByteArray("old \xB8"));
  QCOMPARE(readBytes(tree(QStringLiteral("c.txt"))), QByteArray("new \xB8"));
  QCOMPARE(m_list->lineCount(), 2);
  QCOMPARE(m_list->line(1),
           QStringLiteral("Файлов: 3, изменено: 1, замен: 1, переписано без изменений: 1, "
                          "без изменений: 0, "
                          "пропущено: 0, ошибок: 1"));
  QCOMPARE(m_list->line(0),
           QStringLiteral("!_ Ошибка 5 Не удалось перекодировать текст: символа «新» (U+65B0) нет "
                          "в кодовой странице CP1251 - ") +
               tree(QStringLiteral("b.txt")));
  expectIdle();
}

void Command4Test::spacesAreTrimmedOnlyFromAPathThatNamesNoFolder() {
  QVERIFY(QDir(tree()).mkpath(QStringLiteral("proj")));
  QVERIFY(QDir(tree()).mkpath(QStringLiteral("proj ")));
  QVERIFY(writeBytes(tree(QStringLiteral("proj/a.txt")), "old"));
  QVERIFY(writeBytes(tree(QStringLiteral("proj /a.txt")), "old"));
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("new"));
  // A real name ending in a space is taken as typed.
  const QString withSpace = tree(QStringLiteral("proj "));
  m_text4->setText(withSpace);
  m_prompter.expectQuestion(folderQuestion(withSpace, QStringLiteral("old"), QStringLiteral("new")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(tree(QStringLiteral("proj /a.txt"))), QByteArray("new"));
  QCOMPARE(readBytes(tree(QStringLiteral("proj/a.txt"))), QByteArray("old"));
  // Spaces around a path that names nothing as typed are trimmed.
  const QString padded = QStringLiteral("  ") + tree(QStringLiteral("proj")) + QStringLiteral("  ");
  m_text4->setText(padded);
  m_prompter.expectQuestion(folderQuestion(padded, QStringLiteral("old"), QStringLiteral("new")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(tree(QStringLiteral("proj/a.txt"))), QByteArray("new"));
  expectIdle();
}

// A name without any "/" is a folder in the current one (the walk alone would leave it, as it
// leaves a bare drive, and the run would end with nothing done and nothing said).
void Command4Test::bareNameIsAFolderInTheCurrentOne() {
  QVERIFY(QDir(tree()).mkpath(QStringLiteral("proj")));
  QVERIFY(writeBytes(tree(QStringLiteral("proj/b.bin")), QByteArray("old\0", 4)));
  const QString before = QDir::currentPath();
  QVERIFY(QDir::setCurrent(tree()));
  const auto back = qScopeGuard([&] { QDir::setCurrent(before); });
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("new"));
  for (const QString& typed : {QStringLiteral("proj"), QStringLiteral(".")}) {
    QVERIFY(writeBytes(tree(QStringLiteral("proj/a.txt")), "old"));
    m_text4->setText(typed);
    m_prompter.expectQuestion(folderQuestion(typed, QStringLiteral("old"), QStringLiteral("new")),
                              Answer::Yes);
    m_prompter.expectInformation(kDone);
    click();
    QCOMPARE(readBytes(tree(QStringLiteral("proj/a.txt"))), QByteArray("new"));
    const QString top = typed == QStringLiteral(".") ? QDir::currentPath() : QStringLiteral(".");
    QCOMPARE(m_list->line(0),
             QStringLiteral("!_  Бинарный файл: ") + top + QStringLiteral("/proj/b.bin"));
  }
  expectIdle();
}

void Command4Test::failedExistenceTestIsShownAndTheWindowRecovers() {
  const QString tooLong = tree() + QLatin1Char('/') + QString(5000, QLatin1Char('x'));
  m_text4->setText(tooLong);
  m_prompter.expectQuestion(folderQuestion(tooLong, QString(), QString()), Answer::Yes);
  m_prompter.expectFailure(
      QStringLiteral("Error 52 Не удалось прочитать атрибуты: слишком длинное имя"));
  click();
  QCOMPARE(m_list->horizontalExtent(), 3);
  expectIdle();
}

void Command4Test::secondRunsExtentDependsOnlyOnItsOwnLines() {
  const QString longName = QString(60, QLatin1Char('w')) + QStringLiteral(".txt");
  QVERIFY(writeBytes(tree(longName), QByteArray("\x01", 1)));
  m_text4->setText(tree());
  m_prompter.expectQuestion(folderQuestion(tree(), QString(), QString()), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(m_list->line(0), QStringLiteral("!_  Бинарный файл: ") + tree(longName));
  QCOMPARE(m_list->horizontalExtent(), widestLine() + 3);

  QVERIFY(QFile::remove(tree(longName)));
  QVERIFY(writeBytes(tree(QStringLiteral("sub/s.bin")), QByteArray("\x02", 1)));
  m_prompter.expectQuestion(folderQuestion(tree(), QString(), QString()), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(m_list->lineCount(), 2);
  QCOMPARE(m_list->line(0),
           QStringLiteral("!_  Бинарный файл: ") + tree(QStringLiteral("sub/s.bin")));
  QCOMPARE(m_list->horizontalExtent(), widestLine() + 3);
  expectIdle();
}

void Command4Test::undoAsksFirstThenTakesTheRunBack() {
  QVERIFY(writeBytes(tree(QStringLiteral("a.txt")), "old a"));
  QVERIFY(writeBytes(tree(QStringLiteral("sub/b.txt")), "old b"));
  QVERIFY(writeBytes(tree(QStringLiteral("sub/c.txt")), "old c"));
  m_text1->setPlainText(QStringLiteral("old"));
  m_text2->setPlainText(QStringLiteral("new"));
  m_text4->setText(tree());
  m_prompter.expectQuestion(folderQuestion(tree(), QStringLiteral("old"), QStringLiteral("new")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QVERIFY(writeBytes(tree(QStringLiteral("sub/c.txt")), "mine now"));
  // A later run from the terminal, which the window's undo must leave alone.
  QVERIFY(writeBytes(m_temp->file(QStringLiteral("cli.txt")), "old cli"));
  {
    engine::UndoJournal journal(engine::UndoStoreFolder(),
                                {engine::RunOrigin::CommandLine, "old", "new", "cli.txt"});
    testing_support::RunSetup cli;
    cli.targets = {testing_support::FileTarget(
        QFile::encodeName(m_temp->file(QStringLiteral("cli.txt"))).toStdString())};
    cli.options.findText = "old";
    cli.options.replaceText = "new";
    cli.undo = &journal;
    QVERIFY(testing_support::Verdict(testing_support::Record(cli)) == "rewritten");
    QVERIFY(journal.enabled());
  }

  auto* undo = m_form->findChild<QAction*>(QStringLiteral("UndoAction"));
  QVERIFY(undo);
  // The question names the run, each text cut at 40 characters.
  const QString target = tree().size() > 40 ? tree().left(40) + QStringLiteral("…") : tree();
  const QString question =
      QStringLiteral("Вернуть файлы, изменённые заменой «old» → «new» в %1 (3 файла)?").arg(target);
  m_prompter.expectQuestion(question, Answer::No);
  undo->trigger();
  QCOMPARE(readBytes(tree(QStringLiteral("a.txt"))), QByteArray("new a"));

  m_prompter.expectQuestion(question, Answer::Yes);
  m_prompter.expectInformation(kDone);
  undo->trigger();
  QCOMPARE(readBytes(tree(QStringLiteral("a.txt"))), QByteArray("old a"));
  QCOMPARE(readBytes(tree(QStringLiteral("sub/b.txt"))), QByteArray("old b"));
  QCOMPARE(readBytes(tree(QStringLiteral("sub/c.txt"))), QByteArray("mine now"));
  QCOMPARE(readBytes(m_temp->file(QStringLiteral("cli.txt"))), QByteArray("new cli"));
  // The file edited since is named, and the list ends with the counts, as tarvel-cli's undo.
  const auto runs = engine::ListUndoRuns(engine::UndoStoreFolder());
  const auto window = std::find_if(runs.begin(), runs.end(), [](const engine::UndoRunInfo& r) {
    return r.header.origin == engine::RunOrigin::Window;
  });
  QVERIFY(window != runs.end());
  QCOMPARE(window->state, engine::UndoRunInfo::State::Undone);
  QCOMPARE(m_list->lineCount(), 2);
  QCOMPARE(m_list->line(0), QStringLiteral("изменён после замены — оставлен как есть: ") +
                                        tree(QStringLiteral("sub/c.txt")));
  QCOMPARE(m_list->line(1),
           QStringLiteral("Замена %1 отменена. Возвращено файлов: 2, оставлено как есть: 1.")
               .arg(QString::fromStdString(window->id)));
  expectIdle();
}

QTEST_MAIN(Command4Test)
#include "command4_test.moc"
