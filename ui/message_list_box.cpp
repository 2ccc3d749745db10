#include "ui/message_list_box.h"

#include <QAbstractListModel>
#include <QEvent>
#include <QFontMetricsF>
#include <QList>
#include <QScreen>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace ui {

namespace {

// Lines added during a run wait in a batch until the event loop runs or this many are waiting,
// and reach the view in one insertion: the view's bookkeeping per insertion is then paid once
// per batch, not once per line.
constexpr qsizetype kBatch = 512;

// How much wider than its characters and their kerning a line can be for each ligature that is
// beside another: a ligature of three characters is not that of its two pairs.
constexpr qreal kLigatureSlack = 1.5;

// Characters that take their advance whatever their neighbours, but for the kerning of a pair
// (and the ligature that a pair can make): Latin, Greek, Cyrillic without its combining marks,
// and the general punctuation without the invisible marks of direction and joining.
bool shapedAlone(char16_t c) {
  if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0xad) return false;
  if (c < 0x300) return true;
  if (c >= 0x370 && c < 0x400) return true;
  if (c >= 0x400 && c < 0x530) return c < 0x483 || c > 0x489;
  return (c >= 0x2010 && c < 0x2028) || (c >= 0x2030 && c < 0x205f);
}

}  // namespace

// The lines of the list, as the view's model: the view asks only for those it draws.
class MessageLines final : public QAbstractListModel {
 public:
  using ToolTip = std::function<QString(const QString&)>;

  MessageLines(ToolTip toolTip, QObject* parent)
      : QAbstractListModel(parent), m_toolTip(std::move(toolTip)) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= m_rows.size()) return {};
    const QString& line = m_rows.at(index.row());
    switch (role) {
      case Qt::DisplayRole:
      case Qt::AccessibleTextRole:
        return line;
      case Qt::ToolTipRole: {
        const QString tip = m_toolTip(line);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
      }
      default:
        return {};
    }
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  }

  // Queues `line`; it reaches the view when the event loop next runs, or with a full batch.
  void append(QString line) {
    m_pending.push_back(std::move(line));
    if (m_pending.size() >= kBatch) {
      flush();
    } else if (!m_flushQueued) {
      m_flushQueued = true;
      QMetaObject::invokeMethod(
          this,
          [this] {
            m_flushQueued = false;
            flush();
          },
          Qt::QueuedConnection);
    }
  }

  // Inserts the queued lines.
  void flush() {
    if (m_pending.isEmpty()) return;
    const auto first = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(m_pending.size()) - 1);
    m_rows.append(std::move(m_pending));
    m_pending.clear();
    endInsertRows();
  }

  void clear() {
    beginResetModel();
    m_rows.clear();
    m_pending.clear();
    endResetModel();
  }

  int count() {
    flush();
    return static_cast<int>(m_rows.size());
  }

  QString line(int row) {
    flush();
    return m_rows.value(row);
  }

 private:
  ToolTip m_toolTip;
  QList<QString> m_rows;
  QList<QString> m_pending;
  bool m_flushQueued = false;
};

MessageListBox::MessageListBox(QWidget* parent)
    : QListView(parent),
      m_lines(new MessageLines([this](const QString& line) { return toolTipOf(line); }, this)) {
  m_asciiAdvance.fill(-1);
  setModel(m_lines);
  // Every line is one text line high: the view lays out none of them to know where one is.
  setUniformItemSizes(true);
  setFocusPolicy(Qt::StrongFocus);
  setTextElideMode(Qt::ElideNone);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // The user scrolled away from the end: it is theirs to keep where they left it.
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    if (value != verticalScrollBar()->maximum()) m_keepEnd = false;
  });
}

void MessageListBox::Clear() {
  m_keepEnd = false;
  m_lines->clear();
}

void MessageListBox::AddLine(const std::string& text) {
  QString line = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  // Only a line that can be wider than the widest so far is laid out to know its width: in a
  // long list, few are. A line of a width within 1/128 pixel of the widest leaves it as it is.
  const qreal estimate = estimatedWidth(line);
  if (estimate < 0 || estimate > m_widestWidth + 1.0 / 128) measure(line);
  m_lines->append(std::move(line));
}

void MessageListBox::measure(const QString& line) {
  // The whole line as drawn, so that its end can be scrolled into view.
  const qreal width = exactWidth(line);
  if (width <= m_widestWidth) return;
  m_widestWidth = width;
  m_widestPathWidth = width >= kWidestLimit ? kWidestLimit : qRound(width);
}

qreal MessageListBox::exactWidth(const QString& line) const {
  return QFontMetricsF(font()).horizontalAdvance(line);
}

qreal MessageListBox::estimatedWidth(const QString& line) {
  const auto advance = [this](char16_t c) {
    qreal* known = nullptr;
    if (c < 0x80) {
      known = &m_asciiAdvance[c];
    } else {
      auto found = m_advance.find(c);
      if (found == m_advance.end()) found = m_advance.insert(c, -1);
      known = &found.value();
    }
    if (*known < 0) *known = exactWidth(QString(QChar(c)));
    return *known;
  };
  const qsizetype n = line.size();
  // What each pair adds to its two characters' advances, in the line: its kerning, but where the
  // run of a script can end between them (a character of no script, a digit or a sign, before a
  // letter; a closing bracket), only what the kerning can add.
  m_terms.resize(std::max<qsizetype>(n, 1));
  m_ligature.resize(std::max<qsizetype>(n, 1));
  m_lost.resize(std::max<qsizetype>(n, 1));
  qreal width = 0;
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = line.at(i).unicode();
    if (!shapedAlone(c)) return -1;
    width += advance(c);
    m_terms[i] = 0;
    m_ligature[i] = false;
    m_lost[i] = 0;
    if (i == 0) continue;
    const char16_t previous = line.at(i - 1).unicode();
    const quint32 key = (quint32{previous} << 16) | c;
    auto found = m_pairs.constFind(key);
    if (found == m_pairs.constEnd()) {
      const QString both = line.mid(i - 1, 2);
      const qreal alone = advance(previous) + advance(c);
      QFont unkerned = font();
      unkerned.setKerning(false);
      // Without kerning, a pair narrower or wider than its two characters makes a ligature.
      const qreal joined = QFontMetricsF(unkerned).horizontalAdvance(both) - alone;
      const qreal kerning = exactWidth(both) - alone;
      const bool oneRun = !(QChar::script(previous) == QChar::Script_Common &&
                            QChar::script(c) != QChar::Script_Common) &&
                          c != u')' && c != u']' && c != u'}';
      found = m_pairs.insert(
          key, {oneRun ? kerning : std::max<qreal>(kerning, 0),
                oneRun ? 0 : std::max<qreal>(-kerning, 0), std::abs(joined) > 1.0 / 128});
    }
    m_terms[i] = found->term;
    m_lost[i] = found->lost;
    m_ligature[i] = found->ligature;
  }
  // A ligature is kerned with its neighbours as one glyph, not as its two characters: a lone one
  // is taken with a character either side as laid out together (less what a run's end there can
  // take off); ligatures side by side ("ffi"), with what one can add.
  for (qsizetype i = 1; i < n; ++i) {
    if (!m_ligature[i]) {
      width += m_terms[i];
      continue;
    }
    // Another one beside it, or one whose neighbours took this one's pair before it already.
    const bool besideAnother = (i > 1 && m_ligature[i - 1]) || (i + 1 < n && m_ligature[i + 1]) ||
                               (i > 2 && m_ligature[i - 2]);
    if (besideAnother) {
      width += m_terms[i] + kLigatureSlack;
      continue;
    }
    const qsizetype first = std::max<qsizetype>(i - 2, 0);
    const qsizetype last = std::min<qsizetype>(i + 1, n - 1);
    const QString around = line.mid(first, last - first + 1);
    auto found = m_ligatures.constFind(around);
    if (found == m_ligatures.constEnd()) {
      qreal alone = 0;
      for (const QChar ch : around) alone += advance(ch.unicode());
      found = m_ligatures.insert(around, exactWidth(around) - alone);
    }
    // The pairs before and after the ligature are in it; the one before was added already.
    if (first < i - 1) width -= m_terms[i - 1];
    width += found.value();
    for (qsizetype k = first + 1; k <= last; ++k) width += m_lost[k];
    if (i + 1 <= last) ++i;  // the pair after it is in it too
  }
  return width;
}

QString MessageListBox::toolTipOf(const QString& line) const {
  const qreal width = exactWidth(line);
  if (width <= viewport()->width()) return {};
  // Shown whole where the screen holds it; else the middle of the path goes, not its name.
  const QScreen* shown = screen();
  const qreal room = shown != nullptr ? shown->availableGeometry().width() * 0.9 : 1200.0;
  return QFontMetricsF(font()).elidedText(line, Qt::ElideMiddle, room);
}

int MessageListBox::lineCount() const { return m_lines->count(); }

QString MessageListBox::line(int row) const { return m_lines->line(row); }

QRect MessageListBox::lineRect(int row) const {
  m_lines->flush();
  return visualRect(m_lines->index(row));
}

void MessageListBox::ShowEnd() {
  m_lines->flush();
  scrollToBottom();
  m_keepEnd = true;
}

void MessageListBox::ResetWidth() {
  m_widestPathWidth = 0;
  m_widestWidth = 0;
}

void MessageListBox::ApplyExtent() { setHorizontalExtent(m_widestPathWidth + 3); }

void MessageListBox::setHorizontalExtent(int pixels) {
  m_extent = std::max(0, pixels);
  // An empty list has no scroll range: the lines that wait count.
  m_lines->flush();
  updateGeometries();
}

void MessageListBox::changeEvent(QEvent* event) {
  // The advances met so far were those of the former font.
  if (event->type() == QEvent::FontChange) {
    m_asciiAdvance.fill(-1);
    m_advance.clear();
    m_pairs.clear();
    m_ligatures.clear();
  }
  QListView::changeEvent(event);
}

void MessageListBox::updateGeometries() {
  // The list view derives its scroll range, and whether the scroll bar is needed, from the
  // width of its contents, which its layout sets to the width of its first line (all lines are
  // taken as one size); the extent rules instead. Each line is drawn as wide as the contents,
  // and clipped there: at least as wide as the list, so that no line is cut short in view.
  resizeContents(std::max(m_extent, viewport()->width()), contentsSize().height());
  QListView::updateGeometries();
  // A horizontal scroll bar that comes takes the bottom of the viewport: the last line moves up
  // above it rather than under it.
  if (m_keepEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace ui
