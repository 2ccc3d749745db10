#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text/file_kind.h"
#include "engine/text/pairs.h"
#include "platform/code_page.h"

struct hs_database;

namespace engine {
class SearchWatch;
}

namespace engine {

/// The literal find texts of several pairs looked for all at once in a file's own bytes, with
/// Vectorscan's literal matcher (the SIMD one large rule sets use): in UTF-8, in a code page or
/// in UTF-16, with regard to case or (UTF-8 and code pages) without, as one find text is.
/// Nothing is decoded: each text is put into the file's encoding (and folded) once a run.
///
/// At each place the pair whose text begins leftmost wins, then the longest, then the first
/// listed; after an occurrence the search goes on where it ends.
class LiteralPairs {
 public:
  /// For pairs whose find texts hold no line break (unless the texts mean their bytes): each
  /// line break of a text then needs no other reading.
  static bool Fit(const std::vector<Pair>& pairs, bool exactLineBreaks);

  /// Made for the run where the processor runs Vectorscan and it takes these texts (in UTF-8);
  /// else nothing, and the pairs go through a pattern.
  static std::shared_ptr<const LiteralPairs> Make(std::vector<Pair> pairs, bool ignoreCase);

  LiteralPairs(std::vector<Pair> pairs, bool ignoreCase);
  ~LiteralPairs();
  LiteralPairs(const LiteralPairs&) = delete;
  LiteralPairs& operator=(const LiteralPairs&) = delete;

  /// Whether a file of `kind` is searched here (UTF-16 only with regard to case).
  bool takes(FileKind kind) const { return !m_ignoreCase || !IsUtf16(kind); }

  /// One occurrence: where it begins in the text, its bytes and its pair.
  struct Found {
    std::size_t at;
    std::size_t length;
    std::uint32_t pair;
  };
  /// Gives each occurrence in `text` (a whole file's bytes in `kind`, `page` for a code page;
  /// `begin`: where its text begins, after a byte-order mark) to `found`, in order. `passed` is
  /// called after each stretch of the text with the offset before which no occurrence is
  /// still to come, and may raise (a stop, a budget). Raises platform::outOfMemory() where
  /// Vectorscan cannot get its memory.
  void scan(std::string_view text, std::size_t begin, FileKind kind, const platform::CodePage& page,
            SearchWatch* watch, const std::function<void(std::size_t)>& passed,
            const std::function<void(const Found&)>& found) const;

  struct Chooser;  // how the occurrences are chosen from what the matcher reports

 private:
  struct Set;
  const Set& setFor(FileKind kind, const platform::CodePage& page) const;

  std::vector<Pair> m_pairs;
  bool m_ignoreCase;
  mutable std::mutex m_lock;
  mutable std::vector<std::unique_ptr<Set>> m_sets;  // one for each encoding met, made once
};

}  // namespace engine
