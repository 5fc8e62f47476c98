// Message: the byte content of one message as a chain of blocks, shared by copies, with lazy
// fetching of incoming blocks and the framing that sends and receives whole messages.
#pragma once

#include <cstdint>

#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {

class Connection;
struct MessageContent;

// A message is a view onto a content (a chain of MessageBlocks holding up to
// kMaxSize bytes, addressed by 64-bit positions). The first Message made for a content is
// its master; Copy() gives further messages over the same content (the content counts its
// users). All content operations take the content's lock, so copies may read concurrently
// from several threads while nobody changes the content.
//
// A received message holds at first only its first block; the rest is fetched from the
// connection block by block as readers reach positions beyond what has arrived, so a
// message may be processed while it is still being transferred. Blocks that a streaming
// reader no longer needs can be released (ReleaseUpTo), after which positions before the
// released range are refused.
class Message : public util::SharedObject {
 public:
  static constexpr int64_t kMaxSize = 0x40000000;
  static constexpr uint32_t kDefaultTimeout = 100000;

  // Caches where a reader was, so sequential reads find their block in O(1). Owned by the
  // reader; valid across calls as long as the reader uses it with the same message content.
  struct Cursor {
    MessageBlock* pBlock = nullptr;
    int64_t M_BlockPos = 0;     // content position of pBlock's first byte
    uint64_t M_Generation = 0;  // content layout generation the cache belongs to
  };

  // An empty master message.
  Message();
  ~Message() override;
  const char* ClassName() const override { return "Message"; }

  // A new message sharing this content (for readers on other cursors or threads).
  util::Ref<Message> Copy() const;
  // True for the message that created the content.
  bool IsMaster() const { return M_bMaster; }

  // Bytes present now (for an incoming message: received so far).
  int64_t Size() const;
  // True when the whole message is present (not waiting for further blocks).
  bool IsComplete() const;
  // Position of the first byte still held (0 unless ReleaseUpTo was used).
  int64_t ReleasedUpTo() const;
  // Fetches blocks until the message is complete or maxSize bytes are present.
  util::Result FetchAll(int64_t maxSize = kMaxSize);
  // Fetches until at least pos bytes are present (or the message is complete).
  util::Result FetchUpTo(int64_t pos);

  // Reads up to size bytes at pos into data; *pRead gets the count (fewer only at the end
  // of the message). Fetches incoming blocks as needed. cursor may be null.
  util::Result Read(int64_t pos, void* data, int32_t size, int32_t* pRead,
                    Cursor* cursor = nullptr);
  // As Read, but exactly size bytes: "Failed to read %i bytes from message at position %i".
  util::Result ReadExact(int64_t pos, void* data, int32_t size, Cursor* cursor = nullptr);
  // Inserts size bytes at pos (0 <= pos <= Size()).
  util::Result Insert(int64_t pos, const void* data, int32_t size);
  // Appends at the end; amortised O(1) per block.
  util::Result Append(const void* data, int32_t size);
  // Direct writing at the end, for producers that generate bytes (encoders) without a copy:
  // *pData points to *pAvail writable bytes (1 <= *pAvail <= want) after the end of the
  // content, in the last block or in a new one. They become content only through
  // CommitAppend(n), n <= *pAvail, which must follow before any other change of the message.
  // Fails as Append would for want more bytes.
  util::Result ReserveAppend(int32_t want, uint8_t** pData, int32_t* pAvail);
  void CommitAppend(int32_t n);
  // Removes size bytes at pos (cut at the end of the content).
  util::Result Delete(int64_t pos, int64_t size);
  // Removes all content and detaches any input or output connection.
  void Clear();
  // Frees every block that lies wholly before pos. Reads before the first held byte then
  // fail with "Cant move to pos %I64i because data up to %I64i has been released".
  void ReleaseUpTo(int64_t pos);

  // Receive time-out used for fetching the rest of an incoming message (ms).
  void SetRxTimeout(uint32_t ms);
  uint32_t RxTimeout() const;
  // The error that ended fetching (success while none occurred).
  util::Result RxError() const;
  // Tag stamped on the blocks this message sends.
  void SetTraceTag(uint32_t tag) { M_TraceTag = tag; }
  uint32_t TraceTag() const { return M_TraceTag; }

  // Receives the next whole message from conn into this fresh master message. Blocks that
  // do not begin a message are dropped; an abort block ends with ErrCancelled carrying the
  // sender's result. Only the first block is taken at once unless fetchSize asks for more
  // (fetched with timeoutMs, which must then be non-zero); the rest follows lazily.
  util::Result RxNextMessage(Connection* conn, uint32_t timeoutMs, int64_t fetchSize = 0);
  // Sends the whole content to conn in blocks of up to 4000 bytes; the first carries
  // Flag_BegMessage, the last Flag_EndMessage. "Tried to send an empty message" (ErrEmpty)
  // when there is nothing to send.
  // After TxComplete it sends the rest, from where TxComplete stopped.
  util::Result TxAllToConnection(Connection* conn, uint32_t timeoutMs);
  // Sends, while the message is still being written at its end, the blocks that are
  // complete: full blocks, always keeping at least one byte back for the last block, so that
  // the blocks on the link are those of TxAllToConnection of the finished message. Sent
  // blocks are released (handed to the connection as they are when the chain allows).
  util::Result TxComplete(Connection* conn, uint32_t timeoutMs);
  // Bytes that TxComplete has sent.
  int64_t TxSent() const;
  // Gives up a message of which blocks have left: the receiver gets an abort block carrying
  // why, and every later send of this message fails with why.
  util::Result TxBreak(Connection* conn, const util::Result& why, uint32_t timeoutMs);
  // Tells the receiver of a message being sent on conn that it was given up: an abort block
  // (event 1) carrying the serialised result why. messageStarted: blocks of the message
  // were sent already (otherwise the abort block itself begins the message).
  static util::Result TxAbort(Connection* conn, const util::Result& why, uint32_t timeoutMs,
                              bool messageStarted = true);

  // Direct access to the bytes at pos: *pData points into the block holding pos and
  // *pAvail is the number of contiguous bytes there (0 at the end of the message).
  // The pointer stays valid until the content is changed or released. Fetches as needed.
  util::Result GetSpan(int64_t pos, const uint8_t** pData, int32_t* pAvail, Cursor* cursor);

 private:
  explicit Message(MessageContent* content);
  MessageContent* M_pContent;
  bool M_bMaster;
  uint32_t M_TraceTag = 0;
  Cursor M_WriteCursor;  // for Insert/Delete near the previous change
};

}  // namespace velmora::xel
