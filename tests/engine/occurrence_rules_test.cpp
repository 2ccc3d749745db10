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
