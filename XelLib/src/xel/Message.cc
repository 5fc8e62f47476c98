// Message content as a chain of blocks, lazy fetching, and the whole-message framing.
#include "xel/Message.h"

#include <atomic>
#include <cinttypes>
#include <cstring>

#include "osal/Lock.h"
#include "util/Trace.h"
#include "xel/Connection.h"

namespace velmora::xel {

using util::Result;

// The content's end position. It changes only under the content's lock, but is read without
// it: a writer asks for its message's size several times per token, and a lock each time
// costs more than the token itself.
class ContentSize {
 public:
  operator int64_t() const { return M_Value.load(std::memory_order_acquire); }
  ContentSize& operator=(int64_t v) {
    M_Value.store(v, std::memory_order_release);
    return *this;
  }
  // Only under the lock, so the read and the store need not be one atomic step.
  ContentSize& operator+=(int64_t d) { return *this = M_Value.load(std::memory_order_relaxed) + d; }
  ContentSize& operator-=(int64_t d) { return *this += -d; }

 private:
  std::atomic<int64_t> M_Value{0};
};

// The content shared by a master message and its copies. Every field is guarded by M_Lock
// except the user count and the size's reading.
struct MessageContent {
  osal::Lock M_Lock{"MessageContent"};
  std::atomic<int> M_Users{1};
  MessageBlock* pFirst = nullptr;
  MessageBlock* pLast = nullptr;
  int64_t M_Base = 0;         // position of pFirst's first byte (everything before is released)
  ContentSize M_Size;         // end position
  int64_t M_LastPos = 0;      // position of pLast's first byte
  uint64_t M_Generation = 1;  // raised whenever blocks before the end move or vanish
  util::Ref<Connection> M_pInput;  // source of the remaining blocks of an incoming message
  int64_t M_TxPos = 0;             // bytes sent by TxComplete
  Result M_TxBroken;               // why a partly sent message was given up
  bool M_bComplete = true;
  Result M_RxError;
  uint32_t M_RxTimeout = Message::kDefaultTimeout;

  ~MessageContent() { FreeAll(); }

  void FreeAll() {
    MessageBlock* b = pFirst;
    while (b) {
      MessageBlock* next = b->pNext;
      MessageBlock::Free(b);
      b = next;
    }
    pFirst = pLast = nullptr;
    M_Base = M_Size = M_LastPos = M_TxPos = 0;
    M_TxBroken = Result();
    ++M_Generation;
  }

  void DetachInput() {
    if (M_pInput) {
      M_pInput->SetInUseAsSource(false);
      M_pInput.Reset();
    }
    M_bComplete = true;
  }

  // Appends a received block to the chain without copying it.
  void LinkBlock(MessageBlock* b) {
    b->pNext = nullptr;
    b->pPrev = pLast;
    if (pLast) {
      pLast->pNext = b;
      M_LastPos = M_Size;
    } else {
      pFirst = b;
      M_LastPos = M_Base = M_Size;
    }
    pLast = b;
    M_Size += b->M_Length;
  }

  // Takes the next block of an incoming message from the input connection.
  Result FetchOne() {
    if (M_bComplete || !M_pInput) return Result::Fail(util::ErrEndOfObject);
    MessageBlock* b = nullptr;
    Result r = M_pInput->Receive(M_RxTimeout, true, &b);
    if (r.IsError()) {
      if (r.IsClass(util::ErrTimeout)) return r;
      XEL_TRACE("Message", util::General_Warning,
                "RxFetch Message Aborted by Network. Set RxError to %s", r.Text().c_str());
      M_RxError = r;
      DetachInput();
      return r;
    }
    if (b->M_Event == BlockEvent_Abort) {
      Result sender;
      if (!sender.Deserialize(reinterpret_cast<const char*>(b->M_Content), b->M_Length) ||
          sender.IsSuccess()) {
        sender = Result::Make(util::ErrCancelled, util::ModIntellNetwork, util::ObjXelMessage,
                              util::SevError, "Message has been aborted by sender");
      }
      MessageBlock::Free(b);
      XEL_TRACE("Message", util::General_Warning,
                "RxFetch Message Aborted by Sender. Set RxError to %s", sender.Text().c_str());
      M_RxError = sender;
      DetachInput();
      return sender;
    }
    if (b->M_Event != BlockEvent_Data) {
      MessageBlock::Free(b);
      return Result();
    }
    if (M_Size + b->M_Length > Message::kMaxSize) {
      // A message that never ends stops here rather than filling the memory; the rest of
      // it is left to the conversation, which its reader ends.
      Result limit = Result::Make(
          util::ErrLogicLenMax, util::ModIntellNetwork, util::ObjStringStack, util::SevError,
          "Maximum internal Buffer Size (%i) exceeded during attempt to insert %i Bytes at "
          "%" PRId64 ".",
          static_cast<int>(Message::kMaxSize), static_cast<int>(b->M_Length),
          static_cast<int64_t>(M_Size));
      MessageBlock::Free(b);
      XEL_TRACE("Message", util::General_Warning, "RxFetch Message too long. Set RxError to %s",
                limit.Text().c_str());
      M_RxError = limit;
      DetachInput();
      return limit;
    }
    const bool last = (b->M_Flags & Flag_EndMessage) != 0;
    if (b->M_Length > 0) {
      LinkBlock(b);
    } else {
      MessageBlock::Free(b);
    }
    if (last) DetachInput();
    return Result();
  }

  // Fetches until pos bytes are present or the message is complete.
  Result FetchUpTo(int64_t pos) {
    while (M_Size < pos && !M_bComplete) {
      Result r = FetchOne();
      if (r.IsError()) return r;
    }
    return Result();
  }

  Result Released(int64_t pos) const {
    return Result::Make(
        util::ErrObjNotExist, util::ModIntellNetwork, util::ObjStringStack, util::SevError,
        "Cant move to pos %" PRId64 " because data up to %" PRId64 " has been released", pos,
        M_Base);
  }

  // The block holding pos (base <= pos < size) and its start position; uses and updates
  // the cursor so sequential access does not walk the chain.
  MessageBlock* Locate(int64_t pos, int64_t* pBlockPos, Message::Cursor* cursor) {
    MessageBlock* b;
    int64_t bp;
    if (cursor && cursor->pBlock && cursor->M_Generation == M_Generation) {
      b = cursor->pBlock;
      bp = cursor->M_BlockPos;
    } else if (pos >= M_LastPos) {
      b = pLast;
      bp = M_LastPos;
    } else if (pos - M_Base <= M_LastPos - pos) {
      b = pFirst;
      bp = M_Base;
    } else {
      b = pLast;
      bp = M_LastPos;
    }
    while (pos >= bp + b->M_Length && b->pNext) {
      bp += b->M_Length;
      b = b->pNext;
    }
    while (pos < bp && b->pPrev) {
      b = b->pPrev;
      bp -= b->M_Length;
    }
    if (cursor) {
      cursor->pBlock = b;
      cursor->M_BlockPos = bp;
      cursor->M_Generation = M_Generation;
    }
    *pBlockPos = bp;
    return b;
  }

  Result AllocFailed() const {
    return Result::Make(
        util::ErrResource, util::ModIntellNetwork, util::ObjStringStack, util::SevError,
        "Allocation of Message Block failed (CurrMsgBufferRange=%" PRId64 "-%" PRId64 ")", M_Base,
        static_cast<int64_t>(M_Size));
  }

  // Appends bytes at the end, filling the last block first.
  Result AppendLocked(const uint8_t* data, int32_t size) {
    while (size > 0) {
      if (!pLast || pLast->M_Length == MessageBlock::BlockSize) {
        MessageBlock* b = MessageBlock::Allocate();
        if (!b) return AllocFailed();
        b->M_Length = 0;
        LinkBlock(b);
      }
      uint32_t room = MessageBlock::BlockSize - pLast->M_Length;
      uint32_t n = static_cast<uint32_t>(size) < room ? static_cast<uint32_t>(size) : room;
      std::memcpy(pLast->M_Content + pLast->M_Length, data, n);
      pLast->M_Length += n;
      M_Size += n;
      data += n;
      size -= static_cast<int32_t>(n);
    }
    return Result();
  }

  // Links a new block after b (b may be null: at the front).
  MessageBlock* NewBlockAfter(MessageBlock* b) {
    MessageBlock* n = MessageBlock::Allocate();
    if (!n) return nullptr;
    n->M_Length = 0;
    n->pPrev = b;
    n->pNext = b ? b->pNext : pFirst;
    if (n->pNext) {
      n->pNext->pPrev = n;
    } else {
      pLast = n;
    }
    if (b) {
      b->pNext = n;
    } else {
      pFirst = n;
    }
    return n;
  }

  void Unlink(MessageBlock* b) {
    if (b->pPrev) {
      b->pPrev->pNext = b->pNext;
    } else {
      pFirst = b->pNext;
    }
    if (b->pNext) {
      b->pNext->pPrev = b->pPrev;
    } else {
      pLast = b->pPrev;
    }
    MessageBlock::Free(b);
  }

  void RecomputeLastPos() { M_LastPos = pLast ? M_Size - pLast->M_Length : M_Size; }
};

Message::Message() : M_pContent(new MessageContent), M_bMaster(true) {}

Message::Message(MessageContent* content) : M_pContent(content), M_bMaster(false) {
  M_pContent->M_Users.fetch_add(1, std::memory_order_relaxed);
}

Message::~Message() {
  if (M_pContent->M_Users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    {
      osal::ScopedLock lock(M_pContent->M_Lock);
      M_pContent->DetachInput();
    }
    delete M_pContent;
  }
}

util::Ref<Message> Message::Copy() const {
  return util::Ref<Message>::Adopt(new Message(M_pContent));
}

int64_t Message::Size() const { return M_pContent->M_Size; }

bool Message::IsComplete() const {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->M_bComplete;
}

int64_t Message::ReleasedUpTo() const {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->M_Base;
}

Result Message::FetchAll(int64_t maxSize) {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->FetchUpTo(maxSize);
}

Result Message::FetchUpTo(int64_t pos) {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->FetchUpTo(pos);
}

Result Message::GetSpan(int64_t pos, const uint8_t** pData, int32_t* pAvail, Cursor* cursor) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  *pData = nullptr;
  *pAvail = 0;
  if (pos < c.M_Base) return c.Released(pos);
  if (pos >= c.M_Size) {
    Result r = c.FetchUpTo(pos + 1);
    if (r.IsError()) return r;
    if (pos >= c.M_Size) return Result();
  }
  int64_t bp;
  MessageBlock* b = c.Locate(pos, &bp, cursor);
  *pData = b->M_Content + (pos - bp);
  *pAvail = static_cast<int32_t>(bp + b->M_Length - pos);
  return Result();
}

Result Message::Read(int64_t pos, void* data, int32_t size, int32_t* pRead, Cursor* cursor) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  int32_t done = 0;
  if (pRead) *pRead = 0;
  if (pos < c.M_Base) return c.Released(pos);
  Cursor local;
  if (!cursor) cursor = &local;
  uint8_t* out = static_cast<uint8_t*>(data);
  while (done < size) {
    int64_t at = pos + done;
    if (at >= c.M_Size) {
      Result r = c.FetchUpTo(at + 1);
      if (r.IsError()) {
        if (pRead) *pRead = done;
        return r;
      }
      if (at >= c.M_Size) break;
    }
    int64_t bp;
    MessageBlock* b = c.Locate(at, &bp, cursor);
    int32_t off = static_cast<int32_t>(at - bp);
    int32_t n = static_cast<int32_t>(b->M_Length) - off;
    if (n > size - done) n = size - done;
    std::memcpy(out + done, b->M_Content + off, n);
    done += n;
  }
  if (pRead) *pRead = done;
  return Result();
}

Result Message::ReadExact(int64_t pos, void* data, int32_t size, Cursor* cursor) {
  int32_t got = 0;
  Result r = Read(pos, data, size, &got, cursor);
  if (r.IsError()) return r;
  if (got != size) {
    return Result::Make(util::ErrNotAvailable, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError, "Failed to read %i bytes from message at position %i", size,
                        static_cast<int>(pos));
  }
  return Result();
}

Result Message::Append(const void* data, int32_t size) { return Insert(-2, data, size); }

Result Message::Insert(int64_t pos, const void* data, int32_t size) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  if (!c.M_bComplete) {
    // Writing into a message still arriving: take the rest first so the new bytes land
    // where the caller means them.
    Result r = c.FetchUpTo(kMaxSize);
    if (r.IsError()) return r;
  }
  if (pos == -2) pos = c.M_Size;
  if (pos < 0 || size < 0) {
    return Result::Make(util::ErrLogicArgs, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError, "Bad message insert position %" PRId64 " or size %i", pos,
                        size);
  }
  if (pos > c.M_Size) {
    return Result::Make(util::ErrLogicArgs, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError,
                        "Message insert position %" PRId64 " is not within message size %" PRId64,
                        pos, static_cast<int64_t>(c.M_Size));
  }
  if (c.M_Size + size > kMaxSize) {
    return Result::Make(util::ErrLogicLenMax, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError,
                        "Maximum internal Buffer Size (%i) exceeded during attempt to insert %i "
                        "Bytes at %" PRId64 ".",
                        static_cast<int>(kMaxSize), size, pos);
  }
  if (pos < c.M_Base) return c.Released(pos);
  if (size == 0) return Result();
  const uint8_t* src = static_cast<const uint8_t*>(data);
  if (pos == c.M_Size) return c.AppendLocked(src, size);

  int64_t bp;
  MessageBlock* b = c.Locate(pos, &bp, &M_WriteCursor);
  uint32_t off = static_cast<uint32_t>(pos - bp);
  ++c.M_Generation;
  if (b->M_Length + static_cast<uint32_t>(size) <= MessageBlock::BlockSize) {
    std::memmove(b->M_Content + off + size, b->M_Content + off, b->M_Length - off);
    std::memcpy(b->M_Content + off, src, size);
    b->M_Length += size;
    c.M_Size += size;
    c.RecomputeLastPos();
    return Result();
  }
  // Split b at off: its tail moves to a block of its own, the new bytes go between.
  MessageBlock* tail = nullptr;
  if (off < b->M_Length) {
    tail = c.NewBlockAfter(b);
    if (!tail) return c.AllocFailed();
    tail->M_Length = b->M_Length - off;
    std::memcpy(tail->M_Content, b->M_Content + off, tail->M_Length);
    b->M_Length = off;
  }
  MessageBlock* cur = b;
  int32_t left = size;
  while (left > 0) {
    uint32_t room = MessageBlock::BlockSize - cur->M_Length;
    if (room == 0) {
      MessageBlock* n = c.NewBlockAfter(cur);
      if (!n) {
        // Keep the content consistent: account for what was inserted so far.
        c.M_Size += size - left;
        c.RecomputeLastPos();
        return c.AllocFailed();
      }
      cur = n;
      room = MessageBlock::BlockSize;
    }
    uint32_t n = static_cast<uint32_t>(left) < room ? static_cast<uint32_t>(left) : room;
    std::memcpy(cur->M_Content + cur->M_Length, src, n);
    cur->M_Length += n;
    src += n;
    left -= static_cast<int32_t>(n);
  }
  if (b->M_Length == 0) c.Unlink(b);
  c.M_Size += size;
  c.RecomputeLastPos();
  return Result();
}

Result Message::ReserveAppend(int32_t want, uint8_t** pData, int32_t* pAvail) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  *pData = nullptr;
  *pAvail = 0;
  if (!c.M_bComplete) {
    Result r = c.FetchUpTo(kMaxSize);
    if (r.IsError()) return r;
  }
  if (want <= 0) {
    return Result::Make(util::ErrLogicArgs, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError, "Bad message insert position %" PRId64 " or size %i",
                        static_cast<int64_t>(c.M_Size), want);
  }
  if (c.M_Size + want > kMaxSize) {
    return Result::Make(util::ErrLogicLenMax, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError,
                        "Maximum internal Buffer Size (%i) exceeded during attempt to insert %i "
                        "Bytes at %" PRId64 ".",
                        static_cast<int>(kMaxSize), want, static_cast<int64_t>(c.M_Size));
  }
  if (!c.pLast || c.pLast->M_Length == MessageBlock::BlockSize) {
    MessageBlock* b = MessageBlock::Allocate();
    if (!b) return c.AllocFailed();
    b->M_Length = 0;
    c.LinkBlock(b);
  }
  uint32_t room = MessageBlock::BlockSize - c.pLast->M_Length;
  *pData = c.pLast->M_Content + c.pLast->M_Length;
  *pAvail = static_cast<uint32_t>(want) < room ? want : static_cast<int32_t>(room);
  return Result();
}

void Message::CommitAppend(int32_t n) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  if (!c.pLast) return;
  XEL_ASSERT(n >= 0 && c.pLast->M_Length + static_cast<uint32_t>(n) <= MessageBlock::BlockSize);
  c.pLast->M_Length += static_cast<uint32_t>(n);
  c.M_Size += n;
  if (c.pLast->M_Length == 0) {
    // A block linked by ReserveAppend that received nothing.
    if (c.pFirst == c.pLast) {
      MessageBlock::Free(c.pLast);
      c.pFirst = c.pLast = nullptr;
      c.M_Base = c.M_LastPos = c.M_Size;
    } else {
      c.Unlink(c.pLast);
      c.RecomputeLastPos();
    }
    ++c.M_Generation;
  }
}

Result Message::Delete(int64_t pos, int64_t size) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  if (!c.M_bComplete) {
    Result r = c.FetchUpTo(kMaxSize);
    if (r.IsError()) return r;
  }
  if (pos < 0 || size < 0 || pos > c.M_Size) {
    return Result::Make(util::ErrLogicArgs, util::ModIntellNetwork, util::ObjStringStack,
                        util::SevError, "Bad message insert position %" PRId64 " or size %i", pos,
                        static_cast<int>(size));
  }
  if (pos < c.M_Base) return c.Released(pos);
  if (pos + size > c.M_Size) size = c.M_Size - pos;
  if (size == 0) return Result();
  ++c.M_Generation;
  int64_t bp;
  MessageBlock* b = c.Locate(pos, &bp, nullptr);
  int64_t left = size;
  uint32_t off = static_cast<uint32_t>(pos - bp);
  while (left > 0 && b) {
    uint32_t avail = b->M_Length - off;
    uint32_t n = left < avail ? static_cast<uint32_t>(left) : avail;
    std::memmove(b->M_Content + off, b->M_Content + off + n, b->M_Length - off - n);
    b->M_Length -= n;
    left -= n;
    MessageBlock* next = b->pNext;
    if (b->M_Length == 0) c.Unlink(b);
    b = next;
    off = 0;
  }
  c.M_Size -= size;
  c.RecomputeLastPos();
  if (!c.pFirst) c.M_Base = c.M_LastPos = c.M_Size;
  return Result();
}

void Message::Clear() {
  osal::ScopedLock lock(M_pContent->M_Lock);
  M_pContent->DetachInput();
  M_pContent->FreeAll();
  M_pContent->M_RxError = Result();
  M_WriteCursor = Cursor();
}

void Message::ReleaseUpTo(int64_t pos) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  bool changed = false;
  while (c.pFirst && c.pFirst != c.pLast && c.M_Base + c.pFirst->M_Length <= pos) {
    c.M_Base += c.pFirst->M_Length;
    MessageBlock* b = c.pFirst;
    c.pFirst = b->pNext;
    c.pFirst->pPrev = nullptr;
    MessageBlock::Free(b);
    changed = true;
  }
  if (changed) ++c.M_Generation;
}

void Message::SetRxTimeout(uint32_t ms) {
  osal::ScopedLock lock(M_pContent->M_Lock);
  M_pContent->M_RxTimeout = ms;
}

uint32_t Message::RxTimeout() const {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->M_RxTimeout;
}

Result Message::RxError() const {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->M_RxError;
}

Result Message::RxNextMessage(Connection* conn, uint32_t timeoutMs, int64_t fetchSize) {
  XEL_ASSERT(M_bMaster);
  XEL_ASSERT(conn != nullptr && !conn->IsInUseAsSource());
  Clear();
  MessageContent& c = *M_pContent;
  for (;;) {
    MessageBlock* b = nullptr;
    Result r = conn->Receive(timeoutMs, false, &b);
    if (r.IsError()) return r;
    XEL_TRACE_OBJ(this, util::MsgBlockComm, "RxNextMessage() received Block %p from Connection %p",
                  static_cast<void*>(b), static_cast<void*>(conn));
    if (!(b->M_Flags & Flag_BegMessage)) {
      XEL_TRACE_OBJ(this, util::General_Warning,
                    "RxNextMessage() ignore MessageBlock Flags=0x%x, Size=%i", b->M_Flags,
                    static_cast<int>(b->M_Length));
      MessageBlock::Free(b);
      continue;
    }
    if (b->M_Event == BlockEvent_Data) {
      osal::ScopedLock lock(c.M_Lock);
      c.FreeAll();
      c.M_RxError = Result();
      const bool last = (b->M_Flags & Flag_EndMessage) != 0;
      if (b->M_Length > 0) {
        c.LinkBlock(b);
      } else {
        MessageBlock::Free(b);
      }
      if (!last) {
        c.M_pInput = util::Ref<Connection>(conn);
        conn->SetInUseAsSource(true);
        c.M_bComplete = false;
        if (fetchSize > c.M_Size && timeoutMs > 0) {
          uint32_t saved = c.M_RxTimeout;
          c.M_RxTimeout = timeoutMs;
          Result f = c.FetchUpTo(fetchSize);
          c.M_RxTimeout = saved;
          if (f.IsError()) {
            if (f.Category() == util::ErrCancelled) {
              // A new message began before this one was complete: drop the partial one.
              c.DetachInput();
              c.FreeAll();
              c.M_RxError = Result();
              continue;
            }
            return f;
          }
        }
      }
      return Result();
    }
    if (b->M_Event == BlockEvent_Abort && fetchSize <= 0) {
      Result sender;
      if (!sender.Deserialize(reinterpret_cast<const char*>(b->M_Content), b->M_Length)) {
        sender = Result::Fail(util::ErrCancelled);
      }
      MessageBlock::Free(b);
      Result out = Result::Make(
          util::ErrCancelled, util::ModIntellNetwork, util::ObjXelMessage, util::SevError,
          "Message has been aborted by sender with Error (%s)", sender.Text().c_str());
      // Keep the sender's texts in the free slots so callers can tell why.
      for (int slot = 1; slot < util::ResultAdditionalInfo::kSlots; ++slot) {
        const std::string& t = sender.SlotText(slot - 1);
        if (!t.empty()) out.SetSlotText(slot, t);
      }
      osal::ScopedLock lock(c.M_Lock);
      c.M_RxError = sender;
      return out;
    }
    MessageBlock::Free(b);
  }
}

Result Message::TxAllToConnection(Connection* conn, uint32_t timeoutMs) {
  XEL_TRACE_OBJ(this, util::MsgBlockComm, "TxAllToConnection(pConn=%p, TimeOut=%i)",
                static_cast<void*>(conn), static_cast<int>(timeoutMs));
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  if (c.M_TxBroken.IsError()) return c.M_TxBroken;
  Result r = c.FetchUpTo(1);
  if (r.IsError()) return r;
  if (c.M_Size == 0) {
    return Result::Make(util::ErrEmpty, util::ModIntellNetwork, util::ObjXelMessage, util::SevError,
                        "Tried to send an empty message");
  }
  if (c.M_Base > c.M_TxPos) return c.Released(c.M_TxPos);
  int64_t pos = c.M_TxPos;
  Cursor cursor;
  for (;;) {
    MessageBlock* out = MessageBlock::Allocate();
    if (!out) return c.AllocFailed();
    out->M_Length = 0;
    // Fill the block completely (content blocks may be partly filled after inserts).
    while (out->M_Length < MessageBlock::BlockSize) {
      if (pos >= c.M_Size) {
        r = c.FetchUpTo(pos + 1);
        if (r.IsError() || pos >= c.M_Size) break;
      }
      int64_t bp;
      MessageBlock* b = c.Locate(pos, &bp, &cursor);
      uint32_t off = static_cast<uint32_t>(pos - bp);
      uint32_t n = b->M_Length - off;
      uint32_t room = MessageBlock::BlockSize - out->M_Length;
      if (n > room) n = room;
      std::memcpy(out->M_Content + out->M_Length, b->M_Content + off, n);
      out->M_Length += n;
      pos += n;
    }
    if (r.IsError()) {
      MessageBlock::Free(out);
      if (pos > 0) (void)TxAbort(conn, r, timeoutMs, true);
      return r;
    }
    // Know whether more follows before marking the end.
    if (pos >= c.M_Size) {
      r = c.FetchUpTo(pos + 1);
      if (r.IsError()) {
        const bool started = pos > out->M_Length;
        MessageBlock::Free(out);
        (void)TxAbort(conn, r, timeoutMs, started);
        return r;
      }
    }
    const bool first = pos == out->M_Length;
    const bool last = pos >= c.M_Size;
    out->M_Flags =
        (first ? uint32_t{Flag_BegMessage} : 0u) | (last ? uint32_t{Flag_EndMessage} : 0u);
    out->M_Event = BlockEvent_Data;
    out->M_TraceTag = M_TraceTag;
    const uint32_t len = out->M_Length;
    r = conn->Send(out, timeoutMs);
    if (r.IsError()) {
      int64_t sentBefore = pos - len;
      if (sentBefore > 0 && r.IsClass(util::ErrConnLost)) {
        XEL_TRACE_OBJ(this, util::General_10,
                      "INFO: Disconnected by peer at %" PRId64 " of %" PRId64 " bytes (%" PRId64
                      " bytes have been confirmed)",
                      sentBefore, static_cast<int64_t>(c.M_Size), sentBefore);
        (void)TxAbort(conn, r, timeoutMs, true);
      }
      return r;
    }
    if (last) break;
  }
  conn->SetMessageSent(true);
  return Result();
}

Result Message::TxComplete(Connection* conn, uint32_t timeoutMs) {
  MessageContent& c = *M_pContent;
  osal::ScopedLock lock(c.M_Lock);
  if (c.M_TxBroken.IsError()) return c.M_TxBroken;
  if (c.M_Base > c.M_TxPos) return c.Released(c.M_TxPos);
  while (c.M_Size - c.M_TxPos > MessageBlock::BlockSize) {
    MessageBlock* b = c.pFirst;
    if (c.M_Base == c.M_TxPos && b->M_Length == MessageBlock::BlockSize) {
      // The chain's first block is exactly the next block of the message: it goes as it is.
      c.pFirst = b->pNext;
      c.pFirst->pPrev = nullptr;
      c.M_Base += b->M_Length;
      ++c.M_Generation;
    } else {
      b = MessageBlock::Allocate();
      if (!b) return c.AllocFailed();
      int64_t at = c.M_TxPos;
      Cursor cursor;
      b->M_Length = 0;
      while (b->M_Length < MessageBlock::BlockSize) {
        int64_t bp;
        MessageBlock* from = c.Locate(at, &bp, &cursor);
        uint32_t n = from->M_Length - static_cast<uint32_t>(at - bp);
        if (n > MessageBlock::BlockSize - b->M_Length) n = MessageBlock::BlockSize - b->M_Length;
        std::memcpy(b->M_Content + b->M_Length, from->M_Content + (at - bp), n);
        b->M_Length += n;
        at += n;
      }
    }
    b->pNext = b->pPrev = nullptr;
    b->M_Flags = c.M_TxPos == 0 ? uint32_t{Flag_BegMessage} : 0u;
    b->M_Event = BlockEvent_Data;
    b->M_TraceTag = M_TraceTag;
    Result r = conn->Send(b, timeoutMs);
    if (r.IsError()) return r;
    c.M_TxPos += MessageBlock::BlockSize;
    // Blocks wholly before the sent position are not needed any more.
    while (c.pFirst != c.pLast && c.M_Base + c.pFirst->M_Length <= c.M_TxPos) {
      MessageBlock* gone = c.pFirst;
      c.M_Base += gone->M_Length;
      c.pFirst = gone->pNext;
      c.pFirst->pPrev = nullptr;
      MessageBlock::Free(gone);
      ++c.M_Generation;
    }
  }
  return Result();
}

int64_t Message::TxSent() const {
  osal::ScopedLock lock(M_pContent->M_Lock);
  return M_pContent->M_TxPos;
}

Result Message::TxBreak(Connection* conn, const Result& why, uint32_t timeoutMs) {
  {
    osal::ScopedLock lock(M_pContent->M_Lock);
    M_pContent->M_TxBroken = why.IsError() ? why : Result::Fail(util::ErrCancelled);
  }
  return TxAbort(conn, why, timeoutMs, true);
}

Result Message::TxAbort(Connection* conn, const Result& why, uint32_t timeoutMs,
                        bool messageStarted) {
  MessageBlock* b = MessageBlock::Allocate();
  if (!b) {
    return Result::Make(
        util::ErrResource, util::ModIntellNetwork, util::ObjStringStack, util::SevError,
        "Allocation of Message Block failed (CurrMsgBufferRange=%" PRId64 "-%" PRId64 ")",
        int64_t{0}, int64_t{0});
  }
  b->M_Event = BlockEvent_Abort;
  b->M_Flags = uint32_t{Flag_EndMessage} | (messageStarted ? 0u : uint32_t{Flag_BegMessage});
  b->M_Length = static_cast<uint32_t>(
      why.Serialize(reinterpret_cast<char*>(b->M_Content), MessageBlock::BlockSize));
  return conn->Send(b, timeoutMs);
}

}  // namespace velmora::xel
