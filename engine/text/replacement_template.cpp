// A replacement text with $1, ${name} and $$, made once and filled in from each match.
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "engine/text/pattern.h"
#include "engine/text/pattern_source.h"
#include "platform/error.h"

namespace engine {
namespace {

using platform::Error;
using platform::Step;
using platform::Why;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Where the group name that begins at `from` ends: names are made of letters, digits and `_`,
// Unicode letters and digits included, as PCRE2 takes them in a UTF pattern.
std::size_t nameEnd(std::string_view text, std::size_t from) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto size = static_cast<std::int32_t>(text.size());
  auto at = static_cast<std::int32_t>(from);
  while (at < size) {
    std::int32_t next = at;
    UChar32 c = 0;
    U8_NEXT(bytes, next, size, c);
    if (c != '_' && !u_isalpha(c) && !u_isdigit(c)) break;
    at = next;
  }
  return static_cast<std::size_t>(at);
}

}  // namespace

// ReplacementTemplate

ReplacementTemplate ReplacementTemplate::Compile(const Pattern& pattern, std::string_view text) {
  ReplacementTemplate t;
  t.m_text = text;
  const std::size_t size = text.size();
  std::size_t literalFrom = 0;
  const auto addLiteral = [&](std::size_t end) {
    if (end > literalFrom) {
      t.m_pieces.push_back({static_cast<std::uint32_t>(literalFrom),
                            static_cast<std::uint32_t>(end - literalFrom), false});
    }
  };
  const auto badReference = [&](std::size_t dollar) {
    return Error(platform::kBadPattern, Step::None, Why::BadReference)
        .at(CharacterAt(text, dollar), false);
  };
  std::size_t i = 0;
  while (i < size) {
    if (text[i] != '$') {
      ++i;
      continue;
    }
    const std::size_t dollar = i;
    if (dollar + 1 == size) throw badReference(dollar);
    if (text[dollar + 1] == '$') {
      addLiteral(dollar + 1);  // the first `$` stays, the second goes
      literalFrom = i = dollar + 2;
      continue;
    }
    const bool braced = text[dollar + 1] == '{';
    std::size_t from = dollar + 1 + (braced ? 1 : 0);
    std::size_t end = from;
    if (end < size && isDigit(text[end])) {
      while (end < size && isDigit(text[end])) ++end;
    } else {
      end = nameEnd(text, from);
    }
    if (end == from) throw badReference(dollar);
    const std::string_view reference = text.substr(from, end - from);
    if (braced) {
      if (end == size || text[end] != '}') throw badReference(dollar);
      ++end;
    }
    const auto noSuchGroup = [&] {
      return Error(platform::kBadPattern, Step::None, Why::NoSuchGroup)
          .about(std::string(reference))
          .at(CharacterAt(text, dollar), false);
    };
    const std::size_t groupsFrom = t.m_groups.size();
    if (isDigit(reference[0])) {
      std::uint64_t number = 0;
      for (char c : reference) {
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > pattern.groupCount()) throw noSuchGroup();
      }
      t.m_groups.push_back(static_cast<std::uint32_t>(number));
    } else {
      const std::vector<std::uint32_t> numbers = pattern.groupsNamed(reference);
      if (numbers.empty()) throw noSuchGroup();
      t.m_groups.insert(t.m_groups.end(), numbers.begin(), numbers.end());
    }
    addLiteral(dollar);
    t.m_pieces.push_back({static_cast<std::uint32_t>(groupsFrom),
                          static_cast<std::uint32_t>(t.m_groups.size() - groupsFrom), true});
    t.m_literal = false;
    literalFrom = i = end;
  }
  addLiteral(size);
  return t;
}

void ReplacementTemplate::appendTo(const Matcher& matcher, std::string& out) const {
  for (const Piece& piece : m_pieces) {
    if (!piece.group) {
      out.append(m_text, piece.first, piece.size);
      continue;
    }
    // Of several groups of one name, the first that took part.
    for (std::uint32_t g = piece.first; g < piece.first + piece.size; ++g) {
      if (matcher.groupSet(m_groups[g])) {
        out.append(matcher.group(m_groups[g]));
        break;
      }
    }
  }
}

std::size_t replaceAll(Matcher& matcher, std::string_view text,
                       const ReplacementTemplate& replacement, std::string& out) {
  matcher.start(text);
  std::size_t count = 0;
  std::size_t copied = 0;
  while (matcher.next()) {
    out.append(text.substr(copied, matcher.offset() - copied));
    replacement.appendTo(matcher, out);
    copied = matcher.offset() + matcher.length();
    ++count;
  }
  out.append(text.substr(copied));
  return count;
}

}  // namespace engine
