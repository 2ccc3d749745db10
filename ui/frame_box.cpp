#include "ui/frame_box.h"

#include <QPainter>
#include <QStyle>

namespace ui {

FrameBox::FrameBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

void FrameBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  const int lineTop = metrics.height() / 2;

  // An etched line: grey, with a light line one pixel below and to the right.
  const QRect box(0, lineTop, width() - 2, height() - lineTop - 2);
  painter.setPen(palette().color(QPalette::Light));
  painter.drawRect(box.translated(1, 1));
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Mid));
  painter.drawRect(box);

  const QRect caption(6, 0, metrics.horizontalAdvance(title()) + 4, metrics.height());
  painter.fillRect(caption, palette().brush(QPalette::Window));
  style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                        isEnabled(), title(), QPalette::WindowText);
}

}  // namespace ui
