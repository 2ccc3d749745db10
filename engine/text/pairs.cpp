#include "engine/text/pairs.h"

#include <map>
#include <memory>
#include <unordered_map>

#include "engine/text/pattern_source.h"
#include "engine/text/utf8.h"

namespace engine {
namespace {

// A line's text with its escapes read.
std::string unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[i + 1]) {
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case '\\':
        out += '\\';
        break;
      case '#':
        out += '#';
        break;
      default:
        out += '\\';
        continue;  // the backslash stays, and the character after it
    }
    ++i;
  }
  return out;
}

// One character of a literal text in an expression.
void appendLiteral(std::string& out, std::string_view character) {
  if (character.size() == 1 &&
      std::string_view("\\^$.|?*+()[]{}#").find(character[0]) != std::string_view::npos) {
    out += '\\';
  }
  out += character;
}

// The tree of the literal texts: a node for each text's beginning.
struct Node {
  std::vector<std::pair<std::string, std::unique_ptr<Node>>> next;  // in the order first met
  std::int64_t pair = -1;                                           // a text ends here: its pair

  Node* child(const std::string& character) {
    for (auto& [c, node] : next) {
      if (c == character) return node.get();
    }
    next.emplace_back(character, std::make_unique<Node>());
    return next.back().second.get();
  }
};

// The characters of `text` as the tree takes them: a line break as one (CR LF or LF), each
// character folded under `ignoreCase`.
std::vector<std::string> charactersOf(std::string_view text, bool ignoreCase, bool breaks) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size();) {
    if (breaks && text[i] == '\n') {
      out.emplace_back("\n");
      ++i;
      continue;
    }
    if (breaks && text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out.emplace_back("\n");
      i += 2;
      continue;
    }
    std::size_t n = 1;
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    std::string c(text.substr(i, n));
    out.push_back(ignoreCase ? utf8::fold(c) : c);
    i += n;
  }
  return out;
}

// The node's expression: its branches, longer before shorter. Chains of single branches are
// walked without recursion; a branch point nests.
void appendNode(std::string& out, const Node* node, bool breaks) {
  for (;;) {
    if (node->next.size() == 1 && node->pair < 0) {
      const auto& [c, child] = node->next.front();
      if (breaks && c == "\n") {
        out += "(?:\\r\\n|\\n)";
      } else {
        appendLiteral(out, c);
      }
      node = child.get();
      continue;
    }
    if (node->next.empty()) {
      out += "(*MARK:" + std::to_string(node->pair) + ")";
      return;
    }
    out += "(?:";
    bool first = true;
    for (const auto& [c, child] : node->next) {
      if (!first) out += '|';
      first = false;
      if (breaks && c == "\n") {
        out += "(?:\\r\\n|\\n)";
      } else {
        appendLiteral(out, c);
      }
      appendNode(out, child.get(), breaks);
    }
    if (node->pair >= 0) out += "|(*MARK:" + std::to_string(node->pair) + ")";
    out += ')';
    return;
  }
}

}  // namespace

std::optional<PairsFault> CheckPairs(std::vector<Pair>& pairs) {
  std::unordered_map<std::string, std::size_t> seen;  // find text -> its index
  std::vector<Pair> kept;
  kept.reserve(pairs.size());
  for (Pair& p : pairs) {
    if (p.find.empty()) return PairsFault{PairsWhy::EmptyFind, p.line, 0};
    const auto [at, added] = seen.emplace(p.find, kept.size());
    if (!added) {
      const Pair& earlier = kept[at->second];
      if (earlier.replace != p.replace) {
        return PairsFault{PairsWhy::Conflict, p.line, earlier.line};
      }
      continue;
    }
    kept.push_back(std::move(p));
  }
  pairs = std::move(kept);
  return std::nullopt;
}

ReadPairs ParsePairs(std::string_view text) {
  ReadPairs read;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!utf8::isValid(line)) {
      read.fault = PairsFault{PairsWhy::NotUtf8, number, 0};
      read.pairs.clear();
      return read;
    }
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
      read.fault = PairsFault{PairsWhy::NoTab, number, 0};
      read.pairs.clear();
      return read;
    }
    if (line.find('\t', tab + 1) != std::string_view::npos) {
      read.fault = PairsFault{PairsWhy::SecondTab, number, 0};
      read.pairs.clear();
      return read;
    }
    read.pairs.push_back({unescaped(line.substr(0, tab)), unescaped(line.substr(tab + 1)), number});
  }
  read.fault = CheckPairs(read.pairs);
  if (read.fault) read.pairs.clear();
  return read;
}

std::string PairsExpression(const std::vector<Pair>& pairs, bool regex, bool ignoreCase,
                            bool exactLineBreaks) {
  std::string out;
  if (regex) {
    // \E closes what a pair may leave open (a \Q), a line break an (?x) comment.
    out = "(?|";
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      const std::string_view find = pairs[k].find;
      const bool extended = MayBeExtended(find);
      if (k > 0) out += '|';
      out += "(?:";
      out += !exactLineBreaks && !extended ? WithEitherLineBreak(find) : std::string(find);
      out += extended ? "\\E\n)" : "\\E)";
      out += "(*MARK:" + std::to_string(k) + ")";
    }
    out += ')';
    return out;
  }
  Node root;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    Node* node = &root;
    for (const std::string& c : charactersOf(pairs[k].find, ignoreCase, !exactLineBreaks)) {
      node = node->child(c);
    }
    if (node->pair < 0) node->pair = static_cast<std::int64_t>(k);  // the first listed wins
  }
  appendNode(out, &root, !exactLineBreaks);
  return out;
}

std::optional<std::uint32_t> PairOfMark(std::string_view mark) {
  if (mark.empty() || mark.size() > 9) return std::nullopt;
  std::uint32_t k = 0;
  for (const char c : mark) {
    if (c < '0' || c > '9') return std::nullopt;
    k = k * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return k;
}

}  // namespace engine
