// Undo through tarvel-cli: what comes back, what is left alone and said, and what a killed run
// or an undo store on another file system still allows.
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sched.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::lines;
using cli_testing::runCli;
using testing_support::readFile;
using testing_support::TempTree;

// What a file must be again after an undo: bytes, inode, mode, times and a user attribute.
struct Original {
  std::string content;
  struct stat status {};
  std::string attribute;
};

Original originalOf(const std::string& path) {
  Original o;
  o.content = readFile(path);
  EXPECT_EQ(lstat(path.c_str(), &o.status), 0);
  char value[64] = {};
  const ssize_t n = getxattr(path.c_str(), "user.tag", value, sizeof value);
  if (n > 0) o.attribute.assign(value, static_cast<std::size_t>(n));
  return o;
}

// `sameInode`: restored by a link of the kept original (the store on the same file system).
void expectRestored(const std::string& path, const Original& o, bool sameInode) {
  const Original now = originalOf(path);
  EXPECT_EQ(now.content, o.content) << path;
  EXPECT_EQ(now.status.st_mode, o.status.st_mode) << path;
  EXPECT_EQ(now.status.st_mtim.tv_sec, o.status.st_mtim.tv_sec) << path;
  EXPECT_EQ(now.status.st_mtim.tv_nsec, o.status.st_mtim.tv_nsec) << path;
  EXPECT_EQ(now.attribute, o.attribute) << path;
  if (sameInode) {
    EXPECT_EQ(now.status.st_ino, o.status.st_ino) << path;
  }
}

class CliUndoTest : public ::testing::Test {
 protected:
  // Five files holding the find text, one of them read-only for others and with an attribute.
  std::vector<std::string> makeTree(const TempTree& where) {
    std::vector<std::string> paths;
    for (const char* name : {"a.txt", "b.txt", "sub/c.txt", "sub/d e.txt", "f.txt"}) {
      paths.push_back(where.write(name, std::string("old text of ") + name + "\n"));
    }
    chmod(paths[1].c_str(), 0640);
    setxattr(paths[2].c_str(), "user.tag", "kept", 4, 0);
    return paths;
  }

  TempTree tree;
  TempTree temp;
};

TEST_F(CliUndoTest, RestoresWhatIsUnchangedAndLeavesEditedAndDeletedFilesOnce) {
  const std::vector<std::string> paths = makeTree(tree);
  std::vector<Original> before;
  for (const std::string& p : paths) before.push_back(originalOf(p));
  ASSERT_EQ(runCli({"-y", "old", "new", tree.path()}, temp.path()).status, 0);
  ASSERT_EQ(readFile(paths[0]), "new text of a.txt\n");

  testing_support::writeFile(paths[1], "edited by hand\n");
  ASSERT_EQ(unlink(paths[3].c_str()), 0);
  const auto undo = runCli({"--undo"}, temp.path());
  EXPECT_EQ(undo.status, 1) << undo.err;
  const std::vector<std::string> said = lines(undo.out);
  EXPECT_NE(std::find(said.begin(), said.end(),
                      "изменён после замены — оставлен как есть: " + paths[1]),
            said.end())
      << undo.out;
  EXPECT_NE(std::find(said.begin(), said.end(), "удалён после замены — не восстановлен: " + paths[3]),
            said.end())
      << undo.out;
  EXPECT_NE(undo.out.find("Возвращено файлов: 3, оставлено как есть: 2."), std::string::npos);
  for (const std::size_t i : {0u, 2u, 4u}) expectRestored(paths[i], before[i], true);
  EXPECT_EQ(readFile(paths[1]), "edited by hand\n");
  struct stat st {};
  EXPECT_NE(lstat(paths[3].c_str(), &st), 0) << "a deleted file is not made again";

  // The same run a second time: refused, nothing touched.
  testing_support::writeFile(paths[0], "later work\n");
  const auto again = runCli({"--undo"}, temp.path());
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("уже отменена"), std::string::npos) << again.err;
  EXPECT_EQ(readFile(paths[0]), "later work\n");
}

// The runs that --runs lists, without its total.
std::vector<std::string> listedRuns(const std::string& temp) {
  std::vector<std::string> runs = lines(runCli({"--runs"}, temp).out);
  std::erase_if(runs, [](const std::string& line) { return line.starts_with("Всего: "); });
  return runs;
}

// Ten runs are kept, the newest, however quickly they follow one another.
TEST_F(CliUndoTest, KeepsTheLastTenRuns) {
  const std::string path = tree.write("a.txt", "x0");
  std::vector<std::string> ids;
  for (int i = 0; i < 12; ++i) {
    const std::string from = "x" + std::to_string(i);
    const std::string to = "x" + std::to_string(i + 1);
    ASSERT_EQ(runCli({"-y", from, to, path}, temp.path()).status, 0);
    const auto listed = listedRuns(temp.path());
    ASSERT_FALSE(listed.empty());
    ids.push_back(listed.back().substr(0, listed.back().find(' ')));
  }
  const auto listed = listedRuns(temp.path());
  ASSERT_EQ(listed.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_TRUE(listed[i].starts_with(ids[i + 2])) << listed[i];
  // The last one is the newest: undone, the file is as the eleventh run left it.
  ASSERT_EQ(runCli({"--undo"}, temp.path()).status, 0);
  EXPECT_EQ(readFile(path), "x11");
}

// A run killed in the middle of a file is taken back up to the files it finished.
TEST_F(CliUndoTest, KilledRunIsUndoneUpToItsLastFinishedFile) {
  std::vector<std::string> paths;
  for (int i = 0; i < 48; ++i) {
    paths.push_back(tree.write("f" + std::to_string(100 + i) + ".txt",
                               cli_testing::textBlock(2 << 20, "an old line\n")));
  }
  const std::string original = readFile(paths[0]);
  TempTree io;
  const pid_t pid = cli_testing::spawnCli(cli_testing::launchOf(
      {"--jobs", "1", "-y", "old", "new", tree.path()}, temp.path(), io / "out", io / "err"));
  // Once a file is finished, held while the next one fills its work file: no file is then
  // between its rename and its journal line.
  auto finished = [&] {
    for (const std::string& p : paths) {
      std::ifstream in(p);
      char head[6] = {};
      if (in.read(head, sizeof head) && std::string(head, sizeof head) == "an new") return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!finished() && std::chrono::steady_clock::now() < deadline) sched_yield();
  ASSERT_TRUE(finished()) << "no file was finished";
  ASSERT_TRUE(cli_testing::waitForWorkFile(pid, temp.path())) << "the run ended too soon";
  kill(pid, SIGSTOP);
  kill(pid, SIGKILL);
  EXPECT_EQ(cli_testing::waitFor(pid), 128 + SIGKILL);

  const auto undo = runCli({"--undo"}, temp.path());
  EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
  for (const std::string& p : paths) EXPECT_EQ(readFile(p), original) << p;
}

// An undo store on another file system (a tmpfs) keeps copies, which bring back the bytes and
// the status as well.
TEST_F(CliUndoTest, StoreOnAnotherFileSystemKeepsCopies) {
  struct statfs fs {};
  struct stat shm {};
  struct stat here {};
  if (statfs("/dev/shm", &fs) != 0 || fs.f_type != 0x01021994 /* TMPFS_MAGIC */ ||
      stat("/dev/shm", &shm) != 0 || stat(tree.path().c_str(), &here) != 0 ||
      shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no tmpfs at /dev/shm apart from the test's own file system";
  }
  TempTree state("/dev/shm");
  const std::vector<std::string> paths = makeTree(tree);
  std::vector<Original> before;
  for (const std::string& p : paths) before.push_back(originalOf(p));
  TempTree io;
  auto launch = cli_testing::launchOf({"-y", "old", "new", tree.path()}, temp.path(), io / "out",
                                      io / "err");
  launch.environment = {"XDG_STATE_HOME=" + state.path()};
  ASSERT_EQ(cli_testing::waitFor(cli_testing::spawnCli(launch)), 0);
  launch.args = {"--undo"};
  ASSERT_EQ(cli_testing::waitFor(cli_testing::spawnCli(launch)), 0) << readFile(io / "err");
  for (std::size_t i = 0; i < paths.size(); ++i) expectRestored(paths[i], before[i], false);
}

}  // namespace
