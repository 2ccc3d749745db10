#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "engine/review/plan.h"
#include "engine/review/showing.h"
#include "engine/text/match_options.h"
#include "platform/code_page.h"

class QLabel;
class QPushButton;

namespace ui {

class CheckListView;
class OccurrencesModel;
class PlanFilesModel;

/// A preview's plan, and what the run that applies it needs.
struct ReviewedRun {
  engine::Plan plan;
  engine::MatchOptions options;  ///< as the preview found the occurrences with them
  QString target;                ///< the file or folder previewed, as typed: the run's name
  std::string root;              ///< the folder walked, whose files are shown below it; or empty
};

/// "Просмотр замен": the files of a preview's plan on the left, each with its check box, the
/// number of its occurrences and its encoding; the occurrences of the file selected on the
/// right, each on its line with its check box, the found text struck out in red and the
/// replacement in green. All are checked at first; a file's box checks or clears all of its
/// occurrences. "Заменить отмеченные" asks the owner to apply what is checked
/// (applyRequested); "Закрыть" (or Escape) closes the window, and nothing is written. Not
/// modal: the main window's list, with the preview's lines, stays readable beside it. Deleted
/// when closed.
class ReviewWindow final : public QDialog {
  Q_OBJECT

 public:
  /// `page` (for files read single-byte) must outlive the window.
  ReviewWindow(ReviewedRun run, const platform::CodePage& page, QWidget* owner);
  ~ReviewWindow() override;

  /// The plan with what is checked in it, and how to apply it. A copy shares the plan's files,
  /// so it may outlive the window.
  const ReviewedRun& run() const { return m_run; }

 signals:
  /// "Заменить отмеченные" was pressed.
  void applyRequested();

 private:
  void showFile(const QModelIndex& current);
  void showTally();

  ReviewedRun m_run;
  engine::Showing m_showing;
  PlanFilesModel* m_files = nullptr;
  OccurrencesModel* m_occurrences = nullptr;
  CheckListView* m_filesView = nullptr;
  CheckListView* m_occurrencesView = nullptr;
  QLabel* m_tally = nullptr;
  QPushButton* m_apply = nullptr;
  QPushButton* m_close = nullptr;
  int m_shownFile = -1;
};

}  // namespace ui
