#pragma once

#include "cli/arguments.h"

namespace cli {

/// "-" as the only PATH: standard input, classified and converted as a file is, to standard
/// output; nothing is recorded for undo. A failure goes to standard error and standard output
/// gets nothing. False on a failure; raises UsageError and Interrupted as execute() does.
bool filter(const Arguments& arguments);

}  // namespace cli
