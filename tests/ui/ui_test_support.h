#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

namespace ui_testing {

/// A fresh folder that is the temporary folder (TMPDIR) for the life of the object, so that
/// each test has a work file of its own, and another that holds the undo store
/// (XDG_STATE_HOME). Both removed with their contents afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  bool isValid() const { return m_dir.isValid(); }
  QString path() const { return m_dir.path(); }
  /// The full path of `name` inside the folder.
  QString file(const QString& name) const { return m_dir.filePath(name); }
  /// XDG_STATE_HOME meanwhile: the undo store is in it.
  QString stateHome() const { return m_state.path(); }

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_state;
  bool m_hadTmpDir;
  QByteArray m_oldTmpDir;
};

/// The completion box of the window's two commands.
inline const QString kDone = QStringLiteral("Операция завершена.");

/// The folder command's question for `folder`, `find` and `replace`.
QString folderQuestion(const QString& folder, const QString& find, const QString& replace);

/// Writes `bytes` to `path`; false on failure.
bool writeBytes(const QString& path, const QByteArray& bytes);
/// The bytes in `path`; an empty array when it cannot be read.
QByteArray readBytes(const QString& path);

/// The child of `window` named `name`, when it is a `Control`; nullptr otherwise.
template <class Control>
Control* control(const QWidget& window, const char* name) {
  return window.findChild<Control*>(QString::fromLatin1(name));
}

}  // namespace ui_testing
