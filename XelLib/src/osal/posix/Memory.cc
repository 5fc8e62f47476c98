// Large regions from the C heap, advised to use transparent huge pages where available.
#include "osal/Memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace velmora::osal {

void* AllocateLargeRegion(size_t size, size_t alignment) {
  void* region = std::aligned_alloc(alignment, size);
  if (!region) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only a hint: without transparent huge pages the region simply uses normal pages.
  (void)::madvise(region, size, MADV_HUGEPAGE);
#endif
  return region;
}

void FreeLargeRegion(void* region, size_t /*size*/) { std::free(region); }

}  // namespace velmora::osal
