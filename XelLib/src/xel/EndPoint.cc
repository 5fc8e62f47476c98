// EndPoint: registration in the switch, sending on the link and the end of a conversation.
#include "xel/EndPoint.h"

#include "osal/Lock.h"
#include "util/SharedObject.h"
#include "util/Trace.h"
#include "xel/DataLink.h"
#include "xel/GlobalLock.h"
#include "xel/Switch.h"

namespace velmora::xel {

using util::Result;

namespace {

std::atomic<uint32_t> g_ClientCounter{0};

Result EpError(uint32_t category, const char* fmt, ...) XEL_PRINTF(2, 3);
Result EpError(uint32_t category, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Result res = Result::MakeV(category, util::ModIntellNetwork, util::ObjIntellNetwork,
                             util::SevError, fmt, args);
  va_end(args);
  return res;
}

}  // namespace

EndPoint::~EndPoint() {
  // The owner normally disconnects first; this keeps the switch from ever holding a
  // dangling end point.
  if (M_bRegistered || State() != EpState_Disconnected) {
    osal::ScopedLock lock(GlobalLock());
    Switch::Remove(this);
    M_State.store(EpState_Disconnected, std::memory_order_release);
  }
}

uint32_t EndPoint::NewClientChannel() {
  const uint32_t n = g_ClientCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  return 0x80000000u + 2u * n;
}

void EndPoint::OnReceive(MessageBlock* pBlock) { MessageBlock::Free(pBlock); }

Result EndPoint::EpConnect(uint32_t hLink, uint32_t channel, int newState) {
  XEL_TRACE_OBJ(this, util::SwitchEP_Conn,
                "EndPoint::EpConnect(hLink = 0x%x, VirtChannel=%i, NewState=%i)", hLink,
                static_cast<int>(channel), newState);
  if (hLink == 0) {
    return EpError(util::ErrIntern, "EpInternalConnect (%p, %x, %i) failed because hLink=0",
                   static_cast<void*>(this), channel, newState);
  }
  XEL_ASSERT(newState == EpState_Connecting || newState == EpState_Connected);
  osal::ScopedLock lock(GlobalLock());
  if (M_bRegistered) {
    return EpError(util::ErrObjExist, "Endpoint %p is already connected to %x/%x",
                   static_cast<void*>(this), Link(), Channel());
  }
  void* pSlot = nullptr;
  Result res = Switch::Insert(this, channel, hLink, &pSlot);
  if (res.IsError()) return res;
  M_hLink.store(hLink, std::memory_order_release);
  M_Channel.store(channel, std::memory_order_release);
  M_Reason.store(Reason_None, std::memory_order_release);
  M_State.store(newState, std::memory_order_release);
  XEL_TRACE_OBJ(this, util::SwitchEP_Conn, "EndPoint::EpConnect() returned OK (Inserted %p at %p)",
                static_cast<void*>(this), pSlot);
  return res;
}

Result EndPoint::Send(MessageBlock* pBlock, DataLink* pKnownLink) {
  XEL_ASSERT(pBlock != nullptr);
  Result res;
  DataLink* pWakeLink = nullptr;
  util::Ref<DataLink> pLink;
  {
    osal::ScopedLock lock(GlobalLock());
    const int state = State();
    if (state != EpState_Connecting && state != EpState_Connected) {
      MessageBlock::Free(pBlock);
      return EpError(util::ErrLogicState,
                     "EndPoint::Send() failed because EndPoint is not connected");
    }
    // A block of a long message would otherwise look the link up a second time.
    if (pKnownLink != nullptr && pKnownLink->GetHandle() == Link()) {
      pLink = util::Ref<DataLink>(pKnownLink);
    } else {
      pLink = util::HandleObject::Lookup<DataLink>(Link());
    }
    if (!pLink) {
      MessageBlock::Free(pBlock);
      return EpError(util::ErrObjLost,
                     "EndPoint::Send() cant access the DataLink Object (this=0x%x, M_hLink=0x%x)",
                     static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)), Link());
    }
    if (state == EpState_Connecting) {
      pBlock->M_Flags |= Flag_BegConnection;
      M_State.store(EpState_Connected, std::memory_order_release);
    } else {
      pBlock->M_Flags &= ~uint32_t{Flag_BegConnection};
    }
    pBlock->M_Channel = Channel() ^ 1u;
    pBlock->pNext = pBlock->pPrev = nullptr;
    const bool bClose = (pBlock->M_Flags & Flag_EndConnection) != 0;
    XEL_TRACE_OBJ(this, util::SwitchEP_Send, "Send(Block %p, Flags=0x%x, len=%i) on %x/%x",
                  static_cast<void*>(pBlock), pBlock->M_Flags, static_cast<int>(pBlock->M_Length),
                  Link(), pBlock->M_Channel);
    bool bWasEmpty = false;
    res = pLink->AppendToSendQueue(pBlock, &bWasEmpty);
    if (res.IsError()) {
      MessageBlock::Free(pBlock);
    } else if (bWasEmpty) {
      pWakeLink = pLink.get();
    }
    if (bClose) InternalDisconnect(Reason_Local);
  }
  if (pWakeLink != nullptr) {
    XEL_TRACE_OBJ(this, util::SwitchEP_Send, "SendToLink() Wakeup pLink=%x",
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pWakeLink)));
    pWakeLink->SendQueued();
  }
  return res;
}

void EndPoint::Disconnect(int reason) {
  osal::ScopedLock lock(GlobalLock());
  XEL_TRACE_OBJ(this, util::SwitchEP_Conn, "Disconnect(reason=%i) State=%i on %x/%x", reason,
                State(), Link(), Channel());
  if (State() == EpState_Connected) {
    MessageBlock* pClose = MessageBlock::Allocate();
    if (pClose == nullptr) {
      XEL_TRACE_OBJ(this, util::General_Warning, "Allocation of Disconnect MessageBlock failed");
    } else {
      pClose->M_Flags = Flag_EndConnection;
      pClose->M_Length = 0;
      // Send disconnects internally once the close is queued; a failure means the link
      // is gone, and the peer learns of that from the link itself.
      (void)Send(pClose);
    }
  }
  if (State() != EpState_Disconnected || M_bRegistered) InternalDisconnect(reason);
}

void EndPoint::InternalDisconnect(int reason) {
  osal::ScopedLock lock(GlobalLock());
  Switch::Remove(this);
  if (M_State.exchange(EpState_Disconnected, std::memory_order_acq_rel) != EpState_Disconnected) {
    M_Reason.store(reason, std::memory_order_release);
    XEL_TRACE_OBJ(this, util::SwitchEP_Conn, "InternalDisconnect(reason=%i) on %x/%x", reason,
                  Link(), Channel());
    OnDisconnect(reason);
  }
}

}  // namespace velmora::xel
