#pragma once

#include <QList>
#include <QString>
#include <deque>
#include <functional>
#include <optional>

#include "platform/error.h"
#include "ui/dialog_provider.h"
#include "ui/link_opener.h"

namespace ui_testing {

/// Plays a script of the dialogs and links the windows ask for: each call must be the next
/// expected one; an unexpected call or one left over (checked by verifyDone) fails the running
/// test. Every request is kept, so that tests can check what the dialog was opened with.
class ScriptedDialogs final : public ui::DialogProvider, public ui::LinkOpener {
 public:
  /// Runs while the dialog is up, with what it was opened with.
  using During = std::function<void(const ui::FileRequest&)>;

  /// A link opened from the About window.
  struct OpenedLink {
    QString target;
    QString workingFolder;
  };

  /// The owner every dialog must have; nullptr accepts any.
  void setExpectedOwner(QWidget* owner) { m_owner = owner; }

  /// The next file dialog closes with `path` (empty: cancelled) and filter `selectedFilter`.
  void expectFile(const QString& path, int selectedFilter, During during = {});
  /// The next folder dialog shows `prompt` and closes with `path` (empty: cancelled).
  void expectFolder(const QString& prompt, const QString& path);
  /// The next link asked for; `failure`, when given, is raised by the call.
  void expectLink(const QString& target, std::optional<platform::Error> failure = {});

  /// Fails the running test when expected calls were not made; forgets them.
  void verifyDone(const char* file, int line);

  const QList<ui::FileRequest>& fileRequests() const { return m_fileRequests; }
  const QList<OpenedLink>& links() const { return m_links; }
  /// How many dialogs and links were asked for.
  int calls() const { return m_calls; }

  ui::FileAnswer openFile(QWidget* owner, const ui::FileRequest& request) override;
  QString pickFolder(QWidget* owner, const QString& prompt) override;
  void open(const QString& target, const QString& workingFolder) override;

 private:
  enum class Kind { File, Folder, Link };
  struct Step {
    Kind kind;
    QString text;  // the answer's path, the prompt, or the link
    QString path;
    int selectedFilter = 0;
    During during;
    std::optional<platform::Error> failure;
  };
  /// The next step when it is of `kind`; fails the test and returns nothing otherwise.
  std::optional<Step> next(Kind kind, const QString& what);
  void checkOwner(QWidget* owner);

  std::deque<Step> m_steps;
  QWidget* m_owner = nullptr;
  QList<ui::FileRequest> m_fileRequests;
  QList<OpenedLink> m_links;
  int m_calls = 0;
};

}  // namespace ui_testing

/// Fails the test when the dialogs double still holds expected calls.
#define VERIFY_DIALOGS_DONE(dialogs) (dialogs).verifyDone(__FILE__, __LINE__)
