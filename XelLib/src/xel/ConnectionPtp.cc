// ConnectionPtp: the receive queue, blocking receive with time-out, and conversation set-up.
#include "xel/ConnectionPtp.h"

#include <chrono>
#include <cinttypes>
#include <new>

#include "SpinWait.h"
#include "util/Trace.h"
#include "xel/DataLink.h"
#include "xel/GlobalLock.h"

namespace velmora::xel {

using util::Result;

namespace {

// A receiver that waits long re-checks the link this often, so that a link that went
// down without its down handler (not attached to the switch) still ends the wait.
constexpr uint32_t kLinkCheckMs = 1000;

uint32_t Low32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

Result ConnError(uint32_t category, const char* text) {
  return Result::Make(category, util::ModIntellNetwork, util::ObjConnection, util::SevError, "%s",
                      text);
}

Result Disconnected() { return ConnError(util::ErrConnLost, "Connection has been disconnected"); }

// Unread content bytes in all queues, and their bound (lowered by tests).
std::atomic<int64_t> g_QueuedAll{0};
std::atomic<int64_t> g_QueuedAllLimit{ConnectionPtp::kMaxQueuedBytesAll};

}  // namespace

ConnectionPtp::ConnectionPtp() = default;

ConnectionPtp::~ConnectionPtp() { Disconnect(); }

void ConnectionPtp::PtpEndPoint::OnReceive(MessageBlock* pBlock) {
  bool bWasEmpty = false;
  const Queued queued = M_pConn->Enqueue(pBlock, &bWasEmpty);
  if (queued == Queued::kYes) {
    // A reader waits only on an empty queue; blocks added behind others are found without a
    // wake-up, which saves a system call and a thread switch per block of a long message.
    if (bWasEmpty) M_pConn->Wakeup();
    return;
  }
  // The peer sends far ahead of what this side reads (or a message that never ends to a
  // reader that has stopped), or all conversations together hold as much unread as the
  // process may: the conversation is refused rather than kept in memory.
  if (queued == Queued::kOwnBoundPassed) {
    XEL_TRACE_OBJ(this, util::General_Warning,
                  "Conversation %x/%x refused: more than %i bytes received and not read", Link(),
                  Channel(), static_cast<int>(kMaxQueuedBytes));
  } else {
    XEL_TRACE_OBJ(this, util::General_Warning,
                  "Conversation %x/%x refused: more than %" PRId64
                  " bytes received and not read in all conversations",
                  Link(), Channel(), g_QueuedAllLimit.load());
  }
  MessageBlock::Free(pBlock);
  M_pConn->FreeQueue();
  Disconnect(Reason_Local);
}

void ConnectionPtp::PtpEndPoint::OnDisconnect(int /*reason*/) { M_pConn->Wakeup(); }

Result ConnectionPtp::CreateWakeup() {
  if (!M_pWakeup) {
    M_pWakeup.reset(new (std::nothrow) osal::Event(false, false));
    if (!M_pWakeup) return ConnError(util::ErrResource, "Wakeup Event could not be created");
  }
  return Result();
}

Result ConnectionPtp::Connect(uint32_t hLink) {
  Result res = CreateWakeup();
  if (res.IsSuccess())
    res = M_EndPoint.EpConnect(hLink, EndPoint::NewClientChannel(), EndPoint::EpState_Connecting);
  XEL_TRACE_OBJ(this, util::ConnPtp_Switch, "Connect(hLink=%x) VirtChannel=%x returned %s", hLink,
                M_EndPoint.Channel(), res.Text().c_str());
  return res;
}

Result ConnectionPtp::Accept(MessageBlock* pFirstBlock) {
  XEL_ASSERT(pFirstBlock != nullptr);
  XEL_TRACE_OBJ(this, util::ConnPtp_Switch, "Accept(VirtChannel=%x, hLink=%x)",
                pFirstBlock->M_Channel, pFirstBlock->M_hLink);
  Result res = CreateWakeup();
  if (res.IsError()) return res;
  // Registration and queueing happen under one hold of the global lock, so that the
  // peer's next block, dispatched by the link thread, cannot overtake the first one.
  osal::ScopedLock lock(GlobalLock());
  res = M_EndPoint.EpConnect(pFirstBlock->M_hLink, pFirstBlock->M_Channel,
                             EndPoint::EpState_Connected);
  if (res.IsError()) return res;
  (void)Enqueue(pFirstBlock);  // an empty queue takes any block
  Wakeup();
  return res;
}

ConnectionPtp::Queued ConnectionPtp::Enqueue(MessageBlock* pBlock, bool* pbWasEmpty) {
  osal::ScopedLock lock(M_Lock);
  const int64_t length = pBlock->M_Length;
  if (M_QueuedBytes + length > kMaxQueuedBytes) return Queued::kOwnBoundPassed;
  // An empty queue takes its block whatever the others hold.
  if (g_QueuedAll.fetch_add(length) + length > g_QueuedAllLimit.load() && M_pFirst != nullptr) {
    g_QueuedAll.fetch_sub(length);
    return Queued::kAllBoundPassed;
  }
  if (pbWasEmpty) *pbWasEmpty = M_pFirst == nullptr;
  M_QueuedBytes += length;
  pBlock->pNext = nullptr;
  pBlock->pPrev = M_pLast;
  if (M_pLast) {
    M_pLast->pNext = pBlock;
  } else {
    M_pFirst = pBlock;
  }
  M_pLast = pBlock;
  ++M_QueueLength;
  M_Arrived.fetch_add(1, std::memory_order_release);
  return Queued::kYes;
}

void ConnectionPtp::Wakeup() {
  if (M_pWakeup) M_pWakeup->Set();
}

int ConnectionPtp::QueuedBlocks() const {
  osal::ScopedLock lock(M_Lock);
  return M_QueueLength;
}

int64_t ConnectionPtp::QueuedBytes() const {
  osal::ScopedLock lock(M_Lock);
  return M_QueuedBytes;
}

util::Ref<DataLink> ConnectionPtp::CurrentLink() const {
  const uint32_t hLink = M_EndPoint.Link();
  osal::ScopedLock lock(M_LinkLock);
  // A closed link gives up its handle, so a kept link that still has this one is the same.
  if (!M_pLink || M_pLink->GetHandle() != hLink) {
    M_pLink = hLink == 0 ? util::Ref<DataLink>() : util::HandleObject::Lookup<DataLink>(hLink);
  }
  return M_pLink;
}

bool ConnectionPtp::LinkAlive() const {
  util::Ref<DataLink> pLink = CurrentLink();
  return pLink && pLink->IsConnected();
}

Result ConnectionPtp::Send(MessageBlock* pBlock, uint32_t timeoutMs) {
  XEL_ASSERT(pBlock != nullptr);
  // A long message waits here for the link to drain rather than growing its send queue
  // without bound (the close block, sent under the global lock, never reaches this).
  util::Ref<DataLink> pLink = CurrentLink();
  if (pLink) pLink->WaitForSendRoom(timeoutMs);
  XEL_TRACE_OBJ(this, util::ConnPtp_Send, "Send(Block %p, size=%i)", static_cast<void*>(pBlock),
                static_cast<int>(pBlock->M_Length));
  const bool bEndsMessage =
      pBlock->M_Event == BlockEvent_Data && (pBlock->M_Flags & Flag_EndMessage) != 0;
  Result res;
  const int reason = M_EndPoint.LastDisconnectReason();
  if (!M_EndPoint.IsConnected() &&
      (reason == EndPoint::Reason_Remote || reason == EndPoint::Reason_LinkDown)) {
    // The other side (or the link) ended the conversation: tell the sender as a lost
    // connection, which the message layer reports as a disconnect by the peer.
    MessageBlock::Free(pBlock);
    res = Disconnected();
  } else {
    res = M_EndPoint.Send(pBlock, pLink.get());
  }
  if (res.IsSuccess() && bEndsMessage) SetMessageSent(true);
  XEL_TRACE_OBJ(this, util::ConnPtp_Send, "Send() returned %s", res.Text().c_str());
  return res;
}

Result ConnectionPtp::Receive(uint32_t timeoutMs, bool stopAtNewMessage, MessageBlock** ppBlock) {
  XEL_ASSERT(ppBlock != nullptr);
  *ppBlock = nullptr;
  const auto start = std::chrono::steady_clock::now();
  Result res;
  uint32_t arrived = 0;
  for (;;) {
    {
      osal::ScopedLock lock(M_Lock);
      arrived = M_Arrived.load(std::memory_order_relaxed);
      if (M_pFirst != nullptr) {
        if (stopAtNewMessage && (M_pFirst->M_Flags & Flag_BegMessage)) {
          res = ConnError(util::ErrCancelled, "Receive stopped at the begin of a new message");
        } else {
          MessageBlock* pBlock = M_pFirst;
          M_pFirst = pBlock->pNext;
          if (M_pFirst) {
            M_pFirst->pPrev = nullptr;
          } else {
            M_pLast = nullptr;
          }
          --M_QueueLength;
          M_QueuedBytes -= pBlock->M_Length;
          g_QueuedAll.fetch_sub(pBlock->M_Length);
          pBlock->pNext = pBlock->pPrev = nullptr;
          *ppBlock = pBlock;
        }
        break;
      }
      if (!M_EndPoint.IsConnected() || !M_pWakeup) {
        res = Disconnected();
        break;
      }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (timeoutMs != osal::kInfinite && elapsed.count() >= static_cast<int64_t>(timeoutMs)) {
      res = Result::Make(util::ErrTimeout, util::ModIntellNetwork, util::ObjConnection,
                         util::SevError, "Receive() timed out after %i ms",
                         static_cast<int>(timeoutMs));
      break;
    }
    uint32_t slice = kLinkCheckMs;
    if (timeoutMs != osal::kInfinite) {
      const uint32_t left = timeoutMs - static_cast<uint32_t>(elapsed.count());
      if (left < slice) slice = left;
    }
    // The next block of a message, or the peer's next message in a conversation, usually
    // follows within microseconds: watching for it a moment spares a wake-up.
    if (SpinUntil([&] { return M_Arrived.load(std::memory_order_acquire) != arrived; })) continue;
    if (!M_pWakeup->Wait(slice).ok() && !LinkAlive()) {
      M_EndPoint.InternalDisconnect(EndPoint::Reason_LinkDown);
    }
  }
  if (*ppBlock != nullptr) {
    XEL_TRACE_OBJ(this, util::ConnPtp_Recv,
                  "Receive() returned pBlock=0x%x Len=%i Flags=0x%x Ev=%i", Low32(*ppBlock),
                  static_cast<int>((*ppBlock)->M_Length), (*ppBlock)->M_Flags,
                  static_cast<int>((*ppBlock)->M_Event));
  } else {
    XEL_TRACE_OBJ(this, util::ConnPtp_Recv, "Receive() returned %s", res.Text().c_str());
  }
  return res;
}

void ConnectionPtp::FreeQueue() {
  MessageBlock* pBlock = nullptr;
  {
    osal::ScopedLock lock(M_Lock);
    pBlock = M_pFirst;
    M_pFirst = M_pLast = nullptr;
    M_QueueLength = 0;
    g_QueuedAll.fetch_sub(M_QueuedBytes);
    M_QueuedBytes = 0;
  }
  while (pBlock != nullptr) {
    MessageBlock* pNext = pBlock->pNext;
    MessageBlock::Free(pBlock);
    pBlock = pNext;
  }
}

void ConnectionPtp::Disconnect() {
  XEL_TRACE_OBJ(this, util::ConnPtp_Switch, "Disconnect (EpState=%i)", M_EndPoint.State());
  M_EndPoint.Disconnect(EndPoint::Reason_Local);
  FreeQueue();
}

// Lowers the bound of unread bytes in all queues (0 restores it). For tests, which declare
// it themselves; not part of the runtime's interface.
void SetQueuedBytesAllLimitForTesting(int64_t limit) {
  g_QueuedAllLimit = limit > 0 ? limit : ConnectionPtp::kMaxQueuedBytesAll;
}

}  // namespace velmora::xel
