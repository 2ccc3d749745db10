// "Просмотр замен": the window a preview opens over what it found, what its boxes apply, what
// closing it leaves, and its keys.
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTreeView>
#include <map>

#include <sys/stat.h>

#include "engine/undo/undo.h"
#include "platform/code_page.h"
#include "ui/form1.h"
#include "ui/review_models.h"
#include "ui/review_window.h"
#include "ui_test_support.h"
#include "words/texts.h"

using Answer = ui::Prompter::Answer;
using ui_testing::control;
using ui_testing::kDone;
using ui_testing::readBytes;
using ui_testing::writeBytes;

namespace {

QByteArray cp1251(const char* utf8) {
  static const auto page = platform::CodePage::byName("CP1251");
  return QByteArray::fromStdString(page->encode(utf8));
}

// The files of the tree every test previews, relative to its folder, as they are at first.
const std::map<QString, QByteArray>& firstTree() {
  static const std::map<QString, QByteArray> files{
      {QStringLiteral("a.txt"), "old one\nkeep old\nold end\n"},
      {QStringLiteral("sub/b.txt"), "b old b old\n"},
      {QStringLiteral("sub/c.txt"), "nothing to find here\n"},
      {QStringLiteral("d.txt"), cp1251("привет old\r\n")},
  };
  return files;
}

// The check state of `row` of a list of check boxes.
Qt::CheckState checkOf(const QAbstractItemModel& model, int row) {
  return model.index(row, 0).data(Qt::CheckStateRole).value<Qt::CheckState>();
}

}  // namespace

class ReviewWindowTest : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:
  void applyWritesExactlyWhatIsChecked();
  void closingWritesNothing_data();
  void closingWritesNothing();
  void theAppliedRunIsUndone();
  void aFileChangedAfterThePreviewIsLeftAsItIs_data();
  void aFileChangedAfterThePreviewIsLeftAsItIs();
  void spaceChecksTheRowItIsOn();
  void tabGoesThroughTheListsAndButtonsAllNamed();
  void aLineIsShownAsTextNotAsMarkup();
  void anOccurrenceFarIntoALongLineIsInView();
  void nothingFoundOpensNoWindow();
  void aPreviewOfOneFileOpensItsWindowToo();

 private:
  void windowMade() override;
  QString root() const { return m_temp->file(QStringLiteral("site")); }
  QString path(const QString& relative) const { return root() + u'/' + relative; }
  // The tree written afresh, "old" → "new" typed, and the folder previewed: the review window
  // is open on what it found.
  void previewTree();
  // The row of the file `relative` in the review window's left list; -1 when it is not there.
  int fileRow(const QString& relative) const;
  // The file `relative` selected in the left list, its occurrences shown on the right.
  void selectFile(const QString& relative);
  void pressSpace(QTreeView* view, int row);
  // "Заменить отмеченные", with the completion box it ends with.
  void apply();
  QStringList lines() const;

  ui::MessageListBox* m_list = nullptr;
  ui::ReviewWindow* m_review = nullptr;
  QTreeView* m_files = nullptr;
  QTreeView* m_occurrences = nullptr;
};

void ReviewWindowTest::windowMade() {
  m_list = control<ui::MessageListBox>(*m_form, "List1");
  QVERIFY(m_list);
  control<QPlainTextEdit>(*m_form, "Text1")->setPlainText(QStringLiteral("old"));
  control<QPlainTextEdit>(*m_form, "Text2")->setPlainText(QStringLiteral("new"));
}

void ReviewWindowTest::previewTree() {
  for (const auto& [relative, bytes] : firstTree()) {
    QVERIFY(QDir().mkpath(QFileInfo(path(relative)).path()));
    QVERIFY(writeBytes(path(relative), bytes));
  }
  control<QLineEdit>(*m_form, "Text4")->setText(root());
  m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  m_review = m_form->reviewWindow();
  QVERIFY(m_review);
  QVERIFY(m_review->isVisible());
  m_files = control<QTreeView>(*m_review, "ReviewFiles");
  m_occurrences = control<QTreeView>(*m_review, "ReviewOccurrences");
  QVERIFY(m_files && m_occurrences);
}

int ReviewWindowTest::fileRow(const QString& relative) const {
  const QAbstractItemModel& model = *m_files->model();
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.index(row, 0).data().toString() == relative) return row;
  }
  return -1;
}

void ReviewWindowTest::selectFile(const QString& relative) {
  const int row = fileRow(relative);
  QVERIFY2(row >= 0, qPrintable(relative));
  m_files->setCurrentIndex(m_files->model()->index(row, 0));
}

void ReviewWindowTest::pressSpace(QTreeView* view, int row) {
  view->setFocus();
  view->setCurrentIndex(view->model()->index(row, 1));  // not on the box: anywhere in the row
  QTest::keyClick(view, Qt::Key_Space);
}

void ReviewWindowTest::apply() {
  m_prompter.expectInformation(kDone);
  QTest::mouseClick(control<QPushButton>(*m_review, "ReviewApply"), Qt::LeftButton);
  QTRY_VERIFY(!m_form->reviewWindow());
  QCOMPARE(m_form->windowTitle(), QStringLiteral("Tarvel"));
}

QStringList ReviewWindowTest::lines() const {
  QStringList all;
  for (int i = 0; i < m_list->lineCount(); ++i) all << m_list->line(i);
  return all;
}

// The boxes as a user leaves them: one file unchecked whole, one occurrence of another. Only
// the rest is replaced, and the files without a box checked are not even rewritten.
void ReviewWindowTest::applyWritesExactlyWhatIsChecked() {
  previewTree();
  QCOMPARE(m_files->model()->rowCount(), 3);  // c.txt holds nothing to replace
  QCOMPARE(fileRow(QStringLiteral("sub/c.txt")), -1);
  pressSpace(m_files, fileRow(QStringLiteral("sub/b.txt")));
  selectFile(QStringLiteral("a.txt"));
  QCOMPARE(m_occurrences->model()->rowCount(), 3);
  pressSpace(m_occurrences, 1);
  struct stat b {};
  QCOMPARE(stat(QFile::encodeName(path(QStringLiteral("sub/b.txt"))).constData(), &b), 0);

  apply();
  QCOMPARE(readBytes(path(QStringLiteral("a.txt"))), QByteArray("new one\nkeep old\nnew end\n"));
  QCOMPARE(readBytes(path(QStringLiteral("sub/b.txt"))),
           firstTree().at(QStringLiteral("sub/b.txt")));
  QCOMPARE(readBytes(path(QStringLiteral("sub/c.txt"))),
           firstTree().at(QStringLiteral("sub/c.txt")));
  QCOMPARE(readBytes(path(QStringLiteral("d.txt"))), cp1251("привет new\r\n"));
  struct stat after {};
  QCOMPARE(stat(QFile::encodeName(path(QStringLiteral("sub/b.txt"))).constData(), &after), 0);
  QCOMPARE(after.st_ino, b.st_ino);
  // The run's summary, of the two files it wrote.
  QVERIFY2(lines().last().startsWith(QStringLiteral("Файлов: 2, изменено: 2, замен: 3,")),
           qPrintable(lines().join(u'\n')));
}

void ReviewWindowTest::closingWritesNothing_data() {
  QTest::addColumn<bool>("escape");
  QTest::newRow("Закрыть") << false;
  QTest::newRow("Escape") << true;
}

void ReviewWindowTest::closingWritesNothing() {
  QFETCH(bool, escape);
  previewTree();
  pressSpace(m_files, fileRow(QStringLiteral("a.txt")));
  const QStringList previewed = lines();
  if (escape) {
    QTest::keyClick(m_files, Qt::Key_Escape);
  } else {
    QTest::mouseClick(control<QPushButton>(*m_review, "ReviewClose"), Qt::LeftButton);
  }
  QTRY_VERIFY(!m_form->reviewWindow());
  for (const auto& [relative, bytes] : firstTree()) QCOMPARE(readBytes(path(relative)), bytes);
  QVERIFY(engine::ListUndoRuns(engine::UndoStoreFolder()).empty());
  QCOMPARE(lines(), previewed);
}

// The run is recorded as the folder command's are, and the window's undo takes it back.
void ReviewWindowTest::theAppliedRunIsUndone() {
  previewTree();
  apply();
  QVERIFY(readBytes(path(QStringLiteral("a.txt"))) != firstTree().at(QStringLiteral("a.txt")));
  const auto runs = engine::ListUndoRuns(engine::UndoStoreFolder());
  QCOMPARE(runs.size(), std::size_t{1});
  QCOMPARE(QString::fromStdString(runs.front().header.target), root());

  m_prompter.expectQuestion(
      QStringLiteral("Вернуть файлы, изменённые заменой «old» → «new» в %1 (%2)?")
          .arg(QString::fromStdString(words::Shortened(root().toStdString())),
               QString::fromStdString(words::FilesText(3))),
      Answer::Yes);
  m_prompter.expectInformation(kDone);
  m_form->findChild<QAction*>(QStringLiteral("UndoAction"))->trigger();
  for (const auto& [relative, bytes] : firstTree()) QCOMPARE(readBytes(path(relative)), bytes);
}

void ReviewWindowTest::aFileChangedAfterThePreviewIsLeftAsItIs_data() {
  QTest::addColumn<bool>("removed");
  QTest::addColumn<QString>("shown");  // the line the review window shows in its occurrences
  QTest::addColumn<QString>("said");   // the end of the run's line about it
  QTest::newRow("written to") << false
                              << QStringLiteral("файл изменён после просмотра — оставлен как есть")
                              << QStringLiteral(
                                     "файл изменён после просмотра — оставлен как есть: %1");
  QTest::newRow("removed") << true << QStringLiteral("файл или папка не найдены")
                           << QStringLiteral("файл или папка не найдены - %1");
}

void ReviewWindowTest::aFileChangedAfterThePreviewIsLeftAsItIs() {
  QFETCH(bool, removed);
  QFETCH(QString, shown);
  QFETCH(QString, said);
  previewTree();
  const QString b = path(QStringLiteral("sub/b.txt"));
  const QByteArray changed("b old b old, and one more old\n");
  if (removed) {
    QVERIFY(QFile::remove(b));
  } else {
    QVERIFY(writeBytes(b, changed));
  }
  selectFile(QStringLiteral("sub/b.txt"));
  QCOMPARE(m_occurrences->model()->rowCount(), 1);
  const QString line = m_occurrences->model()->index(0, 0).data().toString();
  QVERIFY2(line.contains(shown), qPrintable(line));
  QVERIFY(!(m_occurrences->model()->flags(m_occurrences->model()->index(0, 0)) &
            Qt::ItemIsUserCheckable));

  apply();
  if (removed) {
    QVERIFY(!QFile::exists(b));
  } else {
    QCOMPARE(readBytes(b), changed);
  }
  QCOMPARE(readBytes(path(QStringLiteral("a.txt"))), QByteArray("new one\nkeep new\nnew end\n"));
  const QStringList said_ = lines();
  QVERIFY2(said_.filter(b).size() == 1 && said_.filter(b).front().endsWith(said.arg(b)),
           qPrintable(said_.join(u'\n')));
}

// An occurrence's box alone, then a file's, which takes all of its occurrences along.
void ReviewWindowTest::spaceChecksTheRowItIsOn() {
  previewTree();
  const int a = fileRow(QStringLiteral("a.txt"));
  selectFile(QStringLiteral("a.txt"));
  const QAbstractItemModel& files = *m_files->model();
  const QAbstractItemModel& occurrences = *m_occurrences->model();
  m_occurrences->setFocus();
  QTest::keyClick(m_occurrences, Qt::Key_Down);  // from the first: the arrows move
  QTest::keyClick(m_occurrences, Qt::Key_Space);
  const Qt::CheckState one[] = {Qt::Checked, Qt::Unchecked, Qt::Checked};
  for (int row = 0; row < 3; ++row) QCOMPARE(checkOf(occurrences, row), one[row]);
  QCOMPARE(checkOf(files, a), Qt::PartiallyChecked);
  QCOMPARE(files.index(a, 1).data().toString(), QStringLiteral("2 из 3"));
  for (const Qt::CheckState all : {Qt::Checked, Qt::Unchecked}) {
    pressSpace(m_files, a);
    QCOMPARE(checkOf(files, a), all);
    for (int row = 0; row < 3; ++row) QCOMPARE(checkOf(occurrences, row), all);
  }
  QCOMPARE(checkOf(files, fileRow(QStringLiteral("sub/b.txt"))), Qt::Checked);
  // Nothing checked anywhere: nothing to replace.
  for (int row = 0; row < files.rowCount(); ++row) {
    if (row != a) pressSpace(m_files, row);
  }
  QVERIFY(!control<QPushButton>(*m_review, "ReviewApply")->isEnabled());
}

void ReviewWindowTest::tabGoesThroughTheListsAndButtonsAllNamed() {
  previewTree();
  QTRY_COMPARE(QApplication::activeWindow(), m_review);
  QCOMPARE(QApplication::focusWidget(), m_files);
  const char* const order[] = {"ReviewOccurrences", "ReviewApply", "ReviewClose", "ReviewFiles"};
  for (const char* name : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(name));
  }
  for (const QWidget* w : m_review->findChildren<QWidget*>()) {
    if (w->focusPolicy() == Qt::NoFocus || !w->isVisible()) continue;
    QVERIFY2(!w->accessibleName().isEmpty() && !w->objectName().isEmpty(),
             w->metaObject()->className());
  }
}

// A line's own markup characters are text: the row reads, rendered, as the line does with the
// found text and the replacement side by side.
void ReviewWindowTest::aLineIsShownAsTextNotAsMarkup() {
  QVERIFY(QDir().mkpath(root()));
  QVERIFY(writeBytes(path(QStringLiteral("page.html")), "<p>\n<b>old</b> & &amp; x\n</p>\n"));
  control<QLineEdit>(*m_form, "Text4")->setText(root());
  m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  QVERIFY(m_form->reviewWindow());
  const auto* view = control<QTreeView>(*m_form->reviewWindow(), "ReviewOccurrences");
  const QModelIndex row = view->model()->index(0, 1);
  QCOMPARE(view->model()->index(0, 0).data().toString(), QStringLiteral("2:4"));
  QTextDocument rendered;
  rendered.setHtml(row.data(ui::kRichTextRole).toString());
  QCOMPARE(rendered.toPlainText().replace(QChar(0xA0), u' '),
           QStringLiteral("<b>oldnew</b> & &amp; x"));
}

// An occurrence at column 300 of a long line: its row is cut around it, the found text and the
// replacement within the column's width, and the tooltip has the line as far as it was read.
void ReviewWindowTest::anOccurrenceFarIntoALongLineIsInView() {
  QVERIFY(QDir().mkpath(root()));
  QVERIFY(writeBytes(path(QStringLiteral("long.txt")),
                     QByteArray(299, 'x') + "old" + QByteArray(300, 'y') + "\n"));
  control<QLineEdit>(*m_form, "Text4")->setText(root());
  m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  QVERIFY(m_form->reviewWindow());
  const auto* view = control<QTreeView>(*m_form->reviewWindow(), "ReviewOccurrences");
  QCOMPARE(view->model()->index(0, 0).data().toString(), QStringLiteral("1:300"));
  const QModelIndex row = view->model()->index(0, 1);
  const QString shown = row.data().toString();
  QVERIFY2(shown.contains(QStringLiteral("[-old-]{+new+}")) && shown.size() <= 80, qPrintable(shown));
  QVERIFY(shown.startsWith(QStringLiteral("…")) && shown.endsWith(QStringLiteral("…")));
  QTextDocument rendered;
  rendered.setDefaultFont(view->font());
  rendered.setHtml(row.data(ui::kRichTextRole).toString());
  const QString text = rendered.toPlainText();
  const QString upToReplacement = text.left(text.indexOf(QStringLiteral("oldnew")) + 6);
  QVERIFY(upToReplacement.endsWith(QStringLiteral("oldnew")));
  QVERIFY2(QFontMetrics(view->font()).horizontalAdvance(upToReplacement) < view->columnWidth(1),
           qPrintable(QString::number(view->columnWidth(1))));
  QVERIFY(row.data(Qt::ToolTipRole).toString().contains(QString(200, u'x') + QStringLiteral("[-old-]{+new+}") + QString(200, u'y')));
}

void ReviewWindowTest::nothingFoundOpensNoWindow() {
  QVERIFY(QDir().mkpath(root()) && writeBytes(path(QStringLiteral("a.txt")), "nothing\n"));
  control<QLineEdit>(*m_form, "Text4")->setText(root());
  m_form->findChild<QAction*>(QStringLiteral("PreviewFolderAction"))->trigger();
  QVERIFY(!m_form->reviewWindow());
  QVERIFY(lines().last().startsWith(QStringLiteral("Файлов: 1, будет изменено: 0")));
}

void ReviewWindowTest::aPreviewOfOneFileOpensItsWindowToo() {
  previewTree();  // and its window, which the next preview replaces
  const QPointer<ui::ReviewWindow> first = m_review;
  const QString d = path(QStringLiteral("d.txt"));
  control<QLineEdit>(*m_form, "Text3")->setText(d);
  m_form->findChild<QAction*>(QStringLiteral("PreviewFileAction"))->trigger();
  QVERIFY(m_form->reviewWindow());
  QTRY_VERIFY(!first);
  m_review = m_form->reviewWindow();
  m_files = control<QTreeView>(*m_review, "ReviewFiles");
  QCOMPARE(m_files->model()->rowCount(), 1);
  QCOMPARE(m_files->model()->index(0, 0).data().toString(), d);
  QCOMPARE(m_files->model()->index(0, 2).data().toString(), QStringLiteral("CP1251"));
  const auto* occurrences = control<QTreeView>(*m_review, "ReviewOccurrences");
  QCOMPARE(occurrences->model()->index(0, 1).data().toString(),
           QStringLiteral("привет [-old-]{+new+}"));
  apply();
  QCOMPARE(readBytes(d), cp1251("привет new\r\n"));
  QCOMPARE(readBytes(path(QStringLiteral("a.txt"))), firstTree().at(QStringLiteral("a.txt")));
}

QTEST_MAIN(ReviewWindowTest)
#include "review_window_test.moc"
