// A file matched against a regular expression (or a text with a line break, whose line breaks
// match LF and CR LF alike), and every file in UTF-16: mapped whole and matched as one text, so
// that no match is missed where chunks would end. A file in UTF-8 is matched where it is
// mapped; a file in a code page or in UTF-16 through its text decoded to UTF-8 a piece at a
// time (the search asks for the next piece wherever what follows could change a match), and
// its replacements are encoded back.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "engine/file/source_file.h"
#include "engine/text/occurrence_rules.h"
#include "engine/text/pattern.h"
#include "engine/text/utf16.h"
#include "engine/text/utf8.h"
#include "platform/error.h"

namespace engine {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
// Files up to this size are read whole rather than mapped.
constexpr std::size_t kReadWhole = 1 << 20;

platform::Error changedWhileMatched() {
  return platform::Error(platform::kChanged, platform::Step::ReadFile,
                         platform::Why::ChangedWhileRead);
}

// The file's bytes, mapped for reading.
class Mapped {
 public:
  Mapped(int fd, std::size_t size) : m_size(size) {
    if (size == 0) return;
    m_data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m_data == MAP_FAILED) {
      m_data = nullptr;
      platform::raiseSystemError(errno, platform::Step::ReadFile);
    }
    madvise(m_data, size, MADV_SEQUENTIAL);
  }
  ~Mapped() {
    if (m_data != nullptr) munmap(m_data, m_size);
  }
  // The pages before `offset` are not needed again soon: they leave this process's memory (a
  // later look reads them from the file again).
  void release(std::size_t offset) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t end = offset / page * page;
    if (m_data == nullptr || end <= m_released) return;
    madvise(static_cast<char*>(m_data) + m_released, end - m_released, MADV_DONTNEED);
    m_released = end;
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  std::string_view bytes() const { return {static_cast<const char*>(m_data), m_size}; }

 private:
  void* m_data = nullptr;
  std::size_t m_size;
  std::size_t m_released = 0;
};

// The worker's matcher for the run's pattern.
Matcher& matcherFor(const CompiledPattern& compiled) {
  static thread_local std::optional<Matcher> matcher;
  static thread_local std::uint64_t of = 0;
  if (!matcher || of != compiled.serial) {
    matcher.emplace(compiled.pattern);
    of = compiled.serial;
  }
  return *matcher;
}

// A file in a code page, decoded a piece at a time.
class DecodedPieces : public PieceSearch::Source {
 public:
  DecodedPieces(std::string_view bytes, const platform::CodePage& page, std::size_t piece)
      : m_bytes(bytes),
        m_page(page),
        m_piece(std::max<std::size_t>(piece, 1)),
        m_decoded(new char[m_piece * platform::CodePage::kMostUtf8PerByte]) {}
  bool more(std::string& text) override {
    const std::size_t n = std::min(m_piece, m_bytes.size() - m_at);
    // A byte the code page has no character for goes through the search, and back, as itself.
    text.append(m_decoded.get(),
                m_page.decodeKeepingInto(m_bytes.substr(m_at, n), m_decoded.get()));
    m_at += n;
    return m_at < m_bytes.size();
  }

 private:
  std::string_view m_bytes;
  const platform::CodePage& m_page;
  std::size_t m_piece;
  std::unique_ptr<char[]> m_decoded;  // one piece, decoded
  std::size_t m_at = 0;
};

// A file in UTF-16, decoded a piece at a time after its mark.
class Utf16Pieces : public PieceSearch::Source {
 public:
  Utf16Pieces(std::string_view bytes, bool bigEndian, std::size_t piece)
      : m_bytes(bytes), m_bigEndian(bigEndian), m_piece(std::max<std::size_t>(piece, 4)) {}
  bool more(std::string& text) override {
    const std::size_t n = std::min(m_piece, m_bytes.size() - m_at);
    std::size_t used =
        utf16::Decode(m_bytes.substr(m_at, n), m_bigEndian, text, utf16::kMarkSize + m_at);
    if (used == 0 && n > 0) {
      // A surrogate pair across the piece's end, or an odd byte: never left out.
      used = utf16::Decode(m_bytes.substr(m_at, n + 2), m_bigEndian, text, utf16::kMarkSize + m_at);
      if (used == 0) throw changedWhileMatched();
    }
    m_at += used;
    return m_at < m_bytes.size();
  }

 private:
  std::string_view m_bytes;
  bool m_bigEndian;
  std::size_t m_piece;
  std::size_t m_at = 0;
};

// The pattern of a literal find text, for the files matched as a pattern is (UTF-16): made once
// for the worker's run.
const CompiledPattern& literalPattern(const MatchOptions& o) {
  struct Held {
    std::string find, replace;
    bool caseSensitive = true, exactLineBreaks = false;
    std::unique_ptr<CompiledPattern> compiled;
  };
  static thread_local Held held;
  if (!held.compiled || held.find != o.findText || held.replace != o.replaceText ||
      held.caseSensitive != o.caseSensitive || held.exactLineBreaks != o.exactLineBreaks) {
    held.compiled = CompiledPattern::Literal(o);
    held.find = o.findText;
    held.replace = o.replaceText;
    held.caseSensitive = o.caseSensitive;
    held.exactLineBreaks = o.exactLineBreaks;
  }
  return *held.compiled;
}

}  // namespace

std::size_t SourceFile::streamPattern(const Conversion& c, FileKind kind, const Emit& emit,
                                      const Watch& watch) {
  const MatchOptions& o = c.options;
  // A file the classification read whole is matched where it lies; another small one is read
  // whole (a mapping a file costs its unmapping on every core the run uses); a large one is
  // mapped.
  const auto size = static_cast<std::size_t>(status().st_size);
  std::optional<Mapped> mapped;
  std::string_view bytes = firstChunk();
  m_buffered = 0;
  if (bytes.size() != size && size <= kReadWhole) {
    static thread_local std::unique_ptr<char[]> whole;
    static thread_local std::size_t room = 0;
    if (size > room) {
      whole = std::make_unique_for_overwrite<char[]>(size);
      room = size;
    }
    if (lseek(file().fd(), 0, SEEK_SET) != 0) {
      platform::raiseSystemError(errno, platform::Step::ReadFile);
    }
    if (file().readFull(whole.get(), size, platform::Step::ReadFile) != size) {
      throw changedWhileMatched();
    }
    bytes = {whole.get(), size};
  } else if (bytes.size() != size) {
    bytes = mapped.emplace(file().fd(), size).bytes();
  }
  const bool utf16 = IsUtf16(kind);
  const bool big = kind == FileKind::Utf16Be;
  const bool page = kind == FileKind::CodePage;
  // A literal find text that is empty or not UTF-8 occurs nowhere in UTF-16 text.
  const bool cannotOccur =
      c.pattern == nullptr && (o.findText.empty() || !utf8::isValid(o.findText));
  const CompiledPattern* compiled = c.pattern != nullptr ? c.pattern
                                    : cannotOccur        ? nullptr
                                                         : &literalPattern(o);
  const TextEncoding utf8;  // the matched text's
  const std::string_view ownBreak = lineBreak(c).empty() ? "\n" : lineBreak(c);
  const bool breaksFollow = !o.exactLineBreaks && o.replaceText.find('\n') != std::string::npos;

  const LiteralPairs* literal =
      compiled != nullptr && compiled->literalPairs && compiled->literalPairs->takes(kind)
          ? compiled->literalPairs.get()
          : nullptr;
  // Literal pairs read a mapped file a stretch at a time: hashed, and let go of, as they go.
  if (watch.read && literal == nullptr) watch.read(bytes);
  std::size_t hashed = literal == nullptr ? bytes.size() : 0;

  // A run of several pairs counts each pair's occurrences: in the worker's own table, its
  // entries cleared again once the file's counts are taken.
  const bool pairs = compiled != nullptr && !compiled->pairReplacements.empty();
  static thread_local std::vector<std::size_t> tally;
  std::vector<std::uint32_t> touched;
  m_pairCounts.clear();
  if (pairs && tally.size() < compiled->pairReplacements.size()) {
    tally.resize(compiled->pairReplacements.size());
  }
  struct Taken {
    std::vector<std::uint32_t>& touched;
    PairCounts& counts;
    ~Taken() {
      std::sort(touched.begin(), touched.end());
      counts.reserve(touched.size());  // too little memory for it: the counts stay short
      for (const std::uint32_t k : touched) {
        if (counts.size() < counts.capacity()) counts.emplace_back(k, tally[k]);
        tally[k] = 0;
      }
    }
  } taken{touched, m_pairCounts};

  std::string out;
  std::string replacement;
  std::size_t count = 0;
  std::size_t done = 0;  // bytes of the file given out so far
  // The file's bytes from `done` to `to` into the output: a long stretch straight from the
  // mapping, never copied whole.
  constexpr std::size_t kPiece = 1 << 16;
  auto give = [&](std::size_t to, std::size_t replaced) {
    if (to - done >= kPiece) {
      if (!out.empty()) emit(out, replaced);
      out.clear();
      emit(bytes.substr(done, to - done), replaced);
    } else {
      out.append(bytes.data() + done, to - done);
      if (out.size() >= kPiece) {
        emit(out, replaced);
        out.clear();
      }
    }
  };
  std::string lastMade, lastEncoded;  // the last replacement made, and its bytes in the file
  // One match: `at` and `end` in `text`; byteOf() gives their places in the file.
  auto found = [&](const Matcher& matcher, std::string_view text, std::size_t at, std::size_t end,
                   auto&& byteOf) {
    if (o.wholeWords && (IsWordCharacter(utf8.before(text.data(), at)) ||
                         IsWordCharacter(utf8.after(text.data(), end, text.size())))) {
      return;
    }
    replacement.clear();
    const std::uint32_t pair = compiled->pairOf(matcher);
    compiled->replacementOf(pair).appendTo(matcher, replacement);
    if (pairs ? compiled->pairBreaks[pair] : breaksFollow) {
      replacement = WithLineBreaks(replacement, UsedLineBreak(matcher.match(), ownBreak));
    }
    if (o.preserveCase) replacement = ShapedLike(matcher.match(), replacement);
    if (page || utf16) {
      // Most matches give the same replacement: encoded once.
      if (replacement != lastMade) {
        lastEncoded = page ? c.codePage.encode(replacement) : utf16::Encode(replacement, big);
        lastMade = replacement;
      }
      replacement = lastEncoded;
    }
    const std::size_t from = byteOf(at);
    const std::size_t to = byteOf(end);
    if (watch.occurrences != nullptr) {
      watch.occurrences->pair = pair;
      if (!watch.occurrences->occurrence(bytes.data(), 0, from, to - from, replacement)) return;
    }
    ++count;
    if (pairs && tally[pair]++ == 0) touched.push_back(pair);
    if (watch.output) {
      give(from, count);
      out.append(replacement);
    }
    done = to;
  };
  // The search calls the pump, and times the file, as it goes (between matches too).
  SearchWatch searchWatch(c.pump, c.searchBudget, bytes.size());
  struct Watching {
    Matcher* matcher = nullptr;
    ~Watching() {
      if (matcher != nullptr) matcher->watch(nullptr);
    }
  } watching;
  const auto watched = [&](Matcher& matcher) -> Matcher& {
    matcher.watch(&searchWatch);
    watching.matcher = &matcher;
    return matcher;
  };

  // A literal text matched unit for unit (no case, words or line breaks to weigh) is looked for
  // in UTF-16's own bytes: nothing is decoded.
  const bool unitForUnit =
      utf16 && c.pattern == nullptr && !cannotOccur && o.caseSensitive && !o.wholeWords &&
      !o.preserveCase && o.findText.find('\n') == std::string::npos &&
      o.replaceText.find('\n') == std::string::npos && utf8::isValid(o.replaceText);
  if (literal == nullptr && compiled != nullptr && compiled->patternRefused) {
    throw *compiled->patternRefused;
  }
  if (cannotOccur) {
    // Nothing to find: the file as it is.
  } else if (literal != nullptr) {
    // Each pair's replacement as this file holds it, made when the pair first occurs in it.
    static thread_local std::vector<std::string> made;
    static thread_local std::vector<std::uint64_t> madeFor;
    static thread_local std::uint64_t file = 0;
    ++file;
    if (made.size() < compiled->pairReplacements.size()) {
      made.resize(compiled->pairReplacements.size());
      madeFor.resize(compiled->pairReplacements.size());
    }
    const auto replacementOf = [&](std::uint32_t pair) -> const std::string& {
      if (madeFor[pair] == file) return made[pair];
      std::string text = o.pairs[pair].replace;
      if (compiled->pairBreaks[pair]) text = WithLineBreaks(text, ownBreak);
      made[pair] = page    ? c.codePage.encode(text)
                   : utf16 ? utf16::Encode(text, big)
                           : std::move(text);
      madeFor[pair] = file;
      return made[pair];
    };
    const std::size_t begin = utf16                                   ? utf16::kMarkSize
                              : !page && bytes.starts_with(kUtf8Mark) ? kUtf8Mark.size()
                                                                      : 0;
    const auto passed = [&](std::size_t to) {
      if (watch.read) watch.read(bytes.substr(hashed, to - hashed));
      hashed = to;
      if (watch.occurrences != nullptr) watch.occurrences->passed(bytes.data(), 0, to);
      if (watch.output && done < to) {
        give(to, count);
        done = to;
      }
      if (mapped) mapped->release(std::min(done, to));
      searchWatch.check();
    };
    literal->scan(bytes, begin, kind, c.codePage, &searchWatch, passed,
                  [&](const LiteralPairs::Found& f) {
                    const std::string& r = replacementOf(f.pair);
                    if (watch.occurrences != nullptr) {
                      watch.occurrences->pair = f.pair;
                      if (!watch.occurrences->occurrence(bytes.data(), 0, f.at, f.length, r))
                        return;
                    }
                    ++count;
                    if (tally[f.pair]++ == 0) touched.push_back(f.pair);
                    if (watch.output) {
                      give(f.at, count);
                      out.append(r);
                    }
                    done = f.at + f.length;
                  });
  } else if (unitForUnit) {
    const std::string find = utf16::Encode(o.findText, big);
    const std::string made = utf16::Encode(o.replaceText, big);
    // A window at a time, for the pump; a match is where a unit begins, never a byte inside one.
    constexpr std::size_t kWindow = 1 << 20;
    std::size_t hits = 0;
    for (std::size_t from = utf16::kMarkSize; from + find.size() <= bytes.size();) {
      const std::size_t window = std::min(bytes.size() - from, kWindow + find.size() - 1);
      const void* hit = memmem(bytes.data() + from, window, find.data(), find.size());
      if (hit == nullptr) {
        from += window - find.size() + 1;
        searchWatch.check();
        continue;
      }
      if (++hits % 1024 == 0) searchWatch.check();  // a file full of matches is watched too
      const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
      if ((at - utf16::kMarkSize) % 2 != 0) {
        from = at + 1;
        continue;
      }
      from = at + find.size();
      if (watch.occurrences != nullptr &&
          !watch.occurrences->occurrence(bytes.data(), 0, at, find.size(), made)) {
        continue;
      }
      ++count;
      if (watch.output) {
        give(at, count);
        out.append(made);
      }
      done = at + find.size();
    }
  } else if (utf16) {
    // A match's place in the file: the mark, then two bytes a unit.
    Matcher& matcher = watched(matcherFor(*compiled));
    Utf16Pieces pieces(bytes.substr(std::min(bytes.size(), utf16::kMarkSize)), big, c.chunkSize);
    PieceSearch search(matcher, compiled->pattern, pieces, PieceSearch::Count::Utf16Units);
    while (search.next()) {
      const std::size_t at = search.matcher().offset();
      found(search.matcher(), search.text(), at, at + search.matcher().length(),
            [&](std::size_t offset) {
              return static_cast<std::size_t>(utf16::kMarkSize +
                                              2 * search.charactersBefore(search.base() + offset));
            });
    }
  } else if (page) {
    Matcher& matcher = watched(matcherFor(*compiled));
    // One byte a character: a match's place in the file is the characters before it. Only a
    // piece of the decoded text is held at a time.
    DecodedPieces pieces(bytes, c.codePage, c.chunkSize);
    PieceSearch search(matcher, compiled->pattern, pieces);
    while (search.next()) {
      const std::size_t at = search.matcher().offset();
      found(search.matcher(), search.text(), at, at + search.matcher().length(),
            [&](std::size_t offset) {
              return static_cast<std::size_t>(search.charactersBefore(search.base() + offset));
            });
    }
  } else {
    // A byte-order mark is no part of the text, as UTF-16's is not: `^` and `\A` match after
    // it, and no replacement moves or takes it.
    const std::size_t mark = bytes.starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
    const std::string_view text = bytes.substr(mark);
    Matcher& matcher = watched(matcherFor(*compiled));
    matcher.start(text);
    while (matcher.next()) {
      found(matcher, text, matcher.offset(), matcher.offset() + matcher.length(),
            [mark](std::size_t offset) { return mark + offset; });
    }
  }
  if (watch.read && hashed < bytes.size()) watch.read(bytes.substr(hashed));
  if (watch.occurrences != nullptr) watch.occurrences->passed(bytes.data(), 0, bytes.size());
  if (watch.output) {
    give(bytes.size(), count);
    emit(out, count);
  }
  return count;
}

}  // namespace engine
