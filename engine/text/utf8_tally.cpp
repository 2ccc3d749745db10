#include "engine/text/utf8.h"

#include <cstring>

#include "engine/text/utf8_sequences.h"

namespace engine::utf8 {
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

}  // namespace engine::utf8
