// How much memory a running process holds, for tests and diagnostics that bound it.
#pragma once

#include <cstdint>

#include "osal/Status.h"

namespace velmora::osal {

// The largest amount of memory that process pid has held in RAM at any one time since it
// started, in bytes (Linux: VmHWM of /proc/<pid>/status; Windows: the peak working set).
// kNotFound once the process has ended; kAccessDenied for a process of another account.
// Thread-safe.
Status PeakResidentMemory(uint32_t pid, uint64_t* pBytes);

}  // namespace velmora::osal
