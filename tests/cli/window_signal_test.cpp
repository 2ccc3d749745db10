// The window as the desktop runs it, stopped by a signal as a session that logs out stops it:
// it ends with status 0 and leaves nothing in the temporary folder.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/cli/cli_process.h"
#include "tests/support/temp_tree.h"

namespace {

using testing_support::TempTree;

// Polls /proc until process `pid` catches `number`, that is until its handlers are installed;
// false when the process ended first or a minute went by.
bool waitForHandler(pid_t pid, int number) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool alive = false;
    while (std::getline(status, line)) {
      if (line.starts_with("State:") && line.find('Z') == std::string::npos) alive = true;
      if (alive && line.starts_with("SigCgt:")) {
        const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
        if ((caught >> (number - 1)) & 1) return true;
      }
    }
    if (!alive) return false;
    sched_yield();
  }
  return false;
}

class WindowSignalTest : public testing::TestWithParam<int> {};

TEST_P(WindowSignalTest, EndsWithStatusZeroAndLeavesNothing) {
  TempTree tmp;
  TempTree runtime;
  ASSERT_EQ(chmod(tmp.path().c_str(), 01777), 0);  // shared, as /tmp is
  auto launch = cli_testing::launchOf({}, tmp.path(), runtime / "out", runtime / "err");
  launch.program = TARVEL_WINDOW;
  launch.environment = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.path()};
  const pid_t pid = cli_testing::spawnCli(launch);
  if (!waitForHandler(pid, GetParam())) {
    kill(pid, SIGKILL);
    cli_testing::waitFor(pid);
    FAIL() << "the window never caught the signal";
  }
  ASSERT_EQ(kill(pid, GetParam()), 0);
  EXPECT_EQ(cli_testing::waitFor(pid), 0);
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "something was left in TMPDIR";
}

INSTANTIATE_TEST_SUITE_P(Signals, WindowSignalTest, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
