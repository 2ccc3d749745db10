#include "ui/review_models.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QPainter>
#include <QSet>
#include <QTextDocument>
#include <algorithm>
#include <exception>
#include <utility>

#include "ui/failure.h"
#include "ui/words.h"
#include "words/run_lines.h"
#include "words/texts.h"

namespace ui {
namespace {

// How much of a line is read on either side of an occurrence, in bytes; and how many characters
// a row shows of it before and after the occurrence, and of a long found text or replacement,
// so that both stay in view in a long line (the tooltip has what was read).
constexpr std::size_t kAround = 256;
constexpr qsizetype kShownBefore = 24;
constexpr qsizetype kShownAfter = 24;
constexpr qsizetype kShownMarked = 60;
// The rows whose line is kept once read: a few screens' worth, whatever the number of rows.
constexpr int kKeptRows = 2000;

// The text of a file as one row shows it: a line break and every other control character but
// the tab as the symbol that pictures it, so that nothing breaks or moves the row.
QString oneLine(const std::string& utf8) {
  const QString text = QString::fromStdString(utf8);
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
    if (c == u'\n' || c == u'\r') {
      out += QChar(0x21B5);  // ↵
    } else if (c < 0x20 && c != u'\t') {
      out += QChar(0x2400 + c);  // ␀ … ␟
    } else if (c == 0x7F) {
      out += QChar(0x2421);  // ␡
    } else {
      out += QChar(c);
    }
  }
  return out;
}

// Text for HTML: escaped, its spaces and tabs kept as they are.
QString html(const QString& text) {
  QString escaped = text.toHtmlEscaped();
  escaped.replace(u' ', QStringLiteral("&nbsp;"));
  escaped.replace(u'\t', QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;"));
  return escaped;
}

// `text` without its middle where it is longer than `most` characters.
QString middleCut(const QString& text, qsizetype most) {
  if (text.size() <= most) return text;
  return text.left(most / 2) + QStringLiteral("…") + text.right(most - most / 2);
}

// A row's line in HTML: the found text struck out in red, the replacement in green; `selected`:
// all in the selection's own text colour, the replacement underlined, so that the marks keep
// their contrast on the selection.
QString marked(const QString& before, const QString& found, const QString& replacement,
               const QString& after, bool selected) {
  const QString struck = selected ? QStringLiteral("<span style=\"text-decoration:line-through\">")
                                  : QStringLiteral(
                                        "<span style=\"color:#c00000; "
                                        "text-decoration:line-through\">");
  const QString added = selected ? QStringLiteral("<span style=\"text-decoration:underline\">")
                                 : QStringLiteral("<span style=\"color:#007000\">");
  return html(before) + struck + html(found) + QStringLiteral("</span>") + added +
         html(replacement) + QStringLiteral("</span>") + html(after);
}

}  // namespace

// ---- The files ----

PlanFilesModel::PlanFilesModel(engine::Plan& plan, std::string codePageName, std::string root,
                               QObject* parent)
    : QAbstractTableModel(parent),
      m_plan(plan),
      m_codePageName(std::move(codePageName)),
      m_root(std::move(root)) {
  if (!m_root.empty() && m_root.back() != '/') m_root += '/';
  m_accepted.resize(m_plan.files.size());
  for (std::size_t i = 0; i < m_plan.files.size(); ++i) {
    m_accepted[i] = m_plan.files[i]->acceptedCount();
    m_acceptedTotal += m_accepted[i];
    m_total += m_plan.files[i]->occurrences.size();
    if (m_accepted[i] > 0) ++m_acceptedFiles;
  }
}

int PlanFilesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_plan.files.size());
}

int PlanFilesModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant PlanFilesModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const std::size_t row = static_cast<std::size_t>(index.row());
  const engine::PlannedFile& f = *m_plan.files[row];
  switch (index.column()) {
    case PathColumn:
      if (role == Qt::DisplayRole) {
        std::string_view path = f.path;
        if (!m_root.empty() && path.starts_with(m_root)) path.remove_prefix(m_root.size());
        return QString::fromStdString(words::ShownPath(path));
      }
      if (role == Qt::ToolTipRole) return QString::fromStdString(words::ShownPath(f.path));
      if (role == Qt::CheckStateRole) {
        const std::size_t accepted = m_accepted[row];
        return accepted == 0                      ? Qt::Unchecked
               : accepted == f.occurrences.size() ? Qt::Checked
                                                  : Qt::PartiallyChecked;
      }
      break;
    case CountColumn:
      if (role == Qt::DisplayRole)
        return text::checkedOfText(m_accepted[row], f.occurrences.size());
      if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
      break;
    case EncodingColumn:
      if (role == Qt::DisplayRole) {
        return QString::fromStdString(words::KindName(f.kind, m_codePageName));
      }
      break;
    default:
      break;
  }
  return {};
}

bool PlanFilesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != PathColumn || role != Qt::CheckStateRole) {
    return false;
  }
  const bool accept = value.value<Qt::CheckState>() != Qt::Unchecked;
  engine::PlannedFile& f = file(index.row());
  f.accepted.assign(f.occurrences.size(), accept);
  recount(index.row());
  emit fileChecked(index.row());
  return true;
}

void PlanFilesModel::occurrencesChanged(int row) { recount(row); }

void PlanFilesModel::recount(int row) {
  const std::size_t at = static_cast<std::size_t>(row);
  const std::size_t was = m_accepted[at];
  const std::size_t now = m_plan.files[at]->acceptedCount();
  m_accepted[at] = now;
  m_acceptedTotal = m_acceptedTotal - was + now;
  if ((was == 0) != (now == 0)) now == 0 ? --m_acceptedFiles : ++m_acceptedFiles;
  emit dataChanged(index(row, PathColumn), index(row, CountColumn),
                   {Qt::CheckStateRole, Qt::DisplayRole});
  emit acceptedChanged();
}

Qt::ItemFlags PlanFilesModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == PathColumn) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant PlanFilesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case PathColumn:
      return QStringLiteral("Файл");
    case CountColumn:
      return QStringLiteral("Замен");
    case EncodingColumn:
      return QStringLiteral("Кодировка");
    default:
      return {};
  }
}

// ---- The occurrences of one file ----

OccurrencesModel::OccurrencesModel(const engine::Showing& showing, QObject* parent)
    : QAbstractTableModel(parent), m_showing(showing), m_rows(kKeptRows) {}

void OccurrencesModel::setFile(engine::PlannedFile* file) {
  beginResetModel();
  m_rows.clear();
  m_open.reset();
  m_failure.clear();
  m_failurePending = false;
  ++m_generation;
  m_file = file;
  if (m_file != nullptr) {
    try {
      m_texts = m_showing.textsFor(*m_file);
      m_open.emplace(*m_file);
    } catch (...) {
      m_failure = failureDescription(std::current_exception());
    }
  }
  endResetModel();
}

void OccurrencesModel::fail(const QString& why) {
  // Asked for by the view while it paints: the rows change once it has done.
  m_failure = why;
  if (m_failurePending) return;
  m_failurePending = true;
  QMetaObject::invokeMethod(
      this,
      [this, generation = m_generation] {
        if (generation != m_generation) return;  // another file is shown by now
        beginResetModel();
        m_failurePending = false;
        m_open.reset();
        m_rows.clear();
        endResetModel();
      },
      Qt::QueuedConnection);
}

void OccurrencesModel::checksChanged() {
  if (m_file == nullptr || !m_failure.isEmpty() || rowCount() == 0) return;
  emit dataChanged(index(0, PlaceColumn), index(rowCount() - 1, PlaceColumn), {Qt::CheckStateRole});
}

int OccurrencesModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || m_file == nullptr) return 0;
  if (!m_failure.isEmpty() && !m_failurePending) return 1;
  return static_cast<int>(m_file->occurrences.size());
}

int OccurrencesModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

const OccurrencesModel::Row* OccurrencesModel::row(int at) const {
  if (const Row* kept = m_rows.object(at)) return kept;
  if (!m_failure.isEmpty() || !m_open) return nullptr;
  try {
    const engine::ShownLine line =
        engine::ShowLine(*m_open, *m_file, static_cast<std::size_t>(at), m_texts, kAround);
    const QString before = oneLine(line.before);
    const QString found = oneLine(line.found);
    const QString replacement = oneLine(line.replacement);
    const QString after = oneLine(line.after);
    const bool cutBefore = line.cutBefore || before.size() > kShownBefore;
    const bool cutAfter = line.cutAfter || after.size() > kShownAfter;
    const QString shownBefore =
        cutBefore ? QStringLiteral("…") + before.right(kShownBefore) : before;
    const QString shownAfter = cutAfter ? after.left(kShownAfter) + QStringLiteral("…") : after;
    const QString shownFound = middleCut(found, kShownMarked);
    const QString shownReplacement = middleCut(replacement, kShownMarked);
    const auto plain = [](const QString& b, const QString& f, const QString& r, const QString& a) {
      return b + QStringLiteral("[-") + f + QStringLiteral("-]{+") + r + QStringLiteral("+}") + a;
    };
    auto* made = new Row;
    made->plain = plain(shownBefore, shownFound, shownReplacement, shownAfter);
    made->whole = plain(line.cutBefore ? QStringLiteral("…") + before : before, found, replacement,
                        line.cutAfter ? after + QStringLiteral("…") : after);
    made->rich = marked(shownBefore, shownFound, shownReplacement, shownAfter, false);
    made->richSelected = marked(shownBefore, shownFound, shownReplacement, shownAfter, true);
    made->spoken =
        text::occurrenceSpoken(shownFound, shownReplacement, shownBefore + shownFound + shownAfter);
    m_rows.insert(at, made);
    return made;
  } catch (...) {
    const_cast<OccurrencesModel*>(this)->fail(failureDescription(std::current_exception()));
    return nullptr;
  }
}

QVariant OccurrencesModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || m_file == nullptr) return {};
  if (!m_failure.isEmpty() && !m_failurePending) {
    // The row that says why the file cannot be shown, across the whole width.
    if (index.column() != PlaceColumn) return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) {
      return m_failure;
    }
    return {};
  }
  const std::size_t at = static_cast<std::size_t>(index.row());
  const engine::Occurrence& o = m_file->occurrences[at];
  if (index.column() == PlaceColumn) {
    switch (role) {
      case Qt::DisplayRole:
        return text::occurrencePlace(o.line, o.column);
      case Qt::AccessibleTextRole:
        return text::occurrencePlaceSpoken(o.line, o.column);
      case Qt::CheckStateRole:
        return m_file->accepted[at] ? Qt::Checked : Qt::Unchecked;
      default:
        return {};
    }
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != kRichTextRole &&
      role != kSelectedRichTextRole && role != Qt::AccessibleTextRole) {
    return {};
  }
  const Row* r = row(index.row());
  if (r == nullptr) return {};
  switch (role) {
    case kRichTextRole:
      return r->rich;
    case kSelectedRichTextRole:
      return r->richSelected;
    case Qt::ToolTipRole:
      return r->whole;
    case Qt::AccessibleTextRole:
      return r->spoken;
    default:
      return r->plain;
  }
}

bool OccurrencesModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != PlaceColumn || role != Qt::CheckStateRole ||
      !(flags(index) & Qt::ItemIsUserCheckable)) {
    return false;
  }
  m_file->accepted[static_cast<std::size_t>(index.row())] =
      value.value<Qt::CheckState>() != Qt::Unchecked;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  emit occurrenceChecked();
  return true;
}

Qt::ItemFlags OccurrencesModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == PlaceColumn && m_failure.isEmpty()) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant OccurrencesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case PlaceColumn:
      return QStringLiteral("Строка:столбец");
    case TextColumn:
      return QStringLiteral("Было и станет");
    default:
      return {};
  }
}

// ---- Painting and keys ----

void RichTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  const bool selected = (option.state & QStyle::State_Selected) != 0;
  const QString rich = index.data(selected ? kSelectedRichTextRole : kRichTextRole).toString();
  if (rich.isEmpty()) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionViewItem item = option;
  initStyleOption(&item, index);
  item.text.clear();
  QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);

  QTextDocument document;
  document.setDocumentMargin(0);
  document.setDefaultFont(item.font);
  document.setHtml(rich);
  const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget);
  QAbstractTextDocumentLayout::PaintContext context;
  context.palette.setColor(
      QPalette::Text, item.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
  painter->save();
  const qreal top = area.top() + (area.height() - document.size().height()) / 2;
  painter->translate(area.left(), top);
  context.clip = QRectF(0, 0, area.width(), document.size().height());
  painter->setClipRect(context.clip);
  document.documentLayout()->draw(painter, context);
  painter->restore();
}

CheckListView::CheckListView(QWidget* parent) : QTreeView(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);  // the rows are never measured one by one, however many
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void CheckListView::keyPressEvent(QKeyEvent* event) {
  const QModelIndex current = currentIndex();
  if (event->key() != Qt::Key_Space || event->modifiers() != Qt::NoModifier || !current.isValid() ||
      model() == nullptr) {
    QTreeView::keyPressEvent(event);
    return;
  }
  const QModelIndex box = current.siblingAtColumn(0);
  if (!(model()->flags(box) & Qt::ItemIsUserCheckable)) {
    event->accept();
    return;
  }
  const auto state = box.data(Qt::CheckStateRole).value<Qt::CheckState>();
  const Qt::CheckState next = state == Qt::Checked ? Qt::Unchecked : Qt::Checked;
  // The rows selected with the current one go with it.
  QList<int> rows{current.row()};
  if (selectionModel() != nullptr && selectionModel()->isRowSelected(current.row(), {})) {
    for (const QModelIndex& selected : selectionModel()->selectedRows()) {
      if (selected.row() != current.row()) rows << selected.row();
    }
  }
  for (const int row : rows) model()->setData(model()->index(row, 0), next, Qt::CheckStateRole);
  event->accept();
}

}  // namespace ui
