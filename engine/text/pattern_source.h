#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

/// Where the items that only count at a pattern's very start ((*UTF), (*LF), (*LIMIT_MATCH=9)
/// and the like) end.
std::size_t LeadingItemsEnd(std::string_view pattern);

/// Whether the pattern may turn on PCRE2's extended mode ((?x), (?xx), (?^x), (?x:...)), where a
/// line break is no character but space; looked for loosely.
bool MayBeExtended(std::string_view pattern);

/// `pattern` with each line break of its own (CR LF or LF, not escaped, outside character
/// classes and comments, \Q...\E included) matching CR LF and LF alike, as a line break of a
/// literal find text does.
std::string WithEitherLineBreak(std::string_view pattern);

/// Whether the pattern may call itself whole ((?R), (?0), \g<0>), which a wrapping would change.
bool RecursesWhole(std::string_view pattern);

/// `pattern` matched only where the characters before and after its match are no word
/// characters (IsWordCharacter), so that a search that finds no whole word at a place tries the
/// pattern's other matches there, as grep -w does. `end` closes what the pattern may leave
/// open: a \Q without its \E, or an (?x) comment.
std::string AsWholeWords(std::string_view pattern, std::string_view end);

/// The character (from 1) that byte `offset` of UTF-8 `text` begins or belongs to, for the
/// position in an error; counts lead bytes, so it holds for text that is not valid UTF-8 too.
std::uint64_t CharacterAt(std::string_view text, std::size_t offset);

}  // namespace engine
