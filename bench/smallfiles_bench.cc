// Backlogs of small files: the plug-in's drain rate against the bare design model, per folder size.
//
//   smallfiles_bench [--host PATH] [--plugin PATH] [--dir DIR] [--polls N] [benchmark flags]
//   bench/smallfiles.sh runs it and prints the table.
//
// Model/N: a folder of N files of 1 KiB; per poll exactly the system calls the design needs:
//   open the folder, read all entries, stat each, pick the oldest, rename it to a lock name,
//   open/read/close it, unlink it (the confirmation). "files_per_s".
// Plugin/N: the same folder drained by the real plug-in, driven as xelmaster's poll mode
//   drives it (poll, answer with the file, confirmation), one package per poll; the master
//   counts the received bytes instead of storing a copy, as the model does. "files_per_s".
// Each size is timed over about --polls polls (default 1000): a folder of more files is drained
// of that many, so that it holds about N entries throughout at 10 000; a smaller one is filled
// and drained again until they are done. Both start warm, after 20 untimed polls. At the end a
// table gives both rates and plug-in / model per size, and the processor time per file of the
// model and of the plug-in's host process: on a loaded machine the rates follow the scheduler,
// the processor times much less.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
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

constexpr int kFileBytes = 1024;

std::string g_HostPath;
std::string g_PluginPath;
std::string g_Dir;
std::string g_Polls = "1000";
std::map<int, double> g_ModelRate;
std::map<int, double> g_PluginRate;
std::map<int, double> g_ModelCpu;   // µs of processor time per file
std::map<int, double> g_PluginCpu;  // the host process's, µs per file

// Processor time of a process (user and system, all threads) in seconds; "self" for this one.
double ProcessCpuSeconds(const std::string& pid) {
  std::FILE* f = std::fopen(("/proc/" + pid + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  char line[1024] = {};
  const size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = 0;
  // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
  const char* p = std::strrchr(line, ')');
  unsigned long long utime = 0, stime = 0;
  if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                                  &utime, &stime) != 2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int Polls(int files) { return std::min(files, std::max(1, std::atoi(g_Polls.c_str()))); }
// A folder of fewer files than --polls is filled and drained that many times over, so that
// every size is timed over about as many polls: a single drain of 100 files takes a few
// milliseconds, which one wake-up of another process can double.
int Rounds(int files) {
  const int want = std::max(1, std::atoi(g_Polls.c_str()));
  return (want + Polls(files) - 1) / Polls(files);
}

// Polls made before the timing starts: the first ones of a new plug-in set up its threads and
// pools, which is not what a backlog costs.
constexpr int kWarmUpFiles = 20;

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

// Writes count files of 1 KiB, each with a later modification time than the one before.
bool WriteFiles(const std::string& dir, int count) {
  const std::string bytes(kFileBytes, 'x');
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%05d.dat", i);
    const int fd = ::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == kFileBytes;
    ::close(fd);
    if (!ok) return false;
  }
  return true;
}

// One poll of the design model: list, stat all, take the oldest, rename, read, unlink.
bool ModelPoll(const std::string& dir, std::vector<char>* pBuffer) {
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return false;
  DIR* d = ::fdopendir(dfd);
  if (d == nullptr) return false;
  std::string oldest;
  int64_t oldestTime = INT64_MAX;
  while (struct dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (::fstatat(dfd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    const int64_t t = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (t < oldestTime) {
      oldestTime = t;
      oldest = e->d_name;
    }
  }
  bool ok = false;
  if (!oldest.empty()) {
    const std::string locked = oldest + ".20261206120000.Qk7_x+03600.locked";
    if (::renameat(dfd, oldest.c_str(), dfd, locked.c_str()) == 0) {
      const int fd = ::openat(dfd, locked.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        while (::read(fd, pBuffer->data(), pBuffer->size()) > 0) {
        }
        ::close(fd);
      }
      ok = ::unlinkat(dfd, locked.c_str(), 0) == 0;
    }
  }
  ::closedir(d);
  return ok;
}

// The benchmark's drains of the folder in dir: kWarmUpFiles untimed polls, then per iteration
// Rounds(files) times fill() (untimed) and Polls(files) polls by poll(), which explains a
// failure in its argument. The drains' time and pid's processor time are added up. False
// after SkipWithError.
template <class Fill, class Poll>
bool TimeDrains(benchmark::State& state, const std::string& dir, int files, const std::string& pid,
                Fill fill, Poll poll, double* pSeconds, double* pCpu) {
  std::string why;
  bool ok = WriteFiles(dir, kWarmUpFiles);
  for (int i = 0; ok && i < kWarmUpFiles; ++i) ok = poll(&why);
  for (auto _ : state) {
    double timed = 0;
    for (int round = 0; ok && round < Rounds(files); ++round) {
      ok = fill();
      if (!ok) why = "cannot write the files";
      const auto t0 = std::chrono::steady_clock::now();
      const double cpu0 = ProcessCpuSeconds(pid);
      for (int i = 0; ok && i < Polls(files); ++i) ok = poll(&why);
      timed += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      *pCpu += ProcessCpuSeconds(pid) - cpu0;
    }
    if (!ok) break;
    state.SetIterationTime(timed);
    *pSeconds += timed;
  }
  if (!ok) state.SkipWithError(why.empty() ? "the warm-up failed" : why.c_str());
  return ok;
}

void Report(benchmark::State& state, std::map<int, double>* pRates, std::map<int, double>* pCpu,
            int files, double seconds, double cpuSeconds) {
  if (seconds <= 0) return;
  const double polled =
      static_cast<double>(Polls(files)) * Rounds(files) * static_cast<double>(state.iterations());
  state.counters["files_per_s"] = polled / seconds;
  state.counters["cpu_us_per_file"] = cpuSeconds * 1e6 / polled;
  (*pRates)[files] = polled / seconds;
  (*pCpu)[files] = cpuSeconds * 1e6 / polled;
}

void BM_Model(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  Scratch scratch("smallfiles-model");
  std::vector<char> buffer(65536);
  double seconds = 0;
  double cpu = 0;
  auto poll = [&](std::string* pWhy) {
    if (ModelPoll(scratch.Inbox(), &buffer)) return true;
    *pWhy = "the model found no file";
    return false;
  };
  auto fill = [&] {
    fs::remove_all(scratch.Inbox());
    fs::create_directories(scratch.Inbox());
    return WriteFiles(scratch.Inbox(), files);
  };
  // As the plug-in's process, this one starts its drains warm.
  if (!TimeDrains(state, scratch.Inbox(), files, "self", fill, poll, &seconds, &cpu)) return;
  Report(state, &g_ModelRate, &g_ModelCpu, files, seconds, cpu);
}

// A started plug-in whose configuration allows watching below scratch.Inbox().
bool StartPlugin(benchmark::State& state, MasterSession* pSession, const Scratch& scratch) {
  return velmora::bench::StartPluginFor(state, pSession, g_HostPath, g_PluginPath, scratch.Inbox());
}

void BM_Plugin(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  Scratch scratch("smallfiles-plugin");
  MasterSession session;
  if (!StartPlugin(state, &session, scratch)) return;
  PollClient client(&session, scratch.Out());
  client.DiscardContent(true);  // the model stores no copy either
  Ref<XmlParser> request;
  (void)velmora::tools::PlainPollRequest(scratch.Inbox(), "*", &request);
  const std::string hostPid = std::to_string(session.HostProcessId());
  double seconds = 0;
  double cpu = 0;
  auto poll = [&](std::string* pWhy) {
    PollOutcome out;
    Result r = client.Poll(*request, &out);
    if (r.IsSuccess() && !out.M_bError && out.M_bClaimed) return true;
    *pWhy = "poll: " + (r.IsError() ? r.ErrorText() : out.M_Text + " (no file)");
    return false;
  };
  auto fill = [&] {
    fs::remove_all(scratch.Out());
    fs::create_directories(scratch.Out());
    for (const auto& e : fs::directory_iterator(scratch.Inbox())) fs::remove(e.path());
    return WriteFiles(scratch.Inbox(), files);
  };
  const bool ok = TimeDrains(state, scratch.Inbox(), files, hostPid, fill, poll, &seconds, &cpu);
  (void)session.Finish(nullptr, nullptr);
  if (!ok) return;
  Report(state, &g_PluginRate, &g_PluginCpu, files, seconds, cpu);
}

// Model and plug-in side by side per size, so that both see the same load on the machine.
#define SMALLFILES_SIZE(n)                                                                    \
  BENCHMARK(BM_Model)->Arg(n)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond); \
  BENCHMARK(BM_Plugin)->Arg(n)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond)
SMALLFILES_SIZE(100);
SMALLFILES_SIZE(1000);
SMALLFILES_SIZE(10000);

void PrintTable() {
  if (g_ModelRate.empty() && g_PluginRate.empty()) return;
  std::printf(
      "\n| files in the folder | plug-in files/s | model files/s | ratio "
      "| processor µs per file, plug-in host / model |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& [files, model] : g_ModelRate) {
    const auto it = g_PluginRate.find(files);
    if (it == g_PluginRate.end()) continue;
    std::printf("| %d | %.0f | %.0f | %.2f | %.0f / %.0f |\n", files, it->second, model,
                it->second / model, g_PluginCpu[files], g_ModelCpu[files]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  g_Dir = tmp && *tmp ? tmp : "/tmp";
  const int rc = velmora::bench::RunPluginBenchmarks(argc, argv, &g_HostPath, &g_PluginPath,
                                                     {{"--dir", &g_Dir}, {"--polls", &g_Polls}});
  PrintTable();
  return rc;
}
