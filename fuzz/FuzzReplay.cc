// Replays a fuzz target's inputs without libFuzzer: each file named on the command line (or
// found in a folder named there) is handed to the target's LLVMFuzzerTestOneInput, with a time
// limit per input. Built beside every target in the normal test build, so that a corpus input
// that has become slow or crashes fails the test run.
//
//   <target>_replay [--timeout-ms N] FILE_OR_FOLDER...
//
// Exit codes: 0 every input ran within its limit; 1 an input took too long (named on
// standard error; a watchdog ends the process at once, so a hanging input cannot stall the
// run); 2 wrong usage or an input that cannot be read.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "osal/File.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using velmora::osal::DirEntry;
using velmora::osal::DirReader;

// Appends path, or the files of the folder path (sorted, one level), to *files.
bool Collect(const std::string& path, std::vector<std::string>* files) {
  if (!velmora::osal::FolderExists(path)) {
    files->push_back(path);
    return true;
  }
  DirReader reader;
  if (!reader.Open(path).ok()) return false;
  std::vector<std::string> found;
  DirEntry entry;
  while (reader.Next(&entry)) {
    if (!entry.is_folder) found.push_back(path + "/" + entry.name);
  }
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return reader.status().ok();
}

bool ReadFile(const std::string& path, std::string* bytes) {
  velmora::osal::File file;
  if (!file.Open(path, velmora::osal::OpenOptions()).ok()) return false;
  char buffer[65536];
  for (;;) {
    size_t n = 0;
    if (!file.Read(buffer, sizeof buffer, &n).ok()) return false;
    if (n == 0) return true;
    bytes->append(buffer, n);
  }
}

// The input being run and when it started (0: none), watched by the watchdog thread.
std::atomic<uint64_t> g_StartedAt{0};
std::atomic<const char*> g_Current{nullptr};

}  // namespace

int main(int argc, char** argv) {
  uint64_t limitMs = 2000;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--timeout-ms" && i + 1 < argc) {
      limitMs = std::strtoull(argv[++i], nullptr, 10);
    } else if (!Collect(a, &files)) {
      std::fprintf(stderr, "cannot list %s\n", a.c_str());
      return 2;
    }
  }
  if (files.empty() || limitMs == 0) {
    std::fprintf(stderr, "usage: %s [--timeout-ms N] FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }

  std::atomic<bool> done{false};
  velmora::osal::OsThread watchdog;
  const velmora::osal::Status started = watchdog.Start("fuzz replay watchdog", [&]() {
    while (!done.load()) {
      const uint64_t t0 = g_StartedAt.load();
      if (t0 != 0 && velmora::osal::TickCountMs() - t0 > limitMs) {
        std::fprintf(stderr, "FAILED: %s still running after %llu ms\n", g_Current.load(),
                     static_cast<unsigned long long>(limitMs));
        std::fflush(stderr);
        velmora::osal::TerminateProcess(1);
      }
      velmora::osal::SleepMs(50);
    }
  });
  if (!started.ok()) {
    std::fprintf(stderr, "cannot start the watchdog\n");
    return 2;
  }

  uint64_t slowestMs = 0;
  std::string slowest;
  for (const std::string& path : files) {
    std::string bytes;
    if (!ReadFile(path, &bytes)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      done.store(true);
      (void)watchdog.Join();
      return 2;
    }
    g_Current.store(path.c_str());
    const uint64_t t0 = velmora::osal::TickCountMs();
    g_StartedAt.store(t0 == 0 ? 1 : t0);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const uint64_t ms = velmora::osal::TickCountMs() - t0;
    g_StartedAt.store(0);
    if (ms >= slowestMs) {
      slowestMs = ms;
      slowest = path;
    }
  }
  done.store(true);
  (void)watchdog.Join();
  std::printf("%zu inputs replayed, slowest %llu ms (%s), limit %llu ms\n", files.size(),
              static_cast<unsigned long long>(slowestMs), slowest.c_str(),
              static_cast<unsigned long long>(limitMs));
  std::printf("%zu passed, 0 failed\n", files.size());
  return 0;
}
