// QueueConnection: an in-memory connection pair for tests (no threads, no waiting).
#pragma once

#include <deque>

#include "util/Result.h"
#include "xel/Connection.h"
#include "xel/MessageBlock.h"

namespace velmora::testing {

// Blocks sent on one end are queued at its peer. Receive never waits: an empty queue gives
// ErrTimeout, or ErrConnLost once the peer has been closed.
class QueueConnection : public xel::Connection {
 public:
  const char* ClassName() const override { return "QueueConnection"; }
  ~QueueConnection() override {
    for (xel::MessageBlock* b : M_Queue) xel::MessageBlock::Free(b);
  }
  static void Pair(QueueConnection* a, QueueConnection* b) {
    a->M_pPeer = b;
    b->M_pPeer = a;
  }
  // Further receives on the peer fail with ErrConnLost once its queue is empty.
  void Close() {
    M_bClosed = true;
    if (M_pPeer) M_pPeer->M_bClosed = true;
  }
  // Fails the next sends after n successful ones (n < 0: never).
  void FailSendsAfter(int n) { M_SendsLeft = n; }

  util::Result Send(xel::MessageBlock* block, uint32_t) override {
    if (M_bClosed || !M_pPeer || M_SendsLeft == 0) {
      xel::MessageBlock::Free(block);
      return util::Result::Fail(util::ErrConnLost, "Connection has been disconnected");
    }
    if (M_SendsLeft > 0) --M_SendsLeft;
    M_pPeer->M_Queue.push_back(block);
    return util::Result();
  }

  util::Result Receive(uint32_t, bool stopAtNewMessage, xel::MessageBlock** ppBlock) override {
    *ppBlock = nullptr;
    if (M_Queue.empty() && M_bClosed)
      return util::Result::Fail(util::ErrConnLost, "Connection has been disconnected");
    if (M_Queue.empty()) return util::Result::Fail(util::ErrTimeout, "receive timed out");
    if (stopAtNewMessage && (M_Queue.front()->M_Flags & xel::Flag_BegMessage))
      return util::Result::Fail(util::ErrCancelled, "new message");
    *ppBlock = M_Queue.front();
    M_Queue.pop_front();
    return util::Result();
  }

  std::deque<xel::MessageBlock*>& Queue() { return M_Queue; }

 private:
  QueueConnection* M_pPeer = nullptr;
  std::deque<xel::MessageBlock*> M_Queue;
  bool M_bClosed = false;
  int M_SendsLeft = -1;
};

}  // namespace velmora::testing
