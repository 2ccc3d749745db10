#include "ui_test_support.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QtGlobal>

namespace ui_testing {

TemporaryFolder::TemporaryFolder()
    : m_hadTmpDir(qEnvironmentVariableIsSet("TMPDIR")), m_oldTmpDir(qgetenv("TMPDIR")) {
  if (m_dir.isValid()) qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
  if (m_state.isValid()) qputenv("XDG_STATE_HOME", QFile::encodeName(m_state.path()));
}

TemporaryFolder::~TemporaryFolder() {
  qunsetenv("XDG_STATE_HOME");
  if (m_hadTmpDir) {
    qputenv("TMPDIR", m_oldTmpDir);
  } else {
    qunsetenv("TMPDIR");
  }
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString folderQuestion(const QString& folder, const QString& find, const QString& replace) {
  return QStringLiteral("Внимание! Во всех файлах, находящихся в папке \"") + folder +
         QStringLiteral("\" и её вложенных подпапках, все сочетания символов \"") + find +
         QStringLiteral("\" будут заменены на \"") + replace +
         QStringLiteral("\".\r\nПерезаписать все файлы ?");
}

void WindowTest::init() {
  m_startFolder = QDir::currentPath();
  m_temp = std::make_unique<TemporaryFolder>();
  QVERIFY(m_temp->isValid());
  m_prompter = {};
  m_dialogs = {};
  prepare();
  if (QTest::currentTestFailed() || m_window == Window::None) return;
  m_form = std::make_unique<ui::Form1>(ui::Form1::Seams{prompter(), m_dialogs, m_dialogs});
  m_prompter.setExpectedOwner(m_form.get());
  m_dialogs.setExpectedOwner(m_form.get());
  windowMade();
  if (QTest::currentTestFailed() || m_window == Window::Hidden) return;
  m_form->show();
  if (m_window == Window::Exposed) {
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get(), kHangGuardMs));
  } else {
    QVERIFY(QTest::qWaitForWindowActive(m_form.get(), kHangGuardMs));
  }
}

void WindowTest::cleanup() {
  m_form.reset();
  QDir::setCurrent(m_startFolder);
  m_temp.reset();
  VERIFY_PROMPTER_DONE(m_prompter);
  VERIFY_DIALOGS_DONE(m_dialogs);
}

}  // namespace ui_testing
