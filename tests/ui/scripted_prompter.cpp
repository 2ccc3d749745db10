#include "scripted_prompter.h"

#include <QTest>
#include <QWidget>

#include "ui/program_info.h"

namespace ui_testing {
namespace {

const char* kindName(ScriptedPrompter::Kind kind) {
  switch (kind) {
    case ScriptedPrompter::Kind::Question:
      return "question";
    case ScriptedPrompter::Kind::Information:
      return "information";
    case ScriptedPrompter::Kind::Failure:
      return "failure";
  }
  return "?";
}

// Shows control characters so that a CR or LF out of place is visible in the failure message.
QString visible(const QString& text) {
  QString out = text;
  out.replace(u'\r', QStringLiteral("\\r")).replace(u'\n', QStringLiteral("\\n"));
  return out;
}

void fail(const QString& message) {
  QTest::qFail(message.toUtf8().constData(), __FILE__, __LINE__);
}

}  // namespace

void ScriptedPrompter::expectQuestion(const QString& text, Answer answer, During during) {
  m_steps.push_back({Kind::Question, text, answer, std::move(during), QString()});
}

void ScriptedPrompter::expectInformation(const QString& text, During during) {
  m_steps.push_back({Kind::Information, text, Answer::No, std::move(during), QString()});
}

void ScriptedPrompter::expectFailure(const QString& text, During during) {
  m_steps.push_back({Kind::Failure, text, Answer::No, std::move(during), QString()});
}

void ScriptedPrompter::expectFailureCaptioned(const QString& caption, const QString& text) {
  m_steps.push_back({Kind::Failure, text, Answer::No, {}, caption});
}

void ScriptedPrompter::verifyDone(const char* file, int line) {
  if (m_steps.empty()) return;
  const Step& step = m_steps.front();
  const QString message = QStringLiteral("%1 expected message box(es) never shown; next: %2 \"%3\"")
                              .arg(m_steps.size())
                              .arg(QString::fromLatin1(kindName(step.kind)), visible(step.text));
  m_steps.clear();
  QTest::qFail(message.toUtf8().constData(), file, line);
}

ui::Prompter::Answer ScriptedPrompter::play(Kind kind, QWidget* owner, const QString& caption,
                                            const QString& text) {
  ++m_shown;
  if (m_steps.empty()) {
    fail(QStringLiteral("unexpected %1 box: \"%2\"")
             .arg(QString::fromLatin1(kindName(kind)), visible(text)));
    return Answer::No;
  }
  Step step = std::move(m_steps.front());
  m_steps.pop_front();
  if (step.kind != kind || step.text != text) {
    fail(QStringLiteral("expected %1 box \"%2\", got %3 box \"%4\"")
             .arg(QString::fromLatin1(kindName(step.kind)), visible(step.text),
                  QString::fromLatin1(kindName(kind)), visible(text)));
  }
  const QString expectedCaption =
      step.caption.isEmpty() ? QString::fromUtf8(ui::kProgramTitle) : step.caption;
  if (caption != expectedCaption) {
    fail(QStringLiteral("box caption \"%1\" instead of \"%2\"").arg(caption, expectedCaption));
  }
  if (m_owner != nullptr && owner != m_owner) {
    fail(QStringLiteral("box owned by %1 instead of the main window")
             .arg(owner ? owner->objectName() : QStringLiteral("nothing")));
  }
  if (step.during) step.during();
  return step.answer;
}

ui::Prompter::Answer ScriptedPrompter::askYesNo(QWidget* owner, const QString& caption,
                                                const QString& text) {
  return play(Kind::Question, owner, caption, text);
}

void ScriptedPrompter::inform(QWidget* owner, const QString& caption, const QString& text) {
  play(Kind::Information, owner, caption, text);
}

void ScriptedPrompter::reportFailure(QWidget* owner, const QString& caption, const QString& text) {
  play(Kind::Failure, owner, caption, text);
}

}  // namespace ui_testing
