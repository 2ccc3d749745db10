// tarvel-cli's review: --diff shows every change as a patch that applies, --interactive asks
// about each occurrence on a terminal, and only what was accepted is written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::contents;
using cli_testing::Launch;
using cli_testing::Result;
using testing_support::readFile;
using testing_support::TempTree;

class CliReviewTest : public ::testing::Test {
 protected:
  Result run(const std::vector<std::string>& args, const std::string& cwd,
             std::vector<std::string> environment = {}, const std::string& input = {}) {
    Launch launch = cli_testing::launchOf(args, temp.path(), io / "out", io / "err");
    launch.cwd = cwd;
    launch.environment = std::move(environment);
    launch.environment.push_back("XDG_STATE_HOME=" + state.path());
    if (!input.empty()) launch.stdinPath = io.write("in", input);
    return cli_testing::runToEnd(launch);
  }

  // Text files as users have them: several occurrences, one without a last line break, CR LF
  // lines, a name with a space, and files the run leaves alone.
  static void plant(const TempTree& where) {
    std::string long_;
    for (int i = 1; i <= 30; ++i) long_ += "строка " + std::to_string(i) + (i % 9 == 0 ? " old" : "") + "\n";
    where.write("long.txt", long_);
    where.write("end.txt", "first\nlast old");
    where.write("dos.txt", "one\r\nold two\r\nthree\r\n");
    where.write("sub/with space.txt", "old old\nold\n");
    where.write("sub/none.txt", "nothing here\n");
    where.write("joined.txt", "a old\nb\nc old\n");
  }

  // The patch applied in `patched` by GNU patch and in `applied` by git gives what the run
  // wrote in `ran`.
  static void expectApplies(const std::string& patch, const TempTree& patched,
                            const TempTree& applied, const TempTree& ran) {
    std::string output;
    EXPECT_EQ(testing_support::run("cd '" + patched.path() + "' && patch -s -p1 < '" + patch + "'",
                                   &output),
              0)
        << output << testing_support::readFile(patch);
    EXPECT_EQ(contents(patched.path()), contents(ran.path()));
    EXPECT_EQ(testing_support::run("cd '" + applied.path() +
                                       "' && git init -q . && git apply --whitespace=nowarn '" +
                                       patch + "' && rm -rf .git",
                                   &output),
              0)
        << output;
    EXPECT_EQ(contents(applied.path()), contents(ran.path()));
  }

  TempTree temp;
  TempTree io;
  TempTree state;
};

// The diff of a dry run, applied by patch and by git, gives the files the run writes; the dry
// run itself writes nothing.
TEST_F(CliReviewTest, ADryRunsDiffAppliesWithPatchAndGitToGiveWhatTheRunWrites) {
  struct Texts {
    const char* find;
    const char* replace;
    const char* mode = "--skip-unmatched";  // the default, named
  };
  for (const Texts t : {Texts{"old", "new"}, Texts{"old\n", "N"}, Texts{"old", "x\ny"},
                        Texts{"old", ""}, Texts{"(\\w+) (o)ld", "$2$1", "-E"},
                        Texts{"^|$", "#", "-E"}}) {
    SCOPED_TRACE(std::string(t.find) + " -> " + t.replace + " " + t.mode);
    TempTree ran, patched, applied;
    plant(ran);
    plant(patched);
    plant(applied);
    const auto before = contents(patched.path());
    const Result diff = run({"-n", "--diff", t.mode, t.find, t.replace, "."}, patched.path());
    ASSERT_EQ(diff.status, 0) << diff.err;
    EXPECT_EQ(contents(patched.path()), before) << "a dry run writes nothing";
    EXPECT_NE(diff.err.find("Файлов: 6"), std::string::npos) << "the report goes to standard error";
    io.write("changes.patch", diff.out);
    ASSERT_EQ(run({"-y", "--no-undo", t.mode, t.find, t.replace, "."}, ran.path()).status, 0);
    expectApplies(io / "changes.patch", patched, applied, ran);
  }
}

// Many pairs at once: their dry run's diff applies as the run writes, --stats counts each pair
// and names those that found nothing, and one --undo takes the whole migration back.
TEST_F(CliReviewTest, APairsRunIsReviewedCountedAndUndoneAsOne) {
  TempTree ran, patched, applied;
  for (const TempTree* tree : {&ran, &patched, &applied}) plant(*tree);
  const auto before = contents(ran.path());
  const std::string pairs =
      io.write("pairs.tsv",
               "# a swap, a longer text, a line break, one that finds nothing\n"
               "old\tстрока\nстрока\told\nold two\tTWO\nfirst\\nlast\t1\\n2\nnowhere\tx\n");
  const Result diff = run({"-n", "--diff", "--stats", "--pairs", pairs, "."}, patched.path());
  ASSERT_EQ(diff.status, 0) << diff.err;
  EXPECT_EQ(contents(patched.path()), before);
  io.write("pairs.patch", diff.out);
  const Result done = run({"-y", "--stats", "--pairs", pairs, "."}, ran.path());
  ASSERT_EQ(done.status, 0) << done.err;
  expectApplies(io / "pairs.patch", patched, applied, ran);
  EXPECT_EQ(readFile(ran / "dos.txt"), "one\r\nTWO\r\nthree\r\n");
  EXPECT_EQ(readFile(ran / "end.txt"), "1\n2 строка");
  EXPECT_EQ(readFile(ran / "long.txt").substr(0, 12), "old 1\nold 2\n");
  // 30 lines of "строка", 9 "old" besides "old two"; most used first, the unmatched named.
  const std::vector<std::string> expected = {"Больше всего замен по парам:",
                                             "  «строка» → «old» (строка 3): 30",
                                             "  «old» → «строка» (строка 2): 9",
                                             "  «old two» → «TWO» (строка 4): 1",
                                             "  «first\\nlast» → «1\\n2» (строка 5): 1",
                                             "пара «nowhere» → «x» (строка 6) ничего не нашла",
                                             "Операция завершена."};
  const std::vector<std::string> got = cli_testing::lines(done.out);
  ASSERT_GE(got.size(), expected.size()) << done.out;
  EXPECT_EQ(
      std::vector<std::string>(got.end() - static_cast<std::ptrdiff_t>(expected.size()), got.end()),
      expected)
      << done.out;
  const Result runs = run({"--runs"}, ran.path());
  EXPECT_NE(runs.out.find("tarvel-cli «--pairs /"), std::string::npos) << runs.out;
  EXPECT_NE(runs.out.find("» → «5 пар»"), std::string::npos) << runs.out;
  ASSERT_EQ(run({"--undo", "-y"}, ran.path()).status, 0);
  EXPECT_EQ(contents(ran.path()), before);
}

// Names that GNU patch would cut short or misread are quoted as git quotes them, which both
// patch and git apply read back; other names, non-ASCII ones too, stay as they are.
TEST_F(CliReviewTest, AwkwardNamesInADiffNameTheirFilesForPatchAndGit) {
  const std::vector<std::string> names = {
      "trail ",      " lead",      "t\tab", "q\"uote",
      "back\\slash", "sub/ inner", "ру с",  "bidi\xe2\x80\xaex"};
  TempTree ran, patched, applied;
  for (const TempTree* tree : {&ran, &patched, &applied}) {
    for (const std::string& name : names) tree->write(name, "old\n");
  }
  const Result diff = run({"-n", "--diff", "old", "new", "."}, patched.path());
  ASSERT_EQ(diff.status, 0) << diff.err;
  EXPECT_NE(diff.out.find("--- \"a/trail \"\n+++ \"b/trail \"\n"), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find("--- a/ру с\t\n"), std::string::npos) << diff.out;
  io.write("names.patch", diff.out);
  ASSERT_EQ(run({"-y", "--no-undo", "old", "new", "."}, ran.path()).status, 0);
  expectApplies(io / "names.patch", patched, applied, ran);
}

// A file in a code page is shown in UTF-8, and its diff says what it was read as; standard
// input has its diff too.
TEST_F(CliReviewTest, ShowsAFileInACodePageInUtf8AndSaysSo) {
  TempTree tree;
  const auto page = platform::CodePage::byName("CP1251");
  tree.write("a.txt", page->encode("Привет old мир\n"));
  const Result r = run({"-n", "--diff", "--codepage", "CP1251", "old", "новый", "a.txt"},
                       tree.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Кодировка файла: CP1251"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("-Привет old мир\n+Привет новый мир\n"), std::string::npos) << r.out;
  const Result piped = run({"-n", "--diff", "old", "new", "-"}, tree.path(), {}, "x old\n");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_NE(piped.out.find("@@ -1,1 +1,1 @@\n-x old\n+x new\n"), std::string::npos) << piped.out;
}

// Each occurrence's own replacement is what its diff shows and what the run writes: the case
// of what it replaces, only whole words.
TEST_F(CliReviewTest, ADiffShowsWhatTheRulesOfEachOccurrenceWrite) {
  TempTree tree;
  tree.write("a.txt", "Ёлка ёлками ЁЛКА\n");
  const Result r = run({"-n", "--diff", "-w", "--preserve-case", "ёлка", "сосна", "a.txt"},
                       tree.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-Ёлка ёлками ЁЛКА\n+Сосна ёлками СОСНА\n"), std::string::npos) << r.out;
  EXPECT_EQ(run({"-y", "-w", "--preserve-case", "ёлка", "сосна", "a.txt"}, tree.path()).status, 0);
  EXPECT_EQ(readFile(tree / "a.txt"), "Сосна ёлками СОСНА\n");
}

// Colour where it is asked for, never in a file unless forced, and never with NO_COLOR.
TEST_F(CliReviewTest, ColoursOnlyWhereAsked) {
  TempTree tree;
  tree.write("a.txt", "old\n");
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> environment;
    bool coloured;
  };
  for (const Case& c : {Case{{"--color=always"}, {}, true}, Case{{"--color=never"}, {}, false},
                        Case{{}, {}, false}, Case{{"--color=auto"}, {"NO_COLOR=1"}, false},
                        Case{{"--color=always"}, {"NO_COLOR=1"}, true}}) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-n", "--diff", "old", "new", "a.txt"});
    const Result r = run(args, tree.path(), c.environment);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("\033["), c.coloured ? r.out.find("\033[") : std::string::npos);
    EXPECT_EQ(r.out.find("\033[") != std::string::npos, c.coloured) << r.out;
  }
}

// Without -n the diff is shown, what it shows is written, and undo takes it back.
TEST_F(CliReviewTest, ADiffThenTheRunWritesWhatItShowedAndUndoTakesItBack) {
  TempTree tree;
  plant(tree);
  const auto before = contents(tree.path());
  const Result r = run({"-y", "--diff", "old", "new", "."}, tree.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("+++ b/sub/with space.txt\t\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Файлов: 6, изменено: 5, замен: 10"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(tree / "end.txt"), "first\nlast new");
  EXPECT_EQ(run({"--undo", "-y"}, tree.path()).status, 0);
  EXPECT_EQ(contents(tree.path()), before);
}

class CliInteractiveTest : public CliReviewTest {
 protected:
  struct Answered {
    int status;
    std::string screen;
  };
  Answered answer(const std::vector<std::string>& args, const std::string& typed) {
    cli_testing::Terminal terminal;
    terminal.type(typed);
    Launch launch = cli_testing::launchOf(args, temp.path(), io / "out", terminal.name());
    launch.stdinPath = terminal.name();
    launch.stdinIsTerminal = true;
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    Answered a;
    a.status = cli_testing::waitFor(cli_testing::spawnCli(launch));
    a.screen = terminal.drain();
    return a;
  }
};

// Each answer does what the help says: y this one, n not this one, a the rest of the file, d
// none of the rest of the file, q nothing more at all; anything else brings the help.
TEST_F(CliInteractiveTest, EachAnswerDoesWhatItSays) {
  struct Case {
    const char* typed;
    const char* first;   // a.txt afterwards
    const char* second;  // b.txt afterwards
  };
  const std::vector<Case> cases = {
      {"y\nn\ny\nn\ny\n", "new old new", "old new"},
      {"a\nd\n", "new new new", "old old"},
      {"n\na\ny\ny\n", "old new new", "new new"},
      {"y\nq\n", "new old old", "old old"},
      {"d\na\n", "old old old", "new new"},
      {"?\nx\ny\nd\nq\n", "new old old", "old old"},
      {"n\nd\nd\n", "old old old", "old old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    TempTree tree;
    tree.write("a.txt", "old old old");
    tree.write("b.txt", "old old");
    const Answered a = answer({"-p", "old", "new", tree.path()}, c.typed);
    EXPECT_EQ(a.status, 0) << a.screen;
    EXPECT_EQ(readFile(tree / "a.txt"), c.first) << a.screen;
    EXPECT_EQ(readFile(tree / "b.txt"), c.second) << a.screen;
    const bool none = std::string(c.first) == "old old old" && std::string(c.second) == "old old";
    EXPECT_EQ(a.screen.find("Ни одна замена не принята") != std::string::npos, none) << a.screen;
  }
  TempTree tree;
  tree.write("a.txt", "x\nold old\ny\n");
  const Answered a = answer({"-p", "--color=never", "old", "new", tree.path()}, "?\nn\nn\n");
  EXPECT_NE(a.screen.find("x\n[-old-]{+new+} old\ny\n"), std::string::npos) << a.screen;
  EXPECT_NE(a.screen.find("Заменить? [y/д,n/н,a,d,q,?] "), std::string::npos) << a.screen;
  EXPECT_NE(a.screen.find("q - больше не спрашивать"), std::string::npos) << a.screen;
  // With pairs, each occurrence names its pair; answers in Russian and in capitals.
  const Answered p = answer({"-p", "--color=never", "--find", "old", "--replace", "new", "--find",
                             "x", "--replace", "X", tree.path()},
                            "Да\nН\nY\n");
  EXPECT_EQ(p.status, 0) << p.screen;
  EXPECT_NE(p.screen.find("пара «x» → «X» (пара 2)"), std::string::npos) << p.screen;
  EXPECT_EQ(readFile(tree / "a.txt"), "X\nold new\ny\n");
}

TEST_F(CliReviewTest, AsksOnlyOnATerminal) {
  TempTree tree;
  tree.write("a.txt", "old");
  const Result r = run({"-p", "old", "new", "a.txt"}, tree.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("терминал"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(tree / "a.txt"), "old");
}

}  // namespace
