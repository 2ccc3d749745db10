#include "engine/text/utf8.h"

#include <unicode/uchar.h>

#include <array>
#include <cstring>
#include <memory>

#include "engine/text/utf8_sequences.h"

namespace engine::utf8 {
namespace {

// The simple case folding of every character of the Basic Multilingual Plane, read off ICU once.
const std::array<char32_t, 0x10000>& bmpFolding() {
  static const std::unique_ptr<std::array<char32_t, 0x10000>> table = [] {
    auto t = std::make_unique<std::array<char32_t, 0x10000>>();
    for (char32_t c = 0; c < 0x10000; ++c) {
      (*t)[c] = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
    }
    return t;
  }();
  return *table;
}

// The folding of every character of one or two bytes (U+0000 to U+07FF) whose folded form is
// as long as itself: the folded bytes in memory order, and their number in bits 16 and up; 0
// for the others. ASCII is at 0x800 + byte, a two-byte character at its code point.
const std::array<std::uint32_t, 0x880>& shortFolding() {
  static const std::array<std::uint32_t, 0x880> table = [] {
    std::array<std::uint32_t, 0x880> t{};
    for (char32_t c = 0; c < 0x80; ++c) t[0x800 + c] = bmpFolding()[c] | (1u << 16);
    for (char32_t c = 0x80; c < 0x800; ++c) {
      const char32_t f = bmpFolding()[c];
      if (f < 0x80 || f >= 0x800) continue;
      const unsigned char bytes[2] = {static_cast<unsigned char>(0xC0 | (f >> 6)),
                                      static_cast<unsigned char>(0x80 | (f & 0x3F))};
      std::uint16_t pair;
      std::memcpy(&pair, bytes, 2);
      t[c] = pair | (2u << 16);
    }
    return t;
  }();
  return table;
}

#ifdef __SSE2__
// Folds the 16 bytes at p[i] when they are all ASCII or Russian Cyrillic (U+0400 to U+045F:
// lead byte D0 or D1), which fold without changing length: A-Z and А-П gain 0x20 in their last
// byte; Р-Я (D0 A0-AF) become D1 80-8F, and Ѐ-Џ (D0 80-8F) become D1 90-9F. Writes 16 bytes to
// `out`, returns how many of them are finished (15 when the block ends with a lead byte, whose
// character the next block takes whole), or 0 when the block holds anything else. p[i - 1]
// and p[i + 16] must be readable where they exist (i + 17 bytes at least).
std::size_t foldRussianBlock(const unsigned char* p, std::size_t i, unsigned char* out) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
  const __m128i prev =
      i > 0 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 1)) : _mm_slli_si128(v, 1);
  const __m128i highBit = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i topTwo = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i ascii = _mm_cmpgt_epi8(v, _mm_set1_epi8(-1));
  const __m128i d0 = _mm_set1_epi8(static_cast<char>(0xD0));
  const __m128i d1 = _mm_set1_epi8(static_cast<char>(0xD1));
  const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(v, d0), _mm_cmpeq_epi8(v, d1));
  const __m128i nextContinues = _mm_cmpeq_epi8(_mm_and_si128(next, topTwo), highBit);
  const __m128i continues = _mm_cmpeq_epi8(_mm_and_si128(v, topTwo), highBit);
  const __m128i afterD0 = _mm_cmpeq_epi8(prev, d0);
  // After D1 only 80-9F: the letters from D1 A0 on pair up in another way.
  const __m128i lowTrail = _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xE0))),
                                          highBit);
  const __m128i afterD1 = _mm_and_si128(_mm_cmpeq_epi8(prev, d1), lowTrail);
  const __m128i whole = _mm_or_si128(
      _mm_or_si128(ascii, _mm_and_si128(lead, nextContinues)),
      _mm_and_si128(continues, _mm_or_si128(afterD0, afterD1)));
  if (_mm_movemask_epi8(whole) != 0xFFFF) return 0;

  const __m128i sixteenths = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xF0)));
  const __m128i upperLatin = [&] {
    const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8('A'));
    return _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(25)), t);
  }();
  const __m128i trail = _mm_and_si128(continues, afterD0);
  const __m128i row80 = _mm_cmpeq_epi8(sixteenths, highBit);
  const __m128i row90 = _mm_cmpeq_epi8(sixteenths, _mm_set1_epi8(static_cast<char>(0x90)));
  const __m128i rowA0 = _mm_cmpeq_epi8(sixteenths, _mm_set1_epi8(static_cast<char>(0xA0)));
  const __m128i nextSixteenths = _mm_and_si128(next, _mm_set1_epi8(static_cast<char>(0xF0)));
  const __m128i movesToD1 = _mm_and_si128(
      _mm_cmpeq_epi8(v, d0), _mm_or_si128(_mm_cmpeq_epi8(nextSixteenths, highBit),
                                          _mm_cmpeq_epi8(nextSixteenths,
                                                         _mm_set1_epi8(static_cast<char>(0xA0)))));
  __m128i add = _mm_and_si128(upperLatin, _mm_set1_epi8(0x20));
  add = _mm_or_si128(add, _mm_and_si128(_mm_and_si128(trail, row80), _mm_set1_epi8(0x10)));
  add = _mm_or_si128(add, _mm_and_si128(_mm_and_si128(trail, row90), _mm_set1_epi8(0x20)));
  add = _mm_or_si128(add, _mm_and_si128(_mm_and_si128(trail, rowA0),
                                        _mm_set1_epi8(static_cast<char>(0xE0))));
  add = _mm_or_si128(add, _mm_and_si128(movesToD1, _mm_set1_epi8(1)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi8(v, add));
  return p[i + 15] >= 0xC0 ? 15 : 16;
}
#endif

char32_t foldCharacter(char32_t c) {
  if (c < 0x10000) return bmpFolding()[c];
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

std::size_t encode(char32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// Decodes the character at p[0, n) (n >= 1); returns its length, 0 for an invalid byte.
std::size_t decode(const unsigned char* p, std::size_t n, char32_t& c) {
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  const std::size_t length = validLead(lead) ? sequenceLength(lead) : 0;
  if (length == 0 || length > n || judge(p, length) != Sequence::Complete) return 0;
  c = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (p[k] & 0x3F);
  return length;
}

}  // namespace

std::size_t countCharacters(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += !isContinuation(static_cast<unsigned char>(c));
  return n;
}

std::string fold(std::string_view text) {
  std::vector<char> folded;
  std::vector<std::uint32_t> offsets;
  const Folded f = foldInto(text.data(), text.size(), folded, offsets);
  return std::string(folded.data(), f.size);
}

Folded foldInto(const char* data, std::size_t size, std::vector<char>& folded,
                std::vector<std::uint32_t>& offsets) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const std::uint32_t* fast = shortFolding().data();
  // A folded character is at most one and a half times as long as the original (Ⱥ, two bytes,
  // folds to ⱥ, three).
  const std::size_t most = size + size / 2 + 4;
  if (folded.size() < most) folded.resize(most);
  auto* out = reinterpret_cast<unsigned char*>(folded.data());
  std::size_t o = 0;
  std::size_t i = 0;
  bool mapped = false;
  std::size_t scalarUntil = 0;  // after a block the vector step could not take
  while (i < size) {
#ifdef __SSE2__
    // While nothing has changed length, folded offsets equal the data's (o == i).
    if (!mapped && i >= scalarUntil && i + 17 <= size) {
      const std::size_t step = foldRussianBlock(p, i, out + o);
      if (step != 0) {
        i += step;
        o += step;
        continue;
      }
      scalarUntil = i + 16;
    }
#endif
    const unsigned b = p[i];
    if (b < 0x80) {
      out[o] = static_cast<unsigned char>(fast[0x800 + b]);
      if (mapped) offsets.push_back(static_cast<std::uint32_t>(i));
      ++o;
      ++i;
      continue;
    }
    // Two bytes that fold to two: Cyrillic, Greek, accented Latin.
    if (b >= 0xC2 && b <= 0xDF && i + 1 < size && isContinuation(p[i + 1])) {
      const std::uint32_t e = fast[((b & 0x1F) << 6) | (p[i + 1] & 0x3F)];
      if (e != 0) {
        std::memcpy(out + o, &e, 2);
        if (mapped) offsets.insert(offsets.end(), 2, static_cast<std::uint32_t>(i));
        o += 2;
        i += 2;
        continue;
      }
    }
    // Any other character.
    char32_t c = 0;
    const std::size_t length = decode(p + i, size - i, c);
    std::size_t produced;
    if (length == 0) {
      out[o] = 0xFF;
      produced = 1;
    } else {
      produced = encode(foldCharacter(c), out + o);
    }
    const std::size_t consumed = length == 0 ? 1 : length;
    if (produced != consumed && !mapped) {
      offsets.resize(o);
      for (std::size_t k = 0; k < o; ++k) offsets[k] = static_cast<std::uint32_t>(k);
      mapped = true;
    }
    if (mapped) offsets.insert(offsets.end(), produced, static_cast<std::uint32_t>(i));
    o += produced;
    i += consumed;
  }
  if (mapped) offsets.push_back(static_cast<std::uint32_t>(size));
  return {o, mapped};
}

}  // namespace engine::utf8
