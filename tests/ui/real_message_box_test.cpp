// The production message boxes: the window runs with QtPrompter, and the test answers the real
// QMessageBox it finds as the active modal widget, as a user would.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "scripted_dialogs.h"
#include "ui/form1.h"
#include "ui/qt_prompter.h"
#include "ui/translation.h"
#include "ui_test_support.h"

using ui_testing::control;
using ui_testing::readBytes;
using ui_testing::writeBytes;

namespace {

/// What a box showed when it came up.
struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
  Qt::TextFormat format = Qt::AutoText;
  bool enabled = false;
  bool ownerDisabled = false;
  bool busyCursor = false;
  QWidget* parent = nullptr;
  QStringList buttonTexts;
};

/// Watches for modal message boxes and answers each with the next scripted action. A box with
/// no action left, or one that the action did not close, is closed so that the test goes on.
class BoxAnswerer : public QObject {
 public:
  using Action = std::function<void(QMessageBox&)>;

  explicit BoxAnswerer(QWidget* owner) : m_owner(owner) {
    connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
    m_timer.start(10);
  }

  void then(Action action) { m_actions.push_back(std::move(action)); }

  QList<SeenBox> seen;
  int unanswered = 0;

 private:
  void poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    if (box == m_current) {
      if (++m_ticks > 200) {  // two seconds: the action did not close it
        ++unanswered;
        box->done(QMessageBox::Cancel);
      }
      return;
    }
    m_current = box;
    m_ticks = 0;
    seen.push_back(look(*box));
    if (m_actions.empty()) {
      ++unanswered;
      box->done(QMessageBox::Cancel);
      return;
    }
    Action action = std::move(m_actions.front());
    m_actions.pop_front();
    action(*box);
  }

  SeenBox look(QMessageBox& box) const {
    SeenBox s;
    s.title = box.windowTitle();
    s.text = box.text();
    s.icon = box.icon();
    s.buttons = box.standardButtons();
    s.defaultButton =
        box.defaultButton() ? box.standardButton(box.defaultButton()) : QMessageBox::NoButton;
    s.format = box.textFormat();
    s.enabled = box.isEnabled();
    s.ownerDisabled = !m_owner->isEnabled();
    s.busyCursor = QApplication::overrideCursor() != nullptr &&
                   QApplication::overrideCursor()->shape() == Qt::BusyCursor;
    s.parent = box.parentWidget();
    for (QAbstractButton* b : box.buttons()) s.buttonTexts << b->text().remove(u'&');
    return s;
  }

  QWidget* m_owner;
  QTimer m_timer;
  std::deque<Action> m_actions;
  QPointer<QMessageBox> m_current;
  int m_ticks = 0;
};

void clickButton(QMessageBox& box, QMessageBox::StandardButton which) {
  QTest::mouseClick(box.button(which), Qt::LeftButton);
}

}  // namespace

class RealMessageBoxTest : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:
  void initTestCase();

  void yesRewritesAndTheResultBoxFollows();
  void enterAndEscapeAnswerNo_data();
  void enterAndEscapeAnswerNo();
  void failureBoxIsCritical();

 private:
  ui::Prompter& prompter() override { return m_boxes; }
  void windowMade() override;

  ui::QtPrompter m_boxes;  // the real ones; no picker is expected
  QString m_path;
};

void RealMessageBoxTest::initTestCase() {
  // The boxes' buttons read in Russian through Qt's own translation.
  if (!ui::installQtTranslation(*QCoreApplication::instance())) {
    QSKIP("Qt's Russian translation (qt6-translations-l10n) is not installed");
  }
}

void RealMessageBoxTest::windowMade() {
  m_path = m_temp->file(QStringLiteral("a.html"));
  QVERIFY(writeBytes(m_path, "<b>a</b>!"));
  // Markup in the find text must reach the box as it was typed.
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("<b>a</b>"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("z"));
  control<QLineEdit>(*m_form, "Text3")->setText(m_path);
}

void RealMessageBoxTest::yesRewritesAndTheResultBoxFollows() {
  BoxAnswerer answerer(m_form.get());
  answerer.then([](QMessageBox& box) { clickButton(box, QMessageBox::Yes); });
  answerer.then([](QMessageBox& box) { clickButton(box, QMessageBox::Ok); });
  QTest::mouseClick(control<QPushButton>(*m_form, "Command2"), Qt::LeftButton);

  QCOMPARE(answerer.unanswered, 0);
  QCOMPARE(answerer.seen.size(), 2);
  const SeenBox& question = answerer.seen[0];
  QCOMPARE(question.title, QStringLiteral("Tarvel"));
  QCOMPARE(question.text, QStringLiteral("Внимание! В файле \"") + m_path +
                              QStringLiteral("\" все сочетания символов \"<b>a</b>\" будут "
                                             "заменены на \"z\".\r\nПерезаписать файл ?"));
  QCOMPARE(question.format, Qt::PlainText);
  QCOMPARE(question.icon, QMessageBox::Warning);
  QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
  QCOMPARE(question.defaultButton, QMessageBox::No);
  QVERIFY(question.buttonTexts.contains(QStringLiteral("Да")));
  QVERIFY(question.buttonTexts.contains(QStringLiteral("Нет")));
  QCOMPARE(question.parent, m_form.get());
  QVERIFY(question.enabled);
  QVERIFY(question.ownerDisabled);
  QVERIFY(question.busyCursor);

  const SeenBox& result = answerer.seen[1];
  QCOMPARE(result.title, QStringLiteral("Tarvel"));
  QCOMPARE(result.text, QStringLiteral("Операция завершена."));
  QCOMPARE(result.icon, QMessageBox::NoIcon);
  QCOMPARE(result.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QVERIFY(result.enabled);
  QVERIFY(result.ownerDisabled);

  QCOMPARE(readBytes(m_path), QByteArray("z!"));
  QVERIFY(m_form->isEnabled());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

void RealMessageBoxTest::enterAndEscapeAnswerNo_data() {
  QTest::addColumn<int>("key");
  QTest::newRow("Enter") << int(Qt::Key_Return);
  QTest::newRow("Escape") << int(Qt::Key_Escape);
}

void RealMessageBoxTest::enterAndEscapeAnswerNo() {
  QFETCH(int, key);
  BoxAnswerer answerer(m_form.get());
  answerer.then([key](QMessageBox& box) { QTest::keyClick(&box, Qt::Key(key)); });
  QTest::mouseClick(control<QPushButton>(*m_form, "Command2"), Qt::LeftButton);
  QCOMPARE(answerer.unanswered, 0);
  QCOMPARE(answerer.seen.size(), 1);
  QCOMPARE(readBytes(m_path), QByteArray("<b>a</b>!"));
  QVERIFY(m_form->isEnabled());
}

void RealMessageBoxTest::failureBoxIsCritical() {
  const QString missing = m_temp->file(QStringLiteral("missing.txt"));
  control<QLineEdit>(*m_form, "Text3")->setText(missing);
  BoxAnswerer answerer(m_form.get());
  answerer.then([](QMessageBox& box) { clickButton(box, QMessageBox::Yes); });
  answerer.then([](QMessageBox& box) { clickButton(box, QMessageBox::Ok); });
  QTest::mouseClick(control<QPushButton>(*m_form, "Command2"), Qt::LeftButton);

  QCOMPARE(answerer.unanswered, 0);
  QCOMPARE(answerer.seen.size(), 2);
  const SeenBox& failure = answerer.seen[1];
  QCOMPARE(failure.title, QStringLiteral("Tarvel"));
  QCOMPARE(failure.text,
           QStringLiteral("Error 53 Не удалось открыть файл: файл или папка не найдены"));
  QCOMPARE(failure.icon, QMessageBox::Critical);
  QCOMPARE(failure.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QVERIFY(failure.enabled);
  QVERIFY(failure.ownerDisabled);
  QVERIFY(m_form->isEnabled());
  QVERIFY(QApplication::overrideCursor() == nullptr);
}

QTEST_MAIN(RealMessageBoxTest)
#include "real_message_box_test.moc"
