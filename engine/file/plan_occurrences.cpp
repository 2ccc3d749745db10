#include <algorithm>
#include <cstring>
#include <limits>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "engine/file/planned_file.h"
#include "engine/file/source_file.h"
#include "engine/text/utf16.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace engine {
namespace {

std::size_t countNewlines(const char* p, std::size_t n) {
  std::size_t count = 0;
  std::size_t i = 0;
#ifdef __SSE2__
  // Each line feed's mark (0xFF) becomes a 1, and psadbw adds up the ones of each half.
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  __m128i counted = zero;
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    counted = _mm_add_epi64(
        counted, _mm_sad_epu8(_mm_sub_epi8(zero, _mm_cmpeq_epi8(bytes, newline)), zero));
  }
  alignas(16) std::uint64_t halves[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(halves), counted);
  count += static_cast<std::size_t>(halves[0] + halves[1]);
#endif
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

// Characters in UTF-8 bytes: every byte but the continuation bytes. In a code page, bytes.
std::size_t countCharacters(const char* p, std::size_t n, bool utf8) {
  if (!utf8) return n;
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += (static_cast<unsigned char>(p[i]) & 0xC0) != 0x80;
  return count;
}

// Line feeds and characters in UTF-16 units: `n` bytes from a unit's start. A character is a
// unit that is not the trail of a surrogate pair.
struct Utf16Counts {
  std::uint64_t lines = 0;
  std::uint64_t charactersAfterLastFeed = 0;
};
Utf16Counts countUtf16(const char* p, std::size_t n, bool bigEndian) {
  Utf16Counts counts;
  for (std::size_t i = 0; i + 2 <= n; i += 2) {
    const unsigned unit = utf16::UnitAt(p + i, bigEndian);
    if (unit == '\n') {
      ++counts.lines;
      counts.charactersAfterLastFeed = 0;
    } else if (unit < 0xDC00 || unit > 0xDFFF) {
      ++counts.charactersAfterLastFeed;
    }
  }
  return counts;
}

// Lists the occurrences with their lines and columns: every byte the replacer finishes is
// counted once, whether an occurrence lies in it or not.
class Lister final : public Replacer::Watcher {
 public:
  // With `replacements`, each occurrence's replacement is kept there too, as it is made from
  // the real match: the review shows what the conversion writes, not a match of the found text
  // alone, which loses what the pattern saw around it.
  Lister(FileKind kind, PlannedFile& plan, bool replacements, bool pairs)
      : m_pairs(pairs ? &plan.pairs : nullptr),
        m_utf8(kind == FileKind::Utf8),
        m_utf16(IsUtf16(kind)),
        m_big(kind == FileKind::Utf16Be),
        m_out(plan.occurrences),
        m_replacements(replacements ? &plan : nullptr) {}

  bool occurrence(const char* piece, std::uint64_t base, std::size_t at, std::size_t length,
                  std::string_view replacement) override {
    advance(piece, base, at);
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint32_t>::max();
    // A plan holds an occurrence's length in 32 bits: a match of a pattern over 4 GiB of a
    // file fails the file rather than be planned short.
    if (length > kMost) {
      throw platform::Error(platform::kOverflow, platform::Step::ReadFile,
                            platform::Why::MatchTooLong);
    }
    m_out.push_back({base + at, m_line, static_cast<std::uint32_t>(length),
                     static_cast<std::uint32_t>(std::min(m_column + 1, kMost))});
    if (m_replacements != nullptr) {
      m_replacements->replacements.append(replacement);
      m_replacements->replacementEnds.push_back(m_replacements->replacements.size());
    }
    if (m_pairs != nullptr) m_pairs->push_back(pair);
    return true;
  }

  void passed(const char* piece, std::uint64_t base, std::size_t finished) override {
    advance(piece, base, finished);
  }

 private:
  // Counts the piece's bytes from where counting stopped up to `to`.
  void advance(const char* piece, std::uint64_t base, std::size_t to) {
    const std::size_t from = m_counted > base ? static_cast<std::size_t>(m_counted - base) : 0;
    if (to <= from) return;
    const char* begin = piece + from;
    const std::size_t n = to - from;
    m_counted = base + to;
    if (m_utf16) {
      const Utf16Counts counts = countUtf16(begin, n, m_big);
      m_line += counts.lines;
      m_column = counts.lines > 0 ? counts.charactersAfterLastFeed
                                  : m_column + counts.charactersAfterLastFeed;
      return;
    }
    const void* lastBreak = memrchr(begin, '\n', n);
    if (lastBreak == nullptr) {
      m_column += countCharacters(begin, n, m_utf8);
    } else {
      const char* after = static_cast<const char*>(lastBreak) + 1;
      m_line += countNewlines(begin, static_cast<std::size_t>(after - begin));
      m_column = countCharacters(after, static_cast<std::size_t>(begin + n - after), m_utf8);
    }
  }

  std::vector<std::uint32_t>* m_pairs;
  bool m_utf8;
  bool m_utf16;
  bool m_big;
  std::vector<Occurrence>& m_out;
  PlannedFile* m_replacements;
  std::uint64_t m_counted = 0;  // bytes counted so far
  std::uint64_t m_line = 1;
  std::uint64_t m_column = 0;   // characters from the line's start to m_counted
};

}  // namespace

bool FileIdentity::sameAs(const struct stat& now) const {
  return now.st_dev == device && now.st_ino == inode &&
         static_cast<std::uint64_t>(now.st_size) == size &&
         now.st_mtim.tv_sec == modified.tv_sec && now.st_mtim.tv_nsec == modified.tv_nsec &&
         now.st_ctim.tv_sec == changed.tv_sec && now.st_ctim.tv_nsec == changed.tv_nsec;
}

FileIdentity FileIdentity::Of(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.modified = st.st_mtim;
  id.changed = st.st_ctim;
  return id;
}

std::string_view PlannedFile::replacementOf(std::size_t i) const {
  const std::uint64_t from = i == 0 ? 0 : replacementEnds[i - 1];
  return std::string_view(replacements)
      .substr(static_cast<std::size_t>(from), static_cast<std::size_t>(replacementEnds[i] - from));
}

std::size_t PlannedFile::acceptedCount() const {
  std::size_t n = 0;
  for (const bool a : accepted) n += a;
  return n;
}

PlannedFile PlanOccurrencesAt(const FileRef& file, const Conversion& c, FileOutcome& found) {
  SourceFile reading(file);
  PlannedFile plan = PlanOccurrences(reading, c, found);
  FolderFacts facts = file.open ? file.open->facts : FolderFacts{};
  ReadFolderFacts(file.folder, facts);
  plan.place.folder = file.open && !file.open->canonical.empty() ? file.open->canonical
                                                                 : platform::pathOf(file.folder);
  plan.place.device = facts.device;
  plan.place.inode = facts.inode;
  plan.place.name = file.name;
  return plan;
}

PlannedFile PlanOccurrences(SourceFile& reading, const Conversion& c, FileOutcome& found) {
  const FileRef& file = reading.target().ref();
  found = FileOutcome{};
  found.kind = reading.classify(c, true);
  found.classified = true;
  PlannedFile plan;
  plan.path = file.path;
  plan.kind = found.kind;
  plan.identity = FileIdentity::Of(reading.status());
  if (found.kind == FileKind::Binary) return plan;
  plan.lineBreak = reading.lineBreak(c);
  // A guessed kind that does not hold is planned again: lines and columns count characters.
  for (;;) {
    thread_local XXH3_state_t state;
    XXH3_64bits_reset(&state);
    Lister lister(found.kind, plan, c.pattern != nullptr || c.options.preserveCase,
                  c.pattern != nullptr && !c.pattern->pairReplacements.empty());
    found.replacements = reading.stream(
        c, found.kind, [](std::string_view, std::size_t) {},
        {.occurrences = &lister, .output = false, .read = [](std::string_view bytes) {
           XXH3_64bits_update(&state, bytes.data(), bytes.size());
         }});
    plan.identity.hash = XXH3_64bits_digest(&state);
    found.pairCounts = reading.pairCounts();
    const FileKind settled = reading.settle();
    if (settled == found.kind) break;
    found.kind = plan.kind = settled;
    found.replacements = 0;
    plan.occurrences.clear();
    plan.replacements.clear();
    plan.replacementEnds.clear();
    plan.pairs.clear();
    if (settled == FileKind::Binary) return plan;
  }
  plan.occurrences.shrink_to_fit();  // a plan of many files holds no room to grow
  plan.replacements.shrink_to_fit();
  plan.replacementEnds.shrink_to_fit();
  plan.accepted.assign(plan.occurrences.size(), true);
  // A spooled stream has no name, and nothing to refuse.
  if (!file.name.empty() && (found.replacements > 0 || !c.options.leaveUnmatched)) {
    found.refusal = ReplaceRefusal(reading.attributes(), c.options.hidden);
  }
  return plan;
}

}  // namespace engine
