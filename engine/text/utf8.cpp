#include "engine/text/utf8.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "engine/text/binary_test.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVEL_X86 1
#endif

namespace engine::utf8 {
namespace {

constexpr bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the sequence a lead byte begins, by its bit pattern alone (0 for a continuation
// byte or 0xF8 and up).
constexpr std::size_t sequenceLength(unsigned char b) {
  if (b < 0x80) return 1;
  if (b < 0xC0) return 0;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  return 0;
}

// The allowed range of the second byte after a lead byte (Unicode's table of well-formed
// sequences); every later byte is 0x80 to 0xBF.
struct SecondByte {
  unsigned char low, high;
};
constexpr SecondByte secondByte(unsigned char lead) {
  if (lead == 0xE0) return {0xA0, 0xBF};  // no overlong three-byte forms
  if (lead == 0xED) return {0x80, 0x9F};  // no surrogates
  if (lead == 0xF0) return {0x90, 0xBF};  // no overlong four-byte forms
  if (lead == 0xF4) return {0x80, 0x8F};  // nothing above U+10FFFF
  return {0x80, 0xBF};
}

constexpr bool validLead(unsigned char b) { return (b >= 0xC2 && b <= 0xF4); }

enum class Sequence { Complete, Incomplete, Invalid };

// Judges the bytes of one sequence seen so far.
Sequence judge(const unsigned char* s, std::size_t n) {
  if (!validLead(s[0])) return Sequence::Invalid;
  const std::size_t length = sequenceLength(s[0]);
  for (std::size_t i = 1; i < n && i < length; ++i) {
    const SecondByte range = i == 1 ? secondByte(s[0]) : SecondByte{0x80, 0xBF};
    if (s[i] < range.low || s[i] > range.high) return Sequence::Invalid;
  }
  return n >= length ? Sequence::Complete : Sequence::Incomplete;
}

std::size_t scalarValidPrefix(const unsigned char* p, std::size_t n, bool& high) {
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      // Runs of plain ASCII, eight bytes a step.
      std::uint64_t word;
      while (i + 8 <= n && (std::memcpy(&word, p + i, 8), (word & 0x8080808080808080ULL) == 0)) {
        i += 8;
      }
      while (i < n && p[i] < 0x80) ++i;
      continue;
    }
    const unsigned char lead = p[i];
    const std::size_t length = validLead(lead) ? sequenceLength(lead) : 0;
    if (length == 0 || i + length > n) return i;
    const SecondByte range = secondByte(lead);
    if (p[i + 1] < range.low || p[i + 1] > range.high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if (!isContinuation(p[i + k])) return i;
    }
    high = true;
    i += length;
  }
  return n;
}

#ifdef TARVEL_X86
// The table-lookup check of Keiser and Lemire ("Validating UTF-8 in less than one instruction
// per byte", 2021): every pair of neighbouring bytes is classified by three 16-entry tables
// (high nibble of the first byte, its low nibble, high nibble of the second byte); a bit that
// survives in all three is an error. The third and fourth bytes of long sequences are checked
// against the lead bytes two and three places back. 32 bytes a step.
constexpr std::uint8_t kTooShort = 1 << 0;   // a lead byte not followed by a continuation
constexpr std::uint8_t kTooLong = 1 << 1;    // a continuation after ASCII
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5 and up
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;
constexpr std::uint8_t kOverlong4 = 1 << 6;  // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i nibbleHigh(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// `input` shifted so that each byte sees the byte `n` places before it (from `previous` at the
// start).
template <int n>
__attribute__((target("avx2"))) inline __m256i before(__m256i input, __m256i previous) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - n);
}

struct Avx2Tables {
  __m256i byte1High, byte1Low, byte2High, lastComplete, controlLow, controlHigh;
};

struct Avx2State {
  __m256i previous, error, incomplete, seenHigh, control;
};

// Control bytes by their two nibbles: row 0 but tab, line feed and carriage return (bit 0),
// and all of row 1 (bit 1).
__attribute__((target("avx2"))) inline __m256i controlBytes(const Avx2Tables& t, __m256i input,
                                                            __m256i high) {
  return _mm256_and_si256(
      _mm256_shuffle_epi8(t.controlLow, _mm256_and_si256(input, _mm256_set1_epi8(0x0F))),
      _mm256_shuffle_epi8(t.controlHigh, high));
}

template <bool kControl>
__attribute__((target("avx2"))) inline void avx2Step(Avx2State& s, const Avx2Tables& t,
                                                      __m256i input) {
  const __m256i high = nibbleHigh(input);
  if (kControl) s.control = _mm256_or_si256(s.control, controlBytes(t, input, high));
  if (_mm256_movemask_epi8(input) == 0) {
    // Plain ASCII: only a character cut off at the end of the last block can be wrong.
    s.error = _mm256_or_si256(s.error, s.incomplete);
    s.incomplete = _mm256_setzero_si256();
  } else {
    s.seenHigh = _mm256_or_si256(s.seenHigh, input);
    const __m256i prev1 = before<1>(input, s.previous);
    const __m256i special = _mm256_and_si256(
        _mm256_and_si256(
            _mm256_shuffle_epi8(t.byte1High, nibbleHigh(prev1)),
            _mm256_shuffle_epi8(t.byte1Low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(t.byte2High, high));
    const __m256i third =
        _mm256_subs_epu8(before<2>(input, s.previous), _mm256_set1_epi8(0xE0 - 0x80));
    const __m256i fourth =
        _mm256_subs_epu8(before<3>(input, s.previous), _mm256_set1_epi8(0xF0 - 0x80));
    const __m256i must23 = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                            _mm256_set1_epi8(static_cast<char>(0x80)));
    s.error = _mm256_or_si256(s.error, _mm256_xor_si256(must23, special));
    s.incomplete = _mm256_subs_epu8(input, t.lastComplete);
  }
  s.previous = input;
}

// The three tables of the check, and the two of control bytes by their nibbles: row 0 but
// tab, line feed, vertical tab, form feed and carriage return (bit 0), and all of row 1 (bit 1).
constexpr std::uint8_t kByte1High[16] = {
    kTooLong,  kTooLong,  kTooLong,  kTooLong,
    kTooLong,  kTooLong,  kTooLong,  kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
constexpr std::uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
constexpr std::uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort};
constexpr std::uint8_t kControlLow[16] = {3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 3, 3};
constexpr std::uint8_t kControlHigh[16] = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

__attribute__((target("avx2"))) inline __m256i table16(const std::uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

template <bool kControl>
__attribute__((target("avx2"))) bool avx2Valid(const unsigned char* p, std::size_t n, bool& high,
                                                bool& control) {
  Avx2Tables t;
  t.byte1High = table16(kByte1High);
  t.byte1Low = table16(kByte1Low);
  t.byte2High = table16(kByte2High);
  // A lead byte in the last three places of a block that the block cannot complete.
  t.lastComplete = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                    static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
                                    static_cast<char>(0xC0 - 1));
  t.controlLow = table16(kControlLow);
  t.controlHigh = table16(kControlHigh);
  const __m256i zero = _mm256_setzero_si256();
  Avx2State s{zero, zero, zero, zero, zero};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    avx2Step<kControl>(s, t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
  }
  if (i < n) {
    // The last bytes, padded with letters: neither control bytes nor part of a character.
    alignas(32) unsigned char last[32];
    std::memset(last, 'a', sizeof last);
    std::memcpy(last, p + i, n - i);
    avx2Step<kControl>(s, t, _mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  const __m256i error = _mm256_or_si256(s.error, s.incomplete);
  high = high || _mm256_movemask_epi8(s.seenHigh) != 0;
  control = control || !_mm256_testz_si256(s.control, s.control);
  return _mm256_testz_si256(error, error) != 0;
}

// The same check 64 bytes a step.
#define TARVEL_AVX512 __attribute__((target("avx512f,avx512bw")))

TARVEL_AVX512 inline __m512i table64(const std::uint8_t (&t)[16]) {
  alignas(64) std::uint8_t lanes[64];
  for (int lane = 0; lane < 4; ++lane) std::memcpy(lanes + 16 * lane, t, 16);
  return _mm512_load_si512(lanes);
}

template <int n>
TARVEL_AVX512 inline __m512i before512(__m512i input, __m512i previous) {
  // Each 16-byte lane after the one before it: the first after the last lane of `previous`.
  const __m512i lanes = _mm512_setr_epi32(28, 29, 30, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
  return _mm512_alignr_epi8(input, _mm512_permutex2var_epi32(input, lanes, previous), 16 - n);
}

template <bool kControl>
TARVEL_AVX512 bool avx512Valid(const unsigned char* p, std::size_t n, bool& high,
                               bool& control) {
  const __m512i byte1High = table64(kByte1High), byte1Low = table64(kByte1Low);
  const __m512i byte2High = table64(kByte2High);
  const __m512i controlLow = table64(kControlLow), controlHigh = table64(kControlHigh);
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  alignas(64) std::uint8_t limits[64];
  std::memset(limits, 0xFF, sizeof limits);
  limits[61] = 0xF0 - 1;
  limits[62] = 0xE0 - 1;
  limits[63] = 0xC0 - 1;
  const __m512i lastComplete = _mm512_load_si512(limits);
  const __m512i zero = _mm512_setzero_si512();
  __m512i previous = zero, error = zero, incomplete = zero, controls = zero;
  bool sawHigh = false;
  auto step = [&](__m512i input) TARVEL_AVX512 {
    const __m512i high4 = _mm512_and_si512(_mm512_srli_epi16(input, 4), nibble);
    if (kControl) {
      controls = _mm512_or_si512(
          controls, _mm512_and_si512(_mm512_shuffle_epi8(controlLow, _mm512_and_si512(input, nibble)),
                                     _mm512_shuffle_epi8(controlHigh, high4)));
    }
    if (_mm512_movepi8_mask(input) == 0) {
      error = _mm512_or_si512(error, incomplete);
      incomplete = zero;
    } else {
      sawHigh = true;
      const __m512i prev1 = before512<1>(input, previous);
      const __m512i special = _mm512_and_si512(
          _mm512_and_si512(
              _mm512_shuffle_epi8(byte1High, _mm512_and_si512(_mm512_srli_epi16(prev1, 4), nibble)),
              _mm512_shuffle_epi8(byte1Low, _mm512_and_si512(prev1, nibble))),
          _mm512_shuffle_epi8(byte2High, high4));
      const __m512i third =
          _mm512_subs_epu8(before512<2>(input, previous), _mm512_set1_epi8(0xE0 - 0x80));
      const __m512i fourth =
          _mm512_subs_epu8(before512<3>(input, previous), _mm512_set1_epi8(0xF0 - 0x80));
      const __m512i must23 = _mm512_and_si512(_mm512_or_si512(third, fourth),
                                              _mm512_set1_epi8(static_cast<char>(0x80)));
      error = _mm512_or_si512(error, _mm512_xor_si512(must23, special));
      incomplete = _mm512_subs_epu8(input, lastComplete);
    }
    previous = input;
  };
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) step(_mm512_loadu_si512(p + i));
  if (i < n) {
    alignas(64) unsigned char last[64];
    std::memset(last, 'a', sizeof last);
    std::memcpy(last, p + i, n - i);
    step(_mm512_load_si512(last));
  }
  error = _mm512_or_si512(error, incomplete);
  high = high || sawHigh;
  control = control || _mm512_test_epi8_mask(controls, controls) != 0;
  return _mm512_test_epi8_mask(error, error) == 0;
}

bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

bool haveAvx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512bw");
  return avx512;
}
#endif

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

std::size_t validPrefixUsing(Kernel kernel, const char* data, std::size_t size, bool& high,
                             bool* control) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
#ifdef TARVEL_X86
  // The vector checks say only yes or no; where they say no, the plain loop finds the place.
  bool sawHigh = false;
  bool sawControl = false;
  bool valid = false;
  if (kernel == Kernel::Avx512 && haveAvx512()) {
    valid = control != nullptr ? avx512Valid<true>(p, size, sawHigh, sawControl)
                               : avx512Valid<false>(p, size, sawHigh, sawControl);
  } else if (kernel != Kernel::Scalar && haveAvx2()) {
    valid = control != nullptr ? avx2Valid<true>(p, size, sawHigh, sawControl)
                               : avx2Valid<false>(p, size, sawHigh, sawControl);
  }
  if (valid) {
    high = high || sawHigh;
    if (control != nullptr) *control = *control || sawControl;
    return size;
  }
#else
  (void)kernel;
#endif
  if (control != nullptr) *control = *control || HasControlByte(data, size);
  return scalarValidPrefix(p, size, high);
}

std::size_t validPrefix(const char* data, std::size_t size, bool& high, bool* control) {
  return validPrefixUsing(size >= 64 ? Kernel::Avx512 : Kernel::Scalar, data, size, high, control);
}

bool isValid(std::string_view text) {
  bool high = false;
  return validPrefix(text.data(), text.size(), high) == text.size();
}

std::size_t cutOffTail(const char* data, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  for (std::size_t k = 1; k <= 3 && k <= size; ++k) {
    const unsigned char b = p[size - k];
    if (isContinuation(b)) continue;
    return sequenceLength(b) > k ? k : 0;
  }
  return 0;
}

namespace {

// The length of the valid sequence that begins at p[0], with `available` bytes there; 0 when
// none begins there.
std::size_t validSequenceAt(const unsigned char* p, std::size_t available) {
  if (!validLead(p[0])) return 0;
  const std::size_t length = sequenceLength(p[0]);
  if (length > available) return 0;
  return judge(p, length) == Sequence::Complete ? length : 0;
}

// True when none of the continuation bytes of the valid sequence at s[0, length) is a letter
// (`letters`, bit b - 0x80 for byte b).
bool unlikelySequence(const unsigned char* s, std::size_t length, std::uint64_t letters) {
  for (std::size_t k = 1; k < length; ++k) {
    if ((letters >> (s[k] - 0x80)) & 1) return false;
  }
  return true;
}

#ifdef __SSE2__
// Bytes in [low, high], unsigned.
inline __m128i inRange(__m128i v, unsigned char low, unsigned char high) {
  const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(low)));
  const __m128i width = _mm_set1_epi8(static_cast<char>(high - low));
  return _mm_cmpeq_epi8(_mm_min_epu8(shifted, width), shifted);
}

inline std::uint64_t bits(__m128i mask) {
  return static_cast<std::uint64_t>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(mask))));
}
#endif

// What the block steps add up.
struct Counts {
  std::uint64_t& high;
  std::uint64_t& sequences;
  std::uint64_t& inSequences;
  std::uint64_t& unlikely;
};

// The bulk of a piece, a block at a time: every position with three bytes after it in the
// piece. Returns where it stopped; the rest is judged byte by byte.
#ifdef __SSE2__
std::size_t tallySse2(const unsigned char* p, std::size_t i, std::size_t size, Counts c,
                      std::uint64_t letters) {
  for (; i + 16 + 3 <= size; i += 16) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const int highBits = _mm_movemask_epi8(v0);
    if (highBits == 0) continue;
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    const __m128i c1 = inRange(v1, 0x80, 0xBF);
    c.high += static_cast<std::uint64_t>(__builtin_popcount(static_cast<unsigned>(highBits)));
    // Mostly no lead byte is followed by a continuation byte (single-byte text, where the
    // bytes of 0x80 to 0xBF are rare punctuation): then no sequence begins here.
    if (_mm_movemask_epi8(_mm_and_si128(c1, inRange(v0, 0xC2, 0xF4))) == 0) continue;
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 3));
    const __m128i c2 = inRange(v2, 0x80, 0xBF), c3 = inRange(v3, 0x80, 0xBF);
    const __m128i two = _mm_and_si128(inRange(v0, 0xC2, 0xDF), c1);
    // The second byte's narrower ranges after E0, ED, F0 and F4 (no overlong forms, no
    // surrogates, nothing above U+10FFFF).
    auto is = [&](unsigned char b) { return _mm_cmpeq_epi8(v0, _mm_set1_epi8(static_cast<char>(b))); };
    const __m128i badSecond3 = _mm_or_si128(_mm_and_si128(is(0xE0), inRange(v1, 0x80, 0x9F)),
                                            _mm_and_si128(is(0xED), inRange(v1, 0xA0, 0xBF)));
    const __m128i badSecond4 = _mm_or_si128(_mm_and_si128(is(0xF0), inRange(v1, 0x80, 0x8F)),
                                            _mm_and_si128(is(0xF4), inRange(v1, 0x90, 0xBF)));
    const __m128i three =
        _mm_andnot_si128(badSecond3, _mm_and_si128(inRange(v0, 0xE0, 0xEF), _mm_and_si128(c1, c2)));
    const __m128i four = _mm_andnot_si128(
        badSecond4,
        _mm_and_si128(inRange(v0, 0xF0, 0xF4), _mm_and_si128(_mm_and_si128(c1, c2), c3)));
    const std::uint64_t n2 = bits(two), n3 = bits(three), n4 = bits(four);
    c.sequences += n2 + n3 + n4;
    c.inSequences += 2 * n2 + 3 * n3 + 4 * n4;
    // SSE2 has no table lookup by byte: the sequences' continuation bytes one by one.
    if (letters == ~std::uint64_t{0}) continue;
    auto starts =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(two, three), four)));
    for (; starts != 0; starts &= starts - 1) {
      const unsigned char* s = p + i + __builtin_ctz(starts);
      c.unlikely += unlikelySequence(s, sequenceLength(s[0]), letters);
    }
  }
  return i;
}
#endif

#ifdef TARVEL_X86
__attribute__((target("avx2"))) inline __m256i inRange32(__m256i v, unsigned char low,
                                                       unsigned char high) {
  const __m256i shifted = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(low)));
  const __m256i width = _mm256_set1_epi8(static_cast<char>(high - low));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(shifted, width), shifted);
}

__attribute__((target("avx2"))) inline std::uint64_t bits32(__m256i mask) {
  return static_cast<std::uint64_t>(
      __builtin_popcount(static_cast<unsigned>(_mm256_movemask_epi8(mask))));
}

// The bytes of `v` that are not letters: `rows` holds, by low nibble, a bit for each high
// one from 8 to B (any other high nibble counts as no letter).
__attribute__((target("avx2"))) inline __m256i nonLetters32(__m256i v, __m256i rows,
                                                            __m256i rowBit) {
  const __m256i low = _mm256_and_si256(v, _mm256_set1_epi8(0x0F));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
  const __m256i letter =
      _mm256_and_si256(_mm256_shuffle_epi8(rows, low), _mm256_shuffle_epi8(rowBit, high));
  return _mm256_cmpeq_epi8(letter, _mm256_setzero_si256());
}

// tallySse2 on 32 bytes a step, where the processor has AVX2; the rest is left to it.
__attribute__((target("avx2"))) std::size_t tallyAvx2(const unsigned char* p, std::size_t size,
                                                      Counts c, const unsigned char* letterRows) {
  const __m256i rows =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(letterRows)));
  const __m256i rowBit = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, 0, 0, 1, 2, 4, 8, 0, 0, 0, 0);
  std::size_t i = 0;
  for (; i + 32 + 3 <= size; i += 32) {
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const unsigned highBits = static_cast<unsigned>(_mm256_movemask_epi8(v0));
    if (highBits == 0) continue;
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
    const __m256i c1 = inRange32(v1, 0x80, 0xBF);
    c.high += static_cast<std::uint64_t>(__builtin_popcount(highBits));
    if (_mm256_movemask_epi8(_mm256_and_si256(c1, inRange32(v0, 0xC2, 0xF4))) == 0) continue;
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2));
    const __m256i v3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 3));
    const __m256i c2 = inRange32(v2, 0x80, 0xBF), c3 = inRange32(v3, 0x80, 0xBF);
    const __m256i two = _mm256_and_si256(inRange32(v0, 0xC2, 0xDF), c1);
    const __m256i e0 = _mm256_cmpeq_epi8(v0, _mm256_set1_epi8(static_cast<char>(0xE0)));
    const __m256i ed = _mm256_cmpeq_epi8(v0, _mm256_set1_epi8(static_cast<char>(0xED)));
    const __m256i f0 = _mm256_cmpeq_epi8(v0, _mm256_set1_epi8(static_cast<char>(0xF0)));
    const __m256i f4 = _mm256_cmpeq_epi8(v0, _mm256_set1_epi8(static_cast<char>(0xF4)));
    const __m256i badSecond3 = _mm256_or_si256(_mm256_and_si256(e0, inRange32(v1, 0x80, 0x9F)),
                                               _mm256_and_si256(ed, inRange32(v1, 0xA0, 0xBF)));
    const __m256i badSecond4 = _mm256_or_si256(_mm256_and_si256(f0, inRange32(v1, 0x80, 0x8F)),
                                               _mm256_and_si256(f4, inRange32(v1, 0x90, 0xBF)));
    const __m256i three = _mm256_andnot_si256(
        badSecond3, _mm256_and_si256(inRange32(v0, 0xE0, 0xEF), _mm256_and_si256(c1, c2)));
    const __m256i four = _mm256_andnot_si256(
        badSecond4, _mm256_and_si256(inRange32(v0, 0xF0, 0xF4),
                                     _mm256_and_si256(_mm256_and_si256(c1, c2), c3)));
    const std::uint64_t n2 = bits32(two), n3 = bits32(three), n4 = bits32(four);
    c.sequences += n2 + n3 + n4;
    c.inSequences += 2 * n2 + 3 * n3 + 4 * n4;
    // Unlikely: no continuation byte of the sequence is a letter.
    const __m256i none1 = nonLetters32(v1, rows, rowBit);
    const __m256i none2 = _mm256_and_si256(none1, nonLetters32(v2, rows, rowBit));
    const __m256i none3 = _mm256_and_si256(none2, nonLetters32(v3, rows, rowBit));
    const __m256i unlikely = _mm256_or_si256(
        _mm256_and_si256(two, none1),
        _mm256_or_si256(_mm256_and_si256(three, none2), _mm256_and_si256(four, none3)));
    c.unlikely += bits32(unlikely);
  }
  return i;
}
#endif

}  // namespace

SequenceTally::SequenceTally(std::uint64_t letters) : m_letters(letters) {
  for (unsigned b = 0; b < 64; ++b) {
    if ((letters >> b) & 1) m_letterRows[b & 0x0F] |= static_cast<unsigned char>(1u << (b >> 4));
  }
}

void SequenceTally::judge(const unsigned char* p, std::size_t at, std::size_t available) {
  if (p[at] < 0x80) return;
  ++m_high;
  if (const std::size_t length = validSequenceAt(p + at, available)) {
    ++m_sequences;
    m_inSequences += length;
    m_unlikely += unlikelySequence(p + at, length, m_letters);
  }
}

void SequenceTally::feed(const char* data, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  if (m_tailSize > 0) {
    // The bytes held back from the last piece are judged with the first ones of this one.
    unsigned char joined[9];
    std::memcpy(joined, m_tail, m_tailSize);
    const std::size_t taken = std::min<std::size_t>(size, 3);
    std::memcpy(joined + m_tailSize, p, taken);
    const std::size_t total = m_tailSize + taken;
    if (taken < 3) {
      // A piece of fewer than three bytes: it joins the held-back ones, and only the bytes
      // with three after them are judged.
      std::size_t judged = 0;
      for (; judged + 3 < total; ++judged) judge(joined, judged, total - judged);
      m_tailSize = total - judged;
      std::memcpy(m_tail, joined + judged, m_tailSize);
      return;
    }
    for (std::size_t i = 0; i < m_tailSize; ++i) judge(joined, i, total - i);
  }
  // Every byte with three after it in this piece; the last three wait for the next piece.
  const std::size_t judged = size >= 3 ? size - 3 : 0;
  std::size_t i = 0;
  [[maybe_unused]] const Counts counts{m_high, m_sequences, m_inSequences, m_unlikely};
#ifdef TARVEL_X86
  if (haveAvx2()) i = tallyAvx2(p, size, counts, m_letterRows);
#endif
#ifdef __SSE2__
  i = tallySse2(p, i, size, counts, m_letters);
#endif
  for (; i < judged; ++i) judge(p, i, size - i);
  m_tailSize = size - i;
  std::memcpy(m_tail, p + i, m_tailSize);
}

void SequenceTally::finish() {
  for (std::size_t i = 0; i < m_tailSize; ++i) judge(m_tail, i, m_tailSize - i);
  m_tailSize = 0;
}

bool Validator::feed(const char* data, std::size_t size, bool* control) {
  if (!valid()) {
    if (control != nullptr) *control = *control || HasControlByte(data, size);
    return false;
  }
  // Where the piece turns out invalid, its control bytes are looked for separately.
  auto invalid = [&] {
    if (control != nullptr) *control = *control || HasControlByte(data, size);
    return false;
  };
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  // First the character cut off at the end of the last piece.
  while (m_pendingSize > 0 && m_pendingSize < sizeof m_pending && i < size) {
    m_pending[m_pendingSize++] = p[i++];
    const Sequence s = judge(m_pending, m_pendingSize);
    if (s == Sequence::Invalid) {
      m_invalidAt = m_offset - static_cast<long long>(m_pendingSize - i);
      return invalid();
    }
    if (s == Sequence::Complete) {
      m_pendingSize = 0;
      m_high = true;
    }
  }
  if (m_pendingSize == 0) {
    const std::size_t tail = cutOffTail(data + i, size - i);
    const std::size_t whole = size - i - tail;
    // The bytes before `i` and after `whole` are parts of characters: no control bytes.
    bool sawControl = false;
    const std::size_t good =
        validPrefix(data + i, whole, m_high, control != nullptr ? &sawControl : nullptr);
    if (good != whole) {
      m_invalidAt = m_offset + static_cast<long long>(i + good);
      return invalid();
    }
    if (control != nullptr) *control = *control || sawControl;
    std::memcpy(m_pending, p + size - tail, tail);
    m_pendingSize = tail;
  }
  m_offset += static_cast<long long>(size);
  return true;
}

bool Validator::finish() {
  if (valid() && m_pendingSize > 0) {
    m_invalidAt = m_offset - static_cast<long long>(m_pendingSize);
  }
  return valid();
}

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
