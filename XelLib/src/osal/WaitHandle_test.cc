// Tests of in-process events and WaitForAny.
#include "osal/WaitHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "osal/System.h"

namespace velmora::osal {
namespace {

TEST(EventTest, AutoResetReleasesOneWaiterManualResetStaysSet) {
  Event event(false, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += event.Wait(300).ok(); });
  SleepMs(30);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_TRUE(woken.load() == 1 && !event.IsSet());
  Event manual(true, true);
  EXPECT_TRUE(manual.Wait(0).ok() && manual.Wait(0).ok() && manual.IsSet());
  manual.Reset();
  const uint64_t start = TickCountMs();
  EXPECT_TRUE(manual.Wait(50).Is(ErrorKind::kTimeout));
  EXPECT_GE(TickCountMs() - start, 45u);
}

TEST(EventTest, WaitForAnyPicksTheSignalledEvent) {
  Event a(false), b(false), c(true);
  Event* events[] = {&a, &b, &c};
  int index = -1, second = -1;
  EXPECT_TRUE(WaitForAny(events, 3, 20, &index).Is(ErrorKind::kTimeout) && index == -1);
  std::thread setter([&] {
    SleepMs(20);
    b.Set();
  });
  ASSERT_TRUE(WaitForAny(events, 3, 2000, &index).ok());
  setter.join();
  EXPECT_TRUE(index == 1 && !b.IsSet());  // auto-reset consumed by the wait
  // Already set: the lowest index wins; a manual event stays set.
  c.Set();
  a.Set();
  ASSERT_TRUE(WaitForAny(events, 3, 0, &index).ok() && WaitForAny(events, 3, 0, &second).ok());
  EXPECT_EQ(std::pair(index, second), std::pair(0, 2));
  EXPECT_TRUE(c.IsSet());
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
