#include "ui/review_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>
#include <utility>

#include "ui/review_models.h"
#include "ui/words.h"

namespace ui {
namespace {

QPushButton* button(const QString& caption, const char* name, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAccessibleName(caption);
  // Enter in a list must never write files.
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

// A list with the label above it that names it (and takes the keyboard to it with Alt).
QWidget* titled(const QString& caption, const char* labelName, CheckListView* view,
                QWidget* parent) {
  auto* box = new QWidget(parent);
  auto* label = new QLabel(caption, box);
  label->setObjectName(QString::fromLatin1(labelName));
  label->setBuddy(view);
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label);
  layout->addWidget(view);
  return box;
}

}  // namespace

ReviewWindow::ReviewWindow(ReviewedRun run, const platform::CodePage& page, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      m_run(std::move(run)),
      m_showing(m_run.options, page) {
  setObjectName(QStringLiteral("ReviewWindow"));
  setWindowTitle(text::kReviewTitle);
  setAccessibleName(text::kReviewTitle);
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  setSizeGripEnabled(true);

  m_files = new PlanFilesModel(m_run.plan, page.name(), m_run.root, this);
  m_occurrences = new OccurrencesModel(m_showing, this);

  m_filesView = new CheckListView(this);
  m_filesView->setObjectName(QStringLiteral("ReviewFiles"));
  m_filesView->setAccessibleName(QStringLiteral("Файлы, в которых найден текст"));
  m_filesView->setAccessibleDescription(
      QStringLiteral("Пробел отмечает файл со всеми его заменами или снимает отметку"));
  m_filesView->setModel(m_files);
  // A long path loses its middle, not the file's name.
  m_filesView->setTextElideMode(Qt::ElideMiddle);
  QHeaderView* header = m_filesView->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(PlanFilesModel::PathColumn, QHeaderView::Stretch);
  const QFontMetrics metrics(font());
  header->resizeSection(PlanFilesModel::CountColumn,
                        metrics.horizontalAdvance(QStringLiteral("00000 из 00000")) + 16);
  header->resizeSection(PlanFilesModel::EncodingColumn,
                        metrics.horizontalAdvance(QStringLiteral("windows-1251")) + 16);

  m_occurrencesView = new CheckListView(this);
  m_occurrencesView->setObjectName(QStringLiteral("ReviewOccurrences"));
  m_occurrencesView->setAccessibleName(QStringLiteral("Замены в выбранном файле"));
  m_occurrencesView->setAccessibleDescription(
      QStringLiteral("Пробел отмечает замену или снимает отметку"));
  m_occurrencesView->setModel(m_occurrences);
  m_occurrencesView->setItemDelegateForColumn(OccurrencesModel::TextColumn,
                                              new RichTextDelegate(m_occurrencesView));
  m_occurrencesView->header()->resizeSection(
      OccurrencesModel::PlaceColumn, metrics.horizontalAdvance(QStringLiteral("000000:0000")) + 48);

  auto* lists = new QSplitter(Qt::Horizontal, this);
  lists->setObjectName(QStringLiteral("ReviewLists"));
  lists->setChildrenCollapsible(false);
  lists->addWidget(titled(QStringLiteral("&Файлы, в которых найден текст:"), "ReviewFilesLabel",
                          m_filesView, lists));
  lists->addWidget(titled(QStringLiteral("&Замены в выбранном файле:"), "ReviewOccurrencesLabel",
                          m_occurrencesView, lists));
  lists->setStretchFactor(0, 2);
  lists->setStretchFactor(1, 3);

  m_tally = new QLabel(this);
  m_tally->setObjectName(QStringLiteral("ReviewTally"));
  m_tally->setTextFormat(Qt::PlainText);
  m_apply = button(QStringLiteral("Заменить отмеченные"), "ReviewApply", this);
  m_close = button(QStringLiteral("Закрыть"), "ReviewClose", this);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_tally, 1);
  buttons->addWidget(m_apply);
  buttons->addWidget(m_close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lists, 1);
  layout->addLayout(buttons);

  QWidget::setTabOrder(m_filesView, m_occurrencesView);
  QWidget::setTabOrder(m_occurrencesView, m_apply);
  QWidget::setTabOrder(m_apply, m_close);

  connect(m_filesView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) { showFile(current); });
  connect(m_files, &PlanFilesModel::fileChecked, this, [this](int row) {
    if (row == m_shownFile) m_occurrences->checksChanged();
  });
  connect(m_files, &PlanFilesModel::acceptedChanged, this, &ReviewWindow::showTally);
  connect(m_occurrences, &OccurrencesModel::occurrenceChecked, this, [this] {
    if (m_shownFile >= 0) m_files->occurrencesChanged(m_shownFile);
  });
  // A file that cannot be shown has one row that says why, across both columns.
  connect(m_occurrences, &QAbstractItemModel::modelReset, this, [this] {
    if (!m_occurrences->failure().isEmpty() && m_occurrences->rowCount() == 1) {
      m_occurrencesView->setFirstColumnSpanned(0, {}, true);
    }
  });
  connect(m_apply, &QPushButton::clicked, this, &ReviewWindow::applyRequested);
  connect(m_close, &QPushButton::clicked, this, &QDialog::reject);

  resize(960, 560);
  showTally();
  if (m_files->rowCount() > 0) {
    m_filesView->setCurrentIndex(m_files->index(0, PlanFilesModel::PathColumn));
  }
  m_filesView->setFocus();
}

ReviewWindow::~ReviewWindow() = default;

void ReviewWindow::showFile(const QModelIndex& current) {
  m_shownFile = current.isValid() ? current.row() : -1;
  m_occurrences->setFile(current.isValid() ? &m_files->file(current.row()) : nullptr);
  if (m_occurrences->rowCount() > 0) {
    m_occurrencesView->setCurrentIndex(m_occurrences->index(0, OccurrencesModel::PlaceColumn));
  }
}

void ReviewWindow::showTally() {
  const QString tally =
      text::reviewTally(m_files->acceptedOccurrences(), m_files->occurrences(),
                        m_files->acceptedFiles(), static_cast<std::size_t>(m_files->rowCount()));
  m_tally->setText(tally);
  m_tally->setAccessibleName(tally);  // a screen reader says the counts, not a fixed word
  m_apply->setEnabled(m_files->acceptedOccurrences() > 0);
}

}  // namespace ui
