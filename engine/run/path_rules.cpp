#include "engine/run/path_rules.h"

#include <cctype>
#include <algorithm>
#include <cstring>
#include <utility>

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

}  // namespace

Glob::Glob(std::string pattern) : m_pattern(std::move(pattern)) {
  const std::string_view p = m_pattern;
  for (std::size_t pi = 0; pi < p.size();) {
    const char c = p[pi];
    if (c == '*') {
      std::size_t stars = pi;
      while (stars < p.size() && p[stars] == '*') ++stars;
      const bool alone = stars - pi >= 2 && (pi == 0 || p[pi - 1] == '/') &&
                         (stars == p.size() || p[stars] == '/');
      if (alone && stars == p.size()) {
        m_steps.push_back({Step::Rest});
        break;
      }
      m_steps.push_back({alone ? Step::Folders : Step::Name});
      pi = alone ? stars + 1 : stars;
      continue;
    }
    if (c == '?') {
      m_steps.push_back({Step::AnyByte});
      ++pi;
      continue;
    }
    if (c == '[') {
      // A bracket's length does not depend on the character it is tried on.
      bool unused = false;
      const std::size_t length = bracket(p.substr(pi), 0, unused);
      if (length > 0) {
        m_steps.push_back({Step::Bracket, 0, pi});
        pi += length;
        continue;
      }
    }
    const bool escaped = c == '\\' && pi + 1 < p.size();
    m_steps.push_back({Step::Byte, static_cast<unsigned char>(escaped ? p[pi + 1] : c)});
    pi += escaped ? 2 : 1;
  }
}

// The steps reached are kept as a set, one flag per step, and the path is read once: each byte
// costs one look at every step, however many stars the pattern has, where trying each way a
// star could match took time exponential in their number.
bool Glob::matches(std::string_view path) const {
  constexpr unsigned char kAt = 1;      // at the step's start
  constexpr unsigned char kInside = 2;  // inside a "**/": folders read, the last "/" not yet
  const std::size_t n = m_steps.size();
  constexpr std::size_t kSmall = 64;
  unsigned char small[2][kSmall + 1];
  std::vector<unsigned char> large;
  unsigned char* now = small[0];
  unsigned char* next = small[1];
  if (n + 1 > kSmall + 1) {
    large.resize(2 * (n + 1));
    now = large.data();
    next = large.data() + n + 1;
  }
  std::fill(now, now + n + 1, 0);
  now[0] = kAt;
  // Steps that may match nothing lead on at once; "x/**" matches whatever is left.
  const auto settle = [&](unsigned char* reached) {
    for (std::size_t i = 0; i < n; ++i) {
      if ((reached[i] & kAt) == 0) continue;
      if (m_steps[i].kind == Step::Rest) return true;
      if (m_steps[i].kind == Step::Name || m_steps[i].kind == Step::Folders) reached[i + 1] |= kAt;
    }
    return false;
  };
  if (settle(now)) return true;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    std::fill(next, next + n + 1, 0);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char here = now[i];
      if (here == 0) continue;
      const Step& s = m_steps[i];
      bool on = false;
      switch (s.kind) {
        case Step::Byte:
          on = c == s.byte;
          break;
        case Step::AnyByte:
          on = c != '/';
          break;
        case Step::Bracket: {
          bool inside = false;
          bracket(std::string_view(m_pattern).substr(s.at), c, inside);
          on = inside && c != '/';
          break;
        }
        case Step::Name:
          if (c != '/') next[i] |= kAt;
          any |= c != '/';
          break;
        case Step::Folders:
          next[i] |= kInside;
          any = true;
          on = c == '/';
          break;
        case Step::Rest:
          break;
      }
      if (on) next[i + 1] |= kAt;
      any |= on;
    }
    if (!any) return false;
    if (settle(next)) return true;
    std::swap(now, next);
  }
  return (now[n] & kAt) != 0;
}

bool GlobMatches(std::string_view pattern, std::string_view path) {
  return Glob(std::string(pattern)).matches(path);
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
  if (p.empty()) return false;  // "//": the walked folder itself, no file below it
  rule.glob = Glob(std::string(p));
  m_rules.push_back(std::move(rule));
  return true;
}

std::optional<bool> PathRules::leavesOut(std::string_view relative, bool folder) const {
  const std::size_t slash = relative.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
  std::optional<bool> verdict;
  for (const Rule& r : m_rules) {
    if (r.folderOnly && !folder) continue;
    if (!r.glob.matches(r.onPath ? relative : name)) continue;
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
