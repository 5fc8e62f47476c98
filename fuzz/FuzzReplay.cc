// Replays a fuzz target's inputs without libFuzzer, so that a corpus input or reproducer that
// has become slow or crashes fails the normal test run:
//   <target>_replay [--timeout-ms N] FILE_OR_FOLDER...
// Exit codes: 0 every input ran within its limit; 1 an input took too long (a watchdog names it
// and ends the process at once, so a hanging input cannot stall the run); 2 wrong usage or an
// input that cannot be read.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace osal = velmora::osal;

// Appends path, or the files of the folder path (sorted, one level), to *files.
bool Collect(const std::string& path, std::vector<std::string>* files) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    files->push_back(path);
    return true;
  }
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    if (!entry.is_directory()) found.push_back(path + "/" + entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return !error;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t limitMs = 2000;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--timeout-ms" && i + 1 < argc) {
      limitMs = std::strtoull(argv[++i], nullptr, 10);
    } else if (!Collect(a, &files)) {
      return Fail("cannot list " + a);
    }
  }
  if (files.empty() || limitMs == 0) {
    return Fail(std::string("usage: ") + argv[0] + " [--timeout-ms N] FILE_OR_FOLDER...");
  }
  std::vector<std::pair<std::string, std::string>> inputs;  // path, bytes
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail("cannot read " + path);
    inputs.emplace_back(path, std::string(std::istreambuf_iterator<char>(in), {}));
  }

  // The input being run and when it started (0: none), watched by the watchdog.
  std::atomic<uint64_t> startedAt{0};
  std::atomic<const char*> current{nullptr};
  std::atomic<bool> bDone{false};
  auto watch = [&]() {
    while (!bDone.load()) {
      const uint64_t t0 = startedAt.load();
      if (t0 != 0 && osal::TickCountMs() - t0 > limitMs) {
        std::fprintf(stderr, "FAILED: %s still running after %llu ms\n", current.load(),
                     static_cast<unsigned long long>(limitMs));
        std::fflush(stderr);
        osal::TerminateProcess(1);
      }
      osal::SleepMs(50);
    }
  };
  osal::OsThread watchdog;
  if (!watchdog.Start("fuzz replay watchdog", watch).ok()) return Fail("cannot start the watchdog");
  uint64_t slowestMs = 0;
  std::string slowest;
  for (const auto& [path, bytes] : inputs) {
    current.store(path.c_str());
    const uint64_t t0 = osal::TickCountMs();
    startedAt.store(t0 == 0 ? 1 : t0);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const uint64_t ms = osal::TickCountMs() - t0;
    startedAt.store(0);
    if (ms >= slowestMs) {
      slowestMs = ms;
      slowest = path;
    }
  }
  bDone.store(true);
  (void)watchdog.Join();
  std::printf("%zu inputs replayed, slowest %llu ms (%s), limit %llu ms\n%zu passed, 0 failed\n",
              files.size(), static_cast<unsigned long long>(slowestMs), slowest.c_str(),
              static_cast<unsigned long long>(limitMs), files.size());
  return 0;
}
