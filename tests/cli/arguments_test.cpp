#include "cli/arguments.h"

#include <gtest/gtest.h>

#include "cli/confirmation.h"
#include "cli/review.h"

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

TEST(CliAnswerTest, ReplaceAnswersInEitherCaseAndInRussian) {
  const std::vector<std::pair<std::string, std::optional<Answer>>> cases = {
      {"y", Answer::Yes},   {"Y", Answer::Yes},        {"yes", Answer::Yes},
      {"Да", Answer::Yes},  {"д", Answer::Yes},        {" ДА \n", Answer::Yes},
      {"n", Answer::No},    {"NO", Answer::No},        {"н", Answer::No},
      {"Нет", Answer::No},  {"A", Answer::RestOfFile}, {"d", Answer::NoneOfFile},
      {"Q", Answer::Quit},  {"?", std::nullopt},       {"", std::nullopt},
      {"yy", std::nullopt}, {"да нет", std::nullopt},  {"\xD0", std::nullopt},
  };
  for (const auto& [typed, answer] : cases) EXPECT_EQ(ReplaceAnswer(typed), answer) << typed;
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
  EXPECT_EQ(a.extensions, std::vector<std::string>{".txt"});
  EXPECT_EQ(a.codePage, "KOI8-R");
  EXPECT_TRUE(a.dryRun);
  EXPECT_FALSE(a.rewriteAll);
  EXPECT_EQ(a.paths, std::vector<std::string>{"dir"});

  const Arguments defaults = parse({"--find", "a", "--replace", "", "p"});
  EXPECT_FALSE(defaults.ignoreCase || defaults.includeBinary || defaults.yes);
  EXPECT_TRUE(defaults.extensions.empty());
  EXPECT_FALSE(defaults.codePage);
  EXPECT_EQ(defaults.replace, "");

  EXPECT_EQ(parse({"--find", "a", "--replace", "b", "--", "--yes"}).paths,
            std::vector<std::string>{"--yes"});
  EXPECT_EQ(parse({"--find", "a", "--replace", "b", "-"}).paths, std::vector<std::string>{"-"});
  EXPECT_EQ(parse({"--find-file", "f", "--replace-file", "g", "p"}).findFile, "f");
  EXPECT_FALSE(parse({"--find", "a", "--dry-run", "p"}).replace);
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_TRUE(parse({"-V"}).version);
}

TEST(CliArgumentsTest, TheFormsPeopleType) {
  // Short options, joined or not, with their values attached or following.
  Arguments a = parse({"-iyB", "-n", "-H", "-e", "txt", "-emd,*.rs", "old", "new", "a", "b/"});
  EXPECT_TRUE(a.ignoreCase && a.yes && a.includeBinary && a.dryRun && a.hidden);
  EXPECT_EQ(a.extensions, (std::vector<std::string>{".txt", ".md", ".rs"}));
  // sd's and rpl's order: FIND REPLACE PATH…, the paths in the order given.
  EXPECT_EQ(a.find, "old");
  EXPECT_EQ(a.replace, "new");
  EXPECT_EQ(a.paths, (std::vector<std::string>{"a", "b/"}));
  a = parse({"--find", "x", "--replace", "y", "p", "q", "r"});
  EXPECT_EQ(a.paths, (std::vector<std::string>{"p", "q", "r"}));
  for (const char* ext : {"txt", ".txt", "*.txt", " txt "}) {
    EXPECT_EQ(NormalizeCliExtension(ext), ".txt") << ext;
  }
  EXPECT_TRUE(parse({"--rewrite-all", "x", "y", "p"}).rewriteAll);
  a = parse({"-n", "--undo", "12"});
  EXPECT_TRUE(a.dryRun);
  EXPECT_EQ(a.undo, "12");
  a = parse({"--forget", "all", "-y"});
  EXPECT_EQ(a.forget, "all");
  EXPECT_TRUE(a.yes);
}

TEST(CliArgumentsTest, SizesForMaxSize) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"1000", 1000},
      {"10M", 10ULL << 20},
      {"2g", 2ULL << 30},
      {"5T", 5ULL << 40},
      {"1k", 1024},
      {"0", std::nullopt},
      {"", std::nullopt},
      {"10MB", std::nullopt},
      {"1.5G", std::nullopt},
      {"-1", std::nullopt},
      {"G", std::nullopt},
      {"99999999999T", std::nullopt},  // more than 64 bits hold
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(ParseSize(text), bytes) << text;
  EXPECT_EQ(parse({"--max-size", "2G", "x", "y", "p"}).maxSize, 2ULL << 30);
}

TEST(CliArgumentsTest, CommandLinesThatCannotRun) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--find", "a", "--replace", "b"}, "не указан путь"},
      {{"--find", "a", "--replace", "b", ""}, "путь пуст"},
      {{"--replace", "b", "p"}, "не указан искомый текст"},
      {{"a", "b"}, "ИСКОМОЕ ЗАМЕНА ПУТЬ"},
      {{}, "не указан искомый текст"},
      {{"--find", "", "--replace", "b", "p"}, "искомый текст пуст"},
      {{"--find", "a", "p"}, "не указан текст замены"},
      {{"--find", "a", "--find-file", "f", "--replace", "b", "p"}, "--find и --find-file"},
      {{"--find", "a", "--replace", "b", "--replace-file", "f", "p"}, "--replace и --replace-file"},
      {{"--find", "a", "--find", "b", "--replace", "b", "p"}, "указаны не поровну"},
      {{"--skip-unmatched", "--rewrite-all", "a", "b", "p"}, "вместе не указываются"},
      {{"--find", "a", "--replace", "b", "--yes=1", "p"}, "--yes не принимает значения"},
      {{"--find", "a", "--replace", "b", "--frobnicate", "p"}, "неизвестный параметр --frobnicate"},
      {{"-iz", "a", "b", "p"}, "неизвестный параметр -z"},
      {{"a", "b", "p", "-e"}, "у параметра -e нет значения"},
      {{"--replace", "b", "p", "--find"}, "у параметра --find нет значения"},
      {{"--help", "--bogus"}, "неизвестный параметр --bogus"},
      // Taking runs back, listing and dropping them know only their own options.
      {{"--undo", "-i"}, "--ignore-case не применяется к --undo"},
      {{"--undo", "--jobs", "2"}, "--jobs не применяется к --undo"},
      {{"-e", "txt", "--undo"}, "--ext не применяется к --undo"},
      {{"--runs", "-y"}, "--yes не применяется к --runs"},
      {{"--forget", "all", "-n"}, "--dry-run не применяется к --forget"},
      {{"--undo", "x", "y"}, "не принимает ни текстов, ни путей"},
      {{"--forget"}, "у параметра --forget нет значения"},
      // Patterns that can name no file, and a size limit standard input would not keep.
      {{"--include", "/", "a", "b", "p"}, "--include: шаблон «/» не подходит ни к одному"},
      {{"--include", "!", "a", "b", "p"}, "--include: шаблон «!» не подходит"},
      {{"--include", "//", "a", "b", "p"}, "--include: шаблон «//» не подходит"},
      {{"--exclude", "!/", "a", "b", "p"}, "--exclude: шаблон «!/» не подходит"},
      {{"--exclude", "   ", "a", "b", "p"}, "--exclude: шаблон «   » не подходит"},
      {{"--max-size", "1K", "a", "b", "-"}, "--max-size не применяется к -"},
  };
  for (const auto& [args, reason] : cases) {
    EXPECT_NE(usageReason(args).find(reason), std::string::npos)
        << "expected «" << reason << "», got «" << usageReason(args) << "»";
  }
}

}  // namespace
}  // namespace cli
