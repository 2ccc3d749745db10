#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

/// Maps every byte to the byte of its lower-case letter (itself when it has none).
using FoldTable = std::array<unsigned char, 256>;

/// A single-byte code page: one byte is one character, always. Text moves between the
/// code page and UTF-8 (the windows' and the terminal's text) through iconv.
class CodePage {
 public:
  /// The code page of the user's locale when it is a single-byte one that iconv knows,
  /// else Windows-1251 (the code page of the program's own texts); without iconv's modules,
  /// Latin-1.
  static CodePage system();

  /// The code page `name` (as iconv spells it), or nothing when iconv does not know it or it
  /// is not a single-byte code page.
  static std::optional<CodePage> byName(const std::string& name);

  const std::string& name() const { return m_name; }

  /// Encodes UTF-8 text into the code page. Raises Error kBadCharacter naming the first
  /// character that the code page cannot hold; nothing is replaced by a stand-in. A character
  /// decodeKeepingInto() made of a byte the code page leaves undefined is that byte again.
  std::string encode(std::string_view utf8) const;

  /// Decodes code-page bytes to UTF-8; a byte the code page leaves undefined becomes U+FFFD.
  std::string decode(std::string_view bytes) const;

  /// decode() into `out`, which has room for kMostUtf8PerByte bytes a byte of `bytes`; returns
  /// the length written. For a whole file at once, into memory that was never touched.
  static constexpr std::size_t kMostUtf8PerByte = 4;
  std::size_t decodeInto(std::string_view bytes, char* out) const;

  /// decodeInto(), but a byte the code page leaves undefined becomes kKeptByte plus the byte, a
  /// private-use character no byte of the code page stands for, which encode() turns back into
  /// that byte: text that may go back into the file (a pattern's search) keeps such bytes as
  /// they were. (U+FFFD, as decodeInto() has it, where the code page has a character there.)
  static constexpr char32_t kKeptByte = 0xF700;
  std::size_t decodeKeepingInto(std::string_view bytes, char* out) const;

  /// Decodes code-page bytes to UTF-8; raises Error kBadCharacter for a byte the code page
  /// leaves undefined, so that encoding the result gives `bytes` back exactly.
  std::string decodeExact(std::string_view bytes) const;

  /// The character of `byte`, or U+FFFD where the code page leaves it undefined.
  char32_t character(unsigned char byte) const;

  /// Case folding built from the code page's characters with the C library's Unicode rules.
  const FoldTable& fold() const { return m_fold; }

 private:
  CodePage() = default;
  static std::optional<CodePage> build(const std::string& name);
  void finish();  // the reverse table and the case folding, from m_chars

  std::string m_name;
  std::array<char32_t, 256> m_chars{};  // the character of each byte, or kUndefined
  std::array<std::array<char, 4>, 256> m_utf8{};  // each byte in UTF-8 (U+FFFD if undefined)
  std::array<unsigned char, 256> m_utf8Length{};
  std::array<std::array<char, 4>, 256> m_keptUtf8{};  // the same, kKeptByte + b if undefined
  std::array<unsigned char, 256> m_keptLength{};
  bool m_keeps = false;  // no byte's character is one of kKeptByte's
  bool m_asciiIsItself = false;  // bytes below 0x80 are the ASCII characters
  std::vector<std::pair<char32_t, unsigned char>> m_bytes;  // character -> byte, sorted
  FoldTable m_fold{};
};

/// True when iconv has none of its code page modules (glibc's gconv), so that no code page
/// but the built-in Latin-1 can be had.
bool iconvModulesMissing();

/// True when the user's locale writes text in a single-byte code page (ru_RU.CP1251,
/// ru_RU.KOI8-R ...). False for UTF-8, as nearly every Linux desktop is, and for C and POSIX,
/// which choose no code page at all.
bool localeIsSingleByte();

/// The identity table: matching that respects letter case.
const FoldTable& identityFold();

}  // namespace platform
