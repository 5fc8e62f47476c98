// Throughput of the shared-memory data link against a plain ring and a Unix-domain socket.
//
// Each benchmark moves a 100 MiB message as 4000-byte blocks from a parent process to a
// child process and then the same amount back, and reports MB/s over both directions
// (the counter "MB_per_s"; 1 MB = 10^6 bytes). The child is this binary started again
// with "--child=<kind> ...". The three transports:
//   DataLink     DataLinkIpc master (parent) and slave (child) with their send queues,
//                worker threads and dispatch. As in the runtime, the message exists as a
//                chain of blocks before it is sent (built before the clock starts); the
//                send thread frees each block once written, the receive thread allocates
//                one per received block (the receiver here counts and frees it);
//   PlainRing    two rings of the same size (40960 bytes) and block format in shared
//                memory, no mutexes or events: the two sides spin (yielding) on the indices;
//                the same built blocks are written, and read into one buffer;
//   UnixSocket   a stream socket pair carrying the same 48-byte header + 4000-byte blocks.
// The parent runs on the first processor it may use and the child on the second, so that the
// three transports meet the same placement: left to the scheduler, whether the two sides share
// a processor, a core or neither changes each figure several-fold from run to run. With
// "--no-pin" (or a single processor) the scheduler places them.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "osal/Process.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "xel/DataLinkIpc.h"
#include "xel/MessageBlock.h"

namespace {

using velmora::util::Ref;
using velmora::xel::DataLinkIpc;
using velmora::xel::MessageBlock;

constexpr uint64_t kMessageBytes = 100ull << 20;
constexpr uint32_t kBlockBytes = MessageBlock::BlockSize;
constexpr uint64_t kBlocks = (kMessageBytes + kBlockBytes - 1) / kBlockBytes;
constexpr uint32_t kRingSize = 40960;
constexpr uint32_t kHeaderBytes = 48;
constexpr uint32_t kReadyEvent = 7;

uint32_t BlockLength(uint64_t index) {
  const uint64_t left = kMessageBytes - index * kBlockBytes;
  return left < kBlockBytes ? static_cast<uint32_t>(left) : kBlockBytes;
}

const uint8_t* SourceData() {
  static std::vector<uint8_t>* data = [] {
    auto* v = new std::vector<uint8_t>(kBlockBytes);
    for (uint32_t i = 0; i < kBlockBytes; ++i) (*v)[i] = static_cast<uint8_t>(i * 13 + 1);
    return v;
  }();
  return data->data();
}

// Starts this program again with args (its child modes); the child keeps the descriptors
// that are not close-on-exec, such as a socket of the pair.
// Whether a child is to run on the second processor (the parent runs on the first).
bool g_PinChild = false;

bool SpawnChild(velmora::osal::Process* pChild, std::vector<std::string> args) {
  if (g_PinChild) args.push_back("pin");
  return pChild->Start(velmora::osal::CurrentExecutablePath(), args).ok();
}

bool ReapChild(velmora::osal::Process& child) {
  if (!child.IsStarted() || !child.Wait(velmora::osal::kInfinite).ok()) return false;
  return !child.exit().killed && child.exit().code == 0;
}

std::string UniqueName(const char* tag) {
  static int counter = 0;
  return std::string("bench") + tag + std::to_string(velmora::osal::CurrentProcessId()) + "_" +
         std::to_string(++counter);
}

// ---------------------------------------------------------------------------------------
// DataLink

// Counts the bytes of received blocks and frees them; signals when a total is reached.
struct Receiver {
  std::mutex mutex;
  std::condition_variable cond;
  uint64_t bytes = 0;
  uint64_t blocks = 0;
  bool bReady = false;

  // Wakes the waiting thread only when there is something to see, as a connection
  // signals its reader only for a complete message.
  void OnBlock(MessageBlock* p) {
    bool bNotify = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (p->M_Event == kReadyEvent) {
        bReady = bNotify = true;
      } else {
        bytes += p->M_Length;
        ++blocks;
        bNotify = bytes >= kMessageBytes;
      }
    }
    MessageBlock::Free(p);
    if (bNotify) cond.notify_all();
  }
  template <class Pred>
  bool WaitFor(Pred pred, int seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cond.wait_for(lock, std::chrono::seconds(seconds), pred);
  }
};

// The message as the runtime holds it before sending: a chain of filled blocks.
std::vector<MessageBlock*> BuildMessage() {
  const uint8_t* src = SourceData();
  std::vector<MessageBlock*> blocks;
  blocks.reserve(kBlocks);
  for (uint64_t i = 0; i < kBlocks; ++i) {
    MessageBlock* p = MessageBlock::Allocate();
    if (p == nullptr) break;
    p->M_Length = BlockLength(i);
    p->M_Flags = i == 0 ? 4u : 0u;
    std::memcpy(p->M_Content, src, p->M_Length);
    blocks.push_back(p);
  }
  return blocks;
}

// Hands every block to the link, which frees it once written.
bool QueueMessage(DataLinkIpc* pLink, std::vector<MessageBlock*>& blocks) {
  bool bOk = blocks.size() == kBlocks;
  for (MessageBlock*& p : blocks) {
    if (bOk && pLink->QueueBlock(p).IsError()) bOk = false;
    if (!bOk) MessageBlock::Free(p);
    p = nullptr;
  }
  blocks.clear();
  return bOk;
}

int LinkChild(const std::string& name) {
  Receiver rx;
  Ref<DataLinkIpc> link = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
  link->SetDispatch([&rx](uint32_t, MessageBlock* p) { rx.OnBlock(p); });
  std::vector<MessageBlock*> reply = BuildMessage();
  if (link->Connect(name, false, 5000, kRingSize, kRingSize).IsError()) return 2;
  MessageBlock* pReady = MessageBlock::Allocate();
  pReady->M_Event = kReadyEvent;
  if (link->QueueBlock(pReady).IsError()) return 3;
  if (!rx.WaitFor([&] { return rx.bytes >= kMessageBytes; }, 120)) return 4;
  if (!QueueMessage(link.get(), reply)) return 5;
  link->WaitForLinkDown(120000);
  link->Close();
  return 0;
}

void BM_DataLink(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    const std::string name = UniqueName("link");
    Receiver rx;
    Ref<DataLinkIpc> link = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
    link->SetDispatch([&rx](uint32_t, MessageBlock* p) { rx.OnBlock(p); });
    if (link->Connect(name, true, 0, kRingSize, kRingSize).IsError()) {
      state.SkipWithError("master connect failed");
      break;
    }
    velmora::osal::Process child;
    if (!SpawnChild(&child, {"--child=link", name}) || !rx.WaitFor([&] { return rx.bReady; }, 10)) {
      state.SkipWithError("slave did not connect");
      link->Close();
      break;
    }
    std::vector<MessageBlock*> message = BuildMessage();
    const auto start = std::chrono::steady_clock::now();
    const bool bQueued = QueueMessage(link.get(), message);
    const bool bBack = bQueued && rx.WaitFor([&] { return rx.bytes >= kMessageBytes; }, 120);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    link->Close();
    const bool bChildOk = ReapChild(child);
    if (!bBack || !bChildOk) {
      state.SkipWithError("transfer failed");
      break;
    }
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (seconds > 0) {
    state.counters["MB_per_s"] = 2.0 * kMessageBytes * state.iterations() / 1e6 / seconds;
  }
}

// ---------------------------------------------------------------------------------------
// Plain ring: same size and block format, the indices polled instead of waited for.

struct alignas(64) RingIndex {
  std::atomic<uint32_t> value{0};
};

struct SpinRing {
  RingIndex write;
  RingIndex read;
  uint8_t data[kRingSize];
};

struct RingPair {
  std::atomic<uint32_t> ready{0};
  SpinRing toChild;
  SpinRing toParent;
};

inline void Backoff(int* spins) {
  if (++*spins > 64) std::this_thread::yield();
}

void RingWrite(SpinRing& ring, const uint8_t* content, uint32_t length) {
  const uint32_t blockSize = kHeaderBytes + ((length + 3) & ~3u);
  const uint32_t w = ring.write.value.load(std::memory_order_relaxed);
  uint32_t pos = 0;
  bool bWrap = false;
  for (int spins = 0;; Backoff(&spins)) {
    const uint32_t r = ring.read.value.load(std::memory_order_acquire);
    if (w < r) {
      if (blockSize < r - w) {
        pos = w;
        break;
      }
    } else if (kRingSize - w < blockSize + kHeaderBytes) {
      if (blockSize < r) {
        pos = 0;
        bWrap = true;
        break;
      }
    } else {
      pos = w;
      break;
    }
  }
  if (bWrap) std::memcpy(ring.data + w, &DataLinkIpc::kWrapMarker, 4);
  uint32_t header[12] = {DataLinkIpc::kBlockMagic, blockSize, kHeaderBytes, 0, 0, 0, length};
  std::memcpy(ring.data + pos, header, sizeof header);
  std::memcpy(ring.data + pos + kHeaderBytes, content, length);
  ring.write.value.store(pos + blockSize, std::memory_order_release);
}

uint32_t RingRead(SpinRing& ring, uint8_t* content) {
  uint32_t r = ring.read.value.load(std::memory_order_relaxed);
  for (int spins = 0;;) {
    if (ring.write.value.load(std::memory_order_acquire) == r) {
      Backoff(&spins);
      continue;
    }
    uint32_t header[12];
    std::memcpy(header, ring.data + r, 4);
    if (header[0] == DataLinkIpc::kWrapMarker) {
      r = 0;
      continue;
    }
    std::memcpy(header, ring.data + r, sizeof header);
    std::memcpy(content, ring.data + r + header[2], header[6]);
    ring.read.value.store(r + header[1], std::memory_order_release);
    return header[6];
  }
}

// Writes the blocks of a built message (the same the data link sends) and frees them.
uint64_t RingSendMessage(SpinRing& ring, std::vector<MessageBlock*>& blocks) {
  uint64_t bytes = 0;
  for (MessageBlock* p : blocks) {
    RingWrite(ring, p->M_Content, p->M_Length);
    bytes += p->M_Length;
  }
  for (MessageBlock* p : blocks) MessageBlock::Free(p);
  blocks.clear();
  return bytes;
}

uint64_t RingReceiveMessage(SpinRing& ring) {
  std::vector<uint8_t> buffer(kBlockBytes);
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < kBlocks; ++i) bytes += RingRead(ring, buffer.data());
  return bytes;
}

int RingChild(const std::string& name) {
  velmora::osal::SharedMemory memory;
  if (!memory.Open(name).ok() || memory.size() < sizeof(RingPair)) return 2;
  auto* pair = static_cast<RingPair*>(memory.data());
  std::vector<MessageBlock*> reply = BuildMessage();
  pair->ready.store(1, std::memory_order_release);
  if (RingReceiveMessage(pair->toChild) != kMessageBytes) return 3;
  return RingSendMessage(pair->toParent, reply) == kMessageBytes ? 0 : 4;
}

void BM_PlainRing(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    const std::string name = UniqueName("ring");
    velmora::osal::SharedMemory memory;
    if (!memory.Create(name, sizeof(RingPair)).ok()) {
      state.SkipWithError("shared memory failed");
      break;
    }
    auto* pair = new (memory.data()) RingPair();
    velmora::osal::Process child;
    const bool bStarted = SpawnChild(&child, {"--child=ring", name});
    while (bStarted && pair->ready.load(std::memory_order_acquire) == 0) {
      std::this_thread::yield();
    }
    std::vector<MessageBlock*> message = BuildMessage();
    const auto start = std::chrono::steady_clock::now();
    RingSendMessage(pair->toChild, message);
    const uint64_t back = RingReceiveMessage(pair->toParent);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!ReapChild(child) || back != kMessageBytes) {
      state.SkipWithError("transfer failed");
      break;
    }
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (seconds > 0) {
    state.counters["MB_per_s"] = 2.0 * kMessageBytes * state.iterations() / 1e6 / seconds;
  }
}

// ---------------------------------------------------------------------------------------
// Unix-domain stream socket carrying 48-byte headers and the content.

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SocketSendMessage(int fd) {
  const uint8_t* src = SourceData();
  uint8_t frame[kHeaderBytes + kBlockBytes];
  for (uint64_t i = 0; i < kBlocks; ++i) {
    const uint32_t length = BlockLength(i);
    uint32_t header[12] = {
        DataLinkIpc::kBlockMagic, kHeaderBytes + length, kHeaderBytes, 0, 0, 0, length};
    std::memcpy(frame, header, sizeof header);
    std::memcpy(frame + kHeaderBytes, src, length);
    if (!WriteAll(fd, frame, kHeaderBytes + length)) return false;
  }
  return true;
}

uint64_t SocketReceiveMessage(int fd) {
  uint8_t content[kBlockBytes];
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < kBlocks; ++i) {
    uint32_t header[12];
    if (!ReadAll(fd, header, sizeof header) || header[6] > kBlockBytes) return 0;
    if (!ReadAll(fd, content, header[6])) return 0;
    bytes += header[6];
  }
  return bytes;
}

int SocketChild(int fd) {
  const uint8_t ready = 1;
  if (!WriteAll(fd, &ready, 1)) return 2;
  if (SocketReceiveMessage(fd) != kMessageBytes) return 3;
  return SocketSendMessage(fd) ? 0 : 4;
}

void BM_UnixSocket(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
      state.SkipWithError("socketpair failed");
      break;
    }
    velmora::osal::Process child;
    const bool bStarted = SpawnChild(&child, {"--child=socket", std::to_string(fds[1])});
    close(fds[1]);
    uint8_t ready = 0;
    if (!bStarted || !ReadAll(fds[0], &ready, 1)) {
      state.SkipWithError("child did not start");
      close(fds[0]);
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool bSent = SocketSendMessage(fds[0]);
    const uint64_t back = bSent ? SocketReceiveMessage(fds[0]) : 0;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    close(fds[0]);
    if (!ReapChild(child) || back != kMessageBytes) {
      state.SkipWithError("transfer failed");
      break;
    }
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  if (seconds > 0) {
    state.counters["MB_per_s"] = 2.0 * kMessageBytes * state.iterations() / 1e6 / seconds;
  }
}

BENCHMARK(BM_DataLink)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRing)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnixSocket)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The index-th processor this process may use, or -1.
int AllowedProcessor(int index) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed) && seen++ == index) return cpu;
  }
  return -1;
}

// Binds the calling thread, and the threads it starts later, to processor cpu.
bool PinTo(int cpu) {
  if (cpu < 0) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return sched_setaffinity(0, sizeof one, &one) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool bPin = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-pin") == 0) {
      bPin = false;
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  }
  const bool bChild = argc >= 3 && std::strncmp(argv[1], "--child=", 8) == 0;
  // Both sides pin only when both can: the child learns it from its last argument.
  if (bChild) {
    if (std::strcmp(argv[argc - 1], "pin") == 0) (void)PinTo(AllowedProcessor(1));
  } else if (bPin && AllowedProcessor(1) >= 0) {
    g_PinChild = PinTo(AllowedProcessor(0));
  }
  if (argc >= 3) {
    const std::string mode = argv[1];
    if (mode == "--child=link") return LinkChild(argv[2]);
    if (mode == "--child=ring") return RingChild(argv[2]);
    if (mode == "--child=socket") return SocketChild(std::atoi(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
