#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"

namespace engine {

/// Replaces every occurrence of a find text, left to right and without overlaps, in text that
/// arrives in pieces; the emitted replacement is never searched again. The result over all
/// pieces is the same as over the whole text at once.
class Replacer {
 public:
  /// `fold` maps bytes to their lower case for matching without regard to case; nullptr
  /// matches bytes exactly. The texts and the table must outlive the replacer.
  Replacer(std::string_view find, std::string_view replace, const platform::FoldTable* fold);

  /// Replaces in `data[0, size)` and appends the finished output to `out`. Returns how many
  /// bytes of `data` are finished; the rest (shorter than the find text) may begin an
  /// occurrence and must be passed again in front of the next piece. With `last` every byte
  /// is finished.
  std::size_t run(const char* data, std::size_t size, bool last, std::string& out);

  /// Bytes that run() may leave unfinished at most.
  std::size_t carryLimit() const { return m_find.empty() ? 0 : m_find.size() - 1; }

  /// Occurrences replaced so far.
  std::size_t count() const { return m_count; }

 private:
  const char* search(const char* from, const char* end) const;

  std::string m_find;  // folded when matching without regard to case
  std::string_view m_replace;
  const platform::FoldTable* m_fold;
  std::vector<char> m_folded;
  std::size_t m_count = 0;
};

/// The whole-text replacement in one piece.
std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold);

}  // namespace engine
