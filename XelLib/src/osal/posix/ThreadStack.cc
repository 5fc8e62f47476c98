// The calling thread's stack range, for stack dumps that must not leave the stack.
#include <pthread.h>

#include <cstdint>

#include "osal/Thread.h"

namespace velmora::osal {

bool CurrentThreadStackRange(uintptr_t* low, uintptr_t* high) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void* base = nullptr;
  size_t size = 0;
  int rc = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || !base || size == 0) return false;
  *low = reinterpret_cast<uintptr_t>(base);
  *high = *low + size;
  return true;
}

}  // namespace velmora::osal
