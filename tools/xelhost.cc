// xelhost: the platform's host process - loads a plug-in library and runs its XelEvent.
//
//   xelhost PLUGIN LINKNAME [TRACELEVEL [MORE...]]
//
// Loads PLUGIN, resolves its exported "XelEvent" and calls it once on the main thread with
// the host's own argument list without the plug-in path: argv[0] the host's name, argv[1]
// the link name ("KEY_suffix"), argv[2] the master trace level. The entry's result is the
// exit code (0 normal end, 255 for -1).
#include <cstdio>
#include <string>
#include <vector>

#include "osal/Library.h"
#include "osal/Process.h"
#include "osal/System.h"
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

  // The arguments in UTF-8 (main's argv is in the system's code page on Windows).
  std::vector<std::string> line = velmora::osal::CurrentCommandLine();
  if (line.size() != static_cast<size_t>(argc)) line.assign(argv, argv + argc);
  if (line.size() < 2 || line[1] == "--help" || line[1] == "-h") return Usage();
  const char* plugin = line[1].c_str();
  // The plug-in's runtime symbols stay its own, and a missing symbol is reported here rather
  // than in the middle of a call.
  velmora::osal::SharedLibrary library;
  if (!library.Load(plugin).ok()) {
    std::fprintf(stderr, "xelhost: cannot load %s: %s\n", plugin, library.error().c_str());
    return 3;
  }
  void* symbol = library.Symbol("XelEvent");
  if (!symbol) {
    std::fprintf(stderr, "xelhost: %s does not export XelEvent: %s\n", plugin,
                 library.error().c_str());
    return 3;
  }
  auto entry = reinterpret_cast<XelEventFunction>(symbol);

  // The plug-in sees the host's arguments without the library path.
  std::vector<const char*> args;
  args.push_back(line[0].c_str());
  for (size_t i = 2; i < line.size(); ++i) args.push_back(line[i].c_str());
  args.push_back(nullptr);
  ParBuffer parameters;
  const int32_t result =
      entry(XelEventReason_Run, static_cast<int32_t>(args.size() - 1), args.data(), &parameters);
  std::fflush(nullptr);
  // Threads the plug-in may have left behind must not run into an unloaded library or into
  // destroyed static objects, so the process ends here without unloading or running exit
  // handlers.
  library.Keep();
  velmora::osal::TerminateProcess(static_cast<int>(static_cast<uint8_t>(result)));
}
