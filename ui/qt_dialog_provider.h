#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include "ui/dialog_provider.h"

namespace ui {

/// The pickers on Qt's own file dialog (never the desktop's native one), so that they read in
/// Russian with Qt's translation and behave the same on every desktop. Its file list shows
/// sizes and dates in Russian too, in columns wide enough for them, whatever the locale.
///
/// Qt's file dialog keeps its history and layout in the user's QtProject.conf. The program keeps
/// no settings between runs (only the undo store), so for the life of this object QSettings'
/// user files live in a temporary folder of its own, removed afterwards; no other part of the
/// program uses QSettings. One object at a time.
class QtDialogProvider final : public DialogProvider {
 public:
  QtDialogProvider();
  /// Puts QSettings' user files back in the user's configuration folder.
  ~QtDialogProvider() override;

  FileAnswer openFile(QWidget* owner, const FileRequest& request) override;
  /// Opens in the user's home folder, with the caption "Обзор папок".
  QString pickFolder(QWidget* owner, const QString& prompt) override;

  /// The filter as Qt's file dialog reads it: Qt separates patterns by spaces, not by ";", and
  /// its "*.*" would leave out the names without a dot, so "*.*" becomes "*".
  static QString qtFilterText(const FileFilter& filter);

  /// A file's size as the pickers' file list shows it: bytes below 1 KB ("512 Б"), otherwise
  /// in the largest unit of 1024 that leaves at least 1, with one decimal below 100 ("4,9 КБ",
  /// "120 МБ").
  static QString sizeText(qint64 bytes);

 private:
  QTemporaryDir m_settingsFolder;
};

}  // namespace ui
