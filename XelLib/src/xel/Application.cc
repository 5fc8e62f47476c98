// Application: the plug-in entry, the application loop serving the master, the application
// functions ("returnOk", "start", "stop", "GetState", "terminate") and the receive hook.
#include "xel/Application.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"
#include "util/LogBuffer.h"
#include "util/Trace.h"
#include "xel/ConnectionPtp.h"
#include "xel/DataLinkIpc.h"
#include "xel/PluginApi.h"
#include "xel/SchedulerThread.h"
#include "xel/ServerThread.h"
#include "xel/Switch.h"

namespace velmora::xel {

using util::Ref;
using util::Result;

namespace {

constexpr const char* kCategory = "Application";
// The component's configuration names the file that holds the key of encrypted values.
constexpr const char* kKeyFileSetting =
    "Process/ComponentList/Component[1]/Code/*/Encryption/KeyFile";

// Process-wide state of the runtime.
std::atomic<uint32_t> g_hRunningComponent{0};
std::atomic<bool> g_bStopRequested{false};
// Serialises "start" and "stop" (they normally come one by one from the master anyway).
osal::Lock& StartStopLock() {
  static osal::Lock* lock = new osal::Lock("Application");  // never destroyed
  return *lock;
}

const ServerFunctionEntry kApplicationFunctions[] = {
    {nullptr, "returnOk", &Application::FnReturnOk},
    {nullptr, "start", &Application::FnStart},
    {nullptr, "stop", &Application::FnStop},
    {nullptr, "GetState", &Application::FnGetState},
    {nullptr, "terminate", &Application::FnTerminate},
    {nullptr, nullptr, nullptr},
};

const ServerFunctionEntry kIdleFunctions[] = {
    {nullptr, "returnOk", &Application::FnReturnOk},
    {nullptr, nullptr, nullptr},
};

// One client thread: repeats cycles of a fresh client-thread object until its run asks to
// end, its initialisation fails or the component no longer runs.
void ClientThreadLoop(const Ref<Component>& pComponent) {
  ComponentInfo* pInfo = pComponent->GetComponentInfo();
  for (;;) {
    Ref<ComponentThread> pThread = Ref<ComponentThread>::Adopt(pInfo->CreateClientThread());
    if (!pThread) break;
    if (pThread->AttachToComponent(pComponent.get(), false).IsError()) break;
    if (!pThread->EnterComponent()) break;
    int waitMs = -1;
    try {
      Result r = pThread->Init();
      if (r.IsSuccess()) waitMs = pThread->Run();
    } catch (const Result& thrown) {
      XEL_TRACE_OBJ(pComponent.get(), util::General_Error, "ClientThread failed with exception %s",
                    thrown.Text().c_str());
      waitMs = -1;
    }
    if (waitMs >= 0) (void)pComponent->StopEvent().Wait(static_cast<uint32_t>(waitMs));
    pThread->LeaveComponent();
    if (waitMs < 0) {
      pThread->Exit();
      break;
    }
  }
}

// The folder against which relative XInclude hrefs in the configuration subtrees of a
// "start" request are resolved: "IncludeBase" of the process description when the request
// names one (a relative one is taken from the working directory), else the working
// directory of this process. Hrefs inside an included file are resolved against that file's
// own folder (Configuration::ResolveIncludes).
std::string StartIncludeBase(const Configuration& process) {
  std::string base = process.GetString("IncludeBase", "");
  if (base.empty()) (void)osal::GetWorkingDirectory(&base);
  return base;
}

// Undoes a half-made start: the new component leaves the handle table.
struct StartGuard {
  Ref<Component> pComponent;
  bool bKeep = false;
  ~StartGuard() {
    if (pComponent && !bKeep && pComponent->GetHandle() != 0) pComponent->InvalidateHandle();
  }
};

}  // namespace

// --- Entry -----------------------------------------------------------------------------

int32_t Application::Entry(int32_t argc, const char* const* argv) {
  bool bTraceKeyOpened = false;
  if (argc > 1 && argv && argv[1]) {
    const std::string arg1 = argv[1];
    const size_t underscore = arg1.find('_');
    if (underscore != std::string::npos) {
      const std::string key = arg1.substr(0, underscore);
      const std::string suffix = arg1.substr(underscore + 1);
      Result r = util::OpenTraceKey(key);
      if (r.IsError()) {
        const std::string err = r.Text();
        std::printf("Failed to open Trace Key %s Err=%s\n", key.c_str(), err.c_str());
        // The temporary folder as the platform names it, with a separator to append to.
        std::string path = osal::ExpandEnvironment("%TMP%");
        if (path.empty() || (path.back() != '/' && path.back() != '\\')) path += '/';
        char name[256];
        std::snprintf(name, sizeof(name), "Ostrel_Tirzel%1.10s.log", suffix.c_str());
        path += name;
        if (path.size() > 255) path.resize(255);
        std::printf("Use trace file: %s\n", path.c_str());
        std::fflush(stdout);
        util::SetTraceFile(path);
        util::TraceUnconditional("Failed to open Trace Key %s, Err=%s", key.c_str(), err.c_str());
      } else {
        bTraceKeyOpened = true;
      }
      util::TraceUnconditional("Sub-Process is running. Key=%s", argv[1]);
    }
  }

  const int32_t result = Run(argc, argv);

  if (bTraceKeyOpened) {
    if (osal::LiveThreadCount() != 0) {
      XEL_TRACE(kCategory, util::General_10, "Component terminated. (Thread-count=%i) waiting...",
                osal::LiveThreadCount());
      for (uint32_t waited = 0; waited < kExitWaitMs && osal::LiveThreadCount() != 0;
           waited += kExitWaitStepMs) {
        osal::SleepMs(kExitWaitStepMs);
      }
    }
    XEL_TRACE(kCategory, util::General_10, "Component terminated. (Thread-count=%i)",
              osal::LiveThreadCount());
    if (util::IsTraceEnabled(util::General_20)) util::ListActiveThreads(10);
    util::CloseTraceKey();
  }
  return result;
}

// --- Application run -------------------------------------------------------------------

int32_t Application::Run(int32_t argc, const char* const* argv) {
  if (argc > 2 && argv && argv[2]) util::SetMasterTraceLevel(std::atoi(argv[2]));
  // Whatever the plug-in reads (requests, its configuration, files) yields encrypted content
  // decrypted.
  XmlParser::SetDecryptionDefault(true);
  XEL_TRACE(kCategory, util::General_10, "Starting XEL Application");
  g_hRunningComponent.store(0);
  g_bStopRequested.store(false);

  int diag = 0;
  Ref<DataLinkIpc> pLink;
  try {
    if (argc > 1 && argv && argv[1]) {
      ++diag;  // 1: the link to the master
      pLink = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
      Switch::AttachLink(pLink.get());
      pLink->Connect(argv[1], false, 0, kLinkBufferSize, kLinkBufferSize).ThrowIfError();

      ++diag;  // 2: the master's end point and the receive hook
      Ref<ConnectionPtp> pMaster = Ref<ConnectionPtp>::Adopt(new ConnectionPtp());
      pMaster->Connect(pLink->GetHandle()).ThrowIfError();
      ServerThread::SetServerFunction(&Application::ReceiveHook);

      ++diag;  // 3: the greeting opens the conversation with the master
      {
        XmlParser greeting;
        Result r = greeting.BeginMessage(XmlParser::MsgType_Notice, nullptr, nullptr, "Greeting",
                                         kNsXelMaster);
        if (r.IsSuccess()) {
          r = greeting.WriteElementInt(-1, "ProcessId",
                                       static_cast<int32_t>(osal::CurrentProcessId()));
        }
        if (r.IsSuccess()) r = greeting.Send(pMaster.get(), kAnswerTimeoutMs);
        r.ThrowIfError();
      }

      ++diag;  // 4: serve the master until "terminate"
      while (!g_bStopRequested.load()) {
        XmlParser request;
        request.Receive(pMaster.get(), kReceiveTimeoutMs).ThrowIfError();
        (void)CallServerFunction(pMaster.get(), &request);
      }

      ++diag;  // 5: leave
      XEL_TRACE(kCategory, util::General_10, "Stopping XEL Application");
      ServerThread::SetServerFunction(nullptr);
      pMaster->Disconnect();
      // Calls still being served finish before the link goes.
      (void)ServerThread::WaitAllEnded(kLinkCloseMs);
    }
    if (pLink) pLink->Close(kLinkCloseMs);
    return 0;
  } catch (const Result& failure) {
    util::TraceUnconditional("ERROR: Application failed. (diag=%i, res=%s)", diag,
                             failure.Text().c_str());
  } catch (const std::bad_alloc&) {
    util::TraceUnconditional("ERROR: Application failed. (diag=%i, res=%s)", diag, "out of memory");
  }
  ServerThread::SetServerFunction(nullptr);
  if (pLink) pLink->Close(kLinkCloseMs);
  // The closed link ends the calls still being served; no server thread may outlive the
  // caller's unloading of this code.
  (void)ServerThread::WaitAllEnded(kLinkCloseMs);
  return -1;
}

// --- Tables, dispatch and the receive hook ---------------------------------------------

const ServerFunctionEntry* Application::FunctionList() { return kApplicationFunctions; }
const ServerFunctionEntry* Application::IdleFunctionList() { return kIdleFunctions; }

Result Application::CallServerFunction(Connection* pConn, XmlParser* pFirstMessage) {
  return xel::CallServerFunction(kApplicationFunctions, nullptr, pConn, pFirstMessage, kCategory);
}

void Application::ReceiveHook(Connection* pConn, Message* pFirstMessage) {
  XmlParser request{Ref<Message>(pFirstMessage)};
  Ref<Component> pComponent = RunningComponent();
  if (!pComponent) {
    (void)xel::CallServerFunction(kIdleFunctions, nullptr, pConn, &request, kCategory);
    return;
  }
  ComponentInfo* pInfo = pComponent->GetComponentInfo();
  Ref<ComponentThread> pThread =
      Ref<ComponentThread>::Adopt(pInfo ? pInfo->CreateServerThread() : nullptr);
  if (!pThread) return;
  Result r = pThread->AttachToComponent(pComponent.get(), true);
  if (r.IsSuccess()) r = pThread->Init();
  if (r.IsError()) {
    XEL_TRACE(kCategory, util::General_Error, "Server thread could not be prepared: %s",
              r.Text().c_str());
    return;
  }
  // A component that is not running (any more) serves nothing and answers nothing.
  if (!pThread->EnterComponent()) return;
  (void)pThread->CallServerFunction(pConn, &request);
  pThread->LeaveComponent();
}

Ref<Component> Application::RunningComponent() {
  const uint32_t h = g_hRunningComponent.load();
  if (h == 0) return Ref<Component>();
  return util::HandleObject::Lookup<Component>(h);
}

bool Application::IsStopRequested() { return g_bStopRequested.load(); }

// --- Application functions -------------------------------------------------------------

Result Application::FnReturnOk(ComponentThread*, Connection*, XmlParser*) { return Result(); }

Result Application::FnStart(ComponentThread*, Connection* pConn, XmlParser* pMsg) {
  osal::ScopedLock guard(StartStopLock());
  return StartComponent(pConn, pMsg);
}

Result Application::StartComponent(Connection* pConn, XmlParser* pMsg) {
  XEL_TRACE(kCategory, util::General_20, "Starting Component");
  if (RunningComponent()) {
    return Result::Fail(util::ErrObjExist, "The component has been already started");
  }

  std::string codeName;
  {
    XmlParser cursor(*pMsg);
    if (cursor.MoveToPath("Process/ComponentList/Component[1]/Code/*").IsSuccess()) {
      codeName = cursor.GetLocalName();
    }
  }
  XEL_TRACE("XELC", util::XELC_Startup, "  CodeName=%s", codeName.c_str());

  ComponentInfo* pInfo = ComponentInfo::Find(codeName.c_str());
  if (!pInfo)
    return Result::Fail(util::ErrObjNotExist, "Component %s does not exist", codeName.c_str());

  StartGuard start;
  start.pComponent = Ref<Component>::Adopt(pInfo->CreateComponent());
  Component* pComp = start.pComponent.get();
  if (!pComp || pComp->MakeHandle() == 0) {
    return Result::Fail(util::ErrResource, "Failed to create a Handle for the component");
  }
  pComp->M_pComponentInfo = pInfo;

  std::string solution;
  if (pMsg->ReadStringAtPath("SolutionShortName", &solution, 100).IsSuccess()) {
    pComp->M_SolutionShortName = solution;
  }
  int32_t masterPid = 0;
  Result pidResult = pMsg->ReadIntAtPath("ProcessIdOfMaster", &masterPid);
  if (pidResult.IsSuccess()) {
    pComp->M_MasterProcessId = masterPid;
  } else {
    pidResult.LogIfError(util::General_Error, "%s", "Failed to get PID of master");
  }
  XEL_TRACE(kCategory, util::General_20, "Application Name=%s", solution.c_str());

  // Encrypted values are decrypted while the configuration is copied below, with the key of
  // the key file that the component's configuration names.
  Result keyResult = Configuration::LoadDecryptionKey(*pMsg, kKeyFileSetting);
  if (keyResult.IsError()) return keyResult;

  Ref<Configuration> pRequest = Configuration::FromDocument(pMsg->Clone());
  Ref<Configuration> pProcess = pRequest->SubConfig("Process");  // the process description

  Result result;
  {
    // Both subtrees may pull in further files; they are resolved here, before the component
    // reads a key, and a file that cannot be read or parsed ends the start.
    const std::string includeBase = StartIncludeBase(*pProcess);
    Ref<Configuration> pCode = pRequest->SubConfig("Process/ComponentList/Component[1]/Code/*");
    pComp->M_config = Ref<Configuration>::Adopt(new Configuration());
    result = pComp->M_config->MakeStandaloneCopy(*pCode);
    if (result.IsSuccess()) result.KeepWorse(pComp->M_config->ResolveIncludes(includeBase));
    if (result.IsError()) return result;
    Ref<Configuration> pCommon = pRequest->SubConfig("Process/ComponentList/Component[1]/Common");
    pComp->M_Frameworkconfig = Ref<Configuration>::Adopt(new Configuration());
    result.KeepWorse(pComp->M_Frameworkconfig->MakeStandaloneCopy(*pCommon));
    if (result.IsSuccess()) {
      result.KeepWorse(pComp->M_Frameworkconfig->ResolveIncludes(includeBase));
    }
    if (result.IsError()) return result;
  }
  const int clientThreads = pComp->M_Frameworkconfig->GetInt("Threads/Client/Min", 1);
  pComp->M_Name = pComp->M_Frameworkconfig->GetString("Name", "UnknownName");

  {
    osal::ScopedLock lock(pComp->GetLock());
    pComp->M_pProgressConn = pConn;
  }
  Result constructed;
  try {
    constructed = pComp->FinalConstruct();
  } catch (const Result& thrown) {
    constructed = thrown;
  }
  {
    osal::ScopedLock lock(pComp->GetLock());
    pComp->M_pProgressConn = nullptr;
  }
  result.KeepWorse(constructed);
  if (result.IsError()) return result;

  start.bKeep = true;
  g_hRunningComponent.store(pComp->GetHandle());
  pComp->SetState(Component::State_Running);
  StartClientThreads(start.pComponent, clientThreads);
  result.KeepWorse(StartSchedulers(start.pComponent));
  return result;
}

void Application::StartClientThreads(const Ref<Component>& pComponent, int count) {
  for (int i = 0; i < count; ++i) {
    // The thread runs detached; its body holds the component until it ends.
    osal::OsThread thread;
    osal::Status s = thread.Start("XELC Client", [pComponent]() { ClientThreadLoop(pComponent); });
    if (!s.ok()) {
      XEL_TRACE(kCategory, util::General_Error, "Failed to start client thread %i", i);
      break;
    }
  }
}

Result Application::StartSchedulers(const Ref<Component>& pComponent) {
  const Ref<Configuration>& config = pComponent->Config();
  bool bPreviousFound = true;
  for (int i = 0;; ++i) {
    if (i >= 2 && !bPreviousFound) break;
    char path[128];
    if (i == 0) {
      std::snprintf(path, sizeof(path), "schedule");
    } else {
      std::snprintf(path, sizeof(path), "Schedulers/schedule[%i]", i);
    }
    bPreviousFound = config->Exists(path);
    if (!bPreviousFound) continue;
    Ref<SchedulerThread> pScheduler =
        Ref<SchedulerThread>::Adopt(new SchedulerThread(pComponent, config->SubConfig("%s", path)));
    {
      osal::ScopedLock lock(pComponent->GetLock());
      pComponent->M_Schedulers.push_back(pScheduler);
    }
    XEL_TRACE(kCategory, util::General_40, "Starting schedular (%i) thread", i);
    Result r = pScheduler->Start();
    if (r.IsError()) return r;
  }
  return Result();
}

Result Application::FnStop(ComponentThread*, Connection*, XmlParser*) {
  osal::ScopedLock guard(StartStopLock());
  XEL_TRACE("XELC", util::XELC_Startup, "Stop Component");
  Ref<Component> pComp = RunningComponent();
  if (pComp && pComp->GetState() == Component::State_Running) {
    pComp->SetState(Component::State_Stopping);
    pComp->StopEvent().Set();
    XEL_TRACE(kCategory, util::General_20, "Before Component::OnShutdown() Event %x set",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(&pComp->StopEvent())));
    pComp->OnShutdown();
    XEL_TRACE("XELC", util::XELC_Startup,
              "After Component::OnShutdown() CompRefs=%i, Objects=%i, Threads=%i",
              pComp->RefCount(), util::SharedObject::LiveObjects(), osal::LiveThreadCount());
  }
  if (pComp && pComp->GetHandle() != 0) pComp->InvalidateHandle();
  g_hRunningComponent.store(0);
  return Result();
}

Result Application::FnGetState(ComponentThread*, Connection* pConn, XmlParser* pMsg) {
  XmlParser answer;
  Result r = answer.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr, "ComponentInfo",
                                 kNsXelMaster);
  Ref<Component> pComp = RunningComponent();
  if (r.IsSuccess() && pComp) {
    int32_t runLevel = 0;
    Result level =
        pMsg ? pMsg->ReadIntAtPath("RunLevel", &runLevel) : Result::Fail(util::ErrObjNotExist);
    if (level.IsSuccess()) {
      pComp->SetRunLevel(runLevel);
    } else {
      level.LogIfError(util::General_Error, "%s", "missing run-level - update master");
    }
    r = pComp->WriteStatusReport(answer);
  }
  r.ThrowIfError();
  answer.Send(pConn, kAnswerTimeoutMs).ThrowIfError();
  return Result();
}

Result Application::FnTerminate(ComponentThread*, Connection*, XmlParser*) {
  XEL_TRACE(kCategory, util::General_10, "Terminate Application");
  g_bStopRequested.store(true);
  return Result();
}

// --- The exported entry ----------------------------------------------------------------

namespace PluginApi {
extern "C" XEL_EXPORT int32_t XelEvent(XelEventReason reason, int32_t argc, const char* const* argv,
                                       ParBuffer* pParBuffer) {
  (void)reason;
  (void)pParBuffer;
  return Application::Entry(argc, argv);
}
}  // namespace PluginApi

}  // namespace velmora::xel
