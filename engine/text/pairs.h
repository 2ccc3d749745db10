#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// One find text and its replacement, of a run that replaces several at once.
struct Pair {
  std::string find;
  std::string replace;
  std::size_t line = 0;  ///< where it was given: a line of a pairs file, or its place (from 1)

  bool operator==(const Pair&) const = default;
};

/// Why a list of pairs is refused, and where (PairsFault::line, from 1).
enum class PairsWhy {
  NoTab,      ///< a line without a tab between the find text and the replacement
  SecondTab,  ///< a line with more than one: a tab in a text is written \t
  EmptyFind,  ///< the find text is empty
  Conflict,   ///< the same find text as line `earlier`, with another replacement
  NotUtf8,    ///< the line is not UTF-8
};
struct PairsFault {
  PairsWhy why = PairsWhy::NoTab;
  std::size_t line = 0;
  std::size_t earlier = 0;  ///< Conflict: the line that gave the find text first
};

/// The pairs of a pairs file, or the first fault found in it.
struct ReadPairs {
  std::vector<Pair> pairs;
  std::optional<PairsFault> fault;
};

/// Reads the text of a pairs file (UTF-8): one pair a line, the find text and the replacement
/// separated by one tab; in either, `\t` is a tab, `\n` a line break, `\\` a backslash and `\#`
/// a `#` (any other backslash stays as it is, so that a pattern's `\d` needs no doubling).
/// Empty lines and lines beginning with `#` are skipped; a line may end in CR LF; a UTF-8 mark
/// before the first line is no part of it. A pair given twice is taken once.
ReadPairs ParsePairs(std::string_view text);

/// The same rules for pairs given one by one (`line`: their place), where the texts are taken
/// as typed: no escapes, no comments.
std::optional<PairsFault> CheckPairs(std::vector<Pair>& pairs);

/// The one expression that finds every pair's find text at once (PCRE2 syntax): each match
/// leaves the mark of its pair's index (`(*MARK:k)`).
/// - Literal texts: a tree of their characters, longer texts tried before shorter ones at each
///   place, so that the first match is the leftmost and, of those, the longest; texts alike
///   (ignoring case under `ignoreCase`, which folds them) go to the first pair listed. A line
///   break, unless `exactLineBreaks`, matches CR LF and LF alike.
/// - Patterns (`regex`): one branch each, in the pairs' order, tried leftmost-first, their
///   groups numbered each from 1 (a branch reset); a pair's line breaks as a single pattern's.
std::string PairsExpression(const std::vector<Pair>& pairs, bool regex, bool ignoreCase,
                            bool exactLineBreaks);

/// The pair's index left by a match's mark; nothing for a mark that is not one.
std::optional<std::uint32_t> PairOfMark(std::string_view mark);

}  // namespace engine
