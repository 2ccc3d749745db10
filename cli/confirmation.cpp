#include "cli/confirmation.h"

namespace cli {

const char* const kPrompt = " (да/нет): ";

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
  return word == "y" || word == "yes" || word == "д" || word == "да";
}

}  // namespace cli
