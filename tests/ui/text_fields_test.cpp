// Line breaks of the multi-line fields: whatever Qt stores, the program uses CR LF.
#include "ui/text_fields.h"

#include <QPlainTextEdit>
#include <QTest>

class TextFieldsTest : public QObject {
  Q_OBJECT

 private slots:
  void everyLineBreakBecomesCrLf_data();
  void everyLineBreakBecomesCrLf();
  void fieldTextKeepsWhatWasTyped();
};

void TextFieldsTest::everyLineBreakBecomesCrLf_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");
  QTest::newRow("empty") << QString() << QString();
  QTest::newRow("no break") << QStringLiteral("abc") << QStringLiteral("abc");
  QTest::newRow("LF") << QStringLiteral("a\nb") << QStringLiteral("a\r\nb");
  QTest::newRow("CR LF stays") << QStringLiteral("a\r\nb") << QStringLiteral("a\r\nb");
  QTest::newRow("lone CR") << QStringLiteral("a\rb") << QStringLiteral("a\r\nb");
  QTest::newRow("CR CR LF") << QStringLiteral("\r\r\n") << QStringLiteral("\r\n\r\n");
  QTest::newRow("LF CR") << QStringLiteral("\n\r") << QStringLiteral("\r\n\r\n");
  QTest::newRow("paragraph separator")
      << (QStringLiteral("a") + QChar(QChar::ParagraphSeparator) + QStringLiteral("b"))
      << QStringLiteral("a\r\nb");
  QTest::newRow("line separator") << (QStringLiteral("a") + QChar(QChar::LineSeparator) +
                                      QStringLiteral("b"))
                                  << QStringLiteral("a\r\nb");
  QTest::newRow("breaks at both ends") << QStringLiteral("\nя\n") << QStringLiteral("\r\nя\r\n");
}

void TextFieldsTest::everyLineBreakBecomesCrLf() {
  QFETCH(QString, text);
  QFETCH(QString, expected);
  QCOMPARE(ui::crlfLineBreaks(text), expected);
}

void TextFieldsTest::fieldTextKeepsWhatWasTyped() {
  QPlainTextEdit field;
  QTest::keyClicks(&field, QStringLiteral("a"));
  QTest::keyClick(&field, Qt::Key_Return);
  QTest::keyClick(&field, Qt::Key_Return, Qt::ShiftModifier);
  field.insertPlainText(QStringLiteral("b") + QChar(QChar::Nbsp) + QStringLiteral("c\r\nd\re\t"));
  QCOMPARE(ui::fieldText(field),
           QStringLiteral("a\r\n\r\nb") + QChar(QChar::Nbsp) + QStringLiteral("c\r\nd\r\ne\t"));
}

QTEST_MAIN(TextFieldsTest)
#include "text_fields_test.moc"
