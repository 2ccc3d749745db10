#pragma once

#include <QHash>
#include <QList>
#include <QListView>
#include <QString>
#include <array>
#include <string>

namespace ui {

class MessageLines;

/// The message list of the main window (`List1`): the lines of a run's items, the width of
/// the widest whole line since the last reset (`WidestPathWidth`) and a horizontal scroll
/// extent that the program sets from it when a run ends, as a Windows list box has one.
/// A list of a run over a large tree holds tens of thousands of lines: it lays out only the
/// lines it draws, and lines added during a run reach the view in batches.
class MessageListBox final : public QListView {
  Q_OBJECT

 public:
  /// The largest `WidestPathWidth`: a wider line leaves it here instead of overflowing.
  static constexpr int kWidestLimit = 32767;

  explicit MessageListBox(QWidget* parent = nullptr);

  /// Removes all lines; the widest width and the extent stay. The list no longer keeps its end
  /// in view.
  void Clear();
  /// Appends `text` (UTF-8) as the last line; when it is wider in the list's font than
  /// `WidestPathWidth`, that width (rounded, at most kWidestLimit) becomes it. The line is
  /// measured whole, not only its path part. A line wider than the list has a tooltip with the
  /// line, elided in the middle (keeping the file's name at its end) where it is wider than the
  /// screen.
  void AddLine(const std::string& text);
  /// Scrolls the last line into view and keeps it there, above the horizontal scroll bar when
  /// one comes, until the user scrolls or the list is cleared: a run's or an undo's last line.
  void ShowEnd();
  /// `WidestPathWidth` = 0.
  void ResetWidth();
  /// Sets the horizontal extent to `WidestPathWidth` + 3.
  void ApplyExtent();

  int widestPathWidth() const { return m_widestPathWidth; }

  /// The number of lines, those added since the event loop last ran included.
  int lineCount() const;
  /// The line at `row` (0 to lineCount() - 1).
  QString line(int row) const;
  /// Where the line at `row` is drawn, in the viewport's coordinates.
  QRect lineRect(int row) const;

  /// The width in pixels through which the lines can be scrolled; 0 at start. The horizontal
  /// scroll bar is shown when it is wider than the visible part of the list.
  void setHorizontalExtent(int pixels);
  int horizontalExtent() const { return m_extent; }

 protected:
  void updateGeometries() override;
  void changeEvent(QEvent* event) override;

 private:
  // The width of `line` as drawn, in the list's font.
  qreal exactWidth(const QString& line) const;
  // The width of `line` from the advances of its characters and the kerning of each pair, made
  // larger by what a ligature can add: a line is hardly ever wider. A negative number where the
  // line holds a character whose shape depends on its neighbours beyond that (a combining mark, a
  // script shaped by context, a surrogate pair).
  qreal estimatedWidth(const QString& line);
  void measure(const QString& line);
  QString toolTipOf(const QString& line) const;

  MessageLines* m_lines;
  int m_widestPathWidth = 0;
  // The unrounded width of the widest line measured since the reset.
  qreal m_widestWidth = 0;
  int m_extent = 0;
  bool m_keepEnd = false;
  // The advances of the characters met so far, and the kerning of the pairs, in the list's
  // font: a line is measured only where they make it wider than the widest.
  std::array<qreal, 128> m_asciiAdvance{};
  QHash<char16_t, qreal> m_advance;
  struct Pair {
    qreal term;     // what the pair adds to its two characters' advances in a line
    qreal lost;     // what of its kerning a run's end between the two can take off
    bool ligature;  // the pair makes one glyph
  };
  QHash<quint32, Pair> m_pairs;
  // A lone ligature with a character either side: its width less their advances.
  QHash<QString, qreal> m_ligatures;
  // Each pair of the line being estimated, at the index of its second character: what it adds,
  // what a run's end there can take off its kerning, whether it makes a ligature.
  QList<qreal> m_terms;
  QList<qreal> m_lost;
  QList<bool> m_ligature;
};

}  // namespace ui
