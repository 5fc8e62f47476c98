// Throughput of "CreateFile" and "ReadFile" through the real master, link and plug-in, next to
// the data link's own throughput measured in the same run.
//
//   files_bench [--host PATH] [--plugin PATH] [benchmark flags]
//
// CreateFileBinary: a request with 64 MiB of binary content ("Format" pdf) is sent to the
//   plug-in, which writes it to a new file block by block; timed until the "ok" answer arrives.
// ReadFileXml/streaming:0|1: a 64 MiB XML file (65536 elements of about 1 KiB) is read by the
//   plug-in and answered as one message, built whole or streamed while it is written; timed
//   until the master holds the whole answer.
// LinkOneWay: 64 MiB as 4000-byte blocks from a DataLinkIpc master to a slave in this process,
//   the raw capacity of the link that both functions use.
// Each reports "MB_per_s" (1 MB = 10^6 bytes of file content). The functions are timed after
// one untimed call, as the link is timed with its blocks already in memory. The files lie in a
// temporary folder below /tmp. The host and plug-in are found beside this build's tools unless
// given.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "../tools/MasterSession.h"
#include "PluginBenchMain.h"
#include "osal/System.h"
#include "xel/DataLinkIpc.h"
#include "xel/MessageBlock.h"

namespace {

using velmora::tools::MasterOptions;
using velmora::tools::MasterSession;
using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::MessageBlock;
using velmora::xel::XmlParser;

constexpr int64_t kContentBytes = 64ll << 20;
constexpr uint32_t kRingSize = 40960;

std::string g_HostPath;
std::string g_PluginPath;

// A folder below /tmp for the bench's files, removed at exit.
const std::string& WorkDir() {
  static const std::string dir = [] {
    std::string d = "/tmp/files_bench_" + std::to_string(velmora::osal::CurrentProcessId());
    std::filesystem::create_directories(d + "/out");
    return d;
  }();
  return dir;
}

struct WorkDirCleanup {
  ~WorkDirCleanup() {
    std::error_code ec;
    std::filesystem::remove_all(WorkDir(), ec);
  }
};

Result StartSession(MasterSession* pSession, bool bStreaming) {
  MasterOptions o;
  o.M_HostPath = g_HostPath;
  o.M_PluginPath = g_PluginPath;
  o.M_TraceLevel = 0;
  Result r = pSession->Start(o);
  const std::string out = WorkDir() + "/out/";
  Ref<XmlParser> answer;
  if (r.IsSuccess()) {
    r = pSession->SendStart("<Component><Code><XelcFile><Out><Directory>" + out +
                                "</Directory><Overwrite>Yes</Overwrite></Out><In><Directory>" +
                                out + "</Directory><EnableStreaming>" +
                                (bStreaming ? "true" : "false") +
                                "</EnableStreaming></In></XelcFile></Code></Component>",
                            &answer);
  }
  if (r.IsSuccess() && velmora::tools::AnswerKind(*answer) != "ok") {
    r = Result::Fail(velmora::util::Error, "start refused");
  }
  return r;
}

void ReportRate(benchmark::State& state, double seconds) {
  if (seconds > 0) {
    state.counters["MB_per_s"] = static_cast<double>(kContentBytes) *
                                 static_cast<double>(state.iterations()) / 1e6 / seconds;
  }
}

// One untimed call; false (and the benchmark skipped) when it is not answered as expected.
bool WarmUp(MasterSession* pSession, XmlParser& request, const char* kind,
            benchmark::State* pState) {
  Ref<XmlParser> answer;
  Result r = pSession->Call(request, &answer, 120000);
  if (r.IsSuccess() && velmora::tools::AnswerKind(*answer) == kind) return true;
  pState->SkipWithError(("warm-up call failed: " + r.Text()).c_str());
  (void)pSession->Finish(nullptr, nullptr);
  return false;
}

void BM_CreateFileBinary(benchmark::State& state) {
  MasterSession session;
  Result r = StartSession(&session, false);
  XmlParser request;
  std::vector<char> content(static_cast<size_t>(kContentBytes));
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + (i >> 12));
  if (r.IsSuccess()) {
    r = request.BeginMessage(XmlParser::MsgType_Request, nullptr, nullptr, "CreateFile", nullptr);
  }
  if (r.IsSuccess()) r = request.OpenElement(-1, "Opt");
  if (r.IsSuccess()) r = request.WriteElement(-1, "FileName", "big");
  if (r.IsSuccess()) r = request.WriteElement(-1, "Extension", ".pdf");
  if (r.IsSuccess()) r = request.WriteElement(-1, "Format", "pdf");
  if (r.IsSuccess()) r = request.CloseElement();
  if (r.IsSuccess()) r = request.WriteElementBinary(-1, "Data", content.data(), kContentBytes);
  if (r.IsSuccess()) r = request.CloseAll();
  if (r.IsError()) {
    state.SkipWithError(("setup failed: " + r.Text()).c_str());
    return;
  }
  // The first call of a fresh plug-in also faults in the pages of its block pool; the link's
  // figure is taken with its blocks in place, so both are measured warm.
  if (!WarmUp(&session, request, "ok", &state)) return;
  double seconds = 0;
  for (auto _ : state) {
    // Each run writes a new file: replacing one would add the file system's own work for a
    // truncated file (ext4 writes it back when it is closed), which is not the plug-in's.
    std::error_code ec;
    std::filesystem::remove(WorkDir() + "/out/big.pdf", ec);
    Ref<XmlParser> answer;
    const auto t0 = std::chrono::steady_clock::now();
    r = session.Call(request, &answer, 120000);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    if (r.IsError() || velmora::tools::AnswerKind(*answer) != "ok") {
      state.SkipWithError(("call failed: " + r.Text()).c_str());
      break;
    }
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (std::filesystem::file_size(WorkDir() + "/out/big.pdf") !=
      static_cast<uintmax_t>(kContentBytes)) {
    state.SkipWithError("the written file has the wrong size");
  }
  ReportRate(state, seconds);
  (void)session.Finish(nullptr, nullptr);
}
BENCHMARK(BM_CreateFileBinary)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// <list><item n="i">about 1 KiB of text</item>...</list> of kContentBytes in total.
void WriteXmlFile(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<list>";
  int64_t written = 48;
  const std::string text(1000, 'x');
  for (int i = 0; written < kContentBytes - 64; ++i) {
    std::string item = "<item n=\"" + std::to_string(i) + "\">" + text + "</item>\n";
    if (written + static_cast<int64_t>(item.size()) > kContentBytes - 8) {
      item = std::string(static_cast<size_t>(kContentBytes - 8 - written), ' ');
    }
    out << item;
    written += static_cast<int64_t>(item.size());
  }
  out << "</list>\n";
}

void BM_ReadFileXml(benchmark::State& state) {
  const std::string path = WorkDir() + "/out/big.xml";
  if (!std::filesystem::exists(path)) WriteXmlFile(path);
  MasterSession session;
  Result r = StartSession(&session, state.range(0) != 0);
  Ref<XmlParser> request;
  std::string function;
  if (r.IsSuccess()) {
    r = velmora::tools::RequestFromText("<ReadFile><FileName>big</FileName></ReadFile>", ".",
                                        &request, &function);
  }
  if (r.IsError()) {
    state.SkipWithError(("setup failed: " + r.Text()).c_str());
    return;
  }
  if (!WarmUp(&session, *request, "list", &state)) return;
  double seconds = 0;
  for (auto _ : state) {
    Ref<XmlParser> answer;
    const auto t0 = std::chrono::steady_clock::now();
    r = session.Call(*request, &answer, 120000);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    if (r.IsError() || velmora::tools::AnswerKind(*answer) != "list") {
      state.SkipWithError(("call failed: " + r.Text()).c_str());
      break;
    }
    state.counters["answer_MB"] = static_cast<double>(answer->GetMessage()->Size()) / 1e6;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  ReportRate(state, seconds);
  (void)session.Finish(nullptr, nullptr);
}
BENCHMARK(BM_ReadFileXml)
    ->ArgName("streaming")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Counts the bytes the slave receives and wakes the timer when all have arrived.
struct Receiver {
  std::mutex M_Mutex;
  std::condition_variable M_Cond;
  int64_t M_Bytes = 0;

  void OnBlock(MessageBlock* p) {
    bool bDone = false;
    {
      std::lock_guard<std::mutex> lock(M_Mutex);
      M_Bytes += p->M_Length;
      bDone = M_Bytes >= kContentBytes;
    }
    MessageBlock::Free(p);
    if (bDone) M_Cond.notify_all();
  }
  bool WaitAll(int seconds) {
    std::unique_lock<std::mutex> lock(M_Mutex);
    return M_Cond.wait_for(lock, std::chrono::seconds(seconds),
                           [&] { return M_Bytes >= kContentBytes; });
  }
};

void BM_LinkOneWay(benchmark::State& state) {
  using velmora::xel::DataLinkIpc;
  double seconds = 0;
  int round = 0;
  for (auto _ : state) {
    const std::string name = "benchfiles" + std::to_string(velmora::osal::CurrentProcessId()) +
                             "_" + std::to_string(++round);
    Receiver rx;
    auto master = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
    auto slave = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
    master->SetDispatch([](uint32_t, MessageBlock* p) { MessageBlock::Free(p); });
    slave->SetDispatch([&rx](uint32_t, MessageBlock* p) { rx.OnBlock(p); });
    if (master->Connect(name, true, 0, kRingSize, kRingSize).IsError() ||
        slave->Connect(name, false, 5000, kRingSize, kRingSize).IsError()) {
      state.SkipWithError("the link could not be connected");
      master->Close();
      slave->Close();
      break;
    }
    // As in the runtime, the message exists as blocks before it is sent.
    std::vector<MessageBlock*> blocks;
    for (int64_t left = kContentBytes; left > 0; left -= MessageBlock::BlockSize) {
      MessageBlock* p = MessageBlock::Allocate();
      p->M_Length =
          left < MessageBlock::BlockSize ? static_cast<uint32_t>(left) : MessageBlock::BlockSize;
      std::memset(p->M_Content, 0x5a, p->M_Length);
      blocks.push_back(p);
    }
    const auto t0 = std::chrono::steady_clock::now();
    bool bOk = true;
    for (MessageBlock* p : blocks) {
      if (!bOk || master->QueueBlock(p).IsError()) {
        bOk = false;
        MessageBlock::Free(p);
      }
    }
    bOk = bOk && rx.WaitAll(120);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    master->Close();
    slave->Close();
    if (!bOk) {
      state.SkipWithError("transfer failed");
      break;
    }
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  ReportRate(state, seconds);
}
BENCHMARK(BM_LinkOneWay)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  WorkDirCleanup cleanup;
  return velmora::bench::RunPluginBenchmarks(argc, argv, &g_HostPath, &g_PluginPath);
}
