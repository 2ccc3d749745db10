#include "engine/run/path_rules.h"

#include <cctype>
#include <cstring>

namespace engine {
namespace {

// A bracket expression at p[0] == '[' against the character `c`: its length in the pattern
// (through its "]") and whether it matched; length 0 when it has no "]", and "[" is itself.
std::size_t bracket(std::string_view p, unsigned char c, bool& matched) {
  std::size_t i = 1;
  bool negated = false;
  if (i < p.size() && (p[i] == '!' || p[i] == '^')) {
    negated = true;
    ++i;
  }
  bool any = false;
  bool first = true;
  for (; i < p.size(); first = false) {
    if (p[i] == ']' && !first) {
      matched = any != negated;
      return i + 1;
    }
    if (p[i] == '[' && i + 1 < p.size() && p[i + 1] == ':') {
      const std::size_t end = p.find(":]", i + 2);
      if (end == std::string_view::npos) return 0;
      const std::string name(p.substr(i + 2, end - i - 2));
      static const struct {
        const char* name;
        int (*test)(int);
      } kClasses[] = {{"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank},
                      {"cntrl", iscntrl}, {"digit", isdigit}, {"graph", isgraph},
                      {"lower", islower}, {"print", isprint}, {"punct", ispunct},
                      {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit}};
      bool known = false;
      for (const auto& k : kClasses) {
        if (name == k.name) {
          known = true;
          any |= c < 0x80 && k.test(c) != 0;
        }
      }
      if (!known) return 0;  // git gives up on the whole pattern; here "[" is itself
      i = end + 2;
      continue;
    }
    unsigned char low = static_cast<unsigned char>(p[i]);
    if (low == '\\' && i + 1 < p.size()) low = static_cast<unsigned char>(p[++i]);
    ++i;
    unsigned char high = low;
    if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
      high = static_cast<unsigned char>(p[i + 1]);
      if (high == '\\' && i + 2 < p.size()) high = static_cast<unsigned char>(p[++i + 1]);
      i += 2;
    }
    any |= low <= c && c <= high;
  }
  return 0;
}

bool matches(std::string_view p, std::string_view t) {
  std::size_t pi = 0;
  std::size_t ti = 0;
  while (pi < p.size()) {
    const char c = p[pi];
    if (c == '*') {
      std::size_t stars = pi;
      while (stars < p.size() && p[stars] == '*') ++stars;
      const bool alone = stars - pi >= 2 && (pi == 0 || p[pi - 1] == '/') &&
                         (stars == p.size() || p[stars] == '/');
      if (alone) {
        if (stars == p.size()) return true;  // "x/**": all that is left, folders included
        // "**/": no folder, or any number of them.
        const std::string_view rest = p.substr(stars + 1);
        if (matches(rest, t.substr(ti))) return true;
        for (std::size_t k = ti; k < t.size(); ++k) {
          if (t[k] == '/' && matches(rest, t.substr(k + 1))) return true;
        }
        return false;
      }
      const std::string_view rest = p.substr(stars);
      for (std::size_t k = ti;; ++k) {
        if (matches(rest, t.substr(k))) return true;
        if (k >= t.size() || t[k] == '/') return false;
      }
    }
    if (ti >= t.size()) return false;
    const auto tc = static_cast<unsigned char>(t[ti]);
    if (c == '?') {
      if (tc == '/') return false;
    } else if (c == '[') {
      bool inside = false;
      const std::size_t length = bracket(p.substr(pi), tc, inside);
      if (length > 0) {
        if (!inside || tc == '/') return false;
        pi += length;
        ++ti;
        continue;
      }
      if (tc != '[') return false;
    } else {
      char want = c;
      if (c == '\\' && pi + 1 < p.size()) want = p[++pi];
      if (static_cast<unsigned char>(want) != tc) return false;
    }
    ++pi;
    ++ti;
  }
  return ti == t.size();
}

}  // namespace

bool GlobMatches(std::string_view pattern, std::string_view path) {
  return matches(pattern, path);
}

PathRules::PathRules(const std::vector<std::string>& patterns) {
  for (const std::string& p : patterns) add(p);
}

bool PathRules::add(std::string_view line, bool fromFile) {
  Rule rule;
  rule.given = line;
  std::string_view p = line;
  if (fromFile && !p.empty() && p.back() == '\r') p.remove_suffix(1);
  // Trailing spaces go, unless escaped.
  while (!p.empty() && p.back() == ' ' && !(p.size() >= 2 && p[p.size() - 2] == '\\')) {
    p.remove_suffix(1);
  }
  if (p.empty() || (fromFile && p.front() == '#')) return false;
  if (p.front() == '!') {
    rule.negated = true;
    p.remove_prefix(1);
  } else if (p.size() >= 2 && p[0] == '\\' && (p[1] == '!' || p[1] == '#')) {
    p.remove_prefix(1);
  }
  if (!p.empty() && p.back() == '/') {
    rule.folderOnly = true;
    p.remove_suffix(1);
  }
  if (p.empty()) return false;
  rule.onPath = p.find('/') != std::string_view::npos;
  if (p.front() == '/') p.remove_prefix(1);
  rule.pattern = p;
  m_rules.push_back(std::move(rule));
  return true;
}

std::optional<bool> PathRules::leavesOut(std::string_view relative, bool folder) const {
  const std::size_t slash = relative.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
  std::optional<bool> verdict;
  for (const Rule& r : m_rules) {
    if (r.folderOnly && !folder) continue;
    if (!matches(r.pattern, r.onPath ? relative : name)) continue;
    r.used->store(true, std::memory_order_relaxed);
    verdict = !r.negated;
  }
  return verdict;
}

std::vector<std::string> PathRules::unused() const {
  std::vector<std::string> left;
  for (const Rule& r : m_rules) {
    if (!r.used->load(std::memory_order_relaxed)) left.push_back(r.given);
  }
  return left;
}

}  // namespace engine
