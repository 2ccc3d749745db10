#include "engine/file/source_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "engine/text/replacer.h"
#include "engine/text/utf16.h"
#include "engine/text/utf8.h"
#include "platform/error.h"

namespace engine {
namespace {

using platform::Error;

// The chunk buffer and the output of the replacer, kept from file to file: a folder run of
// small files would otherwise give the heap's top back to the system and fault it in again
// for every file. The conversion reads into the buffer behind the bytes carried over.
std::vector<char>& chunkBuffer() {
  static thread_local std::vector<char> buffer;
  return buffer;
}

std::string& outputBuffer() {
  static thread_local std::string out;
  return out;
}

}  // namespace

KindTexts TextsFor(FileKind kind, const Conversion& c, std::string_view lineBreak) {
  MatchOptions o = c.options;
  if (!o.exactLineBreaks) {
    const std::string_view ownBreak = lineBreak.empty() ? "\n" : lineBreak;
    o.findText = WithLineBreaks(o.findText, ownBreak);
    o.replaceText = WithLineBreaks(o.replaceText, ownBreak);
  }
  KindTexts t;
  if (IsUtf16(kind)) {
    t.findCannotOccur = !utf8::isValid(o.findText);
    if (!t.findCannotOccur) t.find = utf16::Encode(o.findText, kind == FileKind::Utf16Be);
    try {
      t.replace = utf16::Encode(o.replaceText, kind == FileKind::Utf16Be);
    } catch (const Error& e) {
      t.replacementRefused = e;
    }
    return t;
  }
  if (kind == FileKind::Utf8) {
    // A find text that is not valid UTF-8 could only match part of a character.
    t.findCannotOccur = !utf8::isValid(o.findText);
    t.find = o.findText;
    t.replace = o.replaceText;
    if (!utf8::isValid(o.replaceText)) {
      t.replacementRefused =
          Error(platform::kBadCharacter, platform::Step::Recode, platform::Why::BadUtf8);
    }
    return t;
  }
  try {
    t.find = c.codePage.encode(o.findText);
  } catch (const Error&) {
    t.findCannotOccur = true;  // a character the file cannot hold cannot occur in it
  }
  try {
    t.replace = c.codePage.encode(o.replaceText);
  } catch (const Error& e) {
    t.replacementRefused = e;
  }
  return t;
}

namespace {

Replacer makeReplacer(FileKind kind, const KindTexts& t, const Conversion& c) {
  if (t.findCannotOccur) return Replacer({}, {}, nullptr);
  Replacer replacer = kind == FileKind::Utf8 && !c.options.caseSensitive
                          ? Replacer(t.find, t.replace, Replacer::Utf8CaseFolding{})
                          : Replacer(t.find, t.replace,
                                     c.options.caseSensitive ? nullptr : &c.codePage.fold());
  if (t.replacementRefused) replacer.refuseReplacement(*t.replacementRefused);
  return replacer;
}

Error changedWhileRead() {
  return Error(platform::kChanged, platform::Step::ReadFile, platform::Why::ChangedWhileRead);
}

}  // namespace

const platform::Attributes& SourceFile::attributes() {
  if (!m_attributes) {
    m_attributes = platform::attributesOf(file().fd(), m_target.ref().name, status().st_mode,
                                          m_target.flags());
  }
  return *m_attributes;
}

std::string_view SourceFile::lineBreak(const Conversion& c) {
  if (m_lineBreak) return *m_lineBreak;
  m_lineBreak.emplace();
  const MatchOptions& o = c.options;
  const auto holdsBreak = [](const std::string& text) {
    return text.find('\n') != std::string::npos;
  };
  const bool pairsHold = std::any_of(o.pairs.begin(), o.pairs.end(), [&](const Pair& p) {
    return holdsBreak(p.find) || holdsBreak(p.replace);
  });
  if (o.exactLineBreaks || (!holdsBreak(o.findText) && !holdsBreak(o.replaceText) && !pairsHold)) {
    return *m_lineBreak;
  }
  // Read apart from the stream (pread), a block at a time, up to the first line feed: in UTF-16
  // the unit 0x000A, the unit before it 0x000D for CR LF.
  const bool utf16 = IsUtf16(m_kind);
  const bool big = m_kind == FileKind::Utf16Be;
  const std::size_t width = utf16 ? 2 : 1;
  const auto unitAt = [&](const char* p) -> unsigned {
    return utf16 ? utf16::UnitAt(p, big) : static_cast<unsigned char>(*p);
  };
  std::vector<char> block(1 << 16);
  unsigned before = 0;
  for (off_t at = utf16 ? static_cast<off_t>(utf16::kMarkSize) : 0;;) {
    const ssize_t n = pread(file().fd(), block.data(), block.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) platform::raiseSystemError(errno, platform::Step::ReadFile);
    const std::size_t whole = static_cast<std::size_t>(n) / width * width;
    if (whole == 0) return *m_lineBreak;
    for (std::size_t i = 0; i < whole; i += width) {
      const char* found = width == 1 ? static_cast<const char*>(std::memchr(
                                           block.data() + i, '\n', whole - i))
                                     : block.data() + i;
      if (found == nullptr) break;
      i = static_cast<std::size_t>(found - block.data());
      if (unitAt(found) == '\n') {
        const unsigned previous = i == 0 ? before : unitAt(found - width);
        *m_lineBreak = previous == '\r' ? "\r\n" : "\n";
        return *m_lineBreak;
      }
    }
    before = unitAt(block.data() + whole - width);
    at += static_cast<off_t>(whole);
  }
}

FileKind SourceFile::classify(const Conversion& c, bool mayGuess) {
  const bool detectBinary = c.options.skipBinary;
  if (c.options.maxSize > 0 && static_cast<std::uint64_t>(status().st_size) > c.options.maxSize) {
    throw Error(platform::Refusal::TooLarge, platform::Step::OpenFile,
                platform::Why::LargerThanLimit);
  }
  Classifier classifier(detectBinary, c.options.encoding, c.options.asciiAsUtf8,
                        static_cast<std::uint64_t>(status().st_size), &c.codePage);
  const std::size_t chunkSize = c.chunkSize == 0 ? ChunkSize : c.chunkSize;
  std::vector<char>& buffer = chunkBuffer();
  if (buffer.size() < chunkSize) buffer.resize(chunkSize);
  long long remaining = status().st_size;
  // Nothing to learn from the bytes (every file in the code page, binary files included)
  // leaves the file unread.
  while (!classifier.settled()) {
    const std::size_t n = remaining < static_cast<long long>(chunkSize)
                              ? static_cast<std::size_t>(remaining)
                              : chunkSize;
    const bool first = !m_read;
    m_read = true;
    if (file().readFull(buffer.data(), n, platform::Step::ReadFile) != n) {
      throw changedWhileRead();
    }
    classifier.feed(buffer.data(), n);
    remaining -= static_cast<long long>(n);
    if (classifier.wantsStart()) {
      // Found not to be valid UTF-8 past its first piece: weighed again from its start.
      if (lseek(file().fd(), 0, SEEK_SET) != 0) {
        platform::raiseSystemError(errno, platform::Step::ReadFile);
      }
      remaining = status().st_size;
      classifier.restarted();
      continue;
    }
    m_buffered = first ? n : 0;
    if (c.pump) c.pump();
    if (remaining == 0) break;
    // Guessed where a wrong guess costs only the read it would have saved: literal texts
    // (a pattern maps the whole file anyway) that the guessed kind can hold, and no case kept
    // (whose replacement a code page may refuse where UTF-8 would not).
    if (first && mayGuess && c.pattern == nullptr && !c.options.preserveCase &&
        !classifier.utf16()) {
      const FileKind guess = classifier.guess();
      if (!TextsFor(guess, c, lineBreak(c)).replacementRefused) {
        m_kind = guess;
        m_classifier.emplace(std::move(classifier));
        return m_kind;
      }
    }
  }
  m_kind = classifier.finish();
  return m_kind;
}

std::string_view SourceFile::firstChunk() const { return {chunkBuffer().data(), m_buffered}; }

FileKind SourceFile::settle() {
  if (!m_classifier) return m_kind;
  if (std::exchange(m_stoppedEarly, false) && !m_classifier->settled()) {
    // Not the UTF-8 it was guessed to be, and the stream stopped there: the next stream reads
    // the file as the code page and goes on weighing it (from its first byte where it must).
    // (A verdict already certain, binary or not valid where UTF-8 is required, is given now.)
    if (m_classifier->wantsStart()) m_classifier->restarted();
    m_kind = FileKind::CodePage;
    return m_kind;
  }
  Classifier classifier = std::move(*m_classifier);
  m_classifier.reset();
  if (classifier.wantsStart()) {
    // Not valid UTF-8 past the first chunk: weighed again from the start, as classify() does.
    std::vector<char>& buffer = chunkBuffer();
    if (lseek(file().fd(), 0, SEEK_SET) != 0) {
      platform::raiseSystemError(errno, platform::Step::ReadFile);
    }
    classifier.restarted();
    for (long long remaining = status().st_size; remaining > 0 && !classifier.settled();) {
      const std::size_t n =
          std::min<std::size_t>(static_cast<std::size_t>(remaining), buffer.size());
      if (file().readFull(buffer.data(), n, platform::Step::ReadFile) != n) {
        throw changedWhileRead();
      }
      classifier.feed(buffer.data(), n);
      remaining -= static_cast<long long>(n);
    }
  }
  m_kind = classifier.finish();
  return m_kind;
}

std::size_t SourceFile::stream(const Conversion& c, FileKind kind, const Emit& emit,
                               const Watch& watch) {
  // UTF-16 is searched as the UTF-8 it reads as, a piece at a time, as a pattern is.
  if (c.pattern != nullptr || IsUtf16(kind)) return streamPattern(c, kind, emit, watch);
  const KindTexts texts = TextsFor(kind, c, lineBreak(c));
  Replacer replacer = makeReplacer(kind, texts, c);
  const MatchOptions& o = c.options;
  if (o.wholeWords || o.preserveCase) {
    Replacer::Rules rules;
    rules.wholeWords = o.wholeWords;
    rules.preserveCase = o.preserveCase;
    rules.encoding.page = kind == FileKind::Utf8 ? nullptr : &c.codePage;
    rules.replaceUtf8 = o.exactLineBreaks
                            ? o.replaceText
                            : WithLineBreaks(o.replaceText, lineBreak(c).empty() ? "\n" : lineBreak(c));
    replacer.setRules(std::move(rules));
  }
  if (watch.occurrences != nullptr) replacer.watch(watch.occurrences, watch.output);
  const std::size_t chunkSize = c.chunkSize == 0 ? ChunkSize : c.chunkSize;
  std::vector<char>& buffer = chunkBuffer();
  if (buffer.size() < replacer.carryLimit() + chunkSize) {
    buffer.resize(replacer.carryLimit() + chunkSize);  // keeps what the classification read
  }
  std::string& out = outputBuffer();
  out.clear();
  out.reserve(chunkSize + chunkSize / 4);
  auto give = [&] {
    if (watch.output) emit(out, replacer.count());
    out.clear();
  };

  const auto size = static_cast<std::size_t>(status().st_size);
  // The classification's first chunk is still in the buffer, and the descriptor behind it.
  std::size_t buffered = std::exchange(m_buffered, 0);
  if (buffered == size) {
    if (watch.read) watch.read({buffer.data(), size});
    replacer.run(buffer.data(), size, true, out);
    give();
    return replacer.count();
  }
  if (buffered == 0 && m_read && lseek(file().fd(), 0, SEEK_SET) != 0) {
    platform::raiseSystemError(errno, platform::Step::ReadFile);
  }
  std::size_t carry = 0;
  long long remaining = status().st_size;
  std::uint64_t at = 0;  // where the chunk read lies in the file
  for (;;) {
    const std::size_t n = remaining < static_cast<long long>(chunkSize)
                              ? static_cast<std::size_t>(remaining)
                              : chunkSize;
    if (buffered > 0) {
      buffered = 0;  // the first chunk, read by classify() already
    } else {
      if (file().readFull(buffer.data() + carry, n, platform::Step::ReadFile) != n) {
        throw changedWhileRead();
      }
      if (m_classifier && !m_classifier->settled() && !m_classifier->wantsStart() &&
          at + n > m_classifier->fed()) {
        const std::size_t seen = static_cast<std::size_t>(m_classifier->fed() - at);
        m_classifier->feed(buffer.data() + carry + seen, n - seen);
        // Binary, or not the UTF-8 it was guessed to be: nothing it would write is kept, so
        // the rest is not read.
        if (m_classifier->foundBinary() || (kind == FileKind::Utf8 && !m_classifier->validUtf8())) {
          m_stoppedEarly = true;
          return replacer.count();
        }
      }
    }
    remaining -= static_cast<long long>(n);
    if (watch.read) watch.read({buffer.data() + carry, n});
    const bool last = n < chunkSize;
    const std::size_t finished = replacer.run(buffer.data(), carry + n, last, out);
    give();
    carry = carry + n - finished;
    std::memmove(buffer.data(), buffer.data() + finished, carry);
    at += n;
    if (c.pump) c.pump();
    if (last) break;
  }
  return replacer.count();
}

}  // namespace engine
