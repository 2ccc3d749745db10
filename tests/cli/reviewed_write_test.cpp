// What a review showed is what is written, where it was shown: the replacement the pattern
// makes in its file, and the file reached through the folders the review met.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::Launch;
using testing_support::readFile;
using testing_support::TempTree;

// Patterns whose match depends on the text around it: the diff of a dry run, applied by patch,
// gives exactly what the run writes.
TEST(ReviewedWriteTest, ADiffShowsWhatAPatternWritesInItsContext) {
  struct Case {
    const char* find;
    const char* replace;
  };
  const std::string text = "price: 10 USD, 7 EUR\nkey=value\nab cd\nxab\n";
  for (const Case& c : {Case{"\\d+(?= USD)", "$0.00"}, Case{"key=\\K\\w+", "new"}, Case{"\\b", "|"},
                        Case{"(?<=x)ab", "AB"}}) {
    SCOPED_TRACE(c.find);
    TempTree temp, io, ran, patched;
    ran.write("a.txt", text);
    patched.write("a.txt", text);
    const cli_testing::Result diff = cli_testing::runCli(
        {"-n", "--diff", "-E", c.find, c.replace, "."}, temp.path(), patched.path());
    ASSERT_EQ(diff.status, 0) << diff.err;
    ASSERT_EQ(cli_testing::runCli({"-y", "--no-undo", "-E", c.find, c.replace, "."}, temp.path(),
                                  ran.path())
                  .status,
              0);
    ASSERT_NE(readFile(ran / "a.txt"), text);
    io.write("changes.patch", diff.out);
    std::string output;
    EXPECT_EQ(testing_support::run(
                  "cd '" + patched.path() + "' && patch -s -p1 < '" + (io / "changes.patch") + "'",
                  &output),
              0)
        << output << diff.out;
    EXPECT_EQ(readFile(patched / "a.txt"), readFile(ran / "a.txt")) << diff.out;
  }
}

// While the question waits, another user swaps a folder of the tree (or the file itself) for a
// link to a folder outside that holds a hard link to the reviewed file: the answer yes writes
// nothing there, and the run says the file changed since the review.
TEST(ReviewedWriteTest, AFolderOrFileSwappedWhileTheQuestionWaitsIsLeftAlone) {
  struct Case {
    const char* name;
    std::function<void(const TempTree&)> swap;
  };
  const Case cases[] = {
      {"the folder",
       [](const TempTree& t) {
         ASSERT_EQ(std::rename((t / "tree/a").c_str(), (t / "aside").c_str()), 0);
         ASSERT_EQ(symlink((t / "outside").c_str(), (t / "tree/a").c_str()), 0);
       }},
      {"the file",
       [](const TempTree& t) {
         ASSERT_EQ(std::rename((t / "tree/a/f.txt").c_str(), (t / "aside.txt").c_str()), 0);
         ASSERT_EQ(symlink((t / "outside/f.txt").c_str(), (t / "tree/a/f.txt").c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempTree t, temp, state;
    t.write("tree/a/f.txt", "x old\n");
    t.write("outside/keep.txt", "");
    ASSERT_EQ(link((t / "tree/a/f.txt").c_str(), (t / "outside/f.txt").c_str()), 0);
    cli_testing::Terminal terminal;
    Launch launch = cli_testing::launchOf({"-p", "old", "new", t / "tree"}, temp.path(), t / "out",
                                          terminal.name());
    launch.stdinPath = terminal.name();
    launch.stdinIsTerminal = true;
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    const pid_t pid = cli_testing::spawnCli(launch);
    const std::string asked = terminal.readUntil("Заменить?");
    ASSERT_NE(asked.find("Заменить?"), std::string::npos) << asked;
    c.swap(t);
    terminal.type("y\n");
    EXPECT_EQ(cli_testing::waitFor(pid), 1);
    const std::string screen = terminal.drain() + readFile(t / "out");
    EXPECT_NE(screen.find("файл изменён после просмотра"), std::string::npos) << screen;
    EXPECT_EQ(readFile(t / "outside/f.txt"), "x old\n") << screen;
  }
}

}  // namespace
