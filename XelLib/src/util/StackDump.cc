// Stack dumps along the frame-pointer chain and the list of live runtime threads.
#include <cinttypes>
#include <cstdint>

#include "osal/System.h"
#include "osal/Thread.h"
#include "util/Trace.h"

namespace velmora::util {

namespace {

constexpr uintptr_t kMaxFrameStep = 4000001;

// Reads stack words that belong to other frames: the address sanitizer would report its
// own red zones, which are exactly what a raw dump is meant to show.
__attribute__((no_sanitize("address"), noinline)) uint32_t StackWord(uintptr_t address) {
  return *reinterpret_cast<const volatile uint32_t*>(address);
}

__attribute__((no_sanitize("address"), noinline)) uintptr_t StackPointerWord(uintptr_t address) {
  return *reinterpret_cast<const volatile uintptr_t*>(address);
}

}  // namespace

// Keeps its own frame pointer even in optimised builds, so that the walk has a start.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) void StackDump(const char* location,
                                                                            int size) {
  if (!location) location = "";
  uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  TraceUnconditional("Start of stack dump (location=%s, Address=%" PRIxPTR
                     ") requires FramePointer (option: /Oy-)",
                     location, frame);
  TraceUnconditional("Address:  FramePtr RetAddr  par1     par2 ");

  // Every read stays inside the thread's stack, so a frame pointer that an optimised
  // caller used as a plain register ends the walk instead of faulting.
  uintptr_t low = 0, high = 0;
  bool known = osal::CurrentThreadStackRange(&low, &high);
  const uintptr_t frame_bytes = 2 * sizeof(uintptr_t) + 6 * sizeof(uint32_t);
  uintptr_t fp = frame;
  for (int depth = 0; depth < 1024; ++depth) {
    if (!known || fp < low || fp + frame_bytes > high || fp % sizeof(uintptr_t) != 0) {
      TraceUnconditional("Stack call-back dump stopped due to exception (p_frame=%" PRIxPTR ")",
                         fp);
      break;
    }
    uintptr_t next = StackPointerWord(fp);
    uintptr_t ret = StackPointerWord(fp + sizeof(uintptr_t));
    uintptr_t w = fp + 2 * sizeof(uintptr_t);
    TraceUnconditional("%p: %p %p %8.8x %8.8x %8.8x %8.8x %8.8x %8.8x", reinterpret_cast<void*>(fp),
                       reinterpret_cast<void*>(next), reinterpret_cast<void*>(ret), StackWord(w),
                       StackWord(w + 4), StackWord(w + 8), StackWord(w + 12), StackWord(w + 16),
                       StackWord(w + 20));
    if (next < fp + 8 || next >= fp + kMaxFrameStep) break;
    fp = next;
  }

  TraceUnconditional("%s", "");
  TraceUnconditional("Start of RAW Stack Dump (location=%s, Address=%" PRIxPTR
                     ", requested size=%i)",
                     location, frame, size);
  if (!known || size <= 0) return;
  uintptr_t p = frame & ~static_cast<uintptr_t>(3);
  uintptr_t end = p + static_cast<uintptr_t>(size / 4) * 4;
  if (end > high) end = high;
  for (; p + 32 <= end; p += 32) {
    TraceUnconditional("%p: %8.8x %8.8x %8.8x %8.8x %8.8x %8.8x %8.8x %8.8x",
                       reinterpret_cast<void*>(p), StackWord(p), StackWord(p + 4), StackWord(p + 8),
                       StackWord(p + 12), StackWord(p + 16), StackWord(p + 20), StackWord(p + 24),
                       StackWord(p + 28));
  }
}

void ListActiveThreads(int max) {
  for (const osal::ThreadInfo& info : osal::ListLiveThreads(max)) {
    osal::LocalTime t = osal::FileTimeToLocal(info.start_time);
    TraceUnconditional(
        "Active Thread '%s', ID=0x%x, Started at %4.4i%2.2i%2.2i %2.2i:%2.2i:%2.2i.%3.3i "
        "(local-time)",
        info.name.c_str(), info.id, t.year, t.month, t.day, t.hour, t.minute, t.second,
        t.millisecond);
  }
}

}  // namespace velmora::util
