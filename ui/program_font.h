#pragma once

#include <QFont>

namespace ui {

/// The default font of the program's windows. Its size is in pixels, as the windows' layout
/// is: the fixed positions stay legible whatever dots per inch the screen reports.
QFont programFont();

}  // namespace ui
