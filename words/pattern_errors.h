#pragma once

#include <string>

namespace words {

/// What PCRE2's error `code` says is wrong with a regular expression, in Russian; for a code
/// without words of its own (one a later PCRE2 adds), the library's English `library` in
/// brackets.
std::string PatternErrorWords(int code, const std::string& library);

}  // namespace words
