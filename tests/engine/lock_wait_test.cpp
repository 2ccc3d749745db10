// Waiting for locks: a run shares one budget of waiting among all its files.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "engine/file/replacement.h"
#include "tests/support/temp_tree.h"

namespace engine {
namespace {

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

}  // namespace
}  // namespace engine
