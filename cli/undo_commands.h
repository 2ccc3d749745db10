#pragma once

#include <string>

namespace cli {

/// --runs: prints the runs kept for undo, oldest first, one line each (name, time, files,
/// size on disk, texts, file or folder, state), then the store's total. False on a failure.
bool listRuns();

/// --undo [RUN]: takes back run `id` (its name or number), or the last run when `id` is empty;
/// a run whose undo was stopped is finished. Names the run (its texts, target and files) and
/// asks on the terminal first unless `yes` (UsageError without a terminal); a run that is not
/// in the store raises Refusal. With `dryRun`, only says what would come back.
/// Prints a line for each file left alone and a summary; true when every file came back (or
/// would). A signal stops it between files (Interrupted).
bool undoRun(const std::string& id, bool dryRun, bool yes);

/// --forget RUN|all: drops the run (or every run) with its kept originals, after asking on the
/// terminal unless `yes`. False on a failure or a no; raises UsageError without a terminal.
bool forgetRuns(const std::string& which, bool yes);

}  // namespace cli
