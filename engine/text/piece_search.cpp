// A long text searched a piece at a time, with the same matches as the whole.
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "engine/text/pattern.h"  // PieceSearch

namespace engine {

PieceSearch::PieceSearch(Matcher& matcher, const Pattern& pattern, Source& source, Count count)
    : m_matcher(matcher),
      m_source(source),
      m_keep(pattern.lookBehind()),
      m_units(count == Count::Utf16Units) {}

void PieceSearch::fill() {
  m_ended = !m_source.more(m_text);
  // A pattern that must see the whole text before it is given the whole text.
  while (!m_ended && m_keep == Pattern::kWholeText) m_ended = !m_source.more(m_text);
}

bool PieceSearch::next() {
  if (!m_started) {
    m_started = true;
    fill();
    m_matcher.start(m_text, !m_ended);
  }
  while (!m_matcher.next()) {
    if (!m_matcher.needsMore()) return false;
    // What no search will look at again goes (from a character's start), then a piece comes.
    const std::size_t from = m_matcher.resumesAt();
    std::size_t drop = from > m_keep ? from - m_keep : 0;
    while (drop > 0 && (static_cast<unsigned char>(m_text[drop]) & 0xC0) == 0x80) --drop;
    if (drop > 0) {
      charactersBefore(m_base + drop);
      m_text.erase(0, drop);
      m_base += drop;
    }
    // Pieces enough to double what is held: a match that keeps needing more (a `.*` that may
    // run to the end) is searched again a few times, not once a piece.
    const std::size_t held = m_text.size();
    do {
      fill();
    } while (!m_ended && m_text.size() < 2 * held);
    m_matcher.extend(m_text, drop, !m_ended);
  }
  return true;
}

std::uint64_t PieceSearch::charactersBefore(std::uint64_t offset) {
  if (offset <= m_counted) return m_characters;
  std::size_t i = static_cast<std::size_t>(m_counted - m_base);
  const std::size_t end = static_cast<std::size_t>(offset - m_base);
#ifdef __SSE2__
  // Every byte but a continuation byte (10xxxxxx) begins a character; sixteen at a time. As
  // signed bytes the continuation bytes are -128 to -65, and the lead bytes of four (a
  // character of two UTF-16 units) -16 to -1. Each mark (0xFF) becomes a 1, and psadbw adds up
  // the ones of each half (no popcount instruction is assumed).
  const __m128i zero = _mm_setzero_si128();
  __m128i counted = zero;  // beginnings of characters, and of pairs of units
  for (; i + 16 <= end; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_text.data() + i));
    const __m128i begins = _mm_cmpgt_epi8(v, _mm_set1_epi8(-65));  // not a continuation byte
    if (m_units) {
      const __m128i four = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-17)),
                                         _mm_cmplt_epi8(v, zero));
      counted = _mm_add_epi64(counted, _mm_sad_epu8(_mm_sub_epi8(zero, four), zero));
    }
    counted = _mm_add_epi64(counted, _mm_sad_epu8(_mm_sub_epi8(zero, begins), zero));
  }
  alignas(16) std::uint64_t halves[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves), counted);
  m_characters += halves[0] + halves[1];
#endif
  // Eight at a time.
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  for (; i + 8 <= end; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, m_text.data() + i, 8);
    // Bit 7 set and bit 6 clear marks a continuation byte; the multiply adds up the marks.
    const std::uint64_t continuation = (word & kHigh & ~(word << 1)) >> 7;
    m_characters += 8 - ((continuation * 0x0101010101010101ULL) >> 56);
    if (m_units) {
      // A lead byte 11110xxx begins a character of two units.
      const std::uint64_t four = (word & (word << 1) & (word << 2) & (word << 3) & kHigh) >> 7;
      m_characters += (four * 0x0101010101010101ULL) >> 56;
    }
  }
  for (; i < end; ++i) {
    const auto b = static_cast<unsigned char>(m_text[i]);
    m_characters += (b & 0xC0) != 0x80;
    if (m_units) m_characters += b >= 0xF0;
  }
  m_counted = offset;
  return m_characters;
}

}  // namespace engine
