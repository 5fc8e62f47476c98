// The runtime's one global lock.
#include "xel/GlobalLock.h"

namespace velmora::xel {

osal::Lock& GlobalLock() {
  // Deliberately leaked: worker threads may still take it while the process exits.
  static osal::Lock* const pLock = new osal::Lock("GlobalLock");
  return *pLock;
}

}  // namespace velmora::xel
