#pragma once

#include <cstddef>
#include <string>

#include "engine/text/match_options.h"

namespace engine {

/// True when `data` holds a control byte: 0 to 8 or 14 to 31 (tab, line feed, vertical tab,
/// form feed and carriage return are text).
bool HasControlByte(const char* data, std::size_t size);

/// True when the file at `path` holds a control byte. False when it holds none, when it cannot
/// be read, and for anything that is not a regular file (which is never opened). Reports
/// nothing; calls `pump` after each chunk.
bool IsBinaryFile(const std::string& path, const EventPump& pump = {},
                  std::size_t chunkSize = ChunkSize);

}  // namespace engine
