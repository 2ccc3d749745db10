#pragma once

#include <QString>

class QPlainTextEdit;

namespace ui {

/// `text` with every line break (line feed, carriage return, CR LF, U+2028, U+2029) written as
/// carriage return + line feed; nothing else changed.
QString crlfLineBreaks(const QString& text);

/// The text of a multi-line field as the program uses it: its characters as typed (no space
/// stands in for a no-break space), each line break as CR LF.
QString fieldText(const QPlainTextEdit& field);

}  // namespace ui
