// SchedulerThread: the runtime's own client of a component, calling one of its server
// functions periodically as a schedule in the component's configuration describes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "osal/Thread.h"
#include "util/Result.h"
#include "util/SharedObject.h"
#include "xel/Component.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

namespace velmora::xel {

// One schedule: builds its request from the configuration, calls the component in-process
// through a FIFO connection, counts the answers by kind and waits the delay configured for
// the answer's kind ("response_delay/<kind>", negative or missing ends the thread). The
// status fields (main state, active flag, action, termination reason, statistics and last
// response) change only under the component's lock; WriteStatus must be called with it
// held. The thread holds the component only while it runs, so a component that owns its
// schedulers is released once they have ended.
class SchedulerThread : public util::SharedObject {
 public:
  static constexpr const char* kThreadName = "XELC Sceduler";
  static constexpr uint32_t kFirstDelayMs = 5000;
  static constexpr uint32_t kRunLevelPollMs = 1000;

  // Main states.
  enum MainStateValue : int {
    MainState_Constructed = -1,
    MainState_WaitingRunLevel = 0,
    MainState_Running = 1,
    MainState_Stopped = 2,
  };

  // A scheduler for pComponent (must not be empty) serving the schedule pConfig.
  SchedulerThread(util::Ref<Component> pComponent, util::Ref<Configuration> pConfig);
  const char* ClassName() const override { return "Scheduler"; }
  ~SchedulerThread() override;

  // Starts the thread ("XELC Sceduler"). ErrResource when no thread can be made.
  util::Result Start();
  // Waits up to timeoutMs for the thread to end; true when it has (or never started).
  bool Join(uint32_t timeoutMs);
  // The thread's body (public so that it can also be driven on a caller's thread).
  void Run();

  // Adds the "Scheduler" status element at doc's position; nothing before the first
  // cycle. The caller holds the component's lock.
  util::Result WriteStatus(XmlParser& doc);

  // Snapshots of the status fields (each takes the component's lock while it exists).
  const std::string& Name() const { return M_Name; }
  int MainState() const { return M_MainState.load(std::memory_order_acquire); }
  std::string Action() const;
  util::Result TerminationReason() const;

 private:
  // One request/answer cycle; *pPendingDelay receives the next delay.
  void Cycle(int delayMs, int* pPendingDelay, util::Ref<XmlParser>* pRequest);
  util::Result InsertLastResponse(XmlParser& request);
  void CountAnswer(const std::string& kind);
  // Waits on the component's stop event; false when it was set (the component stops).
  bool Pause(uint32_t ms);
  void SetAction(const char* fmt, ...) XEL_PRINTF(2, 3);

  util::Ref<Component> M_comp_ptr;  // released when the thread ends
  osal::Lock* M_pLock;              // the component's lock (outlives the statuses' readers)
  util::Ref<Configuration> M_pConfig;
  std::string M_Name;
  std::string M_InsertXPath;
  std::atomic<int> M_MainState{MainState_Constructed};
  bool M_bActive = false;
  std::string M_Action;
  util::Result M_TerminationReason;
  bool M_bHasTerminationReason = false;
  util::Ref<XmlParser> M_pLastResponse;
  util::Ref<XmlParser> M_pStatistics;
  std::vector<std::pair<std::string, int>> M_StatisticsCounts;  // the document's source
  osal::OsThread M_Thread;
};

}  // namespace velmora::xel
