#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "platform/error.h"

namespace engine {

/// Replaces every occurrence of a find text, left to right and without overlaps, in text that
/// arrives in pieces; the emitted replacement is never searched again. The result over all
/// pieces is the same as over the whole text at once.
class Replacer {
 public:
  /// `fold` maps bytes to their lower case for matching without regard to case; nullptr
  /// matches bytes exactly. The texts and the table must outlive the replacer.
  Replacer(std::string_view find, std::string_view replace, const platform::FoldTable* fold);

  /// Matching of UTF-8 text without regard to case: characters are compared after Unicode
  /// simple case folding. `find` and the text must be valid UTF-8; pieces begin at character
  /// boundaries, as run() leaves them.
  struct Utf8CaseFolding {};
  Replacer(std::string_view find, std::string_view replace, Utf8CaseFolding);

  /// The replacement cannot be written in the text's encoding: the first occurrence raises
  /// `failure` instead of being replaced.
  void refuseReplacement(platform::Error failure) { m_refusal = std::move(failure); }

  /// Replaces in `data[0, size)` and appends the finished output to `out`. Returns how many
  /// bytes of `data` are finished; the rest (shorter than the find text) may begin an
  /// occurrence and must be passed again in front of the next piece. With `last` every byte
  /// is finished.
  std::size_t run(const char* data, std::size_t size, bool last, std::string& out);

  /// Bytes that run() may leave unfinished at most.
  std::size_t carryLimit() const { return m_carryLimit; }

  /// Occurrences replaced so far.
  std::size_t count() const { return m_count; }

 private:
  std::size_t runFoldingUtf8(const char* data, std::size_t size, bool last, std::string& out);

  std::string m_find;  // folded when matching without regard to case
  std::string_view m_replace;
  // A short replacement again, followed by zeros: copied sixteen bytes at once.
  std::array<char, 16> m_shortReplace{};
  const platform::FoldTable* m_fold = nullptr;
  bool m_foldUtf8 = false;
  std::size_t m_findCharacters = 0;  // UTF-8 folding: the find text's length in characters
  std::size_t m_carryLimit = 0;
  std::vector<char> m_folded;
  std::vector<char> m_foldedUtf8;
  std::vector<std::uint32_t> m_offsets;
  std::optional<platform::Error> m_refusal;
  std::size_t m_count = 0;
};

/// The whole-text replacement in one piece.
std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold);

}  // namespace engine
