// "Заменить текст в файле": every way the command can go, answered through the scripted
// prompter: empty path, No, Yes, a binary file, a missing file, multi-line texts, files in UTF-8
// and in the code page, and a fault nobody expected.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/code_page.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"
#include "ui_test_support.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::kDone;
using ui_testing::readBytes;
using ui_testing::writeBytes;

namespace {

QString confirmation(const QString& path, const QString& find, const QString& replace) {
  return QStringLiteral("Внимание! В файле \"") + path +
         QStringLiteral("\" все сочетания символов \"") + find +
         QStringLiteral("\" будут заменены на \"") + replace +
         QStringLiteral("\".\r\nПерезаписать файл ?");
}

}  // namespace

class Command2Test : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:
  void emptyPathDoesNothing();
  void pathOfSpacesIsNotEmpty();
  void answerNoChangesNothing();
  void answerYesRewritesTheFile_data();
  void answerYesRewritesTheFile();
  void emptyFindTextRewritesTheFileUnchanged();
  void binaryFileIsSkippedWithAListLine();
  void binaryFileIsRewrittenWhenAllowed();
  void missingFileShowsTheFailureBox();
  void multiLineTextsAreCrLfInTheQuestionAndTheMatch();
  void eachFileTakesTheTextsInItsOwnEncoding_data();
  void eachFileTakesTheTextsInItsOwnEncoding();
  void windowIsBusyWhileABoxIsShown();
  void patternsWordsCaseAndLineBreaks_data();
  void patternsWordsCaseAndLineBreaks();
  void badPatternIsRefusedBeforeTheQuestion();
  void unexpectedFaultEndsInTheFailureBox_data();
  void unexpectedFaultEndsInTheFailureBox();

 private:
  void windowMade() override;
  void click() { QTest::mouseClick(m_command2, Qt::LeftButton); }
  void expectIdle();

  QPlainTextEdit* m_text1 = nullptr;
  QPlainTextEdit* m_text2 = nullptr;
  QLineEdit* m_text3 = nullptr;
  QCheckBox* m_check1 = nullptr;
  QCheckBox* m_check2 = nullptr;
  QPushButton* m_command2 = nullptr;
  ui::MessageListBox* m_list = nullptr;
};

void Command2Test::windowMade() {
  m_text1 = control<QPlainTextEdit>(*m_form, "Text1");
  m_text2 = control<QPlainTextEdit>(*m_form, "Text2");
  m_text3 = control<QLineEdit>(*m_form, "Text3");
  m_check1 = control<QCheckBox>(*m_form, "Check1");
  m_check2 = control<QCheckBox>(*m_form, "Check2");
  m_command2 = control<QPushButton>(*m_form, "Command2");
  m_list = control<ui::MessageListBox>(*m_form, "List1");
  QVERIFY(m_text1 && m_text2 && m_text3 && m_check1 && m_check2 && m_command2 && m_list);
}

void Command2Test::expectIdle() {
  QVERIFY(m_form->isEnabled());
  QVERIFY(!m_form->isBusy());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

void Command2Test::emptyPathDoesNothing() {
  m_list->AddLine("!_ earlier");
  m_text1->setPlainText(QStringLiteral("a"));
  click();
  QCOMPARE(m_prompter.shown(), 0);
  QCOMPARE(m_list->lineCount(), 1);
  expectIdle();
}

void Command2Test::pathOfSpacesIsNotEmpty() {
  m_text3->setText(QStringLiteral("  "));
  m_prompter.expectQuestion(confirmation(QStringLiteral("  "), QString(), QString()), Answer::No);
  click();
  QCOMPARE(control<QLabel>(*m_form, "DlgFilename")->text(), QStringLiteral("  "));
  expectIdle();
}

void Command2Test::answerNoChangesNothing() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "one two one"));
  m_list->AddLine("!_ earlier");
  m_text1->setPlainText(QStringLiteral("one"));
  m_text2->setPlainText(QStringLiteral("1"));
  m_text3->setText(path);

  m_prompter.expectQuestion(confirmation(path, QStringLiteral("one"), QStringLiteral("1")),
                            Answer::No);
  click();
  QCOMPARE(readBytes(path), QByteArray("one two one"));
  QCOMPARE(m_list->lineCount(), 1);
  QCOMPARE(m_list->line(0), QStringLiteral("!_ earlier"));
  QVERIFY(!QFile::exists(QString::fromStdString(m_form->workFile())));
  expectIdle();
}

void Command2Test::answerYesRewritesTheFile_data() {
  QTest::addColumn<bool>("caseSensitive");
  QTest::addColumn<QString>("find");
  QTest::addColumn<QByteArray>("before");
  QTest::addColumn<QByteArray>("after");
  // Cyrillic texts reach the file in Windows-1251, one byte a letter: Привет ПРИВЕТ привет.
  const QByteArray before(
      "\xCF\xF0\xE8\xE2\xE5\xF2 \xCF\xD0\xC8\xC2\xC5\xD2 \xEF\xF0\xE8\xE2\xE5\xF2");
  const QByteArray mir("\xEC\xE8\xF0");  // мир
  QTest::newRow("case-sensitive") << true << QStringLiteral("Привет") << before
                                  << mir + before.mid(6);
  QTest::newRow("ignoring case") << false << QStringLiteral("пРИВЕт") << before
                                 << mir + " " + mir + " " + mir;
}

void Command2Test::answerYesRewritesTheFile() {
  QFETCH(bool, caseSensitive);
  QFETCH(QString, find);
  QFETCH(QByteArray, before);
  QFETCH(QByteArray, after);
  const QString path = m_temp->file(QStringLiteral("письмо.txt"));
  QVERIFY(writeBytes(path, before));
  m_list->AddLine("!_ earlier");
  m_check2->setChecked(caseSensitive);
  m_text1->setPlainText(find);
  m_text2->setPlainText(QStringLiteral("мир"));
  m_text3->setText(path);

  m_prompter.expectQuestion(confirmation(path, find, QStringLiteral("мир")), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(path), after);
  // Cleared on Yes; then the run's summary.
  QCOMPARE(m_list->lineCount(), 1);
  QVERIFY(m_list->line(0).startsWith(QStringLiteral("Файлов: 1, изменено: 1, замен: ")));
  expectIdle();
}

void Command2Test::emptyFindTextRewritesTheFileUnchanged() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "abc"));
  const QDateTime written = QFileInfo(path).lastModified();
  QTest::qWait(20);
  m_text3->setText(path);
  m_text2->setPlainText(QStringLiteral("x"));
  m_prompter.expectQuestion(confirmation(path, QString(), QStringLiteral("x")), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(path), QByteArray("abc"));
  QVERIFY(QFileInfo(path).lastModified() > written);  // rewritten, not left alone
}

void Command2Test::binaryFileIsSkippedWithAListLine() {
  const QString path = m_temp->file(QStringLiteral("образ.bin"));
  const QByteArray bytes("ab\x01 ab", 6);
  QVERIFY(writeBytes(path, bytes));
  m_list->AddLine("!_ earlier");
  m_text1->setPlainText(QStringLiteral("ab"));
  m_text2->setPlainText(QStringLiteral("cd"));
  m_text3->setText(path);

  m_prompter.expectQuestion(confirmation(path, QStringLiteral("ab"), QStringLiteral("cd")),
                            Answer::Yes);
  click();  // no "Операция завершена." box: the script holds none
  QCOMPARE(readBytes(path), bytes);
  QCOMPARE(m_list->lineCount(), 2);
  QCOMPARE(m_list->line(0), QStringLiteral("!_  Бинарный файл: ") + path);
  QCOMPARE(m_list->line(1),
           QStringLiteral("Файлов: 1, изменено: 0, замен: 0, переписано без изменений: 0, "
                          "без изменений: 0, "
                          "пропущено: 1, ошибок: 0"));
  // The counter grew by the lines, and the file command leaves the extent alone.
  const QFontMetricsF metrics(m_form->font());
  QCOMPARE(m_list->widestPathWidth(),
           qRound(std::max(metrics.horizontalAdvance(m_list->line(0)),
                           metrics.horizontalAdvance(m_list->line(1)))));
  QCOMPARE(m_list->horizontalExtent(), 0);
  expectIdle();
}

void Command2Test::binaryFileIsRewrittenWhenAllowed() {
  const QString path = m_temp->file(QStringLiteral("b.bin"));
  QVERIFY(writeBytes(path, QByteArray("ab\x01 ab", 6)));
  m_check1->setChecked(false);
  m_text1->setPlainText(QStringLiteral("ab"));
  m_text2->setPlainText(QStringLiteral("cd"));
  m_text3->setText(path);
  m_prompter.expectQuestion(confirmation(path, QStringLiteral("ab"), QStringLiteral("cd")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(path), QByteArray("cd\x01 cd", 6));
  QCOMPARE(m_list->lineCount(), 1);  // the summary
}

void Command2Test::missingFileShowsTheFailureBox() {
  const QString path = m_temp->file(QStringLiteral("нет-такого.txt"));
  m_list->AddLine("!_ earlier");
  m_text3->setText(path);
  bool busyDuringFailure = false;
  m_prompter.expectQuestion(confirmation(path, QString(), QString()), Answer::Yes);
  m_prompter.expectFailure(
      QStringLiteral("Error 53 Не удалось открыть файл: файл или папка не найдены"),
      [&] { busyDuringFailure = !m_form->isEnabled() && m_form->isBusy(); });
  click();
  QVERIFY(busyDuringFailure);
  // The confirmation cleared it before the failure; the run's summary counts the failure.
  QCOMPARE(m_list->lineCount(), 1);
  QCOMPARE(m_list->line(0),
           QStringLiteral("Файлов: 1, изменено: 0, замен: 0, переписано без изменений: 0, "
                          "без изменений: 0, "
                          "пропущено: 0, ошибок: 1"));
  QVERIFY(!QFile::exists(path));
  expectIdle();
}

void Command2Test::multiLineTextsAreCrLfInTheQuestionAndTheMatch() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "x one\r\ntwo y one\ntwo"));
  m_text3->setText(path);
  // Typed as the user types: Enter in the find text, Shift+Enter in the replacement.
  m_text1->setFocus();
  QTest::keyClicks(m_text1, QStringLiteral("one"));
  QTest::keyClick(m_text1, Qt::Key_Return);
  QTest::keyClicks(m_text1, QStringLiteral("two"));
  QTest::keyClicks(m_text2, QStringLiteral("1"));
  QTest::keyClick(m_text2, Qt::Key_Return, Qt::ShiftModifier);
  QTest::keyClicks(m_text2, QStringLiteral("2"));
  QTest::keyClick(m_text2, Qt::Key_Return);

  m_prompter.expectQuestion(
      confirmation(path, QStringLiteral("one\r\ntwo"), QStringLiteral("1\r\n2\r\n")), Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  // A line break of the texts is the file's, CR LF or LF: each occurrence gets the replacement
  // with the line breaks it used.
  QCOMPARE(readBytes(path), QByteArray("x 1\r\n2\r\n y 1\n2\n"));
}

void Command2Test::patternsWordsCaseAndLineBreaks_data() {
  QTest::addColumn<QString>("option");  // the check box, or the find field's menu entry
  QTest::addColumn<QString>("find");
  QTest::addColumn<QString>("replace");
  QTest::addColumn<QByteArray>("before");
  QTest::addColumn<QByteArray>("after");
  QTest::newRow("a regular expression") << "Check3" << "(\\w+)@x" << "$1!"
                                        << QByteArray("ёж@x cd") << QByteArray("ёж! cd");
  QTest::newRow("whole words") << "Check4" << "cat" << "dog" << QByteArray("cat category cat")
                               << QByteArray("dog category dog");
  QTest::newRow("the case kept") << "PreserveCaseAction" << "ёлка" << "сосна"
                                 << QByteArray("Ёлка ЁЛКА ёлка")
                                 << QByteArray("Сосна СОСНА сосна");
  // Typed with Enter, which the field holds as CR LF, in a file of bare line feeds.
  QTest::newRow("line breaks of the file") << "" << "foo\nline two" << "X\nY"
                                           << QByteArray("foo\nline two\n")
                                           << QByteArray("X\nY\n");
}

void Command2Test::patternsWordsCaseAndLineBreaks() {
  QFETCH(QString, option);
  QFETCH(QString, find);
  QFETCH(QString, replace);
  QFETCH(QByteArray, before);
  QFETCH(QByteArray, after);
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, before));
  if (option == "PreserveCaseAction") {
    m_form->findChild<QAction*>(option)->setChecked(true);
  } else if (!option.isEmpty()) {
    control<QCheckBox>(*m_form, option.toLatin1().constData())->setChecked(true);
  }
  m_text1->setPlainText(find);
  m_text2->setPlainText(replace);
  m_text3->setText(path);
  const auto crLf = [](QString text) { return text.replace(QStringLiteral("\n"), QStringLiteral("\r\n")); };
  const QString question =
      option == "Check3"
          ? QStringLiteral("Внимание! В файле \"") + path +
                QStringLiteral("\" все совпадения с регулярным выражением \"(\\w+)@x\" будут "
                               "заменены на \"$1!\".\r\nПерезаписать файл ?")
          : confirmation(path, crLf(find), crLf(replace));
  m_prompter.expectQuestion(question, Answer::Yes);
  m_prompter.expectInformation(kDone);
  click();
  QCOMPARE(readBytes(path), after);
}

void Command2Test::badPatternIsRefusedBeforeTheQuestion() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "a(b"));
  control<QCheckBox>(*m_form, "Check3")->setChecked(true);
  m_text1->setPlainText(QStringLiteral("ё("));
  m_text2->setPlainText(QStringLiteral("x"));
  m_text3->setText(path);
  m_prompter.expectFailure(
      QStringLiteral("Ошибка в регулярном выражении: не хватает закрывающей скобки, позиция 3"));
  click();
  QCOMPARE(readBytes(path), QByteArray("a(b"));
  expectIdle();
}

void Command2Test::eachFileTakesTheTextsInItsOwnEncoding_data() {
  QTest::addColumn<QByteArray>("before");
  QTest::addColumn<QString>("find");
  QTest::addColumn<QString>("replace");
  QTest::addColumn<QByteArray>("after");  // empty: the file fails with the box
  // "ёж и" in UTF-8 and in Windows-1251: ё is the byte B8, also the second byte of UTF-8 и.
  const QByteArray utf8("\xD1\x91\xD0\xB6 \xD0\xB8");
  const QByteArray cp1251("\xB8\xE6 \xE8");
  QTest::newRow("utf-8") << utf8 << QStringLiteral("ё") << QStringLiteral("е")
                         << QByteArray("\xD0\xB5\xD0\xB6 \xD0\xB8");
  QTest::newRow("utf-8, a character no code page holds")
      << utf8 << QStringLiteral("ж") << QStringLiteral("中")
      << QByteArray("\xD1\x91\xE4\xB8\xAD \xD0\xB8");
  QTest::newRow("code page") << cp1251 << QStringLiteral("ё") << QStringLiteral("е")
                             << QByteArray("\xE5\xE6 \xE8");
  QTest::newRow("code page, find text it cannot hold")
      << cp1251 << QStringLiteral("中") << QStringLiteral("е") << cp1251;
  QTest::newRow("code page, replacement it cannot hold")
      << cp1251 << QStringLiteral("ж") << QStringLiteral("中") << QByteArray();
}

void Command2Test::eachFileTakesTheTextsInItsOwnEncoding() {
  QFETCH(QByteArray, before);
  QFETCH(QString, find);
  QFETCH(QString, replace);
  QFETCH(QByteArray, after);
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, before));
  m_text1->setPlainText(find);
  m_text2->setPlainText(replace);
  m_text3->setText(path);
  m_prompter.expectQuestion(confirmation(path, find, replace), Answer::Yes);
  if (after.isEmpty()) {
    const QString codePage = QString::fromStdString(platform::CodePage::system().name());
    m_prompter.expectFailure(
        QStringLiteral("Error 5 Не удалось перекодировать текст: символа «中» (U+4E2D) нет в "
                       "кодовой странице ") +
        codePage);
  } else {
    m_prompter.expectInformation(kDone);
  }
  click();
  QCOMPARE(readBytes(path), after.isEmpty() ? before : after);
  expectIdle();
}

void Command2Test::windowIsBusyWhileABoxIsShown() {
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "a"));
  m_text3->setText(path);
  struct Seen {
    bool disabled = false;
    bool busy = false;
    Qt::CursorShape cursor = Qt::ArrowCursor;
  };
  Seen asking;
  Seen informing;
  auto look = [this](Seen& seen) {
    return [this, &seen] {
      seen.disabled = !m_form->isEnabled();
      seen.busy = m_form->isBusy();
      if (const QCursor* c = QApplication::overrideCursor()) seen.cursor = c->shape();
    };
  };
  m_prompter.expectQuestion(confirmation(path, QString(), QString()), Answer::Yes, look(asking));
  m_prompter.expectInformation(kDone, look(informing));
  m_command2->setFocus();
  click();
  for (const Seen* seen : {&asking, &informing}) {
    QVERIFY(seen->disabled);
    QVERIFY(seen->busy);
    QCOMPARE(seen->cursor, Qt::BusyCursor);
  }
  expectIdle();
  // The focus is back on the button, as the keyboard left it.
  QCOMPARE(QApplication::focusWidget(), m_command2);
}

void Command2Test::unexpectedFaultEndsInTheFailureBox_data() {
  QTest::addColumn<int>("fault");
  QTest::addColumn<QString>("message");
  QTest::newRow("runtime_error") << 0
                                 << QStringLiteral("Error 51 Внутренняя ошибка программы: сбой");
  QTest::newRow("bad_alloc") << 1 << QStringLiteral("Error 7 Недостаточно памяти");
  QTest::newRow("anything") << 2 << QStringLiteral("Error 51 Внутренняя ошибка программы");
}

void Command2Test::unexpectedFaultEndsInTheFailureBox() {
  QFETCH(int, fault);
  QFETCH(QString, message);
  const QString path = m_temp->file(QStringLiteral("a.txt"));
  QVERIFY(writeBytes(path, "a"));
  m_text3->setText(path);
  m_text1->setPlainText(QStringLiteral("a"));
  m_text2->setPlainText(QStringLiteral("b"));
  // The result box itself fails, after the file was rewritten.
  m_prompter.expectQuestion(confirmation(path, QStringLiteral("a"), QStringLiteral("b")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone, [fault] {
    if (fault == 0) throw std::runtime_error("сбой");
    if (fault == 1) throw std::bad_alloc();
    throw 42;
  });
  m_prompter.expectFailure(message);
  click();
  QCOMPARE(readBytes(path), QByteArray("b"));
  expectIdle();
  // The window still works: a second run asks again.
  m_prompter.expectQuestion(confirmation(path, QStringLiteral("a"), QStringLiteral("b")),
                            Answer::No);
  click();
}

QTEST_MAIN(Command2Test)
#include "command2_test.moc"
