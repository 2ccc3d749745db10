// Waiting for locks: a run shares one budget of waiting among all its files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include "engine/file/replacement.h"
#include "engine/run/run.h"
#include "engine/run/work_files.h"
#include "platform/code_page.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

using testing_support::readFile;
using testing_support::TempTree;

// A lock of the user's own (another open of the file) is waited for, but once the run has
// spent its minute on waits, the next file's wait fails at its first look instead of
// beginning a minute of its own.
TEST(LockWaitTest, ARunsWaitsShareOneMinute) {
  TempTree tree;
  const std::string path = tree.write("f.txt", "x");
  const int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int mine = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_GE(mine, 0);
  ASSERT_EQ(flock(held, LOCK_SH), 0);

  LockBudget budget;
  const EventPump pump;
  constexpr auto step = platform::Step::OpenFile;
  constexpr auto busy = platform::Why::LockedTooLong;
  {
    LockWait first(pump, &budget);
    EXPECT_FALSE(first.take(mine, step, busy));
    EXPECT_EQ(budget.waitingFor(), busy) << "the run can say what it waits for";
    EXPECT_FALSE(first.take(mine, step, busy)) << "a lock of the user's own is waited for";
  }
  EXPECT_EQ(budget.waitingFor(), std::nullopt) << "a wait given up says so";
  EXPECT_FALSE(budget.spend(std::chrono::seconds(60)));
  LockWait next(pump, &budget);
  EXPECT_FALSE(next.take(mine, step, busy));
  EXPECT_THROW(next.take(mine, step, busy), platform::Error);

  flock(held, LOCK_UN);
  EXPECT_TRUE(next.take(mine, step, busy)) << "a free lock is taken still";
  EXPECT_EQ(budget.waitingFor(), std::nullopt) << "a lock taken ends the wait";
  close(held);
  close(mine);
}

// The run hands its budget to each conversion, and learns from it what a wait is for: a run
// whose file another program of the user's has locked says that it waits, until the holder
// lets go, and then that it no longer does.
TEST(LockWaitTest, ARunSaysWhileItWaitsForALock) {
  TempTree tree;
  TempTree temp;
  testing_support::ScopedEnv env("TMPDIR", temp.path().c_str());
  const std::string path = tree.write("f.txt", "old");
  const int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_SH), 0);

  struct Sink final : RunSink {
    void item(const RunItem& item) override { items.push_back(item); }
    void lockWait(std::optional<platform::Why> what) override { said.push_back(what); }
    void waiting(std::size_t) override {
      // The holder lets go once the run says it waits; without a word from the run, after as
      // many looks as a second of waiting takes, so that the test ends either way.
      if (locked && (!said.empty() || ++looks == 100)) {
        flock(held, LOCK_UN);
        locked = false;
      }
    }
    int held = -1;
    bool locked = true;
    int looks = 0;
    std::vector<std::optional<platform::Why>> said;
    std::vector<RunItem> items;
  } sink;
  sink.held = held;

  const std::optional<platform::CodePage> page = platform::CodePage::byName("CP1251");
  WorkFiles work = WorkFiles::Private(1);
  RunRequest request;
  request.targets = {RunTarget{path, false, std::nullopt}};
  request.options.findText = "old";
  request.options.replaceText = "new";
  request.codePage = &*page;
  request.workFiles = &work;
  const std::atomic<bool> stop{false};
  const RunOutcome outcome = engine::Run(request, sink, stop);
  close(held);

  EXPECT_EQ(sink.said, (std::vector<std::optional<platform::Why>>{platform::Why::LockedTooLong,
                                                                  std::nullopt}));
  EXPECT_EQ(outcome.tally.changed, 1u);
  EXPECT_EQ(readFile(path), "new");
}

}  // namespace
}  // namespace engine
