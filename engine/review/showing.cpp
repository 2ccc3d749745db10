#include "engine/review/showing.h"

#include "engine/file/source_file.h"
#include "engine/text/occurrence_rules.h"
#include "engine/text/utf16.h"
#include "platform/code_page.h"

namespace engine {
namespace {

// A file's bytes as UTF-8, and UTF-8 as the file holds it.
struct Recoding {
  FileKind kind;
  const platform::CodePage* page;

  std::string toUtf8(std::string_view bytes) const {
    if (IsUtf16(kind)) return utf16::DecodeLenient(bytes, kind == FileKind::Utf16Be);
    return kind == FileKind::Utf8 ? std::string(bytes) : page->decode(bytes);
  }
  std::string fromUtf8(std::string_view utf8) const {
    if (IsUtf16(kind)) return utf16::Encode(utf8, kind == FileKind::Utf16Be);
    return kind == FileKind::Utf8 ? std::string(utf8) : page->encode(utf8);
  }
};

}  // namespace

Showing::Showing(const MatchOptions& options, const platform::CodePage& page)
    : m_options(options), m_page(page) {
  m_pattern = CompiledPattern::For(options);
}

ShownTexts Showing::textsFor(const PlannedFile& file) const {
  const Conversion c{.options = m_options, .codePage = m_page, .workFile = {}, .pump = {}};
  ShownTexts texts;
  texts.replacement = TextsFor(file.kind, c, file.lineBreak).replace;
  if (m_pattern) {
    // A match's replacement depends on its groups: the found text is matched again alone.
    const Recoding encoding{file.kind, &m_page};
    const std::string lineBreak = file.lineBreak.empty() ? "\n" : file.lineBreak;
    texts.replacementOf = [pattern = m_pattern, encoding, lineBreak,
                           options = m_options](std::string_view found) {
      const std::string text = encoding.toUtf8(found);
      Matcher matcher(pattern->pattern);
      matcher.start(text);
      std::string replacement;
      if (matcher.next() && matcher.offset() == 0) pattern->replacement.appendTo(matcher, replacement);
      if (!options.exactLineBreaks && options.replaceText.find('\n') != std::string::npos) {
        replacement = WithLineBreaks(replacement, UsedLineBreak(text, lineBreak));
      }
      if (options.preserveCase) replacement = ShapedLike(text, replacement);
      return encoding.fromUtf8(replacement);
    };
  } else if (m_options.preserveCase) {
    const std::string typed = m_options.exactLineBreaks
                                  ? m_options.replaceText
                                  : WithLineBreaks(m_options.replaceText,
                                                   file.lineBreak.empty() ? "\n" : file.lineBreak);
    const Recoding encoding{file.kind, &m_page};
    texts.replacementOf = [typed, encoding](std::string_view found) {
      return encoding.fromUtf8(ShapedLike(encoding.toUtf8(found), typed));
    };
  }
  if (file.kind != FileKind::Utf8) {
    texts.toUtf8 = [encoding = Recoding{file.kind, &m_page}](std::string_view bytes) {
      return encoding.toUtf8(bytes);
    };
  }
  return texts;
}

}  // namespace engine
