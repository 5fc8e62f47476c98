// Tests of threads: names, ids, joins with time-out and the live-thread list.
#include "osal/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

TEST(ThreadTest, RunsNamedThreadWithItsOwnId) {
  Event release(true);
  std::string kernel_name;
  uint32_t inner_id = 0;
  OsThread thread;
  int before = LiveThreadCount();
  uint64_t start = SystemTimeAsFileTime();
  ASSERT_TRUE(thread
                  .Start("a-rather-long-thread-name",
                         [&] {
                           char buf[32] = {};
                           pthread_getname_np(pthread_self(), buf, sizeof buf);
                           kernel_name = buf;
                           inner_id = CurrentThreadId();
                           (void)release.Wait(kInfinite);
                         })
                  .ok());
  EXPECT_TRUE(thread.Running());
  EXPECT_NE(thread.id(), 0u);
  EXPECT_NE(thread.id(), CurrentThreadId());
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
  EXPECT_EQ(kernel_name, "a-rather-long-t");  // Linux keeps 15 bytes
  EXPECT_EQ(inner_id, thread.id());
  EXPECT_EQ(LiveThreadCount(), before);
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(getpid()));  // the test's main thread
}

TEST(ThreadTest, RestartAfterJoinAndDetachOnDestruction) {
  std::atomic<int> runs{0};
  OsThread thread;
  ASSERT_TRUE(thread.Start("t1", [&] { ++runs; }).ok());
  EXPECT_TRUE(thread.Start("t1", [&] { ++runs; }).Is(ErrorKind::kInvalid));  // not joined yet
  ASSERT_TRUE(thread.Join().ok());
  ASSERT_TRUE(thread.Start("t2", [&] { ++runs; }).ok());
  ASSERT_TRUE(thread.Join().ok());
  EXPECT_EQ(runs.load(), 2);

  auto done = std::make_shared<Event>(true);
  {
    OsThread detached;
    ASSERT_TRUE(detached
                    .Start("detached",
                           [done] {
                             SleepMs(10);
                             done->Set();
                           })
                    .ok());
  }  // destroyed while running: detached, the body still completes
  EXPECT_TRUE(done->Wait(2000).ok());
}

TEST(ThreadTest, TraceValueIsPerThread) {
  SetThreadTraceValue(0x12340000);
  uint32_t other = 1;
  OsThread thread;
  ASSERT_TRUE(thread.Start("trace", [&] { other = GetThreadTraceValue(); }).ok());
  ASSERT_TRUE(thread.Join().ok());
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetThreadTraceValue(), 0x12340000u);
  SetThreadTraceValue(0);
}

}  // namespace
}  // namespace velmora::osal
