// DataLinkIpc: the data link over named shared memory, as master or as slave.
#include "xel/DataLinkIpc.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "SpinWait.h"
#include "util/Trace.h"

namespace velmora::xel {

using util::Result;

namespace {

// Words of the link header (index = byte offset / 4).
enum HeaderWord : int {
  Hdr_Version = 0,
  Hdr_TotalSize = 2,
  Hdr_Partitions = 4,
  Hdr_Initialised = 5,
  Hdr_PartitionTable = 16,  // byte 64: 32-byte entries
};
// Words of a partition entry.
enum PartitionWord : int {
  Part_Id = 0,
  Part_OffsetLow = 2,
  Part_OffsetHigh = 3,
  Part_SizeLow = 4,
  Part_SizeHigh = 5,
  Part_Words = 8,
};
// Words of a queue header.
enum QueueWord : int {
  Q_DataOffset = 0,
  Q_State = 1,
  Q_BufferSize = 2,
  Q_WriteIndex = 3,
  Q_ReadIndex = 4,
  Q_WriterWaiting = 5,
  // Written by the queue's reader. A reader that sets Q_ReaderFlags bit 0 keeps
  // Q_ReaderWaiting up to date, so its writer signals only while it may be waiting.
  // A peer that leaves both words 0 is woken after every block.
  Q_ReaderWaiting = 6,
  Q_ReaderFlags = 7,
};
constexpr uint32_t kReaderMaintainsWaiting = 1;

// Words of a block header in the ring.
enum BlockWord : int {
  Blk_Magic = 0,
  Blk_Size = 1,
  Blk_DataOffset = 2,
  Blk_Channel = 3,
  Blk_Flags = 4,
  Blk_Event = 5,
  Blk_Length = 6,
  Blk_S = 7,
  Blk_A = 8,
  Blk_TraceTag = 9,
  Blk_Words = 12,
};

// Index of WaitForPeer outcomes as traced ("wait returned Index=%i").
constexpr int kIndexTimeout = 258;

uint32_t Load(uint32_t* p, std::memory_order order = std::memory_order_acquire) {
  return std::atomic_ref<uint32_t>(*p).load(order);
}
void Store(uint32_t* p, uint32_t v, std::memory_order order = std::memory_order_release) {
  std::atomic_ref<uint32_t>(*p).store(v, order);
}

Result IpcError(uint32_t category, const char* fmt, ...) XEL_PRINTF(2, 3);
Result IpcError(uint32_t category, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Result r = Result::MakeV(category, util::ModIntellNetwork, util::ObjIntellNetwork, util::SevError,
                           fmt, args);
  va_end(args);
  return r;
}

Result ObjectError(const char* what, const std::string& name, const osal::Status& st) {
  const uint32_t category = st.Is(osal::ErrorKind::kNotFound)       ? util::ErrObjNotExist
                            : st.Is(osal::ErrorKind::kExists)       ? util::ErrObjExist
                            : st.Is(osal::ErrorKind::kAccessDenied) ? util::ErrPermission
                                                                    : util::ErrResource;
  return IpcError(category, "%s %s failed (%i: %s)", what, name.c_str(), st.code(),
                  st.Text().c_str());
}

constexpr uint32_t RoundUp4(uint32_t v) { return (v + 3u) & ~3u; }

}  // namespace

DataLinkIpc::DataLinkIpc() = default;

DataLinkIpc::~DataLinkIpc() { Close(2000); }

uint32_t DataLinkIpc::EffectiveBufferSize(uint32_t requested) {
  if (requested < kMinBufferSize) requested = kMinBufferSize;
  if (requested > 0x40000000u) requested = 0x40000000u;
  return RoundUp4(requested);
}

std::string DataLinkIpc::ObjectName(const std::string& linkName, const char* suffix) {
  return std::string(kNamePrefix) + "_" + linkName + "_" + suffix;
}

Result DataLinkIpc::ConnectLink(const std::string& name, bool bServer, uint32_t rxSize,
                                uint32_t txSize) {
  M_bServer = bServer;
  return bServer ? ConnectAsMaster(name, rxSize, txSize) : ConnectAsSlave(name);
}

Result DataLinkIpc::ConnectAsMaster(const std::string& name, uint32_t rxSize, uint32_t txSize) {
  const uint32_t rx = EffectiveBufferSize(rxSize);
  const uint32_t tx = EffectiveBufferSize(txSize);
  const uint64_t total64 =
      uint64_t{kHeaderSize} + (tx + kQueueHeaderSize) + (rx + kQueueHeaderSize);
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "ConnectAsMaster(%s, rx_buf=%i, tx_buf=%i)",
                name.c_str(), static_cast<int>(rx), static_cast<int>(tx));
  Result res;
  do {
    if (total64 > 0x7FFFFFFFu) {
      res = IpcError(util::ErrLogicArgs, "IPC Buffer: Invalid size %i", -1);
      break;
    }
    const uint32_t total = static_cast<uint32_t>(total64);
    osal::Status st;
    if (!M_bOwnMutexHeld) {
      const std::string mutexName = ObjectName(name, "MutexM");
      st = M_MutexM.Create(mutexName, true, M_Access);
      if (!st.ok()) {
        res = ObjectError("Create mutex", mutexName, st);
        break;
      }
      M_bOwnMutexHeld = true;
    }
    const std::string memName = ObjectName(name, "Mem");
    st = M_Memory.Create(memName, total, M_Access);
    if (st.Is(osal::ErrorKind::kExists)) {
      res = IpcError(util::ErrObjExist, "Shared Memory %s already exists", memName.c_str());
      break;
    }
    if (!st.ok() || M_Memory.size() < total) {
      res = ObjectError("Create shared memory", memName, st);
      break;
    }
    struct {
      osal::NamedMutex* pMutex;
      osal::NamedEvent* pEvent;
      const char* suffix;
    } const objects[] = {{&M_MutexS, nullptr, "MutexS"},
                         {nullptr, &M_EventM, "EventM"},
                         {nullptr, &M_EventS, "EventS"}};
    for (const auto& o : objects) {
      const std::string objName = ObjectName(name, o.suffix);
      st = o.pMutex ? o.pMutex->Create(objName, false, M_Access)
                    : o.pEvent->Create(objName, false, false, M_Access);
      if (!st.ok()) {
        res = ObjectError(o.pMutex ? "Create mutex" : "Create event", objName, st);
        break;
      }
    }
    if (res.IsError()) break;

    M_pBase = static_cast<uint8_t*>(M_Memory.data());
    uint32_t* pHdr = reinterpret_cast<uint32_t*>(M_pBase);
    pHdr[Hdr_Version] = kVersion;
    pHdr[Hdr_TotalSize] = total;
    pHdr[Hdr_Partitions] = 2;
    uint32_t* pPart0 = pHdr + Hdr_PartitionTable;
    uint32_t* pPart1 = pPart0 + Part_Words;
    pPart0[Part_Id] = 2;
    pPart0[Part_OffsetLow] = kHeaderSize;
    pPart0[Part_SizeLow] = tx + kQueueHeaderSize;
    pPart1[Part_Id] = 1;
    pPart1[Part_OffsetLow] = kHeaderSize + tx + kQueueHeaderSize;
    pPart1[Part_SizeLow] = rx + kQueueHeaderSize;
    if (pPart1[Part_OffsetLow] + pPart1[Part_SizeLow] != total) {
      res = IpcError(util::ErrIntern, "IPC Buffer: Invalid size %i", static_cast<int>(total));
      break;
    }
    uint32_t* pQ0 = reinterpret_cast<uint32_t*>(M_pBase + pPart0[Part_OffsetLow]);
    uint32_t* pQ1 = reinterpret_cast<uint32_t*>(M_pBase + pPart1[Part_OffsetLow]);
    pQ0[Q_DataOffset] = kQueueHeaderSize;
    pQ0[Q_BufferSize] = tx;
    pQ0[Q_ReaderFlags] = kReaderMaintainsWaiting;  // the master reads partition 0
    pQ1[Q_DataOffset] = kQueueHeaderSize;
    pQ1[Q_BufferSize] = rx;
    pQ1[Q_State] = kQueueConnected;
    // Last, with release order: a slave that sees the flag sees the whole header.
    Store(&pHdr[Hdr_Initialised], 1);

    M_WriteQueue = {pQ1, reinterpret_cast<uint8_t*>(pQ1) + kQueueHeaderSize, rx};
    M_ReadQueue = {pQ0, reinterpret_cast<uint8_t*>(pQ0) + kQueueHeaderSize, tx};
    M_pPeerMutex = &M_MutexS;
    M_pOwnEvent = &M_EventM;
    M_pPeerEvent = &M_EventS;
  } while (false);
  if (res.IsError()) CloseObjects(true);
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "ConnectAsMaster(%s) returned %s", name.c_str(),
                res.Text().c_str());
  return res;
}

Result DataLinkIpc::OpenObjects(const std::string& name) {
  const std::string memName = ObjectName(name, "Mem");
  osal::Status st = M_Memory.Open(memName);
  if (!st.ok()) return ObjectError("Open shared memory", memName, st);
  M_pBase = static_cast<uint8_t*>(M_Memory.data());
  for (auto [pMutex, suffix] : {std::pair{&M_MutexM, "MutexM"}, std::pair{&M_MutexS, "MutexS"}}) {
    const std::string objName = ObjectName(name, suffix);
    st = pMutex->Open(objName);
    if (!st.ok()) return ObjectError("Open mutex", objName, st);
  }
  for (auto [pEvent, suffix] : {std::pair{&M_EventM, "EventM"}, std::pair{&M_EventS, "EventS"}}) {
    const std::string objName = ObjectName(name, suffix);
    st = pEvent->Open(objName);
    if (!st.ok()) return ObjectError("Open event", objName, st);
  }
  // Whoever may write the link may inject requests that run with this process's rights.
  const struct {
    bool bAny;
    const char* suffix;
  } checks[] = {{M_Memory.AnyAccountMayWrite(), "Mem"},
                {M_MutexM.AnyAccountMayWrite(), "MutexM"},
                {M_MutexS.AnyAccountMayWrite(), "MutexS"},
                {M_EventM.AnyAccountMayWrite(), "EventM"},
                {M_EventS.AnyAccountMayWrite(), "EventS"}};
  for (const auto& c : checks) {
    if (c.bAny) {
      return IpcError(util::ErrPermission,
                      "IPC Buffer: %s may be written by any account - link refused",
                      ObjectName(name, c.suffix).c_str());
    }
  }
  return Result();
}

Result DataLinkIpc::ValidateLayout() {
  const size_t mapped = M_Memory.size();
  if (mapped < kHeaderSize) {
    return IpcError(util::ErrWrongFormat, "IPC Buffer: Invalid size %i", static_cast<int>(mapped));
  }
  uint32_t* pHdr = reinterpret_cast<uint32_t*>(M_pBase);
  const uint32_t version = Load(&pHdr[Hdr_Version]);
  if (version != kVersion) {
    return IpcError(util::ErrWrongFormat, "IPC Buffer: Wrong version %i",
                    static_cast<int>(version));
  }
  const uint32_t total = Load(&pHdr[Hdr_TotalSize]);
  if (total < kHeaderSize || total > mapped) {
    return IpcError(util::ErrWrongFormat, "IPC Buffer: Invalid size %i", static_cast<int>(total));
  }
  if (Load(&pHdr[Hdr_Initialised]) == 0) {
    return IpcError(util::ErrBusy, "IPC Buffer: Not initialized by master");
  }
  const uint32_t partitions = Load(&pHdr[Hdr_Partitions]);
  if (partitions < 2) {
    return IpcError(util::ErrWrongFormat, "IPC Buffer: %i partiations detected (>= 2 expected)",
                    static_cast<int>(partitions));
  }
  for (int i = 0; i < 2; ++i) {
    const uint32_t id = pHdr[Hdr_PartitionTable + i * Part_Words + Part_Id];
    if (id != (i == 0 ? 2u : 1u)) {
      return IpcError(util::ErrWrongFormat, "IPC Buffer: bad Id %i of partition %i",
                      static_cast<int>(id), i);
    }
  }
  // The rest guards this process against a header it cannot use safely.
  Queue queues[2];
  for (int i = 0; i < 2; ++i) {
    const uint32_t* pPart = pHdr + Hdr_PartitionTable + i * Part_Words;
    const uint64_t offset = pPart[Part_OffsetLow] | (uint64_t{pPart[Part_OffsetHigh]} << 32);
    const uint64_t size = pPart[Part_SizeLow] | (uint64_t{pPart[Part_SizeHigh]} << 32);
    bool bGood = offset >= kHeaderSize && offset % 4 == 0 && size >= kQueueHeaderSize &&
                 offset + size <= total;
    if (bGood) {
      uint32_t* pQ = reinterpret_cast<uint32_t*>(M_pBase + offset);
      const uint32_t dataOffset = pQ[Q_DataOffset];
      const uint32_t bufferSize = pQ[Q_BufferSize];
      bGood = dataOffset >= kQueueHeaderSize && dataOffset % 4 == 0 && bufferSize % 4 == 0 &&
              bufferSize > 2 * kBlockHeaderSize && uint64_t{dataOffset} + bufferSize <= size;
      queues[i] = {pQ, reinterpret_cast<uint8_t*>(pQ) + dataOffset, bufferSize};
    }
    if (!bGood) {
      return IpcError(util::ErrWrongFormat, "IPC Buffer: bad layout of partition %i", i);
    }
  }
  M_WriteQueue = queues[0];
  M_ReadQueue = queues[1];
  return Result();
}

Result DataLinkIpc::ConnectAsSlave(const std::string& name) {
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "ConnectAsSlave(%s)", name.c_str());
  Result res;
  do {
    res = OpenObjects(name);
    if (res.IsError()) break;
    res = ValidateLayout();
    if (res.IsError()) break;
    const uint32_t masterState = Load(&M_ReadQueue.pHeader[Q_State]);
    if (masterState != kQueueConnected) {
      res = IpcError(util::ErrStopped, "Server has been stopped/not started (state=%i)",
                     static_cast<int>(masterState));
      break;
    }
    const osal::Status st = M_MutexS.Acquire(0);
    if (st.Is(osal::ErrorKind::kTimeout)) {
      res =
          IpcError(util::ErrObjSharing,
                   "DataLinkIpc::ConnectAsSlave Failed to own mutex - another slave is connected");
      break;
    }
    if (!st.ok() && !st.Is(osal::ErrorKind::kAbandoned)) {
      res = ObjectError("Acquire mutex", ObjectName(name, "MutexS"), st);
      break;
    }
    M_bOwnMutexHeld = true;
    M_pPeerMutex = &M_MutexM;
    M_pOwnEvent = &M_EventS;
    M_pPeerEvent = &M_EventM;
    const uint32_t ownState = Load(&M_WriteQueue.pHeader[Q_State]);
    if (ownState != kQueueNoWriter) {
      res = IpcError(util::ErrLogicState, "Wrong state %i - Slave already was connected",
                     static_cast<int>(ownState));
      break;
    }
    Store(&M_ReadQueue.pHeader[Q_ReaderFlags], kReaderMaintainsWaiting);
    Store(&M_WriteQueue.pHeader[Q_State], kQueueConnected);
  } while (false);
  if (res.IsError()) {
    CloseObjects(false);
  } else {
    XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "ConnectAsSlave(%s) returned OK", name.c_str());
  }
  return res;
}

uint64_t DataLinkIpc::WaitGeneration() {
  std::lock_guard<std::mutex> lock(M_WaitMutex);
  return M_WaitGeneration;
}

void DataLinkIpc::RemoveAbandonedNames() {
  // Only names whose creator has ended go: a live master's (or a new master's) stay.
  (void)M_Memory.RemoveNameIfAbandoned();
  (void)M_MutexM.RemoveNameIfAbandoned();
  (void)M_MutexS.RemoveNameIfAbandoned();
  (void)M_EventM.RemoveNameIfAbandoned();
  (void)M_EventS.RemoveNameIfAbandoned();
}

bool DataLinkIpc::ProbePeerGone() {
  const osal::Status st = M_pPeerMutex->Acquire(0);
  if (st.ok() || st.Is(osal::ErrorKind::kAbandoned)) {
    // Only probing: the mutex is given back at once, so that a later probe (from the
    // other worker thread) sees the same.
    (void)M_pPeerMutex->Release();
    return true;
  }
  return false;
}

DataLinkIpc::WaitOutcome DataLinkIpc::WaitForPeer(uint64_t generation) {
  {
    std::unique_lock<std::mutex> lock(M_WaitMutex);
    if (M_bShutdown) return WaitOutcome::kShutdown;
    if (M_bPeerGone) return WaitOutcome::kPeerGone;
    if (M_WaitGeneration != generation) return WaitOutcome::kSignalled;
    if (M_bLeaderWaiting) {
      // The other worker thread waits on the peer's event for both of us.
      const bool bChanged = M_WaitCond.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs),
                                                [&] { return M_WaitGeneration != generation; });
      if (M_bShutdown) return WaitOutcome::kShutdown;
      if (M_bPeerGone) return WaitOutcome::kPeerGone;
      return bChanged ? WaitOutcome::kSignalled : WaitOutcome::kTimeout;
    }
    M_bLeaderWaiting = true;
  }
  // The peer's mutex tells whether its process still runs, but only once it has
  // connected (state 3) or closed (512); before that nobody holds it.
  const uint32_t peerState = Load(&M_ReadQueue.pHeader[Q_State]);
  const bool bProbe = peerState > 2;
  bool bGone = bProbe && peerState != kQueueConnected && ProbePeerGone();
  bool bSignalled = false;
  if (!bGone) {
    bSignalled = M_pPeerEvent->Wait(kWaitSliceMs).ok();
    if (!bSignalled && bProbe) bGone = ProbePeerGone();
  }
  // A master that died cannot remove its names; the side that notices does, so that they do
  // not pile up (Windows drops them with the last handle by itself).
  if (bGone && !M_bPeerGone.load()) RemoveAbandonedNames();
  std::lock_guard<std::mutex> lock(M_WaitMutex);
  M_bLeaderWaiting = false;
  ++M_WaitGeneration;
  if (bGone) M_bPeerGone = true;
  M_WaitCond.notify_all();
  if (M_bShutdown) return WaitOutcome::kShutdown;
  if (M_bPeerGone) return WaitOutcome::kPeerGone;
  return bSignalled ? WaitOutcome::kSignalled : WaitOutcome::kTimeout;
}

void DataLinkIpc::InterruptWaits() {
  {
    std::lock_guard<std::mutex> lock(M_WaitMutex);
    M_bShutdown = true;
    ++M_WaitGeneration;
    M_WaitCond.notify_all();
  }
  // Wakes the thread that waits on the peer's event; the peer never waits on it.
  if (M_pPeerEvent != nullptr && M_pPeerEvent->IsOpen()) (void)M_pPeerEvent->Set();
}

bool DataLinkIpc::TrySend(const MessageBlock* pBlock) {
  // Only the holder of the send turn writes and the reader only makes room, so room seen
  // here is still there when Send writes: it does not wait.
  const Queue& wq = M_WriteQueue;
  if (wq.pHeader == nullptr) return false;
  const uint32_t blockSize = kBlockHeaderSize + RoundUp4(pBlock->M_Length);
  const uint32_t w = Load(&wq.pHeader[Q_WriteIndex], std::memory_order_relaxed);
  const uint32_t r = Load(&wq.pHeader[Q_ReadIndex]);
  if (r >= wq.size || w >= wq.size) return false;
  const bool bRoom = w < r                                        ? blockSize < r - w
                     : wq.size - w < blockSize + kBlockHeaderSize ? blockSize < r
                                                                  : true;
  // Through the virtual Send, so that a link that writes its own way still does.
  return bRoom && Send(pBlock).IsSuccess();
}

Result DataLinkIpc::Send(const MessageBlock* pBlock) {
  const uint32_t length = pBlock->M_Length;
  XEL_ASSERT(length <= MessageBlock::BlockSize);
  const uint32_t blockSize = kBlockHeaderSize + RoundUp4(length);
  Queue& wq = M_WriteQueue;
  XEL_ASSERT(wq.pHeader != nullptr);
  XEL_ASSERT(blockSize + kBlockHeaderSize < wq.size);
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Send,
                "Send(pBlock=%p, Ch=%x, Flags=%x, Event=%i, Len=%i, S/A=%i/%i)",
                static_cast<const void*>(pBlock), pBlock->M_Channel, pBlock->M_Flags,
                static_cast<int>(pBlock->M_Event), static_cast<int>(length),
                static_cast<int>(pBlock->M_S), static_cast<int>(pBlock->M_A));
  uint32_t* const pQ = wq.pHeader;
  Result res;
  for (;;) {
    const uint32_t peerState = Load(&M_ReadQueue.pHeader[Q_State]);
    if (peerState != kQueueConnected) {
      res = IpcError(util::ErrObjLost, "Remote side is not connected (state=%i)",
                     static_cast<int>(peerState));
      break;
    }
    const uint32_t w = Load(&pQ[Q_WriteIndex], std::memory_order_relaxed);
    const uint32_t r = Load(&pQ[Q_ReadIndex]);
    if (r >= wq.size || r % 4 != 0 || w >= wq.size || w % 4 != 0) {
      res = IpcError(util::ErrIntern, "Bad ring index (write %i, read %i) in the write queue",
                     static_cast<int>(w), static_cast<int>(r));
      break;
    }
    bool bRoom = false;
    bool bWrap = false;
    if (w < r) {
      bRoom = blockSize < r - w;
    } else if (wq.size - w < blockSize + kBlockHeaderSize) {
      bRoom = bWrap = blockSize < r;
    } else {
      bRoom = true;
    }
    if (!bRoom) {
      if (SpinUntil([&] { return Load(&pQ[Q_ReadIndex]) != r; })) continue;
      const uint64_t generation = WaitGeneration();
      Store(&pQ[Q_WriterWaiting], 1, std::memory_order_seq_cst);
      WaitOutcome outcome = WaitOutcome::kSignalled;
      if (Load(&pQ[Q_ReadIndex], std::memory_order_seq_cst) == r) {
        XEL_TRACE_OBJ(this, util::DataLinkIpc_Send,
                      "DataLinkIpc::Send Buffer is full - start wait");
        outcome = WaitForPeer(generation);
        XEL_TRACE_OBJ(this, util::DataLinkIpc_Send,
                      "DataLinkIpc::Send Buffer is full - wait returned Index=%i",
                      outcome == WaitOutcome::kTimeout ? kIndexTimeout : static_cast<int>(outcome));
      }
      Store(&pQ[Q_WriterWaiting], 0, std::memory_order_seq_cst);
      if (outcome == WaitOutcome::kShutdown) {
        res = IpcError(util::ErrStopPending, "Shutdown of own process");
        break;
      }
      if (outcome == WaitOutcome::kPeerGone) {
        res = IpcError(util::ErrStopped, "Process has been shutdown");
        break;
      }
      continue;
    }
    const uint32_t pos = bWrap ? 0 : w;
    if (bWrap)
      Store(reinterpret_cast<uint32_t*>(wq.pRing + w), kWrapMarker, std::memory_order_relaxed);
    uint32_t header[Blk_Words] = {};
    header[Blk_Magic] = kBlockMagic;
    header[Blk_Size] = blockSize;
    header[Blk_DataOffset] = kBlockHeaderSize;
    header[Blk_Channel] = pBlock->M_Channel;
    header[Blk_Flags] = pBlock->M_Flags;
    header[Blk_Event] = pBlock->M_Event;
    header[Blk_Length] = length;
    header[Blk_S] = pBlock->M_S;
    header[Blk_A] = pBlock->M_A;
    header[Blk_TraceTag] = pBlock->M_TraceTag;
    std::memcpy(wq.pRing + pos, header, sizeof header);
    std::memcpy(wq.pRing + pos + kBlockHeaderSize, pBlock->M_Content, length);
    const uint32_t newW = pos + blockSize;
    XEL_ASSERT(newW != r);
    // seq_cst pairs with the reader's store of Q_ReaderWaiting and load of the index.
    Store(&pQ[Q_WriteIndex], newW, std::memory_order_seq_cst);
    if (Load(&pQ[Q_ReaderFlags], std::memory_order_relaxed) == 0 ||
        Load(&pQ[Q_ReaderWaiting], std::memory_order_seq_cst) != 0) {
      (void)M_pOwnEvent->Set();
    }
    break;
  }
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Send, "Send() Res=%s", res.Text().c_str());
  return res;
}

Result DataLinkIpc::Receive(MessageBlock* pBlock) {
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Recv, "Receive(Block =%p)", static_cast<void*>(pBlock));
  Queue& rq = M_ReadQueue;
  XEL_ASSERT(rq.pHeader != nullptr);
  uint32_t* const pQ = rq.pHeader;
  Result res;
  for (;;) {
    // The peer can write every word of the memory, this side's read index included: both
    // indices are checked before they address anything.
    const uint32_t r = Load(&pQ[Q_ReadIndex], std::memory_order_relaxed);
    uint32_t w = Load(&pQ[Q_WriteIndex]);
    if (w >= rq.size || w % 4 != 0 || r >= rq.size || r % 4 != 0) {
      res = IpcError(util::ErrIntern, "Bad ring index (write %i, read %i) in the read queue",
                     static_cast<int>(w), static_cast<int>(r));
      break;
    }
    if (w == r) {
      if (SpinUntil([&] { return Load(&pQ[Q_WriteIndex]) != r; })) continue;
      const uint64_t generation = WaitGeneration();
      Store(&pQ[Q_ReaderWaiting], 1, std::memory_order_seq_cst);
      WaitOutcome outcome = WaitOutcome::kSignalled;
      if (Load(&pQ[Q_WriteIndex], std::memory_order_seq_cst) == r) {
        outcome = WaitForPeer(generation);
      }
      Store(&pQ[Q_ReaderWaiting], 0, std::memory_order_relaxed);
      if (Load(&pQ[Q_WriteIndex]) != r) continue;
      if (outcome == WaitOutcome::kShutdown) {
        res = IpcError(util::ErrStopPending, "Shutdown requested");
        Store(&M_WriteQueue.pHeader[Q_State], kQueueClosed);
        break;
      }
      if (outcome == WaitOutcome::kPeerGone) {
        XEL_TRACE_OBJ(this, util::General_Warning, "Process has been shutdown");
        res = IpcError(util::ErrStopped, "Process has been shutdown");
        break;
      }
      continue;
    }
    const uint8_t* pAt = rq.pRing + r;
    uint32_t header[Blk_Words];
    std::memcpy(header, pAt, sizeof(uint32_t));
    if (header[Blk_Magic] == kWrapMarker) {
      // A writer wraps only after placing the next block at the start, before this index;
      // a marker anywhere else would send the reader round in circles.
      if (w >= r) {
        res = IpcError(util::ErrIntern, "Wrap marker at %i received while the write index is %i",
                       static_cast<int>(r), static_cast<int>(w));
        break;
      }
      Store(&pQ[Q_ReadIndex], 0);
      continue;
    }
    if (header[Blk_Magic] != kBlockMagic) {
      res = IpcError(util::ErrIntern, "Block with bad id 0x%x received", header[Blk_Magic]);
      break;
    }
    if (rq.size - r < kBlockHeaderSize || (w > r && w - r < kBlockHeaderSize)) {
      res = IpcError(util::ErrIntern,
                     "Block at %i with size %i runs past the ring (size %i, write index %i)",
                     static_cast<int>(r), static_cast<int>(kBlockHeaderSize),
                     static_cast<int>(rq.size), static_cast<int>(w));
      break;
    }
    std::memcpy(header, pAt, sizeof header);
    const uint32_t blockSize = header[Blk_Size];
    const uint32_t dataOffset = header[Blk_DataOffset];
    const uint32_t length = header[Blk_Length];
    if (dataOffset < kBlockHeaderSize) {
      res = IpcError(util::ErrIntern, "Block with bad data offset %i received",
                     static_cast<int>(dataOffset));
      break;
    }
    if (uint64_t{blockSize} < uint64_t{dataOffset} + length) {
      res = IpcError(util::ErrIntern, "Block with bad size (%i < %i+%i) received",
                     static_cast<int>(blockSize), static_cast<int>(dataOffset),
                     static_cast<int>(length));
      break;
    }
    if (length > MessageBlock::BlockSize) {
      res = IpcError(util::ErrIntern, "Block with invalid content len %i received",
                     static_cast<int>(length));
      break;
    }
    // A block must end before the buffer does (a wrap marker always fits after it), and
    // before the write index when that lies ahead: the rest has not been written.
    const uint64_t end = uint64_t{r} + blockSize;
    if (blockSize % 4 != 0 || end + 4 > rq.size || (w > r && end > w)) {
      res = IpcError(util::ErrIntern,
                     "Block at %i with size %i runs past the ring (size %i, write index %i)",
                     static_cast<int>(r), static_cast<int>(blockSize), static_cast<int>(rq.size),
                     static_cast<int>(w));
      break;
    }
    pBlock->M_Channel = header[Blk_Channel];
    pBlock->M_Flags = header[Blk_Flags];
    pBlock->M_Event = header[Blk_Event];
    pBlock->M_Length = length;
    pBlock->M_S = header[Blk_S];
    pBlock->M_A = header[Blk_A];
    pBlock->M_TraceTag = header[Blk_TraceTag];
    std::memcpy(pBlock->M_Content, pAt + dataOffset, length);
    const uint32_t newR = r + blockSize;
    // seq_cst pairs with the writer's store of Q_WriterWaiting and load of the index.
    Store(&pQ[Q_ReadIndex], newR, std::memory_order_seq_cst);
    if (Load(&pQ[Q_WriterWaiting], std::memory_order_seq_cst) != 0) {
      // Waking the writer for every freed block would cost two context switches per
      // block; it is woken once half the ring is free, or when the ring ran empty.
      w = Load(&pQ[Q_WriteIndex]);
      const uint32_t used = w >= newR ? w - newR : rq.size - newR + w;
      if (used == 0 || rq.size - used >= rq.size / 2) {
        XEL_TRACE_OBJ(this, util::DataLinkIpc_Recv, "Wakeup Writer");
        (void)M_pOwnEvent->Set();
      }
    }
    break;
  }
  if (res.IsError()) {
    XEL_TRACE_OBJ(this, util::General_Warning, "Receive() Error=%s", res.Text().c_str());
  } else {
    XEL_TRACE_OBJ(this, util::DataLinkIpc_Recv,
                  "Recv(pBlock=%p, Ch=%x, Flags=%x, Event=%i, Len=%i, S/A=%i/%i)",
                  static_cast<void*>(pBlock), pBlock->M_Channel, pBlock->M_Flags,
                  static_cast<int>(pBlock->M_Event), static_cast<int>(pBlock->M_Length),
                  static_cast<int>(pBlock->M_S), static_cast<int>(pBlock->M_A));
  }
  return res;
}

void DataLinkIpc::CloseLink() { CloseObjects(false); }

void DataLinkIpc::CloseObjects(bool bKeepOwnMutex) {
  bool bWakePeer = false;
  if (M_WriteQueue.pHeader != nullptr && Load(&M_WriteQueue.pHeader[Q_State]) >= kQueueConnected) {
    Store(&M_WriteQueue.pHeader[Q_State], kQueueClosed);
    bWakePeer = true;
  }
  M_WriteQueue = Queue();
  M_ReadQueue = Queue();
  osal::NamedMutex* pOwn = M_bServer ? &M_MutexM : &M_MutexS;
  if (M_bOwnMutexHeld && !bKeepOwnMutex) {
    (void)pOwn->Release();
    M_bOwnMutexHeld = false;
  }
  // After the state and the mutex: a reader waiting for data wakes, sees state 512 and
  // finds the mutex free, so it learns of the close at once.
  if (bWakePeer && M_pOwnEvent != nullptr) (void)M_pOwnEvent->Set();
  M_pBase = nullptr;
  M_Memory.Close();
  if (!M_bOwnMutexHeld || pOwn != &M_MutexM) M_MutexM.Close();
  if (!M_bOwnMutexHeld || pOwn != &M_MutexS) M_MutexS.Close();
  M_EventM.Close();
  M_EventS.Close();
  M_pPeerMutex = nullptr;
  M_pOwnEvent = M_pPeerEvent = nullptr;
}

}  // namespace velmora::xel
