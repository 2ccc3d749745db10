#include "cli/confirmation.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/arguments.h"
#include "cli/signals.h"
#include "cli/words.h"

namespace cli {

std::string readAnswer() {
  std::string line;
  for (;;) {
    // A signal may come just before poll() starts, so the wait is cut into short slices.
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    stopIfSignalled();
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return line;
    }
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fputc('\n', stderr);  // Ctrl+D: the next prompt starts on a line of its own
      return line;
    }
    if (c == '\n') return line;
    line += c;
  }
}

std::string forTerminal(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

bool isExplicitYes(const std::string& answer) {
  const char* blanks = " \t\r\n";
  const auto first = answer.find_first_not_of(blanks);
  if (first == std::string::npos) return false;
  const auto last = answer.find_last_not_of(blanks);
  std::string word;
  const std::string trimmed = answer.substr(first, last - first + 1);
  for (std::size_t i = 0; i < trimmed.size(); ++i) {
    const auto c = static_cast<unsigned char>(trimmed[i]);
    // UTF-8 "Д" (D0 94) and "А" (D0 90) become "д" (D0 B4) and "а" (D0 B0).
    if (c == 0xD0 && i + 1 < trimmed.size()) {
      const auto next = static_cast<unsigned char>(trimmed[i + 1]);
      word += trimmed[i];
      word += static_cast<char>(next == 0x94 ? 0xB4 : next == 0x90 ? 0xB0 : next);
      ++i;
      continue;
    }
    word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return text::IsYesWord(word);
}

void requireTerminal(const char* doing) {
  if (isatty(STDIN_FILENO)) return;
  throw UsageError(text::NoTerminalText(doing));
}

bool askOnTerminal(const std::string& question) {
  const std::string shown = isatty(STDERR_FILENO) ? forTerminal(question) : question;
  std::fprintf(stderr, "%s%s", shown.c_str(), text::kPrompt);
  std::fflush(stderr);
  return isExplicitYes(readAnswer());
}

}  // namespace cli
