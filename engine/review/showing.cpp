#include "engine/review/showing.h"

#include "engine/file/source_file.h"

namespace engine {

Showing::Showing(const MatchOptions& options, const platform::CodePage& page)
    : m_options(options), m_page(page) {}

ShownTexts Showing::textsFor(const PlannedFile& file) const {
  const Conversion c{.options = m_options, .codePage = m_page, .workFile = {}, .pump = {}};
  ShownTexts texts;
  texts.replacement = TextsFor(file.kind, c, file.lineBreak).replace;
  if (file.kind != FileKind::Utf8) {
    texts.toUtf8 = [this](std::string_view bytes) { return m_page.decode(bytes); };
  }
  return texts;
}

}  // namespace engine
