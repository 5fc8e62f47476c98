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

// The help text; on standard output for --help, on standard error after a wrong call.
int Usage(FILE* out, int exitCode) {
  std::fprintf(
      out,
      "Usage: xelhost PLUGIN LINKNAME [TRACELEVEL [MORE...]]\n"
      "Loads the plug-in library PLUGIN, resolves its exported entry \"XelEvent\" and runs it\n"
      "once on the main thread with argv = {xelhost, LINKNAME, TRACELEVEL, MORE...}, the way\n"
      "the platform's host process starts a component. xelmaster starts it; it is seldom run\n"
      "by hand.\n"
      "\n"
      "Arguments:\n"
      "  PLUGIN        the plug-in library (libXelcFile.so, XelcFile.dll)\n"
      "  LINKNAME      name of the data link to the master, KEY_suffix\n"
      "  TRACELEVEL    master trace level of the plug-in\n"
      "  -h, --help    print this help and exit\n"
      "\n"
      "Exit status:\n"
      "  0     the entry returned 0: the plug-in ended normally\n"
      "  2     wrong usage\n"
      "  3     PLUGIN cannot be loaded or does not export XelEvent\n"
      "  255   the entry returned -1; any other result is the exit status as a byte\n");
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  using velmora::xel::PluginApi::ParBuffer;
  using velmora::xel::PluginApi::XelEventFunction;
  using velmora::xel::PluginApi::XelEventReason_Run;

  // The arguments in UTF-8 (main's argv is in the system's code page on Windows).
  std::vector<std::string> line = velmora::osal::CurrentCommandLine();
  if (line.size() != static_cast<size_t>(argc)) line.assign(argv, argv + argc);
  if (line.size() >= 2 && (line[1] == "--help" || line[1] == "-h")) return Usage(stdout, 0);
  if (line.size() < 2) return Usage(stderr, 2);
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
