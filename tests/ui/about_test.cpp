// The About window: its controls and texts, the version label, the window's kind (modal, owned
// by the main window, fixed, centred, no icon), the keys that close it, the etched rule as it
// is drawn, and the site link through the link seam, failure included.
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <memory>

#include "platform/error.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/etched_rule.h"
#include "ui/form1.h"
#include "ui/frm_about.h"
#include "ui/program_info.h"
#include "ui_test_support.h"

using ui_testing::control;

namespace {

const QString kSite = QStringLiteral("https://tarvel.example/");

}  // namespace

class AboutTest : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:
  void controls_data();
  void controls();
  void textsFitTheirLabels();
  void versionLabelFollowsTheNumbers();
  void windowIsFixedOwnedAndWithoutIcon();
  void opensModallyCentredWithTheFocusOnOk();
  void keysPressOk_data();
  void keysPressOk();
  void ruleIsGreyOverWhite();
  void siteLooksLikeALink();
  void clickOnTheSiteOpensIt();
  void failureOnTheWayToTheSiteIsShown();

 private:
  /// Clicks "О программе" and runs `action` on the About window once it is the active window,
  /// the one that takes the keys. A window the action leaves open is closed at once; returns
  /// false then, or when no window came or it never became active.
  bool withAboutWindow(const std::function<void(ui::frmAbout&)>& action);
  std::unique_ptr<ui::frmAbout> shownAbout();
};

bool AboutTest::withAboutWindow(const std::function<void(ui::frmAbout&)>& action) {
  bool acted = false;
  bool leftOpen = false;
  QTimer timer;
  connect(&timer, &QTimer::timeout, this, [&] {
    auto* about = qobject_cast<ui::frmAbout*>(QApplication::activeModalWidget());
    if (about == nullptr || !about->isVisible() || acted) return;
    acted = true;
    timer.stop();
    // Shown is not yet active: the window system activates the window by an event of its own,
    // late on a loaded machine, and until then the keys go to the main window's focused button
    // (a QWindow counts as active already while its owner is, so qWaitForWindowActive would not
    // wait for it).
    if (QTest::qWaitFor([&] { return QApplication::activeWindow() == about; },
                        ui_testing::kHangGuardMs)) {
      action(*about);
    }
    // The action's keys act at once: a window still open was not closed by them.
    if (about->isVisible()) {
      leftOpen = true;
      about->reject();
    }
  });
  timer.start(10);
  QTest::mouseClick(control<QPushButton>(*m_form, "Command5"), Qt::LeftButton);
  return acted && !leftOpen;
}

std::unique_ptr<ui::frmAbout> AboutTest::shownAbout() {
  auto about =
      std::make_unique<ui::frmAbout>(ui::frmAbout::Seams{m_prompter, m_dialogs}, m_form.get());
  about->show();
  if (!QTest::qWaitForWindowExposed(about.get(), ui_testing::kHangGuardMs)) return nullptr;
  return about;
}

void AboutTest::controls_data() {
  QTest::addColumn<QString>("className");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QRect>("geometry");
  auto row = [](const char* name, const char* className, const QString& text, int left, int top,
                int width, int height) {
    QTest::newRow(name) << QString::fromLatin1(className) << text
                        << QRect(left, top, width, height);
  };
  row("Image1", "QLabel", QString(), 8, 8, 57, 49);
  row("lblTitle", "QLabel", QStringLiteral("Tarvel"), 70, 16, 259, 32);
  row("lblVersion", "QLabel", QStringLiteral("Версия ") + QStringLiteral(TARVEL_PROJECT_VERSION),
      70, 52, 259, 15);
  row("lblDescription", "QLabel",
      QStringLiteral("Программа для быстрой замены текста в файлах и папках, включая подпапки"), 72,
      75, 259, 78);
  row("Line1", "ui::EtchedRule", QString(), 6, 163, 371, 3);
  row("lblAuthor", "QLabel", QStringLiteral("Разработчики Tarvel"), 16, 176, 233, 20);
  row("lblSite", "QLabel", kSite, 16, 200, 241, 17);
  row("cmdOK", "QPushButton", QStringLiteral("OK"), 283, 175, 84, 23);
}

void AboutTest::controls() {
  QFETCH(QString, className);
  QFETCH(QString, text);
  QFETCH(QRect, geometry);
  ui::frmAbout about({m_prompter, m_dialogs}, m_form.get());
  const QString name = QString::fromLatin1(QTest::currentDataTag());
  const QList<QWidget*> found = about.findChildren<QWidget*>(name);
  QCOMPARE(found.size(), 1);
  QWidget* w = found.front();
  QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
  QCOMPARE(w->parentWidget(), &about);
  QCOMPARE(w->geometry(), geometry);
  if (auto* label = qobject_cast<QLabel*>(w)) {
    QCOMPARE(label->text(), text);
    if (!text.isEmpty()) QCOMPARE(label->textFormat(), Qt::PlainText);
  } else if (auto* button = qobject_cast<QPushButton*>(w)) {
    QCOMPARE(button->text(), text);
  }
}

void AboutTest::textsFitTheirLabels() {
  // The layout is fixed in pixels: each text must fit its label in the label's own font.
  ui::frmAbout about({m_prompter, m_dialogs}, m_form.get());
  for (QLabel* label : about.findChildren<QLabel*>()) {
    if (label->text().isEmpty()) continue;  // Image1
    const QRect needed =
        QFontMetrics(label->font())
            .boundingRect(QRect(0, 0, label->width(), 1000), Qt::TextWordWrap, label->text());
    QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
             qPrintable(label->objectName()));
  }
  auto* ok = control<QPushButton>(about, "cmdOK");
  QVERIFY(QFontMetrics(ok->font()).horizontalAdvance(ok->text()) < ok->width());
}

void AboutTest::versionLabelFollowsTheNumbers() {
  QCOMPARE(ui::frmAbout::versionText(1, 1, 18), QStringLiteral("Версия 1.1.18"));
  QCOMPARE(ui::frmAbout::versionText(2, 0, 7), QStringLiteral("Версия 2.0.7"));
  QCOMPARE(ui::frmAbout::versionText(10, 20, 305), QStringLiteral("Версия 10.20.305"));
  // The numbers in the program come from the build's project version.
  ui::frmAbout about({m_prompter, m_dialogs}, m_form.get());
  QCOMPARE(control<QLabel>(about, "lblVersion")->text(),
           QStringLiteral("Версия ") + QStringLiteral(TARVEL_PROJECT_VERSION));
  QCOMPARE(control<QLabel>(about, "lblVersion")->text(),
           ui::frmAbout::versionText(ui::kVersionMajor, ui::kVersionMinor, ui::kVersionRevision));
}

void AboutTest::windowIsFixedOwnedAndWithoutIcon() {
  std::unique_ptr<ui::frmAbout> about = shownAbout();
  QVERIFY(about);
  QCOMPARE(about->windowTitle(), QStringLiteral("О программе Tarvel"));
  QCOMPARE(about->size(), QSize(382, 237));
  QCOMPARE(about->minimumSize(), QSize(382, 237));
  QCOMPARE(about->maximumSize(), QSize(382, 237));
  QCOMPARE(about->parentWidget(), m_form.get());
  QVERIFY(about->isModal());
  const Qt::WindowFlags flags = about->windowFlags();
  QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);  // owned: no taskbar entry of its own
  QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
  QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
  QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
  QCOMPARE(about->font(), m_form->font());

  // The main window has an icon; the About window shows none, and Image1 shows the main one.
  QVERIFY(!m_form->windowIcon().isNull());
  QVERIFY(about->windowIcon().isNull());
  QVERIFY(about->windowHandle()->icon().isNull());
  const QPixmap picture = control<QLabel>(*about, "Image1")->pixmap();
  QCOMPARE(picture.size(), QSize(32, 32));
  QCOMPARE(picture.toImage(), m_form->windowIcon().pixmap(32, 32).toImage());
}

void AboutTest::opensModallyCentredWithTheFocusOnOk() {
  QString focus;
  QWidget* parent = nullptr;
  bool modal = false;
  QPoint centre;
  const QPoint screenCentre = m_form->screen()->availableGeometry().center();
  int clicks = 0;
  const bool closed = withAboutWindow([&](ui::frmAbout& about) {
    focus = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    parent = about.parentWidget();
    modal = about.isModal() && about.windowModality() != Qt::NonModal;
    centre = about.frameGeometry().center();
    connect(control<QPushButton>(about, "cmdOK"), &QPushButton::clicked, [&] { ++clicks; });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  });
  QVERIFY2(closed, "Escape closed the About window");
  QCOMPARE(focus, QStringLiteral("cmdOK"));
  QCOMPARE(parent, m_form.get());
  QVERIFY(modal);
  QVERIFY2((centre - screenCentre).manhattanLength() <= 2,
           qPrintable(QStringLiteral("centre %1,%2 on a screen centred at %3,%4")
                          .arg(centre.x())
                          .arg(centre.y())
                          .arg(screenCentre.x())
                          .arg(screenCentre.y())));
  QCOMPARE(clicks, 1);  // Escape pressed OK
  QCOMPARE(QApplication::activeModalWidget(), nullptr);
  QVERIFY(m_form->isEnabled());
}

void AboutTest::keysPressOk_data() {
  QTest::addColumn<int>("key");
  QTest::newRow("Escape") << int(Qt::Key_Escape);
  QTest::newRow("Return") << int(Qt::Key_Return);
  QTest::newRow("Enter") << int(Qt::Key_Enter);
  QTest::newRow("Space on the focused OK") << int(Qt::Key_Space);
}

void AboutTest::keysPressOk() {
  QFETCH(int, key);
  int clicks = 0;
  const bool closed = withAboutWindow([&](ui::frmAbout& about) {
    auto* ok = control<QPushButton>(about, "cmdOK");
    QVERIFY(ok->isDefault());
    connect(ok, &QPushButton::clicked, [&] { ++clicks; });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
  });
  QVERIFY(closed);
  QCOMPARE(clicks, 1);
}

void AboutTest::ruleIsGreyOverWhite() {
  std::unique_ptr<ui::frmAbout> about = shownAbout();
  QVERIFY(about);
  const QImage image = about->grab().toImage();
  const QRgb grey = qRgb(0x80, 0x80, 0x80);
  const QRgb white = qRgb(0xff, 0xff, 0xff);
  const QRgb background = image.pixel(200, 150);
  QVERIFY(background != grey && background != white);
  // Grey from (6, 163) to (376, 163); white, two rows, from (7, 164) to (376, 165).
  for (int x = 6; x <= 376; ++x) QCOMPARE(image.pixel(x, 163), grey);
  for (int x = 7; x <= 376; ++x) {
    QCOMPARE(image.pixel(x, 164), white);
    QCOMPARE(image.pixel(x, 165), white);
  }
  QCOMPARE(image.pixel(6, 164), background);
  QCOMPARE(image.pixel(5, 163), background);
  QCOMPARE(image.pixel(377, 163), background);
  QCOMPARE(image.pixel(100, 162), background);
  QCOMPARE(image.pixel(100, 166), background);
}

void AboutTest::siteLooksLikeALink() {
  std::unique_ptr<ui::frmAbout> about = shownAbout();
  QVERIFY(about);
  QLabel* site = control<QLabel>(*about, "lblSite");
  QCOMPARE(site->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  QVERIFY(!site->font().underline());
  QCOMPARE(site->cursor().shape(), Qt::PointingHandCursor);
  QCOMPARE(control<QLabel>(*about, "lblAuthor")->cursor().shape(), Qt::ArrowCursor);

  // As drawn: the text is pure blue.
  const QImage image = site->grab().toImage();
  int blue = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) blue += image.pixel(x, y) == qRgb(0, 0, 255);
  }
  QVERIFY(blue > 0);
}

void AboutTest::clickOnTheSiteOpensIt() {
  std::unique_ptr<ui::frmAbout> about = shownAbout();
  QVERIFY(about);
  QLabel* site = control<QLabel>(*about, "lblSite");
  m_dialogs.expectLink(kSite);
  QTest::mouseClick(site, Qt::LeftButton);
  QCOMPARE(m_dialogs.links().size(), 1);
  QCOMPARE(m_dialogs.links().front().workingFolder, QCoreApplication::applicationDirPath());
  QVERIFY(about->isVisible());

  // Neither the right button nor a press that leaves the label before its release opens it
  // (the script holds no second link).
  QTest::mouseClick(site, Qt::RightButton);
  QTest::mousePress(site, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseRelease(site, Qt::LeftButton, {}, QPoint(5, site->height() + 30));
  QTest::mouseClick(control<QLabel>(*about, "lblAuthor"), Qt::LeftButton);
  QCOMPARE(m_dialogs.links().size(), 1);
}

void AboutTest::failureOnTheWayToTheSiteIsShown() {
  std::unique_ptr<ui::frmAbout> about = shownAbout();
  QVERIFY(about);
  m_prompter.setExpectedOwner(about.get());
  const QString description = QStringLiteral("Не удалось открыть файл: доступ запрещён");
  m_dialogs.expectLink(kSite, platform::systemError(EACCES, platform::Step::OpenFile));
  m_prompter.expectFailureCaptioned(QStringLiteral("Error"), description);
  QTest::mouseClick(control<QLabel>(*about, "lblSite"), Qt::LeftButton);
  QCOMPARE(m_prompter.shown(), 1);
  QVERIFY(about->isVisible());
}

QTEST_MAIN(AboutTest)
#include "about_test.moc"
