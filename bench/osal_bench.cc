// Costs of the operating-system layer's synchronisation objects and file calls.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "osal/File.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace {
using namespace velmora::osal;

std::string BenchName(const char* what) {
  return "XelOsalBench_" + std::to_string(velmora::osal::CurrentProcessId()) + "_" + what;
}

// Uncontended acquire and release of the robust process-shared mutex.
void BM_NamedMutexAcquireRelease(benchmark::State& state) {
  NamedMutex mutex;
  if (!mutex.Create(BenchName("mtx")).ok()) return state.SkipWithError("create failed");
  for (auto _ : state) {
    (void)mutex.Acquire(kInfinite);
    (void)mutex.Release();
  }
}
BENCHMARK(BM_NamedMutexAcquireRelease);

// Set followed by a consuming wait on an auto-reset named event (no sleeping waiter).
void BM_NamedEventSetWait(benchmark::State& state) {
  NamedEvent event;
  if (!event.Create(BenchName("evt"), false).ok()) return state.SkipWithError("create failed");
  for (auto _ : state) {
    (void)event.Set();
    (void)event.Wait(0);
  }
}
BENCHMARK(BM_NamedEventSetWait);

// Round trip between two threads through two auto-reset in-process events.
void BM_EventPingPong(benchmark::State& state) {
  Event ping(false), pong(false);
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    for (;;) {
      (void)ping.Wait(kInfinite);
      if (stop) break;
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    (void)pong.Wait(kInfinite);
  }
  stop = true;
  ping.Set();
  peer.join();
}
BENCHMARK(BM_EventPingPong);

// Claiming a file the way the folder import does: an atomic no-replace rename and back.
void BM_RenameNoReplace(benchmark::State& state) {
  std::string dir = TempDirectory() + BenchName("dir");
  if (!CreateFolder(dir).ok()) return state.SkipWithError("folder failed");
  std::string a = dir + "/a.txt", b = dir + "/b.txt";
  File f;
  OpenOptions o;
  o.access = kAccessWrite;
  o.disposition = Disposition::kCreateNew;
  if (!f.Open(a, o).ok()) return state.SkipWithError("create failed");
  (void)f.Close();
  for (auto _ : state) {
    (void)Rename(a, b, RenameMode::kNoReplace, false);
    (void)Rename(b, a, RenameMode::kNoReplace, false);
  }
  (void)DeleteFile(a);
  (void)DeleteFolder(dir);
}
BENCHMARK(BM_RenameNoReplace);

}  // namespace

BENCHMARK_MAIN();
