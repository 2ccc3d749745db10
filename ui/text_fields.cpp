#include "ui/text_fields.h"

#include <QPlainTextEdit>
#include <QTextDocument>

namespace ui {

QString crlfLineBreaks(const QString& text) {
  QString out;
  out.reserve(text.size() + text.size() / 8);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c == u'\r') {
      if (i + 1 < text.size() && text.at(i + 1) == u'\n') ++i;
      out += u"\r\n";
    } else if (c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
      out += u"\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

QString fieldText(const QPlainTextEdit& field) {
  // toPlainText() would turn a no-break space into a space; the raw text keeps it and holds
  // each line break as U+2029 (between paragraphs) or U+2028 (Shift+Enter).
  return crlfLineBreaks(field.document()->toRawText());
}

}  // namespace ui
