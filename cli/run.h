#pragma once

#include "cli/arguments.h"

namespace cli {

/// Runs the command line: reads the texts, checks the paths, asks for confirmation where it
/// must, converts (or counts, in a dry run) every file and folder in the order given, and
/// prints the report and its summary. Returns the exit status; raises UsageError for a bad
/// call (nothing changed then) and Interrupted when a signal stopped the run.
int execute(const Arguments& arguments);

}  // namespace cli
