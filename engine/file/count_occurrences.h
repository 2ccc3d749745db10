#pragma once

#include <string>

#include "engine/file/convert_file.h"

namespace engine {

/// What a conversion of `file` would find, the file only read: its kind and the number of
/// occurrences it would replace. The same checks as ConvertFileAt's apply before anything is
/// counted. Raises platform::Error where ConvertFileAt would fail before writing (links, pipes
/// and devices refused, a read error, a file too large, a replacement the file's code page
/// cannot hold). The outcome's `refusal` says whether the replace step would refuse the file.
FileOutcome CountOccurrencesAt(const FileRef& file, const Conversion& conversion);

}  // namespace engine
