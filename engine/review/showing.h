#pragma once

#include "engine/review/shown_file.h"
#include "engine/text/file_kind.h"
#include <memory>

#include "engine/text/match_options.h"
#include "engine/text/pattern.h"
#include "platform/code_page.h"

namespace engine {

/// How the files of a run are shown: their replacement, in their encoding, and their text
/// turned into UTF-8. tarvel-cli's diffs and questions and the window's review share it.
class Showing {
 public:
  /// `page` (the code page of files read single-byte) must outlive the object.
  Showing(const MatchOptions& options, const platform::CodePage& page);
  ShownTexts textsFor(const PlannedFile& file) const;
  const platform::CodePage& page() const { return m_page; }

 private:
  MatchOptions m_options;
  const platform::CodePage& m_page;
  std::shared_ptr<const CompiledPattern> m_pattern;  // a regular expression's
};

}  // namespace engine
