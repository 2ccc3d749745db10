#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"

namespace bench {

/// Text made for measuring replacement, and how many times the find text was put in.
struct GeneratedText {
  std::string text;
  std::size_t occurrences = 0;
};

/// `size` bytes of text in `page`: Russian and Latin words, punctuation and CR LF line breaks,
/// with `find` (bytes in `page`) put in as a word of its own about once per KiB (once every
/// `spacing` bytes of words on average, when given), never cut off at the end. With `mixCase`, each letter of each copy of `find` gets a random case, so
/// that only a match without regard to case finds them all. The words never hold "ё"/"Ё", so a find
/// text of that one letter occurs only where it was put. Same `seed`, same text.
GeneratedText generateText(std::size_t size, std::string_view find, const platform::CodePage& page,
                           bool mixCase, std::uint64_t seed, std::size_t spacing = 1024);

/// The same text in UTF-8, at most `size` bytes (about nine tenths of it: a Russian letter
/// takes two bytes); `find` is UTF-8.
GeneratedText generateUtf8Text(std::size_t size, std::string_view find,
                               const platform::CodePage& page, bool mixCase, std::uint64_t seed);

/// The words the generated text is made of, in UTF-8.
std::vector<std::string> vocabulary();

/// The find texts of the measurements, in UTF-8: 1, 8 and 64 characters (bytes in CP1251).
std::string findTextOfLength(std::size_t length);

}  // namespace bench
