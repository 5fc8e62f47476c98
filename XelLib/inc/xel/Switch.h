// Switch: maps every block received on a data link to the end point of its conversation.
#pragma once

#include <cstdint>

#include "util/Result.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {

class DataLink;
class EndPoint;

// The process-wide switch. A table of kBuckets chains maps (channel, link handle) to the
// registered end point; the bucket is (channel + link handle) mod kBuckets. A block for
// which no end point is registered goes to the default end point, which starts a server
// thread when the block opens a conversation and drops it otherwise. At most
// kMaxServerThreads conversations are served at once and kMaxWaitingConversations more wait
// for a free thread (beyond those that threads still starting will take): a peer that opens
// still more has them refused (closed at once), as when a thread cannot be started, after
// waiting conversations that the peer has closed with nothing to serve have made room.
//
// Everything runs under GlobalLock(). All functions are thread-safe.
class Switch {
 public:
  static constexpr uint32_t kBuckets = 4096;
  // Each thread reserves its stack (2 MiB on Windows): more would crowd the address space of
  // a 32-bit plug-in.
  static constexpr int kMaxServerThreads = 256;
  static constexpr int kMaxWaitingConversations = 256;

  Switch() = delete;

  // Makes Dispatch the data links' global receiver. Idempotent.
  static void Install();
  // Removes it again (received blocks are then freed by the links with a warning).
  static void Uninstall();
  // Prepares a link before its Connect: installs the switch and a down handler that
  // disconnects every end point on the link, so that waiting receivers see ErrConnLost.
  // A runtime that needs its own down handler must call LinkDown from it instead.
  static void AttachLink(DataLink* pLink);

  // Called by the link's receive thread for each block; takes ownership of the block.
  static void Dispatch(uint32_t hLink, MessageBlock* pBlock);
  // Disconnects (internally) every end point registered on hLink.
  static void LinkDown(uint32_t hLink);

  // Number of registered end points (diagnostics and tests).
  static int RegisteredEndPoints();
  // The bucket of a key.
  static uint32_t BucketOf(uint32_t channel, uint32_t hLink) {
    return (channel + hLink) % kBuckets;
  }

 private:
  friend class EndPoint;
  // Table operations; the caller holds GlobalLock().
  // Registers pEndPoint under its key; *ppSlot receives the bucket it went into.
  static util::Result Insert(EndPoint* pEndPoint, uint32_t channel, uint32_t hLink, void** ppSlot);
  static void Remove(EndPoint* pEndPoint);
  static EndPoint* Find(uint32_t channel, uint32_t hLink);
  static void DefaultEndPoint(uint32_t hLink, MessageBlock* pBlock);
};

}  // namespace velmora::xel
