// In-process events with Windows semantics, and waiting for any of several events.
#include "osal/WaitHandle.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace velmora::osal {

// One WaitForAny caller. Events it is registered on mark it fired when they are set;
// it then scans the events again, so a wake-up can never be lost between scan and wait.
struct Event::Waiter {
  std::mutex mutex;
  std::condition_variable cond;
  bool fired = false;
};

namespace {
using Clock = std::chrono::steady_clock;
Status TimeoutStatus() { return Status(ErrorKind::kTimeout, ETIMEDOUT); }
}  // namespace

Event::Event(bool manual_reset, bool initially_set)
    : M_bManual(manual_reset), M_bSet(initially_set) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> guard(M_Mutex);
  M_bSet = true;
  if (M_bManual) {
    M_Cond.notify_all();
  } else {
    M_Cond.notify_one();
  }
  for (Waiter* w : M_Waiters) {
    std::lock_guard<std::mutex> wg(w->mutex);
    w->fired = true;
    w->cond.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(M_Mutex);
  M_bSet = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(M_Mutex);
  return M_bSet;
}

bool Event::TryConsumeLocked() {
  if (!M_bSet) return false;
  if (!M_bManual) M_bSet = false;
  return true;
}

void Event::AddWaiter(Waiter* w) { M_Waiters.push_back(w); }

void Event::RemoveWaiter(Waiter* w) {
  M_Waiters.erase(std::remove(M_Waiters.begin(), M_Waiters.end(), w), M_Waiters.end());
}

Status Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(M_Mutex);
  if (timeout_ms == kInfinite) {
    M_Cond.wait(guard, [this] { return M_bSet; });
  } else if (!M_Cond.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                              [this] { return M_bSet; })) {
    return TimeoutStatus();
  }
  TryConsumeLocked();
  return Status::Ok();
}

Status WaitForAny(Event* const* events, int count, uint32_t timeout_ms, int* index) {
  if (index) *index = -1;
  if (events == nullptr || count <= 0 || index == nullptr)
    return Status(ErrorKind::kInvalid, EINVAL);
  for (int i = 0; i < count; ++i) {
    if (events[i] == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Event::Waiter waiter;
  int registered = 0;  // events [0, registered) hold a pointer to waiter
  int found = -1;
  auto unregister = [&] {
    for (int i = 0; i < registered; ++i) {
      std::lock_guard<std::mutex> guard(events[i]->M_Mutex);
      events[i]->RemoveWaiter(&waiter);
    }
  };
  for (;;) {
    {
      std::lock_guard<std::mutex> wg(waiter.mutex);
      waiter.fired = false;
    }
    // The lowest signalled index wins, as with WaitForMultipleObjects.
    for (int i = 0; i < count && found < 0; ++i) {
      std::lock_guard<std::mutex> guard(events[i]->M_Mutex);
      if (events[i]->TryConsumeLocked()) {
        found = i;
      } else if (i >= registered) {
        events[i]->AddWaiter(&waiter);
        registered = i + 1;
      }
    }
    if (found >= 0) break;
    std::unique_lock<std::mutex> wg(waiter.mutex);
    if (timeout_ms == kInfinite) {
      waiter.cond.wait(wg, [&] { return waiter.fired; });
    } else if (!waiter.cond.wait_until(wg, deadline, [&] { return waiter.fired; })) {
      break;
    }
  }
  unregister();
  if (found < 0) return TimeoutStatus();
  *index = found;
  return Status::Ok();
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace velmora::osal
