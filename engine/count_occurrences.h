#pragma once

#include <cstddef>
#include <string>

#include "engine/convert_file.h"

namespace engine {

/// How many occurrences of the find text a conversion of `path` would replace; the file is
/// only read. Raises platform::Error when it cannot be read; links, pipes and devices are
/// refused as ConvertFile refuses them.
std::size_t CountOccurrences(const std::string& path, const Conversion& conversion);

}  // namespace engine
