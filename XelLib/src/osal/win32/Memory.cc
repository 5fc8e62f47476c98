// Large regions straight from the system's virtual memory, on plain pages.
//
// Large pages would need the "lock pages in memory" privilege granted and enabled; the pools
// that use these regions do not gain enough from them to ask for it.
#include "osal/Memory.h"

#include <cstdint>

#include "win32/WindowsSupport.h"

namespace velmora::osal {

void* AllocateLargeRegion(size_t size, size_t alignment) {
  if (size == 0) return nullptr;
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  // Every reservation starts on the allocation granularity (64 KiB).
  if (alignment <= info.dwAllocationGranularity) {
    return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  }
  // A coarser alignment: reserve enough to find an aligned start inside, give the
  // reservation back and take the aligned part. Another thread may take that address in
  // between, hence the retries.
  for (int attempt = 0; attempt < 16; ++attempt) {
    void* probe = ::VirtualAlloc(nullptr, size + alignment, MEM_RESERVE, PAGE_NOACCESS);
    if (probe == nullptr) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(probe);
    const uintptr_t aligned = (start + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
    ::VirtualFree(probe, 0, MEM_RELEASE);
    void* region = ::VirtualAlloc(reinterpret_cast<void*>(aligned), size, MEM_RESERVE | MEM_COMMIT,
                                  PAGE_READWRITE);
    if (region != nullptr) return region;
  }
  return nullptr;
}

void FreeLargeRegion(void* region, size_t /*size*/) {
  if (region != nullptr) ::VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace velmora::osal
