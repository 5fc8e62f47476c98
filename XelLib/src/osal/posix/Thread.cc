// POSIX threads with names, kernel thread ids, start times and a registry of live threads.
#include "osal/Thread.h"

#include <errno.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <list>
#include <mutex>

namespace velmora::osal {

struct OsThread::State {
  std::string name;
  std::function<void()> body;
  pthread_t handle{};
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
  static void* Main(void* arg);
};

namespace {

thread_local uint32_t t_TraceValue = 0;

uint64_t NowAsFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return 116444736000000000ull + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
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

// Linux limits thread names to 15 bytes; cut at a character boundary of the UTF-8 name.
std::string KernelThreadName(const std::string& name) {
  if (name.size() <= 15) return name;
  size_t n = 15;
  while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  return name.substr(0, n);
}

}  // namespace

uint32_t CurrentThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

uint32_t GetThreadTraceValue() { return t_TraceValue; }
void SetThreadTraceValue(uint32_t value) { t_TraceValue = value; }

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

void* ThreadRunner::Main(void* arg) {
  // The thread holds its own reference so the state outlives a destroyed OsThread.
  std::shared_ptr<State> state(*static_cast<std::shared_ptr<State>*>(arg));
  delete static_cast<std::shared_ptr<State>*>(arg);
  pthread_setname_np(pthread_self(), KernelThreadName(state->name).c_str());
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
  return nullptr;
}

OsThread::~OsThread() {
  if (M_pState && !M_pState->joined) pthread_detach(M_pState->handle);
}

Status OsThread::Start(std::string name, std::function<void()> body) {
  if (!body) return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pState && !M_pState->joined) return Status(ErrorKind::kInvalid, EBUSY);
  auto state = std::make_shared<State>();
  state->name = std::move(name);
  state->body = std::move(body);
  auto* arg = new std::shared_ptr<State>(state);
  int rc = pthread_create(&state->handle, nullptr, &ThreadRunner::Main, arg);
  if (rc != 0) {
    delete arg;
    return Status::FromNative(rc);
  }
  // Wait until the thread has published its id, so id() is valid on return.
  std::unique_lock<std::mutex> guard(state->mutex);
  state->cond.wait(guard, [&] { return state->id_known; });
  guard.unlock();
  M_pState = std::move(state);
  return Status::Ok();
}

Status OsThread::Join(uint32_t timeout_ms) {
  if (!M_pState) return Status(ErrorKind::kInvalid, EINVAL);
  State& s = *M_pState;
  if (s.joined) return Status::Ok();
  if (pthread_equal(s.handle, pthread_self())) return Status(ErrorKind::kInvalid, EDEADLK);
  {
    std::unique_lock<std::mutex> guard(s.mutex);
    if (timeout_ms == 0xFFFFFFFFu) {
      s.cond.wait(guard, [&] { return s.done; });
    } else if (!s.cond.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                [&] { return s.done; })) {
      return Status(ErrorKind::kTimeout, ETIMEDOUT);
    }
  }
  pthread_join(s.handle, nullptr);  // only the last steps of ThreadMain remain
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
