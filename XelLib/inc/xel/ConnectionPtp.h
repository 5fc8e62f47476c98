// ConnectionPtp: a point-to-point conversation over a data link with a queue of received blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "osal/Lock.h"
#include "osal/WaitHandle.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/Connection.h"
#include "xel/EndPoint.h"

namespace velmora::xel {

// One conversation over a data link: an end point registered in the switch plus the queue
// of blocks the switch has delivered for it, and a wake-up event for the receiver.
//
// The opening side calls Connect(hLink); its first Send opens the conversation at the peer.
// The accepting side is made by the switch's server thread through Accept(first block).
// The link's receive thread is the only producer of the queue, the connection's user the
// only consumer (one thread per direction, as for every Connection). The destructor
// disconnects: the peer is told and unread blocks are freed. A peer that sends more than
// kMaxQueuedBytes ahead of the reader (more than any one message may hold) has the
// conversation ended: the queue cannot grow without bound. So does a conversation whose block
// would take the unread blocks of all conversations together beyond kMaxQueuedBytesAll.
class ConnectionPtp : public Connection {
 public:
  // Content bytes that may wait unread in the queue: a whole message of the largest size.
  static constexpr int64_t kMaxQueuedBytes = 0x40000000 + 4000;
  // Content bytes that may wait unread in all queues of the process together (beyond one
  // block per queue, which a queue may always hold). A 32-bit process has room for one
  // message of the largest size, a 64-bit one for four.
  static constexpr int64_t kMaxQueuedBytesAll = kMaxQueuedBytes * (sizeof(void*) == 4 ? 1 : 4);

  ConnectionPtp();
  ~ConnectionPtp() override;
  const char* ClassName() const override { return "ConnectionPtp"; }

  // Opening side: takes a new client channel on the link hLink (state 1, nothing is sent
  // yet). ErrResource "Wakeup Event could not be created"; the end point's errors.
  util::Result Connect(uint32_t hLink);
  // Accepting side: joins the conversation that pFirstBlock opened (its link handle and
  // channel) in state 2 and queues the block. On success the connection owns the block;
  // on failure the caller keeps it.
  util::Result Accept(MessageBlock* pFirstBlock);

  // Queues the block on the link (ownership passes in every case; the link does not
  // block, so timeoutMs is not needed). ErrConnLost "Connection has been disconnected"
  // once the peer or the link has ended the conversation.
  util::Result Send(MessageBlock* pBlock, uint32_t timeoutMs) override;
  // The next received block, waiting up to timeoutMs. ErrTimeout when none came,
  // ErrConnLost "Connection has been disconnected" when the queue is empty and the
  // conversation has ended, ErrCancelled (block left queued) with stopAtNewMessage when
  // the next block begins a new message.
  util::Result Receive(uint32_t timeoutMs, bool stopAtNewMessage, MessageBlock** ppBlock) override;

  // Ends the conversation (telling the peer when connected) and frees unread blocks.
  // Idempotent; the user's thread only.
  void Disconnect();

  // True while the conversation has not ended.
  bool IsConnected() const { return M_EndPoint.IsConnected(); }
  int EpState() const { return M_EndPoint.State(); }
  uint32_t Link() const { return M_EndPoint.Link(); }
  // The end point's own channel (the peer stamps its blocks with it).
  uint32_t Channel() const { return M_EndPoint.Channel(); }
  // Number of received blocks not yet taken, and the content bytes they hold.
  int QueuedBlocks() const;
  int64_t QueuedBytes() const;

 private:
  // The connection's end point: hands blocks and the end of the conversation to it.
  class PtpEndPoint : public EndPoint {
   public:
    explicit PtpEndPoint(ConnectionPtp* pConn) : M_pConn(pConn) {}
    const char* ClassName() const override { return "ConnPtp EndPoint"; }

   protected:
    void OnReceive(MessageBlock* pBlock) override;
    void OnDisconnect(int reason) override;

   private:
    ConnectionPtp* M_pConn;
  };

  util::Result CreateWakeup();
  // Whether a block was queued, or which bound kept it out (the block is then not taken).
  enum class Queued { kYes, kOwnBoundPassed, kAllBoundPassed };
  // *pbWasEmpty: whether the block is the only one queued (a waiting reader needs a wake-up).
  Queued Enqueue(MessageBlock* pBlock, bool* pbWasEmpty = nullptr);
  void Wakeup();
  // True while the link the end point uses is still connected.
  bool LinkAlive() const;
  // The link the end point uses (null when it has none). Kept from one call to the next, so
  // that the blocks of a long message do not each look it up; looked up again once the end
  // point's link is another one or has been closed.
  util::Ref<DataLink> CurrentLink() const;
  void FreeQueue();

  PtpEndPoint M_EndPoint{this};
  mutable osal::Lock M_Lock{"ConnectionPtp"};  // guards the queue
  MessageBlock* M_pFirst = nullptr;
  MessageBlock* M_pLast = nullptr;
  int M_QueueLength = 0;
  // Blocks ever queued: a reader about to sleep watches it for a moment without the lock.
  std::atomic<uint32_t> M_Arrived{0};
  int64_t M_QueuedBytes = 0;
  std::unique_ptr<osal::Event> M_pWakeup;  // auto-reset; made by Connect/Accept
  mutable osal::Lock M_LinkLock{"ConnectionPtp link"};  // guards M_pLink
  mutable util::Ref<DataLink> M_pLink;
};

}  // namespace velmora::xel
