// Switch: the table of end points and the default end point that opens server conversations.
#include "xel/Switch.h"

#include "osal/Lock.h"
#include "util/Trace.h"
#include "xel/DataLink.h"
#include "xel/EndPoint.h"
#include "xel/GlobalLock.h"
#include "xel/ServerThread.h"

namespace velmora::xel {

using util::Result;

namespace {

// Chains of registered end points (GlobalLock()). Zero-initialised at load and never
// destroyed, so link threads may dispatch at any time.
EndPoint* g_Buckets[Switch::kBuckets];
int g_Registered = 0;

constexpr const char* kDefaultCategory = "Default EndPoint";

}  // namespace

void Switch::Install() { DataLink::SetGlobalDispatch(&Switch::Dispatch); }

void Switch::Uninstall() { DataLink::SetGlobalDispatch(nullptr); }

void Switch::AttachLink(DataLink* pLink) {
  Install();
  pLink->SetDownHandler([](DataLink* pDown) { Switch::LinkDown(pDown->GetHandle()); });
}

Result Switch::Insert(EndPoint* pEndPoint, uint32_t channel, uint32_t hLink, void** ppSlot) {
  EndPoint** ppHead = &g_Buckets[BucketOf(channel, hLink)];
  for (EndPoint* p = *ppHead; p != nullptr; p = p->M_pNextInBucket) {
    if (p->Channel() == channel && p->Link() == hLink) {
      return Result::Make(util::ErrObjExist, util::ModIntellNetwork, util::ObjIntellNetwork,
                          util::SevError, "Endpoint %p is already connected to %x/%x",
                          static_cast<void*>(pEndPoint), hLink, channel);
    }
  }
  pEndPoint->M_pNextInBucket = *ppHead;
  *ppHead = pEndPoint;
  pEndPoint->M_bRegistered = true;
  ++g_Registered;
  if (ppSlot) *ppSlot = static_cast<void*>(ppHead);
  return Result();
}

void Switch::Remove(EndPoint* pEndPoint) {
  if (!pEndPoint->M_bRegistered) return;
  EndPoint** pp = &g_Buckets[BucketOf(pEndPoint->Channel(), pEndPoint->Link())];
  while (*pp != nullptr && *pp != pEndPoint) pp = &(*pp)->M_pNextInBucket;
  XEL_ASSERT(*pp == pEndPoint);
  *pp = pEndPoint->M_pNextInBucket;
  pEndPoint->M_pNextInBucket = nullptr;
  pEndPoint->M_bRegistered = false;
  --g_Registered;
}

EndPoint* Switch::Find(uint32_t channel, uint32_t hLink) {
  for (EndPoint* p = g_Buckets[BucketOf(channel, hLink)]; p != nullptr; p = p->M_pNextInBucket) {
    if (p->Channel() == channel && p->Link() == hLink) return p;
  }
  return nullptr;
}

int Switch::RegisteredEndPoints() {
  osal::ScopedLock lock(GlobalLock());
  return g_Registered;
}

void Switch::Dispatch(uint32_t hLink, MessageBlock* pBlock) {
  if (pBlock == nullptr) return;
  osal::ScopedLock lock(GlobalLock());
  EndPoint* pEndPoint = Find(pBlock->M_Channel, hLink);
  if (pEndPoint == nullptr) {
    DefaultEndPoint(hLink, pBlock);
    return;
  }
  XEL_TRACE_OBJ(pEndPoint, util::SwitchEP_Recv,
                "Dispatch(Block %p, Flags=0x%x, len=%i) to EndPoint on %x/%x",
                static_cast<void*>(pBlock), pBlock->M_Flags, static_cast<int>(pBlock->M_Length),
                hLink, pBlock->M_Channel);
  // The peer's close is taken first, so that a receiver woken by the block already sees
  // the conversation as ended once the queue is drained.
  if (pBlock->M_Flags & Flag_EndConnection) pEndPoint->InternalDisconnect(EndPoint::Reason_Remote);
  pEndPoint->OnReceive(pBlock);
}

void Switch::DefaultEndPoint(uint32_t hLink, MessageBlock* pBlock) {
  if (!(pBlock->M_Flags & Flag_BegConnection)) {
    // A close for a conversation that has already ended here is routine; anything else
    // means the peer and this side disagree about a conversation.
    const uint32_t id =
        pBlock->M_Flags == Flag_EndConnection ? util::General_OtherXEL_Int : util::General_Warning;
    XEL_TRACE(kDefaultCategory, id,
              "Ignore received Block %p (Flag=0x%x, len=%i, VirtChan=0x%x) from Link %x - "
              "BegConnection Flag is not set",
              static_cast<void*>(pBlock), pBlock->M_Flags, static_cast<int>(pBlock->M_Length),
              pBlock->M_Channel, hLink);
    MessageBlock::Free(pBlock);
    return;
  }
  pBlock->M_hLink = hLink;
  // Every conversation holds a thread while it is served; a peer that opens them faster
  // than they end must not exhaust the process.
  // The pool bounds them (ServerThread::Start); a conversation is accepted even when it is
  // to be refused, so that it can be closed.
  util::Ref<ServerThread> pThread = ServerThread::Create(pBlock);
  if (!pThread || pThread->Start().IsError()) {
    // Without a thread the conversation is never served: an accepted one is closed as the
    // object goes, so that the peer learns it at once rather than waiting for an answer.
    XEL_TRACE(kDefaultCategory, util::General_Error,
              "Ignore received Block %p from Link %x - cant start Thread",
              static_cast<void*>(pBlock), hLink);
    if (!pThread) MessageBlock::Free(pBlock);
  }
}

void Switch::LinkDown(uint32_t hLink) {
  if (hLink == 0) return;
  osal::ScopedLock lock(GlobalLock());
  for (EndPoint*& pHead : g_Buckets) {
    EndPoint* p = pHead;
    while (p != nullptr) {
      EndPoint* pNext = p->M_pNextInBucket;
      if (p->Link() == hLink) p->InternalDisconnect(EndPoint::Reason_LinkDown);
      p = pNext;
    }
  }
}

}  // namespace velmora::xel
