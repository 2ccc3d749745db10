// The shells' completions come from the table --help is made from: every option of the help is
// in each, each script is one its shell reads, and bash's offers what a user expects.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using testing_support::TempTree;

// The long options the help lists, and how each shell's script names one.
std::set<std::string> helpOptions(const std::string& help) {
  std::set<std::string> options;
  const std::regex option(R"(^  (?:-., )?(--[a-z-]+))");
  for (const std::string& line : cli_testing::lines(help)) {
    std::smatch m;
    if (std::regex_search(line, m, option)) options.insert(m[1]);
  }
  return options;
}

bool installed(const std::string& program) {
  return testing_support::run("command -v " + program + " >/dev/null") == 0;
}

TEST(CliCompletionsTest, EveryOptionOfTheHelpInEveryShellsScript) {
  TempTree temp, io;
  const auto help = cli_testing::runCli({"--help"}, temp.path());
  const std::set<std::string> options = helpOptions(help.out);
  ASSERT_GT(options.size(), 30u) << help.out;
  ASSERT_TRUE(options.contains("--pairs"));
  struct Shell {
    const char* name;
    const char* check;  // reads the script without running it
    bool (*has)(const std::string& script, const std::string& option);
  };
  const Shell shells[] = {
      {"bash", "bash -n",
       [](const std::string& s, const std::string& o) { return s.find(" " + o) != s.npos; }},
      {"zsh", "zsh -n",
       [](const std::string& s, const std::string& o) {
         return s.find("'" + o) != s.npos || s.find("," + o + "}") != s.npos;
       }},
      {"fish", "fish -n",
       [](const std::string& s, const std::string& o) {
         return s.find("-l " + o.substr(2) + " ") != s.npos;
       }},
  };
  for (const Shell& shell : shells) {
    SCOPED_TRACE(shell.name);
    const auto script = cli_testing::runCli({"--completion", shell.name}, temp.path());
    ASSERT_EQ(script.status, 0) << script.err;
    for (const std::string& option : options) {
      EXPECT_TRUE(shell.has(script.out, option)) << option;
    }
    const std::string path = io.write(std::string("script.") + shell.name, script.out);
    if (installed(std::string(shell.name))) {
      std::string output;
      EXPECT_EQ(testing_support::run(std::string(shell.check) + " '" + path + "' 2>&1", &output), 0)
          << output;
    }
  }
  EXPECT_EQ(cli_testing::runCli({"--completion", "tcsh"}, temp.path()).status, 2);
}

// bash, with bash-completion, completes an option's name and the values it takes.
TEST(CliCompletionsTest, BashOffersNamesAndValues) {
  const std::string library = "/usr/share/bash-completion/bash_completion";
  if (testing_support::run("test -r " + library) != 0) GTEST_SKIP() << "no bash-completion";
  TempTree temp, io;
  const auto script = cli_testing::runCli({"--completion", "bash"}, temp.path());
  const std::string path = io.write("tarvel-cli.bash", script.out);
  io.write("pairs.tsv", "a\tb\n");
  const auto offered = [&](const std::string& line) {
    // The words of the line, the last one being completed.
    const std::string command = "cd '" + io.path() + "' && bash -c 'source " + library +
                                " && source " + path + " && COMP_LINE=\"" + line +
                                "\" && COMP_POINT=${#COMP_LINE} && read -r -a COMP_WORDS <<<\"" +
                                line + "\" && [[ \"" + line +
                                "\" == *\" \" ]] && COMP_WORDS+=(\"\"); "
                                "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _tarvel_cli && "
                                "printf \"%s\\n\" \"${COMPREPLY[@]}\"'";
    std::string output;
    testing_support::run(command, &output);
    return cli_testing::lines(output);
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(offered("tarvel-cli --col"), Lines{"--color"});
  EXPECT_EQ(offered("tarvel-cli --color "), (Lines{"auto", "always", "never"}));
  EXPECT_EQ(offered("tarvel-cli --pairs pa"), Lines{"pairs.tsv"});
  EXPECT_EQ(offered("tarvel-cli --completion f"), Lines{"fish"});
}

}  // namespace
