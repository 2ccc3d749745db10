// A file matched against a regular expression (or a text with a line break, whose line breaks
// match LF and CR LF alike): mapped whole and matched as one text, so that no match is missed
// where chunks would end. A file in UTF-8 is matched where it is mapped; a file in a code page
// through its text decoded to UTF-8 a piece at a time (the search asks for the next piece
// wherever what follows could change a match), and its replacements are encoded back.
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "engine/file/source_file.h"
#include "engine/text/occurrence_rules.h"
#include "engine/text/pattern.h"
#include "platform/error.h"

namespace engine {
namespace {

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
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  std::string_view bytes() const { return {static_cast<const char*>(m_data), m_size}; }

 private:
  void* m_data = nullptr;
  std::size_t m_size;
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
    text.append(m_decoded.get(), m_page.decodeInto(m_bytes.substr(m_at, n), m_decoded.get()));
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

}  // namespace

std::size_t SourceFile::streamPattern(const Conversion& c, FileKind kind, const Emit& emit,
                                      const Watch& watch) {
  const MatchOptions& o = c.options;
  const Mapped mapped(file().fd(), static_cast<std::size_t>(status().st_size));
  const std::string_view bytes = mapped.bytes();
  if (watch.read) watch.read(bytes);
  const bool page = kind != FileKind::Utf8;
  const TextEncoding utf8;  // the matched text's
  const std::string_view ownBreak = lineBreak(c).empty() ? "\n" : lineBreak(c);
  const bool breaksFollow = !o.exactLineBreaks && o.replaceText.find('\n') != std::string::npos;

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
  // One match: `at` and `end` in `text`; byteOf() gives their places in the file.
  auto found = [&](const Matcher& matcher, std::string_view text, std::size_t at,
                   std::size_t end, auto&& byteOf) {
    if (o.wholeWords && (IsWordCharacter(utf8.before(text.data(), at)) ||
                         IsWordCharacter(utf8.after(text.data(), end, text.size())))) {
      return;
    }
    replacement.clear();
    c.pattern->replacement.appendTo(matcher, replacement);
    if (breaksFollow) {
      replacement = WithLineBreaks(replacement, UsedLineBreak(matcher.match(), ownBreak));
    }
    if (o.preserveCase) replacement = ShapedLike(matcher.match(), replacement);
    if (page) replacement = c.codePage.encode(replacement);
    const std::size_t from = byteOf(at);
    const std::size_t to = byteOf(end);
    if (watch.occurrences != nullptr &&
        !watch.occurrences->occurrence(bytes.data(), 0, from, to - from, replacement)) {
      return;
    }
    ++count;
    if (watch.output) {
      give(from, count);
      out.append(replacement);
    }
    done = to;
    if ((count & 4095) == 0 && c.pump) c.pump();
  };

  Matcher& matcher = matcherFor(*c.pattern);
  if (page) {
    // One byte a character: a match's place in the file is the characters before it. Only a
    // piece of the decoded text is held at a time.
    DecodedPieces pieces(bytes, c.codePage, c.chunkSize);
    PieceSearch search(matcher, c.pattern->pattern, pieces);
    while (search.next()) {
      const std::size_t at = search.matcher().offset();
      found(search.matcher(), search.text(), at, at + search.matcher().length(),
            [&](std::size_t offset) {
              return static_cast<std::size_t>(search.charactersBefore(search.base() + offset));
            });
    }
  } else {
    matcher.start(bytes);
    while (matcher.next()) {
      found(matcher, bytes, matcher.offset(), matcher.offset() + matcher.length(),
            [](std::size_t offset) { return offset; });
    }
  }
  if (watch.occurrences != nullptr) watch.occurrences->passed(bytes.data(), 0, bytes.size());
  if (watch.output) {
    give(bytes.size(), count);
    emit(out, count);
  }
  return count;
}

}  // namespace engine
