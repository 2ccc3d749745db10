#include "engine/text/utf16.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstring>
#include <vector>

#include "platform/error.h"

namespace engine::utf16 {
namespace {

unsigned unitAt(const char* p, bool bigEndian) {
  const auto a = static_cast<unsigned char>(p[0]);
  const auto b = static_cast<unsigned char>(p[1]);
  return bigEndian ? (a << 8 | b) : (b << 8 | a);
}

constexpr bool isControl(unsigned u) { return u < 32 && (u < 9 || u > 13); }

platform::Error badAt(std::uint64_t at) {
  return platform::Error(platform::kBadCharacter, platform::Step::ReadFile,
                         platform::Why::BadUtf16At)
      .at(at + 1, true);
}

// Four units at once when all of them are ASCII: their low bytes are the UTF-8.
bool asciiQuad(const char* p, bool bigEndian, char* out) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  // Little-endian host: the first byte in memory is the word's lowest.
  const std::uint64_t high = bigEndian ? 0x80FF80FF80FF80FFULL : 0xFF80FF80FF80FF80ULL;
  if ((word & high) != 0) return false;
  const int shift = bigEndian ? 8 : 0;
  for (int k = 0; k < 4; ++k) out[k] = static_cast<char>(word >> (16 * k + shift));
  return true;
}

}  // namespace

void Validator::unit(unsigned u, std::uint64_t at) {
  if (U16_IS_TRAIL(u)) {
    if (!m_lead && m_invalidAt == kNone) m_invalidAt = at;
    m_lead = false;
    return;
  }
  if (m_lead && m_invalidAt == kNone) m_invalidAt = m_leadAt;
  m_lead = U16_IS_LEAD(u);
  m_leadAt = at;
  if (isControl(u)) m_control = true;
}

void Validator::feed(const char* data, std::size_t size) {
  std::size_t i = 0;
  if (m_half && size > 0) {
    const char pair[2] = {static_cast<char>(m_halfByte), data[0]};
    unit(unitAt(pair, m_bigEndian), m_fed - 1);
    m_half = false;
    i = 1;
  }
  char ascii[4];
  for (; i + 2 <= size; i += 2) {
    if (!m_lead && i + 8 <= size && asciiQuad(data + i, m_bigEndian, ascii)) {
      for (const char c : ascii) m_control = m_control || isControl(static_cast<unsigned char>(c));
      i += 6;
      continue;
    }
    unit(unitAt(data + i, m_bigEndian), m_fed + i);
  }
  if (i < size) {
    m_half = true;
    m_halfByte = static_cast<unsigned char>(data[i]);
  }
  m_fed += size;
}

bool Validator::finish() {
  if (m_lead && m_invalidAt == kNone) m_invalidAt = m_leadAt;
  if (m_half && m_invalidAt == kNone) m_invalidAt = m_fed - 1;
  return valid();
}

std::size_t Decode(std::string_view bytes, bool bigEndian, std::string& out,
                   std::uint64_t base) {
  const std::size_t old = out.size();
  // At most three bytes of UTF-8 for each unit (a pair of units gives four).
  out.resize(old + bytes.size() / 2 * 3);
  char* o = out.data() + old;
  const char* p = bytes.data();
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i + 2 <= n) {
    if (i + 8 <= n && asciiQuad(p + i, bigEndian, o)) {
      o += 4;
      i += 8;
      continue;
    }
    UChar32 c = static_cast<UChar32>(unitAt(p + i, bigEndian));
    if (U16_IS_SURROGATE(c)) {
      if (!U16_IS_SURROGATE_LEAD(c)) throw badAt(base + i);
      if (i + 4 > n) break;  // its pair comes with the next bytes
      const auto trail = static_cast<UChar32>(unitAt(p + i + 2, bigEndian));
      if (!U16_IS_TRAIL(trail)) throw badAt(base + i);
      c = U16_GET_SUPPLEMENTARY(c, trail);
      i += 2;
    }
    i += 2;
    std::size_t k = 0;
    U8_APPEND_UNSAFE(o, k, c);
    o += k;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return i;
}

std::string DecodeLenient(std::string_view bytes, bool bigEndian) {
  std::string out;
  std::size_t i = 0;
  // A trail surrogate first is the end of a pair cut off.
  if (bytes.size() >= 2 && U16_IS_TRAIL(unitAt(bytes.data(), bigEndian))) i = 2;
  for (; i + 2 <= bytes.size(); i += 2) {
    UChar32 c = static_cast<UChar32>(unitAt(bytes.data() + i, bigEndian));
    if (U16_IS_SURROGATE(c)) {
      if (U16_IS_SURROGATE_LEAD(c) && i + 4 > bytes.size()) break;  // cut off at the end
      const UChar32 trail =
          i + 4 <= bytes.size() ? static_cast<UChar32>(unitAt(bytes.data() + i + 2, bigEndian)) : 0;
      if (U16_IS_SURROGATE_LEAD(c) && U16_IS_TRAIL(trail)) {
        c = U16_GET_SUPPLEMENTARY(c, trail);
        i += 2;
      } else {
        c = 0xFFFD;
      }
    }
    char buffer[4];
    std::size_t k = 0;
    U8_APPEND_UNSAFE(buffer, k, c);
    out.append(buffer, k);
  }
  return out;
}

std::string Encode(std::string_view utf8, bool bigEndian) {
  if (utf8.empty()) return {};
  std::vector<UChar> units(utf8.size());  // never more units than bytes
  std::int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(units.data(), static_cast<std::int32_t>(units.size()), &length, utf8.data(),
                static_cast<std::int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) {
    throw platform::Error(platform::kBadCharacter, platform::Step::Recode, platform::Why::BadUtf8);
  }
  std::string out(static_cast<std::size_t>(length) * 2, '\0');
  for (std::int32_t k = 0; k < length; ++k) {
    const auto u = static_cast<unsigned>(units[static_cast<std::size_t>(k)]);
    out[2 * k + (bigEndian ? 1 : 0)] = static_cast<char>(u & 0xFF);
    out[2 * k + (bigEndian ? 0 : 1)] = static_cast<char>(u >> 8);
  }
  return out;
}

std::uint64_t UnitsIn(std::string_view utf8) {
  std::uint64_t units = 0;
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    units += (b & 0xC0) != 0x80;
    units += b >= 0xF0;
  }
  return units;
}

}  // namespace engine::utf16
