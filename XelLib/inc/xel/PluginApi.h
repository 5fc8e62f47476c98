// The plug-in's exported entry point as the platform's host process calls it.
#pragma once

#include <cstdint>

#include "xel/Export.h"

namespace velmora::xel::PluginApi {

// Why the host calls the entry. The runtime passes it through without looking at it; the
// values are the host's.
enum XelEventReason : int32_t {
  XelEventReason_Run = 0,       // run the plug-in process to its end (the normal call)
  XelEventReason_Attach = 1,    // the library was loaded into the host process
  XelEventReason_Detach = 2,    // the library is about to be unloaded
  XelEventReason_Shutdown = 3,  // the host is going down
};

// A block of host parameters handed to the entry. The runtime does not read it; the layout
// is the host's: a byte count and a pointer to that many bytes, owned by the host.
struct ParBuffer {
  uint32_t M_Size = 0;
  void* M_pData = nullptr;
};

extern "C" {
// Runs the whole life of the plug-in on the calling thread: opens the trace for the key in
// argv[1] (the text before its first underscore), connects to the master as the slave end
// of the data link named argv[1], serves it until "terminate", and returns 0 when the
// application ended normally or -1 when it failed. argv[2] is the master trace level
// (decimal). reason and pParBuffer are passed through unread. Call it once per process.
XEL_EXPORT int32_t XelEvent(XelEventReason reason, int32_t argc, const char* const* argv,
                            ParBuffer* pParBuffer);
}

// The entry's type, for hosts that resolve "XelEvent" from the loaded library.
using XelEventFunction = int32_t (*)(XelEventReason, int32_t, const char* const*, ParBuffer*);

}  // namespace velmora::xel::PluginApi
