// Threads with names, ids and start times, and the list of live runtime threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

// The operating system's id of the calling thread (gettid on Linux, GetCurrentThreadId on
// Windows). Ids of ended threads may be given to new ones.
uint32_t CurrentThreadId();

// A per-thread value whose upper 16 bits are the thread's trace tag (0 unless set).
uint32_t GetThreadTraceValue();
void SetThreadTraceValue(uint32_t value);

// The calling thread's stack as the address range [*low, *high); false when unknown.
// Lets diagnostics read stack words without leaving the mapped stack. On Windows the range
// is the part committed when called (below it lie the guard page and reserved pages).
bool CurrentThreadStackRange(uintptr_t* low, uintptr_t* high);

struct ThreadInfo {
  std::string name;
  uint32_t id = 0;
  uint64_t start_time = 0;  // file time (100 ns since 1601, UTC)
};

// Number of threads started through OsThread that are still running.
int LiveThreadCount();
// Up to max entries describing live OsThread threads, oldest first.
std::vector<ThreadInfo> ListLiveThreads(int max);

// A joinable thread. The body runs once; Join waits for it. Destroying a thread that was
// started and not joined detaches it. Not thread-safe itself; the body may run concurrently
// with the owner.
class OsThread {
 public:
  OsThread() = default;
  ~OsThread();
  OsThread(const OsThread&) = delete;
  OsThread& operator=(const OsThread&) = delete;

  Status Start(std::string name, std::function<void()> body);
  // Waits up to timeout_ms for the thread to end; kTimeout if it did not.
  Status Join(uint32_t timeout_ms = 0xFFFFFFFFu);
  bool Running() const;
  uint32_t id() const;

 private:
  friend struct ThreadRunner;  // the implementation's thread entry and live-thread registry
  struct State;
  std::shared_ptr<State> M_pState;
};

}  // namespace velmora::osal
