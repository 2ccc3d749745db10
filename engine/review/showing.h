#pragma once

#include <memory>

#include "engine/review/shown_file.h"
#include "engine/text/file_kind.h"
#include "engine/text/match_options.h"
#include "platform/code_page.h"

namespace engine {

/// How the files of a run are shown: their replacement, in their encoding, and their text
/// turned into UTF-8. Where each occurrence has a replacement of its own (a regular expression,
/// a kept case) the plan holds it, as the conversion made it. tarvel-cli's diffs and questions and
/// the window's review share it.
class Showing {
 public:
  /// `page` (the code page of files read single-byte) must outlive the object.
  Showing(const MatchOptions& options, const platform::CodePage& page);
  ShownTexts textsFor(const PlannedFile& file) const;
  const platform::CodePage& page() const { return m_page; }

 private:
  MatchOptions m_options;
  const platform::CodePage& m_page;
};

}  // namespace engine
