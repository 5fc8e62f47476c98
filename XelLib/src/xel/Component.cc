// Component, ComponentInfo (the registry) and the dispatch of requests through a
// server-function table.
#include "xel/Component.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "osal/System.h"
#include "osal/Thread.h"
#include "util/Trace.h"
#include "xel/MessageBlock.h"
#include "xel/SchedulerThread.h"

namespace velmora::xel {

using util::Ref;
using util::Result;

namespace {

// The registry's head. Constant-initialised, so descriptions constructed during static
// initialisation of any translation unit find it ready.
constinit ComponentInfo* g_pFirstInfo = nullptr;

constexpr size_t kMaxAlertMsg = 255;
constexpr size_t kMaxInfo = 99;
constexpr size_t kMaxProgressText = 255;

std::string FormatV(size_t limit, const char* fmt, va_list args) {
  if (!fmt) return std::string();
  std::string out(limit + 1, '\0');
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(out.data(), out.size(), fmt, copy);
  va_end(copy);
  if (n < 0) n = 0;
  out.resize(std::min(static_cast<size_t>(n), limit));
  return out;
}

}  // namespace

const char* AlertLevelName(int level) {
  switch (level) {
    case AlertLevel_Unknown:
      return "unknown";
    case AlertLevel_Green:
      return "green";
    case AlertLevel_Gray:
      return "gray";
    case AlertLevel_Yellow:
      return "yellow";
    case AlertLevel_Red:
      return "red";
    case AlertLevel_Black:
      return "black";
    default:
      return "invalid";
  }
}

// --- ComponentInfo ---------------------------------------------------------------------

ComponentInfo::ComponentInfo() : M_pNext(g_pFirstInfo) { g_pFirstInfo = this; }

ComponentInfo::~ComponentInfo() {
  for (ComponentInfo** pp = &g_pFirstInfo; *pp; pp = &(*pp)->M_pNext) {
    if (*pp == this) {
      *pp = M_pNext;
      break;
    }
  }
}

const char* ComponentInfo::Name() const { return ""; }
const char* ComponentInfo::Version() const { return ""; }
const ServerFunctionEntry* ComponentInfo::FunctionList() const { return nullptr; }
Component* ComponentInfo::CreateComponent() const { return new (std::nothrow) Component(); }
ComponentThread* ComponentInfo::CreateServerThread() const {
  return new (std::nothrow) ComponentThread();
}
ComponentThread* ComponentInfo::CreateClientThread() const {
  return new (std::nothrow) ComponentThread();
}

ComponentInfo* ComponentInfo::First() { return g_pFirstInfo; }

ComponentInfo* ComponentInfo::Find(const char* name) {
  if (!name) return nullptr;
  for (ComponentInfo* p = g_pFirstInfo; p; p = p->Next()) {
    const char* n = p->Name();
    if (n && std::strcmp(n, name) == 0) return p;
  }
  return nullptr;
}

// --- Component -------------------------------------------------------------------------

Component::Component() = default;

Component::~Component() = default;

Result Component::FinalConstruct() { return Result(); }

void Component::OnShutdown() {}

std::string Component::GetInfo() const {
  osal::ScopedLock guard(M_Lock);
  return M_Info;
}

std::vector<Ref<SchedulerThread>> Component::Schedulers() const {
  osal::ScopedLock guard(M_Lock);
  return M_Schedulers;
}

void Component::SetProgress(int percent, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string text = FormatV(kMaxProgressText, fmt, args);
  va_end(args);
  XEL_TRACE("Component", util::General_20, "SetProgress: %i%% compl, info=%s", percent,
            text.c_str());
  osal::ScopedLock guard(M_Lock);
  M_Info = text.substr(0, kMaxInfo);
  if (!M_pProgressConn) {
    XEL_TRACE("Component", util::General_Error,
              "ERROR: SetProgress is called outside Component::FinalConstruct()");
    return;
  }
  XmlParser notice;
  Result r = notice.BeginMessage(XmlParser::MsgType_Notice, nullptr, nullptr, "CallProgress",
                                 kNsXelMessage);
  if (r.IsSuccess()) r = notice.WriteElementInt(-1, "PercentCompleted", percent);
  if (r.IsSuccess()) r = notice.WriteElement(-1, "Info", text.c_str());
  // A notice is no answer: the start request still gets its answer from the dispatcher,
  // which takes a sent message as the handler's own answer.
  const bool bWasSent = M_pProgressConn->IsMessageSent();
  if (r.IsSuccess()) r = notice.Send(M_pProgressConn, 10000);
  M_pProgressConn->SetMessageSent(bWasSent);
  r.LogIfError(util::General_Error, "%s", "SendProcessMsg");
}

void Component::Alert(const char* utf_alert_name, int level, int32_t id, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  AlertV(utf_alert_name, level, id, fmt, args);
  va_end(args);
}

void Component::AlertV(const char* utf_alert_name, int level, int32_t id, const char* fmt,
                       va_list args) {
  XEL_ASSERT(utf_alert_name != 0);
  constexpr int UnknownLevel = AlertLevel_Unknown;
  XEL_ASSERT(level != UnknownLevel);
  const std::string message = FormatV(kMaxAlertMsg, fmt, args);
  bool bChanged = false;
  {
    osal::ScopedLock guard(M_Lock);
    auto it = M_Alerts.find(utf_alert_name);
    if (it == M_Alerts.end()) {
      it = M_Alerts.emplace(utf_alert_name, AlertRecord{}).first;
      it->second.M_Name = utf_alert_name;
      bChanged = true;
    } else if (it->second.M_Level != level) {
      bChanged = true;
    }
    if (id == -1) bChanged = false;
    it->second.M_LastMsg = message;
    it->second.M_LastId = id;
    it->second.M_Level = level;
  }
  if (util::IsTraceEnabled(util::AlertWithoutMsg) ||
      (bChanged && util::IsTraceEnabled(util::LogMessages))) {
    // A record of its own kind, so that the platform's trace tools can pick alerts out.
    util::LogRecord record;
    record.channel = util::LogChannelTrace;
    record.message_id = 1;
    record.format = bChanged ? "AlertMsg" : "AlertNoMsg";
    record.AddText(utf_alert_name);
    record.AddText(AlertLevelName(level));
    record.AddInt(id);
    record.AddText(message.c_str());
    util::WriteLogRecord(record);
  }
  if (bChanged) {
    char origin[64];
    std::snprintf(origin, sizeof(origin), "Tirzel %i/%i",
                  static_cast<int>(osal::CurrentProcessId()),
                  static_cast<int>(osal::CurrentThreadId()));
    const char* texts[4] = {M_SolutionShortName.c_str(), M_Name.c_str(), utf_alert_name, origin};
    util::LogEvent(static_cast<uint32_t>(id), texts, 4, "%s", message.c_str());
  }
}

bool Component::GetAlert(const std::string& name, AlertRecord* pRecord) const {
  osal::ScopedLock guard(M_Lock);
  auto it = M_Alerts.find(name);
  if (it == M_Alerts.end()) return false;
  if (pRecord) *pRecord = it->second;
  return true;
}

void Component::SetCounter(const std::string& name, int64_t value) {
  osal::ScopedLock guard(M_Lock);
  M_Counters[name] = value;
}

bool Component::GetCounter(const std::string& name, int64_t* pValue) const {
  osal::ScopedLock guard(M_Lock);
  auto it = M_Counters.find(name);
  if (it == M_Counters.end()) return false;
  if (pValue) *pValue = it->second;
  return true;
}

int64_t Component::AddToCounter(const std::string& name, int64_t delta, int64_t initial) {
  osal::ScopedLock guard(M_Lock);
  auto it = M_Counters.find(name);
  if (it == M_Counters.end()) it = M_Counters.emplace(name, initial).first;
  it->second += delta;
  return it->second;
}

bool Component::Enter(bool bIsServer) {
  osal::ScopedLock guard(M_Lock);
  if (GetState() != State_Running) return false;
  if (bIsServer)
    ++M_ActiveServerCalls;
  else
    ++M_ActiveClientCycles;
  return true;
}

void Component::Leave(bool bIsServer) {
  osal::ScopedLock guard(M_Lock);
  if (bIsServer)
    --M_ActiveServerCalls;
  else
    --M_ActiveClientCycles;
}

int Component::ActiveServerCalls() const {
  osal::ScopedLock guard(M_Lock);
  return M_ActiveServerCalls;
}

int Component::ActiveClientCycles() const {
  osal::ScopedLock guard(M_Lock);
  return M_ActiveClientCycles;
}

Result Component::WriteStatusReport(XmlParser& doc) {
  osal::ScopedLock guard(M_Lock);
  Result r = doc.WriteElementInt(-1, "ProcessId", static_cast<int32_t>(osal::CurrentProcessId()));
  if (r.IsSuccess()) r = doc.WriteElement(-1, "Info", M_Info.c_str());
  for (const Ref<SchedulerThread>& s : M_Schedulers) {
    if (r.IsError()) break;
    r = s->WriteStatus(doc);
  }
  if (r.IsSuccess() && !M_Alerts.empty()) {
    r = doc.OpenElement(-1, "Alerts");
    if (r.IsSuccess()) {
      r = doc.WriteElementInt(-1, "NumberOfAlerts", static_cast<int32_t>(M_Alerts.size()));
    }
    for (const auto& [name, alert] : M_Alerts) {
      if (r.IsError()) break;
      r = doc.OpenElement(-1, "Alert");
      if (r.IsSuccess()) r = doc.WriteAttribute(0, "name", name.c_str());
      if (r.IsSuccess()) r = doc.WriteElement(-1, "Level", AlertLevelName(alert.M_Level));
      if (r.IsSuccess()) r = doc.WriteElementInt(-1, "LastId", alert.M_LastId);
      if (r.IsSuccess()) r = doc.WriteElement(-1, "LastMsg", alert.M_LastMsg.c_str());
      if (r.IsSuccess()) r = doc.CloseElement();
    }
    if (r.IsSuccess()) r = doc.CloseElement();
  }
  if (r.IsSuccess() && !M_Counters.empty()) {
    r = doc.OpenElement(-1, "Counters");
    for (const auto& [name, value] : M_Counters) {
      if (r.IsError()) break;
      r = doc.WriteElementInt64(-1, name.c_str(), value);
    }
    if (r.IsSuccess()) r = doc.CloseElement();
  }
  if (r.IsSuccess()) r = doc.OpenElement(-1, "Resources");
  if (r.IsSuccess()) r = doc.WriteElementInt(-1, "Objects", util::SharedObject::LiveObjects());
  if (r.IsSuccess()) {
    r = doc.WriteElementInt(-1, "AdditionalRefs", util::SharedObject::AdditionalRefs());
  }
  if (r.IsSuccess()) r = doc.WriteElementInt(-1, "Handles", util::HandleObject::UsedHandles());
  if (r.IsSuccess()) r = doc.WriteElementInt(-1, "MsgBlocks", MessageBlock::LiveBlocks());
  if (r.IsSuccess()) r = doc.CloseElement();
  return r;
}

// --- Dispatch --------------------------------------------------------------------------

Result CallServerFunction(const ServerFunctionEntry* pFunList, ComponentThread* pThread,
                          Connection* pConn, XmlParser* pFirstMessage, const char* category) {
  // The reference an incoming message holds while it still fetches blocks from the
  // connection comes and goes on its own; only the handler's references are compared.
  auto handlerRefs = [pConn]() { return pConn->RefCount() - (pConn->IsInUseAsSource() ? 1 : 0); };
  const int refsBefore = pConn ? handlerRefs() : 0;
  if (pConn) {
    pConn->SetAnswered(false);
    pConn->SetMessageSent(false);
  }
  XEL_ASSERT(pFunList != 0);
  const char* cat = category ? category : "Component";

  int type = XmlParser::MsgType_None;
  std::string function, qualifier;
  const ServerFunctionEntry* row = nullptr;
  util::Ref<XmlParser> credentials;
  Result header =
      pFirstMessage ? pFirstMessage->ReadHeader(&type, nullptr, &credentials, &function, &qualifier)
                    : Result::Fail(util::ErrLogicArgs, "no request message");
  if (pThread) {
    pThread->M_bRequestHeaderRead = header.IsSuccess();
    pThread->M_pRequestCredentials = credentials;
  }
  if (header.IsSuccess()) {
    XEL_TRACE(cat, util::General_Info, "Call Function %s", function.c_str());
    for (row = pFunList; row->name; ++row) {
      if (function == row->name && (!row->qualifier || qualifier == row->qualifier)) break;
    }
  } else {
    // An unreadable envelope is refused like an unknown function.
    function.clear();
  }

  Result result;
  if (!row || !row->name || !row->handler) {
    result = Result::Fail(util::ErrLogicArgs, "Function %s not supported", function.c_str());
  } else {
    try {
      result = row->handler(pThread, pConn, pFirstMessage);
    } catch (const Result& thrown) {
      result = thrown;
    } catch (const std::bad_alloc&) {
      result = Result::Fail(util::ErrResource, "server function %s failed with bad_alloc",
                            function.c_str());
    }
  }

  if (pConn && pConn->IsMessageSent()) pConn->SetAnswered(true);
  if (type == XmlParser::MsgType_Request && pConn && !pConn->IsAnswered()) {
    XmlParser answer;
    XEL_TRACE(cat, util::General_Info, "Return Result %s", result.Text().c_str());
    Result w = answer.WriteAnswer(result);
    w.KeepWorse(answer.CloseAll());
    if (w.IsSuccess()) w = answer.Send(pConn, 10000);
    if (w.IsSuccess()) pConn->SetAnswered(true);
    w.LogIfError(util::General_Error, "%s", "CallServerFunction send answer");
  }

  const int refsAfter = pConn ? handlerRefs() : 0;
  if (refsAfter != refsBefore && (!pThread || !pThread->M_b_conn_ptr_copied)) {
    char diag[256];
    std::snprintf(diag, sizeof(diag),
                  "Bad reference count %i != %i of connection after return from server "
                  "function %s",
                  refsAfter, refsBefore, function.c_str());
    XEL_TRACE(cat, util::General_Error,
              "Bad reference count %i != %i of connection after return from server function %s",
              refsAfter, refsBefore, function.c_str());
    XEL_ASSERT_DIAG(refsAfter == refsBefore, diag);
  }
  XEL_TRACE(cat, util::General_Info, "End of CallServerFunction");
  return result;
}

}  // namespace velmora::xel
