// Tests of in-process events and WaitForAny.
#include "osal/WaitHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "osal/System.h"

namespace velmora::osal {
namespace {

TEST(EventTest, AutoResetReleasesOneWaiterAndResets) {
  Event event(false, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(300).ok()) ++woken;
    });
  }
  SleepMs(30);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 1);
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event event(true, true);
  EXPECT_TRUE(event.Wait(0).ok());
  EXPECT_TRUE(event.Wait(0).ok());
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  uint64_t start = TickCountMs();
  Status s = event.Wait(50);
  EXPECT_TRUE(s.Is(ErrorKind::kTimeout));
  EXPECT_GE(TickCountMs() - start, 45u);
}

TEST(EventTest, WaitForAnyPicksTheSignalledEvent) {
  Event a(false), b(false), c(true);
  Event* events[] = {&a, &b, &c};
  int index = -1;
  EXPECT_TRUE(WaitForAny(events, 3, 20, &index).Is(ErrorKind::kTimeout));
  EXPECT_EQ(index, -1);
  std::thread setter([&] {
    SleepMs(20);
    b.Set();
  });
  ASSERT_TRUE(WaitForAny(events, 3, 2000, &index).ok());
  setter.join();
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(b.IsSet());  // auto-reset consumed by the wait
  // Already set: the lowest index wins; a manual event stays set.
  c.Set();
  a.Set();
  ASSERT_TRUE(WaitForAny(events, 3, 0, &index).ok());
  EXPECT_EQ(index, 0);
  ASSERT_TRUE(WaitForAny(events, 3, 0, &index).ok());
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(c.IsSet());
  EXPECT_TRUE(WaitForAny(events, 0, 0, &index).Is(ErrorKind::kInvalid));
}

TEST(EventTest, ManyWaitersOnSharedEventsLoseNoSignal) {
  // Producers set auto-reset events; each Set must release exactly one consumption.
  Event a(false), b(false);
  Event* events[] = {&a, &b};
  std::atomic<int> consumed{0};
  constexpr int kRounds = 200;
  std::thread consumer([&] {
    int index;
    while (consumed < kRounds) {
      if (WaitForAny(events, 2, 1000, &index).ok())
        ++consumed;
      else
        break;
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    Event& e = (i % 2) ? a : b;
    e.Set();
    // Wait until this signal was taken before giving the next one.
    while (consumed <= i) std::this_thread::yield();
  }
  consumer.join();
  EXPECT_EQ(consumed.load(), kRounds);
}

}  // namespace
}  // namespace velmora::osal
