// ServerThread: reads the first message of an incoming conversation and calls the server function.
#include "xel/ServerThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "SpinWait.h"
#include "osal/Logon.h"
#include "util/Trace.h"
#include "xel/Switch.h"

namespace velmora::xel {

using util::Result;

namespace {

std::mutex& FunctionMutex() {
  static std::mutex* const pMutex = new std::mutex;  // threads may outlive static teardown
  return *pMutex;
}
ServerThread::ServerFunction& TheFunction() {
  static auto* const pFn = new ServerThread::ServerFunction;
  return *pFn;
}

std::atomic<int> g_LiveCount{0};

// The threads that serve conversations. A thread that has served one waits a while for the
// next instead of ending (up to kMaxIdleThreads of them), so that a steady stream of requests
// does not pay for a new thread each; at most Switch::kMaxServerThreads serve at once, and
// conversations beyond them wait (up to Switch::kMaxWaitingConversations) for the first thread that
// is free.
constexpr auto kIdleBeforeExit = std::chrono::seconds(30);
// Idle threads kept beyond this end at once: each holds its stack's address space, which a
// 32-bit process needs back after a burst of conversations.
constexpr int kMaxIdleThreads = 8;

struct Worker {
  osal::OsThread thread;
  bool done = false;  // the body has left the pool and is ending
};

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;  // work waiting, or idle threads asked to end
  std::deque<util::Ref<ServerThread>> waiting;
  std::list<Worker> workers;
  int running = 0;      // workers whose body has not left the pool
  int idle = 0;         // of them, waiting for work
  int watching = 0;     // of the idle ones, watching the line before they sleep
  int serving = 0;      // of them, serving a conversation (the others take one soon)
  bool retire = false;  // idle workers end instead of waiting
  std::atomic<uint32_t> posted{0};  // conversations put in the line so far, read without the lock
};

Pool& ThePool() {
  static Pool* const pPool = new Pool;  // threads may outlive static teardown
  return *pPool;
}

// Joins the workers that have ended. Called without the pool's lock.
void ReapEnded() {
  Pool& pool = ThePool();
  std::list<Worker> ended;
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    for (auto it = pool.workers.begin(); it != pool.workers.end();) {
      auto next = std::next(it);
      if (it->done) ended.splice(ended.end(), pool.workers, it);
      it = next;
    }
  }
  for (Worker& w : ended) (void)w.thread.Join();
}

// What one conversation may have left on its thread does not pass to the next: false when
// the thread cannot be given back its own identity and must end.
bool ThreadIsClean() {
  osal::SetThreadTraceValue(0);
  if (!osal::IsImpersonating()) return true;
  XEL_TRACE("ServerThread", util::General_Error,
            "Server function left the thread impersonating; reverting");
  return osal::RevertToSelf().ok() && !osal::IsImpersonating();
}

}  // namespace

// The body of a pooled thread: serves waiting conversations one after the other.
struct ServerThread::PoolWorker {
  static void Main(Worker* pSelf) {
    Pool& pool = ThePool();
    std::unique_lock<std::mutex> lock(pool.mutex);
    for (;;) {
      if (pool.waiting.empty()) {
        if (pool.idle >= kMaxIdleThreads && !pool.retire) break;
        ++pool.idle;
        // Conversations often come one right after the other (a poll, then the next):
        // watching the line a moment spares a sleep and a wake-up between them.
        // A watching thread checks the line under the lock before it sleeps, so Start need
        // not wake a sleeping one for the conversation that this one is about to take.
        ++pool.watching;
        const uint32_t posted = pool.posted.load(std::memory_order_relaxed);
        lock.unlock();
        (void)SpinUntil([&pool, posted] {
          return pool.posted.load(std::memory_order_acquire) != posted;
        });
        lock.lock();
        --pool.watching;
        pool.wake.wait_for(lock, kIdleBeforeExit,
                           [&pool] { return !pool.waiting.empty() || pool.retire; });
        --pool.idle;
        if (pool.waiting.empty()) break;  // idle too long, or asked to end
      }
      util::Ref<ServerThread> pNext = std::move(pool.waiting.front());
      pool.waiting.pop_front();
      ++pool.serving;
      lock.unlock();
      pNext->Run();
      pNext.Reset();  // ends the conversation before the thread takes another
      const bool clean = ThreadIsClean();
      lock.lock();
      --pool.serving;
      if (!clean) break;
    }
    --pool.running;
    pSelf->done = true;
    // A thread that leaves early hands what still waits to a new one.
    if (!pool.waiting.empty() && pool.idle == 0) (void)StartOne();
  }
  // Starts one more thread; the caller holds the pool's lock.
  static osal::Status StartOne() {
    Pool& pool = ThePool();
    Worker& w = pool.workers.emplace_back();
    osal::Status st = w.thread.Start("XEL Server", [pW = &w] { Main(pW); });
    if (st.ok()) {
      ++pool.running;
    } else {
      pool.workers.pop_back();
    }
    return st;
  }
};

ServerThread::ServerThread() {
  g_LiveCount.fetch_add(1, std::memory_order_acq_rel);
  XEL_TRACE_OBJ(this, util::ServerThread, "Construct Object");
}

ServerThread::~ServerThread() {
  XEL_TRACE_OBJ(this, util::ServerThread, "Destroy Object");
  // The connection goes first: its end point closes the conversation.
  M_pConn.Reset();
  g_LiveCount.fetch_sub(1, std::memory_order_acq_rel);
}

void ServerThread::SetServerFunction(ServerFunction fn) {
  std::lock_guard<std::mutex> guard(FunctionMutex());
  TheFunction() = std::move(fn);
}

bool ServerThread::HasServerFunction() {
  std::lock_guard<std::mutex> guard(FunctionMutex());
  return static_cast<bool>(TheFunction());
}

int ServerThread::LiveCount() { return g_LiveCount.load(std::memory_order_acquire); }

bool ServerThread::WaitAllEnded(uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (LiveCount() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Then the idle threads end too, so that no thread runs this code once the caller unloads it.
  Pool& pool = ThePool();
  bool allEnded = false;
  {
    std::unique_lock<std::mutex> lock(pool.mutex);
    pool.retire = true;
    pool.wake.notify_all();
    while (pool.running > 0 && std::chrono::steady_clock::now() < deadline) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      lock.lock();
    }
    allEnded = pool.running == 0;
    pool.retire = false;
  }
  ReapEnded();
  return allEnded && LiveCount() == 0;
}

util::Ref<ServerThread> ServerThread::Create(MessageBlock* pFirstBlock) {
  auto* pRaw = new (std::nothrow) ServerThread();
  if (pRaw == nullptr) return nullptr;
  util::Ref<ServerThread> pThread = util::Ref<ServerThread>::Adopt(pRaw);
  auto* pConn = new (std::nothrow) ConnectionPtp();
  if (pConn == nullptr) return nullptr;
  pThread->M_pConn = util::Ref<ConnectionPtp>::Adopt(pConn);
  if (pConn->Accept(pFirstBlock).IsError()) return nullptr;
  return pThread;
}

// Takes out of the waiting line the conversations that their peer has closed with nothing
// for a thread to serve: when the line is full they would have a live one refused.
static std::vector<util::Ref<ServerThread>> TakeAbandonedWaiting(Pool& pool) {
  std::vector<util::Ref<ServerThread>> abandoned;
  for (auto it = pool.waiting.begin(); it != pool.waiting.end();) {
    const ConnectionPtp* pConn = (*it)->GetConnection();
    if (pConn != nullptr && !pConn->IsConnected() && pConn->QueuedBytes() == 0) {
      abandoned.push_back(std::move(*it));
      it = pool.waiting.erase(it);
    } else {
      ++it;
    }
  }
  return abandoned;
}

Result ServerThread::Start() {
  ReapEnded();
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> guard(pool.mutex);
  // Threads that are idle or just starting take a conversation from the line each; only
  // those beyond them wait for a thread to become free.
  const auto waitingForFree = [&pool] {
    return static_cast<int>(pool.waiting.size()) - (pool.running - pool.serving);
  };
  if (pool.running >= Switch::kMaxServerThreads &&
      waitingForFree() >= Switch::kMaxWaitingConversations) {
    std::vector<util::Ref<ServerThread>> abandoned = TakeAbandonedWaiting(pool);
    if (!abandoned.empty()) {
      // Released without the pool's lock: ending a conversation takes the switch's lock,
      // which the caller may hold while it hands the pool a new conversation.
      guard.unlock();
      abandoned.clear();
      return Start();  // room was made: this time the conversation is taken
    }
    return Result::Make(util::ErrResource, util::ModIntellNetwork, util::ObjConnection,
                        util::SevError, "Server thread could not be started (%i conversations)",
                        pool.serving + static_cast<int>(pool.waiting.size()));
  }
  // The pool holds the object until a thread has served it; the creator may drop its reference.
  pool.waiting.emplace_back(this);
  const int waiting = static_cast<int>(pool.waiting.size());
  if (pool.idle >= waiting) {
    // Watching threads take the first ones; a sleeping thread is woken only beyond them.
    // The line's count moves after the lock is released, so that the watcher it ends
    // finds the lock free instead of sleeping on it.
    const bool wakeSleeper = waiting > pool.watching;
    guard.unlock();
    pool.posted.fetch_add(1, std::memory_order_release);
    if (wakeSleeper) pool.wake.notify_one();
    return Result();
  }
  pool.posted.fetch_add(1, std::memory_order_release);
  if (pool.running >= Switch::kMaxServerThreads) return Result();  // waits for a free thread
  osal::Status st = PoolWorker::StartOne();
  if (st.ok() || pool.running > 0) return Result();  // a running thread will take it
  pool.waiting.pop_back();
  return Result::Make(util::ErrResource, util::ModIntellNetwork, util::ObjConnection,
                      util::SevError, "Server thread could not be started (%i)", st.code());
}

void ServerThread::Run() {
  XEL_TRACE_OBJ(this, util::ServerThread, "Run() function started");
  ServerFunction fn;
  {
    std::lock_guard<std::mutex> guard(FunctionMutex());
    fn = TheFunction();
  }
  if (!fn) {
    XEL_TRACE_OBJ(this, util::General_20,
                  "Server Connection ignored because no Server Function is defined");
    return;
  }
  util::Ref<Message> pMessage = util::Ref<Message>::Adopt(new Message());
  // The opening block is normally queued already; a peer that opened the conversation
  // without the message gets a little time to send it.
  Result res = pMessage->RxNextMessage(M_pConn.get(), 0);
  if (res.IsClass(util::ErrTimeout)) {
    XEL_TRACE_OBJ(this, util::Trace_Always,
                  "Server failed to read start of message. Retry with 5s timeout!");
    res = pMessage->RxNextMessage(M_pConn.get(), kRetryTimeoutMs);
  }
  if (res.IsError()) {
    if (res.IsClass(util::ErrCancelled)) {
      XEL_TRACE_OBJ(this, util::General_20, "Server Thread got a cancelled request");
    } else {
      XEL_TRACE_OBJ(this, util::Trace_Always,
                    "Server got an expected result from RxNextMessage: %s", res.Text().c_str());
    }
  } else {
    XEL_TRACE_OBJ(this, util::ServerThread, "Run() Calling Server %p", static_cast<void*>(&fn));
    try {
      fn(M_pConn.get(), pMessage.get());
    } catch (const Result& thrown) {
      XEL_TRACE_OBJ(this, util::General_Error, "Server function ended by result %s",
                    thrown.Text().c_str());
    } catch (const std::exception& e) {
      XEL_TRACE_OBJ(this, util::General_Error, "Server function ended by exception %s", e.what());
    } catch (...) {
      XEL_TRACE_OBJ(this, util::General_Error, "Server function ended by an unknown exception");
    }
  }
  XEL_TRACE_OBJ(this, util::ServerThread, "Run() exit");
}

}  // namespace velmora::xel
