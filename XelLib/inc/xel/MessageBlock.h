// MessageBlock: the unit of transfer between connections and over the data link.
#pragma once

#include <cstdint>

namespace velmora::xel {

// Block flags.
enum MessageBlockFlags : uint32_t {
  Flag_BegConnection = 1,  // first block of a new conversation
  Flag_EndConnection = 2,  // the sender closes the conversation (no content)
  Flag_BegMessage = 4,     // first block of a message
  Flag_EndMessage = 8,     // last block of a message
};

// Block events.
enum MessageBlockEvent : uint32_t {
  BlockEvent_Data = 0,
  BlockEvent_Abort = 1,  // content is a serialised Result: why the sender gave up
};

// A header and a 4000-byte content buffer. Blocks are allocated and freed one at a time
// through Allocate/Free (thread-safe), which take them from and return them to a process-wide
// pool (freed blocks are reused; up to 128 MiB of free blocks are kept) and keep the
// process-wide live-block count. A block belongs to one owner at a time (a queue, a message,
// or the thread handling it).
struct MessageBlock {
  static constexpr uint32_t BlockSize = 4000;

  MessageBlock* pNext = nullptr;
  MessageBlock* pPrev = nullptr;
  uint32_t M_Flags = 0;
  uint32_t M_Channel = 0;
  uint32_t M_hLink = 0;
  uint32_t M_S = 0;
  uint32_t M_A = 0;
  uint32_t M_TraceTag = 0;
  uint32_t M_Event = BlockEvent_Data;
  uint32_t M_Length = 0;
  uint8_t M_Content[BlockSize];

  // A new, cleared block; nullptr when memory is exhausted.
  static MessageBlock* Allocate();
  static void Free(MessageBlock* block);
  // Number of blocks allocated and not yet freed ("MsgBlocks" in the status report); blocks
  // held free in the pool do not count.
  static int LiveBlocks();
};

}  // namespace velmora::xel
