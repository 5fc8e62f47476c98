// Bounded polling before a thread goes to sleep on an event.
#pragma once

#include <chrono>
#include <thread>

namespace velmora::xel {

// A thread that waits for its peer usually sees it move within microseconds when the peer is
// busy on another processor, and a sleep with its wake-up costs several times that (waking a
// processor that has gone idle takes tens of microseconds on a virtual machine). So a waiter
// polls first, for up to kSpinMicroseconds, giving the processor after the first few checks to
// any other thread that is ready. The poll is bounded in time, so a thread with nothing to do
// sleeps; a bound in rounds would be far shorter on an idle processor than on a busy one.
constexpr auto kSpinMicroseconds = std::chrono::microseconds(500);
constexpr int kSpinWithoutYield = 16;

// True as soon as done() holds; false once the time is up.
template <class Done>
bool SpinUntil(Done done) {
  for (int i = 0; i < kSpinWithoutYield; ++i) {
    if (done()) return true;
  }
  const auto end = std::chrono::steady_clock::now() + kSpinMicroseconds;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
}

}  // namespace velmora::xel
