#pragma once

#include <functional>

#include "engine/file/convert_file.h"
#include "engine/file/planned_file.h"

namespace engine {

/// Converts the text that `in` gives (a pipe, a terminal, a file) into `out` as a file is
/// converted: classified by one look at all of its bytes and replaced in its own encoding. The
/// input and the result are kept in unnamed files in the temporary folder meanwhile (in memory
/// where no such file can be made), so that `out` gets the whole result or nothing. A binary
/// input, while binary files are left alone, goes to `out` as it came. Returns what was found;
/// raises platform::Error (then nothing was written to `out`, unless writing it failed).
FileOutcome ConvertStream(int in, int out, const Conversion& conversion);

/// The same, with the input's plan given to `shown` (with the spooled copy it was planned
/// from, open) before anything is written: a diff of the input. Without `write` nothing is
/// written to `out` at all.
using ShowStream = std::function<void(const PlannedFile& plan, int spooled)>;
FileOutcome ConvertStream(int in, int out, const Conversion& conversion, const ShowStream& shown,
                          bool write);

}  // namespace engine
