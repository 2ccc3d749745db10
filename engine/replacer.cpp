#include "engine/replacer.h"

#include <cstring>

#include "engine/utf8.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace engine {

Replacer::Replacer(std::string_view find, std::string_view replace,
                   const platform::FoldTable* fold)
    : m_find(find), m_replace(replace), m_fold(fold) {
  if (m_fold != nullptr) {
    for (char& c : m_find) c = static_cast<char>((*m_fold)[static_cast<unsigned char>(c)]);
  }
  m_carryLimit = m_find.empty() ? 0 : m_find.size() - 1;
}

Replacer::Replacer(std::string_view find, std::string_view replace, Utf8CaseFolding)
    : m_find(utf8::fold(find)),
      m_replace(replace),
      m_foldUtf8(true),
      m_findCharacters(utf8::countCharacters(find)) {
  // An occurrence is as many characters as the find text, each of up to four bytes, and a
  // piece may end inside a character.
  m_carryLimit = m_find.empty() ? 0 : 4 * (m_findCharacters - 1) + 3;
}

void Replacer::replaced(std::string& out) {
  if (m_refusal) throw *m_refusal;
  out.append(m_replace);
  ++m_count;
}

const char* Replacer::search(const char* from, const char* end) const {
  const auto size = static_cast<std::size_t>(end - from);
  const std::size_t m = m_find.size();
  if (size < m) return nullptr;
  if (m == 1) return static_cast<const char*>(std::memchr(from, m_find[0], size));
  const char* p = from;
  const char* stop = end - m + 1;  // the last place an occurrence can begin, plus one
#ifdef __SSE2__
  // Sixteen places a step: only where both the first and the last byte of the find text match
  // are the bytes between compared.
  const __m128i first = _mm_set1_epi8(m_find.front());
  const __m128i lastByte = _mm_set1_epi8(m_find.back());
  for (; p + 16 <= stop; p += 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + m - 1));
    auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, lastByte))));
    for (; mask != 0; mask &= mask - 1) {
      const char* candidate = p + __builtin_ctz(mask);
      if (std::memcmp(candidate + 1, m_find.data() + 1, m - 2) == 0) return candidate;
    }
  }
#endif
  for (; p < stop; ++p) {
    if (*p == m_find[0] && std::memcmp(p + 1, m_find.data() + 1, m - 1) == 0) return p;
  }
  return nullptr;
}

std::size_t Replacer::run(const char* data, std::size_t size, bool last, std::string& out) {
  if (m_find.empty()) {
    out.append(data, size);
    return size;
  }
  if (m_foldUtf8) return runFoldingUtf8(data, size, last, out);
  // Without regard to case the search runs over a folded copy; the output copies the
  // original bytes between occurrences.
  const char* text = data;
  if (m_fold != nullptr) {
    m_folded.resize(size);
    const auto& table = *m_fold;
    for (std::size_t i = 0; i < size; ++i) {
      m_folded[i] = static_cast<char>(table[static_cast<unsigned char>(data[i])]);
    }
    text = m_folded.data();
  }
  const char* end = text + size;
  std::size_t done = 0;  // everything before `done` is finished
  for (const char* hit = search(text, end); hit != nullptr; hit = search(text + done, end)) {
    const auto at = static_cast<std::size_t>(hit - text);
    out.append(data + done, at - done);
    replaced(out);
    done = at + m_find.size();
  }
  std::size_t finished = size;
  if (!last && size - done >= m_find.size()) {
    finished = size - carryLimit();
  } else if (!last) {
    finished = done;
  }
  out.append(data + done, finished - done);
  return finished;
}

// The text is folded character by character into a copy; a hit in the copy is mapped back to
// the characters it covers in the original, which may be longer or shorter in bytes.
std::size_t Replacer::runFoldingUtf8(const char* data, std::size_t size, bool last,
                                     std::string& out) {
  const std::size_t whole = last ? size : size - utf8::cutOffTail(data, size);
  const utf8::Folded folded = utf8::foldInto(data, whole, m_foldedUtf8, m_offsets);
  auto original = [&](std::size_t at) {
    return folded.mapped ? static_cast<std::size_t>(m_offsets[at]) : at;
  };
  const char* text = m_foldedUtf8.data();
  const char* end = text + folded.size;
  std::size_t searched = 0;  // in the folded copy
  std::size_t done = 0;      // in the original: everything before it is finished
  for (const char* hit = search(text, end); hit != nullptr; hit = search(text + searched, end)) {
    const auto at = static_cast<std::size_t>(hit - text);
    out.append(data + done, original(at) - done);
    replaced(out);
    searched = at + m_find.size();
    done = original(searched);
  }
  std::size_t finished = size;
  if (!last) {
    // The last characters, one fewer than the find text has, may begin an occurrence that the
    // next piece completes; so may a character cut off at the end.
    std::size_t from = whole;
    for (std::size_t k = 1; k < m_findCharacters && from > done; ++k) {
      // At most four bytes a character, even in bytes that changed since they were classified.
      std::size_t bytes = 0;
      do {
        --from;
      } while (from > done && ++bytes < 4 &&
               (static_cast<unsigned char>(data[from]) & 0xC0) == 0x80);
    }
    finished = from > done ? from : done;
  }
  out.append(data + done, finished - done);
  return finished;
}

std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold) {
  Replacer replacer(find, replace, fold);
  std::string out;
  replacer.run(text.data(), text.size(), true, out);
  return out;
}

}  // namespace engine
