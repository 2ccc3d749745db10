#pragma once

#include <QGroupBox>

namespace ui {

/// A frame as Windows draws it: a thin line all round, the caption set into its top line, and
/// no space taken from the inside, so that controls keep their places from the frame's corner.
class FrameBox final : public QGroupBox {
  Q_OBJECT

 public:
  explicit FrameBox(const QString& title, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace ui
