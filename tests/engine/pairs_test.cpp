// Several find texts replaced at once: the pairs file's rules, and one scan of each file where
// the leftmost occurrence wins, then the longest, then the first pair listed, in every encoding
// and wherever the pieces of a file end.
#include "engine/text/pairs.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/run/run.h"
#include "engine/text/utf16.h"
#include "platform/code_page.h"
#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::TempTree;

TEST(PairsFileTest, EscapesCommentsAndRefusalsWithTheirLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Pair> pairs;          // when read
    std::optional<PairsFault> fault;  // when refused
  };
  const std::vector<Case> cases = {
      {"escapes, comments, CR LF, a mark",
       "\xEF\xBB\xBF# renames\r\n\r\nold\\tname\tnew\\nname\\\\\r\n\\#tag\t#tag2\n\\d+\tN\n",
       {{"old\tname", "new\nname\\", 3}, {"#tag", "#tag2", 4}, {"\\d+", "N", 5}},
       std::nullopt},
      {"a deletion, and a pair given twice taken once",
       "a\t\nb\tc\na\t\n",
       {{"a", "", 1}, {"b", "c", 2}},
       std::nullopt},
      {"no tab", "a\tb\n\nfoo bar\n", {}, PairsFault{PairsWhy::NoTab, 3, 0}},
      {"a second tab", "a\tb\tc\n", {}, PairsFault{PairsWhy::SecondTab, 1, 0}},
      {"an empty find text", "x\ty\n\tz\n", {}, PairsFault{PairsWhy::EmptyFind, 2, 0}},
      {"the same find text, another replacement",
       "foo\tbar\n#\nbaz\tq\nfoo\tqux\n",
       {},
       PairsFault{PairsWhy::Conflict, 4, 1}},
      {"not UTF-8", "a\tb\n\xC0\xC1\tc\n", {}, PairsFault{PairsWhy::NotUtf8, 2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadPairs read = ParsePairs(c.text);
    EXPECT_EQ(read.pairs, c.pairs);
    ASSERT_EQ(read.fault.has_value(), c.fault.has_value());
    if (c.fault) {
      EXPECT_EQ(read.fault->why, c.fault->why);
      EXPECT_EQ(read.fault->line, c.fault->line);
      EXPECT_EQ(read.fault->earlier, c.fault->earlier);
    }
  }
}

class PairsRunTest : public ::testing::Test {
 protected:
  PairsRunTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  TempTree tree;

 private:
  TempTree m_temp;
  testing_support::ScopedEnv m_env;
};

TEST_F(PairsRunTest, LeftmostThenLongestThenFirstListedInEveryEncodingAndPiece) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Pair> pairs;
    std::string expected;
    std::vector<std::size_t> perPair;  // replacements of each pair
    bool ignoreCase = false, words = false, keepCase = false, regex = false;
  };
  const std::vector<Case> cases = {
      {"a swap", "foo bar barfoo", {{"foo", "bar"}, {"bar", "foo"}}, "bar foo foobar", {2, 2}},
      {"the longest at a place",
       "foobar foo fo",
       {{"foo", "X"}, {"foobar", "Y"}, {"fo", "Z"}},
       "Y X Z",
       {1, 1, 1}},
      {"the leftmost before the longer",
       "xfoobar",
       {{"foobar", "Y"}, {"xf", "Z"}},
       "Zoobar",
       {0, 1}},
      {"no replacement searched again",
       "aab",
       {{"a", "aa"}, {"aa", "b"}, {"b", "a"}},
       "ba",
       {0, 1, 1}},
      {"a line break of either kind",
       "a\r\nb a\nb ab",
       {{"a\nb", "<\n>"}, {"b", "B"}},
       "<\r\n> <\n> aB",
       {2, 1}},
      {"the first listed of texts alike without case",
       "Foo fOO",
       {{"foo", "a"}, {"FOO", "b"}},
       "a a",
       {2, 0},
       true},
      {"cyrillic without case",
       "Ёлка ёЛКА ёлочка",
       {{"ёлка", "ель"}, {"ёлочка", "ель2"}},
       "ель ель ель2",
       {2, 1},
       true},
      {"whole words try the shorter",
       "foobarx foo foobar",
       {{"foobar", "Y"}, {"foo", "X"}},
       "foobarx X Y",
       {1, 1},
       false,
       true},
      {"each occurrence in its own case",
       "Foo BAR baz",
       {{"foo", "qux"}, {"bar", "zap"}},
       "Qux ZAP baz",
       {1, 1},
       true,
       false,
       true},
      {"patterns, leftmost-first, each its own groups",
       "id_12 x7 ab",
       {{"id_(\\d+)", "N$1"}, {"x(\\d)", "Y$1$1"}, {"a", "1"}, {"ab", "2"}},
       "N12 Y77 1b",
       {1, 1, 1, 0},
       false,
       false,
       false,
       true},
  };
  const auto cp1251 = platform::CodePage::byName("CP1251");
  ASSERT_TRUE(cp1251);
  enum class Kind { Utf8, Cp1251, Utf16 };
  // Literal pairs are looked for in the files' own bytes; a pair with a line break (which
  // matches CR LF and LF alike) sends every pair through the pattern instead: both must agree.
  const Pair viaPattern{"\x01\n", "-", 0};
  for (const Case& c : cases) {
    for (const bool pattern : {false, true}) {
      for (const Kind kind : {Kind::Utf8, Kind::Cp1251, Kind::Utf16}) {
        for (const std::size_t chunk : {std::size_t{4}, std::size_t{7}, ChunkSize}) {
          SCOPED_TRACE(std::string(c.name) + ", kind " + std::to_string(static_cast<int>(kind)) +
                       ", chunk " + std::to_string(chunk) + (pattern ? ", as a pattern" : ""));
          const auto bytes = [&](const std::string& utf8) {
            if (kind == Kind::Cp1251) return cp1251->encode(utf8);
            if (kind == Kind::Utf16) return "\xFF\xFE" + utf16::Encode(utf8, false);
            return utf8;
          };
          const std::string path = tree.write("f.txt", bytes(c.text));
          testing_support::RunSetup s;
          s.targets = {testing_support::FileTarget(path)};
          s.options.pairs = c.pairs;
          if (pattern) s.options.pairs.push_back(viaPattern);
          for (std::size_t k = 0; k < s.options.pairs.size(); ++k) s.options.pairs[k].line = k + 1;
          s.options.findText = c.pairs.front().find;
          s.options.replaceText = c.pairs.front().replace;
          s.options.caseSensitive = !c.ignoreCase;
          s.options.wholeWords = c.words;
          s.options.preserveCase = c.keepCase;
          s.options.regex = c.regex;
          s.options.encoding = kind == Kind::Cp1251 ? Encoding::CodePage : Encoding::Auto;
          s.chunkSize = chunk;
          const auto run = testing_support::Record(s);
          EXPECT_FALSE(run.outcome.tally.failed()) << run.transcript;
          EXPECT_EQ(readFile(path), bytes(c.expected));
          std::vector<std::size_t> counts = run.outcome.tally.perPair;
          counts.resize(c.perPair.size());
          EXPECT_EQ(counts, c.perPair);
        }
      }
    }
  }
}

// Occurrences that overlap every way, in a file of several stretches of the literal search
// (1 MiB each), with characters that fold to fewer bytes: the same result as the pattern's.
TEST_F(PairsRunTest, LiteralSearchAgreesWithThePatternAcrossItsStretches) {
  const std::vector<std::string> tokens = {"a", "b", "ab", "ё", "Ё", "\xE2\x84\xAA", "k", " "};
  std::string text;
  std::uint64_t seed = 42;
  while (text.size() < (3u << 20) + 777) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    text += tokens[(seed >> 33) % tokens.size()];
  }
  const std::vector<Pair> pairs = {{"ab", "1", 1}, {"aba", "2", 2}, {"bab", "3", 3},
                                   {"ёa", "4", 4}, {"k", "5", 5},   {"b ", "6", 6},
                                   {"a", "7", 7},  {"ёab", "8", 8}};
  for (const bool ignoreCase : {false, true}) {
    for (const bool utf16 : {false, true}) {
      if (utf16 && ignoreCase) continue;  // searched by the pattern alone
      SCOPED_TRACE(std::string(ignoreCase ? "without case" : "with case") +
                   (utf16 ? ", UTF-16" : ", UTF-8"));
      const std::string bytes = utf16 ? "\xFF\xFE" + utf16::Encode(text, false) : text;
      std::string results[2];
      for (const bool pattern : {false, true}) {
        const std::string path = tree.write(pattern ? "p.txt" : "l.txt", bytes);
        testing_support::RunSetup s;
        s.targets = {testing_support::FileTarget(path)};
        s.options.pairs = pairs;
        if (pattern) s.options.pairs.push_back({"\x01\n", "-", 9});
        s.options.findText = pairs.front().find;
        s.options.caseSensitive = !ignoreCase;
        const auto run = testing_support::Record(s);
        EXPECT_FALSE(run.outcome.tally.failed()) << run.transcript;
        results[pattern] = readFile(path);
      }
      EXPECT_NE(results[0], bytes);
      EXPECT_TRUE(results[0] == results[1]) << "the literal search differs from the pattern";
    }
  }
}

}  // namespace
}  // namespace engine
