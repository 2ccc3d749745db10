#include "ui/etched_rule.h"

#include <QPainter>

namespace ui {

EtchedRule::EtchedRule(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void EtchedRule::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(0, 0, width(), 1, QColor(0x80, 0x80, 0x80));
  painter.fillRect(1, 1, width() - 1, 2, Qt::white);
}

}  // namespace ui
