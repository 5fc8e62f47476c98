// The plug-in library's own translation unit: brings the runtime's exported entry
// XelEvent and the file component's registration into the shared library.
#include "FileComponent.h"
#include "xel/PluginApi.h"

namespace velmora::xelc {

// The runtime and the component live in static libraries, whose members the linker takes
// only when something refers to them. This table refers to the entry (so that XelEvent is
// linked and exported) and to the component's registration (so that its description is
// constructed when the library loads and "start" finds "XelcFile").
struct PluginLinkage {
  decltype(&xel::PluginApi::XelEvent) pEntry;
  const xel::ComponentInfo* (*pRegistration)();
};
extern const PluginLinkage g_PluginLinkage;
const PluginLinkage g_PluginLinkage = {&xel::PluginApi::XelEvent, &FileComponentRegistration};

}  // namespace velmora::xelc
