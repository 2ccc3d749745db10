#pragma once

#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/file/convert_file.h"
#include "engine/run/run.h"
#include "engine/text/match_options.h"
#include "platform/code_page.h"
#include "ui/dialog_provider.h"
#include "ui/frame_box.h"
#include "ui/link_opener.h"
#include "ui/message_list_box.h"
#include "ui/prompter.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace ui {

class ReviewWindow;
struct ReviewedRun;

/// The main window: the find and replacement texts, the options, the file and folder fields,
/// the two commands and the message list. It owns the work-file path and the message list;
/// the commands run on the calling thread from the click to the end.
class Form1 : public QWidget {
  Q_OBJECT

 public:
  /// What the window works through; the objects belong to the caller and outlive the window.
  struct Seams {
    Prompter& prompter;       ///< every message box
    DialogProvider& dialogs;  ///< the file and folder pickers
    LinkOpener& links;        ///< the About window's web link
    /// How the program ends after a stop signal, with its status; empty: the application's
    /// event loops end (QCoreApplication::exit).
    std::function<void(int status)> exit = {};
  };

  /// Builds the window with all of its controls and runs Form_Load.
  explicit Form1(Seams seams, QWidget* parent = nullptr);
  /// Deletes the work file, as closing does.
  ~Form1() override;

  /// Chooses the work file; touches no file.
  void Form_Load();
  /// Deletes the work file, ignoring every failure. Runs when the window closes.
  void Form_Unload();

  /// A stop signal (SIGTERM, SIGINT, SIGHUP) ends the program as a close does, with status 0:
  /// the work file and the user's folder that holds it are deleted. A running conversion stops
  /// first, at its next chunk or folder entry, so that every file stays whole.
  void StopOnSignal();

  /// "Заменить текст в файле": confirms and rewrites the file named in Text3.
  void Command2_Click();
  /// Asks for confirmation and converts the file captured in DlgFilename (a run of one file,
  /// ended by the summary in the list); true when it was rewritten. Raises platform::Error (any
  /// file failure, a replacement that the file's code page cannot hold where the file holds the
  /// find text), for the message box.
  bool ConfirmAndConvertFile();

  /// "Заменить текст в папке": normalises the extension filter, confirms and walks the folder
  /// named in Text4, then sets the message list's horizontal extent.
  void Command4_Click();
  /// Asks for confirmation and runs over `folder`; true when the run went to its end. A path
  /// that names nothing gets a line "!_ Ошибка 76 Путь не найден - …" and false, as does a run
  /// that Esc stopped. Raises platform::Error (a failed existence test).
  bool ConfirmAndConvertFolder(const QString& folder);

  /// "Обзор" by the file field: puts the file PickFile returns into Text3.
  void Command1_Click();
  /// The file-open dialog with the filters "Все файлы (*.*)" and filterName + " (" +
  /// filterPatterns + ")", opening in the process's current folder. A name that names no file
  /// is answered with "Не удаётся найти файл " and the dialog opens again, with the filter the
  /// user had selected. A pick makes the file's folder the current folder. Returns the path
  /// with leading spaces removed, or empty when the user cancelled. Raises platform::Error when
  /// the existence test cannot be made.
  QString PickFile(const QString& title, const QString& filterName, const QString& filterPatterns);

  /// "Обзор" by the folder field: puts the folder PickFolder returns into Text4.
  void Command3_Click();
  /// The folder dialog over `owner` with `prompt`; the folder picked becomes PickedFolder.
  /// Returns PickedFolder: empty when the user cancelled and nothing was picked before.
  QString PickFolder(QWidget* owner, const QString& prompt);
  /// The last folder PickFolder returned since Command3 last reset it.
  const QString& pickedFolder() const { return PickedFolder; }

  /// "О программе": shows the About window modally, owned by this window, until it closes.
  void Command5_Click();

  /// "Отменить последнюю замену" (Ctrl+Z, and the message list's context menu): asks, naming
  /// the run, then takes back the last run that a window made (never a tarvel-cli run), or
  /// finishes its stopped undo. Each file left alone gets a line in the list, which ends as
  /// tarvel-cli's undo does: "Замена <run> отменена. Возвращено файлов: N, оставлено как есть:
  /// M." (or, when files could not be restored, that it is to be undone again), shown however
  /// long the list; then "Операция завершена.".
  void UndoLastRun();

  /// "Показать, что будет заменено в файле" (the message list's context menu, while Text3 is
  /// not empty): a dry run of the file command that lists what it would replace. Nothing is
  /// asked, changed or kept for undo; the list gets "Замен: N (кодировка) - путь" where the
  /// file holds the find text, or why not. Where it does, the review window opens on what was
  /// found (unless Esc stopped the preview), in place of one a preview opened before.
  void PreviewFile();
  /// "Показать, что будет заменено в папке": the same for the folder command, with its
  /// extension filter; one line per file that holds the find text, the skipped and failed ones,
  /// then the summary, and the review window over the files found.
  void PreviewFolder();

  /// The review window of the last preview while it is open, else nullptr.
  ReviewWindow* reviewWindow() const;

  /// The path of this run's work file.
  const std::string& workFile() const { return m_workFile; }
  /// True from the moment a command enters the busy state until it leaves it.
  bool isBusy() const { return m_busy; }

 protected:
  /// Runs Form_Unload; while a command runs the close waits until it has ended.
  void closeEvent(QCloseEvent* event) override;
  /// While a run goes on: Esc anywhere in the application stops it.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  /// The busy state for the life of the object: the window disabled, the busy pointer.
  class BusyScope {
   public:
    explicit BusyScope(Form1& form);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    Form1& m_form;
    QPointer<QWidget> m_focus;  // where the keyboard focus returns afterwards
  };

  void createControls();
  void setFocusOrder();
  /// Runs `handler`; whatever it raises ends in the failure message box, never further.
  void runHandler(const std::function<void()>& handler) noexcept;
  /// Form_Unload, then the end of the program through the exit seam.
  void endAfterSignal() noexcept;
  void showFailure(const std::exception_ptr& failure) noexcept;
  /// The options for a conversion: the texts in UTF-8, each file takes them in its encoding.
  /// A bad regular expression or a replacement naming a group it does not have: the box that
  /// says why and where, and false; true when the texts can be used.
  bool patternUsable(const QString& findText, const QString& replaceText);
  engine::MatchOptions matchOptions(const QString& findText, const QString& replaceText) const;
  /// How a run of the window ended.
  struct RunResult {
    bool stopped = false;    ///< Esc stopped it
    bool rewritten = false;  ///< the file named on its own was rewritten
    std::optional<platform::Error> namedFailure;  ///< ... or failed, for the message box
  };
  /// Runs `targets` through the engine as both commands do: a folder (or several files) with as
  /// many workers as tarvel-cli takes by default, a file with one, `action` done to each file,
  /// the originals kept for undo as a run on `undoTarget` (none when the action only looks: a
  /// dry run). The list gets each item's line in walk order, a line when Esc stopped the run,
  /// and the summary, scrolled into view; the title shows the progress meanwhile. The plans of
  /// the items go to `plan`, when given. Raises StopRequested after a stop signal.
  RunResult runTargets(std::vector<engine::RunTarget> targets, engine::MatchOptions options,
                       const QString& undoTarget,
                       const engine::FileAction& action = engine::ConvertFiles(),
                       engine::Plan* plan = nullptr);
  /// Runs `job` off the window's thread (RunInBackground, `tick` on it meanwhile) while Esc and
  /// a stop signal set m_stop, which the command's BusyScope cleared. Raises StopRequested after
  /// a stop signal, once the job has ended.
  void runStoppable(const std::function<void()>& job, const std::function<void()>& tick = {});
  /// The preview of the file or folder `name`, then the review window over what it found.
  void previewAndReview(const QString& name, bool folder);
  /// Closes the review window, if one is open: nothing it shows is applied.
  void closeReview();
  /// "Заменить отмеченные" in `review`: its plan applied as the folder command runs, what is
  /// checked replaced; the window closes.
  void applyReview(ReviewWindow& review);
  /// The folder command's path: as typed, or without the spaces around it when only then it
  /// names a folder.
  static std::string folderPath(std::string path);
  /// The folder command's target for `folder`; none, and a line in the list, when its path
  /// names nothing.
  std::optional<engine::RunTarget> folderTarget(const QString& folder);
  /// The line for a folder path that names nothing.
  void addPathNotFound(const std::string& path);

  Prompter& m_prompter;
  DialogProvider& m_dialogs;
  LinkOpener& m_links;
  engine::EventPump m_pump;
  platform::CodePage m_codePage;  // for files that are not UTF-8
  bool m_asciiAsUtf8;             // no single-byte locale: plain ASCII files are UTF-8 too
  std::string m_workFile;
  bool m_busy = false;
  bool m_closePending = false;
  bool m_converting = false;     // the engine is working on files
  bool m_stopRequested = false;  // a stop signal came while it was
  std::atomic<bool> m_stop{false};  // the run at hand is to stop (Esc, a stop signal)
  std::function<void(int)> m_exit;
  QString PickedFolder;
  QPointer<ReviewWindow> m_review;  // the last preview's, while it is open

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* DlgFilename = nullptr;
  QPlainTextEdit* Text1 = nullptr;
  QPlainTextEdit* Text2 = nullptr;
  QLineEdit* Text3 = nullptr;
  QLineEdit* Text4 = nullptr;
  QLineEdit* Text5 = nullptr;
  QCheckBox* Check1 = nullptr;
  QCheckBox* Check2 = nullptr;
  QCheckBox* Check3 = nullptr;  ///< "Регулярное выражение"
  QCheckBox* Check4 = nullptr;  ///< "Слово целиком"
  /// "Сохранять регистр заменяемого", in the find field's context menu: the free space of the
  /// window holds two rows of check boxes, not three.
  QAction* PreserveCaseAction = nullptr;
  QPushButton* Command1 = nullptr;
  QPushButton* Command2 = nullptr;
  QPushButton* Command3 = nullptr;
  QPushButton* Command4 = nullptr;
  QPushButton* Command5 = nullptr;
  QAction* UndoAction = nullptr;
  QAction* PreviewFileAction = nullptr;
  QAction* PreviewFolderAction = nullptr;
  FrameBox* Frame1 = nullptr;
  MessageListBox* List1 = nullptr;
};

}  // namespace ui
