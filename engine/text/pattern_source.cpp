// What a typed regular expression becomes for PCRE2: its line breaks matching either kind, and
// its matches kept to whole words.
#include "engine/text/pattern_source.h"

#include <algorithm>
#include <cctype>

namespace engine {
namespace {

// A line break of a find text, as either kind.
constexpr std::string_view kEitherLineBreak = "(?:\\r\\n|\\n)";

// Where the character class that begins at `from` (its `[`) ends: after its `]`, or at the
// pattern's end. A `]` first in it is itself, as are the escaped and quoted ones and those
// of its POSIX classes ([:alpha:]).
std::size_t classEnd(std::string_view p, std::size_t from) {
  std::size_t i = from + 1;
  if (i < p.size() && p[i] == '^') ++i;
  if (i < p.size() && p[i] == ']') ++i;
  while (i < p.size()) {
    if (p.substr(i).starts_with("\\Q")) {
      const std::size_t end = p.find("\\E", i + 2);
      i = end == std::string_view::npos ? p.size() : end + 2;
    } else if (p[i] == '\\') {
      i += 2;
    } else if (p[i] == '[' && i + 1 < p.size() &&
               std::string_view(":.=").find(p[i + 1]) != std::string_view::npos) {
      const std::size_t end = p.find(std::string{p[i + 1], ']'}, i + 2);
      i = end == std::string_view::npos ? p.size() : end + 2;
    } else if (p[i] == ']') {
      return i + 1;
    } else {
      ++i;
    }
  }
  return p.size();
}

}  // namespace

// Where the items that only count at a pattern's very start ((*UTF), (*LF), (*LIMIT_MATCH=9)
// and the like) end.
std::size_t LeadingItemsEnd(std::string_view pattern) {
  std::size_t at = 0;
  while (pattern.substr(at).starts_with("(*")) {
    std::size_t end = at + 2;
    while (end < pattern.size() &&
           ((pattern[end] >= 'A' && pattern[end] <= 'Z') || pattern[end] == '_')) {
      ++end;
    }
    if (end < pattern.size() && pattern[end] == '=') {
      ++end;
      while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9') ++end;
    }
    if (end == at + 2 || end >= pattern.size() || pattern[end] != ')') break;
    at = end + 1;
  }
  return at;
}

// Whether the pattern may turn on PCRE2's extended mode ((?x), (?xx), (?^x), (?x:...)), where a
// line break is no character but space, or the end of a comment. Looked for loosely: what only
// seems to is taken as it is too.
bool MayBeExtended(std::string_view p) {
  for (std::size_t i = p.find("(?"); i != std::string_view::npos; i = p.find("(?", i + 2)) {
    for (std::size_t j = i + 2; j < p.size() && (std::isalpha(static_cast<unsigned char>(p[j])) ||
                                                 p[j] == '^' || p[j] == '-');
         ++j) {
      if (p[j] == 'x') return true;
    }
  }
  return false;
}

// `p` with each line break of its own (CR LF or LF, not escaped, outside character classes and
// comments, \Q...\E included) matching CR LF and LF alike, as a line break of a literal find
// text does.
std::string WithEitherLineBreak(std::string_view p) {
  std::string out;
  bool quoted = false;  // inside \Q...\E
  std::size_t i = 0;
  const auto lineBreak = [&] {
    if (p[i] == '\r' && i + 1 < p.size() && p[i + 1] == '\n') ++i;
    if (p[i] != '\n') return false;
    ++i;
    out += quoted ? "\\E" + std::string(kEitherLineBreak) + "\\Q" : std::string(kEitherLineBreak);
    return true;
  };
  while (i < p.size()) {
    const std::size_t at = i;
    if (lineBreak()) continue;
    i = at;
    std::size_t end = i + 1;
    if (quoted) {
      if (p.substr(i).starts_with("\\E")) {
        quoted = false;
        end = i + 2;
      }
    } else if (p.substr(i).starts_with("\\Q")) {
      quoted = true;
      end = i + 2;
    } else if (p[i] == '\\') {
      end = std::min(p.size(), i + 2);
    } else if (p[i] == '[') {
      end = classEnd(p, i);
    } else if (p.substr(i).starts_with("(?#")) {
      end = p.find(')', i);
      end = end == std::string_view::npos ? p.size() : end + 1;
    }
    out += p.substr(i, end - i);
    i = end;
  }
  return out;
}

// Whether the pattern may call itself whole ((?R), (?0), \g<0>): wrapped, the call would take
// the wrapping too.
bool RecursesWhole(std::string_view p) {
  for (const std::string_view call : {"(?R", "(?0", "\\g<0", "\\g'0", "\\g<+0", "\\g'+0"}) {
    if (p.find(call) != std::string_view::npos) return true;
  }
  return false;
}

// `p` matched only where the characters before and after its match are no word characters
// (IsWordCharacter: Alphabetic, a decimal digit, `_`), so that a search that finds no whole
// word at a place tries the pattern's other matches there, as grep -w does. `end` closes
// what the pattern may leave open: a \Q without its \E, or an (?x) comment.
std::string AsWholeWords(std::string_view p, std::string_view end) {
  constexpr std::string_view kWord = "[\\p{Alphabetic}\\p{Nd}_]";
  const std::size_t lead = LeadingItemsEnd(p);
  std::string out(p.substr(0, lead));
  out += "(?<!";
  out += kWord;
  out += ")(?:";
  out += p.substr(lead);
  out += end;
  out += ")(?!";
  out += kWord;
  out += ")";
  return out;
}

// The character (from 1) that byte `offset` of UTF-8 `text` begins or belongs to. Counts lead
// bytes, so that it holds for text that is not valid UTF-8 too.
std::uint64_t CharacterAt(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::uint64_t characters = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++characters;
  }
  return characters + 1;
}

}  // namespace engine
