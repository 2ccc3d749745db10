// The window's runs: the folder command against tarvel-cli on identical trees, Esc in the
// middle of a run, and the preview that changes nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <map>
#include <memory>
#include <set>

#include "engine/undo/undo.h"
#include "platform/code_page.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "tests/support/strace_log.h"
#include "ui/form1.h"
#include "ui_test_support.h"
#include "words/texts.h"
#include "words/undo_lines.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::folderQuestion;
using ui_testing::kDone;
using ui_testing::readBytes;
using ui_testing::writeBytes;

namespace {

QByteArray cp1251(const char* utf8) {
  static const auto page = platform::CodePage::byName("CP1251");
  return QByteArray::fromStdString(page->encode(utf8));
}

// Every file below `root` by relative path: its bytes, and its inode and times as a run leaves
// them.
struct Seen {
  QByteArray bytes;
  ino_t inode = 0;
  long long changed = 0;
  bool operator==(const Seen&) const = default;
};
std::map<QString, Seen> snapshot(const QString& root) {
  std::map<QString, Seen> files;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    files[QDir(root).relativeFilePath(path)] = {readBytes(path), st.st_ino,
                                                st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
  }
  return files;
}

// A tree with every kind of file the walk meets.
void populate(const QString& root) {
  auto put = [&](const QString& name, const QByteArray& bytes) {
    QDir(root).mkpath(QFileInfo(root + QLatin1Char('/') + name).path());
    writeBytes(root + QLatin1Char('/') + name, bytes);
    return root + QLatin1Char('/') + name;
  };
  put(QStringLiteral("a.txt"), cp1251("Привет, мир!\r\nпривет ПРИВЕТ пРиВеТ"));
  put(QStringLiteral("b.bin"), cp1251("привет") + QByteArray("\0", 1));
  put(QStringLiteral("c.TXT"), cp1251("привет"));
  put(QStringLiteral("noext"), cp1251("привет"));
  put(QStringLiteral(".hidden.txt"), cp1251("привет"));
  chmod(QFile::encodeName(put(QStringLiteral("ro.txt"), cp1251("привет"))).constData(), 0444);
  QFile::link(QStringLiteral("a.txt"), root + QStringLiteral("/link.txt"));
  put(QStringLiteral("empty.txt"), QByteArray());
  QByteArray big(65529 - 3, 'x');
  big += cp1251("привет") + QByteArray(70000, 'y') + cp1251("ПРИВЕТ");
  put(QStringLiteral("sub/big.txt"), big);
  put(QStringLiteral("sub/g.bin"), QByteArray("\x1b", 1) + cp1251("привет"));
  put(QStringLiteral("zz/utf8.txt"), QByteArray("Привет, ёж! ПРИВЕТ"));
  for (int i = 0; i < 40; ++i) {
    // Many small files, binary and protected ones among them, so that workers finish out of
    // order.
    const QString name = QStringLiteral("many/%1.txt").arg(i);
    const QString path =
        put(name, i % 7 == 0 ? cp1251("привет") + QByteArray("\0", 1)
                             : cp1251(i % 2 ? "привет и привет" : "нет"));
    if (i % 9 == 0) chmod(QFile::encodeName(path).constData(), 0444);
  }
}

// `summary` with `files` moved from the skipped to the errors (back where negative), and its
// files rewritten without an occurrence counted with those left alone when `joinUnchanged`.
QString reworded(QString summary, int files, bool joinUnchanged) {
  const QRegularExpression counts(
      QStringLiteral("переписано без изменений: (\\d+), без изменений: (\\d+), "
                     "пропущено: (\\d+), ошибок: (\\d+)"));
  const QRegularExpressionMatch m = counts.match(summary);
  if (!m.hasMatch()) return summary;
  const auto n = [&](int i) { return m.captured(i).toInt(); };
  QString now = QStringLiteral("пропущено: %1, ошибок: %2").arg(n(3) - files).arg(n(4) + files);
  now = (joinUnchanged ? QStringLiteral("без изменений: %1, ").arg(n(1) + n(2))
                       : QStringLiteral("переписано без изменений: %1, без изменений: %2, ")
                             .arg(n(1))
                             .arg(n(2))) +
        now;
  return summary.replace(m.capturedStart(), m.capturedLength(), now);
}

}  // namespace

class WindowRunTest : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:
  void folderCommandMatchesTarvelCli_data();
  void folderCommandMatchesTarvelCli();
  void escStopsARunThatCanBeUndone();
  void previewChangesNothingAndCountsWhatTheRunDoes();
  void escStopsAPreviewAndSaysSo();
  void aRunWaitingForTheUndoStoreSaysSo();
  void theWindowsThreadTouchesNoFileOfARun();

 private:
  QStringList lines() const;
  void windowMade() override {
    m_list = control<ui::MessageListBox>(*m_form, "List1");
    QVERIFY(m_list);
  }

  ui::MessageListBox* m_list = nullptr;
};


QStringList WindowRunTest::lines() const {
  QStringList all;
  for (int i = 0; i < m_list->lineCount(); ++i) all << m_list->line(i);
  return all;
}

void WindowRunTest::folderCommandMatchesTarvelCli_data() {
  QTest::addColumn<QStringList>("options");
  QTest::addColumn<bool>("caseSensitive");
  QTest::addColumn<bool>("skipBinary");
  QTest::addColumn<QString>("extension");  // as typed in the window
  QTest::addColumn<QByteArray>("utf8After");  // zz/utf8.txt after the run
  const QByteArray same("Привет, ёж! ПРИВЕТ"), anyCase("мир, ёж! мир");
  QTest::newRow("one job") << QStringList{QStringLiteral("--jobs"), QStringLiteral("1")} << true
                           << true << QString() << same;
  QTest::newRow("four jobs, any case")
      << QStringList{QStringLiteral("--jobs"), QStringLiteral("4"), QStringLiteral("-i")} << false
      << true << QString() << anyCase;
  QTest::newRow("binary files too")
      << QStringList{QStringLiteral("--include-binary"), QStringLiteral("-i")} << false << false
      << QString() << anyCase;
  QTest::newRow("an extension")
      << QStringList{QStringLiteral("--ext"), QStringLiteral(" txt ")} << true << true
      << QStringLiteral(" txt ") << same;
  QTest::newRow("an extension of another case")
      << QStringList{QStringLiteral("--ext"), QStringLiteral("TXT"), QStringLiteral("-i")} << false
      << true << QStringLiteral("TXT") << same;
  QTest::newRow("several extensions")
      << QStringList{QStringLiteral("--ext"), QStringLiteral("txt,bin"),
                     QStringLiteral("--include-binary")}
      << true << false
      << QStringLiteral(".txt, .bin") << same;
  QTest::newRow("several extensions with stars")
      << QStringList{QStringLiteral("-e"), QStringLiteral("TXT"), QStringLiteral("-e"),
                     QStringLiteral("txt")}
      << true << true << QStringLiteral("*.TXT;*.txt") << same;
}

// The window's folder command and tarvel-cli (with --rewrite-all, the window's rule) give the
// same files, and the same lines in the same order, the summary included; only a protected
// file reads as a skip on the command line, and is counted so there, while the window's summary
// counts it among the errors its lines say it is, and tells the files it rewrote unchanged apart.
void WindowRunTest::folderCommandMatchesTarvelCli() {
  QFETCH(QStringList, options);
  QFETCH(bool, caseSensitive);
  QFETCH(bool, skipBinary);
  QFETCH(QString, extension);
  QFETCH(QByteArray, utf8After);
  const QString window = m_temp->file(QStringLiteral("window"));
  const QString cli = m_temp->file(QStringLiteral("cli"));
  populate(window);
  populate(cli);

  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("привет"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("мир"));
  control<QCheckBox>(*m_form, "Check2")->setChecked(caseSensitive);
  control<QCheckBox>(*m_form, "Check1")->setChecked(skipBinary);
  control<QLineEdit>(*m_form, "Text5")->setText(extension);
  control<QLineEdit>(*m_form, "Text4")->setText(window);
  m_prompter.expectQuestion(folderQuestion(window, QStringLiteral("привет"), QStringLiteral("мир")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  QTest::mouseClick(control<QPushButton>(*m_form, "Command4"), Qt::LeftButton);

  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  process.setProcessEnvironment(env);
  process.start(QStringLiteral(TARVEL_CLI),
                QStringList{QStringLiteral("--yes"), QStringLiteral("--rewrite-all"),
                            QStringLiteral("--codepage"), QStringLiteral("CP1251"),
                            QStringLiteral("привет"), QStringLiteral("мир")} +
                    options + QStringList{cli});
  QVERIFY(process.waitForFinished(60000));
  QStringList got = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
  QCOMPARE(got.takeLast(), kDone);

  QStringList expected;
  int refusedLines = 0, errorLines = 0;
  for (QString line : lines()) {
    line.replace(window, cli);
    const QString refused = QStringLiteral("!_ Ошибка 75 ");
    // The link is counted apart, among the links.
    const bool counted = !line.endsWith(QStringLiteral("/link.txt"));
    if (counted && line.startsWith(QStringLiteral("!_ Ошибка "))) ++errorLines;
    if (line.startsWith(refused)) {
      line = QStringLiteral("!_  пропущен: ") + line.mid(line.indexOf(QStringLiteral(": "), refused.size()) + 2);
      if (counted) ++refusedLines;
    }
    expected << line;
  }
  // The window's summary counts every line that says "Ошибка" as an error.
  QVERIFY2(expected.last().contains(QStringLiteral("ошибок: %1").arg(errorLines)),
           qPrintable(expected.last()));
  expected.last() = reworded(expected.last(), -refusedLines, true);
  QCOMPARE(got, expected);
  QVERIFY(expected.last().startsWith(QStringLiteral("Файлов: ")));
  const bool failed = !expected.last().contains(QRegularExpression(QStringLiteral("ошибок: 0(,|$)")));
  QCOMPARE(process.exitCode(), failed ? 1 : 0);
  std::map<QString, QByteArray> windowFiles, cliFiles;
  for (const auto& [name, seen] : snapshot(window)) windowFiles[name] = seen.bytes;
  for (const auto& [name, seen] : snapshot(cli)) cliFiles[name] = seen.bytes;
  QVERIFY(windowFiles == cliFiles);
  QCOMPARE(readBytes(window + QStringLiteral("/zz/utf8.txt")), utf8After);
}

// Esc in the middle of a folder run: the run stops between chunks, every file is either as it
// was or fully converted, the list says how far it got, and the run can be undone.
void WindowRunTest::escStopsARunThatCanBeUndone() {
  const QString root = m_temp->file(QStringLiteral("big"));
  QVERIFY(QDir().mkpath(root));
  QByteArray text;
  while (text.size() < (4 << 20)) text += "ab ab ab ab ab ab\n";
  for (int i = 0; i < 24; ++i) QVERIFY(writeBytes(root + QStringLiteral("/f%1.txt").arg(i, 2, 10, QLatin1Char('0')), text));
  QByteArray converted = text;
  converted.replace("ab", "xyz");
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("ab"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("xyz"));
  control<QLineEdit>(*m_form, "Text4")->setText(root);
  // Esc comes once a file is done: the window looks at its events while the run goes on.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    for (int i = 0; i < 24; ++i) {
      QFile file(root + QStringLiteral("/f%1.txt").arg(i, 2, 10, QLatin1Char('0')));
      if (file.open(QIODevice::ReadOnly) && file.read(3) == "xyz") {
        watch.stop();
        QCoreApplication::postEvent(qApp, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
        return;
      }
    }
  });
  m_prompter.expectQuestion(folderQuestion(root, QStringLiteral("ab"), QStringLiteral("xyz")),
                            Answer::Yes, [&] { watch.start(0); });
  QTest::mouseClick(control<QPushButton>(*m_form, "Command4"), Qt::LeftButton);
  QCOMPARE(m_form->windowTitle(), QStringLiteral("Tarvel"));
  const QStringList said = lines();
  QVERIFY2(said.size() >= 2 && said[said.size() - 2].startsWith(QStringLiteral("Замена остановлена. Обработано файлов: ")),
           qPrintable(said.join(u'\n')));
  int whole = 0, untouched = 0;
  for (int i = 0; i < 24; ++i) {
    const QByteArray now = readBytes(root + QStringLiteral("/f%1.txt").arg(i, 2, 10, QLatin1Char('0')));
    QVERIFY2(now == text || now == converted, qPrintable(QString::number(i)));
    (now == text ? untouched : whole) += 1;
  }
  QVERIFY2(untouched > 0, "the run went to its end before Esc");
  // Of the work files, only the window's own is left (removed when it closes).
  const QStringList left = QDir(m_temp->path()).entryList(QDir::Files | QDir::Hidden);
  QVERIFY2(left.isEmpty() || left == QStringList{QStringLiteral("k5ywhqx")}, qPrintable(left.join(u' ')));

  m_prompter.expectQuestion(
      QStringLiteral("Вернуть файлы, изменённые заменой «ab» → «xyz» в %1 (%2)?")
          .arg(root.size() > 40 ? root.left(40) + QStringLiteral("…") : root,
               QString::fromStdString(words::FilesText(static_cast<std::size_t>(whole)))),
      Answer::Yes);
  m_prompter.expectInformation(kDone);
  m_form->findChild<QAction*>(QStringLiteral("UndoAction"))->trigger();
  for (int i = 0; i < 24; ++i) {
    QCOMPARE(readBytes(root + QStringLiteral("/f%1.txt").arg(i, 2, 10, QLatin1Char('0'))), text);
  }
}

// The preview asks nothing, changes nothing (bytes, inodes, change times), keeps nothing for
// undo, and counts what the run then does.
void WindowRunTest::previewChangesNothingAndCountsWhatTheRunDoes() {
  const QString root = m_temp->file(QStringLiteral("site"));
  populate(root);
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("привет"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("мир"));
  auto* preview = m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"));
  QVERIFY(preview);
  QVERIFY(!preview->isEnabled());
  control<QLineEdit>(*m_form, "Text4")->setText(root);
  QVERIFY(preview->isEnabled());
  const auto before = snapshot(root);
  preview->trigger();  // the script holds no box: none may be shown
  QCOMPARE(snapshot(root), before);
  QVERIFY(engine::ListUndoRuns(engine::UndoStoreFolder()).empty());
  const QStringList previewed = lines();
  QVERIFY(previewed.contains(QStringLiteral("Замен: 1 (CP1251) - ") + root + QStringLiteral("/a.txt")));

  m_prompter.expectQuestion(folderQuestion(root, QStringLiteral("привет"), QStringLiteral("мир")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  QTest::mouseClick(control<QPushButton>(*m_form, "Command4"), Qt::LeftButton);
  // The same counts: what the preview counted is what the run did, said of what will be; the
  // files it says will not be replaced are the run's errors (the link is counted apart).
  const qsizetype refused = previewed.filter(QStringLiteral("!_  не будет заменён: ")).size() -
                            previewed.filter(QRegularExpression(QStringLiteral("^!_  не будет заменён: .*/link\\.txt$"))).size();
  QVERIFY(refused > 0);
  QString foreseen = reworded(previewed.last(), static_cast<int>(refused), false);
  foreseen.replace(QStringLiteral("будет изменено"), QStringLiteral("изменено"))
      .replace(QStringLiteral("замен будет"), QStringLiteral("замен"))
      .replace(QStringLiteral("будет переписано"), QStringLiteral("переписано"));
  QVERIFY(foreseen != previewed.last());
  QCOMPARE(lines().last(), foreseen);
  QVERIFY(previewed.last().startsWith(QStringLiteral("Файлов: ")));
}

// Esc in the middle of a preview: the list says the preview stopped, not a replacement, and no
// review window opens over a part of the files.
void WindowRunTest::escStopsAPreviewAndSaysSo() {
  const QString root = m_temp->file(QStringLiteral("big"));
  QVERIFY(QDir().mkpath(root));
  QByteArray text;
  while (text.size() < (4 << 20)) text += "ab ab ab ab ab ab\n";
  for (int i = 0; i < 16; ++i) QVERIFY(writeBytes(root + QStringLiteral("/f%1.txt").arg(i), text));
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("ab"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("xyz"));
  control<QLineEdit>(*m_form, "Text4")->setText(root);
  // Esc is pressed as the preview begins: it waits for the window among its events.
  QCoreApplication::postEvent(qApp, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
  m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  const QStringList said = lines();
  QVERIFY2(said.size() >= 2 && said[said.size() - 2].startsWith(QStringLiteral("Просмотр остановлен. Обработано файлов: ")),
           qPrintable(said.join(u'\n')));
  QVERIFY(!m_form->reviewWindow());
}

// Another copy of the program holds the undo store's lock (as one stopped with Ctrl+Z would):
// the window goes on repainting, says in its title what it waits for, and, once the lock is
// let go, does the run.
void WindowRunTest::aRunWaitingForTheUndoStoreSaysSo() {
  const QString folder = m_temp->file(QStringLiteral("tree"));
  QDir().mkpath(folder);
  QVERIFY(writeBytes(folder + QStringLiteral("/a.txt"), "old"));
  const QByteArray store = QFile::encodeName(QString::fromStdString(engine::UndoStoreFolder()));
  QVERIFY(QDir().mkpath(QString::fromUtf8(store)));
  for (QByteArray path = store; path.size() > QFile::encodeName(m_temp->stateHome()).size();
       path = path.left(path.lastIndexOf('/'))) {
    chmod(path.constData(), 0700);
  }
  const int held = open((store + "/sequence").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  QVERIFY(held >= 0);
  QCOMPARE(flock(held, LOCK_EX), 0);

  QString waitingTitle;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (!m_form->windowTitle().contains(QStringLiteral("ждёт папку отмены"))) return;
    waitingTitle = m_form->windowTitle();
    flock(held, LOCK_UN);
    look.stop();
  });
  look.start(5);
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("old"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("new"));
  control<QLineEdit>(*m_form, "Text4")->setText(folder);
  m_prompter.expectQuestion(folderQuestion(folder, QStringLiteral("old"), QStringLiteral("new")),
                            Answer::Yes);
  m_prompter.expectInformation(kDone);
  QTest::mouseClick(control<QPushButton>(*m_form, "Command4"), Qt::LeftButton);
  close(held);

  QVERIFY2(waitingTitle.contains(QStringLiteral("её занимает другая копия программы")),
           qPrintable(waitingTitle));
  QCOMPARE(readBytes(folder + QStringLiteral("/a.txt")), QByteArray("new"));
  QVERIFY(!m_form->windowTitle().contains(QStringLiteral("ждёт")));
  QCOMPARE(engine::ListUndoRuns(engine::UndoStoreFolder()).size(), std::size_t{1});
}

// The folder command and the undo of its run, traced by strace: from each click to its end,
// the window's thread (the process's first) opens, reads, writes, closes and looks at nothing
// under the test's folder (the tree, the work files, the undo store); the run's threads do.
void WindowRunTest::theWindowsThreadTouchesNoFileOfARun() {
  const char* kTraced = "TARVEL_TRACED_WINDOW";
  const char* kBegin = "/tarvel-traced-window-begins";
  const char* kEnd = "/tarvel-traced-window-ends";
  if (qEnvironmentVariableIsSet(kTraced)) {  // the traced copy: the run and its undo
    const QString root = m_temp->file(QStringLiteral("site"));
    populate(root);
    const auto before = snapshot(root);
    control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("привет"));
    control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("мир"));
    control<QLineEdit>(*m_form, "Text4")->setText(root);
    m_prompter.expectQuestion(folderQuestion(root, QStringLiteral("привет"), QStringLiteral("мир")),
                              Answer::Yes);
    m_prompter.expectInformation(kDone);
    (void)::access(kBegin, F_OK);  // the marks in the trace, around each command
    QTest::mouseClick(control<QPushButton>(*m_form, "Command4"), Qt::LeftButton);
    (void)::access(kEnd, F_OK);
    QVERIFY(snapshot(root) != before);
    QVERIFY(lines().last().startsWith(QStringLiteral("Файлов: ")));
    const std::vector<engine::UndoRunInfo> runs = engine::ListUndoRuns(engine::UndoStoreFolder());
    QCOMPARE(runs.size(), std::size_t{1});
    m_prompter.expectQuestion(QString::fromStdString(words::UndoQuestion(runs.front())),
                              Answer::Yes);
    m_prompter.expectInformation(kDone);
    (void)::access(kBegin, F_OK);
    m_form->findChild<QAction*>(QStringLiteral("UndoAction"))->trigger();
    (void)::access(kEnd, F_OK);
    QVERIFY2(lines().last().contains(QStringLiteral(" отменена. Возвращено файлов: ")) &&
                 lines().last().endsWith(QStringLiteral("оставлено как есть: 0.")),
             qPrintable(lines().last()));
    return;
  }
  if (!testing_support::straceMissing().empty()) {
    QSKIP(testing_support::straceMissing().c_str());
  }
  const QString log = m_temp->file(QStringLiteral("trace.log"));
  QProcess traced;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QString::fromLatin1(kTraced), QStringLiteral("1"));
  // LeakSanitizer cannot work under a tracer.
  const QString sanitizer = env.value(QStringLiteral("ASAN_OPTIONS"));
  env.insert(QStringLiteral("ASAN_OPTIONS"), (sanitizer.isEmpty() ? QString() : sanitizer + u':') +
                                                 QStringLiteral("detect_leaks=0"));
  traced.setProcessEnvironment(env);
  traced.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  traced.start(QStringLiteral("strace"),
               {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"),
                QStringLiteral("-e"), QStringLiteral("trace=%file,%desc"), QStringLiteral("-o"),
                log, QCoreApplication::applicationFilePath(),
                QStringLiteral("theWindowsThreadTouchesNoFileOfARun")});
  QVERIFY(traced.waitForFinished(ui_testing::kHangGuardMs));
  const QString output = QString::fromUtf8(traced.readAllStandardOutput());
  QVERIFY2(traced.exitCode() == 0, qPrintable(output));

  // Each line begins with the thread's id; the marks are the window's thread's.
  const QByteArray tree = QFile::encodeName(m_temp->path()) + '/';
  QByteArray windowThread;
  bool between = false;
  int ended = 0;
  QStringList touched;
  std::set<QByteArray> runThreads;
  QFile file(log);
  QVERIFY(file.open(QIODevice::ReadOnly));
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QByteArray thread = line.left(line.indexOf(' '));
    if (line.contains(kBegin)) {
      windowThread = thread;
      between = true;
    } else if (between && thread == windowThread && line.contains(kEnd)) {
      between = false;
      ++ended;
    } else if (between && line.contains(tree)) {
      if (thread == windowThread) {
        touched << QString::fromUtf8(line);
      } else {
        runThreads.insert(thread);
      }
    }
  }
  QVERIFY2(ended == 2, "the marks are missing from the trace");
  QVERIFY2(!runThreads.empty(), "the run's files were touched by no thread");
  QVERIFY2(touched.isEmpty(), qPrintable(touched.mid(0, 20).join(u'\n')));
}

QTEST_MAIN(WindowRunTest)
#include "window_run_test.moc"
