#pragma once

#include <QListWidget>
#include <string>

namespace ui {

/// The message list of the main window (`List1`): the lines of a run's items, the width of
/// the widest whole line since the last reset (`WidestPathWidth`) and a horizontal scroll
/// extent that the program sets from it when a run ends, as a Windows list box has one.
class MessageListBox final : public QListWidget {
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
  /// measured whole, not only its path part. A line wider than the list gets a tooltip with the
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

  /// The width in pixels through which the lines can be scrolled; 0 at start. The horizontal
  /// scroll bar is shown when it is wider than the visible part of the list.
  void setHorizontalExtent(int pixels);
  int horizontalExtent() const { return m_extent; }

 protected:
  void updateGeometries() override;

 private:
  int m_widestPathWidth = 0;
  int m_extent = 0;
  bool m_keepEnd = false;
};

}  // namespace ui
