// Cost of trace calls: a disabled id against an empty call, and lines into the shared buffer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "osal/System.h"
#include "util/LogBuffer.h"
#include "util/Trace.h"

namespace {

using namespace velmora::util;

__attribute__((noinline)) void EmptyCall(int value) { benchmark::DoNotOptimize(value); }

void BM_EmptyCall(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) EmptyCall(++i);
}
BENCHMARK(BM_EmptyCall);

void BM_TraceDisabledId(benchmark::State& state) {
  SetMasterTraceLevel(0);
  int i = 0;
  for (auto _ : state) {
    XEL_TRACE("Bench", General_99, "value %i", ++i);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceDisabledId);

void BM_TraceDisabledIdAndEmptyCall(benchmark::State& state) {
  SetMasterTraceLevel(0);
  int i = 0;
  for (auto _ : state) {
    XEL_TRACE("Bench", General_99, "value %i", ++i);
    EmptyCall(i);
  }
}
BENCHMARK(BM_TraceDisabledIdAndEmptyCall);

// Trace lines into a key's buffer while a reader thread drains it, as the collector does.
void BM_TraceIntoSharedBuffer(benchmark::State& state) {
  std::string key = "bench" + std::to_string(velmora::osal::CurrentProcessId());
  Ref<LogBuffer> collector;
  if (LogBuffer::Create(key, &collector).IsError() || OpenTraceKey(key).IsError()) {
    state.SkipWithError("cannot create the trace buffer");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<long> read_lines{0};
  std::thread reader([&] {
    std::vector<std::string> lines;
    while (!stop.load()) {
      collector->WaitForLines(10);
      lines.clear();
      if (collector->Read(&lines).IsSuccess()) read_lines += static_cast<long>(lines.size());
    }
  });
  SetMasterTraceLevel(100);
  int skipped_before = LogWriterBuffer::SkippedLines();
  int i = 0;
  for (auto _ : state) XEL_TRACE("Bench", General_80, "benchmark line %i with some text", ++i);
  SetMasterTraceLevel(0);
  CloseTraceKey();
  stop = true;
  reader.join();
  state.SetItemsProcessed(state.iterations());
  state.counters["skipped"] = LogWriterBuffer::SkippedLines() - skipped_before;
  state.counters["read"] = static_cast<double>(read_lines.load());
  collector->Close();
}
BENCHMARK(BM_TraceIntoSharedBuffer)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
