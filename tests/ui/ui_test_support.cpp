#include "ui_test_support.h"

#include <QFile>
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

}  // namespace ui_testing
