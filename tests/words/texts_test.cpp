// The words both faces share: counts of files with their plural form, texts cut for a question,
// sizes on disk.
#include "words/texts.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace words {
namespace {

TEST(TextsTest, FileCountsTakeTheRussianPluralForm) {
  const std::vector<std::pair<std::size_t, const char*>> cases = {
      {0, "0 файлов"},     {1, "1 файл"},       {2, "2 файла"},     {4, "4 файла"},
      {5, "5 файлов"},     {11, "11 файлов"},   {12, "12 файлов"},  {14, "14 файлов"},
      {21, "21 файл"},     {22, "22 файла"},    {25, "25 файлов"},  {101, "101 файл"},
      {111, "111 файлов"}, {1001, "1001 файл"}, {20000, "20000 файлов"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(FilesText(count), text) << count;
}

TEST(TextsTest, TextsAreCutByCharacterNeverInsideOne) {
  const std::string forty(40, 'x');
  EXPECT_EQ(Shortened(forty), forty);
  EXPECT_EQ(Shortened(forty + "y"), forty + "…");
  // Forty Cyrillic letters are eighty bytes: cut after the fortieth letter, not the fortieth byte.
  std::string cyrillic;
  for (int i = 0; i < 41; ++i) cyrillic += "ж";
  EXPECT_EQ(Shortened(cyrillic), cyrillic.substr(0, 80) + "…");
  EXPECT_EQ(Shortened("ё", 0), "…");
}

TEST(TextsTest, NamesAreShownWithoutAnythingATerminalWouldObey) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/Привет ёж é.txt", "plain/Привет ёж é.txt"},
      {"csi\x9b" "31m", "csi\\x9b31m"},               // a raw C1 byte, not UTF-8
      {"c1\xc2\x9b", "c1\\u009b"},                    // the same control in UTF-8
      {"evil\xe2\x80\xaetxt.exe", "evil\\u202etxt.exe"},  // right-to-left override
      {"isolate\xe2\x81\xa6x\xe2\x81\xa9", "isolate\\u2066x\\u2069"},
      {"mark\xe2\x80\x8f", "mark\\u200f"},
      {"cp1251-\xcf\xf0\xe8", "cp1251-\\xcf\\xf0\\xe8"},
      {"cut\xd0", "cut\\xd0"},
      {"esc\x1b[0m\n\t\x7f", "esc\\x1b[0m\\n\\t\\x7f"},
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(ShownPath(name), shown) << shown;
}

TEST(TextsTest, SizesAsPeopleReadThem) {
  EXPECT_EQ(SizeText(0), "0 КБ");
  EXPECT_EQ(SizeText(1), "1 КБ");
  EXPECT_EQ(SizeText(1536 * 1024), "1,5 МБ");
  EXPECT_EQ(SizeText(3ull << 30), "3,0 ГБ");
}

}  // namespace
}  // namespace words

