// Windows threads with names, thread ids, start times, a registry of live threads and the
// stack range of the calling thread.
#include "osal/Thread.h"

#include <process.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <list>
#include <mutex>

#include "win32/WindowsSupport.h"

namespace velmora::osal {

struct OsThread::State {
  std::string name;
  std::function<void()> body;
  HANDLE handle = nullptr;
  uint32_t id = 0;
  uint64_t start_time = 0;
  std::mutex mutex;
  std::condition_variable cond;
  bool id_known = false;
  bool done = false;
  bool joined = false;
};

struct ThreadRunner {
  using State = OsThread::State;
  static unsigned __stdcall Main(void* arg);
};

namespace {

thread_local uint32_t t_TraceValue = 0;

uint64_t NowAsFileTime() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Live threads in start order. Function-local, so it is usable from any static initializer.
struct Registry {
  std::mutex mutex;
  std::list<std::shared_ptr<ThreadRunner::State>> live;
};
Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: threads may outlive main
  return *registry;
}

// SetThreadDescription arrived with Windows 10 1607; older systems and wine builds lack it,
// so it is looked up at run time. The name then shows in debuggers and crash dumps.
void NameCurrentThread(const std::string& name) {
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const SetDescriptionFn set_description = [] {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel ? win32::GetProcAddressAs<SetDescriptionFn>(kernel, "SetThreadDescription")
                  : nullptr;
  }();
  if (set_description != nullptr) {
    (void)set_description(::GetCurrentThread(), win32::Widen(name).c_str());
  }
}

}  // namespace

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

uint32_t GetThreadTraceValue() { return t_TraceValue; }
void SetThreadTraceValue(uint32_t value) { t_TraceValue = value; }

bool CurrentThreadStackRange(uintptr_t* low, uintptr_t* high) {
  // The stack is one reservation of which only the top is committed, below it a guard page
  // and reserved, unreadable pages. The range is the committed part that holds this frame:
  // walk the reservation's regions up to the one with a local of ours.
  char marker = 0;
  const uintptr_t here = reinterpret_cast<uintptr_t>(&marker);
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(&marker, &info, sizeof info) == 0) return false;
  uintptr_t address = reinterpret_cast<uintptr_t>(info.AllocationBase);
  while (::VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) != 0) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (here < end) {
      if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0) return false;
      *low = reinterpret_cast<uintptr_t>(info.BaseAddress);
      *high = end;
      return true;
    }
    address = end;
  }
  return false;
}

int LiveThreadCount() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  return static_cast<int>(r.live.size());
}

std::vector<ThreadInfo> ListLiveThreads(int max) {
  std::vector<ThreadInfo> out;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  for (const auto& s : r.live) {
    if (static_cast<int>(out.size()) >= max) break;
    out.push_back(ThreadInfo{s->name, s->id, s->start_time});
  }
  return out;
}

unsigned __stdcall ThreadRunner::Main(void* arg) {
  // The thread holds its own reference so the state outlives a destroyed OsThread.
  std::shared_ptr<State> state(*static_cast<std::shared_ptr<State>*>(arg));
  delete static_cast<std::shared_ptr<State>*>(arg);
  NameCurrentThread(state->name);
  {
    std::lock_guard<std::mutex> guard(TheRegistry().mutex);
    TheRegistry().live.push_back(state);
  }
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->id = CurrentThreadId();
    state->start_time = NowAsFileTime();
    state->id_known = true;
  }
  state->cond.notify_all();
  try {
    state->body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "thread %s ended by exception: %s\n", state->name.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "thread %s ended by an exception\n", state->name.c_str());
  }
  state->body = nullptr;  // release captured resources on this thread
  {
    std::lock_guard<std::mutex> guard(TheRegistry().mutex);
    TheRegistry().live.remove(state);
  }
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->done = true;
  }
  state->cond.notify_all();
  return 0;
}

OsThread::~OsThread() {
  // Closing the handle of a running thread detaches it: the thread runs on.
  if (M_pState && !M_pState->joined) ::CloseHandle(M_pState->handle);
}

Status OsThread::Start(std::string name, std::function<void()> body) {
  if (!body) return Status(ErrorKind::kInvalid, ERROR_INVALID_PARAMETER);
  if (M_pState && !M_pState->joined) return Status(ErrorKind::kInvalid, ERROR_BUSY);
  auto state = std::make_shared<State>();
  state->name = std::move(name);
  state->body = std::move(body);
  auto* arg = new std::shared_ptr<State>(state);
  // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread data.
  uintptr_t handle = ::_beginthreadex(nullptr, 0, &ThreadRunner::Main, arg, 0, nullptr);
  if (handle == 0) {
    int error = errno;
    delete arg;
    return Status(ErrorKind::kOther, error);
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  // Wait until the thread has published its id, so id() is valid on return.
  std::unique_lock<std::mutex> guard(state->mutex);
  state->cond.wait(guard, [&] { return state->id_known; });
  guard.unlock();
  M_pState = std::move(state);
  return Status::Ok();
}

Status OsThread::Join(uint32_t timeout_ms) {
  if (!M_pState) return Status(ErrorKind::kInvalid, ERROR_INVALID_PARAMETER);
  State& s = *M_pState;
  if (s.joined) return Status::Ok();
  if (s.id == CurrentThreadId()) return Status(ErrorKind::kInvalid, ERROR_POSSIBLE_DEADLOCK);
  {
    std::unique_lock<std::mutex> guard(s.mutex);
    if (timeout_ms == 0xFFFFFFFFu) {
      s.cond.wait(guard, [&] { return s.done; });
    } else if (!s.cond.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                [&] { return s.done; })) {
      return Status(ErrorKind::kTimeout, WAIT_TIMEOUT);
    }
  }
  // Only the last steps of ThreadRunner::Main remain; once the handle is signalled the
  // thread has ended, and with it its ownership of kernel objects.
  ::WaitForSingleObject(s.handle, INFINITE);
  ::CloseHandle(s.handle);
  s.handle = nullptr;
  s.joined = true;
  return Status::Ok();
}

bool OsThread::Running() const {
  if (!M_pState) return false;
  std::lock_guard<std::mutex> guard(M_pState->mutex);
  return !M_pState->done;
}

uint32_t OsThread::id() const { return M_pState ? M_pState->id : 0; }

}  // namespace velmora::osal
