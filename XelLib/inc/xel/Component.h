// Components, their descriptions (the registry), the threads that call into them and the
// server-function tables through which requests reach their handlers.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "osal/Lock.h"
#include "osal/WaitHandle.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/Configuration.h"
#include "xel/Connection.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

class Component;
class ComponentThread;
class SchedulerThread;

// A server function: the calling component thread (null for the application's own table),
// the connection the request arrived on and the request document, whose cursor stands on
// the function element. Returns the call's result; a handler that answers by itself sends
// the answer on the connection.
using ServerFunction = util::Result (*)(ComponentThread* pThread, Connection* pConn,
                                        XmlParser* pFirstMessage);

// One row of a server-function table. A table ends with a row whose name is null.
struct ServerFunctionEntry {
  const char* qualifier;   // null: any namespace; else the function element's namespace
  const char* name;        // the function name as the request names it
  ServerFunction handler;  // null only in the end row
};

// Dispatches one request through pFunList (which must not be null): reads the envelope,
// finds the first row whose name and qualifier match, calls its handler and, for a request
// of kind 1 the handler did not answer, sends the result as the answer. category names
// the caller in traces ("Application" for the application's table). Thread-safe as far as
// the handlers are.
util::Result CallServerFunction(const ServerFunctionEntry* pFunList, ComponentThread* pThread,
                                Connection* pConn, XmlParser* pFirstMessage, const char* category);

// Alert levels and their names ("green" ... "black", "unknown" for -1, else "invalid").
enum AlertLevel : int {
  AlertLevel_Unknown = -1,
  AlertLevel_Green = 0,
  AlertLevel_Gray = 1,
  AlertLevel_Yellow = 2,
  AlertLevel_Red = 3,
  AlertLevel_Black = 4,
};
const char* AlertLevelName(int level);

// The state of one named alert.
struct AlertRecord {
  std::string M_Name;
  int M_Level = AlertLevel_Unknown;
  int32_t M_LastId = -1;  // -1: none
  std::string M_LastMsg;  // at most 255 characters
};

// The description and factory of one component class. Each instance links itself into the
// process-wide registry when it is constructed (make them static objects) and unlinks
// itself when destroyed. The registry is built during static construction and only read
// afterwards, so walking it needs no lock.
class ComponentInfo {
 public:
  ComponentInfo();
  virtual ~ComponentInfo();
  ComponentInfo(const ComponentInfo&) = delete;
  ComponentInfo& operator=(const ComponentInfo&) = delete;

  // The component's code name, as the "start" request names it (base: "").
  virtual const char* Name() const;
  // A version text (base: "").
  virtual const char* Version() const;
  // The server-function table (base: none).
  virtual const ServerFunctionEntry* FunctionList() const;
  // A new component with one reference for the caller; null when memory is exhausted.
  virtual Component* CreateComponent() const;
  // A new thread object for one incoming call / one client cycle (one reference for the
  // caller; null when memory is exhausted).
  virtual ComponentThread* CreateServerThread() const;
  virtual ComponentThread* CreateClientThread() const;

  // The registry: the most recently constructed description first.
  static ComponentInfo* First();
  ComponentInfo* Next() const { return M_pNext; }
  // The first description whose name equals name exactly; null when none.
  static ComponentInfo* Find(const char* name);

 private:
  ComponentInfo* M_pNext = nullptr;
};

// A running component. The runtime creates it through its ComponentInfo, configures it,
// calls FinalConstruct, serves calls through component threads and finally calls
// OnShutdown. The component lock guards the alerts, the counters, the scheduler status, the
// active-call counts and the progress connection; it is never held while a server function
// runs. Everything here is thread-safe unless a comment says otherwise.
class Component : public util::HandleObject {
 public:
  // Life states.
  enum ComponentState : int { State_Created = 0, State_Stopping = 1, State_Running = 2 };

  Component();
  const char* ClassName() const override { return "Component"; }
  ~Component() override;
  // Called once after configuration, before any server call; a failure stops the start.
  virtual util::Result FinalConstruct();
  // Called once by "stop" before the component is released.
  virtual void OnShutdown();

  // Formats the information text (at most 255 characters), traces it and, while
  // FinalConstruct runs, sends the master a "CallProgress" notice on the start connection.
  void SetProgress(int percent, const char* fmt, ...) XEL_PRINTF(3, 4);
  // Sets an alert; a new alert or a changed level (id other than -1) is also written to the
  // event log. utf_alert_name must not be null, level not AlertLevel_Unknown.
  void Alert(const char* utf_alert_name, int level, int32_t id, const char* fmt, ...)
      XEL_PRINTF(5, 6);
  void AlertV(const char* utf_alert_name, int level, int32_t id, const char* fmt, va_list args);
  // The alert of that name; false when there is none.
  bool GetAlert(const std::string& name, AlertRecord* pRecord) const;

  // Named counters, reported by "GetState".
  void SetCounter(const std::string& name, int64_t value);
  // False when the counter does not exist.
  bool GetCounter(const std::string& name, int64_t* pValue) const;
  // Adds delta (a missing counter starts from initial) and returns the new value.
  int64_t AddToCounter(const std::string& name, int64_t delta, int64_t initial = 0);

  // Enters the component for a server call (bIsServer) or a client cycle: only while the
  // state is 2. Leave undoes a successful Enter.
  bool Enter(bool bIsServer);
  void Leave(bool bIsServer);
  int ActiveServerCalls() const;
  int ActiveClientCycles() const;

  // Writes the status report elements at the document's position (under the lock).
  util::Result WriteStatusReport(XmlParser& doc);

  int GetState() const { return M_State.load(std::memory_order_acquire); }
  void SetState(int state) { M_State.store(state, std::memory_order_release); }
  int GetRunLevel() const { return M_RunLevel.load(std::memory_order_acquire); }
  void SetRunLevel(int level) { M_RunLevel.store(level, std::memory_order_release); }
  osal::Lock& GetLock() { return M_Lock; }
  // Manual-reset; set by "stop". Client and scheduler threads wait on it.
  osal::Event& StopEvent() { return M_StopEvent; }
  ComponentInfo* GetComponentInfo() const { return M_pComponentInfo; }
  // Set once at start, before other threads see the component; read-only afterwards.
  const std::string& GetName() const { return M_Name; }
  const std::string& GetSolutionShortName() const { return M_SolutionShortName; }
  std::string GetInfo() const;
  int GetMasterProcessId() const { return M_MasterProcessId; }
  const util::Ref<Configuration>& Config() const { return M_config; }
  const util::Ref<Configuration>& FrameworkConfig() const { return M_Frameworkconfig; }
  // The scheduler threads started for the component (a snapshot).
  std::vector<util::Ref<SchedulerThread>> Schedulers() const;

 private:
  friend class Application;

  ComponentInfo* M_pComponentInfo = nullptr;
  std::string M_Name = "UnknownName";
  std::string M_SolutionShortName = "Tirzel";
  std::string M_Info;  // at most 99 characters; guarded by M_Lock
  int M_MasterProcessId = 0;
  std::atomic<int> M_State{State_Created};
  std::atomic<int> M_RunLevel{0};
  util::Ref<Configuration> M_config;
  util::Ref<Configuration> M_Frameworkconfig;
  mutable osal::Lock M_Lock{"Component"};
  osal::Event M_StopEvent{true, false};
  std::map<std::string, AlertRecord> M_Alerts;
  std::map<std::string, int64_t> M_Counters;
  std::vector<util::Ref<SchedulerThread>> M_Schedulers;
  int M_ActiveServerCalls = 0;
  int M_ActiveClientCycles = 0;
  // Set while FinalConstruct runs: where SetProgress sends its notices.
  Connection* M_pProgressConn = nullptr;
};

// One caller inside a component: a new object serves each incoming call and each client
// cycle. Belongs to the thread that made it.
class ComponentThread : public util::SharedObject {
 public:
  ComponentThread();
  const char* ClassName() const override { return "ComponentThread"; }
  ~ComponentThread() override;
  // Prepares the object after it has been attached (base: success).
  virtual util::Result Init();
  // A truth-valued test for derived classes (base: false).
  virtual bool Test();
  // One client cycle: the wait in ms before the next one; negative ends the client thread
  // (base: -1).
  virtual int Run();
  // Called when the client thread ends (base: nothing).
  virtual void Exit();

  // Attaches the object to pComponent as a server (incoming call) or client: takes a
  // counted reference and a share of the component's configuration.
  util::Result AttachToComponent(Component* pComponent, bool bIsServer);
  // Enters the component (only while it runs) and sets M_bIsActive; Leave undoes it.
  bool EnterComponent();
  void LeaveComponent();
  // Dispatches through the component's table (see the free CallServerFunction).
  util::Result CallServerFunction(Connection* pConn, XmlParser* pFirstMessage);
  // Takes a second reference to the request connection, so that a handler can receive a
  // later message on it. Only while serving a call, once per call; a violation is an
  // assertion failure.
  util::Ref<Connection> TakeOverConnection(Connection* p_src_conn);

  util::Ref<Component> M_pComponent;  // the component served
  util::Ref<Configuration> M_config;  // its share of the component's configuration
  bool M_bIsServer = false;           // serves an incoming call rather than a client cycle
  bool M_bIsActive = false;           // inside the component
  bool M_b_conn_ptr_copied = false;   // the handler took over the request connection
  // Set by the dispatch once it has read the request's header: the request is then on its
  // function element, and these are the header's credentials (empty without).
  bool M_bRequestHeaderRead = false;
  util::Ref<XmlParser> M_pRequestCredentials;
};

}  // namespace velmora::xel
