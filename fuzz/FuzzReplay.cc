// Replays a fuzz target's inputs without libFuzzer: <target>_replay [--timeout-ms N] PATH...
// Exit codes: 0 every input ran within its limit; 1 an input took too long (a watchdog names it
// and ends the process, so a hanging input cannot stall the run); 2 wrong usage or bad input.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int Fail(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  uint64_t limitMs = 2000;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::error_code error;
    if (a == "--timeout-ms" && i + 1 < argc) {
      limitMs = std::strtoull(argv[++i], nullptr, 10);
    } else if (!fs::is_directory(a, error)) {
      files.push_back(a);
    } else {
      const size_t first = files.size();
      for (const auto& entry : fs::directory_iterator(a, error)) {
        if (!entry.is_directory()) files.push_back(a + "/" + entry.path().filename().string());
      }
      if (error) return Fail("cannot list " + a);
      std::sort(files.begin() + static_cast<std::ptrdiff_t>(first), files.end());
    }
  }
  if (files.empty() || limitMs == 0) {
    return Fail(std::string("usage: ") + argv[0] + " [--timeout-ms N] FILE_OR_FOLDER...");
  }
  std::vector<std::string> inputs;
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail("cannot read " + path);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // When the current input started (0: none running), watched by the watchdog.
  std::atomic<uint64_t> startedAt{0};
  std::atomic<size_t> current{0};
  std::atomic<bool> bDone{false};
  velmora::osal::OsThread watchdog;
  auto watch = [&]() {
    while (!bDone.load()) {
      const uint64_t t0 = startedAt.load();
      if (t0 != 0 && velmora::osal::TickCountMs() - t0 > limitMs) {
        std::fprintf(stderr, "FAILED: %s still running after %llu ms\n",
                     files[current.load()].c_str(), static_cast<unsigned long long>(limitMs));
        std::fflush(stderr);
        velmora::osal::TerminateProcess(1);
      }
      velmora::osal::SleepMs(50);
    }
  };
  if (!watchdog.Start("fuzz replay watchdog", watch).ok()) return Fail("cannot start the watchdog");
  for (size_t i = 0; i < inputs.size(); ++i) {
    current.store(i);
    startedAt.store(std::max<uint64_t>(velmora::osal::TickCountMs(), 1));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(inputs[i].data()), inputs[i].size());
    startedAt.store(0);
  }
  bDone.store(true);
  (void)watchdog.Join();
  std::printf("%zu inputs replayed within %llu ms each\n", inputs.size(),
              static_cast<unsigned long long>(limitMs));
  return 0;
}
