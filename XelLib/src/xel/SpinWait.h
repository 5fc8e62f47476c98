// Bounded polling before a thread goes to sleep on an event.
#pragma once

#include <thread>

namespace velmora::xel {

// A thread that waits for its peer usually sees it move within microseconds when the peer is
// busy on another processor, and a sleep with its wake-up costs several times that (waking a
// processor that has gone idle takes tens of microseconds on a virtual machine). So a waiter
// polls a little first: up to kSpinRounds checks, the later ones giving the processor to any
// other thread that is ready. The poll is bounded, so a thread with nothing to do sleeps.
constexpr int kSpinRounds = 200;
constexpr int kSpinWithoutYield = 16;

// True as soon as done() holds; false when the rounds are used up.
template <class Done>
bool SpinUntil(Done done) {
  for (int i = 0; i < kSpinRounds; ++i) {
    if (done()) return true;
    if (i >= kSpinWithoutYield) std::this_thread::yield();
  }
  return false;
}

}  // namespace velmora::xel
