// The words both faces share: counts of files with their plural form, texts cut for a question,
// sizes on disk.
#include "engine/run/messages.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/error.h"

#include <string>
#include <utility>
#include <vector>

namespace engine {
namespace {

TEST(MessagesTest, FileCountsTakeTheRussianPluralForm) {
  const std::vector<std::pair<std::size_t, const char*>> cases = {
      {0, "0 файлов"},     {1, "1 файл"},       {2, "2 файла"},     {4, "4 файла"},
      {5, "5 файлов"},     {11, "11 файлов"},   {12, "12 файлов"},  {14, "14 файлов"},
      {21, "21 файл"},     {22, "22 файла"},    {25, "25 файлов"},  {101, "101 файл"},
      {111, "111 файлов"}, {1001, "1001 файл"}, {20000, "20000 файлов"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(FilesText(count), text) << count;
}

TEST(MessagesTest, TextsAreCutByCharacterNeverInsideOne) {
  const std::string forty(40, 'x');
  EXPECT_EQ(Shortened(forty), forty);
  EXPECT_EQ(Shortened(forty + "y"), forty + "…");
  // Forty Cyrillic letters are eighty bytes: cut after the fortieth letter, not the fortieth byte.
  std::string cyrillic;
  for (int i = 0; i < 41; ++i) cyrillic += "ж";
  EXPECT_EQ(Shortened(cyrillic), cyrillic.substr(0, 80) + "…");
  EXPECT_EQ(Shortened("ё", 0), "…");
}

TEST(MessagesTest, NamesAreShownWithoutAnythingATerminalWouldObey) {
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

TEST(MessagesTest, SizesAsPeopleReadThem) {
  EXPECT_EQ(SizeText(0), "0 КБ");
  EXPECT_EQ(SizeText(1), "1 КБ");
  EXPECT_EQ(SizeText(1536 * 1024), "1,5 МБ");
  EXPECT_EQ(SizeText(3ull << 30), "3,0 ГБ");
}

}  // namespace
}  // namespace engine

namespace platform {
namespace {

// Each system error keeps its cause and says what failed and why; one the program has no words
// for shows the system's own after its number.
TEST(ErrorTest, SystemErrorsSayWhatFailedAndWhy) {
  struct Case {
    int err;
    int number;
    const char* why;
  };
  const std::vector<Case> cases = {
      {ENOENT, kNotFound, "файл или папка не найдены"},
      {EACCES, kAccessRefused, "доступ запрещён"},
      {EPERM, kAccessRefused, "операция не разрешена"},
      {EROFS, kAccessRefused, "файловая система только для чтения"},
      {ETXTBSY, kAccessRefused, "файл занят"},
      {ENOSPC, kDiskFull, "диск заполнен"},
      {EDQUOT, kDiskFull, "превышена дисковая квота"},
      {EISDIR, kIsFolder, "это папка, а не файл"},
      {ELOOP, kRefusedAttribute, "это символическая ссылка"},
      {ENAMETOOLONG, kBadName, "слишком длинное имя"},
      {EIO, kIoError, "ошибка ввода-вывода (системная ошибка 5)"},
  };
  for (const Case& c : cases) {
    const Error e = systemError(c.err, "Не удалось открыть файл");
    EXPECT_EQ(e.number(), c.number) << c.err;
    EXPECT_EQ(e.description(), std::string("Не удалось открыть файл: ") + c.why) << c.err;
    EXPECT_EQ(e.cause(), std::error_code(c.err, std::generic_category()));
  }
  const Error unknown = systemError(EXDEV, "Не удалось заменить файл");
  EXPECT_EQ(unknown.number(), kIoError);
  const std::string prefix = "Не удалось заменить файл: системная ошибка 18 (";
  EXPECT_TRUE(unknown.description().starts_with(prefix)) << unknown.description();
  EXPECT_GT(unknown.description().size(), prefix.size() + 2) << "the system's own words follow";
}

}  // namespace
}  // namespace platform
