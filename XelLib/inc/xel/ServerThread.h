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

// One thread per incoming conversation. The switch creates the object for a block that
// opens a conversation (the object's connection accepts the block) and starts it; the
// thread reads the first message and calls the process-wide server function with the
// connection and that message, then ends. The thread holds the object (and so the
// connection) until it has finished; the conversation is closed when the last reference
// to the connection goes.
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
  // Starts the thread. ErrResource when no thread can be made.
  util::Result Start();

  // Server thread objects alive now (a started thread holds its own).
  static int LiveCount();
  // Waits until no server thread object is alive; true when none is.
  static bool WaitAllEnded(uint32_t timeoutMs);

  ConnectionPtp* GetConnection() const { return M_pConn.get(); }

 private:
  ServerThread();
  void Run();

  util::Ref<ConnectionPtp> M_pConn;
  osal::OsThread M_Thread;
};

}  // namespace velmora::xel
