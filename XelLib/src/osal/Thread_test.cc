// Tests of threads (names, ids, joins with time-out, restarts, the live-thread list) and of
// in-process events and WaitForAny.
#include "osal/Thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

TEST(ThreadTest, NamedThreadsIdsJoinsRestartsAndPerThreadTraceValue) {
  Event release(true);
  uint32_t inner_id = 0, trace = 1;
  OsThread thread;
  int before = LiveThreadCount();
  uint64_t start = SystemTimeAsFileTime();
  SetThreadTraceValue(0x12340000);
  auto body = [&] {
    inner_id = CurrentThreadId();
    trace = GetThreadTraceValue();
    (void)release.Wait(kInfinite);
  };
  EXPECT_TRUE(thread.Start("empty", nullptr).Is(ErrorKind::kInvalid));
  ASSERT_TRUE(thread.Start("a-rather-long-thread-name", body).ok());
  EXPECT_TRUE(thread.Start("again", body).Is(ErrorKind::kInvalid));  // not joined yet
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
  EXPECT_EQ(std::tuple(inner_id, trace, LiveThreadCount(), GetThreadTraceValue()),
            std::tuple(thread.id(), 0u, before, 0x12340000u));
  SetThreadTraceValue(0);
  // A joined thread starts again; one destroyed while running is detached.
  inner_id = 0;
  ASSERT_TRUE(thread.Start("t2", body).ok() && thread.Join().ok());
  EXPECT_EQ(inner_id, thread.id());
  auto done = std::make_shared<Event>(true);
  auto later = [done] {
    SleepMs(10);
    done->Set();
  };
  ASSERT_TRUE(OsThread().Start("detached", later).ok());
  EXPECT_TRUE(done->Wait(2000).ok());
}

TEST(EventTest, AutoResetReleasesOneWaiterAndWaitForAnyPicksTheSignalledEvent) {
  Event a(false), b(false), c(true);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += a.Wait(300).ok(); });
  SleepMs(30);
  a.Set();
  for (auto& t : waiters) t.join();
  EXPECT_TRUE(woken.load() == 1 && !a.IsSet());
  Event* events[] = {&a, &b, &c};
  int index = -1, second = -1;
  const uint64_t start = TickCountMs();
  EXPECT_TRUE(WaitForAny(events, 3, 50, &index).Is(ErrorKind::kTimeout) && index == -1);
  EXPECT_GE(TickCountMs() - start, 45u);
  std::thread setter([&] {
    SleepMs(20);
    b.Set();
  });
  ASSERT_TRUE(WaitForAny(events, 3, 2000, &index).ok());
  setter.join();
  EXPECT_TRUE(index == 1 && !b.IsSet());  // auto-reset consumed by the wait
  // Already set: the lowest index wins; a manual event stays set until reset.
  c.Set();
  a.Set();
  ASSERT_TRUE(WaitForAny(events, 3, 0, &index).ok() && WaitForAny(events, 3, 0, &second).ok());
  EXPECT_EQ(std::pair(index, second), std::pair(0, 2));
  EXPECT_TRUE(c.Wait(0).ok() && c.IsSet());
  c.Reset();
  EXPECT_TRUE(c.Wait(0).Is(ErrorKind::kTimeout));
  EXPECT_TRUE(WaitForAny(events, 0, 0, &index).Is(ErrorKind::kInvalid));
}

// Each Set of an auto-reset event must release exactly one consumption.
TEST(EventTest, ManyWaitsOnSharedEventsLoseNoSignal) {
  Event a(false), b(false);
  Event* events[] = {&a, &b};
  std::atomic<int> consumed{0};
  constexpr int kRounds = 200;
  std::thread consumer([&] {
    int index;
    while (consumed < kRounds && WaitForAny(events, 2, 1000, &index).ok()) ++consumed;
  });
  for (int i = 0; i < kRounds; ++i) {
    (i % 2 ? a : b).Set();
    while (consumed <= i) std::this_thread::yield();  // the next signal after this one's taken
  }
  consumer.join();
  EXPECT_EQ(consumed.load(), kRounds);
}

}  // namespace
}  // namespace velmora::osal
