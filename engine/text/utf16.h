#pragma once

// Text in UTF-16 behind a byte-order mark, as Windows tools save it: checked, read as UTF-8 and
// written back in the byte order it came in.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine::utf16 {

/// The byte-order marks, U+FEFF in either order.
inline constexpr std::string_view kLittleEndianMark = "\xFF\xFE";
inline constexpr std::string_view kBigEndianMark = "\xFE\xFF";
inline constexpr std::size_t kMarkSize = 2;

/// The unit whose two bytes begin at `p`.
inline unsigned UnitAt(const char* p, bool bigEndian) {
  const auto a = static_cast<unsigned char>(p[0]);
  const auto b = static_cast<unsigned char>(p[1]);
  return bigEndian ? (a << 8 | b) : (b << 8 | a);
}

/// Checks UTF-16 text given in order in pieces of any size (the bytes after the mark): a whole
/// number of units, every surrogate in a pair. Notes at the same time a unit that is a control
/// character as HasControlByte() means it (0 to 8, 14 to 31).
class Validator {
 public:
  explicit Validator(bool bigEndian) : m_bigEndian(bigEndian) {}

  void feed(const char* data, std::size_t size);
  /// After the last byte: false when the text is not valid UTF-16.
  bool finish();
  bool valid() const { return m_invalidAt == kNone; }
  /// The first byte of the first unit that is not valid (an odd byte at the end, a lone
  /// surrogate), from the first byte fed.
  std::uint64_t invalidAt() const { return m_invalidAt; }
  bool sawControl() const { return m_control; }

 private:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  void unit(unsigned u, std::uint64_t at);

  bool m_bigEndian;
  bool m_control = false;
  bool m_lead = false;         // the last unit was a lead surrogate ...
  std::uint64_t m_leadAt = 0;  // ... at this byte
  bool m_half = false;         // a unit's first byte came last
  unsigned char m_halfByte = 0;
  std::uint64_t m_fed = 0;
  std::uint64_t m_invalidAt = kNone;
};

/// Appends the UTF-8 text of the units in `bytes` to `out`, up to the last whole character: a
/// lead surrogate at the end, or an odd last byte, is left for the next call with more bytes.
/// Returns the bytes read. Raises platform::Error (kBadCharacter, Why::BadUtf16At) at a lone
/// surrogate, its place given as `base` plus its offset in `bytes`, from 1.
std::size_t Decode(std::string_view bytes, bool bigEndian, std::string& out,
                   std::uint64_t base = 0);

/// Decode() for a text cut out of a longer one: a piece of a surrogate pair at either end, and
/// an odd last byte, are left out, a lone surrogate elsewhere gives U+FFFD. Never raises.
std::string DecodeLenient(std::string_view bytes, bool bigEndian);

/// `utf8` (valid UTF-8) in UTF-16 of that byte order, without a mark.
std::string Encode(std::string_view utf8, bool bigEndian);

/// UTF-16 code units in the UTF-8 text `utf8` (valid): one a character, two beyond U+FFFF.
std::uint64_t UnitsIn(std::string_view utf8);

}  // namespace engine::utf16
