#pragma once

#include <string>

#include "engine/file/convert_file.h"

namespace engine {

/// What a conversion of `path` would find, the file only read: its kind and the number of
/// occurrences it would replace. The same checks as ConvertFile's apply before anything is
/// counted, and a binary file is reported as ConvertFile reports it. Raises platform::Error
/// where ConvertFile would fail before writing (links, pipes and devices refused, a read
/// error, a file too large, a replacement the file's code page cannot hold). The outcome's
/// `refusal` says whether the replace step would refuse the file.
FileOutcome CountOccurrences(const std::string& path, const Conversion& conversion);
FileOutcome CountOccurrencesAt(const FileRef& file, const Conversion& conversion);

}  // namespace engine
