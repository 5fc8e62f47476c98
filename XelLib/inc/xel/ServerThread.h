// ServerThread: the thread that serves one conversation opened by the other side of a link.
#pragma once

#include <cstdint>
#include <functional>

#include "osal/Thread.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/ConnectionPtp.h"
#include "xel/Message.h"

namespace velmora::xel {

// One thread per incoming conversation while it is served. The switch creates the object for
// a block that opens a conversation (the object's connection accepts the block) and starts
// it; a thread of the server pool reads the first message and calls the process-wide server
// function with the connection and that message. The pool holds the object (and so the
// connection) until the call has finished; the conversation is closed when the last
// reference to the connection goes. A pool thread then waits a while for the next
// conversation before it ends; conversations beyond Switch::kMaxServerThreads wait for a
// free thread, up to Switch::kMaxWaitingConversations of them.
class ServerThread : public util::SharedObject {
 public:
  // The runtime's receive hook: called on the server thread with the conversation and
  // its first message. The connection stays valid for the call; a function that needs it
  // longer takes its own reference. Whatever it throws is caught and traced.
  using ServerFunction = std::function<void(Connection* pConn, Message* pFirstMessage)>;

  // First read without waiting; a conversation whose first message is not there yet gets
  // one more read with this time-out.
  static constexpr uint32_t kRetryTimeoutMs = 5000;

  ~ServerThread() override;
  const char* ClassName() const override { return "ServerThread"; }

  // Installs (or with nullptr removes) the server function. Thread-safe; threads already
  // running keep the function they took.
  static void SetServerFunction(ServerFunction fn);
  static bool HasServerFunction();

  // A server thread object for the conversation that pFirstBlock (stamped with its link
  // handle) opens; nothing when the block cannot be accepted (the caller keeps it then).
  static util::Ref<ServerThread> Create(MessageBlock* pFirstBlock);
  // Hands the conversation to the pool. ErrResource when no thread can be made for it, or
  // when the pool's threads are all busy and kMaxWaitingConversations wait already for one
  // to become free (conversations that their peer has closed with nothing to serve are
  // dropped from the line first).
  util::Result Start();

  // Server thread objects alive now: conversations served or waiting for a thread.
  static int LiveCount();
  // Waits until no server thread object is alive, then ends the pool's idle threads; true
  // when none of either is left. Call it before the code is unloaded.
  static bool WaitAllEnded(uint32_t timeoutMs);

  ConnectionPtp* GetConnection() const { return M_pConn.get(); }

 private:
  struct PoolWorker;
  ServerThread();
  void Run();

  util::Ref<ConnectionPtp> M_pConn;
};

}  // namespace velmora::xel
