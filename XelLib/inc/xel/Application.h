// Application: the plug-in process's runtime - the entry's work, the application loop that
// serves the master, the application functions and the receive hook for component calls.
#pragma once

#include <cstdint>

#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/Component.h"
#include "xel/Connection.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

// Process-wide (one running component at most). The functions are static; the state they
// share (running-component handle, stop flag) is process-wide and thread-safe.
class Application {
 public:
  static constexpr uint32_t kLinkBufferSize = 40960;
  static constexpr uint32_t kReceiveTimeoutMs = 1200000;
  static constexpr uint32_t kAnswerTimeoutMs = 10000;
  static constexpr uint32_t kLinkCloseMs = 2000;
  static constexpr uint32_t kExitWaitMs = 1000;
  static constexpr uint32_t kExitWaitStepMs = 50;

  Application() = delete;

  // The entry's whole work (XelEvent's body): trace key, application run, exit waits.
  // Returns 0 or -1.
  static int32_t Entry(int32_t argc, const char* const* argv);
  // The application run: argv[1] the link name, argv[2] the master trace level. Returns 0
  // when the application ended normally, -1 when a step failed.
  static int32_t Run(int32_t argc, const char* const* argv);

  // The application's table ("returnOk", "start", "stop", "GetState", "terminate") and the
  // one used for incoming calls while no component runs ("returnOk").
  static const ServerFunctionEntry* FunctionList();
  static const ServerFunctionEntry* IdleFunctionList();
  // Dispatches a request of the master through the application's table.
  static util::Result CallServerFunction(Connection* pConn, XmlParser* pFirstMessage);

  // The receive hook: serves one incoming conversation's first message (on its server
  // thread) through the running component's table, or the idle table.
  static void ReceiveHook(Connection* pConn, Message* pFirstMessage);

  // The running component (empty when none runs); the reference keeps it alive.
  static util::Ref<Component> RunningComponent();
  // True once "terminate" was served.
  static bool IsStopRequested();

  // The application functions (pThread is always null).
  static util::Result FnReturnOk(ComponentThread* pThread, Connection* pConn, XmlParser* pMsg);
  static util::Result FnStart(ComponentThread* pThread, Connection* pConn, XmlParser* pMsg);
  static util::Result FnStop(ComponentThread* pThread, Connection* pConn, XmlParser* pMsg);
  static util::Result FnGetState(ComponentThread* pThread, Connection* pConn, XmlParser* pMsg);
  static util::Result FnTerminate(ComponentThread* pThread, Connection* pConn, XmlParser* pMsg);

 private:
  static util::Result StartComponent(Connection* pConn, XmlParser* pMsg);
  static void StartClientThreads(const util::Ref<Component>& pComponent, int count);
  static util::Result StartSchedulers(const util::Ref<Component>& pComponent);
};

}  // namespace velmora::xel
