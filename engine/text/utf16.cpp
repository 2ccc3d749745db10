#include "engine/text/utf16.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <tmmintrin.h>
#endif
#include <vector>

#include "platform/error.h"

namespace engine::utf16 {
namespace {

constexpr bool isControl(unsigned u) { return u < 32 && (u < 9 || u > 13); }

platform::Error badAt(std::uint64_t at) {
  return platform::Error(platform::kBadCharacter, platform::Step::ReadFile,
                         platform::Why::BadUtf16At)
      .at(at + 1, true);
}

// Eight units at a time (SSE2, 16 bytes), in the host's order whatever the file's.
#ifdef __SSE2__
__m128i unitsAt(const char* p, bool bigEndian) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return bigEndian ? _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)) : v;
}

// A lane set for each unit that is a surrogate or a control character.
int surrogatesOrControls(__m128i u) {
  const __m128i surrogate =
      _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xF800))),
                      _mm_set1_epi16(static_cast<short>(0xD800)));
  const __m128i below32 = _mm_cmpeq_epi16(
      _mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xFFE0))), _mm_setzero_si128());
  // 9 to 13 are text: u - 9 <= 4, unsigned.
  const __m128i shifted = _mm_sub_epi16(u, _mm_set1_epi16(9));
  const __m128i text =
      _mm_cmpeq_epi16(_mm_subs_epu16(shifted, _mm_set1_epi16(4)), _mm_setzero_si128());
  return _mm_movemask_epi8(_mm_or_si128(surrogate, _mm_andnot_si128(text, below32)));
}

// True when every unit is below `limit` (a power of two up to 0x8000).
bool allBelow(__m128i u, unsigned limit) {
  const __m128i high = _mm_and_si128(u, _mm_set1_epi16(static_cast<short>(~(limit - 1))));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) == 0xFFFF;
}
#endif

#ifdef __x86_64__
bool haveSsse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}

// For each choice of which of eight units take one byte of UTF-8 (bit k for unit k), the
// shuffle that keeps the two bytes of the others and the first byte of those, and how many
// bytes are kept.
struct Compaction {
  alignas(16) std::uint8_t shuffle[256][16];
  std::uint8_t length[256];
};

const Compaction& compaction() {
  static const Compaction table = [] {
    Compaction c{};
    for (unsigned mask = 0; mask < 256; ++mask) {
      std::uint8_t n = 0;
      for (std::uint8_t k = 0; k < 8; ++k) {
        c.shuffle[mask][n++] = static_cast<std::uint8_t>(2 * k);
        if ((mask >> k & 1) == 0) c.shuffle[mask][n++] = static_cast<std::uint8_t>(2 * k + 1);
      }
      c.length[mask] = n;
      while (n < 16) c.shuffle[mask][n++] = 0x80;  // a zero byte, past the end
    }
    return c;
  }();
  return table;
}

// Decodes blocks of eight units while every unit of a block is below U+0800 (ASCII, Latin,
// Cyrillic, Greek and the spaces between), one or two bytes of UTF-8 each; returns the bytes
// read. `o` moves on past what is written, with room for 16 bytes a block.
__attribute__((target("ssse3"))) std::size_t blocksBelowU800(const char* p, std::size_t n,
                                                             bool bigEndian, char*& o) {
  const Compaction& c = compaction();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i u = unitsAt(p + i, bigEndian);
    if (!allBelow(u, 0x800)) break;
    if (allBelow(u, 0x80)) {  // ASCII: the low bytes
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(u, u));
      o += 8;
      continue;
    }
    const __m128i one = _mm_cmplt_epi16(u, _mm_set1_epi16(0x80));
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0));
    const __m128i first = _mm_or_si128(_mm_and_si128(one, u), _mm_andnot_si128(one, lead));
    const __m128i second =
        _mm_or_si128(_mm_and_si128(u, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
    // Each unit's two bytes in the order they are written: the first in the lane's low byte.
    const __m128i pairs = _mm_or_si128(first, _mm_slli_epi16(second, 8));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(one, one)) & 0xFF);
    const __m128i kept =
        _mm_shuffle_epi8(pairs, _mm_load_si128(reinterpret_cast<const __m128i*>(c.shuffle[mask])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), kept);
    o += c.length[mask];
  }
  return i;
}
#endif

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
    unit(UnitAt(pair, m_bigEndian), m_fed - 1);
    m_half = false;
    i = 1;
  }
  for (; i + 2 <= size; i += 2) {
#ifdef __SSE2__
    // Eight units with no surrogate and no control character need no more look.
    if (!m_lead && i + 16 <= size && surrogatesOrControls(unitsAt(data + i, m_bigEndian)) == 0) {
      i += 14;
      continue;
    }
#endif
    unit(UnitAt(data + i, m_bigEndian), m_fed + i);
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

std::size_t Decode(std::string_view bytes, bool bigEndian, std::string& out, std::uint64_t base) {
  const std::size_t old = out.size();
  // At most three bytes of UTF-8 for each unit (a pair of units gives four).
  out.resize(old + bytes.size() / 2 * 3);
  char* o = out.data() + old;
  const char* p = bytes.data();
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  std::size_t oneByOne = 0;  // a block the vector path cannot take goes a unit at a time
  while (i + 2 <= n) {
#ifdef __x86_64__
    if (i >= oneByOne && i + 16 <= n && haveSsse3()) {
      const std::size_t read = blocksBelowU800(p + i, n - i, bigEndian, o);
      i += read;
      if (read > 0) continue;
      oneByOne = i + 16;
    }
#endif
    UChar32 c = static_cast<UChar32>(UnitAt(p + i, bigEndian));
    if (U16_IS_SURROGATE(c)) {
      if (!U16_IS_SURROGATE_LEAD(c)) throw badAt(base + i);
      if (i + 4 > n) break;  // its pair comes with the next bytes
      const auto trail = static_cast<UChar32>(UnitAt(p + i + 2, bigEndian));
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
  if (bytes.size() >= 2 && U16_IS_TRAIL(UnitAt(bytes.data(), bigEndian))) i = 2;
  for (; i + 2 <= bytes.size(); i += 2) {
    UChar32 c = static_cast<UChar32>(UnitAt(bytes.data() + i, bigEndian));
    if (U16_IS_SURROGATE(c)) {
      if (U16_IS_SURROGATE_LEAD(c) && i + 4 > bytes.size()) break;  // cut off at the end
      const UChar32 trail =
          i + 4 <= bytes.size() ? static_cast<UChar32>(UnitAt(bytes.data() + i + 2, bigEndian)) : 0;
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
