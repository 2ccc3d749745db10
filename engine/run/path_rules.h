#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// Whether `path` matches the glob `pattern` whole, as git matches a .gitignore pattern that
/// holds a "/": `*` and `?` match within one name, never a "/"; `[a-z]`, `[!a-z]`, `[^a-z]` and
/// `[[:alpha:]]` one character of a name; `\` makes the next character itself; `**` standing
/// between slashes (or at either end) matches any number of folders: `**/x` x in every folder,
/// `x/**` everything inside x, `a/**/b` b in a or any folder below it. Bytes are compared as
/// they are: letter case counts.
/// The time it takes is bounded by the path's length times the pattern's, whatever the pattern.
bool GlobMatches(std::string_view pattern, std::string_view path);

/// A pattern read once for GlobMatches' rules, to be matched against many paths.
class Glob {
 public:
  explicit Glob(std::string pattern);
  /// Whether `path` matches the pattern whole, as GlobMatches says.
  bool matches(std::string_view path) const;

 private:
  struct Step {
    enum Kind : unsigned char {
      Byte,     // one byte, itself
      AnyByte,  // "?": one byte but "/"
      Bracket,  // "[...]": one byte of the set but "/"
      Name,     // "*": any bytes but "/"
      Folders,  // "**/": nothing, or any bytes up to and with a "/"
      Rest,     // "/**" at the end, or "**" alone: whatever is left
    } kind;
    unsigned char byte = 0;  // Byte's
    std::size_t at = 0;      // Bracket's "[" in the pattern
  };
  std::string m_pattern;
  std::vector<Step> m_steps;
};

/// Patterns with the rules of a .gitignore line, for paths below one folder (the walked one):
/// - a pattern with a "/" at its start or in its middle is matched against the path below the
///   folder (`/bits`, `include/*/bits`, `**/bits`); one without is matched against the name
///   alone, at any depth (`bits`, `*.min.js`);
/// - a "/" at the end matches folders only (`c++/`);
/// - a "!" in front makes it keep what an earlier pattern left out; the last pattern that
///   matches decides;
/// - trailing spaces go unless a `\` keeps them, and `\!`, `\#` begin a pattern with those
///   characters. (A line from a .gitignore file that is blank or a comment adds nothing.)
/// A pattern remembers whether it ever matched, from any thread, so that one that matched
/// nothing in a whole run can be named.
class PathRules {
 public:
  PathRules() = default;
  /// The patterns given on the command line, in their order; "#" begins no comment there.
  explicit PathRules(const std::vector<std::string>& patterns);

  bool empty() const { return m_rules.empty(); }

  /// Adds one pattern; false when it is blank or, from a file, a comment.
  bool add(std::string_view line, bool fromFile = false);

  /// What the patterns say of `relative` (below the folder, "/" between names, no "/" at
  /// either end): true when the last that matches leaves it out, false when that one is a "!"
  /// pattern, nothing when none matches. Every pattern that matches is marked as used.
  std::optional<bool> leavesOut(std::string_view relative, bool folder) const;

  /// The patterns, as given, that have not matched anything yet.
  std::vector<std::string> unused() const;

 private:
  struct Rule {
    std::string given;  // as the user gave it
    Glob glob{{}};      // without its "!", its leading and its trailing "/"
    bool negated = false;
    bool folderOnly = false;
    bool onPath = false;  // matched against the whole relative path, not the name
    std::unique_ptr<std::atomic<bool>> used = std::make_unique<std::atomic<bool>>(false);
  };
  std::vector<Rule> m_rules;
};

}  // namespace engine
