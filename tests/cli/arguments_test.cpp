#include "cli/arguments.h"

#include <gtest/gtest.h>

#include "cli/confirmation.h"

namespace cli {
namespace {

Arguments parse(std::vector<std::string> args) { return parseArguments(args); }

std::string usageReason(std::vector<std::string> args) {
  try {
    parseArguments(args);
  } catch (const UsageError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(CliAnswerTest, OnlyAnExplicitYesProceeds) {
  for (const char* yes : {"y", "Y", "yes", "YES", "Yes", "д", "Д", "да", "Да", "ДА", "дА",
                          "  да  ", "yes\r\n", "\tд\n"}) {
    EXPECT_TRUE(isExplicitYes(yes)) << yes;
  }
  for (const char* no : {"", " ", "\n", "n", "no", "нет", "yess", "ye", "да да", "y es", "j",
                         "ok", "1", "д\xD0", "\xD0"}) {
    EXPECT_FALSE(isExplicitYes(no)) << no;
  }
}

TEST(CliWarningTest, TerminalLineEnds) {
  EXPECT_EQ(forTerminal("a\r\nb\r\n\r\nc\rd\n"), "a\nb\n\nc\rd\n");
}

TEST(CliArgumentsTest, OptionsAndTheirValues) {
  const Arguments a = parse({"--find=a=b", "--replace", "--yes", "--ignore-case",
                             "--include-binary", "--ext", " txt ", "--codepage=KOI8-R",
                             "--dry-run", "--skip-unmatched", "dir"});
  EXPECT_EQ(a.find, "a=b");
  EXPECT_EQ(a.replace, "--yes");  // a value is taken whatever it looks like
  EXPECT_FALSE(a.yes);
  EXPECT_TRUE(a.ignoreCase);
  EXPECT_TRUE(a.includeBinary);
  EXPECT_EQ(a.extension, ".txt");
  EXPECT_EQ(a.codePage, "KOI8-R");
  EXPECT_TRUE(a.dryRun);
  EXPECT_TRUE(a.skipUnmatched);
  EXPECT_EQ(a.path, "dir");

  const Arguments defaults = parse({"--find", "a", "--replace", "", "p"});
  EXPECT_FALSE(defaults.ignoreCase);
  EXPECT_FALSE(defaults.includeBinary);
  EXPECT_FALSE(defaults.yes);
  EXPECT_EQ(defaults.extension, "");
  EXPECT_FALSE(defaults.codePage);
  EXPECT_EQ(defaults.replace, "");

  EXPECT_EQ(parse({"--find", "a", "--replace", "b", "--", "--yes"}).path, "--yes");
  EXPECT_EQ(parse({"--find", "a", "--replace", "b", "-"}).path, "-");
  EXPECT_EQ(parse({"--find-file", "f", "--replace-file", "g", "p"}).findFile, "f");
  EXPECT_FALSE(parse({"--find", "a", "--dry-run", "p"}).replace);
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
}

TEST(CliArgumentsTest, CommandLinesThatCannotRun) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--find", "a", "--replace", "b"}, "не указан путь"},
      {{"--find", "a", "--replace", "b", "p", "q"}, "больше одного пути"},
      {{"--find", "a", "--replace", "b", ""}, "путь пуст"},
      {{"--replace", "b", "p"}, "не указан искомый текст"},
      {{"--find", "", "--replace", "b", "p"}, "искомый текст пуст"},
      {{"--find", "a", "p"}, "не указан текст замены"},
      {{"--find", "a", "--find-file", "f", "--replace", "b", "p"}, "--find и --find-file"},
      {{"--find", "a", "--replace", "b", "--replace-file", "f", "p"}, "--replace и --replace-file"},
      {{"--find", "a", "--find", "b", "--replace", "b", "p"}, "--find указан дважды"},
      {{"--ext", "", "--ext", "txt", "--find", "a", "--replace", "b", "p"}, "--ext указан дважды"},
      {{"--find", "a", "--replace", "b", "--yes=1", "p"}, "--yes не принимает значения"},
      {{"--find", "a", "--replace", "b", "--frobnicate", "p"}, "неизвестный параметр --frobnicate"},
      {{"--find", "a", "--replace", "b", "-y", "p"}, "неизвестный параметр -y"},
      {{"--replace", "b", "p", "--find"}, "у параметра --find нет значения"},
      {{"--help", "--bogus"}, "неизвестный параметр --bogus"},
  };
  for (const auto& [args, reason] : cases) {
    EXPECT_NE(usageReason(args).find(reason), std::string::npos)
        << "expected «" << reason << "», got «" << usageReason(args) << "»";
  }
}

}  // namespace
}  // namespace cli
