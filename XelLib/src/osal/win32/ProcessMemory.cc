// Peak working set of a process.
#include "osal/ProcessMemory.h"

#include "win32/WindowsSupport.h"
// clang-format off
#include <psapi.h>  // needs <windows.h> first
// clang-format on

namespace velmora::osal {

Status PeakResidentMemory(uint32_t pid, uint64_t* pBytes) {
  win32::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.IsValid()) return win32::LastErrorStatus();
  DWORD code = 0;
  if (::GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) {
    return Status(ErrorKind::kNotFound, ERROR_INVALID_PARAMETER);
  }
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) {
    return win32::LastErrorStatus();
  }
  *pBytes = counters.PeakWorkingSetSize;
  return Status::Ok();
}

}  // namespace velmora::osal
