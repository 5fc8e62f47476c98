// ConnectionFifo: an in-process connection whose sent blocks are received from it in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "util/Result.h"
#include "xel/Connection.h"

namespace velmora::xel {

// A first-in-first-out connection inside the process: Send appends to the connection's own
// queue and Receive takes from it. A caller that talks to a component in-process (the
// scheduler) passes it as the request connection; the component sends its answer during
// the call and the caller reads the answer afterwards. Thread-safe: the sender and the
// receiver may be different threads, and Receive waits for a block up to its time-out.
class ConnectionFifo : public Connection {
 public:
  ConnectionFifo() = default;
  // Frees the blocks still queued.
  ~ConnectionFifo() override;
  const char* ClassName() const override { return "ConnectionFifo"; }

  // Appends the block (ownership passes in every case). ErrConnLost after Close.
  util::Result Send(MessageBlock* pBlock, uint32_t timeoutMs) override;
  // The oldest queued block, waiting up to timeoutMs. ErrTimeout when none came;
  // ErrConnLost when the queue is empty and the connection is closed; ErrCancelled (block
  // left queued) with stopAtNewMessage when the next block begins a new message.
  util::Result Receive(uint32_t timeoutMs, bool stopAtNewMessage, MessageBlock** ppBlock) override;

  // Refuses further sends and wakes a waiting receiver; queued blocks stay readable.
  void Close();
  // Frees every queued block.
  void Clear();
  int QueuedBlocks() const;

 private:
  mutable std::mutex M_Mutex;
  std::condition_variable M_Cond;
  MessageBlock* M_pFirst = nullptr;
  MessageBlock* M_pLast = nullptr;
  int M_QueueLength = 0;
  bool M_bClosed = false;
};

}  // namespace velmora::xel
