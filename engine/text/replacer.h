#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text/occurrence_rules.h"
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

  /// Sees each occurrence as it is found, and decides whether it is replaced: a plan lists
  /// them, a reviewed file replaces only those the user accepted.
  class Watcher {
   public:
    virtual ~Watcher() = default;
    /// The pair (MatchOptions::pairs) of the occurrence given next; 0 for one find text.
    std::uint32_t pair = 0;
    /// An occurrence of `length` bytes at `at` in `piece`, the piece given to run(), which
    /// begins `base` bytes into the whole text, and the text that would replace it. Returns
    /// whether it is replaced; if not, its bytes stay.
    virtual bool occurrence(const char* piece, std::uint64_t base, std::size_t at,
                            std::size_t length, std::string_view replacement) = 0;
    /// The first `finished` bytes of the piece are done: the rest comes again, in front of
    /// the next piece.
    virtual void passed(const char* piece, std::uint64_t base, std::size_t finished) {
      (void)piece;
      (void)base;
      (void)finished;
    }
  };
  /// Every occurrence goes to `watcher` from now on; with `output` false run() appends
  /// nothing (a plan reads, and writes nothing). The watcher must outlive the replacer.
  void watch(Watcher* watcher, bool output = true) {
    m_watcher = watcher;
    m_output = output;
  }

  /// What makes an occurrence beyond its bytes: only a whole word counts (the characters before
  /// and after it are no letters, digits or underscores), and the replacement takes the form
  /// of what it replaces (its case). `replaceUtf8` is the replacement in UTF-8, shaped and then
  /// put into `encoding`; a shaped text the encoding cannot hold raises the error then.
  struct Rules {
    bool wholeWords = false;
    bool preserveCase = false;
    TextEncoding encoding;
    std::string replaceUtf8;
  };
  void setRules(Rules rules);

  /// Bytes that run() may leave unfinished at most.
  std::size_t carryLimit() const { return m_carryLimit; }

  /// Occurrences replaced so far.
  std::size_t count() const { return m_count; }

 private:
  std::size_t runBytes(const char* data, std::size_t size, bool last, std::string& out);
  std::size_t runFoldingUtf8(const char* data, std::size_t size, bool last, std::string& out);
  std::size_t runWatched(const char* data, std::size_t size, bool last, std::string& out);
  // How much of a piece is finished once the search has found nothing more from `next`
  // (the end of the last occurrence, or 0); `whole`: the bytes of whole characters.
  std::size_t finishedPart(const char* data, std::size_t size, std::size_t whole,
                           std::size_t next, bool last) const;

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
  std::uint64_t m_base = 0;
  Watcher* m_watcher = nullptr;
  bool m_output = true;
  std::optional<Rules> m_rules;
  std::string m_history;  // the last bytes finished, for the character before a piece
  std::string m_shaped;   // the replacement of the occurrence at hand
};

/// The whole-text replacement in one piece.
std::string replaceAll(std::string_view text, std::string_view find, std::string_view replace,
                       const platform::FoldTable* fold);

}  // namespace engine
