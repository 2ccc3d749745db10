// The main window as it opens: its controls, their captions, places and sizes, the keyboard
// focus order, and whether the captions fit their controls in the window's font.
#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <memory>

#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"
#include "ui/program_font.h"
#include "ui_test_support.h"

using ui_testing::control;

class Form1WindowTest : public ui_testing::WindowTest {
  Q_OBJECT

 public:
  Form1WindowTest() : WindowTest(Window::Hidden) {}

 private slots:
  void controls_data();
  void controls();
  void startsEmptyWithBothBoxesChecked();
  void windowIsFixedWithMinimizeButton();
  void focusStartsInListAndFollowsTheOrder();
  void noDefaultButtonAndNoAccessKeys();
  void captionsFitTheirControls();
};

void Form1WindowTest::controls_data() {
  QTest::addColumn<QString>("className");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<QString>("parent");
  QTest::addColumn<QRect>("geometry");

  auto row = [](const char* name, const char* className, const QString& caption, const char* parent,
                int left, int top, int width, int height) {
    QTest::newRow(name) << QString::fromLatin1(className) << caption << QString::fromLatin1(parent)
                        << QRect(left, top, width, height);
  };
  row("Label2", "QLabel", QStringLiteral("Искомый текст"), "Form1", 8, 8, 161, 17);
  row("Text1", "QPlainTextEdit", QString(), "Form1", 8, 24, 265, 113);
  row("Label3", "QLabel", QStringLiteral("Текст замены"), "Form1", 280, 8, 161, 17);
  row("Text2", "QPlainTextEdit", QString(), "Form1", 280, 24, 265, 113);
  row("DlgFilename", "QLabel", QStringLiteral("DlgFilename"), "Form1", 184, 8, 57, 17);
  row("Check2", "QCheckBox", QStringLiteral("С учётом регистра символов"), "Form1", 560, 32, 201,
      17);
  row("Check1", "QCheckBox", QStringLiteral("Не изменять бинарные файлы"), "Form1", 560, 56, 209,
      17);
  // The two rows that were free under the check boxes.
  row("Check3", "QCheckBox", QStringLiteral("Регулярное выражение"), "Form1", 560, 80, 185, 17);
  row("Check4", "QCheckBox", QStringLiteral("Слово целиком"), "Form1", 560, 97, 185, 17);
  row("Label4", "QLabel", QStringLiteral("Расширение файлов"), "Form1", 560, 120, 177, 17);
  row("Text5", "QLineEdit", QString(), "Form1", 560, 136, 169, 19);
  row("Text3", "QLineEdit", QString(), "Form1", 8, 160, 345, 19);
  row("Command1", "QPushButton", QStringLiteral("Обзор"), "Form1", 8, 184, 73, 25);
  row("Command2", "QPushButton", QStringLiteral("Заменить текст в файле"), "Form1", 104, 184, 249,
      25);
  row("Text4", "QLineEdit", QString(), "Form1", 384, 160, 345, 19);
  row("Command3", "QPushButton", QStringLiteral("Обзор"), "Form1", 384, 184, 73, 25);
  row("Command4", "QPushButton", QStringLiteral("Заменить текст в папке"), "Form1", 480, 184, 249,
      25);
  row("Frame1", "ui::FrameBox", QStringLiteral("Сообщения:"), "Form1", 8, 224, 729, 161);
  row("List1", "ui::MessageListBox", QString(), "Frame1", 8, 16, 713, 95);
  row("Label1", "QLabel",
      QStringLiteral("Системные, скрытые и файлы только для чтения не перезаписываются."), "Frame1",
      8, 128, 377, 25);
  row("Command5", "QPushButton", QStringLiteral("О программе"), "Frame1", 632, 120, 89, 25);
}

// The caption of a control as the user sees it, or the content of a field.
static QString captionOf(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  if (auto* frame = qobject_cast<const QGroupBox*>(w)) return frame->title();
  if (auto* line = qobject_cast<const QLineEdit*>(w)) return line->text();
  if (auto* text = qobject_cast<const QPlainTextEdit*>(w)) return text->toPlainText();
  return QString();
}

void Form1WindowTest::controls() {
  QFETCH(QString, className);
  QFETCH(QString, caption);
  QFETCH(QString, parent);
  QFETCH(QRect, geometry);

  const QString name = QString::fromLatin1(QTest::currentDataTag());
  const QList<QWidget*> found = m_form->findChildren<QWidget*>(name);
  QCOMPARE(found.size(), 1);
  QWidget* w = found.front();
  QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
  QCOMPARE(captionOf(w), caption);
  QCOMPARE(w->parentWidget()->objectName(), parent);
  QCOMPARE(w->geometry(), geometry);
  QCOMPARE(w->font(), m_form->font());
}

void Form1WindowTest::startsEmptyWithBothBoxesChecked() {
  m_form->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
  QVERIFY(control<QCheckBox>(*m_form, "Check1")->isChecked());
  QVERIFY(control<QCheckBox>(*m_form, "Check2")->isChecked());
  QVERIFY(!control<QLabel>(*m_form, "DlgFilename")->isVisible());
  QCOMPARE(control<ui::MessageListBox>(*m_form, "List1")->lineCount(), 0);
  QCOMPARE(control<ui::MessageListBox>(*m_form, "List1")->widestPathWidth(), 0);
  for (const char* name : {"Text3", "Text4", "Text5"}) {
    QLineEdit* field = control<QLineEdit>(*m_form, name);
    QVERIFY(field->text().isEmpty());
    QCOMPARE(field->maxLength(), 32767);  // Qt's largest: no limit of the program's own
  }
  // Both multi-line fields wrap their lines and show no scroll bars.
  for (const char* name : {"Text1", "Text2"}) {
    QPlainTextEdit* field = control<QPlainTextEdit>(*m_form, name);
    QVERIFY(field->toPlainText().isEmpty());
    QCOMPARE(field->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(field->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  }
  QVERIFY(m_form->isEnabled());
}

void Form1WindowTest::windowIsFixedWithMinimizeButton() {
  QCOMPARE(m_form->windowTitle(), QStringLiteral("Tarvel"));
  QCOMPARE(m_form->size(), QSize(746, 396));
  QCOMPARE(m_form->minimumSize(), QSize(746, 396));
  QCOMPARE(m_form->maximumSize(), QSize(746, 396));
  const Qt::WindowFlags flags = m_form->windowFlags();
  QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
  QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
  QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
  const QList<QSize> sizes = m_form->windowIcon().availableSizes();
  QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)),
           "the window icon has a 16 x 16 and a 32 x 32 image");
}

void Form1WindowTest::focusStartsInListAndFollowsTheOrder() {
  m_form->show();
  QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
  QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("List1"));

  const QStringList order = {"Command5", "Command2", "Check1",   "Text1",    "Text2",
                             "Command4", "Check2",   "Check3",   "Check4",   "Command1",
                             "Command3", "Text3",    "Text4",    "Text5",    "List1"};
  QStringList visited;
  for (int i = 0; i < order.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    visited << QApplication::focusWidget()->objectName();
  }
  QCOMPARE(visited, order);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Text5"));
}

void Form1WindowTest::noDefaultButtonAndNoAccessKeys() {
  for (QPushButton* button : m_form->findChildren<QPushButton*>()) {
    QVERIFY2(!button->isDefault() && !button->autoDefault(), qPrintable(button->objectName()));
  }
  for (QWidget* w : m_form->findChildren<QWidget*>()) {
    QVERIFY2(!captionOf(w).contains(u'&'), qPrintable(w->objectName()));
  }
  // Enter in the file field starts nothing: no box is shown (the prompter has no script).
  m_form->show();
  QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
  QLineEdit* text3 = control<QLineEdit>(*m_form, "Text3");
  text3->setText(m_temp->file(QStringLiteral("a.txt")));
  text3->setFocus();
  QTest::keyClick(text3, Qt::Key_Return);
  QCOMPARE(m_prompter.shown(), 0);
}

void Form1WindowTest::captionsFitTheirControls() {
  // The layout is fixed in pixels, so the window's font must leave every caption whole.
  const QFontMetrics metrics(m_form->font());
  QCOMPARE(m_form->font(), ui::programFont());
  for (QPushButton* button : m_form->findChildren<QPushButton*>()) {
    const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    QVERIFY2(metrics.horizontalAdvance(button->text()) + margin <= button->width(),
             qPrintable(button->objectName()));
    QVERIFY2(metrics.height() <= button->height() - 4, qPrintable(button->objectName()));
  }
  for (QLabel* label : m_form->findChildren<QLabel*>()) {
    if (label->isHidden()) continue;  // DlgFilename only holds a path
    const QRect needed =
        metrics.boundingRect(QRect(0, 0, label->width(), 1000), Qt::TextWordWrap, label->text());
    QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
             qPrintable(label->objectName()));
  }
  // The check boxes run past the window's right edge; their captions must end before it.
  for (QCheckBox* box : m_form->findChildren<QCheckBox*>()) {
    QStyleOptionButton option;
    option.initFrom(box);
    option.text = box->text();
    const QRect text = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
    const int end = box->x() + text.x() + metrics.horizontalAdvance(box->text());
    QVERIFY2(end <= m_form->width(), qPrintable(box->objectName()));
    QVERIFY2(metrics.height() <= box->height(), qPrintable(box->objectName()));
  }
  for (QLineEdit* field : m_form->findChildren<QLineEdit*>()) {
    QVERIFY2(metrics.height() <= field->height() - 4, qPrintable(field->objectName()));
  }
}

QTEST_MAIN(Form1WindowTest)
#include "form1_window_test.moc"
