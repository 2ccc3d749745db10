// The manual pages render without a warning, and every example of tarvel-cli(1), which are the
// README's, does what the page shows, in a home folder made as the examples suppose it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using testing_support::readFile;
using testing_support::TempTree;

TEST(CliManualTest, BothPagesRenderWithoutAWarning) {
  for (const char* page : {TARVEL_CLI_MANUAL, TARVEL_WINDOW_MANUAL}) {
    std::string output;
    EXPECT_EQ(testing_support::run(
                  std::string("groff -ww -k -man -Tutf8 '") + page + "' 2>&1 >/dev/null", &output),
              0);
    EXPECT_EQ(output, "") << page;
  }
}

// An example: its command, and what it prints (nothing shown: only its status is checked).
struct Example {
  std::string command;
  std::vector<std::string> prints;
};

// The examples of a page: in .EX blocks, a command after "$ ", then the lines it prints.
std::vector<Example> examplesOf(const std::string& page) {
  std::vector<Example> examples;
  std::istringstream in(page);
  std::string line;
  bool inExamples = false, inBlock = false;
  const auto unescaped = [](std::string s) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"\\-", "-"},
                                   {"\\e", "\\"},
                                   {"\\(em", "—"},
                                   {"\\&", ""}}) {
      for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) {
        s.replace(at, from.size(), to);
      }
    }
    return s;
  };
  while (std::getline(in, line)) {
    if (line.starts_with(".SH")) inExamples = line == ".SH EXAMPLES";
    if (!inExamples) continue;
    if (line == ".EX") inBlock = true;
    if (line == ".EE") inBlock = false;
    if (!inBlock || line == ".EX") continue;
    if (line.starts_with("$ ")) {
      examples.push_back({unescaped(line.substr(2)), {}});
    } else if (!examples.empty()) {
      examples.back().prints.push_back(unescaped(line));
    }
  }
  return examples;
}

// The home folder the examples suppose: letters, contracts, a site in a git work tree with a
// binary file, a hidden one and a page in CP1251, a project with its build output, invoices.
void plantHome(const TempTree& home) {
  const auto cp1251 = platform::CodePage::byName("CP1251");
  home.write("письмо.txt", "Привет, Анна!\n");
  home.write("Договоры/2023.txt", "ООО «Ромашка» и ооо «ромашка»\n");
  home.write("Договоры/2024.txt", "ООО «РОМАШКА»\n");
  home.write("Договоры/заметки.md", "ООО «Ромашка»\n");
  home.write("site/index.html",
             "<a href=\"https://old.example.org/\">Главная</a>\n"
             "<p>old.example.org, old.example.org</p>\n");
  home.write("site/about.html", "<p>О нас</p>\n");
  home.write("site/news/2023.html", cp1251->encode("<p>Новости: old.example.org</p>\n"));
  home.write("site/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0old.example.org", 25));
  home.write("site/.htaccess", "Redirect / https://old.example.org/\n");
  testing_support::run("git -C '" + home / "site" + "' init -q");
  home.write("project/src/app.py", "user = get_user(foo, bar)  # old\n");
  home.write("project/build/app.js", "old\n");
  home.write("project/lib.min.js", "old\n");
  home.write("Счета/2024.txt", "Итого:\r\nНДС 100\r\n");
  home.write("bin/generate-config", "#!/bin/sh\necho 'host = @HOST@'\n");
  testing_support::run("chmod +x '" + home / "bin/generate-config" + "'");
}

TEST(CliManualTest, EveryExampleDoesWhatThePageShows) {
  const std::vector<Example> examples = examplesOf(readFile(TARVEL_CLI_MANUAL));
  ASSERT_GE(examples.size(), 10u);
  const std::string readme = readFile(std::string(TARVEL_SOURCE_DIR) + "/README.md");
  TempTree home, temp;
  plantHome(home);
  const std::string cli = TARVEL_CLI;
  const std::string environment = "env -i HOME='" + home.path() + "' XDG_STATE_HOME='" +
                                  home / ".local/state" + "' TMPDIR='" + temp.path() +
                                  "' LC_ALL=C.UTF-8 NO_COLOR=1 PATH='" + home / "bin" + ":" +
                                  cli.substr(0, cli.rfind('/')) + ":/usr/bin:/bin' ";
  for (const Example& e : examples) {
    SCOPED_TRACE(e.command);
    EXPECT_NE(readme.find(e.command), std::string::npos) << "the README does not show it";
    // A command that asks gets "да" on a terminal of its own.
    const bool asks =
        e.command.starts_with("tarvel-cli ") && e.command.find(" -y") == std::string::npos &&
        e.command.find("--yes") == std::string::npos && e.command.find(" -n") == std::string::npos;
    std::string quoted;
    for (const char c : e.command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const std::string command = asks
                                    ? "printf 'да\\n' | " + environment +
                                          "script -qec 'bash -c '\\''" + quoted + "'\\''' /dev/null"
                                    : environment + "bash -c '" + quoted + "'";
    std::string output;
    EXPECT_EQ(testing_support::run("cd '" + home.path() + "' && " + command + " 2>&1", &output), 0)
        << output;
    if (e.prints.empty()) continue;
    for (std::size_t at = 0; (at = output.find(home.path(), at)) != std::string::npos;) {
      output.replace(at, home.path().size(), "/home/ann");
    }
    EXPECT_EQ(cli_testing::lines(output), e.prints) << output;
  }
  // What the examples did, as the page says.
  EXPECT_EQ(readFile(home / "письмо.txt"), "Здравствуйте, Анна!\n");
  EXPECT_EQ(readFile(home / "Договоры/заметки.md"), "ООО «Ромашка»\n");
  EXPECT_EQ(readFile(home / "app.conf"), "host = example.org\n");
  EXPECT_EQ(readFile(home / "project/build/app.js"), "old\n");
  // The two undos took back the pairs, then the invoices' run.
  EXPECT_EQ(readFile(home / "project/src/app.py"), "user = get_user(foo, bar)  # new\n");
  EXPECT_EQ(readFile(home / "Счета/2024.txt"), "Итого:\r\nНДС 100\r\n");
}

}  // namespace
