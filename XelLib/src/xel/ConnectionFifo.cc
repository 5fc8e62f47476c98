// ConnectionFifo: the in-process queue connection used by callers inside the process.
#include "xel/ConnectionFifo.h"

#include <chrono>

#include "osal/WaitHandle.h"
#include "util/Trace.h"

namespace velmora::xel {

using util::Result;

namespace {

Result FifoError(uint32_t category, const char* text) {
  return Result::Make(category, util::ModIntellNetwork, util::ObjConnection, util::SevError, "%s",
                      text);
}

}  // namespace

ConnectionFifo::~ConnectionFifo() { Clear(); }

Result ConnectionFifo::Send(MessageBlock* pBlock, uint32_t /*timeoutMs*/) {
  XEL_ASSERT(pBlock != nullptr);
  XEL_TRACE_OBJ(this, util::ConnPtp_Send, "Send(Block %p, size=%i)", static_cast<void*>(pBlock),
                static_cast<int>(pBlock->M_Length));
  const bool bEndsMessage =
      pBlock->M_Event == BlockEvent_Data && (pBlock->M_Flags & Flag_EndMessage) != 0;
  {
    std::lock_guard<std::mutex> guard(M_Mutex);
    if (M_bClosed) {
      MessageBlock::Free(pBlock);
      return FifoError(util::ErrConnLost, "Connection has been disconnected");
    }
    pBlock->pNext = nullptr;
    pBlock->pPrev = M_pLast;
    if (M_pLast) {
      M_pLast->pNext = pBlock;
    } else {
      M_pFirst = pBlock;
    }
    M_pLast = pBlock;
    ++M_QueueLength;
  }
  M_Cond.notify_one();
  if (bEndsMessage) SetMessageSent(true);
  return Result();
}

Result ConnectionFifo::Receive(uint32_t timeoutMs, bool stopAtNewMessage, MessageBlock** ppBlock) {
  XEL_ASSERT(ppBlock != nullptr);
  *ppBlock = nullptr;
  std::unique_lock<std::mutex> guard(M_Mutex);
  auto ready = [this] { return M_pFirst != nullptr || M_bClosed; };
  if (timeoutMs == osal::kInfinite) {
    M_Cond.wait(guard, ready);
  } else {
    M_Cond.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready);
  }
  if (M_pFirst == nullptr) {
    if (M_bClosed) return FifoError(util::ErrConnLost, "Connection has been disconnected");
    return Result::Make(util::ErrTimeout, util::ModIntellNetwork, util::ObjConnection,
                        util::SevError, "Receive() timed out after %i ms",
                        static_cast<int>(timeoutMs));
  }
  if (stopAtNewMessage && (M_pFirst->M_Flags & Flag_BegMessage)) {
    return FifoError(util::ErrCancelled, "Receive stopped at the begin of a new message");
  }
  MessageBlock* pBlock = M_pFirst;
  M_pFirst = pBlock->pNext;
  if (M_pFirst) {
    M_pFirst->pPrev = nullptr;
  } else {
    M_pLast = nullptr;
  }
  --M_QueueLength;
  pBlock->pNext = pBlock->pPrev = nullptr;
  *ppBlock = pBlock;
  return Result();
}

void ConnectionFifo::Close() {
  {
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_bClosed = true;
  }
  M_Cond.notify_all();
}

void ConnectionFifo::Clear() {
  MessageBlock* pBlock = nullptr;
  {
    std::lock_guard<std::mutex> guard(M_Mutex);
    pBlock = M_pFirst;
    M_pFirst = M_pLast = nullptr;
    M_QueueLength = 0;
  }
  while (pBlock != nullptr) {
    MessageBlock* pNext = pBlock->pNext;
    MessageBlock::Free(pBlock);
    pBlock = pNext;
  }
}

int ConnectionFifo::QueuedBlocks() const {
  std::lock_guard<std::mutex> guard(M_Mutex);
  return M_QueueLength;
}

}  // namespace velmora::xel
