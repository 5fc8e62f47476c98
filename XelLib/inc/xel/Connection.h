// Connection: the base of everything a message can be received from or sent to
// (conversations over the data link, files, in-process queues).
#pragma once

#include <atomic>
#include <cstdint>

#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {

// A source and sink of message blocks. Concrete connections implement Send and Receive;
// the framing (whole messages over blocks) lives in Message. Reference counted and
// reachable through a handle. Send and Receive are called by one thread per direction.
class Connection : public util::HandleObject {
 public:
  Connection() = default;
  const char* ClassName() const override { return "Connection"; }

  // Passes block on. The connection takes ownership of the block in every case (it is
  // queued, written or freed), also when the result is a failure.
  virtual util::Result Send(MessageBlock* block, uint32_t timeoutMs) = 0;
  // Takes the next block, waiting up to timeoutMs. With stopAtNewMessage, a queued block
  // carrying Flag_BegMessage is left in place and the result is ErrCancelled. On success
  // *ppBlock receives a block owned by the caller.
  virtual util::Result Receive(uint32_t timeoutMs, bool stopAtNewMessage,
                               MessageBlock** ppBlock) = 0;

  // Set by the server code once the request on this connection has been answered.
  bool IsAnswered() const { return M_bAnswered.load(std::memory_order_acquire); }
  void SetAnswered(bool answered = true) { M_bAnswered.store(answered, std::memory_order_release); }
  // Set when a data block carrying end-of-message has been sent successfully.
  bool IsMessageSent() const { return M_bMessageSent.load(std::memory_order_acquire); }
  void SetMessageSent(bool sent = true) { M_bMessageSent.store(sent, std::memory_order_release); }
  // True while a message fetches its remaining blocks from this connection.
  bool IsInUseAsSource() const { return M_bInUseAsSource.load(std::memory_order_acquire); }
  void SetInUseAsSource(bool inUse) { M_bInUseAsSource.store(inUse, std::memory_order_release); }

 private:
  std::atomic<bool> M_bAnswered{false};
  std::atomic<bool> M_bMessageSent{false};
  std::atomic<bool> M_bInUseAsSource{false};
};

}  // namespace velmora::xel
