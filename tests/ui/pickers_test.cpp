// The two "Обзор" buttons, answered through the scripted dialogs: what the file dialog is opened
// with, cancelling, the "Не удаётся найти файл " loop and the filter it keeps, the current
// folder that follows the picked file, and the folder picker with its PickedFolder.
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <new>

#include "platform/attributes.h"
#include "platform/error.h"
#include "scripted_dialogs.h"
#include "scripted_prompter.h"
#include "ui/failure.h"
#include "ui/form1.h"
#include "ui_test_support.h"

using ui_testing::control;
using ui_testing::writeBytes;

namespace {

const QString kTitle = QStringLiteral("Выберите файл для конвертирования");
const QString kPrompt = QStringLiteral("Выберите папку, текст в файлах которой нужно заменить");

QString notFound(const QString& path) { return QStringLiteral("Не удаётся найти файл ") + path; }

// Two paths name the same folder.
bool sameFolder(const QString& a, const QString& b) {
  return QFileInfo(a).canonicalFilePath() == QFileInfo(b).canonicalFilePath();
}

}  // namespace

class PickersTest : public ui_testing::WindowTest {
  Q_OBJECT

 private slots:

  void fileDialogOpensInTheCurrentFolderAndCancelChangesNothing();
  void pickedFileGoesToText3_data();
  void pickedFileGoesToText3();
  void currentFolderFollowsTheLastPickedFile();
  void missingFileReopensWithTheSelectedFilter();
  void leadingSpacesAreRemoved();
  void failedExistenceTestEndsInTheFailureBox();
  void failureInsideTheDialogEndsInTheFailureBox();

  void cancelledFolderDialogLeavesText4();
  void pickedFolderGoesToText4_data();
  void pickedFolderGoesToText4();
  void pickedFolderIsResetBeforeEachUse();

 private:
  void clickFile() { QTest::mouseClick(control<QPushButton>(*m_form, "Command1"), Qt::LeftButton); }
  void clickFolder() {
    QTest::mouseClick(control<QPushButton>(*m_form, "Command3"), Qt::LeftButton);
  }
  QString makeFile(const QString& relative);
  // The pickers open in the current folder: the test's own.
  void prepare() override { QVERIFY(QDir::setCurrent(m_temp->path())); }
  void windowMade() override;

  QLineEdit* m_text3 = nullptr;
  QLineEdit* m_text4 = nullptr;
};

void PickersTest::windowMade() {
  m_text3 = control<QLineEdit>(*m_form, "Text3");
  m_text4 = control<QLineEdit>(*m_form, "Text4");
  QVERIFY(m_text3 && m_text4);
}

QString PickersTest::makeFile(const QString& relative) {
  const QString path = m_temp->file(relative);
  QDir().mkpath(QFileInfo(path).path());
  return writeBytes(path, "x") ? path : QString();
}

void PickersTest::fileDialogOpensInTheCurrentFolderAndCancelChangesNothing() {
  m_text3->setText(QStringLiteral("typed by hand"));
  m_dialogs.expectFile(QString(), 1);
  clickFile();
  QCOMPARE(m_text3->text(), QStringLiteral("typed by hand"));
  QVERIFY(sameFolder(QDir::currentPath(), m_temp->path()));

  QCOMPARE(m_dialogs.fileRequests().size(), 1);
  const ui::FileRequest& request = m_dialogs.fileRequests().front();
  QCOMPARE(request.title, kTitle);
  QCOMPARE(request.filters.size(), 2);
  QCOMPARE(request.filters[0].shownText(), QStringLiteral("Все файлы (*.*)"));
  QCOMPARE(request.filters[1].shownText(),
           QStringLiteral("Perl и PHP файлы (*.cgi;*.pl;*.pm;*.php;*.php3;*.php4;*.inc;*.phtml)"));
  QCOMPARE(request.selectedFilter, 0);
  QVERIFY(sameFolder(request.startFolder, m_temp->path()));

  // The next opening starts afresh: the filter chosen before a cancel is not kept.
  m_dialogs.expectFile(QString(), 0);
  clickFile();
  QCOMPARE(m_dialogs.fileRequests().at(1).selectedFilter, 0);
}

void PickersTest::pickedFileGoesToText3_data() {
  QTest::addColumn<QString>("name");
  QTest::newRow("script") << QStringLiteral("сайт/index.php");
  QTest::newRow("any extension") << QStringLiteral("сайт/readme.txt");
  QTest::newRow("hidden file") << QStringLiteral("сайт/.htaccess");
  QTest::newRow("name with spaces") << QStringLiteral("мой сайт/файл с пробелами.pl");
}

void PickersTest::pickedFileGoesToText3() {
  QFETCH(QString, name);
  const QString path = makeFile(name);
  QVERIFY(!path.isEmpty());
  m_dialogs.expectFile(path, 1);
  clickFile();
  QCOMPARE(m_text3->text(), path);
  QVERIFY(sameFolder(QDir::currentPath(), QFileInfo(path).path()));
  QCOMPARE(m_prompter.shown(), 0);
}

void PickersTest::currentFolderFollowsTheLastPickedFile() {
  const QString first = makeFile(QStringLiteral("a/один.php"));
  const QString second = makeFile(QStringLiteral("b/c/два.pl"));
  m_dialogs.expectFile(first, 1);
  m_dialogs.expectFile(QString(), 1);  // cancelled: the folder stays
  m_dialogs.expectFile(second, 0);
  m_dialogs.expectFile(QString(), 0);
  for (int i = 0; i < 4; ++i) clickFile();

  const QList<ui::FileRequest>& requests = m_dialogs.fileRequests();
  QCOMPARE(requests.size(), 4);
  QVERIFY(sameFolder(requests[0].startFolder, m_temp->path()));
  QVERIFY(sameFolder(requests[1].startFolder, m_temp->file(QStringLiteral("a"))));
  QVERIFY(sameFolder(requests[2].startFolder, m_temp->file(QStringLiteral("a"))));
  QVERIFY(sameFolder(requests[3].startFolder, m_temp->file(QStringLiteral("b/c"))));
  QCOMPARE(m_text3->text(), second);
}

void PickersTest::missingFileReopensWithTheSelectedFilter() {
  const QString missing = m_temp->file(QStringLiteral("нет такого.php"));
  const QString folder = m_temp->file(QStringLiteral("папка"));
  QVERIFY(QDir().mkdir(folder));
  const QString good = makeFile(QStringLiteral("папка/есть.php"));
  m_text3->setText(QStringLiteral("before"));

  // A missing name with the scripts' filter, then a folder's path with all files: each gets
  // the box while the dialog is closed, and the dialog opens again with the filter last chosen.
  m_dialogs.expectFile(missing, 1);
  m_prompter.expectFailure(notFound(missing), [&] {
    QCOMPARE(m_dialogs.calls(), 1);
    QCOMPARE(m_text3->text(), QStringLiteral("before"));
  });
  m_dialogs.expectFile(folder, 0);
  m_prompter.expectFailure(notFound(folder));
  m_dialogs.expectFile(good, 1);
  clickFile();

  const QList<ui::FileRequest>& requests = m_dialogs.fileRequests();
  QCOMPARE(requests.size(), 3);
  QCOMPARE(requests[1].selectedFilter, 1);
  QCOMPARE(requests[2].selectedFilter, 0);
  for (const ui::FileRequest& request : requests) {
    QCOMPARE(request.title, kTitle);
    QCOMPARE(request.filters.size(), 2);
    // A name that was not found does not move the current folder.
    QVERIFY(sameFolder(request.startFolder, m_temp->path()));
  }
  QCOMPARE(m_text3->text(), good);
  QVERIFY(sameFolder(QDir::currentPath(), folder));
}

void PickersTest::leadingSpacesAreRemoved() {
  // The existence test takes the name as the dialog gave it; the field gets it without the
  // spaces in front.
  QVERIFY(!makeFile(QStringLiteral("  lead.php")).isEmpty());
  m_dialogs.expectFile(QStringLiteral("  lead.php"), 1);
  clickFile();
  QCOMPARE(m_text3->text(), QStringLiteral("lead.php"));

  m_dialogs.expectFile(QStringLiteral("  gone.php"), 1);
  m_prompter.expectFailure(notFound(QStringLiteral("  gone.php")));
  m_dialogs.expectFile(QString(), 1);
  clickFile();
  QCOMPARE(m_text3->text(), QStringLiteral("lead.php"));
}

void PickersTest::failedExistenceTestEndsInTheFailureBox() {
  const QString tooLong = m_temp->file(QString(300, u'x') + QStringLiteral(".php"));
  QString expected;
  try {
    static_cast<void>(
        platform::pathExists(QFile::encodeName(tooLong).toStdString(), platform::kClassNormal));
  } catch (...) {
    expected = ui::failureText(std::current_exception());
  }
  QVERIFY2(expected.startsWith(QStringLiteral("Error 52 ")), qPrintable(expected));
  m_text3->setText(QStringLiteral("before"));
  m_dialogs.expectFile(tooLong, 1);
  m_prompter.expectFailure(expected);
  clickFile();  // the failure ends the command: no second dialog
  QCOMPARE(m_text3->text(), QStringLiteral("before"));
}

void PickersTest::failureInsideTheDialogEndsInTheFailureBox() {
  m_dialogs.expectFile(QString(), 0, [](const ui::FileRequest&) { throw std::bad_alloc(); });
  m_prompter.expectFailure(QStringLiteral("Error 7 Недостаточно памяти"));
  clickFile();
  QVERIFY(m_form->isVisible());
  QVERIFY(m_form->isEnabled());
}

void PickersTest::cancelledFolderDialogLeavesText4() {
  m_text4->setText(QStringLiteral("/typed/by hand"));
  m_dialogs.expectFolder(kPrompt, QString());
  clickFolder();
  QCOMPARE(m_text4->text(), QStringLiteral("/typed/by hand"));
  QCOMPARE(m_form->pickedFolder(), QString());
}

void PickersTest::pickedFolderGoesToText4_data() {
  QTest::addColumn<QString>("folder");
  QTest::newRow("root") << QStringLiteral("/");
  QTest::newRow("nested") << QStringLiteral("/srv/сайт/cgi-bin");
  QTest::newRow("spaces") << QStringLiteral("/home/user/Мои документы");
}

void PickersTest::pickedFolderGoesToText4() {
  QFETCH(QString, folder);
  m_text4->setText(QStringLiteral("before"));
  m_dialogs.expectFolder(kPrompt, folder);
  clickFolder();
  QCOMPARE(m_text4->text(), folder);
  QCOMPARE(m_form->pickedFolder(), folder);
  QVERIFY(sameFolder(QDir::currentPath(), m_temp->path()));  // a folder pick moves nothing
}

void PickersTest::pickedFolderIsResetBeforeEachUse() {
  // Without the reset a cancel would hand back the folder picked before and overwrite what the
  // user typed since.
  m_dialogs.expectFolder(kPrompt, QStringLiteral("/srv/a"));
  clickFolder();
  m_text4->setText(QStringLiteral("/typed/afterwards"));
  m_dialogs.expectFolder(kPrompt, QString());
  clickFolder();
  QCOMPARE(m_text4->text(), QStringLiteral("/typed/afterwards"));
  QCOMPARE(m_form->pickedFolder(), QString());

  // PickFolder itself answers a cancel with the folder it holds.
  m_dialogs.expectFolder(QStringLiteral("?"), QStringLiteral("/srv/b"));
  m_dialogs.expectFolder(QStringLiteral("?"), QString());
  QCOMPARE(m_form->PickFolder(m_form.get(), QStringLiteral("?")), QStringLiteral("/srv/b"));
  QCOMPARE(m_form->PickFolder(m_form.get(), QStringLiteral("?")), QStringLiteral("/srv/b"));
}

QTEST_MAIN(PickersTest)
#include "pickers_test.moc"
