// ServerThread: reads the first message of an incoming conversation and calls the server function.
#include "xel/ServerThread.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "util/Trace.h"

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

}  // namespace

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
  return true;
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

Result ServerThread::Start() {
  // The running thread keeps the object alive; the creator may drop its reference at once.
  util::Ref<ServerThread> pSelf(this);
  osal::Status st = M_Thread.Start("XEL Server", [pSelf]() mutable {
    pSelf->Run();
    pSelf.Reset();
  });
  if (!st.ok()) {
    return Result::Make(util::ErrResource, util::ModIntellNetwork, util::ObjConnection,
                        util::SevError, "Server thread could not be started (%i)", st.code());
  }
  return Result();
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
