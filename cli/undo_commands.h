#pragma once

#include <string>

namespace cli {

/// --runs: prints the runs kept for undo, oldest first, one line each (name, time, files,
/// command, file or folder). Returns the exit status.
int listRuns();

/// --undo [RUN]: takes back run `id`, or the last run when `id` is empty. Prints a line for
/// each file left alone and a summary; returns 0 when every file came back, 1 otherwise.
int undoRun(const std::string& id);

}  // namespace cli
