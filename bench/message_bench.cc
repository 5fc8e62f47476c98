// Benchmarks of large message content: appending to a Message in 64 KiB chunks, writing and
// reading 64 MiB of binary content in the token stream (format 1) and XML text (format 8),
// and reading a 64 MiB file through a ConnectionFile into a message. Throughput is in bytes
// of payload per second. Iterations after the first reuse the pool's blocks; the append of
// 256 MiB exceeds what the pool keeps and shows the cost of fresh memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "osal/System.h"
#include "xel/ConnectionFile.h"
#include "xel/Message.h"
#include "xel/MessageBlock.h"
#include "xel/XmlParser.h"

namespace {

using velmora::util::Ref;
using velmora::util::Result;
using velmora::xel::ConnectionFile;
using velmora::xel::Message;
using velmora::xel::XmlParser;

constexpr int64_t kAppendBytes = 256ll << 20;
constexpr int64_t kBinaryBytes = 64ll << 20;
constexpr int kChunk = 64 * 1024;

const std::vector<char>& Payload() {
  static const std::vector<char> data = [] {
    std::vector<char> v(static_cast<size_t>(kBinaryBytes));
    uint32_t x = 4711;
    for (char& c : v) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    return v;
  }();
  return data;
}

void BM_MessageAppend(benchmark::State& state) {
  const std::vector<char>& data = Payload();
  for (auto _ : state) {
    Ref<Message> msg = Ref<Message>::Adopt(new Message);
    for (int64_t off = 0; off < kAppendBytes; off += kChunk) {
      Result r = msg->Append(data.data() + (off % kBinaryBytes), kChunk);
      if (r.IsError()) {
        state.SkipWithError(r.Text().c_str());
        return;
      }
    }
    benchmark::DoNotOptimize(msg->Size());
  }
  state.SetBytesProcessed(state.iterations() * kAppendBytes);
}

// Reads the whole message back in 64 KiB pieces.
void BM_MessageRead(benchmark::State& state) {
  const std::vector<char>& data = Payload();
  Ref<Message> msg = Ref<Message>::Adopt(new Message);
  (void)msg->Append(data.data(), static_cast<int32_t>(data.size()));
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    Message::Cursor cursor;
    for (int64_t pos = 0; pos < kBinaryBytes; pos += kChunk) {
      int32_t got = 0;
      Result r = msg->Read(pos, buf.data(), kChunk, &got, &cursor);
      if (r.IsError() || got != kChunk) {
        state.SkipWithError("read failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * kBinaryBytes);
}

// The binary content written in 64 KiB calls, as the poll answer does.
Result WriteDoc(XmlParser& doc, int format) {
  const std::vector<char>& data = Payload();
  Result r = doc.SetDataFormat(format);
  if (r.IsSuccess()) r = doc.OpenElement(0, "Content");
  for (int64_t off = 0; r.IsSuccess() && off < kBinaryBytes; off += kChunk) {
    r = doc.WriteBinary(data.data() + off, kChunk);
  }
  if (r.IsSuccess()) r = doc.CloseAll();
  return r;
}

void BM_WriteBinary(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  for (auto _ : state) {
    XmlParser doc;
    Result r = WriteDoc(doc, format);
    if (r.IsError()) {
      state.SkipWithError(r.Text().c_str());
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBinaryBytes);
}

void BM_ReadBinary(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  XmlParser doc;
  Result r = WriteDoc(doc, format);
  if (r.IsError()) {
    state.SkipWithError(r.Text().c_str());
    return;
  }
  std::vector<char> buf(kChunk);
  for (auto _ : state) {
    XmlParser reader(doc.MessageRef());
    r = reader.MoveToPath("/Content");
    int64_t total = 0;
    while (r.IsSuccess()) {
      int len = 0;
      r = reader.ReadBinary(buf.data(), kChunk, &len);
      total += len;
      if (r.Category() != velmora::util::ErrMoreData) break;
    }
    if (r.IsError() || total != kBinaryBytes) {
      state.SkipWithError(r.IsError() ? r.Text().c_str() : "short read");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kBinaryBytes);
}

// A 64 MiB file received through a file connection into a message (the start of "ReadFile").
void BM_ConnectionFileRead(benchmark::State& state) {
  const std::string path =
      "/tmp/message_bench_" + std::to_string(velmora::osal::CurrentProcessId()) + ".bin";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
      state.SkipWithError("cannot create the file");
      return;
    }
    std::fwrite(Payload().data(), 1, Payload().size(), f);
    std::fclose(f);
  }
  for (auto _ : state) {
    Ref<ConnectionFile> conn = Ref<ConnectionFile>::Adopt(new ConnectionFile);
    Ref<Message> msg = Ref<Message>::Adopt(new Message);
    Result r = conn->OpenInput(path);
    if (r.IsSuccess()) r = msg->RxNextMessage(conn.get(), 1000);
    if (r.IsSuccess()) r = msg->FetchAll();
    if (r.IsError() || msg->Size() != kBinaryBytes) {
      state.SkipWithError(r.IsError() ? r.Text().c_str() : "short message");
      break;
    }
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * kBinaryBytes);
}

BENCHMARK(BM_MessageAppend)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MessageRead)->MinWarmUpTime(0.2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBinary)
    ->MinWarmUpTime(0.2)
    ->ArgName("format")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBinary)
    ->MinWarmUpTime(0.2)
    ->ArgName("format")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConnectionFileRead)->MinWarmUpTime(0.2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
