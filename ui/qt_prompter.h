#pragma once

#include "ui/prompter.h"

namespace ui {

/// The message boxes as QMessageBox shows them: modal, over `owner`, texts as plain text.
class QtPrompter final : public Prompter {
 public:
  Answer askYesNo(QWidget* owner, const QString& caption, const QString& text) override;
  void inform(QWidget* owner, const QString& caption, const QString& text) override;
  void reportFailure(QWidget* owner, const QString& caption, const QString& text) override;
};

}  // namespace ui
