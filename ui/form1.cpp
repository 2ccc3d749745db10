#include "ui/form1.h"

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <memory>
#include <utility>

#include "engine/file/convert_file.h"
#include "engine/run/folder_walk.h"
#include "engine/run/run.h"
#include "engine/text/pattern.h"
#include "engine/undo/undo.h"
#include "platform/attributes.h"
#include "ui/background_job.h"
#include "ui/failure.h"
#include "ui/form1_parts.h"
#include "ui/frame_box.h"
#include "ui/frm_about.h"
#include "ui/placement.h"
#include "ui/program_font.h"
#include "ui/program_info.h"
#include "ui/text_fields.h"
#include "ui/words.h"
#include "words/errors.h"
#include "words/run_lines.h"
#include "words/texts.h"
#include "words/undo_lines.h"

namespace ui {
namespace {

constexpr int kClientWidth = 746;
constexpr int kClientHeight = 396;

QPlainTextEdit* multiLineField(QWidget* parent) {
  auto* field = new QPlainTextEdit(parent);
  field->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  field->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  field->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  field->setTabChangesFocus(true);
  return field;
}

QPushButton* button(const QString& caption, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

QCheckBox* checkedBox(const QString& caption, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setChecked(true);
  return box;
}

}  // namespace

Form1::BusyScope::BusyScope(Form1& form) : m_form(form), m_focus(form.focusWidget()) {
  m_form.m_busy = true;
  m_form.m_stop = false;  // an Esc from here on stops the command's run
  m_form.setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
}

Form1::BusyScope::~BusyScope() {
  QApplication::restoreOverrideCursor();
  m_form.setEnabled(true);
  // Disabling the window took the focus away; give it back as Windows does.
  if (m_focus) m_focus->setFocus();
  m_form.m_busy = false;
  if (m_form.m_closePending) {
    m_form.m_closePending = false;
    QTimer::singleShot(0, &m_form, &QWidget::close);
  }
}

Form1::Form1(Seams seams, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_prompter(seams.prompter),
      m_dialogs(seams.dialogs),
      m_links(seams.links),
      m_pump([this, repaint = repaintingPump()] {
        repaint();
        if (m_stopRequested) throw StopRequested{};
      }),
      m_codePage(platform::CodePage::system()),
      m_asciiAsUtf8(!platform::localeIsSingleByte()),
      m_exit(std::move(seams.exit)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(programTitle());
  QIcon icon;
  icon.addFile(QStringLiteral(":/tarvel/tarvel-16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/tarvel/tarvel-32.png"), QSize(32, 32));
  setWindowIcon(icon);
  setFont(programFont());
  setFixedSize(kClientWidth, kClientHeight);
  createControls();
  setFocusOrder();
  List1->setFocus();

  connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);

  // Ctrl+Z anywhere but in the two text fields, whose own undo it stays; and on the list.
  UndoAction = new QAction(QStringLiteral("Отменить последнюю замену"), this);
  UndoAction->setObjectName(QStringLiteral("UndoAction"));
  UndoAction->setShortcut(QKeySequence::Undo);
  UndoAction->setShortcutContext(Qt::WindowShortcut);
  addAction(UndoAction);
  List1->addAction(UndoAction);
  List1->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(UndoAction, &QAction::triggered, this, &Form1::UndoLastRun);
  // What a command would do, shown in the list: nothing is asked, changed or kept.
  PreviewFileAction = new QAction(QStringLiteral("Показать, что будет заменено в файле"), this);
  PreviewFileAction->setObjectName(QStringLiteral("PreviewFileAction"));
  PreviewFolderAction = new QAction(QStringLiteral("Показать, что будет заменено в папке"), this);
  PreviewFolderAction->setObjectName(QStringLiteral("PreviewFolderAction"));
  List1->addAction(PreviewFileAction);
  List1->addAction(PreviewFolderAction);
  connect(PreviewFileAction, &QAction::triggered, this, &Form1::PreviewFile);
  connect(PreviewFolderAction, &QAction::triggered, this, &Form1::PreviewFolder);
  const auto enablePreviews = [this] {
    PreviewFileAction->setEnabled(!Text3->text().isEmpty());
    PreviewFolderAction->setEnabled(!Text4->text().isEmpty());
  };
  connect(Text3, &QLineEdit::textChanged, this, enablePreviews);
  connect(Text4, &QLineEdit::textChanged, this, enablePreviews);
  enablePreviews();
  runHandler([this] { Form_Load(); });
}

Form1::~Form1() { Form_Unload(); }

void Form1::createControls() {
  Label2 = place(new QLabel(QStringLiteral("Искомый текст"), this), "Label2", 8, 8, 161, 17);
  Text1 = place(multiLineField(this), "Text1", 8, 24, 265, 113);
  Label3 = place(new QLabel(QStringLiteral("Текст замены"), this), "Label3", 280, 8, 161, 17);
  Text2 = place(multiLineField(this), "Text2", 280, 24, 265, 113);
  DlgFilename =
      place(new QLabel(QStringLiteral("DlgFilename"), this), "DlgFilename", 184, 8, 57, 17);
  DlgFilename->setVisible(false);
  Check2 = place(checkedBox(QStringLiteral("С учётом регистра символов"), this), "Check2", 560, 32,
                 201, 17);
  Check1 = place(checkedBox(QStringLiteral("Не изменять бинарные файлы"), this), "Check1", 560, 56,
                 209, 17);
  // The free rows under the check boxes above, 17 pixels each.
  Check3 = place(new QCheckBox(QStringLiteral("Регулярное выражение"), this), "Check3", 560, 80,
                 185, 17);
  Check4 = place(new QCheckBox(QStringLiteral("Слово целиком"), this), "Check4", 560, 97, 185, 17);
  PreserveCaseAction = new QAction(QStringLiteral("Сохранять регистр заменяемого"), this);
  PreserveCaseAction->setObjectName(QStringLiteral("PreserveCaseAction"));
  PreserveCaseAction->setCheckable(true);
  Text1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Text1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu* menu = Text1->createStandardContextMenu(at);
    menu->addSeparator();
    menu->addAction(PreserveCaseAction);
    menu->exec(Text1->viewport()->mapToGlobal(at));
    delete menu;
  });
  Label4 =
      place(new QLabel(QStringLiteral("Расширение файлов"), this), "Label4", 560, 120, 177, 17);
  Text5 = place(new QLineEdit(this), "Text5", 560, 136, 169, 19);
  Text3 = place(new QLineEdit(this), "Text3", 8, 160, 345, 19);
  Command1 = place(button(QStringLiteral("Обзор"), this), "Command1", 8, 184, 73, 25);
  Command2 =
      place(button(QStringLiteral("Заменить текст в файле"), this), "Command2", 104, 184, 249, 25);
  Text4 = place(new QLineEdit(this), "Text4", 384, 160, 345, 19);
  Command3 = place(button(QStringLiteral("Обзор"), this), "Command3", 384, 184, 73, 25);
  Command4 =
      place(button(QStringLiteral("Заменить текст в папке"), this), "Command4", 480, 184, 249, 25);

  Frame1 = place(new FrameBox(QStringLiteral("Сообщения:"), this), "Frame1", 8, 224, 729, 161);
  List1 = place(new MessageListBox(Frame1), "List1", 8, 16, 713, 95);
  Label1 =
      place(new QLabel(
                QStringLiteral("Системные, скрытые и файлы только для чтения не перезаписываются."),
                Frame1),
            "Label1", 8, 128, 377, 25);
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Command5 = place(button(QStringLiteral("О программе"), Frame1), "Command5", 632, 120, 89, 25);

  for (QLabel* label : {Label1, Label2, Label3, Label4, DlgFilename}) {
    label->setTextFormat(Qt::PlainText);
  }
}

void Form1::setFocusOrder() {
  QWidget* const order[] = {List1,  Command5, Command2, Check1, Text1, Text2, Command4,
                            Check2, Check3,   Check4,   Command1, Command3, Text3, Text4, Text5};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
    QWidget::setTabOrder(order[i], order[i + 1]);
  }
}

void Form1::Form_Load() { m_workFile = engine::ChooseWorkFile(m_pump); }

void Form1::Form_Unload() {
  // Files are open only inside a conversion, which closes them on every way out.
  try {
    if (!m_workFile.empty()) engine::DeleteWorkFile(m_workFile);
  } catch (...) {
    // Closing goes on whatever happened.
  }
}

void Form1::closeEvent(QCloseEvent* event) {
  if (m_busy) {
    m_closePending = true;
    event->ignore();
    return;
  }
  closeReview();
  Form_Unload();
  event->accept();
}

void Form1::Command2_Click() {
  runHandler([this] {
    DlgFilename->setText(Text3->text());
    if (DlgFilename->text().isEmpty()) return;
    BusyScope busy(*this);
    // The failure box is shown while the window is still busy.
    runHandler([this] {
      if (ConfirmAndConvertFile()) {
        m_prompter.inform(this, programTitle(), QString::fromUtf8(words::kOperationDone));
      }
    });
  });
}

bool Form1::ConfirmAndConvertFile() {
  const QString path = DlgFilename->text();
  const QString findText = fieldText(*Text1);
  const QString replaceText = fieldText(*Text2);
  if (!patternUsable(findText, replaceText)) return false;
  const QString question = QString::fromStdString(words::FileWarning(
      path.toStdString(), findText.toStdString(), replaceText.toStdString(), Check3->isChecked()));
  if (m_prompter.askYesNo(this, programTitle(), question) == Prompter::Answer::No) return false;
  if (m_stopRequested) return false;  // the program was ended while the question was up
  List1->Clear();
  const RunResult result =
      runTargets({{QFile::encodeName(path).toStdString(), false, std::nullopt}},
                 matchOptions(findText, replaceText), path);
  // The file's failure is the message box's, as it always was.
  if (result.namedFailure) throw *result.namedFailure;
  return result.rewritten;
}

void Form1::Command4_Click() {
  runHandler([this] {
    List1->ResetWidth();
    Text5->setText(QString::fromStdString(engine::NormalizeExtensions(Text5->text().toStdString())));
    if (Text4->text().isEmpty()) return;
    BusyScope busy(*this);
    bool started = false;
    // A failure (an existence test that could not be made) is shown while the window is busy;
    // the extent is applied whatever happened.
    runHandler([&] { started = ConfirmAndConvertFolder(Text4->text()); });
    if (started) {
      m_prompter.inform(this, programTitle(), QString::fromUtf8(words::kOperationDone));
    }
    List1->ApplyExtent();
  });
}

bool Form1::ConfirmAndConvertFolder(const QString& folder) {
  const QString findText = fieldText(*Text1);
  const QString replaceText = fieldText(*Text2);
  if (!patternUsable(findText, replaceText)) return false;
  const QString question = QString::fromStdString(words::FolderWarning(
      folder.toStdString(), findText.toStdString(), replaceText.toStdString(),
      Check3->isChecked()));
  if (m_prompter.askYesNo(this, programTitle(), question) == Prompter::Answer::No) return false;
  if (m_stopRequested) return false;  // the program was ended while the question was up
  List1->Clear();
  const std::optional<engine::RunTarget> target = folderTarget(folder);
  if (!target) return false;
  return !runTargets({*target}, matchOptions(findText, replaceText), folder).stopped;
}

std::optional<engine::RunTarget> Form1::folderTarget(const QString& folder) {
  std::string path = QFile::encodeName(folder).toStdString();
  bool exists = false;
  // Even a look at the folder is the run's, off the window's thread: a folder on a stalled
  // network mount must not freeze the window.
  runStoppable([&] {
    path = folderPath(path);
    // A path ending in "/" names the folder before it.
    std::string named = path;
    if (named.size() > 1 && named.back() == '/') named.pop_back();
    using namespace platform;
    exists = pathExists(named, kClassFolder | kClassNormal | kClassHidden | kClassSystem);
  });
  if (!exists) {
    addPathNotFound(path);
    return std::nullopt;
  }
  return engine::RunTarget::Folder(path);
}

std::string Form1::folderPath(std::string path) {
  // The path as typed, since a name may begin or end with a space; only a path that names no
  // folder as typed loses the spaces around it.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const auto first = path.find_first_not_of(' ');
    if (first != std::string::npos) path = path.substr(first, path.find_last_not_of(' ') - first + 1);
  }
  return path;
}

void Form1::Command1_Click() {
  runHandler([this] {
    const QString path = PickFile(
        QStringLiteral("Выберите файл для конвертирования"), QStringLiteral("Perl и PHP файлы"),
        QStringLiteral("*.cgi;*.pl;*.pm;*.php;*.php3;*.php4;*.inc;*.phtml"));
    if (!path.isEmpty()) Text3->setText(path);
  });
}

QString Form1::PickFile(const QString& title, const QString& filterName,
                        const QString& filterPatterns) {
  FileRequest request;
  request.title = title;
  request.filters = {{QStringLiteral("Все файлы"), QStringLiteral("*.*")},
                     {filterName, filterPatterns}};
  request.selectedFilter = 0;
  for (;;) {
    request.startFolder = QDir::currentPath();
    const FileAnswer answer = m_dialogs.openFile(this, request);
    if (answer.path.isEmpty()) return QString();
    // Only the filter survives into the next showing; everything else is set afresh.
    request.selectedFilter = answer.selectedFilter;
    using namespace platform;
    if (pathExists(QFile::encodeName(answer.path).toStdString(),
                   kClassNormal | kClassHidden | kClassSystem)) {
      QDir::setCurrent(QFileInfo(answer.path).absolutePath());
      qsizetype start = 0;
      while (start < answer.path.size() && answer.path[start] == u' ') ++start;
      return answer.path.mid(start);
    }
    m_prompter.reportFailure(this, programTitle(),
                             text::kFileNotFound + answer.path);
  }
}

void Form1::Command3_Click() {
  runHandler([this] {
    PickedFolder.clear();
    const QString path =
        PickFolder(this, QStringLiteral("Выберите папку, текст в файлах которой нужно заменить"));
    if (!path.isEmpty()) Text4->setText(path);
  });
}

QString Form1::PickFolder(QWidget* owner, const QString& prompt) {
  const QString path = m_dialogs.pickFolder(owner, prompt);
  if (!path.isEmpty()) PickedFolder = path;
  return PickedFolder;
}

void Form1::Command5_Click() {
  runHandler([this] {
    frmAbout about({m_prompter, m_links}, this);
    about.exec();
  });
}

bool Form1::patternUsable(const QString& findText, const QString& replaceText) {
  if (!Check3->isChecked()) return true;
  try {
    const engine::MatchOptions options = matchOptions(findText, replaceText);
    engine::CompiledPattern(options.findText, options.replaceText, !options.caseSensitive);
    return true;
  } catch (const platform::Error& e) {
    m_prompter.reportFailure(this, programTitle(), QString::fromStdString(words::ErrorText(e)));
    return false;
  }
}

engine::MatchOptions Form1::matchOptions(const QString& findText,
                                         const QString& replaceText) const {
  engine::MatchOptions options;
  options.findText = findText.toStdString();
  options.replaceText = replaceText.toStdString();
  options.asciiAsUtf8 = m_asciiAsUtf8;
  options.regex = Check3->isChecked();
  options.wholeWords = Check4->isChecked();
  options.preserveCase = PreserveCaseAction->isChecked();
  // A replacement in the case of what it replaces finds it in any case.
  options.caseSensitive = Check2->isChecked() && !options.preserveCase;
  options.skipBinary = Check1->isChecked();
  options.extensions = engine::ExtensionList(QFile::encodeName(Text5->text()).toStdString());
  return options;
}

void Form1::runHandler(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const StopRequested&) {
    endAfterSignal();
  } catch (...) {
    showFailure(std::current_exception());
  }
}

void Form1::StopOnSignal() {
  if (m_converting) {
    m_stopRequested = true;  // the pump ends the conversion, and runHandler the program
    m_stop = true;
    return;
  }
  endAfterSignal();
}

void Form1::endAfterSignal() noexcept {
  m_stopRequested = true;
  Form_Unload();
  if (m_exit) {
    m_exit(0);
    return;
  }
  // Every event loop ends, a message box's or a picker's too, whose callers then find the
  // request and do nothing more; main returns, and what it owns is torn down as usual.
  QCoreApplication::exit(0);
}

void Form1::showFailure(const std::exception_ptr& failure) noexcept {
  try {
    m_prompter.reportFailure(this, programTitle(), failureText(failure));
  } catch (...) {
    // Nothing is left to tell the user with; the program keeps running.
  }
}

}  // namespace ui
