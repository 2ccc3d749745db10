// Converts a folder tree as the window's folder command does with its default settings
// (binary files skipped, case-sensitive, no extension filter, every visited file rewritten, as
// many workers as the processor has cores, the work files of a folder run), for timing a
// folder run. With a mode first, runs as tarvel-cli does instead (the files without the find
// text left as they were):
//   tarvel_convert_folder_bench [MODE] FIND REPLACE PATH [ignore-case]
//   MODE  --count   the dry run (CountFiles): counts, changes nothing
//         --plan    plans (PlanFiles): each item's plan kept in a Plan, as a sink keeps it for
//                   review; changes nothing
//         --apply   plans, then applies the plan with every occurrence accepted (ApplyPlan over
//                   PlanTargets)
//         --convert the plain run (ConvertFiles)
// FIND and REPLACE are UTF-8; the files are CP1251. PATH is a folder, or with a mode a file.
// The work files are in a folder of the run's own in $TMPDIR (or /tmp), else the shared ones
// chosen there. TARVEL_BENCH_WORKERS sets the number of workers (the processor's cores unless
// set).
// With TARVEL_BENCH_UNDO set to a folder, each replaced file's original is kept there for undo,
// as the window keeps it in its undo store.
// Prints the message list's lines (with a mode, none), then the time and the process's peak
// resident memory; --apply prints the time of the plan and that of the apply, each timed alone
// ("planned in S s", "applied in S s").
// Exit status: 0 when the walk reported nothing, 3 when it reported lines, 1 on a failure.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "engine/file/convert_file.h"
#include "engine/review/plan.h"
#include "engine/run/run.h"
#include "engine/undo/undo.h"
#include "platform/code_page.h"
#include "platform/error.h"
#include "words/errors.h"
#include "words/run_lines.h"

namespace {

// The window's list: each item's line, as the window words it.
class PrintingSink : public engine::RunSink {
 public:
  void item(const engine::RunItem& item) override {
    const std::string line = words::WindowLine(item, {});
    if (line.empty()) return;
    std::printf("%s\n", line.c_str());
    ++m_lines;
  }
  std::size_t lines() const { return m_lines; }

 private:
  std::size_t m_lines = 0;
};

// tarvel-cli's side: nothing printed per file; a failure counted, each item's plan kept in
// `plan` (when given), as the review keeps it.
class KeepingSink : public engine::RunSink {
 public:
  explicit KeepingSink(engine::Plan* plan) : m_plan(plan) {}
  void item(const engine::RunItem& item) override {
    if (item.kind == engine::RunItem::Kind::Failed) {
      const std::string line = words::WindowLine(item, {});
      std::printf("%s\n", line.c_str());
      ++m_failures;
    }
    if (m_plan != nullptr && item.plan) m_plan->files.push_back(item.plan);
  }
  std::size_t failures() const { return m_failures; }

 private:
  engine::Plan* m_plan;
  std::size_t m_failures = 0;
};

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

enum class Mode { Window, Count, Plan, Apply, Convert };

std::optional<Mode> modeNamed(const char* name) {
  if (std::strcmp(name, "--count") == 0) return Mode::Count;
  if (std::strcmp(name, "--plan") == 0) return Mode::Plan;
  if (std::strcmp(name, "--apply") == 0) return Mode::Apply;
  if (std::strcmp(name, "--convert") == 0) return Mode::Convert;
  return std::nullopt;
}

// Keeps the originals in the folder TARVEL_BENCH_UNDO names, when set.
void undoFor(engine::RunRequest& request, std::optional<engine::UndoJournal>& undo,
             const char* find, const char* replace, const char* path) {
  if (const char* store = std::getenv("TARVEL_BENCH_UNDO")) {
    request.undo = &undo.emplace(
        store, engine::RunHeader{engine::RunOrigin::Window, find, replace, path});
  }
}

// The window's folder command.
int runWindow(engine::RunRequest request, const char* find, const char* replace,
              const char* path) {
  PrintingSink sink;
  const auto start = std::chrono::steady_clock::now();
  const std::string workFile = engine::ChooseWorkFile();
  engine::WorkFiles workFiles = engine::WorkFiles::ForFolderRun(workFile, request.workers);
  request.workFiles = &workFiles;
  std::optional<engine::UndoJournal> undo;
  undoFor(request, undo, find, replace, path);
  const std::atomic<bool> stop{false};
  engine::Run(request, sink, stop);
  if (undo && !undo->enabled()) throw *undo->problem();
  std::fprintf(stderr, "converted %s in %.3f s, %zu lines, peak resident memory %ld KiB\n",
               path, secondsSince(start), sink.lines(), peakResidentKiB());
  return sink.lines() == 0 ? 0 : 3;
}

// tarvel-cli's runs: the dry run, the plan, the plan applied, the plain run.
int runAsCli(Mode mode, engine::RunRequest request, const char* find, const char* replace,
             const char* path) {
  request.options.leaveUnmatched = true;
  const std::atomic<bool> stop{false};
  if (mode == Mode::Count || mode == Mode::Plan || mode == Mode::Apply) {
    engine::Plan plan;
    KeepingSink sink(mode == Mode::Count ? nullptr : &plan);
    request.action = mode == Mode::Count ? &engine::CountFiles() : &engine::PlanFiles();
    const auto start = std::chrono::steady_clock::now();
    const engine::RunOutcome looked = engine::Run(request, sink, stop);
    const double planned = secondsSince(start);
    if (mode == Mode::Count) {
      std::fprintf(stderr,
                   "counted %s in %.3f s with %u workers: %zu files, %zu hold %zu occurrences, "
                   "peak resident memory %ld KiB\n",
                   path, planned, request.workers, looked.tally.files, looked.tally.changed,
                   looked.tally.found, peakResidentKiB());
      return sink.failures() == 0 ? 0 : 3;
    }
    std::fprintf(stderr,
                 "planned %s in %.3f s with %u workers: %zu files, %zu hold %zu occurrences, "
                 "peak resident memory %ld KiB\n",
                 path, planned, request.workers, looked.tally.files, plan.files.size(),
                 plan.occurrences(), peakResidentKiB());
    if (mode == Mode::Plan) return sink.failures() == 0 ? 0 : 3;
    // The apply alone: from here on, as the plain run is timed from its start.
    const auto applying = std::chrono::steady_clock::now();
    const engine::ApplyPlan apply(plan);
    request.targets = engine::PlanTargets(plan);
    request.action = &apply;
    const std::string workFile = engine::ChooseWorkFile();
    engine::WorkFiles workFiles = engine::WorkFiles::ForFolderRun(workFile, request.workers);
    request.workFiles = &workFiles;
    std::optional<engine::UndoJournal> undo;
    undoFor(request, undo, find, replace, path);
    KeepingSink applied(nullptr);
    const engine::RunOutcome outcome = engine::Run(request, applied, stop);
    if (undo && !undo->enabled()) throw *undo->problem();
    std::fprintf(stderr,
                 "applied in %.3f s: %zu files changed, %zu occurrences replaced; plan and apply "
                 "%.3f s, peak resident memory %ld KiB\n",
                 secondsSince(applying), outcome.tally.changed, outcome.tally.replacements,
                 secondsSince(start), peakResidentKiB());
    return sink.failures() + applied.failures() == 0 ? 0 : 3;
  }
  KeepingSink sink(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const std::string workFile = engine::ChooseWorkFile();
  engine::WorkFiles workFiles = engine::WorkFiles::ForFolderRun(workFile, request.workers);
  request.workFiles = &workFiles;
  std::optional<engine::UndoJournal> undo;
  undoFor(request, undo, find, replace, path);
  const engine::RunOutcome outcome = engine::Run(request, sink, stop);
  if (undo && !undo->enabled()) throw *undo->problem();
  std::fprintf(stderr,
               "converted %s in %.3f s with %u workers: %zu files changed, %zu occurrences "
               "replaced, peak resident memory %ld KiB\n",
               path, secondsSince(start), request.workers, outcome.tally.changed,
               outcome.tally.replacements, peakResidentKiB());
  return sink.failures() == 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Mode> named = argc > 1 ? modeNamed(argv[1]) : std::nullopt;
  const Mode mode = named.value_or(Mode::Window);
  char** args = named ? argv + 1 : argv;
  const int count = named ? argc - 1 : argc;
  if (count < 4 || count > 5 || (count == 5 && std::strcmp(args[4], "ignore-case") != 0)) {
    std::fprintf(stderr,
                 "usage: %s [--count|--plan|--apply|--convert] FIND REPLACE PATH [ignore-case]\n",
                 argv[0]);
    return 2;
  }
  const auto page = platform::CodePage::byName("CP1251");
  if (!page) {
    std::fprintf(stderr, "iconv does not know CP1251\n");
    return 1;
  }
  try {
    engine::RunRequest request;
    request.options.findText = args[1];
    request.options.replaceText = args[2];
    request.options.caseSensitive = count < 5;
    request.options.skipBinary = true;
    request.options.asciiAsUtf8 = true;
    request.codePage = &*page;
    struct stat st {};
    const bool folder = mode == Mode::Window || stat(args[3], &st) != 0 || S_ISDIR(st.st_mode);
    request.targets = {{args[3], folder, std::nullopt}};
    request.workers = engine::DefaultWorkers();
    if (const char* workers = std::getenv("TARVEL_BENCH_WORKERS")) {
      request.workers = static_cast<unsigned>(std::max(1, std::atoi(workers)));
    }
    if (mode == Mode::Window) return runWindow(request, args[1], args[2], args[3]);
    return runAsCli(mode, request, args[1], args[2], args[3]);
  } catch (const platform::Error& e) {
    std::fprintf(stderr, "Error %d %s\n", e.number(), words::ErrorText(e).c_str());
    return 1;
  }
}
