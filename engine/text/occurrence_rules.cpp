#include "engine/text/occurrence_rules.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace engine {

long TextEncoding::before(const char* data, std::size_t at) const {
  if (at == 0) return -1;
  if (page != nullptr) return static_cast<long>(page->character(static_cast<unsigned char>(data[at - 1])));
  // Back to the lead byte, at most four bytes.
  std::size_t from = at - 1;
  while (from > 0 && at - from < 4 && (static_cast<unsigned char>(data[from]) & 0xC0) == 0x80) {
    --from;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  int32_t i = static_cast<int32_t>(from);
  UChar32 c = 0;
  U8_NEXT(bytes, i, static_cast<int32_t>(at), c);
  return c < 0 || static_cast<std::size_t>(i) != at ? 0xFFFD : static_cast<long>(c);
}

long TextEncoding::after(const char* data, std::size_t at, std::size_t size) const {
  if (at >= size) return -1;
  if (page != nullptr) return static_cast<long>(page->character(static_cast<unsigned char>(data[at])));
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  int32_t i = static_cast<int32_t>(at);
  UChar32 c = 0;
  U8_NEXT(bytes, i, static_cast<int32_t>(std::min<std::size_t>(size, at + 4)), c);
  return c < 0 ? 0xFFFD : static_cast<long>(c);
}

std::string TextEncoding::toUtf8(std::string_view bytes) const {
  return page != nullptr ? page->decode(bytes) : std::string(bytes);
}

std::string TextEncoding::fromUtf8(std::string_view utf8) const {
  return page != nullptr ? page->encode(utf8) : std::string(utf8);
}

bool IsWordCharacter(long character) {
  if (character < 0) return false;
  const auto c = static_cast<UChar32>(character);
  return c == '_' || u_isUAlphabetic(c) || u_isdigit(c);
}

std::string ShapedLike(std::string_view found, std::string_view replacement) {
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(found);
  bool anyLetter = false, anyLower = false, anyUpper = false, firstUpper = false,
       restUpper = false;
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    if (u_isUAlphabetic(c) && (u_isULowercase(c) || u_isUUppercase(c))) {
      const bool upper = u_isUUppercase(c);
      if (!anyLetter) {
        firstUpper = upper;
      } else if (upper) {
        restUpper = true;
      }
      anyLetter = true;
      (upper ? anyUpper : anyLower) = true;
    }
    i += U16_LENGTH(c);
  }
  icu::UnicodeString shaped = icu::UnicodeString::fromUTF8(replacement);
  if (!anyLetter) return std::string(replacement);
  if (!anyUpper) {
    shaped.toLower(icu::Locale::getRoot());
  } else if (!anyLower) {
    shaped.toUpper(icu::Locale::getRoot());
  } else if (firstUpper && !restUpper) {
    // The first letter in upper case, the rest as typed.
    for (int32_t i = 0; i < shaped.length();) {
      const UChar32 c = shaped.char32At(i);
      if (u_isUAlphabetic(c)) {
        icu::UnicodeString first(c);
        first.toUpper(icu::Locale::getRoot());
        shaped.replace(i, U16_LENGTH(c), first);
        break;
      }
      i += U16_LENGTH(c);
    }
  } else {
    return std::string(replacement);
  }
  std::string out;
  shaped.toUTF8String(out);
  return out;
}

}  // namespace engine
