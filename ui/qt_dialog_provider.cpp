#include "ui/qt_dialog_provider.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>
#include <iterator>

namespace ui {
namespace {

// Shows each filter under its own text while Qt matches by the space-separated list: the
// dialog's filter box holds Qt's texts, and the dialog reads the filters by their position.
void showFilterTexts(QFileDialog& dialog, const QStringList& qtTexts, const QStringList& shown) {
  for (QComboBox* box : dialog.findChildren<QComboBox*>()) {
    for (int i = 0; i < box->count(); ++i) {
      const qsizetype k = qtTexts.indexOf(box->itemText(i));
      if (k >= 0) box->setItemText(i, shown[k]);
    }
  }
}

// The columns of Qt's file list in its detail view.
constexpr int kSizeColumn = 1;
constexpr int kDateColumn = 3;

QLocale russian() { return QLocale(QLocale::Russian, QLocale::Russia); }

// Qt's file list writes sizes and dates in the system's locale: English words in the C locale
// that many desktops start programs in, and dates longer than their column. Here they are
// written in Russian, as the rest of the dialog, and short enough for it.
class RussianDetails final : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;

  QVariant data(const QModelIndex& index, int role) const override {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (role != Qt::DisplayRole || files == nullptr ||
        (index.column() != kSizeColumn && index.column() != kDateColumn)) {
      return QIdentityProxyModel::data(index, role);
    }
    const QModelIndex source = mapToSource(index);
    if (index.column() == kDateColumn) return dateText(files->lastModified(source));
    return files->isDir(source) ? QString() : QtDialogProvider::sizeText(files->size(source));
  }

  static QString dateText(const QDateTime& time) {
    return russian().toString(time, QLocale::ShortFormat);
  }
};

// Widens the size and date columns of `dialog`'s detail view to their longest texts, so that
// none is cut; Qt sized them for its English ones.
void fitDetailColumns(QFileDialog& dialog) {
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (view == nullptr) return;
  const QFontMetrics metrics = view->fontMetrics();
  // An item's text is drawn inside the focus frame's margin on either side.
  const int margins =
      2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1) + 1;
  const auto fit = [&](int column, std::initializer_list<QString> longest) {
    int width = 0;
    for (const QString& text : longest) width = std::max(width, metrics.horizontalAdvance(text));
    if (view->header()->sectionSize(column) < width + margins) {
      view->header()->resizeSection(column, width + margins);
    }
  };
  // Digits are all of one width in the dialog's fonts; the unit names are not.
  constexpr qint64 kK = 1024;
  fit(kSizeColumn, {QtDialogProvider::sizeText(1023), QtDialogProvider::sizeText(1023 * kK),
                    QtDialogProvider::sizeText(1023 * kK * kK),
                    QtDialogProvider::sizeText(1023 * kK * kK * kK),
                    QtDialogProvider::sizeText(1023 * kK * kK * kK * kK)});
  fit(kDateColumn, {RussianDetails::dateText(QDateTime(QDate(2088, 12, 28), QTime(20, 58)))});
}

// The file list of `dialog` in Russian throughout; before anything is shown in it.
void showDetailsInRussian(QFileDialog& dialog) {
  dialog.setProxyModel(new RussianDetails(&dialog));
  fitDetailColumns(dialog);
}

void setUserSettingsFolder(const QString& folder) {
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

}  // namespace

QtDialogProvider::QtDialogProvider() {
  if (m_settingsFolder.isValid()) setUserSettingsFolder(m_settingsFolder.path());
}

QtDialogProvider::~QtDialogProvider() {
  // Qt's own default on Linux.
  setUserSettingsFolder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

QString QtDialogProvider::sizeText(qint64 bytes) {
  static const char* const kUnits[] = {"Б", "КБ", "МБ", "ГБ", "ТБ"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  // One decimal below 100, as "4,9 КБ"; none for whole bytes.
  const int decimals = unit > 0 && value < 100 ? 1 : 0;
  return russian().toString(value, 'f', decimals) + u' ' + QString::fromUtf8(kUnits[unit]);
}

QString QtDialogProvider::qtFilterText(const FileFilter& filter) {
  QStringList patterns = filter.patterns.split(u';', Qt::SkipEmptyParts);
  for (QString& pattern : patterns) {
    pattern = pattern.trimmed();
    if (pattern == QStringLiteral("*.*")) pattern = QStringLiteral("*");
  }
  return filter.name + QStringLiteral(" (") + patterns.join(u' ') + u')';
}

FileAnswer QtDialogProvider::openFile(QWidget* owner, const FileRequest& request) {
  QStringList qtTexts;
  QStringList shown;
  for (const FileFilter& filter : request.filters) {
    qtTexts << qtFilterText(filter);
    shown << filter.shownText();
  }

  QFileDialog dialog(owner, request.title);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  showDetailsInRussian(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name is returned whether it exists or not
  dialog.setNameFilters(qtTexts);
  if (request.selectedFilter >= 0 && request.selectedFilter < qtTexts.size()) {
    dialog.selectNameFilter(qtTexts[request.selectedFilter]);
  }
  showFilterTexts(dialog, qtTexts, shown);
  dialog.setDirectory(request.startFolder);

  FileAnswer answer;
  const bool picked = dialog.exec() == QDialog::Accepted;
  const QString filter = dialog.selectedNameFilter();
  qsizetype index = shown.indexOf(filter);
  if (index < 0) index = qtTexts.indexOf(filter);
  answer.selectedFilter = index >= 0 ? int(index) : request.selectedFilter;
  if (picked && !dialog.selectedFiles().isEmpty()) answer.path = dialog.selectedFiles().front();
  return answer;
}

QString QtDialogProvider::pickFolder(QWidget* owner, const QString& prompt) {
  // Qt's file dialog has no place for a prompt: it is set into a window of its own, with the
  // prompt above it.
  QDialog window(owner);
  window.setObjectName(QStringLiteral("FolderDialog"));
  window.setWindowTitle(QStringLiteral("Обзор папок"));
  auto* label = new QLabel(prompt, &window);
  label->setObjectName(QStringLiteral("Prompt"));
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  auto* browser = new QFileDialog(&window);
  browser->setWindowFlags(Qt::Widget);  // QDialog makes itself a window of its own otherwise
  browser->setOption(QFileDialog::DontUseNativeDialog);
  showDetailsInRussian(*browser);
  browser->setFileMode(QFileDialog::Directory);
  browser->setOption(QFileDialog::ShowDirsOnly);
  // Qt would call the button "Открыть" while a folder is selected, as if it entered it.
  browser->setLabelText(QFileDialog::Accept, QCoreApplication::translate("QFileDialog", "&Choose"));
  browser->setDirectory(QDir::homePath());
  if (browser->layout())
    browser->layout()->setContentsMargins(0, 0, 0, 0);  // the window's are enough
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(label);
  layout->addWidget(browser);
  QObject::connect(browser, &QDialog::finished, &window, &QDialog::done);

  if (window.exec() != QDialog::Accepted) return QString();
  const QStringList folders = browser->selectedFiles();
  return folders.isEmpty() ? QString() : folders.front();
}

}  // namespace ui
