// The start of the benchmarks that drive the real plug-in through a master: where the host
// and the plug-in are, the command line, and the run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../tools/MasterSession.h"
#include "osal/Library.h"
#include "osal/Process.h"

namespace velmora::bench {

// The folder of the running program.
inline std::string OwnDirectory() {
  const std::string self = velmora::osal::CurrentExecutablePath();
  return self.empty() ? "." : velmora::tools::DirectoryOf(self);
}

// Sets *pHost and *pPlugin to the host and plug-in built beside this program, takes
// "--host <path>", "--plugin <path>" and the options of more ("--name" and where its value
// goes) from the command line, and runs the benchmarks with the rest of it. Returns the
// program's exit code.
inline int RunPluginBenchmarks(int argc, char** argv, std::string* pHost, std::string* pPlugin,
                               const std::vector<std::pair<const char*, std::string*>>& more = {}) {
  const std::string self = OwnDirectory();
  *pHost = self + "/../tools/xelhost";
  *pPlugin = self + "/../XELC_File/" + velmora::osal::SharedLibraryFileName("XelcFile");
  std::vector<std::pair<const char*, std::string*>> options = {{"--host", pHost},
                                                               {"--plugin", pPlugin}};
  options.insert(options.end(), more.begin(), more.end());
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    bool taken = false;
    for (const auto& [name, pValue] : options) {
      if (i + 1 < argc && std::strcmp(argv[i], name) == 0) {
        *pValue = argv[++i];
        taken = true;
        break;
      }
    }
    if (!taken) rest.push_back(argv[i]);
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Starts a host with the plug-in in *pSession, with a configuration that allows watching
// below inbox; on failure marks state skipped with the reason and returns false.
inline bool StartPluginFor(benchmark::State& state, velmora::tools::MasterSession* pSession,
                           const std::string& host, const std::string& plugin,
                           const std::string& inbox) {
  velmora::tools::MasterOptions o;
  o.M_HostPath = host;
  o.M_PluginPath = plugin;
  o.M_TraceLevel = 0;
  velmora::util::Result r = pSession->Start(o);
  velmora::util::Ref<velmora::xel::XmlParser> answer;
  if (r.IsSuccess()) {
    r = pSession->SendStart("<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" +
                                inbox +
                                "</FolderInputBaseDirectory></Folder></XelcFile></Code>"
                                "<Common><Name>bench</Name></Common></Component>",
                            &answer);
  }
  if (r.IsSuccess() && velmora::tools::AnswerKind(*answer) != "ok") {
    r = velmora::util::Result::Fail(velmora::util::ErrNotAvailable, "start failed");
  }
  if (r.IsError()) {
    state.SkipWithError(("plug-in: " + r.ErrorText()).c_str());
    return false;
  }
  return true;
}

}  // namespace velmora::bench
