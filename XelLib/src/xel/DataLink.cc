// DataLink: the generic part of a link to another process: send queue and worker threads.
#include "xel/DataLink.h"

#include <algorithm>
#include <chrono>

#include "osal/Lock.h"
#include "util/Trace.h"
#include "xel/GlobalLock.h"

namespace velmora::xel {

using util::Result;

namespace {

std::atomic<void (*)(uint32_t, MessageBlock*)> g_GlobalDispatch{nullptr};

constexpr int kAllocAttempts = 20;

uint32_t Low32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

Result LinkError(uint32_t category, const char* text, int value) {
  return Result::Make(category, util::ModIntellNetwork, util::ObjIntellNetwork, util::SevError,
                      text, value);
}

}  // namespace

DataLink::DataLink() = default;

DataLink::~DataLink() {
  // The subclass has closed the transport in its destructor; only queued blocks remain.
  FreeQueuedBlocks();
}

void DataLink::SetGlobalDispatch(void (*fn)(uint32_t hLink, MessageBlock* pBlock)) {
  g_GlobalDispatch.store(fn, std::memory_order_release);
}

Result DataLink::Connect(const std::string& name, bool bServer, int timeoutMs, uint32_t rxSize,
                         uint32_t txSize) {
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "Connect(szName=%s, bServer=%i, iTimeout=%i)",
                name.c_str(), bServer ? 1 : 0, timeoutMs);
  int expected = LinkState_Idle;
  if (!M_State.compare_exchange_strong(expected, LinkState_Connecting)) {
    return LinkError(util::ErrLogicState, "DataLink::Connect() link is not idle (state=%i)",
                     expected);
  }
  Result res;
  if (MakeHandle() == 0) {
    res = LinkError(util::ErrResource, "Failed to create a Handle for the DataLink (%i)", 0);
  } else {
    for (;;) {
      res = ConnectLink(name, bServer, rxSize, txSize);
      if (res.IsSuccess() || timeoutMs <= 0) break;
      osal::SleepMs(100);
      timeoutMs -= 100;
    }
  }
  if (res.IsSuccess()) {
    M_State.store(LinkState_Connected, std::memory_order_release);
    osal::Status st = M_SendThread.Start("Datalink-Tx", [this] { SendThreadRun(); });
    if (st.ok()) st = M_ReceiveThread.Start("Datalink-Rx", [this] { ReceiveThreadRun(); });
    if (!st.ok()) {
      res = LinkError(util::ErrResource, "DataLink worker thread could not be started (%i)",
                      st.code());
    }
  }
  if (res.IsError()) (void)Shutdown(2000);
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "Connect returned: %s", res.Text().c_str());
  return res;
}

Result DataLink::AppendToSendQueue(MessageBlock* pBlock, bool* pbWasEmpty) {
  if (State() != LinkState_Connected) {
    return LinkError(util::ErrObjLost, "DataLink is not connected (state=%i)", State());
  }
  pBlock->pNext = nullptr;
  pBlock->pPrev = M_pLastBlock;
  const bool bWasEmpty = M_pFirstBlock == nullptr;
  if (bWasEmpty) {
    M_pFirstBlock = pBlock;
  } else {
    M_pLastBlock->pNext = pBlock;
  }
  M_pLastBlock = pBlock;
  M_QueueLength.fetch_add(1, std::memory_order_relaxed);
  if (pbWasEmpty) *pbWasEmpty = bWasEmpty;
  return Result();
}

Result DataLink::QueueBlock(MessageBlock* pBlock) {
  bool bWasEmpty = false;
  Result res;
  {
    osal::ScopedLock lock(GlobalLock());
    res = AppendToSendQueue(pBlock, &bWasEmpty);
  }
  if (res.IsSuccess() && bWasEmpty) SendQueued();
  return res;
}

MessageBlock* DataLink::UnlinkFirst() {
  MessageBlock* pBlock = M_pFirstBlock;
  if (pBlock == nullptr) return nullptr;
  M_pFirstBlock = pBlock->pNext;
  if (M_pFirstBlock == nullptr) {
    M_pLastBlock = nullptr;
  } else {
    M_pFirstBlock->pPrev = nullptr;
  }
  pBlock->pNext = pBlock->pPrev = nullptr;
  M_QueueLength.fetch_sub(1, std::memory_order_relaxed);
  return pBlock;
}

MessageBlock* DataLink::PopForSend() {
  osal::ScopedLock lock(GlobalLock());
  return State() == LinkState_Connected ? UnlinkFirst() : nullptr;
}

void DataLink::NotifyRoom(bool bRun) {
  if (M_RoomWaiters.load(std::memory_order_acquire) > 0 &&
      (!bRun || SendQueueLength() <= kSendQueueLow)) {
    std::lock_guard<std::mutex> room(M_RoomMutex);
    M_RoomCond.notify_all();
  }
}

// A hand-off to the send thread costs a wake-up and two thread switches per block, more than
// writing the block: while that thread is idle, the thread that queued the block writes it.
void DataLink::SendQueued() {
  std::unique_lock<std::mutex> turn(M_SendTurn, std::try_to_lock);
  if (!turn.owns_lock()) return WakeupSender();
  while (MessageBlock* pBlock = PopForSend()) {
    if (!TrySend(pBlock)) {
      // No room at once (or a failure the send thread will meet and report): the block
      // goes back to the front and the send thread waits for room.
      osal::ScopedLock lock(GlobalLock());
      pBlock->pNext = M_pFirstBlock;
      if (M_pFirstBlock) {
        M_pFirstBlock->pPrev = pBlock;
      } else {
        M_pLastBlock = pBlock;
      }
      M_pFirstBlock = pBlock;
      M_QueueLength.fetch_add(1, std::memory_order_relaxed);
      break;
    }
    MessageBlock::Free(pBlock);
  }
  turn.unlock();
  NotifyRoom(true);
  if (SendQueueLength() > 0) WakeupSender();
}

void DataLink::WaitForSendRoom(uint32_t timeoutMs) {
  if (SendQueueLength() <= kSendQueueHigh) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> room(M_RoomMutex);
  M_RoomWaiters.fetch_add(1, std::memory_order_acq_rel);
  // The short slices keep a link that goes down without a last notification from holding
  // the sender for the whole time-out.
  while (SendQueueLength() > kSendQueueLow && IsConnected()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    M_RoomCond.wait_until(room, std::min(deadline, now + std::chrono::milliseconds(100)));
  }
  M_RoomWaiters.fetch_sub(1, std::memory_order_acq_rel);
}

void DataLink::SendThreadRun() {
  XEL_TRACE_OBJ(this, util::SwitchDL_Send, "SendThread Started");
  for (;;) {
    MessageBlock* pBlock = nullptr;
    bool bRun = false;
    std::unique_lock<std::mutex> turn(M_SendTurn);
    {
      osal::ScopedLock lock(GlobalLock());
      const int state = State();
      bRun = state == LinkState_Connected ||
             (state == LinkState_ShuttingDown && M_pFirstBlock != nullptr);
      if (bRun) pBlock = UnlinkFirst();
    }
    NotifyRoom(bRun);
    if (!bRun) break;
    if (pBlock == nullptr) {
      turn.unlock();
      (void)M_Wakeup.Wait(1000);
      continue;
    }
    XEL_TRACE_OBJ(this, util::SwitchDL_Send, "DataLink::Send() pBlock=0x%x Len=%i Flags=0x%x Ev=%i",
                  Low32(pBlock), static_cast<int>(pBlock->M_Length), pBlock->M_Flags,
                  static_cast<int>(pBlock->M_Event));
    Result res = Send(pBlock);
    MessageBlock::Free(pBlock);
    if (res.IsError()) {
      XEL_TRACE_OBJ(this, util::General_Warning, "DataLink::Send() failed with Error %s",
                    res.Text().c_str());
      RequestStopFromWorker();
      break;
    }
  }
}

void DataLink::ReceiveThreadRun() {
  while (State() == LinkState_Connected) {
    MessageBlock* pBlock = nullptr;
    for (int attempt = 1; attempt <= kAllocAttempts && pBlock == nullptr; ++attempt) {
      pBlock = MessageBlock::Allocate();
      if (pBlock == nullptr) {
        XEL_TRACE_OBJ(this, util::General_Error, "Memory Allocation failed - %i", attempt);
        osal::SleepMs(10u * static_cast<uint32_t>(attempt));
      }
    }
    if (pBlock == nullptr) {
      RequestStopFromWorker();
      break;
    }
    Result res = Receive(pBlock);
    if (res.IsError()) {
      MessageBlock::Free(pBlock);
      XEL_TRACE_OBJ(this, util::General_Warning, "DataLink::Recv() failed with Error %s",
                    res.Text().c_str());
      RequestStopFromWorker();
      break;
    }
    XEL_TRACE_OBJ(this, util::SwitchDL_Recv, "DataLink::Recv() pBlock=0x%x Len=%i Flags=0x%x Ev=%i",
                  Low32(pBlock), static_cast<int>(pBlock->M_Length), pBlock->M_Flags,
                  static_cast<int>(pBlock->M_Event));
    pBlock->M_hLink = GetHandle();
    Dispatch(pBlock);
  }
}

void DataLink::Dispatch(MessageBlock* pBlock) {
  if (M_Dispatch) {
    M_Dispatch(pBlock->M_hLink, pBlock);
    return;
  }
  if (auto fn = g_GlobalDispatch.load(std::memory_order_acquire)) {
    fn(pBlock->M_hLink, pBlock);
    return;
  }
  XEL_TRACE_OBJ(this, util::General_Warning, "Ignore received Block %p - no receiver installed",
                static_cast<void*>(pBlock));
  MessageBlock::Free(pBlock);
}

void DataLink::EnterShuttingDown() {
  int expected = LinkState_Connected;
  M_State.compare_exchange_strong(expected, LinkState_ShuttingDown);
  M_DownEvent.Set();
  if (!M_bDownNotified.exchange(true) && M_Down) M_Down(this);
}

void DataLink::RequestStopFromWorker() {
  EnterShuttingDown();
  M_Wakeup.Set();
  InterruptWaits();
}

bool DataLink::OnWorkerThread() const {
  const uint32_t self = osal::CurrentThreadId();
  return (M_SendThread.Running() && M_SendThread.id() == self) ||
         (M_ReceiveThread.Running() && M_ReceiveThread.id() == self);
}

void DataLink::FreeQueuedBlocks() {
  MessageBlock* pBlock = nullptr;
  {
    osal::ScopedLock lock(GlobalLock());
    pBlock = M_pFirstBlock;
    M_pFirstBlock = M_pLastBlock = nullptr;
    M_QueueLength.store(0, std::memory_order_relaxed);
  }
  while (pBlock != nullptr) {
    MessageBlock* pNext = pBlock->pNext;
    MessageBlock::Free(pBlock);
    pBlock = pNext;
  }
}

Result DataLink::Shutdown(uint32_t waitMs, bool bFlush) {
  if (OnWorkerThread()) {
    // A worker cannot join itself; the owner's Shutdown or Close completes the stop.
    RequestStopFromWorker();
    return Result();
  }
  std::lock_guard<std::mutex> guard(M_ShutdownMutex);
  XEL_TRACE_OBJ(this, util::DataLinkIpc_Other, "Shutdown Datalink");
  const int state = State();
  if (state == LinkState_Connected || state == LinkState_ShuttingDown) {
    EnterShuttingDown();
    if (!bFlush) FreeQueuedBlocks();
    M_Wakeup.Set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    auto remaining = [&deadline]() -> uint32_t {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0u;
    };
    // The send thread ends by itself once the queue is empty; only then are the
    // transport's waits interrupted, so that queued blocks still reach the peer.
    if (bFlush) (void)M_SendThread.Join(remaining());
    InterruptWaits();
    const bool bTxRunning = !M_SendThread.Join(remaining()).ok();
    const bool bRxRunning = !M_ReceiveThread.Join(remaining()).ok();
    if (bTxRunning || bRxRunning) {
      XEL_TRACE_OBJ(this, util::General_Warning, "Shutdown failed (%i,%i)", bTxRunning ? 1 : 0,
                    bRxRunning ? 1 : 0);
      return LinkError(util::ErrTimeout, "Shutdown failed (%i)", static_cast<int>(waitMs));
    }
  } else {
    M_DownEvent.Set();
  }
  FreeQueuedBlocks();
  M_State.store(LinkState_Down, std::memory_order_release);
  return Result();
}

void DataLink::Close(uint32_t waitMs) {
  if (OnWorkerThread()) {
    // The transport must outlive the thread that uses it: only the owner closes.
    RequestStopFromWorker();
    return;
  }
  if (Shutdown(waitMs, true).IsError()) {
    // The transport must outlive its users: the threads end at their next wait slice
    // (interrupted above), unless a dispatch function blocks.
    (void)M_SendThread.Join();
    (void)M_ReceiveThread.Join();
    FreeQueuedBlocks();
    M_State.store(LinkState_Down, std::memory_order_release);
  }
  {
    std::lock_guard<std::mutex> guard(M_ShutdownMutex);
    if (!M_bClosed) {
      M_bClosed = true;
      CloseLink();
    }
  }
  if (GetHandle() != 0) InvalidateHandle();
}

}  // namespace velmora::xel
