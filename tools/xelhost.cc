// xelhost: the platform's host process - loads a plug-in library and runs its XelEvent.
//
//   xelhost PLUGIN LINKNAME [TRACELEVEL [MORE...]]
//
// Loads PLUGIN, resolves its exported "XelEvent" and calls it once on the main thread with
// the host's own argument list without the plug-in path: argv[0] the host's name, argv[1]
// the link name ("KEY_suffix"), argv[2] the master trace level. The entry's result is the
// exit code (0 normal end, 255 for -1).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "xel/PluginApi.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: xelhost PLUGIN LINKNAME [TRACELEVEL]\n"
               "  Loads the plug-in library PLUGIN and runs its XelEvent entry with\n"
               "  argv = {xelhost, LINKNAME, TRACELEVEL}.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using velmora::xel::PluginApi::ParBuffer;
  using velmora::xel::PluginApi::XelEventFunction;
  using velmora::xel::PluginApi::XelEventReason_Run;

  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    return Usage();
  }
  const char* plugin = argv[1];
  // RTLD_LOCAL keeps the plug-in's runtime symbols to itself; RTLD_NOW reports a missing
  // symbol here rather than in the middle of a call.
  void* library = ::dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "xelhost: cannot load %s: %s\n", plugin, ::dlerror());
    return 3;
  }
  void* symbol = ::dlsym(library, "XelEvent");
  if (!symbol) {
    std::fprintf(stderr, "xelhost: %s does not export XelEvent: %s\n", plugin, ::dlerror());
    ::dlclose(library);
    return 3;
  }
  auto entry = reinterpret_cast<XelEventFunction>(symbol);

  // The plug-in sees the host's arguments without the library path.
  std::vector<const char*> args;
  args.push_back(argv[0]);
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ParBuffer parameters;
  const int32_t result =
      entry(XelEventReason_Run, static_cast<int32_t>(args.size() - 1), args.data(), &parameters);
  std::fflush(nullptr);
  // Threads the plug-in may have left behind must not run into an unloaded library or into
  // destroyed static objects, so the process ends here without unloading or running exit
  // handlers.
  ::_exit(static_cast<int>(static_cast<uint8_t>(result)));
}
