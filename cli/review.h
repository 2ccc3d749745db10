#pragma once

#include <cstdio>
#include <string>

#include "cli/report.h"
#include "engine/review/plan.h"
#include "engine/review/showing.h"
#include "engine/review/shown_file.h"
#include "engine/run/run.h"

namespace cli {

/// Whether --diff and -p colour what they write to `fd`: --color=always and never decide;
/// auto colours a terminal unless NO_COLOR is set to something.
bool UseColour(const std::string& when, int fd);

/// A path as a diff names it below a/ and b/: relative to the current folder where it lies in
/// it, quoted as git quotes a name with control characters, quotes or backslashes.
std::string DiffPath(const std::string& path);

/// Writes a planned file's accepted changes to `out` as a unified diff with three lines of
/// context. Raises platform::Error when the file cannot be read again, or is no longer as
/// planned.
void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, int openFile = -1);

/// The items of a plan's run: a file with occurrences has its diff shown (--diff) and its plan
/// kept to be applied; every item goes to the report as well (a dry run lists the files that
/// would change, a run that goes on lists only what it could not plan).
class PlanReport : public engine::RunSink {
 public:
  PlanReport(Report& report, Progress& progress, const engine::Showing& showing, bool diff,
             bool colour, engine::Plan* keep);

  void item(const engine::RunItem& item) override;
  void waiting(std::size_t filesDone) override { m_report.waiting(filesDone); }
  void lockWait(std::optional<platform::Why> what) override { m_report.lockWait(what); }

  /// Files found changed while their diff was being shown: reported as failures.
  std::size_t failedToShow() const { return m_failedToShow; }

 private:
  Report& m_report;
  Progress& m_progress;
  const engine::Showing& m_showing;
  bool m_diff;
  bool m_colour;
  engine::Plan* m_keep;
  std::size_t m_failedToShow = 0;
};

/// Asks on the terminal about each occurrence of the plan, shown with the lines around it, and
/// marks the answers in it: y, n, a (the rest of the file), d (none of the rest of the file),
/// q (none of the rest at all), ? (help).
void AskAboutEach(engine::Plan& plan, const engine::Showing& showing, bool colour);

}  // namespace cli
