#include "ui/message_list_box.h"

#include <QFontMetricsF>
#include <QScreen>
#include <QScrollBar>
#include <algorithm>

namespace ui {

MessageListBox::MessageListBox(QWidget* parent) : QListWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setTextElideMode(Qt::ElideNone);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // The user scrolled away from the end: it is theirs to keep where they left it.
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    if (value != verticalScrollBar()->maximum()) m_keepEnd = false;
  });
}

void MessageListBox::Clear() {
  m_keepEnd = false;
  clear();
}

void MessageListBox::AddLine(const std::string& text) {
  const QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  auto* item = new QListWidgetItem(line);
  // The whole line as drawn, so that its end can be scrolled into view.
  const QFontMetricsF metrics(font());
  const qreal width = metrics.horizontalAdvance(line);
  if (width > viewport()->width()) {
    // Shown whole where the screen holds it; else the middle of the path goes, not its name.
    const QScreen* shown = screen();
    const qreal room = shown != nullptr ? shown->availableGeometry().width() * 0.9 : 1200.0;
    item->setToolTip(metrics.elidedText(line, Qt::ElideMiddle, room));
  }
  addItem(item);
  const int rounded = width >= kWidestLimit ? kWidestLimit : qRound(width);
  m_widestPathWidth = std::max(m_widestPathWidth, rounded);
}

void MessageListBox::ShowEnd() {
  scrollToBottom();
  m_keepEnd = true;
}

void MessageListBox::ResetWidth() { m_widestPathWidth = 0; }

void MessageListBox::ApplyExtent() { setHorizontalExtent(m_widestPathWidth + 3); }

void MessageListBox::setHorizontalExtent(int pixels) {
  m_extent = std::max(0, pixels);
  updateGeometries();
}

void MessageListBox::updateGeometries() {
  // The list view derives its scroll range, and whether the scroll bar is needed, from the
  // width of its contents, which its layout sets to the widest line; the extent rules instead.
  resizeContents(m_extent, contentsSize().height());
  QListWidget::updateGeometries();
  // A horizontal scroll bar that comes takes the bottom of the viewport: the last line moves up
  // above it rather than under it.
  if (m_keepEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace ui
