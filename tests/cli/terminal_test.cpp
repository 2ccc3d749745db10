// tarvel-cli on a terminal: the confirmation, the progress line, and stopping on a signal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/code_page.h"
#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::Launch;
using cli_testing::snapshot;
using cli_testing::spawnCli;
using cli_testing::Terminal;
using cli_testing::waitFor;
using testing_support::readFile;
using testing_support::TempTree;
using Lines = std::vector<std::string>;

const char* const kDone = "Операция завершена.";

std::string cp1251(const std::string& utf8) {
  static const auto page = platform::CodePage::byName("CP1251");
  return page->encode(utf8);
}

class CliTerminalTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(testing_support::listFolder(temp.path()), Lines{})
        << "the run left its work file or work folder behind";
  }

  struct Answered {
    int status;
    std::string screen;  // what the terminal shows
    std::string out;
    std::string err;     // when standard error is not the terminal
  };

  // Runs with standard input on a terminal where `typed` has been typed already.
  Answered answer(const Lines& args, const std::string& typed, bool errOnTerminal = true) {
    Terminal terminal;
    terminal.type(typed);
    Launch launch = cli_testing::launchOf(args, temp.path(), io / "out",
                                          errOnTerminal ? terminal.name() : io / "err");
    launch.stdinPath = terminal.name();
    launch.stdinIsTerminal = true;
    Answered a;
    a.status = waitFor(spawnCli(launch));
    a.screen = terminal.drain();
    a.out = readFile(io / "out");
    a.err = errOnTerminal ? "" : readFile(io / "err");
    return a;
  }

  // `count` files of `size` bytes holding the find text "old" many times.
  void bigTree(const TempTree& where, int count, std::size_t size) {
    for (int i = 0; i < count; ++i) {
      where.write("f" + std::to_string(100 + i) + ".txt",
                  cli_testing::textBlock(size, "an old line\n"));
    }
  }
  static std::string convertedBlock(std::size_t size) {
    std::string text = cli_testing::textBlock(size, "an old line\n");
    for (auto at = text.find("old"); at != std::string::npos; at = text.find("old", at + 3)) {
      text.replace(at, 3, "new");
    }
    return text;
  }

  TempTree tree;
  TempTree temp;  // the runs' TMPDIR
  TempTree io;
};

TEST_F(CliTerminalTest, AsksWithTheWindowsWarningAndProceedsOnYes) {
  const std::string file = tree.write("a.txt", cp1251("привет"));
  const Answered a = answer({"--find", "привет", "--replace", "мир", "--codepage", "CP1251", file},
                           "да\n");
  EXPECT_EQ(a.status, 0);
  EXPECT_NE(a.screen.find("Внимание! В файле \"" + file +
                          "\" все сочетания символов \"привет\" будут заменены на \"мир\".\n"
                          "Перезаписать файл ? (да/нет): "),
            std::string::npos)
      << a.screen;
  EXPECT_EQ(a.screen.find('\r'), std::string::npos) << "a terminal gets a bare line feed";
  EXPECT_TRUE(a.out.ends_with(std::string(kDone) + "\n")) << a.out;
  EXPECT_EQ(readFile(file), cp1251("мир"));
}

TEST_F(CliTerminalTest, OnlyAnExplicitYesProceeds) {
  const std::vector<std::pair<std::string, bool>> answers = {
      {"Y\n", true},   {"ДА\n", true},     {" д \n", true},  {"yes\n", true},
      {"нет\n", false}, {"\n", false},     {"\x04", false},  {"да нет\n", false},
      {"n\n", false},  {"ok\n", false}};
  for (const auto& [typed, proceeds] : answers) {
    const std::string file = tree.write("a.txt", "old");
    const auto before = snapshot(tree.path());
    const Answered a = answer({"--find", "old", "--replace", "new", file}, typed);
    EXPECT_EQ(a.status, proceeds ? 0 : 1) << typed;
    if (proceeds) {
      EXPECT_EQ(readFile(file), "new") << typed;
    } else {
      EXPECT_EQ(snapshot(tree.path()), before) << typed;
      EXPECT_EQ(a.out, "") << typed;
      EXPECT_NE(a.screen.find("Замена отменена, файлы не изменены."), std::string::npos) << typed;
    }
  }
}

// Undo names the run it takes back and asks, as a run does: "нет" leaves every file as it is,
// "да" brings them back; without a terminal and without --yes it changes nothing.
TEST_F(CliTerminalTest, UndoNamesTheRunAndAsks) {
  TempTree state;
  const std::string file = tree.write("a.txt", "old");
  Launch launch = cli_testing::launchOf({"-y", "old", "new", file}, temp.path(), io / "out");
  launch.environment = {"XDG_STATE_HOME=" + state.path()};
  ASSERT_EQ(waitFor(spawnCli(launch)), 0);
  const std::string question = "Вернуть файлы, изменённые заменой «old» → «new» в " + file +
                               " (1 файл)? (да/нет): ";
  for (const auto& [typed, back] : std::vector<std::pair<std::string, bool>>{{"нет\n", false},
                                                                             {"да\n", true}}) {
    Terminal terminal;
    terminal.type(typed);
    Launch undo = cli_testing::launchOf({"--undo"}, temp.path(), io / "out", terminal.name());
    undo.environment = {"XDG_STATE_HOME=" + state.path()};
    undo.stdinPath = terminal.name();
    undo.stdinIsTerminal = true;
    EXPECT_EQ(waitFor(spawnCli(undo)), back ? 0 : 1) << typed;
    EXPECT_NE(terminal.drain().find(question), std::string::npos) << typed;
    EXPECT_EQ(readFile(file), back ? "old" : "new") << typed;
  }
  ASSERT_EQ(waitFor(spawnCli(launch)), 0);
  Launch offTerminal = cli_testing::launchOf({"--undo"}, temp.path(), io / "out", io / "err");
  offTerminal.environment = {"XDG_STATE_HOME=" + state.path()};
  EXPECT_EQ(waitFor(spawnCli(offTerminal)), 2);
  EXPECT_EQ(readFile(file), "new");
}

TEST_F(CliTerminalTest, FolderWarningAndItsLineBreakOffTheTerminal) {
  tree.write("a.txt", "old");
  const Answered a = answer({"--find", "old", "--replace", "", tree.path()}, "нет\n",
                            /*errOnTerminal=*/false);
  EXPECT_EQ(a.status, 1);
  // Standard error is a file here: the window's text exactly, CR LF included.
  EXPECT_TRUE(a.err.starts_with("Внимание! Во всех файлах, находящихся в папке \"" + tree.path() +
                                "\" и её вложенных подпапках, все сочетания символов \"old\" "
                                "будут заменены на \"\".\r\nПерезаписать все файлы ? (да/нет): "))
      << a.err;
  EXPECT_EQ(readFile(tree / "a.txt"), "old");

  // --yes asks nothing, even on a terminal.
  const Answered b = answer({"--find", "old", "--replace", "", "--yes", tree.path()}, "");
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(b.screen.find("Внимание!"), std::string::npos) << b.screen;
  EXPECT_EQ(readFile(tree / "a.txt"), "");
}

TEST_F(CliTerminalTest, SignalAtThePromptChangesNothing) {
  const std::string file = tree.write("a.txt", "old");
  const auto before = snapshot(tree.path());
  Terminal terminal;
  Launch launch = cli_testing::launchOf({"--find", "old", "--replace", "new", file}, temp.path(),
                                        io / "out", terminal.name());
  launch.stdinPath = terminal.name();
  launch.stdinIsTerminal = true;
  const pid_t pid = spawnCli(launch);
  const std::string screen = terminal.readUntil("(да/нет): ");
  ASSERT_NE(screen.find("(да/нет): "), std::string::npos) << screen;
  kill(pid, SIGINT);
  EXPECT_EQ(waitFor(pid), 130);
  EXPECT_EQ(snapshot(tree.path()), before);
}

TEST_F(CliTerminalTest, SignalEndsTheWaitForAFindFileThatIsAPipe) {
  // A FIFO that nobody writes to: tarvel-cli waits for its text until SIGTERM ends the wait.
  const std::string fifo = tree / "find.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string file = tree.write("a.txt", "old");
  const pid_t pid = spawnCli(cli_testing::launchOf(
      {"--find-file", fifo, "--replace", "new", "--yes", file}, temp.path(), io / "out",
      io / "err"));
  ASSERT_TRUE(cli_testing::waitForOpenFile(pid, fifo)) << "status " << waitFor(pid);
  kill(pid, SIGTERM);
  EXPECT_EQ(waitFor(pid), 128 + SIGTERM);
  EXPECT_EQ(readFile(file), "old");
}

// A line of a file cannot hide part of itself on a terminal ("\r" takes the cursor back over
// "host=evil"), turn round the text after it (U+202E) or begin a terminal sequence (U+009B):
// --diff and -p show such characters escaped, and say so once; a diff that goes to a file keeps
// every byte, so that it applies.
TEST_F(CliTerminalTest, ShownLinesHideNothingOnATerminalAndKeepTheirBytesElsewhere) {
  const std::string line = "host=evil\r# host=good \xe2\x80\xae old\xc2\x9b"
                           "2J\tend\n";
  const std::string escaped = "host=evil\\r# host=good \\u202e ";
  const std::string after = "\\u009b2J\tend\n";
  tree.write("a.txt", line);
  tree.write("b.txt", line);
  const std::string note = "управляющие символы в показанных строках выведены как";
  struct Case {
    Lines args;
    std::string typed;     // answers to -p
    std::string expected;  // the line as shown
  };
  for (const Case& c :
       {Case{{"-n", "--diff"}, "", "-" + escaped + "old" + after + "+" + escaped + "new" + after},
        Case{{"-p"}, "n\nn\n", escaped + "[-old-]{+new+}" + after}}) {
    SCOPED_TRACE(c.args.back());
    Terminal terminal;
    terminal.type(c.typed);
    Lines args = c.args;
    args.insert(args.end(), {"--color=never", "old", "new", "."});
    Launch launch = cli_testing::launchOf(args, temp.path(), terminal.name(), terminal.name());
    launch.cwd = tree.path();
    launch.stdinPath = terminal.name();
    launch.stdinIsTerminal = true;
    EXPECT_EQ(waitFor(spawnCli(launch)), 0);
    const std::string screen = terminal.drain();
    EXPECT_NE(screen.find(c.expected), std::string::npos) << screen;
    for (const char* raw : {"\r", "\xc2\x9b", "\xe2\x80\xae"}) {
      EXPECT_EQ(screen.find(raw), std::string::npos) << screen;
    }
    const auto first = screen.find(note);
    EXPECT_NE(first, std::string::npos) << screen;
    EXPECT_EQ(screen.find(note, first + 1), std::string::npos) << "said once: " << screen;
  }
  EXPECT_EQ(readFile(tree / "a.txt"), line);
  Launch piped = cli_testing::launchOf({"-n", "--diff", "old", "new", "a.txt"}, temp.path(), {});
  piped.cwd = tree.path();
  const cli_testing::Result r = cli_testing::runToEnd(piped);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("-" + line + "+"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find(note), std::string::npos) << r.err;
}

class CliSignalTest : public CliTerminalTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliSignalTest, StopsBetweenChunksLeavingEveryFileWhole) {
  const int number = GetParam();
  constexpr std::size_t kSize = 2 << 20;
  bigTree(tree, 48, kSize);
  const std::string original = readFile(tree / "f100.txt");
  // Several workers, whatever the machine: each of them stops between chunks.
  const pid_t pid = spawnCli(cli_testing::launchOf(
      {"--jobs", "3", "--find", "old", "--replace", "new", "--yes", tree.path()}, temp.path(),
      io / "out", io / "err"));
  ASSERT_TRUE(cli_testing::waitForWorkFile(pid, temp.path()))
      << "the run ended before it could be interrupted; status " << waitFor(pid);
  kill(pid, number);
  EXPECT_EQ(waitFor(pid), 128 + number);
  const std::string out = readFile(io / "out");
  EXPECT_EQ(out.find(kDone), std::string::npos);
  EXPECT_NE(readFile(io / "err").find("операция прервана"), std::string::npos);
  int untouched = 0, converted = 0;
  for (const auto& [name, state] : snapshot(tree.path())) {
    ASSERT_TRUE(state.content == original || state.content == convertedBlock(kSize))
        << name << " is neither the original nor fully converted";
    if (state.content == original) ++untouched;
    else ++converted;
  }
  EXPECT_GT(untouched, 0) << "the run did not stop";
  // What it did is said all the same: every file it converted, and that it was stopped.
  EXPECT_NE(out.find(", изменено: " + std::to_string(converted) + ", "), std::string::npos) << out;
  EXPECT_NE(out.find("Замена остановлена. Обработано файлов: "), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, CliSignalTest, ::testing::Values(SIGINT, SIGTERM));

// The progress line waits half a second; stopping the process for longer makes any run long.
TEST_F(CliTerminalTest, ProgressLineOnlyOnATerminal) {
  constexpr std::size_t kSize = 1 << 20;
  for (const bool onTerminal : {true, false}) {
    bigTree(tree, 32, kSize);
    Terminal terminal;
    const pid_t pid = spawnCli(cli_testing::launchOf(
        {"--find", "old", "--replace", "new", "--yes", tree.path()}, temp.path(), io / "out",
        onTerminal ? terminal.name() : io / "err"));
    ASSERT_TRUE(cli_testing::waitForWorkFile(pid, temp.path())) << "the run ended too soon";
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGCONT);
    EXPECT_EQ(waitFor(pid), 0);
    EXPECT_TRUE(readFile(io / "out").ends_with("ошибок: 0\n" + std::string(kDone) + "\n"));
    if (onTerminal) {
      const std::string screen = terminal.drain();
      EXPECT_NE(screen.find("\rОбработано файлов: "), std::string::npos) << screen;
      EXPECT_TRUE(screen.ends_with("\r\033[K")) << "the line is cleared before the report ends";
    } else {
      EXPECT_EQ(readFile(io / "err"), "");
    }
    EXPECT_EQ(readFile(tree / "f131.txt"), convertedBlock(kSize));
  }
}

// A run held in the middle of a file keeps its work file (and the engine's lock on it); a second
// run started meanwhile has a work file of its own and finishes without waiting for the first.
TEST_F(CliTerminalTest, RunsAtTheSameTimeDoNotWaitForEachOther) {
  constexpr std::size_t kSize = 1 << 20;
  TempTree second;
  bigTree(tree, 16, kSize);
  second.write("g.txt", "old text");
  const pid_t first = spawnCli(cli_testing::launchOf(
      {"--find", "old", "--replace", "new", "--yes", tree.path()}, temp.path(), io / "out1"));
  const auto work = cli_testing::waitForWorkFile(first, temp.path());
  ASSERT_TRUE(work) << "the first run ended too soon";
  kill(first, SIGSTOP);
  // TMPDIR/tarvel-<uid>/tarvel-cli-XXXXXX/k5ywhqx: runs started at the same instant cannot
  // pick one name.
  const std::string folder = work->substr(0, work->rfind('/'));
  EXPECT_EQ(folder.substr(0, folder.rfind('/')), temp / ("tarvel-" + std::to_string(geteuid())));
  EXPECT_TRUE(folder.substr(folder.rfind('/') + 1).starts_with("tarvel-cli-")) << *work;
  // One work file per worker: k5ywhqx, k5ywhqx0, k5ywhqx1…
  const std::string name = work->substr(work->rfind('/') + 1);
  EXPECT_TRUE(name.starts_with("k5ywhqx") &&
              name.find_first_not_of("0123456789", 7) == std::string::npos)
      << *work;
  struct stat st {};
  EXPECT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Each with its own undo store: the store's numbering lock, which the first may hold when it
  // is stopped, is not what this test is about.
  TempTree otherState;
  cli_testing::Launch launch = cli_testing::launchOf(
      {"--find", "old", "--replace", "new", "--yes", second.path()}, temp.path(), {});
  launch.environment = {"XDG_STATE_HOME=" + otherState.path()};
  const cli_testing::Result other = cli_testing::runToEnd(std::move(launch));
  kill(first, SIGCONT);
  EXPECT_EQ(other.status, 0) << other.out;
  EXPECT_EQ(readFile(second / "g.txt"), "new text");
  EXPECT_EQ(waitFor(first), 0);
  for (const auto& [name, state] : snapshot(tree.path())) {
    EXPECT_TRUE(state.content == convertedBlock(kSize)) << name;
  }
}

}  // namespace
