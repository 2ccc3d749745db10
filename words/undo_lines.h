#pragma once

#include <string>

#include "engine/undo/undo.h"

namespace words {

/// How the list of runs names a run: who made it and its texts, "tarvel-cli «a» → «b»".
std::string RunTitle(const engine::UndoRunInfo& run);

/// The question before `run` is taken back (the window's, and tarvel-cli's on a terminal).
std::string UndoQuestion(const engine::UndoRunInfo& run);

/// The line that reports `result` (both faces say the same); empty where nothing is said.
std::string UndoLine(const engine::UndoFileResult& result);

/// The line that ends a finished undo (both faces): "Замена <id> отменена. Возвращено файлов:
/// N, оставлено как есть: M."; for a dry run, what would come back.
std::string UndoDoneLine(const engine::UndoOutcome& outcome, bool dryRun);

/// The line for journal lines that could not be read, when there were any; empty otherwise.
std::string UnreadableLinesLine(const engine::UndoOutcome& outcome);

}  // namespace words
