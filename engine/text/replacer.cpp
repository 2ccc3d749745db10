#include "engine/text/replacer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/text/utf8.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace engine {
namespace {

// Short pieces of output are copied as this many bytes at once, from sources that hold that many.
constexpr std::size_t kShortCopy = 16;

std::array<char, kShortCopy> shortCopy(std::string_view text) {
  std::array<char, kShortCopy> copy{};
  if (text.size() <= copy.size()) std::copy(text.begin(), text.end(), copy.begin());
  return copy;
}

// The replacement as the output copies it: `readable` bytes may be read at `bytes`.
struct Replacement {
  const char* bytes;
  std::size_t size;
  std::size_t readable;
};

Replacement replacementOf(std::string_view replace, const std::array<char, kShortCopy>& copy) {
  if (replace.size() <= copy.size()) return {copy.data(), replace.size(), copy.size()};
  return {replace.data(), replace.size(), replace.size()};
}

// The output of one run(), gathered in a few KiB on the stack and appended to the string in
// large pieces: an occurrence among short stretches of text then costs two fixed-size copies
// rather than two calls of std::string::append. What is not flushed is lost.
class Output {
 public:
  static constexpr std::size_t kSize = 8192;

  explicit Output(std::string& out) : m_out(out) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Appends `n` bytes from `from`, where `readable` bytes (at least `n`) may be read.
  void put(const char* from, std::size_t n, std::size_t readable) {
    if (n <= kShortCopy && readable >= kShortCopy &&
        static_cast<std::size_t>(std::end(m_buffer) - m_at) >= kShortCopy) {
      std::memcpy(m_at, from, kShortCopy);  // the bytes past `n` are written over next
      m_at += n;
    } else {
      putLong(from, n);
    }
  }

  // Appends the text from `done` up to each of the `n` occurrences at `hits` (offsets into
  // data[0, size), each `m` bytes long), then the replacement. Returns where the text after
  // the last one begins.
  std::size_t putOccurrences(const char* data, std::size_t size, std::size_t done,
                             const std::size_t* hits, std::size_t n, std::size_t m,
                             const Replacement& replacement) {
    for (std::size_t i = 0; i < n; ++i) {
      if (replacement.size <= kShortCopy && hits[i] - done <= kShortCopy) {
        i += putShortRun(data, size, done, hits + i, n - i, m, replacement);
        if (i == n) break;
      }
      done = putOccurrence(data, size, done, hits[i], m, replacement);
    }
    return done;
  }

  // The same for one occurrence, at `at`. Inlined: a call would cost as much again as the
  // occurrence itself where they are a byte apart.
  [[gnu::always_inline]] std::size_t putOccurrence(const char* data, std::size_t size,
                                                   std::size_t done, std::size_t at, std::size_t m,
                                                   const Replacement& replacement) {
    if (at - done >= kDirect) {
      // Far apart, as in most text: both straight to the string, the buffer left empty.
      if (m_at != m_buffer) flush();
      m_out.append(data + done, at - done);
      m_out.append(replacement.bytes, replacement.size);
    } else {
      put(data + done, at - done, size - done);
      put(replacement.bytes, replacement.size, replacement.readable);
    }
    return at + m;
  }

  void flush() {
    m_out.append(m_buffer, static_cast<std::size_t>(m_at - m_buffer));
    m_at = m_buffer;
  }

 private:
  // Stretches this long go to the string directly, so that sparse occurrences copy their text
  // once, as without the buffer.
  static constexpr std::size_t kDirect = 256;

  // As many of the occurrences as have short text before them, with a short replacement: two
  // fixed-size copies each, with the cursor in a register. Returns how many it took.
  std::size_t putShortRun(const char* data, std::size_t size, std::size_t& done,
                          const std::size_t* hits, std::size_t n, std::size_t m,
                          const Replacement& replacement) {
    // Not those so near the end of the text that the copies would read past it.
    while (n > 0 && hits[n - 1] + kShortCopy > size) --n;
    if (static_cast<std::size_t>(std::end(m_buffer) - m_at) < 2 * kShortCopy * n) flush();
    const char* const replace = replacement.bytes;
    const std::size_t r = replacement.size;
    char* at = m_at;
    std::size_t from = done;
    std::size_t i = 0;
    for (; i < n; ++i) {
      const std::size_t hit = hits[i];
      if (hit - from > kShortCopy) break;
      std::memcpy(at, data + from, kShortCopy);
      at += hit - from;
      std::memcpy(at, replace, kShortCopy);
      at += r;
      from = hit + m;
    }
    m_at = at;
    done = from;
    return i;
  }

  // Out of line: seldom taken where occurrences are close, and it would crowd their registers.
  [[gnu::noinline]] void putLong(const char* from, std::size_t n) {
    if (n >= kDirect || n > static_cast<std::size_t>(std::end(m_buffer) - m_at)) {
      flush();
      if (n >= kDirect) {
        m_out.append(from, n);
        return;
      }
    }
    std::memcpy(m_at, from, n);
    m_at += n;
  }

  std::string& m_out;
  char m_buffer[kSize];
  char* m_at = m_buffer;
};

// Whether the bytes between the first and the last of a candidate are the find text's (`m`
// bytes, at least 3). Most candidates differ within the first few, compared here without a call.
inline bool middleMatches(const char* candidate, const char* find, std::size_t m) {
  const std::size_t few = std::min<std::size_t>(m - 1, 5);
  for (std::size_t k = 1; k < few; ++k) {
    if (candidate[k] != find[k]) return false;
  }
  return m - 1 == few || std::memcmp(candidate + few, find + few, m - 1 - few) == 0;
}

// The occurrences of a find text of two bytes or more in a text, found a batch at a time: left
// to right, each beginning at or after the end of the one before.
class Occurrences {
 public:
  static constexpr std::size_t kBatch = 128;
  // A batch ends once it reaches this far past its beginning, so that the text is copied to the
  // output while it is still in the cache.
  static constexpr std::ptrdiff_t kSpan = 8192;

  Occurrences(std::string_view find, const char* text, std::size_t size)
      : m_find(find),
        m_text(text),
        m_at(text),
        m_next(text),
        m_stop(size < find.size() ? text : text + size - find.size() + 1) {}

  // Writes the offsets of the next occurrences, at most kBatch, to `hits`; returns how many,
  // 0 once there are no more.
  std::size_t next(std::size_t* hits) {
    return m_find.size() == 2 ? nextOf<true>(hits) : nextOf<false>(hits);
  }

 private:
  // A find text of two bytes is found by its first and last byte alone.
  template <bool kTwoBytes>
  std::size_t nextOf(std::size_t* hits);

  std::string_view m_find;
  const char* m_text;
  const char* m_at;    // where the search goes on
  const char* m_next;  // no occurrence may begin before it
  const char* m_stop;  // the last place an occurrence can begin, plus one
};

template <bool kTwoBytes>
std::size_t Occurrences::nextOf(std::size_t* hits) {
  const std::size_t m = m_find.size();
  const char* const text = m_text;
  const char* const stop = m_stop;
  const char* p = m_at;
  const char* next = m_next;
  std::size_t n = 0;
#ifdef __SSE2__
  const char* const begin = p;
  // Sixteen places at once: only where both the first and the last byte of the find text match
  // are the bytes between compared.
  const __m128i first = _mm_set1_epi8(m_find.front());
  const __m128i lastByte = _mm_set1_epi8(m_find.back());
  auto candidates = [&](const char* at) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + m - 1));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, lastByte))));
  };
  // Steps of 32 places, then one of 16 if that many remain. A step is taken only with room in
  // the batch for all it can find.
  for (std::size_t step = 32; step >= 16; step -= 16) {
    for (; p + step <= stop; p += step) {
      std::uint32_t mask = candidates(p);
      if (step == 32) mask |= candidates(p + 16) << 16;
      if (mask == 0) continue;
      if (n > kBatch - 32 || (n > 0 && p - begin >= kSpan)) {
        m_at = p;
        m_next = next;
        return n;
      }
      for (; mask != 0; mask &= mask - 1) {
        const char* candidate = p + __builtin_ctz(mask);
        if (candidate < next) continue;  // inside the occurrence found before
        if (!kTwoBytes && !middleMatches(candidate, m_find.data(), m)) continue;
        hits[n++] = static_cast<std::size_t>(candidate - text);
        next = candidate + m;
      }
      // A long occurrence reaches past this step: the next step begins at its end.
      if (next > p + step) p = next - step;
    }
  }
#endif
  for (p = std::max(p, next); p < stop && n < kBatch;) {
    if (*p == m_find[0] && std::memcmp(p + 1, m_find.data() + 1, m - 1) == 0) {
      hits[n++] = static_cast<std::size_t>(p - text);
      p += m;
    } else {
      ++p;
    }
  }
  m_at = p;
  m_next = p;
  return n;
}

static_assert(2 * kShortCopy * Occurrences::kBatch <= Output::kSize,
              "a batch of short occurrences fits in the emptied buffer");

// Calls found(hits, n) for the occurrences of `find` (not empty) in text[0, size), a batch at a
// time, in order.
template <class Found>
void forEachBatch(std::string_view find, const char* text, std::size_t size, Found&& found) {
  if (find.size() == 1) {
    // One at a time: memchr finds each at once; gathering them in batches would only add
    // branches that depend on the text.
    for (std::size_t from = 0; from < size;) {
      const void* hit = std::memchr(text + from, find[0], size - from);
      if (hit == nullptr) break;
      const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
      found(&at, std::size_t{1});
      from = at + 1;
    }
    return;
  }
  Occurrences occurrences(find, text, size);
  std::size_t hits[Occurrences::kBatch];
  for (std::size_t n; (n = occurrences.next(hits)) != 0;) found(hits, n);
}

}  // namespace

Replacer::Replacer(std::string_view find, std::string_view replace,
                   const platform::FoldTable* fold)
    : m_find(find), m_replace(replace), m_shortReplace(shortCopy(replace)), m_fold(fold) {
  if (m_fold != nullptr) {
    for (char& c : m_find) c = static_cast<char>((*m_fold)[static_cast<unsigned char>(c)]);
  }
  m_carryLimit = m_find.empty() ? 0 : m_find.size() - 1;
}

Replacer::Replacer(std::string_view find, std::string_view replace, Utf8CaseFolding)
    : m_find(utf8::fold(find)),
      m_replace(replace),
      m_shortReplace(shortCopy(replace)),
      m_foldUtf8(true),
      m_findCharacters(utf8::countCharacters(find)) {
  // An occurrence is as many characters as the find text, each of up to four bytes, and a
  // piece may end inside a character.
  m_carryLimit = m_find.empty() ? 0 : 4 * (m_findCharacters - 1) + 3;
}

std::size_t Replacer::run(const char* data, std::size_t size, bool last, std::string& out) {
  if (m_find.empty()) {
    if (m_output) out.append(data, size);
    if (m_watcher != nullptr) m_watcher->passed(data, m_base, size);
    m_base += size;
    return size;
  }
  if (m_watcher != nullptr || m_rules) {
    const std::size_t finished = runWatched(data, size, last, out);
    if (m_watcher != nullptr) m_watcher->passed(data, m_base, finished);
    if (m_rules) {
      // Up to four bytes before the next piece: its first character's neighbour.
      const std::size_t keep = std::min<std::size_t>(finished, 4);
      m_history.append(data + finished - keep, keep);
      if (m_history.size() > 4) m_history.erase(0, m_history.size() - 4);
    }
    m_base += finished;
    return finished;
  }
  const std::size_t finished = m_foldUtf8 ? runFoldingUtf8(data, size, last, out)
                                          : runBytes(data, size, last, out);
  m_base += finished;
  return finished;
}

std::size_t Replacer::runBytes(const char* data, std::size_t size, bool last, std::string& out) {
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
  const std::size_t m = m_find.size();
  const Replacement replacement = replacementOf(m_replace, m_shortReplace);
  Output output(out);
  std::size_t done = 0;  // everything before `done` is finished
  forEachBatch(m_find, text, size, [&](const std::size_t* hits, std::size_t n) {
    if (m_refusal) throw *m_refusal;
    done = n == 1 ? output.putOccurrence(data, size, done, hits[0], m, replacement)
                  : output.putOccurrences(data, size, done, hits, n, m, replacement);
    m_count += n;
  });
  const std::size_t finished = finishedPart(data, size, size, done, last);
  output.put(data + done, finished - done, size - done);
  output.flush();
  return finished;
}

// The text is folded character by character into a copy; a hit in the copy is mapped back to
// the characters it covers in the original, which may be longer or shorter in bytes.
std::size_t Replacer::runFoldingUtf8(const char* data, std::size_t size, bool last,
                                     std::string& out) {
  const std::size_t whole = last ? size : size - utf8::cutOffTail(data, size);
  const utf8::Folded folded = utf8::foldInto(data, whole, m_foldedUtf8, m_offsets);
  const std::size_t m = m_find.size();
  const Replacement replacement = replacementOf(m_replace, m_shortReplace);
  Output output(out);
  std::size_t done = 0;  // in the original: everything before it is finished
  forEachBatch(m_find, m_foldedUtf8.data(), folded.size,
               [&](const std::size_t* hits, std::size_t n) {
                 if (m_refusal) throw *m_refusal;
                 if (!folded.mapped) {
                   done = n == 1 ? output.putOccurrence(data, size, done, hits[0], m, replacement)
                                 : output.putOccurrences(data, size, done, hits, n, m, replacement);
                 } else {
                   for (std::size_t i = 0; i < n; ++i) {
                     const std::size_t at = m_offsets[hits[i]];
                     output.put(data + done, at - done, size - done);
                     output.put(replacement.bytes, replacement.size, replacement.readable);
                     done = m_offsets[hits[i] + m];
                   }
                 }
                 m_count += n;
               });
  const std::size_t finished = finishedPart(data, size, whole, done, last);
  output.put(data + done, finished - done, size - done);
  output.flush();
  return finished;
}

std::size_t Replacer::finishedPart(const char* data, std::size_t size, std::size_t whole,
                                   std::size_t next, bool last) const {
  if (last) return size;
  if (!m_foldUtf8) return size - next > m_carryLimit ? size - m_carryLimit : next;
  // The last characters, one fewer than the find text has, may begin an occurrence that the
  // next piece completes; so may a character cut off at the end.
  std::size_t from = whole;
  for (std::size_t k = 1; k < m_findCharacters && from > next; ++k) {
    // At most four bytes a character, even in bytes that changed since they were classified.
    std::size_t bytes = 0;
    do {
      --from;
    } while (from > next && ++bytes < 4 &&
             (static_cast<unsigned char>(data[from]) & 0xC0) == 0x80);
  }
  return from > next ? from : next;
}

// Each occurrence goes to the watcher, which says whether it is replaced. One at a time: the
// batched copies above are for runs that replace every occurrence.
std::size_t Replacer::runWatched(const char* data, std::size_t size, bool last,
                                 std::string& out) {
  const char* text = data;
  std::size_t textSize = size;
  std::size_t whole = size;
  bool mapped = false;
  if (m_foldUtf8) {
    whole = last ? size : size - utf8::cutOffTail(data, size);
    const utf8::Folded folded = utf8::foldInto(data, whole, m_foldedUtf8, m_offsets);
    text = m_foldedUtf8.data();
    textSize = folded.size;
    mapped = folded.mapped;
  } else if (m_fold != nullptr) {
    m_folded.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
      m_folded[i] = static_cast<char>((*m_fold)[static_cast<unsigned char>(data[i])]);
    }
    text = m_folded.data();
  }
  const std::size_t m = m_find.size();
  std::size_t done = 0;  // output finished up to here
  std::size_t next = 0;  // the end of the last occurrence
  std::size_t undecided = size;  // an occurrence whose next character is in the next piece
  forEachBatch(m_find, text, textSize, [&](const std::size_t* hits, std::size_t n) {
    for (std::size_t i = 0; i < n && undecided == size; ++i) {
      const std::size_t at = mapped ? m_offsets[hits[i]] : hits[i];
      const std::size_t end = mapped ? m_offsets[hits[i] + m] : hits[i] + m;
      std::string_view replacement = m_replace;
      if (m_rules) {
        // A whole word, or not: either way the search goes on after it.
        if (m_rules->wholeWords) {
          if (!last && end + 4 > size) {
            undecided = at;
            break;
          }
          const long before = at > 0 ? m_rules->encoding.before(data, at)
                                     : m_rules->encoding.before(m_history.data(), m_history.size());
          if (IsWordCharacter(before) || IsWordCharacter(m_rules->encoding.after(data, end, size))) {
            next = end;
            continue;
          }
        }
        if (m_rules->preserveCase) {
          const std::string found = m_rules->encoding.toUtf8({data + at, end - at});
          if (!m_refusal) m_shaped = m_rules->encoding.fromUtf8(ShapedLike(found, m_rules->replaceUtf8));
          replacement = m_shaped;
        }
      }
      next = end;
      if (m_watcher != nullptr && !m_watcher->occurrence(data, m_base, at, end - at, replacement)) {
        continue;
      }
      if (m_refusal) throw *m_refusal;
      if (m_output) {
        out.append(data + done, at - done);
        out.append(replacement);
      }
      done = end;
      ++m_count;
    }
  });
  const std::size_t finished = std::min(finishedPart(data, size, whole, next, last), undecided);
  if (m_output) out.append(data + done, finished - done);
  return finished;
}

void Replacer::setRules(Rules rules) {
  if (!rules.wholeWords && !rules.preserveCase) return;
  if (rules.wholeWords && !m_find.empty()) m_carryLimit += 4;  // the character after it
  m_rules = std::move(rules);
}

std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold) {
  Replacer replacer(find, replace, fold);
  std::string out;
  replacer.run(text.data(), text.size(), true, out);
  return out;
}

}  // namespace engine
