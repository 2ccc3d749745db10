#include "engine/utf8.h"

#include <unicode/uchar.h>

#include <array>
#include <cstring>
#include <memory>

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

#define TARVEL_TABLE16(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)

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
  __m256i byte1High, byte1Low, byte2High, lastComplete;
};

struct Avx2State {
  __m256i previous, error, incomplete, seenHigh;
};

__attribute__((target("avx2"))) inline void avx2Step(Avx2State& s, const Avx2Tables& t,
                                                      __m256i input) {
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
        _mm256_shuffle_epi8(t.byte2High, nibbleHigh(input)));
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

#define TARVEL_B(x) static_cast<char>(x)

__attribute__((target("avx2"))) bool avx2Valid(const unsigned char* p, std::size_t n,
                                                bool& high) {
  Avx2Tables t;
  t.byte1High = TARVEL_TABLE16(
      TARVEL_B(kTooLong), TARVEL_B(kTooLong), TARVEL_B(kTooLong), TARVEL_B(kTooLong),
      TARVEL_B(kTooLong), TARVEL_B(kTooLong), TARVEL_B(kTooLong), TARVEL_B(kTooLong),
      TARVEL_B(kTwoConts), TARVEL_B(kTwoConts), TARVEL_B(kTwoConts), TARVEL_B(kTwoConts),
      TARVEL_B(kTooShort | kOverlong2), TARVEL_B(kTooShort),
      TARVEL_B(kTooShort | kOverlong3 | kSurrogate),
      TARVEL_B(kTooShort | kTooLarge | kTooLarge1000 | kOverlong4));
  t.byte1Low = TARVEL_TABLE16(
      TARVEL_B(kCarry | kOverlong3 | kOverlong2 | kOverlong4), TARVEL_B(kCarry | kOverlong2),
      TARVEL_B(kCarry), TARVEL_B(kCarry), TARVEL_B(kCarry | kTooLarge),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000), TARVEL_B(kCarry | kTooLarge | kTooLarge1000),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000), TARVEL_B(kCarry | kTooLarge | kTooLarge1000),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000), TARVEL_B(kCarry | kTooLarge | kTooLarge1000),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000), TARVEL_B(kCarry | kTooLarge | kTooLarge1000),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000 | kSurrogate),
      TARVEL_B(kCarry | kTooLarge | kTooLarge1000), TARVEL_B(kCarry | kTooLarge | kTooLarge1000));
  t.byte2High = TARVEL_TABLE16(
      TARVEL_B(kTooShort), TARVEL_B(kTooShort), TARVEL_B(kTooShort), TARVEL_B(kTooShort),
      TARVEL_B(kTooShort), TARVEL_B(kTooShort), TARVEL_B(kTooShort), TARVEL_B(kTooShort),
      TARVEL_B(kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4),
      TARVEL_B(kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge),
      TARVEL_B(kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge),
      TARVEL_B(kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge), TARVEL_B(kTooShort),
      TARVEL_B(kTooShort), TARVEL_B(kTooShort), TARVEL_B(kTooShort));
  // A lead byte in the last three places of a block that the block cannot complete.
  t.lastComplete = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                    TARVEL_B(0xF0 - 1), TARVEL_B(0xE0 - 1), TARVEL_B(0xC0 - 1));
  Avx2State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
              _mm256_setzero_si256()};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    avx2Step(s, t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
  }
  if (i < n) {
    alignas(32) unsigned char last[32] = {};
    std::memcpy(last, p + i, n - i);
    avx2Step(s, t, _mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  const __m256i error = _mm256_or_si256(s.error, s.incomplete);
  high = high || _mm256_movemask_epi8(s.seenHigh) != 0;
  return _mm256_testz_si256(error, error) != 0;
}

#undef TARVEL_B

bool haveAvx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
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

std::size_t validPrefix(const char* data, std::size_t size, bool& high) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
#ifdef TARVEL_X86
  // The vector check says only yes or no; where it says no, the plain loop finds the place.
  if (size >= 64 && haveAvx2()) {
    bool sawHigh = false;
    if (avx2Valid(p, size, sawHigh)) {
      high = high || sawHigh;
      return size;
    }
  }
#endif
  return scalarValidPrefix(p, size, high);
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

bool Validator::feed(const char* data, std::size_t size) {
  if (!valid()) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  // First the character cut off at the end of the last piece.
  while (m_pendingSize > 0 && i < size) {
    m_pending[m_pendingSize++] = p[i++];
    const Sequence s = judge(m_pending, m_pendingSize);
    if (s == Sequence::Invalid) {
      m_invalidAt = m_offset - static_cast<long long>(m_pendingSize - i);
      return false;
    }
    if (s == Sequence::Complete) {
      m_pendingSize = 0;
      m_high = true;
    }
  }
  if (m_pendingSize == 0) {
    const std::size_t tail = cutOffTail(data + i, size - i);
    const std::size_t whole = size - i - tail;
    const std::size_t good = validPrefix(data + i, whole, m_high);
    if (good != whole) {
      m_invalidAt = m_offset + static_cast<long long>(i + good);
      return false;
    }
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
  std::string folded;
  std::vector<std::uint32_t> offsets;
  foldInto(text.data(), text.size(), folded, offsets);
  return folded;
}

bool foldInto(const char* data, std::size_t size, std::string& folded,
              std::vector<std::uint32_t>& offsets) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto& bmp = bmpFolding();
  // A folded character is at most one and a half times as long as the original (Ⱥ, two bytes,
  // folds to ⱥ, three).
  folded.resize(size + size / 2 + 4);
  auto* out = reinterpret_cast<unsigned char*>(folded.data());
  std::size_t o = 0;
  bool mapped = false;
  auto startMap = [&] {
    offsets.resize(o);
    for (std::size_t k = 0; k < o; ++k) offsets[k] = static_cast<std::uint32_t>(k);
    mapped = true;
  };
  std::size_t i = 0;
  while (i < size) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out[o] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
      if (mapped) offsets.push_back(static_cast<std::uint32_t>(i));
      ++o;
      ++i;
      continue;
    }
    // The common case of Cyrillic, Greek and accented Latin: two bytes that fold to two.
    if (b >= 0xC2 && b <= 0xDF && i + 1 < size && isContinuation(p[i + 1])) {
      const char32_t f = bmp[(static_cast<char32_t>(b & 0x1F) << 6) | (p[i + 1] & 0x3F)];
      if (f >= 0x80 && f < 0x800) {
        out[o] = static_cast<unsigned char>(0xC0 | (f >> 6));
        out[o + 1] = static_cast<unsigned char>(0x80 | (f & 0x3F));
        if (mapped) offsets.insert(offsets.end(), 2, static_cast<std::uint32_t>(i));
        o += 2;
        i += 2;
        continue;
      }
    }
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
    if (produced != consumed && !mapped) startMap();
    if (mapped) offsets.insert(offsets.end(), produced, static_cast<std::uint32_t>(i));
    o += produced;
    i += consumed;
  }
  folded.resize(o);
  if (mapped) offsets.push_back(static_cast<std::uint32_t>(size));
  return mapped;
}

}  // namespace engine::utf8
