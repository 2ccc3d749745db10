#include "engine/text/file_kind.h"

#include "engine/text/binary_test.h"
#include "platform/code_page.h"
#include "platform/error.h"

namespace engine {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// A file with this many valid multi-byte sequences for each byte outside them (or more) is
// UTF-8 with a few bad bytes, not single-byte text: no CP1251 or KOI8-R text of a corpus of
// Debian's Russian translations and manual pages came near it (none of its files above 1%,
// no line above 34%), while a stray Latin-1 letter or a character cut off in UTF-8 text passes
// it from a line of 15 bytes on (scripts/corpus-encodings).
constexpr std::uint64_t kUtf8Ratio = 3;

// So is a file with this many valid sequences that would be unlikely text in the code page
// (SequenceTally::unlikely) for each byte outside them, as UTF-8 "Да" beside one stray byte:
// Russian text in a code page pairs letters with letters, and a capital with "»" or "…" only
// at the end of a word, whose other letters are bytes outside any sequence. Not one: CP1251
// "«Я» «Я»" holds two such pairs beside two guillemets (scripts/corpus-encodings).
constexpr std::uint64_t kUnlikelyRatio = 2;

// The system code page's letters, found once: building a code page asks iconv for each byte.
std::uint64_t systemLetters() {
  static const std::uint64_t letters = ContinuationLetters(platform::CodePage::system());
  return letters;
}

}  // namespace

std::uint64_t ContinuationLetters(const platform::CodePage& page) {
  const platform::FoldTable& fold = page.fold();
  std::uint64_t letters = 0;
  for (unsigned b = 0; b < 256; ++b) {
    // A capital and its small letter, in either place.
    if (fold[b] == b) continue;
    if (b >= 0x80 && b <= 0xBF) letters |= std::uint64_t{1} << (b - 0x80);
    if (fold[b] >= 0x80 && fold[b] <= 0xBF) letters |= std::uint64_t{1} << (fold[b] - 0x80);
  }
  return letters;
}

Classifier::Classifier(bool detectBinary, Encoding encoding, bool asciiAsUtf8, std::uint64_t size,
                       const platform::CodePage* codePage)
    : m_detectBinary(detectBinary),
      m_encoding(encoding),
      m_asciiAsUtf8(asciiAsUtf8),
      m_size(size),
      m_tally(codePage != nullptr ? ContinuationLetters(*codePage) : systemLetters()) {}

void Classifier::feed(const char* data, std::size_t size) {
  const std::uint64_t headBefore = m_head.size();
  if (m_head.size() < 3) m_head.append(data, std::min(size, 3 - m_head.size()));
  if (m_utf16) {
    m_utf16->feed(data, size);
    m_fed += size;
    return;
  }
  if (m_encoding != Encoding::CodePage && headBefore < utf16::kMarkSize &&
      m_head.size() >= utf16::kMarkSize) {
    const std::string_view mark = std::string_view(m_head).substr(0, utf16::kMarkSize);
    if (mark == utf16::kLittleEndianMark || mark == utf16::kBigEndianMark) {
      // What was read as UTF-8 so far (a byte of the mark at most) counts for nothing.
      m_utf16.emplace(mark == utf16::kBigEndianMark);
      const std::size_t skip = utf16::kMarkSize - static_cast<std::size_t>(m_fed);
      m_utf16->feed(data + skip, size - skip);
      m_fed += size;
      return;
    }
  }
  const bool lookForControls = m_detectBinary && !m_binary;
  if (m_encoding != Encoding::CodePage && m_utf8.valid()) {
    // One pass for both while the text is valid UTF-8.
    bool control = false;
    const bool asciiBefore = !m_utf8.sawHighByte() && !m_utf8.midCharacter();
    m_utf8.feed(data, size, lookForControls ? &control : nullptr);
    m_binary = m_binary || control;
    // A text cut inside its last character is as invalid as one with a bad byte.
    const bool cut = m_size != 0 && m_fed + size == m_size && m_utf8.midCharacter();
    if ((!m_utf8.valid() || cut) && m_encoding == Encoding::Auto) {
      // Not valid after all: weighed as a whole, from its first byte.
      m_tallying = true;
      if (m_fed == 0 || asciiBefore) {
        // Plain ASCII before this piece counts for nothing either way.
        m_tally.feed(data, size);
      } else {
        m_wantsStart = true;
      }
    }
  } else {
    if (lookForControls) m_binary = HasControlByte(data, size);
    if (m_tallying) m_tally.feed(data, size);
  }
  m_fed += size;
  // Far enough into single-byte text, no later byte can make it look like UTF-8.
  if (m_tallying && !m_wantsStart && m_size >= m_fed && refusalOutOfReach()) m_tallying = false;
}

// True when, whatever the rest of the file holds, neither share can be reached any more.
bool Classifier::refusalOutOfReach() const {
  const std::uint64_t most = m_tally.mostToCome(m_size - m_fed);
  return kUtf8Ratio * m_tally.strays() > m_tally.sequences() + most &&
         kUnlikelyRatio * m_tally.strays() > m_tally.unlikely() + most;
}

void Classifier::restarted() {
  m_wantsStart = false;
  m_fed = 0;
}

bool Classifier::settled() const {
  if (m_utf16) return m_detectBinary ? m_utf16->sawControl() : !m_utf16->valid();
  if (m_wantsStart) return false;
  if (m_detectBinary) return m_binary;
  return m_encoding == Encoding::CodePage || (!m_utf8.valid() && !m_tallying);
}

FileKind Classifier::guess() const {
  Classifier copy = *this;
  try {
    return copy.finish();
  } catch (const platform::Error&) {
    return FileKind::CodePage;
  }
}

FileKind Classifier::finish() {
  if (m_utf16) {
    if (m_detectBinary && m_utf16->sawControl()) return FileKind::Binary;
    if (!m_utf16->finish()) {
      throw platform::Error(platform::kBadCharacter, platform::Step::ReadFile,
                            platform::Why::BadUtf16At)
          .at(utf16::kMarkSize + m_utf16->invalidAt() + 1, true);
    }
    return m_head.compare(0, utf16::kMarkSize, utf16::kBigEndianMark) == 0 ? FileKind::Utf16Be
                                                                          : FileKind::Utf16Le;
  }
  if (m_detectBinary && m_binary) return FileKind::Binary;
  if (m_encoding == Encoding::CodePage) return FileKind::CodePage;
  const bool valid = m_utf8.finish();
  const bool marked = m_head == kByteOrderMark;
  if (!valid && (m_encoding == Encoding::Utf8 || marked)) {
    throw platform::Error(platform::kBadCharacter, platform::Step::ReadFileAsUtf8,
                          platform::Why::BadUtf8At)
        .at(m_utf8.invalidAt() + 1, marked);
  }
  if (!valid) {
    m_tally.finish();
    const std::uint64_t strays = m_tally.strays();
    const bool share = m_tally.sequences() > 0 && m_tally.sequences() >= kUtf8Ratio * strays;
    const bool unlikely = m_tally.unlikely() > 0 && m_tally.unlikely() >= kUnlikelyRatio * strays;
    if (m_tallying && (share || unlikely)) {
      throw platform::Error(platform::kBadCharacter, platform::Step::ReadFile,
                            platform::Why::AlmostUtf8)
          .at(m_utf8.invalidAt() + 1)
          .advise(platform::Error::Advice::ChooseEncoding);
    }
    return FileKind::CodePage;
  }
  if (m_encoding == Encoding::Utf8 || m_utf8.sawHighByte() || m_asciiAsUtf8) {
    return FileKind::Utf8;
  }
  return FileKind::CodePage;
}

std::string WithLineBreaks(std::string_view text, std::string_view lineBreak) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      out += lineBreak;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string_view UsedLineBreak(std::string_view found, std::string_view fileBreak) {
  const std::size_t feed = found.find('\n');
  if (feed == std::string_view::npos) return fileBreak.empty() ? "\n" : fileBreak;
  return feed > 0 && found[feed - 1] == '\r' ? "\r\n" : "\n";
}

}  // namespace engine
