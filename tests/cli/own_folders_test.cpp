// What a run must never walk or lose: its own work and undo folders inside the walked tree, other
// runs' folders and staging files, the root met again through a bind mount, a kernel's file, and
// a write that another program makes to a file while it is being replaced.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <vector>

#include "tests/cli/cli_process.h"
#include "tests/support/strace_log.h"
#include "tests/support/temp_tree.h"

namespace {

using cli_testing::lines;
using testing_support::readFile;
using testing_support::TempTree;

pid_t stoppedRun(pid_t tracer, const std::string& log);

class OwnFoldersTest : public ::testing::Test {
 protected:
  cli_testing::Result cli(std::vector<std::string> args, const std::string& tmpdir,
                          const std::string& stateHome, std::vector<std::string> wrapper = {}) {
    cli_testing::Launch launch = cli_testing::launchOf(std::move(args), tmpdir, {});
    launch.environment = {"XDG_STATE_HOME=" + stateHome};
    launch.wrapper = std::move(wrapper);
    return cli_testing::runToEnd(std::move(launch));
  }

  // Runs tarvel-cli over `target` with one worker, stopped (by strace) just after its `rename`-th
  // rename, while another program writes a line through `writer`, which it opened on a file
  // before the run. Expects status 1; returns the report.
  std::string writeWhileStopped(const std::string& target, bool undo, int writer, int rename) {
    std::vector<std::string> args = {"-y", "--jobs", "1", "old", "new", target};
    if (!undo) args.insert(args.begin(), "--no-undo");
    cli_testing::Launch launch = cli_testing::launchOf(args, temp.path(), {});
    TempTree io;
    launch.stdoutPath = io / "out";
    launch.environment = {"XDG_STATE_HOME=" + temp.path()};
    const std::string log = io / "strace.log";
    launch.wrapper = {"strace", "-f", "-qq", "-e", "trace=renameat", "-o", log, "-e",
                      "inject=renameat:signal=STOP:when=" + std::to_string(rename)};
    const pid_t tracer = cli_testing::spawnCli(launch);
    const pid_t run = stoppedRun(tracer, log);
    EXPECT_NE(run, 0) << readFile(io / "out");
    EXPECT_EQ(write(writer, "their line\n", 11), 11);
    close(writer);
    if (run != 0) kill(run, SIGCONT);
    EXPECT_EQ(cli_testing::waitFor(tracer), 1);
    return readFile(io / "out");
  }

  static inline const std::string kWrittenDuring =
      "файл изменён другой программой во время замены; его последнее содержимое сохранено в ";

  TempTree tree;
  TempTree temp;
};

// The temporary folder and the undo store inside the tree that is walked, with four workers:
// every file of the user's is converted exactly once, nothing of the program's is touched or
// counted, and the run can be undone. Folders that only look like the program's (by name and
// mode) are the user's, and walked.
TEST_F(OwnFoldersTest, WorkAndUndoFoldersInsideTheWalkedTreeAreLeftAlone) {
  const std::string ten(10, 'a');
  std::vector<std::string> files;
  for (int d = 0; d < 20; ++d) {
    for (int f = 0; f < 20; ++f) {
      files.push_back(tree.write("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", ten));
    }
  }
  const std::string tmpdir = tree.mkdir("zz");
  const std::string state = tree.mkdir("state");
  ASSERT_EQ(chmod(state.c_str(), 0700), 0);
  // Another run's staging file about to take a file's place.
  tree.write(".tarvel-AbC123", ten);
  for (const std::string& look :
       std::vector<std::string>{"tarvel-cli-Xy12Zq", "backup/tarvel-" + std::to_string(geteuid())}) {
    ASSERT_EQ(chmod(tree.mkdir(look).c_str(), 0700), 0);
    files.push_back(tree.write(look + "/k5ywhqx", ten));
  }

  const auto run = cli({"-y", "-H", "--jobs", "4", "a", "aa", tree.path()}, tmpdir, state);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Файлов: 402, изменено: 402, замен: 4020, без изменений: 0, пропущено: 0, ошибок: 0"),
            std::string::npos)
      << run.out;
  for (const std::string& f : files) ASSERT_EQ(readFile(f), std::string(20, 'a')) << f;
  EXPECT_EQ(readFile(tree / ".tarvel-AbC123"), ten);

  const auto undo = cli({"--undo", "-y"}, tmpdir, state);
  EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
  for (const std::string& f : files) ASSERT_EQ(readFile(f), ten) << f;
}

// Anyone may rename the names of a temporary folder that others can write without the sticky
// bit. The run's folder is made inside the user's private folder and reached through its
// descriptor only: another user who swaps the private folder for a link to her own, as the
// run's folder is made or just before a file is renamed into place, gets nothing. A private
// folder she planted (her own, or a link) is refused before anything is touched.
TEST_F(OwnFoldersTest, TemporaryFolderOthersCanWriteWithoutTheStickyBit) {
  if (geteuid() != 0) GTEST_SKIP() << "the test plays two users";
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  TempTree shared;
  ASSERT_EQ(chmod(shared.path().c_str(), 0777), 0);
  const std::string evil = shared.mkdir("evil");
  ASSERT_EQ(chown(evil.c_str(), 65534, 65534), 0);
  const std::string mine = shared / ("tarvel-" + std::to_string(geteuid()));
  auto asNobody = [&](const std::string& command) {
    return testing_support::run("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \"" +
                                command + "\"");
  };
  const std::string file = tree.write("f.txt", "old text\n");

  for (const std::string& plant : {"mkdir '" + mine + "'", "ln -s '" + evil + "' '" + mine + "'"}) {
    SCOPED_TRACE(plant);
    ASSERT_EQ(asNobody(plant), 0);
    const auto r = cli({"-y", "old", "new", file}, shared.path(), temp.path());
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("Не удалось открыть папку рабочего файла"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(file), "old text\n");
    ASSERT_EQ(asNobody("rm -rf '" + mine + "'"), 0);
  }

  for (const char* at : {"mkdirat", "renameat"}) {
    SCOPED_TRACE(std::string("swapped at ") + at);
    testing_support::writeFile(file, "old text\n");
    cli_testing::Launch launch = cli_testing::launchOf({"-y", "--jobs", "1", "old", "new", file},
                                                       shared.path(), {});
    TempTree io;
    launch.stdoutPath = io / "out";
    launch.environment = {"XDG_STATE_HOME=" + temp.path()};
    const std::string log = io / "strace.log";
    launch.wrapper = {"strace", "-f", "-qq", "-e", std::string("trace=") + at, "-o", log, "-e",
                      std::string("inject=") + at + ":signal=STOP:when=1"};
    const pid_t tracer = cli_testing::spawnCli(launch);
    const pid_t run = stoppedRun(tracer, log);
    ASSERT_NE(run, 0) << readFile(io / "out");
    EXPECT_EQ(asNobody("mv '" + mine + "' '" + shared / "moved" + "' && ln -s '" + evil + "' '" +
                       mine + "'"),
              0);
    kill(run, SIGCONT);
    EXPECT_EQ(cli_testing::waitFor(tracer), 0) << readFile(io / "out");
    EXPECT_EQ(readFile(file), "new text\n");
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "her file took the place of root's";
    EXPECT_EQ(testing_support::listFolder(evil), std::vector<std::string>{});
    ASSERT_EQ(testing_support::run("rm -rf '" + mine + "' '" + shared / "moved" + "'"), 0);
  }
}

// Someone else plants a repository in a shared folder above the user's (a .git and a
// .gitignore that ignores *.conf): it lends the walk no rule, the file is replaced and a line
// says why. The same repository of the user's own leaves the file as git would; an ignore file
// of another user's in it, or in a folder a shared group may write, is not read.
TEST_F(OwnFoldersTest, OnlyTheUsersOwnIgnoreRulesApply) {
  if (geteuid() != 0) GTEST_SKIP() << "the test plays two users";
  if (std::system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no git here";
  const std::string shared = tree.mkdir("shared");
  const std::string top = std::filesystem::canonical(shared).string();
  const struct {
    const char* plant;  // run in the folder, after git init and the .gitignore
    const char* said;   // the first line, or nothing ("") before the summary
    const char* content;
  } cases[] = {
      {"chown -R 65534:65534 . && chown -R 0:0 mine",
       "правила игнорирования репозитория {} не применяются: он принадлежит другому "
       "пользователю",
       "new\n"},
      {"true", "", "old\n"},
      {"chown 65534 .gitignore",
       "правила игнорирования из {}/.gitignore не применяются: файл принадлежит другому "
       "пользователю",
       "new\n"},
      {"chgrp 65534 . && chmod 0775 .",
       "правила игнорирования из {}/.gitignore не применяются: в эту папку могут писать другие "
       "пользователи",
       "new\n"},
      // The user's private group (root's, named root, without members) is no one else.
      {"chmod 0775 .", "", "old\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant);
    const std::string conf = tree.write("shared/mine/app.conf", "old\n");
    ASSERT_EQ(testing_support::run("cd '" + shared +
                                   "' && rm -rf .git .gitignore && chown 0:0 . && chmod 0755 . && "
                                   "git init -q . && printf '*.conf\\n' >.gitignore && " +
                                   c.plant),
              0);
    cli_testing::Launch launch =
        cli_testing::launchOf({"-y", "old", "new", shared + "/mine"}, temp.path(), {});
    launch.environment = {"XDG_STATE_HOME=" + temp.path(), "HOME=" + temp.path(),
                          "XDG_CONFIG_HOME=" + temp / "config"};
    const auto r = cli_testing::runToEnd(std::move(launch));
    EXPECT_EQ(r.status, 0) << r.err;
    std::string said = c.said;
    if (const auto at = said.find("{}"); at != std::string::npos) said.replace(at, 2, top);
    const std::vector<std::string> out = lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front().starts_with("Файлов:") ? "" : out.front(), said) << r.out;
    EXPECT_EQ(readFile(conf), c.content) << r.out;
  }
}

// A bind mount of the root inside a tree is the whole system again: not entered.
TEST_F(OwnFoldersTest, RootMetAgainInsideATreeIsNotEntered) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const std::string root = tree.mkdir("t/r");
  tree.write("t/mine.txt", "root:x:0:0\n");
  if (mount("/", root.c_str(), nullptr, MS_BIND, nullptr) != 0) GTEST_SKIP() << "no bind mount here";
  const auto r = cli({"-n", "root:x:0:0", "pwned", tree / "t"}, temp.path(), temp.path());
  umount2(root.c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> said = lines(r.out);
  EXPECT_NE(std::find(said.begin(), said.end(),
                      "!_  пропущен: папка — корневая папка всей файловой системы, не обходится - " +
                          root),
            said.end())
      << r.out;
  EXPECT_NE(r.out.find("Файлов: 1, будет изменено: 1, замен будет: 1"), std::string::npos) << r.out;
}

// A file of the kernel's own, named alone, is refused as its folder would be.
TEST_F(OwnFoldersTest, KernelFileNamedAloneIsABadCall) {
  const auto r = cli({"-y", "a", "b", "/proc/self/status"}, temp.path(), temp.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("служебная файловая система proc"), std::string::npos) << r.err;
}

// A run that was killed leaves its folder of work files; the next run of the user clears it,
// and leaves alone the folder of a run that is still going (it holds its lock): in the private
// folder, and where older versions made them, in the temporary folder itself. A walk of the
// temporary folder says that it leaves such a folder out; the private folder is not the user's.
TEST_F(OwnFoldersTest, KilledRunsFolderIsClearedByTheNext) {
  const std::string privateOne = temp.mkdir("tarvel-" + std::to_string(geteuid()));
  ASSERT_EQ(chmod(privateOne.c_str(), 0700), 0);
  auto plant = [&](const std::string& name) {
    const std::string folder = temp.mkdir(name);
    chmod(folder.c_str(), 0700);
    testing_support::writeFile(folder + "/k5ywhqx", "half a conversion");
    return folder;
  };
  std::vector<int> held;
  for (const std::string& in : {std::string(), privateOne.substr(temp.path().size() + 1) + "/"}) {
    const std::string killed = plant(in + "tarvel-cli-Killed");
    const std::string going = plant(in + "tarvel-cli-Going1");
    held.push_back(open(going.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(held.back(), 0);
    ASSERT_EQ(flock(held.back(), LOCK_EX | LOCK_NB), 0);
  }
  const std::string file = tree.write("a.txt", "old");
  EXPECT_EQ(cli({"-y", "old", "new", file}, temp.path(), tree.path()).status, 0);
  for (const std::string& in : {temp.path(), privateOne}) {
    struct stat st {};
    EXPECT_NE(lstat((in + "/tarvel-cli-Killed").c_str(), &st), 0) << "the killed run's folder is gone";
    EXPECT_EQ(readFile(in + "/tarvel-cli-Going1/k5ywhqx"), "half a conversion");
  }
  const auto walk = cli({"-n", "half", "whole", temp.path()}, temp.path(), tree.path());
  EXPECT_EQ(lines(walk.out).front(),
            "!_  пропущен: это рабочая папка другой замены, которая ещё идёт, она не обходится - " +
                temp / "tarvel-cli-Going1")
      << walk.out;
  EXPECT_NE(walk.out.find("Файлов: 0"), std::string::npos) << walk.out;
  for (const int fd : held) close(fd);
}

// The process of a run traced by strace into `log`, once strace says it has stopped; 0 when the
// run ended first.
pid_t stoppedRun(pid_t tracer, const std::string& log) {
  const std::string stopped = "--- stopped by SIGSTOP ---";
  for (;;) {
    int status = 0;
    if (waitpid(tracer, &status, WNOHANG) == tracer) return 0;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      if (line.find(stopped) != std::string::npos) return std::stoi(line);
    }
    sched_yield();
  }
}

// Another program that writes to a file through a descriptor it opened before (a log, an
// editor's save) while the file is being replaced: its write lands in the old file. The run
// looks at the old file once more after the rename, reports the file as a failure and says
// where its latest content is: in the undo store, or, without undo, next to the file.
TEST_F(OwnFoldersTest, WriteDuringTheRenameIsReportedAndItsBytesKept) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  for (const bool undo : {true, false}) {
    SCOPED_TRACE(undo ? "with undo" : "without undo");
    const std::string path = tree.write(undo ? "with.txt" : "without.txt",
                                        cli_testing::textBlock(1 << 20, "some old text\n"));
    const int writer = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    // The run stops just after its rename: the other program writes then, before the run
    // looks at the old file again.
    const std::string out = writeWhileStopped(path, undo, writer, 1);
    const std::size_t at = out.find(kWrittenDuring);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string kept =
        out.substr(at + kWrittenDuring.size(), out.find('\n', at) - at - kWrittenDuring.size());
    const std::string content = readFile(kept);
    EXPECT_TRUE(content.starts_with("some old text\n") && content.ends_with("their line\n")) << kept;
    EXPECT_EQ(readFile(path).substr(0, 14), "some new text\n") << "the new file is in place";
  }
}

// The same write, made after the run's own look at the old file (while the next file is
// renamed): the run looks at each old file once more before it ends, and reports it then.
TEST_F(OwnFoldersTest, WriteAfterTheRenamesLookIsCaughtAtTheEnd) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  for (const bool undo : {true, false}) {
    SCOPED_TRACE(undo ? "with undo" : "without undo");
    TempTree files;
    const std::string first = files.write("a.txt", "some old text\n");
    files.write("b.txt", "more old text\n");
    const int writer = open(first.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::string out = writeWhileStopped(files.path(), undo, writer, 2);
    const std::size_t at = out.find(kWrittenDuring);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NE(out.find(" - " + first, at), std::string::npos) << out;
    const std::string kept =
        out.substr(at + kWrittenDuring.size(), out.find(" - ", at) - at - kWrittenDuring.size());
    EXPECT_EQ(readFile(kept), "some old text\ntheir line\n") << kept;
    EXPECT_NE(out.find("Файлов: 2, изменено: 1, замен: 1, без изменений: 0, пропущено: 0, ошибок: 1"),
              std::string::npos)
        << out;
  }
}

}  // namespace

namespace {

// On a file system whose listings give no file types the walk asks for each folder's mount;
// what the kernel says of a mount is read once per run, not once per folder.
TEST(WalkCostsTest, MountFactsAreReadOncePerMount) {
  if (!testing_support::straceMissing().empty()) GTEST_SKIP() << testing_support::straceMissing();
  struct stat shm {};
  if (stat("/dev/shm", &shm) != 0) GTEST_SKIP() << "no /dev/shm";
  TempTree tree("/dev/shm");
  TempTree temp;
  for (int i = 0; i < 30; ++i) tree.write("d" + std::to_string(i) + "/f.txt", "old");
  const std::string log = temp / "trace.log";
  const auto r = cli_testing::runCli({"-n", "old", "new", tree.path()}, temp.path(), {},
                                     {"strace", "-f", "-qq", "-e", "trace=openat", "-o", log});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string trace = readFile(log);
  std::size_t opens = 0;
  for (std::size_t at = 0; (at = trace.find("/proc/self/mountinfo", at)) != std::string::npos; ++at) {
    ++opens;
  }
  EXPECT_LT(opens, 5u) << "30 folders on one mount: once for the run, not once a folder";
}

}  // namespace
