// Connection base: the shared flags live in the header; this unit anchors the class.
#include "xel/Connection.h"

namespace velmora::xel {}  // namespace velmora::xel
