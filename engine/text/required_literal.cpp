#include "engine/text/required_literal.h"

#include <cstddef>
#include <vector>

namespace engine {
namespace {

bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// How a quantifier at `at` lets its item repeat: none there, at least once, or maybe not at all.
enum class Repeat { None, Required, Optional, Unknown };

// The quantifier at `at`, if any, and where it ends (past a lazy or possessive mark).
Repeat quantifierAt(std::string_view p, std::size_t at, std::size_t& end) {
  end = at;
  if (at >= p.size()) return Repeat::None;
  Repeat repeat = Repeat::None;
  if (p[at] == '?' || p[at] == '*') {
    repeat = Repeat::Optional;
    end = at + 1;
  } else if (p[at] == '+') {
    repeat = Repeat::Required;
    end = at + 1;
  } else if (p[at] == '{') {
    std::size_t i = at + 1;
    const std::size_t digits = i;
    while (i < p.size() && p[i] >= '0' && p[i] <= '9') ++i;
    if (i == digits) return Repeat::Unknown;  // "{,n}" or a literal brace: not followed
    const bool zero = p.find_first_not_of('0', digits) >= i;
    if (i < p.size() && p[i] == ',') {
      ++i;
      while (i < p.size() && p[i] >= '0' && p[i] <= '9') ++i;
    }
    if (i >= p.size() || p[i] != '}') return Repeat::Unknown;
    repeat = zero ? Repeat::Optional : Repeat::Required;
    end = i + 1;
  } else {
    return Repeat::None;
  }
  if (end < p.size() && (p[end] == '?' || p[end] == '+')) ++end;
  return repeat;
}

// The escapes that match one character, none of them a line feed, or only assert.
bool harmlessEscape(char c) {
  switch (c) {
    case 'w':
    case 'd':
    case 'b':
    case 'B':
    case 'A':
    case 'z':
    case 'Z':
    case 'G':
    case 'K':
    case 'h':
    case 'N':
    case 'E':
    case 't':
    case 'r':
    case 'a':
    case 'f':
    case 'e':
      return true;
    default:
      return false;
  }
}

// A group's kind, read at its "(".
struct Group {
  bool consumes = true;      // not a lookaround
  bool alternation = false;  // a "|" at its own level
  std::size_t close = 0;
};

class Reader {
 public:
  explicit Reader(std::string_view p) : m_p(p) {}

  // The groups in order of their "(", or nothing when the pattern has what is not followed.
  bool readGroups() {
    std::vector<std::size_t> open;
    bool topAlternation = false;
    for (std::size_t i = 0; i < m_p.size(); ++i) {
      const char c = m_p[i];
      if (c == '\n') return false;
      if (c == '\\') {
        if (++i >= m_p.size()) return false;
        const char e = m_p[i];
        if (static_cast<unsigned char>(e) >= 0x80) return false;
        if (e == 'N' && i + 1 < m_p.size() && m_p[i + 1] == '{') return false;  // a code point
        if (isAsciiAlnum(e) && !harmlessEscape(e)) {
          // \g and \k name a group whose text holds no line feed either.
          if (e != 'g' && e != 'k') return false;
        }
      } else if (c == '[') {
        if (!skipClass(i)) return false;
      } else if (c == '(') {
        Group g;
        if (i + 1 < m_p.size() && m_p[i + 1] == '*') return false;  // verbs, options
        if (i + 1 < m_p.size() && m_p[i + 1] == '?') {
          const std::string_view rest = m_p.substr(i + 2);
          if (rest.starts_with(":") || rest.starts_with(">")) {
          } else if (rest.starts_with("=") || rest.starts_with("!") || rest.starts_with("<=") ||
                     rest.starts_with("<!")) {
            g.consumes = false;
          } else if (rest.starts_with("<") || rest.starts_with("P<") || rest.starts_with("'")) {
            // a named group
          } else {
            return false;  // options, comments, conditions, recursion, callouts
          }
        }
        open.push_back(m_groups.size());
        m_groups.push_back(g);
      } else if (c == ')') {
        if (open.empty()) return false;
        m_groups[open.back()].close = i;
        open.pop_back();
      } else if (c == '|') {
        if (open.empty()) {
          topAlternation = true;
        } else {
          m_groups[open.back()].alternation = true;
        }
      } else if (c == '{') {
        // A brace that is no quantifier of every PCRE2 ("{,n}" became one in 10.43).
        std::size_t end = 0;
        const Repeat r = quantifierAt(m_p, i, end);
        if (r != Repeat::Required && r != Repeat::Optional) return false;
      }
    }
    return open.empty() && !topAlternation;
  }

  // The longest run of literal bytes that every match holds.
  std::string longestRun() {
    std::string best;
    std::string run;
    const auto endRun = [&] {
      if (run.size() > best.size()) best = run;
      run.clear();
    };
    // Each open group: whether what it holds is required, and whether its parentheses join
    // the runs on either side (required, no quantifier).
    std::vector<bool> required{true};
    std::size_t next = 0;  // the next group by its "("
    for (std::size_t i = 0; i < m_p.size();) {
      const char c = m_p[i];
      if (c == '(') {
        const Group& g = m_groups[next++];
        std::size_t end = 0;
        const Repeat r = quantifierAt(m_p, g.close + 1, end);
        const bool held = required.back() && g.consumes && !g.alternation &&
                          (r == Repeat::None || r == Repeat::Required);
        if (!(held && r == Repeat::None)) endRun();
        required.push_back(held);
        i = bodyStart(i);
        continue;
      }
      if (c == ')') {
        required.pop_back();
        std::size_t end = 0;
        const Repeat r = quantifierAt(m_p, i + 1, end);
        if (r != Repeat::None || !required.back()) endRun();
        i = end > i + 1 ? end : i + 1;
        if (r != Repeat::None) endRun();
        continue;
      }
      // One item: a literal character (its bytes), or something else.
      std::string literal;
      std::size_t after = i + 1;
      if (c == '\\') {
        const char e = m_p[i + 1];
        after = i + 2;
        if (!isAsciiAlnum(e) && static_cast<unsigned char>(e) < 0x80) literal = std::string(1, e);
        if (e == 'g' || e == 'k') after = skipReference(after);
      } else if (c == '[') {
        skipClass(after = i);
        ++after;
      } else if (std::string_view("^$.|").find(c) != std::string_view::npos) {
      } else if (c == '{' || c == '}' || c == ']' || c == '?' || c == '*' || c == '+') {
        // A brace that is not a quantifier is a literal to PCRE2; left out here.
      } else {
        while (after < m_p.size() && (static_cast<unsigned char>(m_p[after]) & 0xC0) == 0x80) {
          ++after;
        }
        literal = std::string(m_p.substr(i, after - i));
      }
      std::size_t end = 0;
      const Repeat r = quantifierAt(m_p, after, end);
      if (literal.empty() || !required.back() || r == Repeat::Optional || r == Repeat::Unknown) {
        endRun();
      } else {
        run += literal;
        if (r == Repeat::Required) endRun();
      }
      i = r == Repeat::None ? after : end;
    }
    endRun();
    return best;
  }

 private:
  // Past "(", "(?:", "(?<name>" and the like.
  std::size_t bodyStart(std::size_t at) const {
    if (at + 1 >= m_p.size() || m_p[at + 1] != '?') return at + 1;
    const std::string_view rest = m_p.substr(at + 2);
    if (rest.starts_with("<=") || rest.starts_with("<!")) return at + 4;
    if (rest.starts_with("<") || rest.starts_with("P<")) return m_p.find('>', at) + 1;
    if (rest.starts_with("'")) return m_p.find('\'', at + 3) + 1;
    return at + 3;
  }

  // Past a \g or \k reference: {name}, <name>, 'name' or digits.
  std::size_t skipReference(std::size_t at) const {
    if (at >= m_p.size()) return at;
    const char open = m_p[at];
    const char close = open == '{' ? '}' : open == '<' ? '>' : open == '\'' ? '\'' : 0;
    if (close != 0) {
      const std::size_t end = m_p.find(close, at + 1);
      return end == std::string_view::npos ? m_p.size() : end + 1;
    }
    if (m_p[at] == '-' || m_p[at] == '+') ++at;
    while (at < m_p.size() && m_p[at] >= '0' && m_p[at] <= '9') ++at;
    return at;
  }

  // From "[" at `at` to its "]" (left at `at`); false for a class that could hold a line feed
  // or is not followed.
  bool skipClass(std::size_t& at) const {
    std::size_t i = at + 1;
    if (i < m_p.size() && m_p[i] == '^') return false;  // what it leaves out, a line feed too
    if (i < m_p.size() && m_p[i] == ']') ++i;
    for (; i < m_p.size(); ++i) {
      const char c = m_p[i];
      if (c == '\n') return false;
      if (c == ']') {
        at = i;
        return true;
      }
      if (c == '\\') {
        if (++i >= m_p.size()) return false;
        if (isAsciiAlnum(m_p[i]) && m_p[i] != 'w' && m_p[i] != 'd' && m_p[i] != 'h') return false;
      } else if (c == '[' && i + 1 < m_p.size() && m_p[i + 1] == ':') {
        const std::size_t end = m_p.find(":]", i + 2);
        if (end == std::string_view::npos) return false;
        const std::string_view name = m_p.substr(i + 2, end - i - 2);
        // Classes that hold a line feed, or that could.
        if (name.starts_with("^") || name == "space" || name == "cntrl" || name == "ascii") {
          return false;
        }
        i = end + 1;
      } else if (c == '-' && i > at + 1 && i + 1 < m_p.size() && m_p[i + 1] != ']') {
        // A range from a character past the line feed holds none; one from an escape is not
        // worked out here.
        if (m_p[i - 2] == '\\' || static_cast<unsigned char>(m_p[i - 1]) <= '\n') return false;
      }
    }
    return false;
  }

  std::string_view m_p;
  std::vector<Group> m_groups;
};

}  // namespace

std::string RequiredLiteral(std::string_view pattern) {
  Reader reader(pattern);
  if (!reader.readGroups()) return {};
  std::string literal = reader.longestRun();
  if (literal.size() < 2) return {};
  return literal;
}

}  // namespace engine
