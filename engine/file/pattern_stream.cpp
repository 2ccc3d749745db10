// A file matched against a regular expression (or a text with a line break, whose line breaks
// match LF and CR LF alike): mapped whole, so that no match is missed where
// chunks would end, and matched through its text in UTF-8 (a file in a code page is decoded
// first, and its replacements are encoded back).
#include <sys/mman.h>

#include <cerrno>
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

}  // namespace

std::size_t SourceFile::streamPattern(const Conversion& c, FileKind kind, const Emit& emit,
                                      const Watch& watch) {
  const MatchOptions& o = c.options;
  const Mapped mapped(file().fd(), static_cast<std::size_t>(status().st_size));
  const std::string_view bytes = mapped.bytes();
  if (watch.read) watch.read(bytes);
  const bool page = kind != FileKind::Utf8;
  std::string decoded;
  if (page) decoded = c.codePage.decode(bytes);
  const std::string_view text = page ? std::string_view(decoded) : bytes;
  const TextEncoding utf8;  // the matched text's
  const std::string_view ownBreak = lineBreak(c).empty() ? "\n" : lineBreak(c);
  const bool breaksFollow = !o.exactLineBreaks && o.replaceText.find('\n') != std::string::npos;

  Matcher& matcher = matcherFor(*c.pattern);
  matcher.start(text);
  std::string out;
  std::string replacement;
  std::size_t count = 0;
  std::size_t done = 0;        // bytes of the file given out so far
  std::size_t textAt = 0;      // the text's offset that `byteAt` stands for
  std::size_t byteAt = 0;
  // The file's offset of a text offset further on: one byte a character in a code page.
  auto byteOf = [&](std::size_t to) {
    if (!page) return to;
    for (; textAt < to; ++textAt) byteAt += (static_cast<unsigned char>(text[textAt]) & 0xC0) != 0x80;
    return byteAt;
  };
  while (matcher.next()) {
    const std::size_t at = matcher.offset();
    const std::size_t end = at + matcher.length();
    if (o.wholeWords && (IsWordCharacter(utf8.before(text.data(), at)) ||
                         IsWordCharacter(utf8.after(text.data(), end, text.size())))) {
      continue;
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
      continue;
    }
    ++count;
    if (watch.output) {
      out.append(bytes.data() + done, from - done);
      out.append(replacement);
      if (out.size() >= (1 << 16)) {
        emit(out, count);
        out.clear();
      }
    }
    done = to;
    if ((count & 4095) == 0 && c.pump) c.pump();
  }
  if (watch.occurrences != nullptr) watch.occurrences->passed(bytes.data(), 0, bytes.size());
  if (watch.output) {
    out.append(bytes.data() + done, bytes.size() - done);
    emit(out, count);
  }
  return count;
}

}  // namespace engine
