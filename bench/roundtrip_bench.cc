// Round-trip time of a "GetWorkingDir" call to the real plug-in against a Unix-domain socket
// ping-pong of the same request and answer sizes.
//
//   roundtrip_bench [--host PATH] [--plugin PATH] [benchmark flags]
//
// GetWorkingDir: xelhost with libXelcFile.so in a process of its own, started and driven as
//   xelmaster does it; each call opens a conversation, sends the request (binary token
//   stream), waits for the answer and closes the conversation - the whole way through the
//   data link, switch, server thread and the component's dispatch.
// UnixSocket: a child process echoes over a socket pair: the parent writes a message of the
//   request's size, the child reads it and writes one of the answer's size back.
// Both report the median and the 99th percentile of the single round trips ("median_us",
// "p99_us") over 10000 calls. The host and plug-in are found beside this build's tools
// unless given.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../tools/MasterSession.h"
#include "PluginBenchMain.h"
#include "osal/Process.h"

namespace {

using velmora::tools::MasterOptions;
using velmora::tools::MasterSession;
using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::XmlParser;

constexpr int kCalls = 10000;

std::string g_HostPath;
std::string g_PluginPath;
size_t g_RequestBytes = 0;
size_t g_AnswerBytes = 0;

void ReportPercentiles(benchmark::State& state, std::vector<double>* samplesUs) {
  if (samplesUs->empty()) return;
  std::sort(samplesUs->begin(), samplesUs->end());
  auto at = [&](double q) {
    size_t i = static_cast<size_t>(q * static_cast<double>(samplesUs->size() - 1) + 0.5);
    return (*samplesUs)[i];
  };
  state.counters["median_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["request_bytes"] = static_cast<double>(g_RequestBytes);
  state.counters["answer_bytes"] = static_cast<double>(g_AnswerBytes);
}

Ref<XmlParser> GetWorkingDirRequest() {
  Ref<XmlParser> request;
  std::string function;
  Result r = velmora::tools::RequestFromText(
      "<GetWorkingDir xmlns=\"http://velmora.net/XMLSchema/2004/xel\"/>", ".", &request, &function);
  return r.IsSuccess() ? request : nullptr;
}

void BM_GetWorkingDirRoundTrip(benchmark::State& state) {
  MasterSession session;
  MasterOptions o;
  o.M_HostPath = g_HostPath;
  o.M_PluginPath = g_PluginPath;
  o.M_TraceLevel = 0;
  Result r = session.Start(o);
  Ref<XmlParser> answer;
  if (r.IsSuccess()) r = session.SendStart("<XelcFile/>", &answer);
  Ref<XmlParser> request = GetWorkingDirRequest();
  if (r.IsError() || !request) {
    state.SkipWithError(("the plug-in could not be started: " + r.ErrorText()).c_str());
    return;
  }
  std::vector<double> samples;
  samples.reserve(kCalls);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    r = session.Call(*request, &answer, 10000);
    const auto t1 = std::chrono::steady_clock::now();
    if (r.IsError()) {
      state.SkipWithError(("call failed: " + r.ErrorText()).c_str());
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  g_RequestBytes = static_cast<size_t>(request->GetMessage()->Size());
  if (answer) g_AnswerBytes = static_cast<size_t>(answer->GetMessage()->Size());
  ReportPercentiles(state, &samples);
  (void)session.Finish(nullptr, nullptr);
}
BENCHMARK(BM_GetWorkingDirRoundTrip)->Iterations(kCalls)->Unit(benchmark::kMicrosecond);

bool ReadExactly(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t got = ::read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExactly(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t put = ::write(fd, p, n);
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// The echoing side, this program started again as "--child=echo FD REQUEST ANSWER": reads
// requests of REQUEST bytes from the socket FD and answers each with ANSWER bytes, until it
// is ended.
int EchoChild(int fd, size_t requestBytes, size_t answerBytes) {
  std::vector<char> in(requestBytes), out(answerBytes, 'a');
  while (ReadExactly(fd, in.data(), in.size()) && WriteExactly(fd, out.data(), out.size())) {
  }
  return 0;
}

void BM_UnixSocketPingPong(benchmark::State& state) {
  // Sizes of the GetWorkingDir exchange (measured by the benchmark above when it ran).
  const size_t requestBytes = g_RequestBytes ? g_RequestBytes : 128;
  const size_t answerBytes = g_AnswerBytes ? g_AnswerBytes : 160;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  velmora::osal::Process child;
  const std::vector<std::string> args = {"--child=echo", std::to_string(fds[1]),
                                         std::to_string(requestBytes), std::to_string(answerBytes)};
  const bool bStarted = child.Start(velmora::osal::CurrentExecutablePath(), args).ok();
  ::close(fds[1]);
  if (!bStarted) {
    ::close(fds[0]);
    state.SkipWithError("the echo process could not be started");
    return;
  }
  std::vector<char> out(requestBytes, 'r'), in(answerBytes);
  std::vector<double> samples;
  samples.reserve(kCalls);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!WriteExactly(fds[0], out.data(), out.size()) ||
        !ReadExactly(fds[0], in.data(), in.size())) {
      state.SkipWithError("socket ping-pong failed");
      break;
    }
    const auto t1 = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  ::close(fds[0]);
  // The child holds this end too and so never reads the end of the stream.
  (void)child.Kill();
  (void)child.Wait(velmora::osal::kInfinite);
  g_RequestBytes = requestBytes;
  g_AnswerBytes = answerBytes;
  ReportPercentiles(state, &samples);
}
BENCHMARK(BM_UnixSocketPingPong)->Iterations(kCalls)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child=echo") == 0) {
    return EchoChild(std::atoi(argv[2]), std::strtoul(argv[3], nullptr, 10),
                     std::strtoul(argv[4], nullptr, 10));
  }
  return velmora::bench::RunPluginBenchmarks(argc, argv, &g_HostPath, &g_PluginPath);
}
