#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace engine {

/// How the bytes of a text are its characters: UTF-8, or one byte a character in a code page.
struct TextEncoding {
  const platform::CodePage* page = nullptr;  ///< nullptr: UTF-8

  /// The character that ends just before `at` in data[0, at) (U+FFFD for a broken sequence),
  /// and the one that begins at `at` in data[at, size); -1 where there is none.
  long before(const char* data, std::size_t at) const;
  long after(const char* data, std::size_t at, std::size_t size) const;
  /// UTF-8 text of `bytes`.
  std::string toUtf8(std::string_view bytes) const;
  /// `utf8` in this encoding; raises platform::Error where the code page cannot hold it.
  std::string fromUtf8(std::string_view utf8) const;
};

/// Whether a character is part of a word: a letter of any script, a digit, an underscore.
bool IsWordCharacter(long character);

/// The replacement in the form of what it replaces: all lower case gives it in lower case, all
/// upper case in upper case, a first letter in upper case and the rest lower case gives it with
/// its first letter in upper case; anything else (no letters, mixed) leaves it as typed. Both
/// texts are UTF-8.
std::string ShapedLike(std::string_view found, std::string_view replacement);

}  // namespace engine
