#include "engine/review/showing.h"

#include "engine/file/source_file.h"
#include "engine/text/utf16.h"
#include "platform/code_page.h"

namespace engine {
namespace {

// A file's bytes as UTF-8.
struct Recoding {
  FileKind kind;
  const platform::CodePage* page;

  std::string toUtf8(std::string_view bytes) const {
    if (IsUtf16(kind)) return utf16::DecodeLenient(bytes, kind == FileKind::Utf16Be);
    return kind == FileKind::Utf8 ? std::string(bytes) : page->decode(bytes);
  }
};

}  // namespace

Showing::Showing(const MatchOptions& options, const platform::CodePage& page)
    : m_options(options), m_page(page) {}

ShownTexts Showing::textsFor(const PlannedFile& file) const {
  const Conversion c{.options = m_options, .codePage = m_page, .workFile = {}, .pump = {}};
  ShownTexts texts;
  texts.replacement = TextsFor(file.kind, c, file.lineBreak).replace;
  if (file.kind != FileKind::Utf8) {
    texts.toUtf8 = [encoding = Recoding{file.kind, &m_page}](std::string_view bytes) {
      return encoding.toUtf8(bytes);
    };
  }
  return texts;
}

}  // namespace engine
