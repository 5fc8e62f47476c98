// Folder import through the real plug-in, driven as xelmaster's poll mode drives it.
//
//   poll_bench [--host PATH] [--plugin PATH] [--dir DIR] [--large-mib N] [benchmark flags]
//   bench/poll_bench.sh runs it together with the data link's own throughput (link_bench).
//
// LargeFile/stored:1: one 256 MiB file (--large-mib N: N MiB) polled end to end - "poll", the
//   answer with the file streamed into the output folder, confirmation (the file is deleted).
//   LargeFile/stored:0: the same, but the master only counts the bytes it receives, so that
//   the figure measures the plug-in and the link, not the master's file system.
//   Reports "MB_per_s" (10^6 bytes per second of the whole conversation), the plug-in
//   process's peak resident memory ("host_peak_MiB", VmHWM of the host read before it is
//   ended), the limit it is held to ("host_limit_MiB": 64 MiB whatever the file's size, as the
//   answer leaves while it is built) and the master's own peak ("master_peak_MiB", meaningful
//   when this benchmark runs first in its process). "first_block_ms" is the part of the time
//   before the answer began to arrive, "host_rss_at_first_block_MiB" the plug-in's resident
//   memory at that moment (sampled every 20 ms).
// Drain1000: 1000 files of 1 KiB, one package each, polled until the folder is empty;
//   "files_per_s".
// RenameReadUnlink1000: the bare file-system work of the same 1000 files without the
//   plug-in - rename each (as the claim does), read it, write the copy, unlink both;
//   "files_per_s".
// The working files live below --dir (default: the system's temporary folder).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../tools/MasterSession.h"
#include "../tools/PollMode.h"
#include "PluginBenchMain.h"

namespace {

namespace fs = std::filesystem;
using velmora::tools::MasterOptions;
using velmora::tools::MasterSession;
using velmora::tools::PollClient;
using velmora::tools::PollOutcome;
using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

// The large file's size; "--large-mib N" changes it (the peak-memory figure wants 1 GiB).
int64_t g_LargeBytes = 256ll << 20;
std::string g_LargeMiB;
constexpr double kHostLimitMiB = 64;
constexpr int kSmallFiles = 1000;
constexpr int kSmallBytes = 1024;

std::string g_HostPath;
std::string g_PluginPath;
std::string g_Dir;

// VmHWM of a process in KiB (0 when it cannot be read).
long PeakKiB(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// VmRSS of a process in KiB (0 when it cannot be read).
long ResidentKiB(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// A scratch folder with an inbox and an output folder, removed again.
struct Scratch {
  explicit Scratch(const char* name) {
    M_Root = g_Dir + "/" + name + "-" + std::to_string(velmora::osal::CurrentProcessId());
    fs::remove_all(M_Root);
    fs::create_directories(M_Root + "/inbox");
    fs::create_directories(M_Root + "/out");
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(M_Root, ec);
  }
  std::string Inbox() const { return M_Root + "/inbox"; }
  std::string Out() const { return M_Root + "/out"; }
  std::string M_Root;
};

bool WriteSmallFiles(const std::string& dir) {
  std::string bytes(kSmallBytes, 'x');
  for (int i = 0; i < kSmallFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%04d.dat", i);
    std::ofstream out(dir + name, std::ios::binary);
    out << bytes;
    if (!out) return false;
  }
  return true;
}

// A started plug-in whose configuration allows watching below scratch.Inbox().
bool StartPlugin(benchmark::State& state, MasterSession* pSession, const Scratch& scratch) {
  return velmora::bench::StartPluginFor(state, pSession, g_HostPath, g_PluginPath, scratch.Inbox());
}

void BM_LargeFile(benchmark::State& state) {
  Scratch scratch("pollbench-large");
  {
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    std::ofstream out(scratch.Inbox() + "/large.bin", std::ios::binary);
    for (int64_t n = 0; n < g_LargeBytes; n += static_cast<int64_t>(chunk.size())) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  MasterSession session;
  if (!StartPlugin(state, &session, scratch)) return;
  PollClient client(&session, scratch.Out(), 120000);
  client.DiscardContent(state.range(0) == 0);
  Ref<XmlParser> request;
  (void)velmora::tools::PlainPollRequest(scratch.Inbox(), "*", &request);
  double ms = 0;
  PollOutcome out;
  // Samples the plug-in's resident memory while the poll runs, to tell how much of its peak
  // is there when the answer is complete (before sending) and how much comes with the send.
  std::vector<std::pair<double, long>> samples;
  std::atomic<bool> sampling{true};
  const std::string hostPid = std::to_string(session.HostProcessId());
  const auto start = std::chrono::steady_clock::now();
  std::thread sampler([&] {
    while (sampling.load()) {
      const double t =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      samples.emplace_back(t, ResidentKiB(hostPid));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (auto _ : state) {
    Result r = client.Poll(*request, &out);
    if (r.IsError() || !out.M_bConfirmed || out.Bytes() != g_LargeBytes) {
      state.SkipWithError(("poll: " + (r.IsError() ? r.ErrorText() : out.M_Text)).c_str());
      break;
    }
    ms = out.M_Ms;
    state.counters["first_block_ms"] = out.M_FirstBlockMs;
    state.SetIterationTime(ms / 1000.0);
  }
  sampling.store(false);
  sampler.join();
  const double hostPeakMiB = static_cast<double>(PeakKiB(hostPid)) / 1024.0;
  long rssAtFirstBlock = 0;
  for (const auto& [t, kib] : samples) {
    if (t <= out.M_FirstBlockMs) rssAtFirstBlock = kib;
  }
  (void)session.Finish(nullptr, nullptr);
  if (ms <= 0) return;
  state.counters["MB_per_s"] = static_cast<double>(g_LargeBytes) / 1e6 / (ms / 1000.0);
  state.counters["host_peak_MiB"] = hostPeakMiB;
  state.counters["host_limit_MiB"] = kHostLimitMiB;
  state.counters["host_rss_at_first_block_MiB"] = static_cast<double>(rssAtFirstBlock) / 1024.0;
  state.counters["master_peak_MiB"] = static_cast<double>(PeakKiB("self")) / 1024.0;
  if (hostPeakMiB > kHostLimitMiB) {
    std::fprintf(stderr, "poll_bench: the plug-in's peak memory %.1f MiB is above the limit\n",
                 hostPeakMiB);
  }
}
BENCHMARK(BM_LargeFile)
    ->ArgName("stored")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_Drain1000(benchmark::State& state) {
  Scratch scratch("pollbench-drain");
  MasterSession session;
  if (!StartPlugin(state, &session, scratch)) return;
  PollClient client(&session, scratch.Out());
  Ref<XmlParser> request;
  (void)velmora::tools::PlainPollRequest(scratch.Inbox(), "*", &request);
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(scratch.Out());
    fs::create_directories(scratch.Out());
    if (!WriteSmallFiles(scratch.Inbox())) {
      state.SkipWithError("cannot write the files");
      break;
    }
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    int packages = 0;
    for (;;) {
      PollOutcome out;
      Result r = client.Poll(*request, &out);
      if (r.IsError() || out.M_bError) {
        state.SkipWithError(("poll: " + (r.IsError() ? r.ErrorText() : out.M_Text)).c_str());
        break;
      }
      if (!out.M_bClaimed) break;
      ++packages;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    seconds += s;
    if (packages != kSmallFiles) {
      state.SkipWithError("not every file was imported");
      break;
    }
  }
  (void)session.Finish(nullptr, nullptr);
  if (seconds > 0) {
    state.counters["files_per_s"] =
        static_cast<double>(kSmallFiles) * static_cast<double>(state.iterations()) / seconds;
  }
}
BENCHMARK(BM_Drain1000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_RenameReadUnlink1000(benchmark::State& state) {
  Scratch scratch("pollbench-bare");
  std::vector<char> buffer(65536);
  double seconds = 0;
  for (auto _ : state) {
    if (!WriteSmallFiles(scratch.Inbox())) {
      state.SkipWithError("cannot write the files");
      break;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kSmallFiles; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/f%04d.dat", i);
      const std::string from = scratch.Inbox() + name;
      const std::string locked = from + ".locked";
      const std::string copy = scratch.Out() + name;
      if (::rename(from.c_str(), locked.c_str()) != 0) break;
      int in = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
      int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      ssize_t n;
      while (in >= 0 && out >= 0 && (n = ::read(in, buffer.data(), buffer.size())) > 0) {
        if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) break;
      }
      if (in >= 0) ::close(in);
      if (out >= 0) ::close(out);
      ::unlink(locked.c_str());
      ::unlink(copy.c_str());
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    seconds += s;
  }
  if (seconds > 0) {
    state.counters["files_per_s"] =
        static_cast<double>(kSmallFiles) * static_cast<double>(state.iterations()) / seconds;
  }
}
BENCHMARK(BM_RenameReadUnlink1000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  g_Dir = tmp && *tmp ? tmp : "/tmp";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--large-mib") == 0) g_LargeBytes = std::atoll(argv[i + 1]) << 20;
  }
  return velmora::bench::RunPluginBenchmarks(argc, argv, &g_HostPath, &g_PluginPath,
                                             {{"--dir", &g_Dir}, {"--large-mib", &g_LargeMiB}});
}
