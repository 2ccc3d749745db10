#include "engine/review/shown_file.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/text/utf16.h"
#include "platform/error.h"

namespace engine {
namespace {

using platform::Error;

// The window moves in steps of this, which keeps it at a unit's start in UTF-16.
constexpr std::size_t kBlock = 1 << 16;

Error changedSinceReview() {
  return Error(platform::kChanged, platform::Step::ReadFile, platform::Why::ChangedSinceReview);
}

void checkAsPlanned(int fd, const PlannedFile& plan) {
  struct stat st {};
  if (fstat(fd, &st) != 0) platform::raiseSystemError(errno, platform::Step::ReadFile);
  if (!plan.identity.sameAs(st)) throw changedSinceReview();
}

std::string shown(std::string bytes, const ShownTexts& texts) {
  return texts.toUtf8 ? texts.toUtf8(bytes) : bytes;
}

// The line feeds in a file's bytes: a byte, or in UTF-16 a unit of two bytes. Every text given
// begins at a unit's start.
class LineFeeds {
 public:
  explicit LineFeeds(FileKind kind)
      : m_width(IsUtf16(kind) ? 2 : 1), m_big(kind == FileKind::Utf16Be) {}

  std::size_t width() const { return m_width; }
  /// The first line feed at or after `from` in `text`; npos where there is none.
  std::size_t find(std::string_view text, std::size_t from = 0) const {
    for (std::size_t i = from; i < text.size(); ++i) {
      const void* hit = std::memchr(text.data() + i, '\n', text.size() - i);
      if (hit == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      if (const std::size_t unit = i - i % m_width; is(text, unit, '\n')) return unit;
    }
    return std::string_view::npos;
  }
  /// The last line feed in `text`; npos where there is none.
  std::size_t rfind(std::string_view text) const {
    for (std::size_t end = text.size(); end > 0;) {
      const void* hit = memrchr(text.data(), '\n', end);
      if (hit == nullptr) break;
      const auto i = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      if (const std::size_t unit = i - i % m_width; is(text, unit, '\n')) return unit;
      end = i;
    }
    return std::string_view::npos;
  }
  std::size_t count(std::string_view text) const {
    std::size_t n = 0;
    for (std::size_t at = find(text); at != std::string_view::npos; at = find(text, at + m_width)) {
      ++n;
    }
    return n;
  }
  /// Whether `text` ends with the unit `c` (a line feed, a carriage return).
  bool endsWith(std::string_view text, char c) const {
    return text.size() >= m_width && text.size() % m_width == 0 &&
           is(text, text.size() - m_width, c);
  }

 private:
  bool is(std::string_view text, std::size_t unit, char c) const {
    if (unit + m_width > text.size()) return false;
    return m_width == 1 ? text[unit] == c
                        : utf16::UnitAt(text.data() + unit, m_big) == static_cast<unsigned>(c);
  }

  std::size_t m_width;
  bool m_big;
};

}  // namespace

ShownFile::ShownFile(const PlannedFile& plan)
    : m_owned(platform::File::open(plan.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0,
                                   platform::Step::OpenFile)),
      m_fd(m_owned.fd()),
      m_size(plan.identity.size),
      m_kind(plan.kind) {
  checkAsPlanned(m_fd, plan);
}

ShownFile::ShownFile(const PlannedFile& plan, int file)
    : m_fd(file), m_size(plan.identity.size), m_kind(plan.kind) {
  checkAsPlanned(m_fd, plan);
}

void ShownFile::readInto(char* to, std::uint64_t offset, std::size_t size) {
  ++m_reads;
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pread(m_fd, to + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) platform::raiseSystemError(errno, platform::Step::ReadFile);
    if (n == 0) throw changedSinceReview();  // shorter than planned
    done += static_cast<std::size_t>(n);
  }
}

std::string ShownFile::read(std::uint64_t offset, std::size_t size) {
  if (offset >= m_size) return {};
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_size - offset));
  if (size == 0) return {};
  if (size > kWindow / 2) {  // more than a window is shown: read on its own
    std::string bytes(size, '\0');
    readInto(bytes.data(), offset, size);
    return bytes;
  }
  return std::string(at(offset, size), size);
}

const char* ShownFile::at(std::uint64_t offset, std::size_t size) {
  const std::uint64_t windowEnd = m_windowStart + m_windowSize;
  if (offset < m_windowStart || offset + size > windowEnd) {
    // Occurrences are shown in order: the window goes forward from a little before the byte,
    // for the lines above it.
    std::uint64_t start = 0;
    if (m_size <= kWindow) {
      // The whole file.
    } else if (m_windowSize > 0 && offset < m_windowStart) {
      // Going back over a long line: the window ends at the bytes asked for.
      if (offset + size > kWindow) start = offset + size - kWindow + kBlock - 1;
      start -= start % kBlock;
    } else {
      start = offset - std::min<std::uint64_t>(offset, kWindow / 8);
      start -= start % kBlock;
    }
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, m_size - start));
    if (length > m_windowRoom) {
      m_window = std::make_unique_for_overwrite<char[]>(length);
      m_windowRoom = length;
    }
    m_windowSize = 0;
    m_windowStart = start;
    readInto(m_window.get(), start, length);
    m_windowSize = length;
  }
  return m_window.get() + (offset - m_windowStart);
}

std::uint64_t ShownFile::lineStart(std::uint64_t offset, std::size_t above) {
  const LineFeeds feeds(m_kind);
  std::uint64_t start = std::min(offset, m_size);
  for (std::size_t line = 0; line <= above; ++line) {
    if (line > 0) {
      if (start == 0) break;
      start -= feeds.width();  // from the break that ends the line above
    }
    // The last line feed before `start`, a block at a time (blocks begin at a unit's start).
    std::uint64_t pos = start;
    start = 0;
    while (pos > 0) {
      const char* block = at(pos - 1);
      const std::uint64_t blockStart = m_windowStart;
      const char* from = block - (pos - 1 - blockStart);
      const std::size_t hit = feeds.rfind({from, static_cast<std::size_t>(pos - blockStart)});
      if (hit != std::string_view::npos) {
        start = blockStart + hit + feeds.width();
        break;
      }
      pos = blockStart;
    }
  }
  return start;
}

std::uint64_t ShownFile::lineEnd(std::uint64_t offset) {
  const LineFeeds feeds(m_kind);
  for (std::uint64_t pos = offset; pos < m_size;) {
    const char* p = at(pos);
    const std::uint64_t blockEnd = std::min(m_windowStart + m_windowSize, m_size);
    if (blockEnd <= pos) throw changedSinceReview();
    const std::size_t hit = feeds.find({p, static_cast<std::size_t>(blockEnd - pos)});
    if (hit != std::string_view::npos) return pos + hit + feeds.width();
    pos = blockEnd;
  }
  return m_size;
}

bool ShownFile::endsLine(std::uint64_t end) {
  const LineFeeds feeds(m_kind);
  return end >= feeds.width() && feeds.endsWith(read(end - feeds.width(), feeds.width()), '\n');
}

ShownOccurrence ShowOccurrence(ShownFile& file, const PlannedFile& plan, std::size_t index,
                               const ShownTexts& texts, std::size_t context) {
  const Occurrence& o = plan.occurrences[index];
  const std::uint64_t end = o.offset + o.length;
  const std::uint64_t from = file.lineStart(o.offset, context);
  std::uint64_t to = end;
  if (end > 0 && !file.endsLine(end)) to = file.lineEnd(end);
  for (std::size_t line = 0; line < context && to < file.size(); ++line) to = file.lineEnd(to);
  ShownOccurrence shownOccurrence;
  shownOccurrence.before = shown(file.read(from, static_cast<std::size_t>(o.offset - from)), texts);
  shownOccurrence.found = shown(file.read(o.offset, o.length), texts);
  shownOccurrence.replacement = shown(std::string(texts.replacing(plan, index)), texts);
  shownOccurrence.after = shown(file.read(end, static_cast<std::size_t>(to - end)), texts);
  return shownOccurrence;
}

namespace {

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A UTF-8 text cut at both ends by a window on a line: no piece of a character at either end.
void dropCutCharacters(std::string& text, bool atStart, bool atEnd) {
  if (atStart) {
    std::size_t n = 0;
    while (n < text.size() && n < 3 && continuationByte(text[n])) ++n;
    text.erase(0, n);
  }
  if (atEnd && !text.empty()) {
    // The last character's first byte, and how long that character is.
    std::size_t lead = text.size() - 1;
    while (lead > 0 && text.size() - lead < 4 && continuationByte(text[lead])) --lead;
    const auto c = static_cast<unsigned char>(text[lead]);
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (text.size() - lead < length) text.resize(lead);
  }
}

}  // namespace

ShownLine ShowLine(ShownFile& file, const PlannedFile& plan, std::size_t index,
                   const ShownTexts& texts, std::size_t around) {
  const Occurrence& o = plan.occurrences[index];
  ShownLine line;
  const LineFeeds feeds(file.kind());
  around -= around % feeds.width();
  const std::uint64_t from = o.offset > around ? o.offset - around : 0;
  std::string before = file.read(from, static_cast<std::size_t>(o.offset - from));
  if (const auto lineBreak = feeds.rfind(before); lineBreak != std::string::npos) {
    before.erase(0, lineBreak + feeds.width());
  } else {
    line.cutBefore = from > 0;
  }
  const std::string found = file.read(o.offset, o.length);
  std::string after;
  if (!feeds.endsWith(found, '\n')) {
    const std::uint64_t end = o.offset + o.length;
    after = file.read(end, around);
    if (const auto lineBreak = feeds.find(after); lineBreak != std::string::npos) {
      after.resize(lineBreak);
    } else {
      line.cutAfter = end + after.size() < file.size();
    }
    if (feeds.endsWith(after, '\r') && !line.cutAfter) after.resize(after.size() - feeds.width());
  }
  if (!texts.toUtf8) {
    dropCutCharacters(before, line.cutBefore, false);
    dropCutCharacters(after, false, line.cutAfter);
  }
  line.before = shown(std::move(before), texts);
  line.found = shown(found, texts);
  line.replacement = shown(std::string(texts.replacing(plan, index)), texts);
  line.after = shown(std::move(after), texts);
  return line;
}

std::string DiffHunk::header() const {
  // An empty side begins at the line before, as diff -u writes it.
  const auto side = [](std::uint64_t start, std::uint64_t count) {
    return std::to_string(count == 0 && start > 0 ? start - 1 : start) + "," +
           std::to_string(count);
  };
  return "@@ -" + side(oldStart, oldCount) + " +" + side(newStart, newCount) + " @@";
}

namespace {

// Builds the hunks of one file, line by line from the file and the accepted occurrences.
class HunkMaker {
 public:
  HunkMaker(ShownFile& file, const PlannedFile& plan, const ShownTexts& texts,
            std::size_t context)
      : m_file(file), m_plan(plan), m_texts(texts), m_context(context), m_feeds(file.kind()) {}

  void run(const std::function<void(const DiffHunk&)>& give) {
    for (m_next = firstAccepted(0); m_next < m_plan.occurrences.size();) {
      const Occurrence& first = m_plan.occurrences[m_next];
      const std::uint64_t change = m_file.lineStart(first.offset);
      m_pos = m_file.lineStart(first.offset, m_context);
      const std::string above = m_file.read(m_pos, static_cast<std::size_t>(change - m_pos));
      m_line = first.line - m_feeds.count(above);
      m_hunk.lines.clear();
      m_bytes.clear();
      m_spans.clear();
      m_hunk.oldCount = m_hunk.newCount = 0;
      m_hunk.oldStart = m_line;
      m_hunk.newStart = static_cast<std::uint64_t>(static_cast<std::int64_t>(m_line) + m_delta);
      contextUpTo(change);
      for (;;) {
        changedLines();
        if (m_next < m_plan.occurrences.size() &&
            m_plan.occurrences[m_next].line <= m_line + 2 * m_context) {
          contextUpTo(m_file.lineStart(m_plan.occurrences[m_next].offset));
          continue;
        }
        for (std::size_t k = 0; k < m_context && m_pos < m_file.size(); ++k) {
          contextUpTo(m_file.lineEnd(m_pos));
        }
        break;
      }
      // The lines' texts, gathered in one string, are pointed at once it has stopped growing.
      for (std::size_t i = 0; i < m_spans.size(); ++i) {
        m_hunk.lines[i].text =
            std::string_view(m_bytes).substr(m_spans[i].first, m_spans[i].second);
      }
      give(m_hunk);
    }
  }

 private:
  std::size_t firstAccepted(std::size_t from) const {
    while (from < m_plan.occurrences.size() && !m_plan.accepted[from]) ++from;
    return from;
  }

  // The end of the line that holds an occurrence's last character.
  std::uint64_t lastLineEnd(const Occurrence& o) {
    return m_file.lineEnd(o.length > 0 ? o.offset + o.length - m_feeds.width() : o.offset);
  }

  void add(char sign, std::string_view bytes, std::uint64_t& count) {
    for (std::size_t from = 0; from < bytes.size();) {
      std::size_t end = m_feeds.find(bytes, from);
      end = end == std::string::npos ? bytes.size() : end + m_feeds.width();
      const std::string_view text = bytes.substr(from, end - from);
      const std::size_t at = m_bytes.size();
      if (m_texts.toUtf8) {
        m_bytes += m_texts.toUtf8(text);
      } else {
        m_bytes += text;
      }
      m_spans.emplace_back(at, m_bytes.size() - at);
      m_hunk.lines.push_back({sign, {}, !m_feeds.endsWith(text, '\n')});
      ++count;
      from = end;
    }
  }

  void contextUpTo(std::uint64_t to) {
    if (to <= m_pos) return;
    const std::string bytes = m_file.read(m_pos, static_cast<std::size_t>(to - m_pos));
    std::uint64_t lines = 0;
    add(' ', bytes, lines);
    m_hunk.oldCount += lines;
    m_hunk.newCount += lines;
    m_line += lines;
    m_pos = to;
  }

  // The lines of the next change: every accepted occurrence that shares a line with it, and,
  // where a replacement takes a line break away, the lines it joins.
  void changedLines() {
    std::uint64_t end = m_pos;
    std::uint64_t copied = m_pos;
    std::string replaced;
    // The occurrences that begin before `limit`, or, with `first`, the next one wherever it
    // begins (an empty one at the very end of the file begins at its end).
    auto takeUpTo = [&](std::uint64_t limit, bool first = false) {
      while (m_next < m_plan.occurrences.size() &&
             (std::exchange(first, false) || m_plan.occurrences[m_next].offset < limit)) {
        const Occurrence& o = m_plan.occurrences[m_next];
        replaced += m_file.read(copied, static_cast<std::size_t>(o.offset - copied));
        replaced += m_texts.replacing(m_plan, m_next);
        copied = o.offset + o.length;
        end = std::max(end, lastLineEnd(o));
        limit = std::max(limit, end);
        m_next = firstAccepted(m_next + 1);
      }
    };
    end = lastLineEnd(m_plan.occurrences[m_next]);
    takeUpTo(end, true);
    replaced += m_file.read(copied, static_cast<std::size_t>(end - copied));
    copied = end;
    while (!replaced.empty() && !m_feeds.endsWith(replaced, '\n') && end < m_file.size()) {
      end = m_file.lineEnd(end);
      takeUpTo(end);
      replaced += m_file.read(copied, static_cast<std::size_t>(end - copied));
      copied = end;
    }
    std::uint64_t oldLines = 0, newLines = 0;
    add('-', m_file.read(m_pos, static_cast<std::size_t>(end - m_pos)), oldLines);
    add('+', replaced, newLines);
    m_hunk.oldCount += oldLines;
    m_hunk.newCount += newLines;
    m_delta += static_cast<std::int64_t>(newLines) - static_cast<std::int64_t>(oldLines);
    m_line += oldLines;
    m_pos = end;
  }

  ShownFile& m_file;
  const PlannedFile& m_plan;
  const ShownTexts& m_texts;
  std::size_t m_context;
  LineFeeds m_feeds;
  std::size_t m_next = 0;      // the next accepted occurrence
  std::uint64_t m_pos = 0;     // where the hunk has got to in the file
  std::uint64_t m_line = 1;    // the number of the line at m_pos
  std::int64_t m_delta = 0;    // lines the changes so far added (or took away)
  DiffHunk m_hunk;
  std::string m_bytes;  // the texts of the hunk's lines, one after the other
  std::vector<std::pair<std::size_t, std::size_t>> m_spans;  // ... each line's place in it
};

}  // namespace

void ForEachHunk(ShownFile& file, const PlannedFile& plan, const ShownTexts& texts,
                 std::size_t context, const std::function<void(const DiffHunk&)>& hunk) {
  HunkMaker(file, plan, texts, context).run(hunk);
}

}  // namespace engine
