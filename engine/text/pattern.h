#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// PCRE2's own types (pcre2.h with PCRE2_CODE_UNIT_WIDTH 8), kept out of this header.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;
struct pcre2_real_jit_stack_8;

#include "engine/text/literal_pairs.h"
#include "engine/text/match_options.h"
#include "platform/error.h"

namespace engine {

namespace pcre {
// Frees what PCRE2 made.
struct Free {
  void operator()(pcre2_real_code_8* code) const;
  void operator()(pcre2_real_match_data_8* data) const;
  void operator()(pcre2_real_match_context_8* context) const;
  void operator()(pcre2_real_jit_stack_8* stack) const;
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;
}  // namespace pcre

/// How a pattern is compiled. Whole words are the caller's business.
struct PatternOptions {
  bool ignoreCase = false;  ///< Unicode case folding: «Ё» matches «ё», «K» the Kelvin sign
};

/// A regular expression (PCRE2 syntax) compiled once for a run; any number of threads match
/// with it at once, each through a Matcher of its own.
///
/// What the pattern means:
/// - It is UTF-8, and so is every text it is matched against. Matching is by characters, never
///   by bytes: `.` is one character, `\w`, `\d`, `\b`, `[[:alpha:]]` and the like know every
///   script, Cyrillic («ё», «Ё») included. `\C` (one byte) is refused.
/// - The text is one whole: `^` is its start and `$` its end, or the place before a line break
///   that ends it, as in Perl. `(?m)` at the start of the pattern makes them the start and the
///   end of every line; `(?s)` lets `.` match line breaks too.
/// - A line break is CR LF, LF or a lone CR (PCRE2_NEWLINE_ANYCRLF), for `$`, `.`, `(?m)` and
///   `\N` alike: a file with CR LF line breaks behaves as one with LF. CR LF is one place: no
///   match begins or ends between its two bytes unless the pattern names them.
/// - `(*LF)`, `(*CR)` and the other leading items of PCRE2 may change this for one pattern.
class Pattern {
 public:
  /// Compiles `pattern` (UTF-8). Raises platform::Error (kBadPattern, Why::BadPattern) when it
  /// is not a valid expression, naming PCRE2's reason and the character (from 1) where it was
  /// found; raises platform::outOfMemory() when memory runs out.
  static Pattern Compile(std::string_view pattern, PatternOptions options = {});

  /// The capture groups of the pattern, the whole match not counted.
  std::uint32_t groupCount() const { return m_groups; }

  /// The numbers of the groups called `name`, in order (several only under `(?J)`); none when
  /// no group has that name.
  std::vector<std::uint32_t> groupsNamed(std::string_view name) const;

  /// How many bytes before the place a search begins it may look at (lookbehinds, `\b`), at
  /// most; kWholeText when a search must always have the whole text before it (`\G`, which
  /// means where the search began, or lookbehinds that reach too far to bound).
  static constexpr std::size_t kWholeText = static_cast<std::size_t>(-1);
  std::size_t lookBehind() const { return m_lookBehind; }

 private:
  friend class Matcher;
  Pattern(pcre::Owned<pcre2_real_code_8> code, std::string_view pattern);

  pcre::Owned<pcre2_real_code_8> m_code;
  // The same pattern with a callout before it, called at each place a search tries (none when
  // PCRE2 takes no such pattern: the searches are then watched between calls only).
  pcre::Owned<pcre2_real_code_8> m_watched;
  // A search may go a stretch of the text at a time (PCRE2's offset limit) with a low limit of
  // steps: no \G, whose meaning depends on where a search begins, and no (*COMMIT), (*SKIP)
  // or other verb that can end a search early or make it skip places.
  bool m_quick = false;
  bool m_anchored = false;  // one place is tried, where a search begins
  // A text every match holds, none of them holding a line feed (RequiredLiteral): the quick
  // searches look only at the lines that hold it. Empty: they look everywhere.
  std::string m_literal;
  std::uint32_t m_groups = 0;
  bool m_crlfIsOnePlace = true;  // the pattern's line breaks include CR LF
  std::size_t m_lookBehind = kWholeText;
};

/// How long the search of one text may take: `base`, and `perMiB` more for each MiB of the text
/// as stored. Counted in the processor time of the searching thread, so that a busy machine
/// fails no text; never less than SearchWatch::kEvery, so that a text searched in less than
/// that never fails.
struct SearchBudget {
  std::chrono::milliseconds base{2000};
  std::chrono::milliseconds perMiB{1000};
};

/// Watches the search of one text, from when it is made: every kEvery it calls the pump, which
/// may raise to stop the search, and past the text's budget it raises platform::Error
/// (kTooComplex, Why::SearchTooLong). A Matcher looks at it before each of its searches and,
/// inside a search, at each place the search tries.
class SearchWatch {
 public:
  static constexpr std::chrono::milliseconds kEvery{50};

  /// `pump` (may be empty) must outlive the watch; `bytes`: the text's size as stored.
  SearchWatch(const EventPump& pump, const SearchBudget& budget, std::uint64_t bytes);

  /// Once kEvery has passed since it last did: calls the pump, then checks the budget. Raises
  /// what the pump raises, or the budget's failure.
  void check() {
    if (due()) tick();
  }

  /// check() from inside PCRE2, where nothing may be raised: false when the search must end,
  /// what check() would have raised kept for the matcher to raise.
  bool checkQuietly() noexcept;

 private:
  friend class Matcher;
  friend class LiteralPairs;
  bool due() const noexcept;
  void tick();
  [[noreturn]] void raiseHeld();

  const EventPump& m_pump;
  std::int64_t m_budget;    // nanoseconds
  std::int64_t m_began;     // monotonic, nanoseconds
  std::int64_t m_beganCpu;  // the thread's processor time, nanoseconds
  std::int64_t m_next;      // monotonic: when check() next calls the pump
  std::exception_ptr m_held;
};

/// One thread's search with a Pattern: the thread's own match data and JIT stack. The pattern
/// must outlive it. A matcher is used by one thread at a time, and may go from text to text.
///
/// The search goes left to right over the whole text as PCRE2's global substitution does
/// (pcre2_substitute with PCRE2_SUBSTITUTE_GLOBAL): the next search begins where the last match
/// ended; after an empty match it first tries, at the same place, for a match that is not
/// empty, and failing that moves on one character (CR LF as one). Matches never overlap, no
/// empty match comes twice, and no match begins inside a character.
///
/// Every search is bounded, from each place it is tried at (so that a long text adds nothing):
/// kMatchLimit steps of backtracking, kDepthLimit levels of nesting and kHeapLimitKiB of memory
/// for the interpreter, kJitStackMax bytes of stack for the JIT. A search that runs past any of
/// them raises platform::Error (kTooComplex, Why::PatternTooComplex) for that text: the caller
/// gives up that text and goes on.
///
/// A search tries places a stretch of kWindow bytes at a time with kQuickLimit steps at each;
/// a place that needs more has the text searched on from there with kMatchLimit, a callout at
/// each place tried. So a search that is not given up in PCRE2 comes back to the matcher, or
/// to the watch, within a small part of a second, and a text may be timed (SearchWatch).
class Matcher {
 public:
  static constexpr std::uint32_t kMatchLimit = 10'000'000;
  static constexpr std::uint32_t kQuickLimit = 10'000;
  static constexpr std::size_t kWindow = 4096;
  static constexpr std::uint32_t kDepthLimit = 1'000'000;
  static constexpr std::uint32_t kHeapLimitKiB = 256 * 1024;
  static constexpr std::size_t kJitStackStart = 32 * 1024;
  static constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;

  explicit Matcher(const Pattern& pattern);

  /// Begins the search over `text`, which must stay alive until the next start(). The text is
  /// checked for valid UTF-8 here, once, and PCRE2 is spared the check on every search: a text
  /// that is not raises platform::Error (kBadCharacter, Why::BadUtf8At, its byte from 1).
  /// With `more`, `text` is only the text's beginning, cut after a whole character: see
  /// needsMore().
  void start(std::string_view text, bool more = false);

  /// Searches from now on under `watch` (none: unwatched), which must outlive its use; the
  /// searches then raise what SearchWatch::check() raises, and the text has no more.
  void watch(SearchWatch* watch);

  /// Finds the next match; false when there is none. Raises platform::Error
  /// (Why::PatternTooComplex) when a search runs past its limits; then the text has no more.
  /// While more text may follow, a match is only given when no text after it could change it
  /// (nor the character after it, for whole words); otherwise next() returns false and
  /// needsMore() is true.
  bool next();

  /// After next() returned false: it needs more of the text to go on.
  bool needsMore() const { return m_needsMore; }
  /// Where the search goes on in the text: nothing before this, less Pattern::lookBehind()
  /// bytes, is looked at again.
  std::size_t resumesAt() const { return m_from; }
  /// Goes on with `text`: the text given last without its first `dropped` bytes (at most
  /// resumesAt() less the pattern's lookBehind(), at a character's start) and with more
  /// after it, whole characters again; `more` false when it now runs to the text's end. Offsets
  /// from now on are in `text`. The bytes added are checked as start() checks them.
  void extend(std::string_view text, std::size_t dropped, bool more);

  /// The match found by the last next() that returned true: where it begins in the text, in
  /// bytes, and how many bytes it takes.
  std::size_t offset() const;
  std::size_t length() const;
  std::string_view match() const { return group(0); }

  /// The pair whose branch of a PairsExpression the last match took (its mark); kNoMark for a
  /// match that left none.
  static constexpr std::uint32_t kNoMark = static_cast<std::uint32_t>(-1);
  std::uint32_t mark() const;

  /// Whether group `n` (0: the whole match) took part in the match.
  bool groupSet(std::uint32_t n) const;
  /// The text of group `n`; empty when it took part in no match, or does not exist.
  std::string_view group(std::uint32_t n) const;

 private:
  int search(std::uint32_t options);
  // Narrows a quick search from `from` to the line of the next place that holds the pattern's
  // literal: moves `from` to the line's start and sets `limit` to its end (PCRE2_UNSET: the
  // text's end). False when no match can begin from `from` on.
  bool narrow(std::size_t& from, std::size_t& limit) const;

  const pcre2_real_code_8* m_code;     // the pattern's: it may move, but must outlive the matcher
  const pcre2_real_code_8* m_watched;  // the pattern with its callout, or m_code
  bool m_crlfIsOnePlace;
  bool m_quickPattern;  // Pattern::m_quick
  bool m_windows;       // the quick searches go a stretch at a time
  std::string_view m_literal;  // Pattern::m_literal
  pcre::Owned<pcre2_real_match_data_8> m_data;
  pcre::Owned<pcre2_real_match_context_8> m_context;  // kMatchLimit, the callout
  pcre::Owned<pcre2_real_match_context_8> m_quick;    // kQuickLimit, an offset limit
  pcre::Owned<pcre2_real_jit_stack_8> m_stack;
  const std::size_t* m_ovector = nullptr;
  std::uint32_t m_mark = kNoMark;  // the last match's pair (PairsExpression), read when asked
  std::string_view m_text;
  std::size_t m_from = 0;       // where the next search begins
  std::uint32_t m_options = 0;  // PCRE2 options of the next search (after an empty match)
  std::size_t m_last[3] = {};   // the last match, and where its search began
  std::uint32_t m_set = 0;      // the ovector pairs the last match set
  bool m_done = true;
  bool m_more = false;  // more text may follow this
  bool m_needsMore = false;
  bool m_cut = false;            // the text no longer begins where the whole text begins
  bool m_slow = false;           // this text is searched on with kMatchLimit
  std::uint32_t m_searches = 0;  // quick searches made
  SearchWatch* m_watch = nullptr;
};

/// A long text searched a piece at a time: only the text from a little before the search's place
/// to the last piece is held, so that memory stays flat however long the text. Gives the same
/// matches, in the same order, as a Matcher given the whole text at once.
class PieceSearch {
 public:
  /// Where the text comes from.
  class Source {
   public:
    virtual ~Source() = default;
    /// Appends the next piece of the text (whole characters in UTF-8) to `text`; false when
    /// the text has ended (after appending its last piece, or nothing).
    virtual bool more(std::string& text) = 0;
  };

  /// What charactersBefore() counts: characters, or the UTF-16 units they take (two for a
  /// character beyond U+FFFF).
  enum class Count { Characters, Utf16Units };

  PieceSearch(Matcher& matcher, const Pattern& pattern, Source& source,
              Count count = Count::Characters);

  /// As Matcher::next() over the whole text.
  bool next();

  /// The text held now, and where it begins in the whole text.
  std::string_view text() const { return m_text; }
  std::uint64_t base() const { return m_base; }
  /// The last match, in the text held now.
  const Matcher& matcher() const { return m_matcher; }

  /// The characters of the whole text before `offset` (bytes from the whole text's start); the
  /// offsets asked for must not go back, and must not lie before the text held now.
  std::uint64_t charactersBefore(std::uint64_t offset);

 private:
  void fill();

  Matcher& m_matcher;
  Source& m_source;
  std::size_t m_keep;  // bytes kept before the search's place
  std::string m_text;
  std::uint64_t m_base = 0;
  bool m_started = false;
  bool m_ended = false;
  bool m_units;                    // charactersBefore() counts UTF-16 units
  std::uint64_t m_counted = 0;     // charactersBefore(): counted up to this offset
  std::uint64_t m_characters = 0;  // ... and found this many characters before it
};

/// The replacement text of a pattern, read once: literal text, with references to the groups of
/// the match.
/// - `$1`, `${1}`, `$12`: a group by number (all the digits that follow); `$0` and `${0}` the
///   whole match;
/// - `$name`, `${name}`: a group by name (letters, digits and `_`: `$имя` too, unlike PCRE2's
///   own substitution); under `(?J)`, the first group of that name that took part;
/// - `$$`: one `$`.
/// A group that took no part in the match gives nothing. Every other character is itself:
/// a backslash is a backslash, `\n` two characters; a line break is written as typed.
class ReplacementTemplate {
 public:
  /// Reads `text` (UTF-8) for `pattern`. Raises platform::Error (kBadPattern) when a `$` is
  /// followed by none of the above (Why::BadReference) or names a group the pattern does not
  /// have (Why::NoSuchGroup, `subject` the number or name); `value` is the place of the `$` in
  /// `text`, in characters from 1.
  static ReplacementTemplate Compile(const Pattern& pattern, std::string_view text);

  /// Appends the replacement of the match `matcher` has just found to `out`; `out` only grows.
  void appendTo(const Matcher& matcher, std::string& out) const;

  /// True when the replacement refers to no group: it is the same for every match.
  bool literal() const { return m_literal; }

 private:
  struct Piece {
    std::uint32_t first;  // literal text: its offset in m_text; a group: its entry in m_groups
    std::uint32_t size;   // literal text: its bytes; a group: how many groups may fill it
    bool group;
  };

  std::string m_text;
  std::vector<Piece> m_pieces;
  std::vector<std::uint32_t> m_groups;
  bool m_literal = true;
};

/// Replaces every match of `matcher`'s pattern in `text` by `replacement`, appending the whole
/// result to `out`. Returns the number of matches replaced.
std::size_t replaceAll(Matcher& matcher, std::string_view text,
                       const ReplacementTemplate& replacement, std::string& out);

/// The find text and the replacement of a run that matches a regular expression, compiled
/// once and shared by the run's workers. Raises platform::Error for a bad pattern or a bad
/// reference in the replacement, before anything is touched.
struct CompiledPattern {
  CompiledPattern(std::string_view find, std::string_view replace, bool ignoreCase)
      : pattern(Pattern::Compile(find, PatternOptions{ignoreCase})),
        replacement(ReplacementTemplate::Compile(pattern, replace)),
        serial(nextSerial()) {}
  /// Several pairs at once (MatchOptions::pairs): `find` their PairsExpression, each
  /// replacement read for its own pair's pattern.
  CompiledPattern(Pattern compiled, std::vector<ReplacementTemplate> each, std::vector<bool> breaks)
      : pattern(std::move(compiled)),
        replacement(each.front()),
        pairReplacements(std::move(each)),
        pairBreaks(std::move(breaks)),
        serial(nextSerial()) {}

  /// The pattern a run's texts need, or nothing: a regular expression, or a find text with a
  /// line break (MatchOptions says which). A line break of either, CR LF or LF, matches LF and
  /// CR LF alike unless every text means its bytes (in an expression: one typed outside a
  /// character class, not escaped, where no (?x) may make it space). For whole words, an
  /// expression matches only where no word character stands before or after its match, so that
  /// the other matches at a place are tried before the next place, as grep -w does. A bad
  /// expression is told as typed.
  static std::unique_ptr<CompiledPattern> For(const MatchOptions& options);
  /// The pattern of the find text as a literal text, whatever For() would make of it: each of
  /// its line breaks as For() has it, unless every text means its bytes.
  static std::unique_ptr<CompiledPattern> Literal(const MatchOptions& options);
  /// The pattern of several pairs (MatchOptions::pairs, literal or patterns): their
  /// PairsExpression, for whole words wrapped as For() wraps one expression.
  static std::unique_ptr<CompiledPattern> ForPairs(const MatchOptions& options);

  Pattern pattern;
  ReplacementTemplate replacement;
  /// A run of several pairs: each pair's replacement, in the pairs' order, and whether it
  /// holds a line break (which stands for the file's own); empty for one find text.
  std::vector<ReplacementTemplate> pairReplacements;
  std::vector<bool> pairBreaks;
  /// Literal pairs that need no pattern (no whole words, no kept case, no line break to read
  /// either way): looked for all at once in the files' own bytes; none: matched by `pattern`.
  std::shared_ptr<const LiteralPairs> literalPairs;
  /// ... and where the pairs are too many for one pattern, why: a file the literal search does
  /// not take (UTF-16 without regard to case) fails with it.
  std::shared_ptr<const platform::Error> patternRefused;

  /// The pair of the match `matcher` has just found (0 for one find text), and its replacement.
  std::uint32_t pairOf(const Matcher& matcher) const;
  const ReplacementTemplate& replacementOf(std::uint32_t pair) const {
    return pairReplacements.empty() ? replacement : pairReplacements[pair];
  }

  /// Told apart from every other compiled before it, even one freed at the same address: a
  /// worker keeps its matcher for the run's pattern from file to file by this.
  const std::uint64_t serial;

 private:
  static std::uint64_t nextSerial() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
  }
};

}  // namespace engine
