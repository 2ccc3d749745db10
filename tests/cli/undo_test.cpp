// Undo through tarvel-cli: what comes back, what is left alone and said, and what a killed run
// or an undo store on another file system still allows.
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/support/strace_log.h"
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

// The runs that --runs lists, without its total.
std::vector<std::string> listedRuns(const std::string& temp) {
  std::vector<std::string> runs = lines(runCli({"--runs"}, temp).out);
  std::erase_if(runs, [](const std::string& line) { return line.starts_with("Всего: "); });
  return runs;
}

TEST_F(CliUndoTest, RestoresWhatIsUnchangedAndLeavesEditedAndDeletedFilesOnce) {
  const std::vector<std::string> paths = makeTree(tree);
  std::vector<Original> before;
  for (const std::string& p : paths) before.push_back(originalOf(p));
  ASSERT_EQ(runCli({"-y", "old", "new", tree.path()}, temp.path()).status, 0);
  ASSERT_EQ(readFile(paths[0]), "new text of a.txt\n");

  testing_support::writeFile(paths[1], "edited by hand\n");
  ASSERT_EQ(unlink(paths[3].c_str()), 0);
  const auto undo = runCli({"--undo", "-y"}, temp.path());
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
  const std::string undone = listedRuns(temp.path()).back();
  const auto again = runCli({"--undo", undone.substr(0, undone.find(' ')), "-y"}, temp.path());
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("уже отменена"), std::string::npos) << again.err;
  EXPECT_EQ(readFile(paths[0]), "later work\n");
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
  // A run the store dropped says so, a run it never had is a bad call; neither changes a file.
  const std::string dropped = ids.front().substr(0, ids.front().find('-'));
  const auto gone = runCli({"--undo", dropped, "-y"}, temp.path());
  EXPECT_EQ(gone.status, 2);
  EXPECT_NE(gone.err.find("замены " + dropped + " больше нет: хранятся только последние 10 замен"),
            std::string::npos)
      << gone.err;
  const auto never = runCli({"--undo", "bogus", "-y"}, temp.path());
  EXPECT_EQ(never.status, 2);
  EXPECT_NE(never.err.find("нет замены «bogus»"), std::string::npos) << never.err;
  EXPECT_EQ(readFile(path), "x12");
  // The last one is the newest: undone, the file is as the eleventh run left it.
  ASSERT_EQ(runCli({"--undo", "-y"}, temp.path()).status, 0);
  EXPECT_EQ(readFile(path), "x11");
}

// `--undo` steps back through the runs as an editor's undo does, and `--runs` marks the run it
// takes next; once every run is undone, it says there is nothing left.
TEST_F(CliUndoTest, UndoStepsBackOneRunAtATime) {
  const std::string path = tree.write("a.txt", "x0");
  TempTree state, io;  // a store of its own: no other test's run to step back to
  const auto cli = [&](const std::vector<std::string>& args) {
    auto launch = cli_testing::launchOf(args, temp.path(), io / "out", io / "err");
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    return cli_testing::runToEnd(launch);
  };
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(cli({"-y", "x" + std::to_string(i), "x" + std::to_string(i + 1), path}).status, 0);
  }
  const auto marked = [&] {
    std::vector<std::size_t> at;
    std::vector<std::string> listed = lines(cli({"--runs"}).out);
    std::erase_if(listed, [](const std::string& line) { return line.starts_with("Всего: "); });
    for (std::size_t i = 0; i < listed.size(); ++i) {
      if (listed[i].ends_with("  <- следующая для --undo")) at.push_back(i);
    }
    return at;
  };
  for (int left = 3; left > 0; --left) {
    EXPECT_EQ(marked(), std::vector<std::size_t>{static_cast<std::size_t>(left - 1)});
    ASSERT_EQ(cli({"--undo", "-y"}).status, 0);
    EXPECT_EQ(readFile(path), "x" + std::to_string(left - 1));
  }
  EXPECT_TRUE(marked().empty());
  const auto none = cli({"--undo", "-y"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("больше нечего отменять"), std::string::npos) << none.err;
  EXPECT_EQ(readFile(path), "x0");
}

// --undo and --forget word a missing run, a run the limit dropped and a run deleted alike, with
// the same status; without a terminal they say how they are called, not how a run is.
TEST_F(CliUndoTest, UndoAndForgetWordMissingRunsAlike) {
  const std::string path = tree.write("a.txt", "x0");
  TempTree state, io;
  const auto cli = [&](const std::vector<std::string>& args) {
    auto launch = cli_testing::launchOf(args, temp.path(), io / "out", io / "err");
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    return cli_testing::runToEnd(launch);
  };
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(cli({"-y", "x" + std::to_string(i), "x" + std::to_string(i + 1), path}).status, 0);
  }
  ASSERT_EQ(cli({"--forget", "1", "-y"}).status, 0);
  const std::string storeUsage = "Использование: tarvel-cli --undo [ЗАМЕНА] [-n] [-y]";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--undo", "99", "-y"}, 2, "нет замены «99» (список: tarvel-cli --runs)"},
      {{"--forget", "99", "-y"}, 2, "нет замены «99» (список: tarvel-cli --runs)"},
      {{"--undo", "1", "-y"}, 2, "замена 1 удалена (tarvel-cli --forget)"},
      {{"--forget", "1", "-y"}, 2, "замена 1 удалена (tarvel-cli --forget)"},
      {{"--undo"}, 2, storeUsage},
      {{"--forget", "2"}, 2, storeUsage},
      {{"--runs", "x"}, 2, storeUsage},
  };
  for (const Case& c : cases) {
    const auto r = cli(c.args);
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("ИСКОМОЕ ЗАМЕНА ПУТЬ"), std::string::npos) << r.err;
  }
  EXPECT_EQ(readFile(path), "x2");
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

  const auto undo = runCli({"--undo", "-y"}, temp.path());
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
  launch.args = {"--undo", "-y"};
  ASSERT_EQ(cli_testing::waitFor(cli_testing::spawnCli(launch)), 0) << readFile(io / "err");
  for (std::size_t i = 0; i < paths.size(); ++i) expectRestored(paths[i], before[i], false);
}

// ---- What undo must withstand: other users, a store it does not own, failures, runs still
// going, kills.

bool asRoot() { return geteuid() == 0; }

// Runs as the user nobody (65534), through setpriv.
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

int shell(const std::string& command) { return testing_support::run(command); }

// The calls of a run traced without address randomisation (setarch -R, so that every run makes
// the same calls) where a kill is aimed: from the first call past the program's start that
// names `marker`, leaving out its end and the calls that only map memory (how many the
// allocator makes follows the lengths of the journal's lines, times and inode numbers, so their
// count differs from one prepared tree to the next, and a kill at one leaves the files as the
// call before did).
std::vector<testing_support::Call> killPoints(const std::string& log, const std::string& marker) {
  const std::vector<testing_support::Call> trace = testing_support::readTrace(log);
  std::vector<testing_support::Call> points;
  bool named = false;
  for (const testing_support::Call& call : trace) {
    named = named || (call.name != "execve" && call.line.find(marker) != std::string::npos);
    if (named && call.name != "exit_group" && !testing_support::mapsMemoryOnly(call)) {
      points.push_back(call);
    }
  }
  return points;
}

// The wrapper that traces a run into `log` (with `kill`, killed at that call).
std::vector<std::string> traced(const std::string& log,
                                const testing_support::Call* kill = nullptr) {
  std::vector<std::string> wrapper = {"strace", "-f", "-qq", "-o", log};
  if (kill != nullptr) {
    wrapper.insert(wrapper.end(), {"-e", "inject=" + kill->name + ":signal=KILL:when=" +
                                             std::to_string(kill->occurrence)});
  }
  wrapper.insert(wrapper.end(), {"setarch", "-R"});
  return wrapper;
}

// Whether the run traced into `log` was killed at the call `at`, as it was aimed.
::testing::AssertionResult killedAt(const std::string& log, const testing_support::Call& at) {
  const std::vector<testing_support::Call> reached = testing_support::readTrace(log);
  if (reached.empty()) return ::testing::AssertionFailure() << "nothing traced";
  if (reached.back().name != at.name || reached.back().occurrence != at.occurrence) {
    return ::testing::AssertionFailure() << "the kill came at another call: "
                                         << reached.back().line.substr(0, 160);
  }
  return ::testing::AssertionSuccess();
}

class UndoStoreTest : public ::testing::Test {
 protected:
  // tarvel-cli with this test's own undo store.
  cli_testing::Result cli(std::vector<std::string> args, std::vector<std::string> wrapper = {}) {
    cli_testing::Launch launch = cli_testing::launchOf(std::move(args), temp.path(), {});
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    launch.wrapper = std::move(wrapper);
    return cli_testing::runToEnd(std::move(launch));
  }

  std::string store() const { return state / "tarvel/undo"; }

  TempTree tree;
  TempTree temp;
  TempTree state;
};

// Another user who may write to the converted folder swaps a folder for a link to a folder of
// root's; root's undo must not follow it, even where the file there holds exactly what the run
// wrote (the content check alone would take it).
TEST_F(UndoStoreTest, FolderSwappedForALinkByAnotherUserIsLeftAlone) {
  if (!asRoot()) GTEST_SKIP() << "the test plays two users";
  ASSERT_EQ(chmod(tree.path().c_str(), 0711), 0);
  const std::string top = tree.write("t/top.txt", "old top\n");
  const std::string file = tree.write("t/sub/f.txt", "old text\n");
  const std::string victim = tree.write("victim/f.txt", "new text\n");
  ASSERT_EQ(shell("chown -R 65534:65534 '" + tree / "t" + "'"), 0);
  const struct stat before = [&] {
    struct stat st {};
    lstat(victim.c_str(), &st);
    return st;
  }();
  ASSERT_EQ(cli({"-y", "old", "new", tree / "t"}).status, 0);
  ASSERT_EQ(readFile(file), "new text\n");

  ASSERT_EQ(cli_testing::runToEnd([&] {
              auto l = cli_testing::launchOf({"-c", "mv '" + tree / "t/sub" + "' '" +
                                                        tree / "t/sub.old" + "' && ln -s '" +
                                                        tree / "victim" + "' '" + tree / "t/sub" + "'"},
                                             temp.path(), {});
              l.program = "/bin/sh";
              l.wrapper = kAsNobody;
              return l;
            }())
                .status,
            0);
  const auto undo = cli({"--undo", "-y"});
  EXPECT_EQ(undo.status, 1) << undo.out << undo.err;
  EXPECT_NE(undo.out.find("папка изменена после замены — оставлен как есть: " + tree / "t/sub/f.txt"),
            std::string::npos)
      << undo.out;
  struct stat after {};
  ASSERT_EQ(lstat(victim.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "root's file was replaced";
  EXPECT_EQ(after.st_uid, 0u);
  EXPECT_EQ(readFile(victim), "new text\n");
  EXPECT_EQ(readFile(tree / "t/sub.old/f.txt"), "new text\n") << "the moved folder is not followed";
  EXPECT_EQ(readFile(top), "old top\n") << "the rest of the run comes back";
}

// A store that others could have planted or can change is refused for every use, and nothing is
// restored from it; once it is the user's own again, the run can be undone.
TEST_F(UndoStoreTest, StoreThatOthersCouldHavePlantedIsRefused) {
  struct Case {
    const char* what;
    std::function<void()> spoil;
    std::function<void()> mend;
    bool needsRoot;
    std::string says;  // what is wrong, and what mends it
  };
  const std::vector<Case> cases = {
      {"a folder on its way open to others", [&] { chmod(state.path().c_str(), 0777); },
       [&] { chmod(state.path().c_str(), 0700); }, false,
       "на пути к папке отмены могут писать другие: выполните chmod go-w " + state.path()},
      {"the store open to its group", [&] { chmod(store().c_str(), 0750); },
       [&] { chmod(store().c_str(), 0700); }, false,
       "папка отмены " + store() + " открыта для других: выполните chmod 700 " + store()},
      {"a store of another user", [&] { shell("chown -R 65534 '" + state / "tarvel" + "'"); },
       [&] { shell("chown -R 0 '" + state / "tarvel" + "'"); }, true,
       "принадлежит другому пользователю: задайте XDG_STATE_HOME в своей папке"},
  };
  for (const Case& c : cases) {
    if (c.needsRoot && !asRoot()) continue;
    SCOPED_TRACE(c.what);
    const std::string path = tree.write("a.txt", "old a\n");
    ASSERT_EQ(cli({"-y", "old", "new", path}).status, 0);
    c.spoil();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--undo", "-y"}, {"--runs"}, {"--undo", "-n"}, {"--forget", "all", "-y"}}) {
      const auto refused = cli(args);
      EXPECT_EQ(refused.status, 1) << args[0];
      EXPECT_NE(refused.err.find(c.says), std::string::npos) << refused.err;
    }
    EXPECT_EQ(readFile(path), "new a\n");
    // A run still converts, and says once that it cannot be undone.
    const std::string other = tree.write("b.txt", "old b\n");
    const auto run = cli({"-y", "old", "new", other});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("эту замену нельзя будет отменить: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(readFile(other), "new b\n");
    c.mend();
    const auto undo = cli({"--undo", "-y"});
    EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
    EXPECT_EQ(readFile(path), "old a\n");
  }
}

// A restore that fails keeps the original in the store; the next undo, once the cause is gone,
// brings it back.
TEST_F(UndoStoreTest, FailedRestoreKeepsTheOriginalAndIsTriedAgain) {
  const std::string a = tree.write("a.txt", "old a\n");
  const std::string b = tree.write("sub/b.txt", "old b\n");
  const std::string c = tree.write("sub/c.txt", "old c\n");
  ASSERT_EQ(cli({"-y", "old", "new", tree.path()}).status, 0);
  // A folder that takes no renames: immutable for root, without write permission for others.
  const std::string sub = tree / "sub";
  const bool immutable = asRoot();
  if (immutable) {
    if (shell("chattr +i '" + sub + "' 2>/dev/null") != 0) GTEST_SKIP() << "no chattr +i here";
  } else {
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  }
  const auto first = cli({"--undo", "-y"});
  EXPECT_EQ(first.status, 1);
  EXPECT_NE(first.out.find("не восстановлен: "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("отменена не до конца"), std::string::npos) << first.out;
  EXPECT_EQ(readFile(a), "old a\n");
  EXPECT_EQ(readFile(b), "new b\n");
  const auto runs = cli({"--runs"});
  EXPECT_NE(runs.out.find("(отмена не закончена)"), std::string::npos) << runs.out;

  if (immutable) {
    ASSERT_EQ(shell("chattr -i '" + sub + "'"), 0);
  } else {
    ASSERT_EQ(chmod(sub.c_str(), 0755), 0);
  }
  const auto second = cli({"--undo", "-y"});
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("Возвращено файлов: 3, оставлено как есть: 0."), std::string::npos)
      << second.out;
  EXPECT_EQ(readFile(b), "old b\n");
  EXPECT_EQ(readFile(c), "old c\n");
}

// No undo takes back a run that is still going; afterwards the whole run can be.
TEST_F(UndoStoreTest, RunStillGoingIsNotUndone) {
  std::vector<std::string> paths;
  for (int i = 0; i < 24; ++i) {
    paths.push_back(tree.write("f" + std::to_string(100 + i) + ".txt",
                               cli_testing::textBlock(2 << 20, "an old line\n")));
  }
  const std::string original = readFile(paths[0]);
  cli_testing::Launch launch =
      cli_testing::launchOf({"--jobs", "1", "-y", "old", "new", tree.path()}, temp.path(), {});
  launch.environment = {"XDG_STATE_HOME=" + state.path()};
  TempTree io;
  launch.stdoutPath = io / "out";
  const pid_t pid = cli_testing::spawnCli(launch);
  ASSERT_TRUE(cli_testing::waitForOpenFile(pid, paths[1])) << "the run ended too soon";
  kill(pid, SIGSTOP);
  const auto undo = cli({"--undo", "-y"});
  EXPECT_EQ(undo.status, 1);
  EXPECT_NE(undo.err.find("ещё идёт"), std::string::npos) << undo.err;
  EXPECT_NE(readFile(paths[0]), original) << "the run's first file stays converted";
  kill(pid, SIGCONT);
  ASSERT_EQ(cli_testing::waitFor(pid), 0);
  const auto after = cli({"--undo", "-y"});
  EXPECT_EQ(after.status, 0) << after.out << after.err;
  for (const std::string& p : paths) EXPECT_EQ(readFile(p), original) << p;
}

// Runs started together each get a place of their own in the store, in order, however many
// start in the same second; a journal line cut short is counted and said, never half read.
TEST_F(UndoStoreTest, RunsStartedTogetherAndACutJournalLine) {
  std::vector<pid_t> runs;
  std::vector<std::string> paths;
  TempTree io;
  for (int i = 0; i < 8; ++i) {
    paths.push_back(tree.write("f" + std::to_string(i) + ".txt", "old\n"));
    cli_testing::Launch launch =
        cli_testing::launchOf({"-y", "old", "new", paths.back()}, temp.path(), io / std::to_string(i));
    launch.environment = {"XDG_STATE_HOME=" + state.path()};
    launch.stderrPath = io / ("err" + std::to_string(i));
    runs.push_back(cli_testing::spawnCli(launch));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(cli_testing::waitFor(runs[i]), 0);
    EXPECT_EQ(readFile(io / ("err" + std::to_string(i))), "") << "every run can be undone";
  }
  std::vector<std::string> listed = lines(cli({"--runs"}).out);
  ASSERT_EQ(listed.size(), 9u) << "eight runs and the total";
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_TRUE(listed[i].starts_with(std::to_string(i + 1) + "-")) << listed[i];
  }
  // The newest run's journal loses the end of its line, as a kill in the middle of it would.
  const std::string newest = listed[7].substr(0, listed[7].find(' '));
  const std::string journal = store() + "/" + newest + "/journal";
  const std::string text = readFile(journal);
  // A line forged to lead out of the run's folder by its kept name is not read either.
  std::string forged = text.substr(0, text.find('\n') + 1);
  forged.replace(forged.find("\tk") + 1, 7, "k/../..");
  testing_support::writeFile(journal, text + forged);
  EXPECT_NE(cli({"--runs"}).out.find("(строк журнала не прочитано: 1)"), std::string::npos);
  testing_support::writeFile(journal, text.substr(0, text.size() - 5));
  EXPECT_NE(cli({"--runs"}).out.find("(строк журнала не прочитано: 1)"), std::string::npos);
  const auto undo = cli({"--undo", "-y"});
  EXPECT_EQ(undo.status, 1);
  EXPECT_NE(undo.out.find("Строк журнала не удалось прочитать: 1"), std::string::npos) << undo.out;
  // --forget drops runs by number, and all of them.
  EXPECT_EQ(cli({"--forget", "1", "-y"}).status, 0);
  EXPECT_EQ(lines(cli({"--runs"}).out).size(), 8u);
  EXPECT_EQ(cli({"--forget", "all", "-y"}).status, 0);
  EXPECT_EQ(cli({"--runs"}).out, "Замен, которые можно отменить, нет.\n");
  const auto forgetWithoutTerminal = cli({"--forget", "all"});
  EXPECT_EQ(forgetWithoutTerminal.status, 0) << "nothing to ask about";
}

// The kill harnesses: three files in two folders, converted by one worker (so that the journal's
// order, and with it every call, is the same each time), with the undo store on the files' file
// system (originals kept by links) and, where /dev/shm is another, there (copies).
class KillHarnessTest : public UndoStoreTest {
 protected:
  static std::string olds(const std::string& name) { return "old " + name + "\n"; }
  static std::string news(const std::string& name) { return "new " + name + "\n"; }

  // The undo stores to try.
  std::vector<std::string> stateHomes() const {
    struct stat shm {}, here {};
    const bool other = stat("/dev/shm", &shm) == 0 && stat(tree.path().c_str(), &here) == 0 &&
                       shm.st_dev != here.st_dev;
    if (!other) return {state.path()};
    return {state.path(), elsewhere.path()};
  }

  cli_testing::Result cliIn(const std::string& stateHome, std::vector<std::string> args,
                            std::vector<std::string> wrapper = {}) {
    cli_testing::Launch launch = cli_testing::launchOf(std::move(args), temp.path(), {});
    launch.environment = {"XDG_STATE_HOME=" + stateHome};
    launch.wrapper = std::move(wrapper);
    return cli_testing::runToEnd(std::move(launch));
  }

  // The files as they were before any run, and no store.
  void plant(const std::string& stateHome) {
    shell("rm -rf '" + tree / "t" + "' '" + stateHome + "/tarvel'");
    for (const std::string& n : kNames) tree.write("t/" + n, olds(n));
  }

  // Whether some file holds the new text; each must hold the old or the new one, whole.
  bool someConverted() {
    bool converted = false;
    for (const std::string& n : kNames) {
      const std::string content = readFile(tree / ("t/" + n));
      EXPECT_TRUE(content == olds(n) || content == news(n)) << n << " holds «" << content << "»";
      converted = converted || content == news(n);
    }
    return converted;
  }

  void expectAllOld(const std::string& said = {}) {
    for (const std::string& n : kNames) EXPECT_EQ(readFile(tree / ("t/" + n)), olds(n)) << n << said;
  }

  // Traces `args` after `prepare`, then, for each call past the first that names `marker`,
  // prepares again, runs `args` killed at that call, checks that the kill came there, and calls
  // `afterKill`. Returns the number of kills.
  int killAtEveryCall(const std::string& stateHome, const std::vector<std::string>& args,
                      const std::string& marker, const std::function<void()>& prepare,
                      const std::function<void()>& afterKill) {
    const std::string log = temp / "trace.log";
    prepare();
    EXPECT_EQ(cliIn(stateHome, args, traced(log)).status, 0);
    const std::vector<testing_support::Call> points = killPoints(log, marker);
    EXPECT_FALSE(points.empty()) << "the trace never names " << marker;
    int kills = 0;
    for (const testing_support::Call& at : points) {
      SCOPED_TRACE("killed at " + at.name + " #" + std::to_string(at.occurrence) + ": " +
                   at.line.substr(0, 160));
      prepare();
      const auto killed = cliIn(stateHome, args, traced(temp / "kill.log", &at));
      if (killed.status != 128 + SIGKILL || !killedAt(temp / "kill.log", at)) {
        ADD_FAILURE() << "status " << killed.status << ": " << killed.out << killed.err;
        return kills;
      }
      ++kills;
      afterKill();
    }
    return kills;
  }

  // Kills `run` at each of its calls, each time checking that every file is whole and that the
  // run's undo brings every one back: no file is ever converted without the journal knowing it.
  void killRunAndUndo(const std::string& stateHome, const std::vector<std::string>& run) {
    int converted = 0;
    const int kills = killAtEveryCall(
        stateHome, run, tree / "t", [&] { plant(stateHome); },
        [&] {
          const bool some = someConverted();
          converted += some;
          const auto undo = cliIn(stateHome, {"--undo", "-y"});
          if (some) {
            EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
          }
          expectAllOld("\n" + undo.out + undo.err);
        });
    std::printf("[          ] %d kill points, %d with a file converted\n", kills, converted);
    EXPECT_GT(kills, 20);
    EXPECT_GT(converted, 0);
  }

  const std::vector<std::string> kNames = {"a.txt", "sub/b.txt", "sub/c.txt"};
  const std::vector<std::string> kRun = {"--jobs", "1", "-y", "old", "new", tree / "t"};
  TempTree elsewhere{testing_support::exists("/dev/shm") ? "/dev/shm" : "/tmp"};
};

// A kill at any moment of an undo leaves every file either as the run wrote it or as it was
// before, and the next undo finishes the job: the originals move back from the store, or
// copies are put next to the files.
// Each store a test of its own: under a sanitizer each kill costs three starts of the program.
class KillHarnessStoreTest : public KillHarnessTest, public ::testing::WithParamInterface<int> {
 protected:
  // The store this case uses, or empty where /dev/shm is on the files' own file system.
  std::string stateHome() const {
    const auto homes = stateHomes();
    return static_cast<std::size_t>(GetParam()) < homes.size() ? homes[GetParam()] : "";
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, KillHarnessStoreTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 0 ? "SameFileSystem" : "OtherFileSystem";
                         });

TEST_P(KillHarnessStoreTest, KillAtEverySystemCallOfAnUndoLeavesWholeFilesAndTheNextOneFinishes) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  if (stateHome().empty()) GTEST_SKIP() << "/dev/shm is on the files' own file system";
  {
    const std::string stateHome = this->stateHome();
    SCOPED_TRACE("store in " + stateHome);
    int finished = 0;
    const int kills = killAtEveryCall(
        stateHome, {"--undo", "-y"}, stateHome,
        [&] {
          plant(stateHome);
          ASSERT_EQ(cliIn(stateHome, kRun).status, 0);
        },
        [&] {
          someConverted();
          for (const std::string& name : testing_support::listFolder(tree / "t/sub")) {
            // A copy killed between getting its name and taking the file's place.
            EXPECT_TRUE(name == "b.txt" || name == "c.txt" || name.starts_with(".tarvel-")) << name;
          }
          const auto next = cliIn(stateHome, {"--undo", "-y"});
          if (next.status != 0) {
            // Killed after the run was marked undone: there is nothing left to finish, and
            // the next --undo would step back to an earlier run: here there is none.
            EXPECT_NE(next.err.find("больше нечего отменять"), std::string::npos)
                << next.out << next.err;
          } else {
            ++finished;
          }
          expectAllOld();
        });
    std::printf("[          ] %d kill points, %d finished by the next undo\n", kills, finished);
    EXPECT_GT(kills, 20);
    EXPECT_GT(finished, 0);
  }
}

// A kill at any moment of a run that keeps its originals leaves every file whole, and the run's
// undo brings every one back: no file is ever converted without the journal knowing it.
TEST_P(KillHarnessStoreTest, KillAtEverySystemCallOfARunLeavesNothingItsUndoCannotTakeBack) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  if (stateHome().empty()) GTEST_SKIP() << "/dev/shm is on the files' own file system";
  SCOPED_TRACE("store in " + stateHome());
  killRunAndUndo(stateHome(), kRun);
}

// The same for a run that shows its diff first and then writes what it showed: the plan's files,
// reached again through their folders, are written by the same steps.
TEST_F(KillHarnessTest, KillAtEverySystemCallOfAReviewedRunLeavesNothingItsUndoCannotTakeBack) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  std::vector<std::string> reviewed = kRun;
  reviewed.insert(reviewed.begin(), "--diff");
  killRunAndUndo(state.path(), reviewed);
}

// A process of the user nobody that holds a shared lock on each of `paths` until it is killed.
pid_t lockAsNobody(const std::vector<std::string>& paths) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  std::vector<const char*> names;
  for (const std::string& p : paths) names.push_back(p.c_str());
  const pid_t holder = fork();
  if (holder == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
    for (const char* name : names) {
      const int fd = open(name, O_RDONLY);
      if (fd < 0 || flock(fd, LOCK_SH) != 0) _exit(1);
    }
    if (write(ready[1], "r", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  const bool locked = holder > 0 && read(ready[0], &c, 1) == 1;
  close(ready[0]);
  if (!locked && holder > 0) waitpid(holder, nullptr, 0);
  return locked ? holder : -1;
}

// Whoever may read a file may lock it, for as long as she likes. A lock that a process of
// another user holds fails its file at once, naming the process (rather than a minute's wait
// for each file); the other files are done, by the run and by its undo.
TEST_F(UndoStoreTest, LocksThatAnotherUserHoldsFailTheirFilesAtOnce) {
  if (!asRoot()) GTEST_SKIP() << "the test plays two users";
  ASSERT_EQ(chmod(tree.path().c_str(), 0755), 0);
  std::vector<std::string> locked;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) locked.push_back(tree.write(std::string("t/") + name, "old\n"));
  const std::string free = tree.write("t/free.txt", "old\n");
  auto said = [](const cli_testing::Result& r, pid_t holder, const std::string& path) {
    return r.out.find("файл заблокирован процессом " + std::to_string(holder) +
                      " другого пользователя - " + path) != std::string::npos;
  };

  pid_t holder = lockAsNobody(locked);
  ASSERT_GT(holder, 0);
  const auto run = cli({"-y", "old", "new", tree / "t"});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  for (const std::string& path : locked) {
    EXPECT_TRUE(said(run, holder, path)) << run.out;
    EXPECT_EQ(readFile(path), "old\n");
  }
  EXPECT_EQ(readFile(free), "new\n");

  holder = lockAsNobody({free});
  ASSERT_GT(holder, 0);
  const auto undo = cli({"--undo", "-y"});
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(undo.status, 1) << undo.out << undo.err;
  EXPECT_TRUE(said(undo, holder, free)) << undo.out;
  EXPECT_EQ(readFile(free), "new\n");
  EXPECT_EQ(cli({"--undo", "-y"}).status, 0) << "the undo is finished once the lock is gone";
  EXPECT_EQ(readFile(free), "old\n");
}

// The store's own lock, held by another process (a run stopped in its terminal), is waited for
// as any lock is: a stop signal ends the wait, and the file is left as it was.
TEST_F(UndoStoreTest, StoresLockHeldElsewhereDoesNotHoldAStop) {
  ASSERT_EQ(cli({"-y", "x", "y", tree.write("first.txt", "x")}).status, 0);  // makes the store
  const std::string file = tree.write("a.txt", "old\n");
  const std::string sequence = store() + "/sequence";
  const int held = open(sequence.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  TempTree io;
  cli_testing::Launch launch = cli_testing::launchOf({"-y", "old", "new", file}, temp.path(),
                                                     io / "out", io / "err");
  launch.environment = {"XDG_STATE_HOME=" + state.path()};
  const pid_t pid = cli_testing::spawnCli(launch);
  ASSERT_TRUE(cli_testing::waitForOpenFile(pid, sequence)) << readFile(io / "err");
  kill(pid, SIGINT);
  EXPECT_EQ(cli_testing::waitFor(pid), 128 + SIGINT) << readFile(io / "err");
  EXPECT_EQ(readFile(file), "old\n");
  close(held);
}

// A stop signal ends an undo between files with 128 + its number; the next one finishes.
TEST_F(UndoStoreTest, StoppedUndoIsFinishedByTheNext) {
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) {
    paths.push_back(tree.write("d" + std::to_string(i / 20) + "/f" + std::to_string(i) + ".txt",
                               "old " + std::to_string(i) + "\n"));
  }
  ASSERT_EQ(cli({"-y", "old", "new", tree.path()}).status, 0);
  cli_testing::Launch launch = cli_testing::launchOf({"--undo", "-y"}, temp.path(), {});
  launch.environment = {"XDG_STATE_HOME=" + state.path()};
  TempTree io;
  launch.stdoutPath = io / "out";
  // Stopped at once: the signal is there before the first file.
  launch.wrapper = {"sh", "-c", "kill -INT $$; exec \"$0\" \"$@\""};
  const int status = cli_testing::waitFor(cli_testing::spawnCli(launch));
  EXPECT_EQ(status, 128 + SIGINT);
  const auto runs = cli({"--runs"});
  EXPECT_EQ(runs.out.find("(отменена"), std::string::npos) << runs.out;
  const auto next = cli({"--undo", "-y"});
  EXPECT_EQ(next.status, 0) << next.out << next.err;
  for (int i = 0; i < 200; ++i) EXPECT_EQ(readFile(paths[i]), "old " + std::to_string(i) + "\n");
}

}  // namespace
