// SchedulerThread: periodic in-process calls of a component's server function.
#include "xel/SchedulerThread.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "util/Trace.h"
#include "xel/ConnectionFifo.h"

namespace velmora::xel {

using util::Ref;
using util::Result;

namespace {
constexpr size_t kMaxAction = 100;
}  // namespace

SchedulerThread::SchedulerThread(Ref<Component> pComponent, Ref<Configuration> pConfig)
    : M_comp_ptr(std::move(pComponent)),
      M_pLock(M_comp_ptr ? &M_comp_ptr->GetLock() : nullptr),
      M_pConfig(std::move(pConfig)) {
  if (M_pConfig) M_Name = M_pConfig->GetString("name", "");
}

SchedulerThread::~SchedulerThread() = default;

Result SchedulerThread::Start() {
  XEL_ASSERT(M_comp_ptr.HasObject());
  Ref<SchedulerThread> self(this);  // the thread holds the object while it runs
  osal::Status s = M_Thread.Start(kThreadName, [self]() { self->Run(); });
  if (!s.ok()) {
    return Result::Fail(util::ErrResource, "Failed to start the scheduler thread '%s'",
                        M_Name.c_str());
  }
  return Result();
}

bool SchedulerThread::Join(uint32_t timeoutMs) {
  if (!M_Thread.Running()) return true;
  return M_Thread.Join(timeoutMs).ok();
}

std::string SchedulerThread::Action() const {
  osal::ScopedLock guard(*M_pLock);
  return M_Action;
}

Result SchedulerThread::TerminationReason() const {
  osal::ScopedLock guard(*M_pLock);
  return M_TerminationReason;
}

void SchedulerThread::SetAction(const char* fmt, ...) {
  char text[kMaxAction + 1];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  M_Action = text;
}

bool SchedulerThread::Pause(uint32_t ms) {
  // The stop event cuts a wait short: a stopping component gets no further calls anyway.
  return !M_comp_ptr->StopEvent().Wait(ms).ok();
}

void SchedulerThread::Run() {
  XEL_ASSERT(M_comp_ptr.HasObject());
  Component* pComp = M_comp_ptr.get();
  const int minRunLevel = M_pConfig->GetInt("min_run_level", 0);
  M_InsertXPath = M_pConfig->GetString("insert_last_response_xpath", "");
  XEL_TRACE_OBJ(this, util::General_10, "Scheduler thread for '%s'/'%s' started. (MinRunLevel=%i)",
                pComp->GetName().c_str(), M_Name.c_str(), minRunLevel);

  Result termination;
  int pending = static_cast<int>(kFirstDelayMs);
  do {
    const int delay = pending;
    pending = -1;
    try {
      bool bStopping = false;
      while (pComp->GetRunLevel() < minRunLevel) {
        {
          osal::ScopedLock guard(*M_pLock);
          M_MainState.store(MainState_WaitingRunLevel);
          M_bActive = false;
          SetAction("waiting for run-level %i (current level=%i)", minRunLevel,
                    pComp->GetRunLevel());
        }
        if (!Pause(kRunLevelPollMs)) {
          bStopping = true;
          break;
        }
      }
      if (bStopping) break;

      XEL_TRACE_OBJ(this, util::General_60, "Create scheduler request");
      Ref<XmlParser> pRequest = XmlParser::Create();
      Result r = M_pConfig->CopySubtree("request", *pRequest, 0);
      if (r.IsError()) {
        if (r.Category() == util::ErrObjNotExist) {
          XEL_TRACE_OBJ(this, util::General_40, "Waiting %ims", pending);
          break;
        }
        r.ThrowIfError();
      }
      pRequest->CloseAll().ThrowIfError();

      XEL_TRACE_OBJ(this, util::General_60, "Set running state, delay %ims", delay);
      {
        osal::ScopedLock guard(*M_pLock);
        if (!M_InsertXPath.empty() && M_pLastResponse) InsertLastResponse(*pRequest).ThrowIfError();
        XEL_TRACE_OBJ(this, util::General_60, "Component locked");
        M_MainState.store(MainState_Running);
        M_bActive = false;
        SetAction("waiting %i ms", delay);
      }
      if (delay > 0 && !Pause(static_cast<uint32_t>(delay))) break;

      Cycle(delay, &pending, &pRequest);
    } catch (const Result& thrown) {
      XEL_TRACE_OBJ(this, util::General_Error, "ClientThread failed with exception %s",
                    thrown.Text().c_str());
      termination = thrown;
      XEL_TRACE_OBJ(this, util::General_40, "Waiting %ims", pending);
    } catch (const std::bad_alloc&) {
      XEL_TRACE_OBJ(this, util::General_Error, "ClientThread failed with bad_alloc exception");
      termination =
          Result::Fail(util::ErrResource, "component failed with std::bad:alloc exception");
      XEL_TRACE_OBJ(this, util::General_40, "Waiting %ims", pending);
    }
  } while (pending >= 0);

  if (M_MainState.load() == MainState_Running) {
    osal::ScopedLock guard(*M_pLock);
    M_MainState.store(MainState_Stopped);
    M_TerminationReason = termination;
    M_bHasTerminationReason = true;
    SetAction("Scheduler has been stopped");
  }
  XEL_TRACE_OBJ(this, util::General_10, "Exit scheduler '%s'", M_Name.c_str());
  // Breaks the cycle component -> scheduler list -> scheduler -> component.
  M_comp_ptr.Reset();
}

void SchedulerThread::Cycle(int delayMs, int* pPendingDelay, Ref<XmlParser>* pRequest) {
  (void)delayMs;
  Ref<ComponentThread> pThread = Ref<ComponentThread>::Adopt(new ComponentThread());
  Ref<ConnectionFifo> pFifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  XEL_TRACE_OBJ(this, util::General_60, "InitComponentThread");
  pThread->AttachToComponent(M_comp_ptr.get(), true).ThrowIfError();
  XEL_TRACE_OBJ(this, util::General_60, "SetThreadState");
  if (pThread->EnterComponent()) {
    XEL_TRACE_OBJ(this, util::General_60, "FinalConstruct");
    if (pThread->Init().IsSuccess()) {
      XEL_TRACE_OBJ(this, util::General_60, "Set CallActive");
      {
        osal::ScopedLock guard(*M_pLock);
        M_bActive = true;
        SetAction("Calling Component");
      }
      XEL_TRACE_OBJ(this, util::General_40, "Calling component");
      (void)pThread->CallServerFunction(pFifo.get(), pRequest->get());
      XEL_TRACE_OBJ(this, util::General_60, "After call to component");

      Ref<XmlParser> pAnswer = XmlParser::Create();
      pAnswer->Receive(pFifo.get(), 0).ThrowIfError();
      // The answer is kept as the last response: it must not depend on the connection.
      pAnswer->GetMessage()->FetchAll().ThrowIfError();
      std::string kind;
      pAnswer->ReadHeader(nullptr, nullptr, nullptr, &kind, nullptr).ThrowIfError();
      XEL_TRACE_OBJ(this, util::General_20, "Scheduler '%s' returned %s", M_Name.c_str(),
                    kind.c_str());
      *pPendingDelay = M_pConfig->GetInt(("response_delay/" + kind).c_str(), -1);
      XEL_TRACE_OBJ(this, util::General_60, "Update Statistics (NextDelay=%i)", *pPendingDelay);
      (void)pAnswer->Rewind();
      osal::ScopedLock guard(*M_pLock);
      M_bActive = false;
      CountAnswer(kind);
      M_pLastResponse = pAnswer;
    }
  }
  pThread->LeaveComponent();
  pFifo->Close();
  XEL_TRACE_OBJ(this, util::General_40, "Waiting %ims", *pPendingDelay);
}

Result SchedulerThread::InsertLastResponse(XmlParser& request) {
  // Documents are written by appending, so the previous answer is spliced into the
  // request's token stream: as the last content of the element the path names.
  XmlParser cursor(request);
  Result r = cursor.MoveToPath("/Envelope/Body");
  if (r.IsSuccess()) r = cursor.MoveToPath(M_InsertXPath.c_str());
  if (r.IsSuccess()) r = cursor.SkipElement();
  if (r.IsError()) return r;
  const int format = request.GetDataFormat();
  int endTokenSize = 0;
  if (format == XmlParser::Format_Binary) {
    endTokenSize = 2;
  } else if (format == XmlParser::Format_Compact) {
    endTokenSize = 1;
  } else {
    return Result::Fail(util::ErrNotImplemented,
                        "insert_last_response_xpath needs a token-stream request (format %i)",
                        format);
  }
  Message* pLast = M_pLastResponse->GetMessage();
  r = pLast->FetchAll();
  if (r.IsError()) return r;
  std::vector<char> bytes(static_cast<size_t>(pLast->Size()));
  if (!bytes.empty()) {
    r = pLast->ReadExact(0, bytes.data(), static_cast<int32_t>(bytes.size()));
    if (r.IsError()) return r;
  }
  // Both streams start with the same three-byte stream header; only the tokens move.
  if (bytes.size() < 3 || bytes[0] != 0x02 || bytes[1] != static_cast<char>(format) ||
      bytes[2] != 0x00) {
    return Result::Fail(util::ErrWrongFormat,
                        "last response cannot be inserted: its data format differs");
  }
  return request.GetMessage()->Insert(cursor.GetPosition() - endTokenSize, bytes.data() + 3,
                                      static_cast<int32_t>(bytes.size() - 3));
}

void SchedulerThread::CountAnswer(const std::string& kind) {
  bool bFound = false;
  for (auto& [name, count] : M_StatisticsCounts) {
    if (name == kind) {
      ++count;
      bFound = true;
    }
  }
  if (!bFound) M_StatisticsCounts.emplace_back(kind, 1);
  // The statistics document is rebuilt from the counts: a document is written by
  // appending, and rewriting it keeps its form (one child per kind, in order of arrival).
  Ref<XmlParser> pStats = XmlParser::Create();
  Result r = pStats->OpenElement(0, "Statistics");
  for (const auto& [name, count] : M_StatisticsCounts) {
    if (r.IsError()) break;
    char text[16];
    std::snprintf(text, sizeof(text), "%i", count);
    r = pStats->WriteElement(-1, name.c_str(), text);
  }
  if (r.IsSuccess()) r = pStats->CloseAll();
  if (r.IsSuccess()) M_pStatistics = pStats;
  r.LogIfError(util::General_Error, "%s", "Update Statistics");
}

namespace {
// Copies the root element of source (with its content) to doc's position.
Result CopyRoot(const XmlParser& source, XmlParser& doc) {
  XmlParser cursor(source);
  Result r = cursor.Rewind();
  while (r.IsSuccess() && cursor.GetNodeType() != XmlParser::Node_ElementStart) {
    r = cursor.NextToken();
  }
  if (r.IsSuccess()) r = doc.CopySubtree(cursor, 1);
  return r;
}
}  // namespace

Result SchedulerThread::WriteStatus(XmlParser& doc) {
  if (M_MainState.load() == MainState_Constructed) return Result();
  Result r = doc.OpenElement(-1, "Scheduler");
  if (r.IsSuccess() && !M_Name.empty()) r = doc.WriteElement(-1, "Name", M_Name.c_str());
  if (r.IsSuccess()) r = doc.WriteElementInt(-1, "MainState", M_MainState.load());
  if (r.IsSuccess()) r = doc.WriteElementInt(-1, "Active", M_bActive ? 1 : 0);
  if (r.IsSuccess()) r = doc.WriteElement(-1, "Action", M_Action.c_str());
  if (r.IsSuccess() && M_bHasTerminationReason) {
    r = doc.WriteElement(-1, "TerminationReason", M_TerminationReason.Text().c_str());
  }
  if (r.IsSuccess() && M_pStatistics) r = CopyRoot(*M_pStatistics, doc);
  if (r.IsSuccess() && M_pLastResponse) {
    r = doc.OpenElement(-1, "LastResponse");
    if (r.IsSuccess()) r = CopyRoot(*M_pLastResponse, doc);
    if (r.IsSuccess()) r = doc.CloseElement();
  }
  if (r.IsSuccess()) r = doc.CloseElement();
  return r;
}

}  // namespace velmora::xel
