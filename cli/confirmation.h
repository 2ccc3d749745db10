#pragma once

#include <string>

namespace cli {

/// `text` with every CR LF turned into a bare LF, as a terminal wants it.
std::string forTerminal(const std::string& text);

/// True only for an explicit yes: "y", "yes", "д" or "да" in any case, with surrounding
/// blanks and the line end ignored. Anything else, an empty line included, is a no.
bool isExplicitYes(const std::string& answer);

/// Reads one line from standard input, a terminal, without its line end; a signal ends the
/// wait (Interrupted). Ctrl+D gives what was typed so far.
std::string readAnswer();

/// Raises UsageError unless standard input is a terminal, where a question can be answered;
/// `doing` names what --yes would let the program do without one ("заменять").
void requireTerminal(const char* doing);

/// Asks `question` (the window's words; CR LF shown as LF on a terminal) on standard error and
/// reads the answer from standard input: true only for an explicit yes. A signal ends the wait
/// (Interrupted).
bool askOnTerminal(const std::string& question);

}  // namespace cli
