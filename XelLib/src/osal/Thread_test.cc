// Tests of threads: names, ids, joins with time-out, restarts and the live-thread list.
#include "osal/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <tuple>

#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

TEST(ThreadTest, RunsNamedThreadWithItsOwnId) {
  Event release(true);
  uint32_t inner_id = 0;
  OsThread thread;
  int before = LiveThreadCount();
  uint64_t start = SystemTimeAsFileTime();
  auto body = [&] {
    inner_id = CurrentThreadId();
    (void)release.Wait(kInfinite);
  };
  ASSERT_TRUE(thread.Start("a-rather-long-thread-name", body).ok());
  EXPECT_TRUE(thread.Running() && thread.id() != 0u && thread.id() != CurrentThreadId());
  EXPECT_EQ(LiveThreadCount(), before + 1);
  auto list = ListLiveThreads(100);
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const ThreadInfo& t) { return t.id == thread.id(); });
  ASSERT_NE(it, list.end());
  EXPECT_EQ(it->name, "a-rather-long-thread-name");
  EXPECT_GE(it->start_time + 10000000u, start);
  EXPECT_TRUE(ListLiveThreads(0).empty());
  EXPECT_TRUE(thread.Join(20).Is(ErrorKind::kTimeout));
  release.Set();
  ASSERT_TRUE(thread.Join().ok());
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(std::pair(inner_id, LiveThreadCount()), std::pair(thread.id(), before));
}

TEST(ThreadTest, RestartAfterJoinDetachOnDestructionAndPerThreadTraceValue) {
  std::atomic<int> runs{0};
  uint32_t trace = 1;
  auto run = [&] {
    ++runs;
    trace = GetThreadTraceValue();
  };
  SetThreadTraceValue(0x12340000);
  OsThread thread;
  EXPECT_TRUE(thread.Start("empty", nullptr).Is(ErrorKind::kInvalid));
  ASSERT_TRUE(thread.Start("t1", run).ok());
  EXPECT_TRUE(thread.Start("t1", run).Is(ErrorKind::kInvalid));  // not joined yet
  ASSERT_TRUE(thread.Join().ok() && thread.Start("t2", run).ok() && thread.Join().ok());
  EXPECT_EQ(std::tuple(runs.load(), trace, GetThreadTraceValue()), std::tuple(2, 0u, 0x12340000u));
  SetThreadTraceValue(0);
  auto done = std::make_shared<Event>(true);
  auto later = [done] {
    SleepMs(10);
    done->Set();
  };
  ASSERT_TRUE(OsThread().Start("detached", later).ok());  // destroyed while running: detached
  EXPECT_TRUE(done->Wait(2000).ok());
}

}  // namespace
}  // namespace velmora::osal
