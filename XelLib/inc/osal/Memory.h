// Memory regions for the process's own large pools.
#pragma once

#include <cstddef>

namespace velmora::osal {

// size bytes aligned to alignment (a power of two; size a multiple of it), not cleared.
// Where the system offers huge pages on request (Linux' transparent huge pages) the region
// asks for them, so filling it costs few page faults; Windows gives plain pages, as its
// large pages need a privilege. nullptr when memory is exhausted. Thread-safe. Release
// with FreeLargeRegion.
void* AllocateLargeRegion(size_t size, size_t alignment);
// Releases a region from AllocateLargeRegion (nullptr is ignored).
void FreeLargeRegion(void* region, size_t size);

}  // namespace velmora::osal
