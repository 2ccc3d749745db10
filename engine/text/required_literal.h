#pragma once

#include <string>
#include <string_view>

namespace engine {

/// A text that every match of the PCRE2 pattern `pattern` (UTF-8, compiled without
/// PCRE2_CASELESS, PCRE2_DOTALL or PCRE2_EXTENDED) holds, when no match can hold a line feed:
/// then a search need look only at the lines that hold the text. Empty when the pattern gives
/// no such text of at least two bytes, or when anything in it could match a line feed, or
/// when it is written in a way this reading does not follow (all of which are searched whole).
std::string RequiredLiteral(std::string_view pattern);

}  // namespace engine
