#include "ui/message_list_box.h"

#include <QFontMetricsF>
#include <algorithm>

namespace ui {

MessageListBox::MessageListBox(QWidget* parent) : QListWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setTextElideMode(Qt::ElideNone);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void MessageListBox::Clear() { clear(); }

void MessageListBox::AddLine(const std::string& text) {
  const QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  addItem(line);
  // The whole line as drawn, so that its end can be scrolled into view.
  const qreal width = QFontMetricsF(font()).horizontalAdvance(line);
  const int rounded = width >= kWidestLimit ? kWidestLimit : qRound(width);
  m_widestPathWidth = std::max(m_widestPathWidth, rounded);
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
}

}  // namespace ui
