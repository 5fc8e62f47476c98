// DataLink: the generic part of a link to another process: send queue and worker threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "osal/Thread.h"
#include "osal/WaitHandle.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {

// A byte-level channel that carries whole message blocks to and from one other process.
//
// The generic part owns the send queue (guarded by GlobalLock()), the send thread
// ("Datalink-Tx") that writes queued blocks, and the receive thread ("Datalink-Rx") that
// reads blocks and hands each one, stamped with this link's handle, to the dispatch
// function. A subclass supplies the transport: connecting once, sending and receiving one
// block, interrupting its waits, and closing.
//
// Life: create, optionally SetDispatch, Connect, queue blocks, Close, release. The owner
// must call Close (or Shutdown) before it drops its last reference; the handle table keeps
// a reference until Close invalidates the handle. Queueing and the state queries are
// thread-safe; Connect, Shutdown and Close belong to the owner's thread.
class DataLink : public util::HandleObject {
 public:
  // Link states.
  enum LinkState : int {
    LinkState_Idle = 0,          // constructed, never connected
    LinkState_Connecting = 1,    // Connect is running
    LinkState_Down = 2,          // shut down; the worker threads have ended
    LinkState_Connected = 3,     // the worker threads run
    LinkState_ShuttingDown = 4,  // the send thread drains the queue, then the threads end
  };

  // Called on the receive thread for every received block; takes ownership of the block.
  using DispatchFunction = std::function<void(uint32_t hLink, MessageBlock* pBlock)>;
  // Called once when a connected link leaves the connected state (on the thread that
  // noticed it: a worker thread or the owner's).
  using DownFunction = std::function<void(DataLink* pLink)>;

  DataLink();
  ~DataLink() override;
  const char* ClassName() const override { return "DataLink"; }

  // Connects (master role when bServer) and starts the worker threads. Retries every
  // 100 ms while time is left; on failure the link is shut down (it cannot be reused).
  util::Result Connect(const std::string& name, bool bServer, int timeoutMs, uint32_t rxSize,
                       uint32_t txSize);

  // Installs the per-link receiver (before Connect). Without one, received blocks go to
  // the process-wide function; without that, they are freed with a warning trace.
  void SetDispatch(DispatchFunction fn) { M_Dispatch = std::move(fn); }
  // Process-wide receiver for links without their own (the switch installs it).
  // Thread-safe; pass nullptr to remove.
  static void SetGlobalDispatch(void (*fn)(uint32_t hLink, MessageBlock* pBlock));
  // Installs the link-down notification (before Connect).
  void SetDownHandler(DownFunction fn) { M_Down = std::move(fn); }

  // Appends a block to the send queue; the caller holds GlobalLock(). On success the
  // link owns the block and *pbWasEmpty tells whether the caller must WakeupSender().
  // Fails with ErrObjLost when the link is not connected (the caller keeps the block).
  util::Result AppendToSendQueue(MessageBlock* pBlock, bool* pbWasEmpty);
  // Wakes the send thread after the queue went from empty to non-empty. Thread-safe.
  void WakeupSender() { M_Wakeup.Set(); }
  // Sends what is queued after the queue went from empty to non-empty: on the calling
  // thread while the send thread is idle and the transport has room at once, through the
  // send thread otherwise. Must not be called with GlobalLock() held. Thread-safe.
  void SendQueued();
  // Takes GlobalLock(), appends and sends (SendQueued) when needed.
  util::Result QueueBlock(MessageBlock* pBlock);
  // Number of queued blocks. Thread-safe.
  int SendQueueLength() const { return M_QueueLength.load(std::memory_order_relaxed); }
  // Flow control for producers of long messages: while more than kSendQueueHigh blocks
  // are queued, waits (up to timeoutMs) until the send thread has drained the queue to
  // kSendQueueLow or the link has left the connected state. Without it a sender that is
  // faster than the link would queue a second copy of everything it sends. Must not be
  // called with GlobalLock() held. Thread-safe.
  void WaitForSendRoom(uint32_t timeoutMs);
  static constexpr int kSendQueueHigh = 256;  // about 1 MiB of content
  static constexpr int kSendQueueLow = 64;

  // Stops the worker threads, first letting the send thread drain the queue when bFlush,
  // waiting up to waitMs in all. Blocks still queued are freed. Traces "Shutdown Datalink".
  // Called from a worker thread it only requests the stop.
  util::Result Shutdown(uint32_t waitMs, bool bFlush = true);
  // Shuts down (waiting up to waitMs), closes the transport and invalidates the handle.
  // Called from a worker thread (a dispatch or down handler) it only requests the stop.
  void Close(uint32_t waitMs = 2000);

  int State() const { return M_State.load(std::memory_order_acquire); }
  bool IsConnected() const { return State() == LinkState_Connected; }
  // Waits until the link has left the connected state; true when it has.
  bool WaitForLinkDown(uint32_t timeoutMs) { return M_DownEvent.Wait(timeoutMs).ok(); }

 protected:
  // One connection attempt. On failure the transport must be left closed.
  virtual util::Result ConnectLink(const std::string& name, bool bServer, uint32_t rxSize,
                                   uint32_t txSize) = 0;
  // Writes one block (blocking while there is no room). Called by one thread at a time,
  // the one that holds the send turn (the send thread, or SendQueued's caller).
  virtual util::Result Send(const MessageBlock* pBlock) = 0;
  // Writes one block if the transport has room at once, without waiting; false when it did
  // not write it (the send thread then sends it with Send). Same calling rule as Send.
  virtual bool TrySend(const MessageBlock* pBlock) {
    (void)pBlock;
    return false;
  }
  // Reads one block into pBlock (blocking). Only the receive thread calls it.
  virtual util::Result Receive(MessageBlock* pBlock) = 0;
  // Makes blocked and later Send/Receive calls return with ErrStopPending.
  virtual void InterruptWaits() = 0;
  // Releases the transport. Called with both worker threads ended (or never started).
  virtual void CloseLink() = 0;

 private:
  void SendThreadRun();
  void ReceiveThreadRun();
  // Leaves the connected state (once): sets the down event, calls the down handler.
  void EnterShuttingDown();
  void RequestStopFromWorker();
  bool OnWorkerThread() const;
  void FreeQueuedBlocks();
  // Takes the first queued block off the queue (nullptr when empty); the caller holds
  // GlobalLock() and the send turn.
  MessageBlock* UnlinkFirst();
  // Takes the first queued block while the link is connected (nullptr otherwise); the
  // caller holds the send turn.
  MessageBlock* PopForSend();
  // Wakes the senders waiting for room once the queue is short again.
  void NotifyRoom(bool bRun);
  void Dispatch(MessageBlock* pBlock);

  std::atomic<int> M_State{LinkState_Idle};
  // Send queue, guarded by GlobalLock().
  MessageBlock* M_pFirstBlock = nullptr;
  MessageBlock* M_pLastBlock = nullptr;
  std::atomic<int> M_QueueLength{0};
  // Senders waiting in WaitForSendRoom, and what they wait on.
  std::atomic<int> M_RoomWaiters{0};
  std::mutex M_RoomMutex;
  std::condition_variable M_RoomCond;
  osal::Event M_Wakeup{false, false};
  // The send turn: held from taking a block off the queue until it is written, so that
  // blocks leave in queue order whichever thread writes them.
  std::mutex M_SendTurn;
  osal::Event M_DownEvent{true, false};
  osal::OsThread M_SendThread;
  osal::OsThread M_ReceiveThread;
  std::mutex M_ShutdownMutex;  // serialises the owner's Shutdown and Close
  DispatchFunction M_Dispatch;
  DownFunction M_Down;
  std::atomic<bool> M_bDownNotified{false};
  bool M_bClosed = false;
};

}  // namespace velmora::xel
