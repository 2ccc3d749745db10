// What makes an occurrence beyond its bytes: whole words only, and a replacement in the case of
// what it replaces; in UTF-8 and in a code page, and wherever the chunks of a file end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run/run.h"
#include "platform/code_page.h"
#include "tests/support/run_transcript.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::TempTree;

class OccurrenceRulesTest : public ::testing::Test {
 protected:
  OccurrenceRulesTest() : m_env("TMPDIR", m_temp.path().c_str()) {}

  TempTree tree;

 private:
  TempTree m_temp;
  testing_support::ScopedEnv m_env;
};

TEST_F(OccurrenceRulesTest, WholeWordsAndPreservedCaseInEveryEncodingAndChunk) {
  struct Case {
    const char* name;
    std::string text;
    std::string find, replace;
    bool words, keepCase;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"words of any script", "ёлка ёлками елка_ёлка 1ёлка (ёлка) ёлка", "ёлка", "сосна", true,
       false, "сосна ёлками елка_ёлка 1ёлка (сосна) сосна"},
      {"latin next to cyrillic", "catкот cat кот", "cat", "dog", true, false, "catкот dog кот"},
      {"digits and underscores", "x1 x x_ _x x", "x", "y", true, false, "x1 y x_ _x y"},
      {"each case its own", "ёлка Ёлка ЁЛКА ёЛка", "ёлка", "сосна", false, true,
       "сосна Сосна СОСНА сосна"},
      {"both", "Cat category CAT cat.", "cat", "dog", true, true, "Dog category DOG dog."},
  };
  const auto cp1251 = platform::CodePage::byName("CP1251");
  ASSERT_TRUE(cp1251);
  for (const Case& c : cases) {
    for (const bool page : {false, true}) {
      for (const std::size_t chunk : {std::size_t{8}, std::size_t{11}, ChunkSize}) {
        SCOPED_TRACE(std::string(c.name) + (page ? ", CP1251" : ", UTF-8") + ", chunk " +
                     std::to_string(chunk));
        const auto bytes = [&](const std::string& utf8) {
          return page ? cp1251->encode(utf8) : utf8;
        };
        const std::string path = tree.write("f.txt", bytes(c.text));
        testing_support::RunSetup s;
        s.targets = {testing_support::FileTarget(path)};
        s.options.findText = c.find;
        s.options.replaceText = c.replace;
        s.options.wholeWords = c.words;
        s.options.preserveCase = c.keepCase;
        s.options.caseSensitive = !c.keepCase;
        s.options.encoding = page ? Encoding::CodePage : Encoding::Utf8;
        s.chunkSize = chunk;
        const auto run = testing_support::Record(s);
        EXPECT_FALSE(run.outcome.tally.failed()) << run.transcript;
        EXPECT_EQ(readFile(path), bytes(c.expected));
      }
    }
  }
}

}  // namespace
}  // namespace engine

namespace engine {
namespace {

// A regular expression over whole files: groups, lines, empty matches, code pages, chunks that
// do not matter, a pattern too costly for one file, whole words; through the buffer and through
// the kernel's copies.
TEST_F(OccurrenceRulesTest, RegularExpressionsOverWholeFiles) {
  struct Case {
    const char* name;
    std::string text, find, replace;
    bool page, words;
    std::string expected;  // empty: the file fails and stays
  };
  const std::string costly = std::string(40, 'a') + "b";
  const std::vector<Case> cases = {
      {"groups by number", "Иван Петров, Пётр Сидоров", "(\\w+) (\\w+)", "$2 ${1}", false, false,
       "Петров Иван, Сидоров Пётр"},
      {"groups by name, in a code page", "Иван Петров", "(?<a>\\w+) (?<b>\\w+)", "${b} $$${a}",
       true, false, "Петров $Иван"},
      {"across lines", "begin\r\none\r\nend rest", "(?s)begin.*?end", "X", false, false,
       "X rest"},
      {"empty matches", "abc", "x*", "-", false, false, "-a-b-c-"},
      {"far beyond a chunk", "a" + std::string(100, '.') + "b", "a\\.+b", "ok", false, false, "ok"},
      {"whole words", "a1 22 b3 44", "\\d+", "N", false, true, "a1 N b3 N"},
      // The code page's text comes 8 characters at a time here: a match at a piece's end waits
      // for the character after it.
      {"whole words at a piece's end, in a code page", "абвгд 12ж 12 ы1234567812", "12", "N",
       true, true, "абвгд 12ж N ы1234567812"},
      {"far beyond a piece, in a code page", "ё" + std::string(100, '.') + "ж", "ё\\.+ж", "ok",
       true, false, "ok"},
      {"a replacement the code page cannot hold", "ёж", "ж", "☃", true, false, ""},
      {"too costly", costly, "(a+)+$", "x", false, false, ""},
  };
  const auto cp1251 = platform::CodePage::byName("CP1251");
  for (const Case& c : cases) {
    for (const std::uint64_t copyFrom : {CopyRangesFrom, std::uint64_t{0}}) {
      SCOPED_TRACE(std::string(c.name) + (copyFrom == 0 ? ", ranges copied" : ""));
      const auto bytes = [&](const std::string& utf8) {
        return c.page ? cp1251->encode(utf8) : utf8;
      };
      const std::string path = tree.write("f.txt", bytes(c.text));
      const std::string other = tree.write("g.txt", "ёж 12");  // converted after a failure
      testing_support::RunSetup s;
      s.targets = {testing_support::FileTarget(path), testing_support::FileTarget(other)};
      s.options.findText = c.find;
      s.options.replaceText = c.replace;
      s.options.regex = true;
      s.options.wholeWords = c.words;
      s.options.encoding = c.page ? Encoding::CodePage : Encoding::Utf8;
      s.chunkSize = 8;
      s.copyRangesFrom = copyFrom;
      const auto run = testing_support::Record(s);
      EXPECT_EQ(run.outcome.tally.failures, c.expected.empty() ? 1u : 0u) << run.transcript;
      EXPECT_EQ(readFile(path), c.expected.empty() ? bytes(c.text) : bytes(c.expected));
      EXPECT_EQ(run.items.size(), 2u) << "the run goes on after a file fails";
    }
  }
}

}  // namespace
}  // namespace engine
