#pragma once

#include <cstddef>
#include <string>

#include "engine/match_options.h"
#include "platform/code_page.h"

namespace engine {

/// Everything one conversion works with. The caller owns the message list, the fold table and
/// the work-file path; the engine keeps nothing between calls.
struct Conversion {
  MatchOptions options;
  MessageList& messages;
  const platform::FoldTable& fold;  ///< the code page's case folding
  std::string workFile;             ///< from ChooseWorkFile
  EventPump pump;                   ///< called after each chunk; may be empty
  std::size_t chunkSize = ChunkSize;
};

/// The work-file path for this run: the temporary folder + "/k5ywhqx", or, while a file of that
/// name exists, "k5ywhqx0", "k5ywhqx1" ... (a folder does not count). Creates nothing.
std::string ChooseWorkFile(const EventPump& pump = {});

/// Rewrites the file at `path` with every occurrence of the find text replaced. Returns true
/// when the file was rewritten, false when it was skipped as binary (a line is then added to
/// the message list). Raises platform::Error on any failure; the file is then as it was.
/// The converted text replaces the file in one rename, never after removing it first.
bool ConvertFile(const std::string& path, const Conversion& conversion);

/// Raises the failure ConvertFile gives where it would replace a hidden, system or read-only
/// file (platform::kRefusedAttribute); returns when the file may be replaced.
void CheckReplaceable(const std::string& path);

/// Removes the work file when it is a regular file of this user; reports nothing.
void DeleteWorkFile(const std::string& workFile);

/// The message-list line for a file skipped as binary.
std::string BinaryFileLine(const std::string& path);

}  // namespace engine
