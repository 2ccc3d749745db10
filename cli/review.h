#pragma once

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

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
/// it, and quoted as git quotes a name ("a/x y" with C escapes inside) where it begins or ends
/// with a space or holds a control character, a quote, a backslash, a byte that is not UTF-8 or
/// a character a terminal would not show as it is (words::ShownPath); other UTF-8 stays raw.
std::string DiffPath(const std::string& path);

/// Lines of files as --diff and -p show them. On a terminal every control character and
/// direction control in them is written as names are (words::ShownPath: \r, \x1b, \u202e), and
/// a note on standard error says so once; elsewhere the lines pass byte for byte.
class ScreenLines {
 public:
  explicit ScreenLines(bool terminal) : m_terminal(terminal) {}

  /// `text` as it is to be shown: a line feed that ends a line (with the CR of a CR LF) and a
  /// tab stay as they are.
  std::string operator()(std::string_view text);
  /// Says on standard error that shown lines were escaped, the first time one was; after that,
  /// and while none was, nothing.
  void noteOnce();
  /// Whether lines are escaped at all (shown on a terminal).
  bool terminal() const { return m_terminal; }
  /// Whether a line was escaped; that one was, by another ScreenLines (on a worker).
  bool escaped() const { return m_escaped; }
  void escapedElsewhere() { m_escaped = true; }

 private:
  bool m_terminal;
  bool m_escaped = false;
  bool m_noted = false;
};

/// Writes a planned file's accepted changes to `out` as a unified diff with three lines of
/// context, its lines passed through `lines`. Raises platform::Error when the file cannot be
/// read again, or is no longer as planned.
void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, ScreenLines& lines, int openFile = -1);
/// The same for one diff alone: its lines escaped where `out` is a terminal, and noted.
void PrintDiff(std::FILE* out, const engine::PlannedFile& plan, const engine::Showing& showing,
               bool colour, int openFile = -1);

/// The items of a plan's run: a file with occurrences has its diff shown (--diff) and its plan
/// kept to be applied; every item goes to the report as well (a dry run lists the files that
/// would change, a run that goes on lists only what it could not plan).
/// Plans each file as engine::PlanFiles() does, and makes its diff (RunItem::shown) on the
/// worker that planned it, as PrintDiff writes it: the diffs of a run are made side by side and
/// given out in order by PlanReport. A file too big for its diff to be held, or that cannot be
/// read again, is left to PlanReport, which shows it (or its failure) as it comes.
class DiffingPlans final : public engine::FileAction {
 public:
  DiffingPlans(const engine::Showing& showing, bool colour, bool terminal)
      : m_showing(showing), m_colour(colour), m_terminal(terminal) {}
  bool writes() const override { return false; }
  engine::RunItem apply(const engine::FileRef& file, const engine::Conversion& conversion,
                        engine::FileOutcome& found) const override;
  /// Whether a diff made so far had a line escaped.
  bool escaped() const { return m_escaped; }

 private:
  const engine::Showing& m_showing;
  bool m_colour;
  bool m_terminal;
  mutable std::atomic<bool> m_escaped{false};
};

class PlanReport : public engine::RunSink {
 public:
  /// The diffs made by `diffing`, when given, are printed as they are.
  PlanReport(Report& report, Progress& progress, const engine::Showing& showing, bool diff,
             bool colour, engine::Plan* keep, const DiffingPlans* diffing = nullptr);

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
  const DiffingPlans* m_diffing;
  ScreenLines m_lines;  // the lines of every diff of the run, for standard output
  std::size_t m_failedToShow = 0;
};

/// Asks on the terminal about each occurrence of the plan, shown with the lines around it, and
/// marks the answers in it: y, n, a (the rest of the file), d (none of the rest of the file),
/// q (none of the rest at all), ? (help). What it shows of the files is always escaped as on a
/// terminal: it is read by a person, never applied.
/// An answer to -p's question.
enum class Answer { Yes, No, RestOfFile, NoneOfFile, Quit };
/// The answer typed: y/n/a/d/q in either case, "yes"/"no", and "д"/"да", "н"/"нет" for yes
/// and no, as the last question takes them; nothing for anything else (then the help).
std::optional<Answer> ReplaceAnswer(const std::string& typed);

/// With several pairs, each occurrence's heading names its pair.
struct PairsShown {
  const std::vector<engine::Pair>* pairs = nullptr;
  bool fromFile = false;
};
void AskAboutEach(engine::Plan& plan, const engine::Showing& showing, bool colour,
                  const PairsShown& pairs = {});

}  // namespace cli
