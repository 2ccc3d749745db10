#pragma once

#include <QString>

class QWidget;

namespace ui {

/// The message boxes the windows show. Each call blocks until the user has answered; `owner`
/// is the window the box belongs to. Production: QtPrompter; tests answer through a double.
class Prompter {
 public:
  enum class Answer { Yes, No };

  virtual ~Prompter() = default;

  /// A question with the buttons Yes and No, the warning icon and No as the default button.
  virtual Answer askYesNo(QWidget* owner, const QString& caption, const QString& text) = 0;
  /// A message with an OK button and no icon.
  virtual void inform(QWidget* owner, const QString& caption, const QString& text) = 0;
  /// A failure: an OK button and the error (critical) icon.
  virtual void reportFailure(QWidget* owner, const QString& caption, const QString& text) = 0;
};

}  // namespace ui
