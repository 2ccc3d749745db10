// Every failure the program can raise has words, and the system's errors keep the ones users
// know.
#include "words/errors.h"

#include <cerrno>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace words {
namespace {

using platform::Error;
using platform::Step;
using platform::Why;

TEST(ErrorsTest, EveryStepAndEveryReasonHasWords) {
  std::set<std::string> steps;
  for (int s = 1; s <= static_cast<int>(Step::RestoreOriginal); ++s) {
    const std::string text = ErrorText(Error(platform::kIoError, static_cast<Step>(s), Why::Unknown));
    EXPECT_FALSE(text.empty()) << s;
    EXPECT_TRUE(steps.insert(text).second) << "two steps read alike: " << text;
  }
  for (int w = 1; w <= static_cast<int>(Why::PatternTooComplex); ++w) {
    if (static_cast<Why>(w) == Why::Unknown) continue;
    const Error e = Error(platform::kIoError, Step::None, static_cast<Why>(w)).about("x").with("p");
    EXPECT_FALSE(ReasonText(e).empty()) << w;
    EXPECT_EQ(ErrorText(e), ReasonText(e)) << "a reason alone, without a step: " << w;
  }
}

// Every errno has words: the program's own where users meet them, else the system's after
// the number. A failure reads "what failed: why".
TEST(ErrorsTest, EverySystemErrorSaysWhatFailedAndWhy) {
  for (int err = 1; err < 134; ++err) {
    const Error e = platform::systemError(err, Step::OpenFile);
    EXPECT_NE(e.number(), 0) << err;
    EXPECT_EQ(e.cause(), std::error_code(err, std::generic_category()));
    const std::string text = ErrorText(e);
    EXPECT_TRUE(text.starts_with("Не удалось открыть файл: ")) << text;
    EXPECT_GT(text.size(), std::string("Не удалось открыть файл: ").size() + 4) << err;
  }
  EXPECT_EQ(ErrorText(platform::systemError(EACCES, Step::ReplaceFile)),
            "Не удалось заменить файл: доступ запрещён");
  EXPECT_EQ(platform::systemError(ENOSPC, Step::WriteWorkFile).number(), platform::kDiskFull);
  const std::string unknown = ErrorText(platform::systemError(EXDEV, Step::ReplaceFile));
  EXPECT_TRUE(unknown.starts_with("Не удалось заменить файл: системная ошибка 18 (")) << unknown;
}

TEST(ErrorsTest, WordsNameWhatTheyAreAbout) {
  const Error page = Error(platform::kBadCharacter, Step::Recode, Why::NotInCodePage)
                         .about("ü")
                         .with("CP1251");
  EXPECT_EQ(ErrorText(page),
            "Не удалось перекодировать текст: символа «ü» (U+00FC) нет в кодовой странице CP1251");
  // A name from the disk never reaches the terminal raw.
  const Error run = Error(platform::kNotFound, Step::None, Why::NoSuchRun).about("x\x1b[2J");
  EXPECT_EQ(ErrorText(run), "нет замены «x\\x1b[2J»");
  const Error late = Error(platform::kChanged, Step::ReplaceFile, Why::ChangedByOther);
  EXPECT_TRUE(ErrorText(late).ends_with("его последние изменения не удалось сохранить"));
}

}  // namespace
}  // namespace words
