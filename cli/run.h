#pragma once

#include "cli/arguments.h"

namespace cli {

/// Runs the command line: reads the texts, checks the paths, asks for confirmation where it
/// must, converts (or counts, in a dry run) every file and folder in the order given, and
/// prints the report and its summary. False when a file or folder failed or the question was
/// not answered yes; raises UsageError for a bad call (nothing changed then) and Interrupted
/// when a signal stopped the run.
bool execute(const Arguments& arguments);

}  // namespace cli
