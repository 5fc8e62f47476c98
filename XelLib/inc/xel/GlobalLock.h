// The runtime's one global lock.
#pragma once

#include "osal/Lock.h"

namespace velmora::xel {

// The process-wide lock that guards the switch table, the end points and every data
// link's send queue. Recursive; created on first use and never destroyed, so it may be
// taken from any thread at any time, also while static objects are being torn down.
osal::Lock& GlobalLock();

}  // namespace velmora::xel
