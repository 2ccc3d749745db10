#include "ui/frm_about.h"

#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <exception>

#include "platform/error.h"
#include "ui/etched_rule.h"
#include "ui/failure.h"
#include "ui/placement.h"
#include "ui/program_font.h"
#include "ui/program_info.h"

namespace ui {
namespace {

constexpr int kClientWidth = 382;
constexpr int kClientHeight = 237;
constexpr int kIconSize = 32;

QLabel* label(QWidget* parent) {
  auto* l = new QLabel(parent);
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setWordWrap(true);
  return l;
}

}  // namespace

frmAbout::frmAbout(Seams seams, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_prompter(seams.prompter),
      m_links(seams.links) {
  setObjectName(QStringLiteral("frmAbout"));
  setModal(true);
  setFont(programFont());
  setFixedSize(kClientWidth, kClientHeight);
  createControls();
  Form_Load();
}

void frmAbout::createControls() {
  Image1 = place(new QLabel(this), "Image1", 8, 8, 57, 49);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblTitle = place(label(this), "lblTitle", 70, 16, 259, 32);
  QFont titleFont = programFont();
  titleFont.setPixelSize(18);
  titleFont.setBold(true);
  lblTitle->setFont(titleFont);
  lblVersion = place(label(this), "lblVersion", 70, 52, 259, 15);
  lblDescription = place(label(this), "lblDescription", 72, 75, 259, 78);
  Line1 = place(new EtchedRule(this), "Line1", 6, 163, 371, EtchedRule::kHeight);
  lblAuthor = place(label(this), "lblAuthor", 16, 176, 233, 20);
  lblAuthor->setText(QString::fromUtf8(kAboutAuthor));
  lblSite = place(label(this), "lblSite", 16, 200, 241, 17);
  lblSite->setText(QString::fromUtf8(kAboutSite));
  QPalette sitePalette = lblSite->palette();
  sitePalette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  lblSite->setPalette(sitePalette);
  lblSite->setCursor(Qt::PointingHandCursor);
  lblSite->installEventFilter(this);
  cmdOK = place(new QPushButton(QStringLiteral("OK"), this), "cmdOK", 283, 175, 84, 23);
  cmdOK->setDefault(true);
  connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
  cmdOK->setFocus();
}

void frmAbout::Form_Load() {
  // An empty icon of its own, so that the window shows none instead of its owner's.
  setWindowIcon(QIcon());
  const QWidget* owner = parentWidget();
  Image1->setPixmap(owner ? owner->windowIcon().pixmap(kIconSize, kIconSize) : QPixmap());
  lblDescription->setText(QString::fromUtf8(kProgramDescription));
  setWindowTitle(QStringLiteral("О программе ") + QString::fromUtf8(kProgramTitle));
  lblVersion->setText(versionText(kVersionMajor, kVersionMinor, kVersionRevision));
  lblTitle->setText(QString::fromUtf8(kProgramTitle));
}

QString frmAbout::versionText(int major, int minor, int revision) {
  return QStringLiteral("Версия %1.%2.%3").arg(major).arg(minor).arg(revision);
}

void frmAbout::cmdOK_Click() { accept(); }

void frmAbout::lblSite_Click() noexcept {
  try {
    const QString site = lblSite->text();
    const QString folder = QCoreApplication::applicationDirPath();
    if (folder.isEmpty()) {
      throw platform::Error(platform::kNotFound, platform::Step::FindProgramFolder,
                            platform::Why::Unknown);
    }
    m_links.open(site, folder);
  } catch (...) {
    try {
      m_prompter.reportFailure(this, QStringLiteral("Error"),
                               failureDescription(std::current_exception()));
    } catch (...) {
      // Nothing is left to tell the user with; the window stays open.
    }
  }
}

void frmAbout::setVisible(bool visible) {
  // Placed before Qt would centre the window over its owner.
  if (visible && !isVisible()) centreOnScreen();
  QDialog::setVisible(visible);
  if (visible) cmdOK->setFocus();
}

void frmAbout::centreOnScreen() {
  const QWidget* owner = parentWidget();
  const QScreen* screen = owner ? owner->screen() : this->screen();
  if (screen == nullptr) return;
  // The frame is not known before the window is first shown; the owner's is the same kind.
  QSize frame = size();
  if (owner && owner->isVisible()) frame += owner->frameGeometry().size() - owner->size();
  const QRect area = screen->availableGeometry();
  move(area.x() + (area.width() - frame.width()) / 2,
       area.y() + (area.height() - frame.height()) / 2);
}

void frmAbout::keyPressEvent(QKeyEvent* event) {
  // Escape presses OK, as Enter does; QDialog would reject instead.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    cmdOK->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
  // A click is a press and a release of the left button over the label.
  if (watched == lblSite && event->type() == QEvent::MouseButtonRelease) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton &&
        lblSite->rect().contains(mouse->position().toPoint())) {
      lblSite_Click();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace ui
