// EndPoint: one side of a conversation over a data link, registered in the switch table.
#pragma once

#include <atomic>
#include <cstdint>

#include "util/Result.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {

class DataLink;

class Switch;

// One side of a conversation: a link handle, a channel number and a state. While it is
// connecting or connected it is registered in the switch table under (channel, link
// handle), so that blocks the peer sends on this conversation reach it; the switch hands
// them to OnReceive. The two sides use the channels c and c ^ 1: a block is stamped with
// the sender's own channel with its lowest bit inverted.
//
// All state changes and the table happen under GlobalLock(); the accessors may be read
// without it (atomics). An end point must be disconnected before it is destroyed (the
// destructor does it internally as a last resort). Not copyable.
class EndPoint {
 public:
  enum EpState : int {
    EpState_Disconnected = 0,
    EpState_Connecting = 1,  // the next block sent opens the conversation
    EpState_Connected = 2,
  };
  // Why an end point left the conversation.
  enum DisconnectReason : int {
    Reason_None = 0,
    Reason_Local = 1,     // this side closed it
    Reason_Remote = 2,    // the peer sent the end-of-conversation flag
    Reason_LinkDown = 3,  // the data link went down
  };

  EndPoint() = default;
  virtual ~EndPoint();
  EndPoint(const EndPoint&) = delete;
  EndPoint& operator=(const EndPoint&) = delete;
  virtual const char* ClassName() const { return "EndPoint"; }

  // A fresh channel for a side that opens a conversation: 0x80000000 + 2 * n, where n
  // counts such end points process-wide (the first is 1). Thread-safe.
  static uint32_t NewClientChannel();

  // Registers the end point under (channel, hLink) in newState (1 for the opening side,
  // 2 for the accepting side). ErrObjExist "Endpoint %p is already connected to %x/%x"
  // when the key is taken or this end point is registered already; ErrIntern
  // "EpInternalConnect (%p, %x, %i) failed because hLink=0" for a zero link handle.
  util::Result EpConnect(uint32_t hLink, uint32_t channel, int newState);

  // Queues a block on the link. Takes ownership of the block in every case. In state 1
  // the block opens the conversation (Flag_BegConnection) and the state becomes 2.
  // ErrLogicState when not connected; ErrObjLost when the link is gone.
  // pKnownLink: the link the caller has already looked up for this end point, if any; it is
  // used only while it is still the end point's link.
  util::Result Send(MessageBlock* pBlock, DataLink* pKnownLink = nullptr);

  // Ends the conversation: when connected, tells the peer (a block with only the
  // end-of-conversation flag), then unregisters. Safe to call in any state.
  void Disconnect(int reason = Reason_Local);
  // Unregisters and sets state 0 without telling the peer; OnDisconnect is called once.
  void InternalDisconnect(int reason);

  int State() const { return M_State.load(std::memory_order_acquire); }
  bool IsConnected() const { return State() != EpState_Disconnected; }
  uint32_t Link() const { return M_hLink.load(std::memory_order_acquire); }
  uint32_t Channel() const { return M_Channel.load(std::memory_order_acquire); }
  // The reason of the last disconnect (Reason_None while never disconnected).
  int LastDisconnectReason() const { return M_Reason.load(std::memory_order_acquire); }

 protected:
  // A block of this conversation arrived (called by the switch under GlobalLock(); must
  // not block). Takes ownership of the block; the base frees it.
  virtual void OnReceive(MessageBlock* pBlock);
  // The end point has left the conversation (under GlobalLock(); must not block).
  virtual void OnDisconnect(int /*reason*/) {}

 private:
  friend class Switch;

  std::atomic<int> M_State{EpState_Disconnected};
  std::atomic<uint32_t> M_hLink{0};
  std::atomic<uint32_t> M_Channel{0};
  std::atomic<int> M_Reason{Reason_None};
  bool M_bRegistered = false;           // in the switch table (GlobalLock())
  EndPoint* M_pNextInBucket = nullptr;  // chain of the switch bucket (GlobalLock())
};

}  // namespace velmora::xel
