#pragma once

#include <QString>
#include <QWidget>

namespace ui {

/// Names `control` (its object name, which tests and screenshots find it by) and puts it at
/// `left`, `top` in its parent with the given size, in pixels; returns it.
template <class Control>
Control* place(Control* control, const char* name, int left, int top, int width, int height) {
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(left, top, width, height);
  return control;
}

}  // namespace ui
