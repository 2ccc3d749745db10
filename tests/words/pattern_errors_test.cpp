// Every error PCRE2 can give for a regular expression is told in Russian.
#include "words/pattern_errors.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <set>
#include <string>

namespace words {
namespace {

TEST(PatternErrorsTest, EveryCompileErrorOfTheLibraryHasRussianWords) {
  std::set<std::string> seen;
  int codes = 0;
  for (int code = 101; code <= 199; ++code) {
    PCRE2_UCHAR english[256];
    if (pcre2_get_error_message(code, english, sizeof english) < 0) continue;
    ++codes;
    const std::string words = PatternErrorWords(code, reinterpret_cast<const char*>(english));
    // Cyrillic letters begin with 0xD0 or 0xD1 in UTF-8.
    EXPECT_NE(words.find_first_of("\xD0\xD1"), std::string::npos) << code << ": " << words;
    EXPECT_TRUE(seen.insert(words).second) << "two codes read alike: " << words;
  }
  EXPECT_GE(codes, 99) << "PCRE2 10.42 has codes 101 to 199";
  EXPECT_EQ(PatternErrorWords(250, "new words"), "(new words)");
}

}  // namespace
}  // namespace words
