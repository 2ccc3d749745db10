#include "ui/program_font.h"

namespace ui {

QFont programFont() {
  // DejaVu Sans at 10 pixels (7.5 points at 96 dpi) has the letter heights of the Windows
  // dialog font the layout was made for, and leaves every caption whole in its control.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(10);
  return font;
}

}  // namespace ui
