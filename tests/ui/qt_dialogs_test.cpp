// The production pickers: Qt's own file and folder dialogs, answered as a user would answer
// them (typing a name, choosing a filter, pressing a button) from a timer while they are up.
// Which files each filter lists, what a typed name gives back, the "Не удаётся найти файл "
// loop from the button to the field, the folder window with its prompt, the file list in
// Russian in the C locale the tests run in, and no settings left behind in the user's
// configuration.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <deque>
#include <functional>
#include <memory>

#include "ui/desktop_link_opener.h"
#include "ui/form1.h"
#include "ui/qt_dialog_provider.h"
#include "ui/qt_prompter.h"
#include "ui/translation.h"
#include "ui_test_support.h"

using ui_testing::control;
using ui_testing::writeBytes;

namespace {

const QString kPerlAndPhp =
    QStringLiteral("Perl и PHP файлы (*.cgi;*.pl;*.pm;*.php;*.php3;*.php4;*.inc;*.phtml)");
const QString kPrompt = QStringLiteral("Выберите папку, текст в файлах которой нужно заменить");
const char* const kNoTranslation = "Qt's Russian translation (qt6-translations-l10n) is not installed";

/// Answers each modal window that comes up with the next action, as a user would. A window no
/// action is left for, or one its action left open for three seconds, is closed so that the test
/// goes on, and counted in `unanswered`.
class ModalScript : public QObject {
 public:
  using Action = std::function<void(QWidget&)>;

  ModalScript() {
    connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
    m_timer.start(10);
  }

  void then(Action action) { m_actions.push_back(std::move(action)); }
  int left() const { return int(m_actions.size()); }

  int unanswered = 0;

 private:
  void poll() {
    if (m_running) return;  // an action is waiting for something itself
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible()) return;
    if (w == m_current) {
      if (++m_ticks > 300) close(*w);
      return;
    }
    m_current = w;
    m_ticks = 0;
    if (m_actions.empty()) {
      close(*w);
      return;
    }
    Action action = std::move(m_actions.front());
    m_actions.pop_front();
    m_running = true;
    action(*w);
    m_running = false;
  }

  void close(QWidget& w) {
    ++unanswered;
    if (auto* dialog = qobject_cast<QDialog*>(&w)) {
      dialog->reject();
    } else {
      w.close();
    }
  }

  QTimer m_timer;
  std::deque<Action> m_actions;
  QPointer<QWidget> m_current;
  int m_ticks = 0;
  bool m_running = false;
};

/// The names the dialog's file view lists, sorted.
QStringList listed(const QFileDialog& dialog) {
  auto* view = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"));
  if (view == nullptr || view->model() == nullptr) return {};
  QStringList names;
  const QModelIndex root = view->rootIndex();
  for (int row = 0; row < view->model()->rowCount(root); ++row) {
    names << view->model()->index(row, 0, root).data().toString();
  }
  names.sort();
  return names;
}

/// Waits until the dialog lists `expected` (the model reads folders in a thread of its own).
QStringList waitForListing(const QFileDialog& dialog, QStringList expected) {
  expected.sort();
  // On a timeout the caller compares what is listed by then.
  static_cast<void>(QTest::qWaitFor([&] { return listed(dialog) == expected; }, 5000));
  return listed(dialog);
}

QComboBox* filterBox(const QFileDialog& dialog) {
  return dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
}

QLineEdit* nameField(const QFileDialog& dialog) {
  return dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

QStringList filterTexts(const QComboBox* box) {
  QStringList texts;
  for (int i = 0; box != nullptr && i < box->count(); ++i) texts << box->itemText(i);
  return texts;
}

QPushButton* acceptButton(const QFileDialog& dialog) {
  auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  return buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
}

/// Types `name` into the file name field, closes the completion list and presses the dialog's
/// accept button, as a user would with the dialog active.
void typeAndAccept(QFileDialog& dialog, const QString& name) {
  QLineEdit* field = nameField(dialog);
  if (field == nullptr || acceptButton(dialog) == nullptr) return;
  // Without the focus the dialog adds each folder typed on the way to its selection.
  if (!QTest::qWaitForWindowActive(dialog.window())) return;
  field->setFocus();
  for (const QChar c : name) {
    // Keys go to the completion list while it is open, which hands them to the field.
    QWidget* target = QApplication::activePopupWidget();
    QTest::sendKeyEvent(QTest::Click, target ? target : field, Qt::Key_unknown, QString(c),
                        Qt::NoModifier);  // keyClicks takes ASCII only
  }
  // The completion list would take the click, as it takes a user's.
  if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  QTest::mouseClick(acceptButton(dialog), Qt::LeftButton);
}

ui::FileRequest scriptsRequest(const QString& folder, int selectedFilter) {
  ui::FileRequest request;
  request.title = QStringLiteral("Выберите файл для конвертирования");
  request.filters = {{QStringLiteral("Все файлы"), QStringLiteral("*.*")},
                     {QStringLiteral("Perl и PHP файлы"),
                      QStringLiteral("*.cgi;*.pl;*.pm;*.php;*.php3;*.php4;*.inc;*.phtml")}};
  request.selectedFilter = selectedFilter;
  request.startFolder = folder;
  return request;
}

/// The texts of the row for `name` in the dialog's detail view; empty until it is listed.
QStringList detailRow(const QFileDialog& dialog, const QString& name) {
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (view == nullptr || view->model() == nullptr) return {};
  const QAbstractItemModel& model = *view->model();
  const QModelIndex root = view->rootIndex();
  for (int row = 0; row < model.rowCount(root); ++row) {
    if (model.index(row, 0, root).data().toString() != name) continue;
    QStringList texts;
    for (int column = 0; column < model.columnCount(root); ++column) {
      texts << model.index(row, column, root).data().toString();
    }
    return texts;
  }
  return {};
}

bool sameFolder(const QString& a, const QString& b) {
  return QFileInfo(a).canonicalFilePath() == QFileInfo(b).canonicalFilePath();
}

}  // namespace

class QtDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void eachFilterListsItsPatterns();
  void fileDialogOpensAsAskedInRussian();
  void typedNameIsReturnedWhetherItExists_data();
  void typedNameIsReturnedWhetherItExists();
  void missingFileLoopFromTheButtonToTheField();
  void folderWindowShowsThePromptAndOnlyFolders();
  void folderWindowPicksTheRoot();
  void escapeCancelsTheFolderWindow();
  void dialogsLeaveNoSettingsBehind();
  void fileListIsRussianAndWhole();
  void sizesAreInRussianUnits_data();
  void sizesAreInRussianUnits();

 private:
  bool m_translated = false;  // Qt's Russian translation was found
  QTemporaryDir m_config;
  std::unique_ptr<QTemporaryDir> m_temp;
  QString m_startFolder;
  std::unique_ptr<QWidget> m_owner;  // made after the translation is installed
};

void QtDialogsTest::initTestCase() {
  // Whatever Qt writes to the user's configuration lands here, where the tests can see it.
  QVERIFY(m_config.isValid());
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
  m_translated = ui::installQtTranslation(*QCoreApplication::instance());
  // A window that exists when the translation comes gets a late LanguageChange, which would
  // turn the dialogs' texts back.
  m_owner = std::make_unique<QWidget>();
}

void QtDialogsTest::init() {
  m_startFolder = QDir::currentPath();
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* name : {"a.php", "b.PL", "c.inc", "d.phtml", "e.php3", "f.pm", "g.cgi", "h.php4",
                           "notes.txt", "README", "page.html", "x.pl.bak"}) {
    QVERIFY(writeBytes(m_temp->filePath(QString::fromLatin1(name)), "x"));
  }
  QVERIFY(QDir(m_temp->path()).mkdir(QStringLiteral("sub.d")));
}

void QtDialogsTest::cleanup() {
  QDir::setCurrent(m_startFolder);
  m_temp.reset();
}

void QtDialogsTest::eachFilterListsItsPatterns() {
  ui::QtDialogProvider dialogs;
  ModalScript script;
  QStringList shownFilters;
  int initialIndex = -1;
  QStringList scripts;
  QStringList all;
  script.then([&](QWidget& w) {
    auto* dialog = qobject_cast<QFileDialog*>(&w);
    if (dialog == nullptr) return;
    QComboBox* box = filterBox(*dialog);
    shownFilters = filterTexts(box);
    initialIndex = box ? box->currentIndex() : -1;
    scripts = waitForListing(*dialog, {"a.php", "b.PL", "c.inc", "d.phtml", "e.php3", "f.pm",
                                       "g.cgi", "h.php4", "sub.d"});
    // The user picks "Все файлы (*.*)" from the list.
    if (box) QTest::keyClick(box, Qt::Key_Up);
    all = waitForListing(*dialog,
                         QDir(m_temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot));
    dialog->reject();
  });
  const ui::FileAnswer answer =
      dialogs.openFile(m_owner.get(), scriptsRequest(m_temp->path(), /*selectedFilter=*/1));

  QCOMPARE(script.unanswered, 0);
  QCOMPARE(shownFilters, QStringList({QStringLiteral("Все файлы (*.*)"), kPerlAndPhp}));
  QCOMPARE(initialIndex, 1);
  // Every listed pattern matches, in either case, as on Windows; folders are always listed.
  QCOMPARE(scripts, QStringList({"a.php", "b.PL", "c.inc", "d.phtml", "e.php3", "f.pm", "g.cgi",
                                 "h.php4", "sub.d"}));
  // "*.*" lists names without a dot as well.
  QCOMPARE(all, QStringList({"README", "a.php", "b.PL", "c.inc", "d.phtml", "e.php3", "f.pm",
                             "g.cgi", "h.php4", "notes.txt", "page.html", "sub.d", "x.pl.bak"}));
  QCOMPARE(answer.path, QString());
  QCOMPARE(answer.selectedFilter, 0);
}

void QtDialogsTest::fileDialogOpensAsAskedInRussian() {
  if (!m_translated) QSKIP(kNoTranslation);
  ui::QtDialogProvider dialogs;
  ModalScript script;
  QString title;
  QString folder;
  QString typed = QStringLiteral("?");
  QWidget* parent = nullptr;
  bool modal = false;
  QString acceptText;
  script.then([&](QWidget& w) {
    auto* dialog = qobject_cast<QFileDialog*>(&w);
    if (dialog == nullptr) return;
    title = dialog->windowTitle();
    folder = dialog->directory().path();
    typed = nameField(*dialog) ? nameField(*dialog)->text() : QStringLiteral("no field");
    parent = dialog->parentWidget();
    modal = dialog->isModal();
    acceptText = acceptButton(*dialog) ? acceptButton(*dialog)->text() : QString();
    dialog->reject();
  });
  const ui::FileAnswer answer =
      dialogs.openFile(m_owner.get(), scriptsRequest(m_temp->path(), /*selectedFilter=*/0));
  QCOMPARE(script.unanswered, 0);
  QCOMPARE(title, QStringLiteral("Выберите файл для конвертирования"));
  QVERIFY(sameFolder(folder, m_temp->path()));
  QCOMPARE(typed, QString());
  QCOMPARE(parent, m_owner.get());
  QVERIFY(modal);
  QCOMPARE(acceptText.remove(u'&'), QStringLiteral("Открыть"));
  QCOMPARE(answer.path, QString());
  QCOMPARE(answer.selectedFilter, 0);
}

void QtDialogsTest::typedNameIsReturnedWhetherItExists_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("fullPath");
  QTest::newRow("listed file") << QStringLiteral("a.php") << false;
  QTest::newRow("file the filter hides") << QStringLiteral("notes.txt") << false;
  QTest::newRow("no such file") << QStringLiteral("нет такого.php") << false;
  QTest::newRow("full path elsewhere") << QStringLiteral("sub.d/новый.pl") << true;
}

void QtDialogsTest::typedNameIsReturnedWhetherItExists() {
  QFETCH(QString, name);
  QFETCH(bool, fullPath);
  const QString typed = fullPath ? m_temp->filePath(name) : name;
  ui::QtDialogProvider dialogs;
  ModalScript script;
  script.then([&](QWidget& w) {
    if (auto* dialog = qobject_cast<QFileDialog*>(&w)) typeAndAccept(*dialog, typed);
  });
  const ui::FileAnswer answer =
      dialogs.openFile(m_owner.get(), scriptsRequest(m_temp->path(), /*selectedFilter=*/1));
  QCOMPARE(script.unanswered, 0);
  QVERIFY(sameFolder(QFileInfo(answer.path).path(), QFileInfo(m_temp->filePath(name)).path()));
  QCOMPARE(QFileInfo(answer.path).fileName(), QFileInfo(name).fileName());
  QCOMPARE(answer.selectedFilter, 1);
}

void QtDialogsTest::missingFileLoopFromTheButtonToTheField() {
  QVERIFY(QDir::setCurrent(m_temp->path()));
  const QString missing = QDir(QDir::currentPath()).filePath(QStringLiteral("нет.php"));
  ui::QtPrompter prompter;
  ui::QtDialogProvider dialogs;
  ui::DesktopLinkOpener links;
  ui::Form1 form({prompter, dialogs, links});
  form.show();
  QVERIFY(QTest::qWaitForWindowActive(&form));

  struct Seen {
    QString folder;
    QString typed;
    int filter = -1;
  };
  QList<Seen> dialogsSeen;
  QString boxText;
  QString boxTitle;
  QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
  auto look = [&](QFileDialog& dialog) {
    dialogsSeen.push_back({dialog.directory().path(),
                           nameField(dialog) ? nameField(dialog)->text() : QStringLiteral("?"),
                           filterBox(dialog) ? filterBox(dialog)->currentIndex() : -1});
  };
  ModalScript script;
  script.then([&](QWidget& w) {
    auto* dialog = qobject_cast<QFileDialog*>(&w);
    if (dialog == nullptr) return;
    look(*dialog);
    if (filterBox(*dialog)) QTest::keyClick(filterBox(*dialog), Qt::Key_Down);
    typeAndAccept(*dialog, QStringLiteral("нет.php"));
  });
  script.then([&](QWidget& w) {
    auto* box = qobject_cast<QMessageBox*>(&w);
    if (box == nullptr) return;
    boxText = box->text();
    boxTitle = box->windowTitle();
    boxIcon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  script.then([&](QWidget& w) {
    auto* dialog = qobject_cast<QFileDialog*>(&w);
    if (dialog == nullptr) return;
    look(*dialog);
    typeAndAccept(*dialog, QStringLiteral("a.php"));
  });
  QTest::mouseClick(control<QPushButton>(form, "Command1"), Qt::LeftButton);

  QCOMPARE(script.unanswered, 0);
  QCOMPARE(script.left(), 0);
  QCOMPARE(boxText, QStringLiteral("Не удаётся найти файл ") + missing);
  QCOMPARE(boxTitle, QStringLiteral("Tarvel"));
  QCOMPARE(boxIcon, QMessageBox::Critical);
  QCOMPARE(dialogsSeen.size(), 2);
  for (const Seen& seen : dialogsSeen) {
    QVERIFY(sameFolder(seen.folder, m_temp->path()));
    QCOMPARE(seen.typed, QString());
  }
  QCOMPARE(dialogsSeen[0].filter, 0);
  QCOMPARE(dialogsSeen[1].filter, 1);  // the filter the user had chosen
  QCOMPARE(control<QLineEdit>(form, "Text3")->text(),
           QDir(QDir::currentPath()).filePath(QStringLiteral("a.php")));
}

void QtDialogsTest::folderWindowShowsThePromptAndOnlyFolders() {
  if (!m_translated) QSKIP(kNoTranslation);
  ui::QtDialogProvider dialogs;
  ModalScript script;
  QString title;
  QString prompt;
  bool promptAbove = false;
  bool browserShown = false;
  QWidget* parent = nullptr;
  QStringList folders;
  QString acceptText;
  script.then([&](QWidget& w) {
    title = w.windowTitle();
    parent = w.parentWidget();
    auto* label = w.findChild<QLabel*>(QStringLiteral("Prompt"));
    auto* browser = w.findChild<QFileDialog*>();
    if (label == nullptr || browser == nullptr) return;
    prompt = label->isVisible() ? label->text() : QString();
    promptAbove = label->geometry().bottom() < browser->geometry().top();
    browserShown = browser->isVisible() && browser->isWindow() == false;
    acceptText = acceptButton(*browser) ? acceptButton(*browser)->text() : QString();
    browser->setDirectory(m_temp->path());
    folders = waitForListing(*browser, {"sub.d"});
    typeAndAccept(*browser, QStringLiteral("sub.d"));
  });
  const QString picked = dialogs.pickFolder(m_owner.get(), kPrompt);
  QCOMPARE(script.unanswered, 0);
  QCOMPARE(title, QStringLiteral("Обзор папок"));
  QCOMPARE(parent, m_owner.get());
  QCOMPARE(prompt, kPrompt);
  QVERIFY(promptAbove);
  QVERIFY2(browserShown, "the folders are shown inside the window, under the prompt");
  QCOMPARE(acceptText.remove(u'&'), QStringLiteral("Выбрать"));
  QCOMPARE(folders, QStringList({"sub.d"}));  // no files
  QVERIFY(sameFolder(picked, m_temp->filePath(QStringLiteral("sub.d"))));
}

void QtDialogsTest::folderWindowPicksTheRoot() {
  ui::QtDialogProvider dialogs;
  ModalScript script;
  script.then([&](QWidget& w) {
    auto* browser = w.findChild<QFileDialog*>();
    if (browser == nullptr || acceptButton(*browser) == nullptr) return;
    browser->setDirectory(QStringLiteral("/"));
    QTest::mouseClick(acceptButton(*browser), Qt::LeftButton);
  });
  QCOMPARE(dialogs.pickFolder(m_owner.get(), kPrompt), QStringLiteral("/"));
  QCOMPARE(script.unanswered, 0);
}

void QtDialogsTest::escapeCancelsTheFolderWindow() {
  ui::QtDialogProvider dialogs;
  ModalScript script;
  script.then([&](QWidget& w) {
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w, Qt::Key_Escape);
  });
  QCOMPARE(dialogs.pickFolder(m_owner.get(), kPrompt), QString());
  QCOMPARE(script.unanswered, 0);
}

void QtDialogsTest::dialogsLeaveNoSettingsBehind() {
  const QString settingsFile = QDir(m_config.path()).filePath(QStringLiteral("QtProject.conf"));
  {
    // Qt's file dialog on its own writes its history to the user's QtProject.conf ...
    QFileDialog bare(m_owner.get());
    bare.setOption(QFileDialog::DontUseNativeDialog);
    bare.setDirectory(m_temp->path());
  }
  QVERIFY2(QFile::exists(settingsFile), "Qt's file dialog no longer writes its settings");
  QVERIFY(QFile::remove(settingsFile));

  // ... but not while the program's dialogs are in use, nor afterwards.
  {
    ui::QtDialogProvider dialogs;
    ModalScript script;
    script.then([](QWidget& w) {
      if (auto* dialog = qobject_cast<QFileDialog*>(&w))
        typeAndAccept(*dialog, QStringLiteral("a.php"));
    });
    script.then([&](QWidget& w) {
      if (auto* browser = w.findChild<QFileDialog*>()) {
        typeAndAccept(*browser, m_temp->filePath(QStringLiteral("sub.d")));
      }
    });
    QVERIFY(!dialogs.openFile(m_owner.get(), scriptsRequest(m_temp->path(), 1)).path.isEmpty());
    QVERIFY(!dialogs.pickFolder(m_owner.get(), kPrompt).isEmpty());
    QCOMPARE(script.unanswered, 0);
  }
  QCOMPARE(QDir(m_config.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
           QStringList());
}

// The tests run in the C locale, in which Qt's file list alone writes English words and dates
// too long for their column.
void QtDialogsTest::fileListIsRussianAndWhole() {
  if (!m_translated) QSKIP(kNoTranslation);
  const QString path = m_temp->filePath(QStringLiteral("5000.php"));
  QVERIFY(writeBytes(path, QByteArray(5000, 'x')));
  {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime(QDate(2024, 12, 28), QTime(20, 58)),
                             QFileDevice::FileModificationTime));
  }
  ui::QtDialogProvider dialogs;
  ModalScript script;
  QStringList file;
  QStringList folder;
  QString cancel;
  QList<int> spare;  // of the size and date columns, what is left beside their widest text
  script.then([&](QWidget& w) {
    auto* dialog = qobject_cast<QFileDialog*>(&w);
    auto* view = dialog ? dialog->findChild<QTreeView*>(QStringLiteral("treeView")) : nullptr;
    if (view == nullptr) return;
    static_cast<void>(QTest::qWaitFor(
        [&] { return !detailRow(*dialog, QStringLiteral("5000.php")).value(3).isEmpty(); }, 5000));
    file = detailRow(*dialog, QStringLiteral("5000.php"));
    folder = detailRow(*dialog, QStringLiteral("sub.d"));
    auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    cancel = buttons ? buttons->button(QDialogButtonBox::Cancel)->text() : QString();
    const QAbstractItemView& items = *view;  // the hint is public there
    for (const int column : {1, 3}) {
      spare << view->header()->sectionSize(column) - items.sizeHintForColumn(column);
    }
    dialog->reject();
  });
  dialogs.openFile(m_owner.get(), scriptsRequest(m_temp->path(), /*selectedFilter=*/0));
  QCOMPARE(script.unanswered, 0);
  QCOMPARE(cancel.remove(u'&'), QStringLiteral("Отмена"));
  QCOMPARE(file.value(1), QStringLiteral("4,9 КБ"));
  QCOMPARE(file.value(3), QStringLiteral("28.12.2024 20:58"));
  QCOMPARE(folder.value(1), QString());
  QCOMPARE(folder.value(2), QStringLiteral("Папка"));
  QCOMPARE(spare.size(), 2);
  for (const int left : spare) QVERIFY2(left >= 0, qPrintable(QString::number(left)));
}

void QtDialogsTest::sizesAreInRussianUnits_data() {
  QTest::addColumn<qint64>("bytes");
  QTest::addColumn<QString>("shown");
  QTest::newRow("empty") << qint64{0} << QStringLiteral("0 Б");
  QTest::newRow("bytes") << qint64{1023} << QStringLiteral("1\u00A0023 Б");
  QTest::newRow("one KB") << qint64{1024} << QStringLiteral("1,0 КБ");
  QTest::newRow("below 100") << qint64{102297} << QStringLiteral("99,9 КБ");
  QTest::newRow("from 100") << qint64{102400} << QStringLiteral("100 КБ");
  QTest::newRow("gigabytes") << (qint64{5} << 30) << QStringLiteral("5,0 ГБ");
  QTest::newRow("beyond the units") << (qint64{2048} << 40) << QStringLiteral("2\u00A0048 ТБ");
}

void QtDialogsTest::sizesAreInRussianUnits() {
  QFETCH(qint64, bytes);
  QFETCH(QString, shown);
  QCOMPARE(ui::QtDialogProvider::sizeText(bytes), shown);
}

QTEST_MAIN(QtDialogsTest)
#include "qt_dialogs_test.moc"
