#include "scripted_dialogs.h"

#include <QTest>
#include <QWidget>

namespace ui_testing {
namespace {

const char* kindName(int kind) {
  static const char* const names[] = {"file dialog", "folder dialog", "link"};
  return names[kind];
}

void fail(const QString& message) {
  QTest::qFail(message.toUtf8().constData(), __FILE__, __LINE__);
}

}  // namespace

void ScriptedDialogs::expectFile(const QString& path, int selectedFilter, During during) {
  m_steps.push_back({Kind::File, QString(), path, selectedFilter, std::move(during), {}});
}

void ScriptedDialogs::expectFolder(const QString& prompt, const QString& path) {
  m_steps.push_back({Kind::Folder, prompt, path, 0, {}, {}});
}

void ScriptedDialogs::expectLink(const QString& target, std::optional<platform::Error> failure) {
  m_steps.push_back({Kind::Link, target, QString(), 0, {}, std::move(failure)});
}

void ScriptedDialogs::verifyDone(const char* file, int line) {
  if (m_steps.empty()) return;
  const QString message = QStringLiteral("%1 expected call(s) never made; next: %2 \"%3\"")
                              .arg(m_steps.size())
                              .arg(QString::fromLatin1(kindName(int(m_steps.front().kind))),
                                   m_steps.front().text + m_steps.front().path);
  m_steps.clear();
  QTest::qFail(message.toUtf8().constData(), file, line);
}

std::optional<ScriptedDialogs::Step> ScriptedDialogs::next(Kind kind, const QString& what) {
  ++m_calls;
  if (m_steps.empty() || m_steps.front().kind != kind) {
    fail(QStringLiteral("unexpected %1: \"%2\"%3")
             .arg(QString::fromLatin1(kindName(int(kind))), what,
                  m_steps.empty() ? QString()
                                  : QStringLiteral(" instead of a ") +
                                        QString::fromLatin1(kindName(int(m_steps.front().kind)))));
    return std::nullopt;
  }
  Step step = std::move(m_steps.front());
  m_steps.pop_front();
  return step;
}

void ScriptedDialogs::checkOwner(QWidget* owner) {
  if (m_owner != nullptr && owner != m_owner) {
    fail(QStringLiteral("dialog owned by %1 instead of the main window")
             .arg(owner ? owner->objectName() : QStringLiteral("nothing")));
  }
}

ui::FileAnswer ScriptedDialogs::openFile(QWidget* owner, const ui::FileRequest& request) {
  m_fileRequests.push_back(request);
  checkOwner(owner);
  std::optional<Step> step = next(Kind::File, request.title);
  if (!step) return {QString(), request.selectedFilter};  // as a cancel
  if (step->during) step->during(request);
  return {step->path, step->selectedFilter};
}

QString ScriptedDialogs::pickFolder(QWidget* owner, const QString& prompt) {
  checkOwner(owner);
  std::optional<Step> step = next(Kind::Folder, prompt);
  if (!step) return QString();
  if (step->text != prompt) {
    fail(QStringLiteral("folder dialog with the prompt \"%1\" instead of \"%2\"")
             .arg(prompt, step->text));
  }
  return step->path;
}

void ScriptedDialogs::open(const QString& target, const QString& workingFolder) {
  m_links.push_back({target, workingFolder});
  std::optional<Step> step = next(Kind::Link, target);
  if (!step) return;
  if (step->text != target) {
    fail(QStringLiteral("link \"%1\" opened instead of \"%2\"").arg(target, step->text));
  }
  if (step->failure) throw *step->failure;
}

}  // namespace ui_testing
