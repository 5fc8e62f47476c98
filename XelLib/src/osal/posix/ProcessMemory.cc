// Peak resident memory of a process, from /proc.
#include "osal/ProcessMemory.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace velmora::osal {

Status PeakResidentMemory(uint32_t pid, uint64_t* pBytes) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return Status::FromNative(errno);
  char line[256];
  bool found = false;
  unsigned long long kib = 0;
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    found = std::sscanf(line, "VmHWM: %llu kB", &kib) == 1;
  }
  std::fclose(file);
  // A process that has ended but is not yet reaped has no memory figures left.
  if (!found) return Status(ErrorKind::kNotFound, ESRCH);
  *pBytes = static_cast<uint64_t>(kib) * 1024u;
  return Status::Ok();
}

}  // namespace velmora::osal
