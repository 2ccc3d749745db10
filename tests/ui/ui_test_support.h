#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>
#include <memory>

#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/form1.h"

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

/// How long a test waits for an event of the window system (a window shown, activated) before
/// it gives up: far past any delay of a loaded machine, so that only an event that never comes
/// reaches it, and within the test's own time limit.
inline constexpr int kHangGuardMs = 60'000;

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

/// What the window tests share, made afresh for each test function: a temporary folder and
/// undo store of its own, the scripted message boxes and pickers, and the main window over them,
/// which expects to own every box and picker. Afterwards the window is closed, the current
/// folder is the one before, and every box and picker scripted must have come.
class WindowTest : public QObject {
  Q_OBJECT

 public:
  /// How far the window is brought before each test function.
  enum class Window {
    None,     ///< not made: the test makes its own
    Hidden,   ///< made, not shown
    Exposed,  ///< shown
    Active,   ///< shown and active, for keys and clicks
  };

 protected:
  explicit WindowTest(Window window = Window::Active) : m_window(window) {}

  /// Runs before the window is made, in the test's temporary folder.
  virtual void prepare() {}
  /// Runs once the window is made, before it is shown: where a test finds its controls.
  virtual void windowMade() {}
  /// The message boxes the window shows: the scripted ones unless a test has others.
  virtual ui::Prompter& prompter() { return m_prompter; }

  std::unique_ptr<TemporaryFolder> m_temp;
  ScriptedPrompter m_prompter;
  ScriptedDialogs m_dialogs;
  std::unique_ptr<ui::Form1> m_form;

 protected slots:
  void init();
  void cleanup();

 private:
  Window m_window;
  QString m_startFolder;
};

}  // namespace ui_testing
