#pragma once

#include <QList>
#include <QString>

class QWidget;

namespace ui {

/// One filter of the file dialog: a name and its patterns separated by ";" ("*.pl;*.pm").
struct FileFilter {
  QString name;
  QString patterns;

  /// The filter as the dialog lists it: name + " (" + patterns + ")".
  QString shownText() const { return name + QStringLiteral(" (") + patterns + u')'; }
};

/// What the file-open dialog is opened with.
struct FileRequest {
  QString title;
  QList<FileFilter> filters;
  int selectedFilter = 0;  ///< index into `filters` of the filter selected when it opens
  QString startFolder;     ///< the folder it shows first
};

/// How the file-open dialog was closed.
struct FileAnswer {
  QString path;            ///< the file picked or typed in; empty when the user cancelled
  int selectedFilter = 0;  ///< the filter selected when the dialog closed
};

/// The file and folder pickers the main window shows. Each call blocks until the user has
/// closed the dialog; `owner` is the window the dialog belongs to. Production: QtDialogProvider;
/// tests answer through a double.
class DialogProvider {
 public:
  virtual ~DialogProvider() = default;

  /// The file-open dialog. The name typed in need not name an existing file; the dialog opens
  /// with no file name filled in.
  virtual FileAnswer openFile(QWidget* owner, const FileRequest& request) = 0;
  /// The folder dialog, showing `prompt` above the folders; only folders can be picked.
  /// Returns the folder's path, or empty when the user cancelled.
  virtual QString pickFolder(QWidget* owner, const QString& prompt) = 0;
};

}  // namespace ui
