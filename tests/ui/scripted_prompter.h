#pragma once

#include <QString>
#include <deque>
#include <functional>

#include "ui/prompter.h"

namespace ui_testing {

/// A prompter that plays a script: each message box the window shows must be the next expected
/// one (kind, caption, text, owner); an unexpected box, a wrong text or a box left unshown
/// (checked by verifyDone) fails the running test.
class ScriptedPrompter final : public ui::Prompter {
 public:
  enum class Kind { Question, Information, Failure };

  /// Runs while the box is up: what the user could see meanwhile. May raise, as a box could.
  using During = std::function<void()>;

  /// The owner every box must have; nullptr accepts any.
  void setExpectedOwner(QWidget* owner) { m_owner = owner; }

  void expectQuestion(const QString& text, Answer answer, During during = {});
  void expectInformation(const QString& text, During during = {});
  void expectFailure(const QString& text, During during = {});
  /// A failure box whose caption is `caption` instead of the program title.
  void expectFailureCaptioned(const QString& caption, const QString& text);

  /// Fails the running test when expected boxes were not shown; forgets them.
  void verifyDone(const char* file, int line);
  /// How many boxes were shown.
  int shown() const { return m_shown; }

  Answer askYesNo(QWidget* owner, const QString& caption, const QString& text) override;
  void inform(QWidget* owner, const QString& caption, const QString& text) override;
  void reportFailure(QWidget* owner, const QString& caption, const QString& text) override;

 private:
  struct Step {
    Kind kind;
    QString text;
    Answer answer;
    During during;
    QString caption;  // empty: the program title
  };
  Answer play(Kind kind, QWidget* owner, const QString& caption, const QString& text);

  std::deque<Step> m_steps;
  QWidget* m_owner = nullptr;
  int m_shown = 0;
};

}  // namespace ui_testing

/// Fails the test when the prompter still holds expected boxes.
#define VERIFY_PROMPTER_DONE(prompter) (prompter).verifyDone(__FILE__, __LINE__)
