#pragma once

#include <QWidget>

namespace ui {

/// An etched horizontal rule as two lines draw it: a grey line (#808080) along the top row of
/// the widget, and below it a white line two pixels wide that starts one pixel further right.
/// The widget is three pixels high; its width is the grey line's length.
class EtchedRule final : public QWidget {
  Q_OBJECT

 public:
  explicit EtchedRule(QWidget* parent = nullptr);

  static constexpr int kHeight = 3;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace ui
