#pragma once

#include <QAbstractTableModel>
#include <QCache>
#include <QString>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/review/plan.h"
#include "engine/review/showing.h"
#include "engine/review/shown_file.h"

namespace ui {

/// The role under which a row of the replacements gives its text as rich text (HTML).
inline constexpr int kRichTextRole = Qt::UserRole + 1;
/// The same for a selected row: the marks without their colours, in the selection's text colour.
inline constexpr int kSelectedRichTextRole = Qt::UserRole + 2;

/// The files of a plan, one row each in walk order: the path (with the file's check box), the
/// number of occurrences (accepted of all, where not all are) and the encoding. The check box
/// stands for all of a file's occurrences: setting it accepts them all, clearing it refuses
/// them all; it reads as partly checked while only some are accepted.
class PlanFilesModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { PathColumn, CountColumn, EncodingColumn, ColumnCount };

  /// `plan` must outlive the model. Paths below `root` (the folder the plan was made of, or
  /// empty) are shown relative to it.
  PlanFilesModel(engine::Plan& plan, std::string codePageName, std::string root,
                 QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  engine::PlannedFile& file(int row) const { return *m_plan.files[static_cast<std::size_t>(row)]; }
  /// The occurrences of the file at `row` were accepted or refused one by one: its row follows.
  void occurrencesChanged(int row);

  std::size_t acceptedOccurrences() const { return m_acceptedTotal; }
  std::size_t occurrences() const { return m_total; }
  std::size_t acceptedFiles() const { return m_acceptedFiles; }

 signals:
  /// The check box of the file at `row` changed all of its occurrences.
  void fileChecked(int row);
  /// What is accepted changed.
  void acceptedChanged();

 private:
  void recount(int row);

  engine::Plan& m_plan;
  std::string m_codePageName;
  std::string m_root;
  std::vector<std::size_t> m_accepted;  // each file's accepted occurrences
  std::size_t m_acceptedTotal = 0;
  std::size_t m_total = 0;
  std::size_t m_acceptedFiles = 0;
};

/// The occurrences of one planned file, one row each: where it is (with its check box) and its
/// line, the found text and the replacement, cut around them in a long line so that both are in
/// view ("…" where it was cut); the tooltip has the line as far as it was read. A row's line is read from the file when the view
/// asks for it, and only a few thousand are kept; the file stays open while it is shown. A
/// file that cannot be shown (no longer there, changed since it was planned) has a single row
/// that says why.
class OccurrencesModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { PlaceColumn, TextColumn, ColumnCount };

  /// `showing` must outlive the model.
  explicit OccurrencesModel(const engine::Showing& showing, QObject* parent = nullptr);

  /// Shows `file` (none: nothing), opening it again.
  void setFile(engine::PlannedFile* file);
  /// Why the file shown cannot be shown; empty when it can.
  const QString& failure() const { return m_failure; }
  /// The check boxes were changed from outside (the file's own box): the rows follow.
  void checksChanged();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 signals:
  /// An occurrence of the file shown was accepted or refused.
  void occurrenceChecked();

 private:
  struct Row {
    QString plain;   // the line with the change marked in text: [-found-]{+replacement+}
    QString whole;   // the same, as much of the line as was read
    QString rich;    // the shown line in HTML
    QString richSelected;  // ... for a selected row
    QString spoken;  // what a screen reader says
  };
  const Row* row(int at) const;
  void fail(const QString& why);

  const engine::Showing& m_showing;
  engine::PlannedFile* m_file = nullptr;
  engine::ShownTexts m_texts;
  mutable std::optional<engine::ShownFile> m_open;
  mutable QCache<int, Row> m_rows;
  mutable QString m_failure;
  mutable bool m_failurePending = false;
  unsigned m_generation = 0;  // the files shown so far
};

/// Paints an item's rich text (kRichTextRole, or kSelectedRichTextRole on a selected row) where
/// it has one, as one line.
class RichTextDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

/// A list of rows with check boxes in their first column: Space sets the current row's box
/// (and the other rows selected with it) the other way, wherever in the row the cursor is.
class CheckListView final : public QTreeView {
  Q_OBJECT

 public:
  explicit CheckListView(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace ui
