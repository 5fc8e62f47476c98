// In-process events and waits with time-outs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An event as on Windows: manual-reset events stay signalled until Reset; auto-reset
// events release one waiter and reset themselves. Thread-safe.
class Event {
 public:
  explicit Event(bool manual_reset = false, bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits up to timeout_ms (kInfinite for ever). Ok when signalled; kTimeout otherwise.
  Status Wait(uint32_t timeout_ms);
  bool IsSet() const;

 private:
  friend Status WaitForAny(Event* const* events, int count, uint32_t timeout_ms, int* index);
  struct Waiter;
  bool TryConsumeLocked();
  void AddWaiter(Waiter* w);
  void RemoveWaiter(Waiter* w);

  mutable std::mutex M_Mutex;
  std::condition_variable M_Cond;
  bool M_bManual;
  bool M_bSet;
  std::vector<Waiter*> M_Waiters;  // WaitForAny callers registered on this event
};

// Waits until one of count events is signalled (consuming it when auto-reset);
// *index receives its position. kTimeout when none was signalled in time.
Status WaitForAny(Event* const* events, int count, uint32_t timeout_ms, int* index);

// Sleeps the calling thread.
void SleepMs(uint32_t ms);

}  // namespace velmora::osal
