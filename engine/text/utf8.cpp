#include "engine/text/utf8.h"

#include <cstring>

#include "engine/text/binary_test.h"
#include "engine/text/utf8_sequences.h"

namespace engine::utf8 {
namespace {

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

#endif

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

}  // namespace engine::utf8
