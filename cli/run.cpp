#include "cli/run.h"

#include <unistd.h>

#include <cstdio>
#include <optional>

#include "cli/confirmation.h"
#include "cli/job.h"
#include "cli/report.h"
#include "cli/review.h"
#include "cli/signals.h"
#include "cli/words.h"
#include "engine/run/run.h"
#include "engine/undo/undo.h"
#include "words/errors.h"
#include "words/run_lines.h"

namespace cli {
namespace {

engine::MatchOptions optionsOf(const Arguments& a, const Job& job) {
  engine::MatchOptions o;
  job.setTexts(o);
  o.caseSensitive = !a.ignoreCase;
  o.exactLineBreaks = a.exactLineBreaks;
  o.wholeWords = a.wholeWords;
  o.regex = a.regex;
  o.preserveCase = a.preserveCase;
  o.skipBinary = !a.includeBinary;
  o.extensions = a.extensions;
  o.excludes = a.excludes;
  o.includes = a.includes;
  o.gitIgnores = !a.noIgnore;
  o.maxSize = a.maxSize.value_or(0);
  o.encoding = job.encoding;
  o.asciiAsUtf8 = !platform::localeIsSingleByte();
  o.hidden = a.hidden;
  o.leaveUnmatched = !a.rewriteAll;
  return o;
}

// The pairs --stats counts: one find text is a pair of its own.
std::vector<engine::Pair> statsPairs(const Job& job) {
  if (!job.pairs.empty()) return job.pairs;
  return {engine::Pair{job.find, job.replace, 1}};
}

engine::RunHeader undoHeader(const Job& job) {
  engine::RunHeader header{engine::RunOrigin::CommandLine, job.find, job.replace, {}};
  for (const Target& t : job.targets) {
    if (!header.target.empty()) header.target += ", ";
    header.target += t.path;
  }
  return header;
}

// Says once, at the end, when the run could not be recorded for undo, or only in part.
void warnUndo(const std::optional<engine::UndoJournal>& undo) {
  if (!undo || undo->enabled()) return;
  std::fflush(stdout);
  std::fprintf(stderr, "tarvel-cli: %s\n",
               words::UndoProblemLine(undo->partial(), *undo->problem(), false).c_str());
}

// What was not planned, then, the plan shown and answered, what was accepted of it written:
// --diff and --interactive.
bool executeReviewed(const Arguments& a, const Job& job, engine::RunRequest request,
                     std::optional<engine::WorkFiles>& workFiles) {
  const bool only = job.targets.size() == 1;
  const bool colour = UseColour(a.color, a.interactive ? STDERR_FILENO : STDOUT_FILENO);
  Progress progress(isatty(STDERR_FILENO) && (!only || job.targets.front().folder));
  std::FILE* lines = a.diff ? stderr : stdout;
  const engine::Showing showing(request.options, *job.page);
  engine::Plan plan;
  Report planned(progress, {job.page->name(), a.dryRun}, only, lines);
  if (a.stats) planned.noteStats(statsPairs(job), !job.pairsFile.empty());
  // The diffs are made by the workers that plan their files.
  const DiffingPlans diffing(showing, colour, isatty(STDOUT_FILENO) != 0);
  PlanReport planning(planned, progress, showing, a.diff, colour, a.dryRun ? nullptr : &plan,
                      &diffing);
  request.action = a.diff ? static_cast<const engine::FileAction*>(&diffing) : &engine::PlanFiles();
  const engine::RunOutcome looked = engine::Run(request, planning, stopFlag());
  if (looked.stopped || stopFlag().load()) {
    planned.stopped(looked.tally);
    throw Interrupted{};
  }
  if (a.dryRun) {
    engine::RunTally t = looked.tally;
    t.changed -= planning.failedToShow();
    t.failures += planning.failedToShow();
    planned.finish(t, !a.ignoreCase, true);
    return !t.failed();
  }
  if (a.interactive) {
    AskAboutEach(plan, showing, UseColour(a.color, STDERR_FILENO),
                 {job.pairs.empty() ? nullptr : &job.pairs, !job.pairsFile.empty()});
    if (!plan.files.empty() && plan.accepted() == 0) {
      std::fprintf(stderr, "%s\n", text::kNothingAccepted);
    }
  } else if (!a.yes && plan.accepted() > 0 && !askOnTerminal(WarningFor(job))) {
    std::fprintf(stderr, "%s\n", text::kRunDeclined);
    return false;
  }
  std::fflush(stdout);
  const engine::ApplyPlan apply(plan);
  request.targets = engine::PlanTargets(plan);
  request.action = &apply;
  request.workFiles = &*workFiles;
  std::optional<engine::UndoJournal> undo;
  if (!a.noUndo && !request.targets.empty()) {
    undo.emplace(engine::UndoStoreFolder(), undoHeader(job));
  }
  request.undo = undo ? &*undo : nullptr;
  Report report(progress, {job.page->name(), false}, false, lines);
  if (a.stats) report.noteStats(statsPairs(job), !job.pairsFile.empty());
  const engine::RunOutcome outcome = engine::Run(request, report, stopFlag());
  workFiles.reset();
  const engine::RunTally t = looked.tally.afterApplying(outcome.tally, planning.failedToShow());
  report.noteUnused(looked);
  if (outcome.stopped || stopFlag().load()) {
    report.stopped(t);
    warnUndo(undo);
    throw Interrupted{};
  }
  report.finish(t, !a.ignoreCase, true);
  warnUndo(undo);
  return !t.failed();
}

}  // namespace

bool execute(const Arguments& a) {
  const Job job = prepare(a);
  stopIfSignalled();
  std::optional<engine::WorkFiles> workFiles;
  const unsigned workers = a.jobs.value_or(engine::DefaultWorkers());
  try {
    if (!a.dryRun) workFiles.emplace(engine::WorkFiles::Private(workers));
  } catch (const platform::Error& e) {
    throw Refusal(words::ErrorText(e));
  }
  const bool reviewing = a.diff || a.interactive;
  if (a.interactive && !isatty(STDIN_FILENO)) throw UsageError(text::kNoTerminalToAsk);
  if (!a.dryRun && !a.yes && !a.interactive) {
    requireTerminal(text::kReplacing);
    if (!reviewing && !askOnTerminal(WarningFor(job))) {
      std::fprintf(stderr, "%s\n", text::kRunDeclined);
      return false;
    }
  }
  engine::RunRequest request;
  bool anyFolder = false;
  for (const Target& t : job.targets) {
    request.targets.push_back(t.runTarget());
    anyFolder = anyFolder || t.folder;
  }
  request.options = optionsOf(a, job);
  request.codePage = &*job.page;
  request.workers = workers;
  if (reviewing) return executeReviewed(a, job, std::move(request), workFiles);
  request.action = a.dryRun ? &engine::CountFiles() : &engine::ConvertFiles();
  request.workFiles = workFiles ? &*workFiles : nullptr;
  std::optional<engine::UndoJournal> undo;
  if (!a.dryRun && !a.noUndo) undo.emplace(engine::UndoStoreFolder(), undoHeader(job));
  request.undo = undo ? &*undo : nullptr;

  const bool only = job.targets.size() == 1;
  Progress progress(anyFolder && isatty(STDERR_FILENO));
  Report report(progress, {job.page->name(), a.dryRun}, only);
  if (a.stats) report.noteStats(statsPairs(job), !job.pairsFile.empty());
  const engine::RunOutcome outcome = engine::Run(request, report, stopFlag());
  workFiles.reset();
  const engine::RunTally& t = outcome.tally;
  // A signal after the last file still ends the run as stopped. What was done is said all the
  // same: files were changed, and recorded for undo.
  if (outcome.stopped || stopFlag().load()) {
    report.stopped(t);
    warnUndo(undo);
    throw Interrupted{};
  }
  report.noteUnused(outcome);
  // A single file closes as the window's file command does: only when it was rewritten.
  const bool closing =
      a.dryRun || !only || job.targets.front().folder || (!t.failed() && t.skipped == 0);
  report.finish(t, !a.ignoreCase, closing);
  warnUndo(undo);
  return !t.failed();
}

}  // namespace cli
