#include "ui/qt_dialog_provider.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QVBoxLayout>

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
