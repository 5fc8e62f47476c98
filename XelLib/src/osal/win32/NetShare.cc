// Network shares on Windows: not available yet. Connecting and cancelling fail with
// kNetNotSupported, and no share counts as connected.
#include "osal/NetShare.h"

namespace velmora::osal {

uint32_t AddShareConnection(std::string_view /*remote*/, std::string_view /*user*/,
                            std::string_view /*password*/) {
  return kNetNotSupported;
}

uint32_t CancelShareConnection(std::string_view /*remote*/, bool /*force*/) {
  return kNetNotSupported;
}

bool IsShareConnected(std::string_view /*remote*/) { return false; }

// The port only matters to the connections that cannot be made here.
void SetShareClientPort(uint16_t /*port*/) {}

}  // namespace velmora::osal
