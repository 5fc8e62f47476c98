// The shared trace buffer: opening, creating, writing lines and reading them back.
#include "util/LogBuffer.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::util {

namespace {

std::string KeyName(std::string_view key, const char* kind) {
  std::string name = "QUIRM8_";
  name += key;
  name += "_Trace_";
  name += kind;
  return name;
}

uint32_t CategoryOf(const osal::Status& status) {
  switch (status.kind()) {
    case osal::ErrorKind::kNotFound:
    case osal::ErrorKind::kPathNotFound:
      return ErrObjNotExist;
    case osal::ErrorKind::kExists:
      return ErrObjExist;
    case osal::ErrorKind::kAccessDenied:
      return ErrPermission;
    case osal::ErrorKind::kTimeout:
      return ErrTimeout;
    case osal::ErrorKind::kNotSupported:
      return ErrNotImplemented;
    default:
      return Error;
  }
}

Result Failed(const char* what, const std::string& name, const osal::Status& status) {
  return Result::Fail(CategoryOf(status), "%s %s failed (Error=%i, %s)", what, name.c_str(),
                      status.code(), status.Text().c_str());
}

std::atomic<int> g_SkippedLines{0};
std::atomic<int> g_FatalErrors{0};
thread_local bool t_bInBufferWriter = false;

}  // namespace

std::string LogBuffer::MutexName(std::string_view key) { return KeyName(key, "Mutex"); }
std::string LogBuffer::MemoryName(std::string_view key) { return KeyName(key, "Mem"); }
std::string LogBuffer::EventName(std::string_view key) { return KeyName(key, "Event"); }

std::atomic_ref<uint32_t> LogBuffer::Word(int index) const {
  return std::atomic_ref<uint32_t>(static_cast<uint32_t*>(M_Memory.data())[index]);
}

char* LogBuffer::Slot(uint32_t index) const {
  return static_cast<char*>(M_Memory.data()) + kHeaderSize + kSlotSize * (index % kSlotCount);
}

Result LogBuffer::Open(std::string_view key, Ref<LogBuffer>* buffer) {
  // The object closes whatever it opened when this reference goes on failure.
  Ref<LogBuffer> b = Ref<LogBuffer>::Adopt(new LogBuffer);
  std::string name = MutexName(key);
  osal::Status s = b->M_Mutex.Open(name);
  if (!s.ok()) return Failed("Open of mutex", name, s);
  name = MemoryName(key);
  s = b->M_Memory.Open(name);
  if (!s.ok()) return Failed("Open of shared memory", name, s);
  name = EventName(key);
  s = b->M_Event.Open(name);
  if (!s.ok()) return Failed("Open of event", name, s);
  if (b->M_Memory.size() < kTotalSize)
    return Result::Fail(ErrWrongFormat, "Invalid size of LogBuffer %zu", b->M_Memory.size());
  uint32_t version = b->Version();
  if (version != kVersion)
    return Result::Fail(ErrWrongFormat, "Invalid Version of LogBuffer %i",
                        static_cast<int>(version));
  if (b->MakeHandle() == 0)
    return Result::Fail(ErrResource, "Failed to create a Handle for the LogBuffer");
  *buffer = std::move(b);
  return Result();
}

Result LogBuffer::Create(std::string_view key, Ref<LogBuffer>* buffer,
                         const osal::ObjectAccess& access) {
  Ref<LogBuffer> b = Ref<LogBuffer>::Adopt(new LogBuffer);
  std::string name = MutexName(key);
  osal::Status s = b->M_Mutex.Create(name, false, access);
  if (!s.ok()) return Failed("Create of mutex", name, s);
  name = MemoryName(key);
  s = b->M_Memory.Create(name, kTotalSize, access);
  if (!s.ok()) return Failed("Create of shared memory", name, s);
  name = EventName(key);
  s = b->M_Event.Create(name, false, false, access);
  if (!s.ok()) return Failed("Create of event", name, s);
  memset(b->M_Memory.data(), 0, kTotalSize);
  // The version goes in last: an opener that sees 2 finds a consistent header.
  b->Word(0).store(kVersion, std::memory_order_release);
  *buffer = std::move(b);
  return Result();
}

LogBuffer::PutResult LogBuffer::Put(const LogRecord& record, uint32_t wait_ms,
                                    std::atomic<int>* skipped) {
  osal::Status s = M_Mutex.Acquire(wait_ms);
  // An abandoned mutex is owned now; the indices are only moved after a line is complete,
  // so the dead owner cannot have left a half-advanced header behind.
  if (!s.ok() && !s.Is(osal::ErrorKind::kAbandoned)) return PutResult::kNoMutex;
  uint32_t read = Word(1).load(std::memory_order_relaxed) % kSlotCount;
  uint32_t write = Word(2).load(std::memory_order_relaxed) % kSlotCount;
  if ((write + 1) % kSlotCount == read) {
    (void)M_Mutex.Release();
    return PutResult::kFull;
  }
  osal::LocalTime now = osal::CurrentLocalTime();
  char* slot = Slot(write);
  // The line header's format is shared with the platform's tools; its "0" flag with a
  // precision is redundant but harmless.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  int n =
      snprintf(slot, kSlotSize, "%02.02i/%02.02i:%02.02i:%02.02i.%03.03i (%4.4x/%4.4x/%4.4x) ",
               now.day, now.hour, now.minute, now.second, now.millisecond, osal::CurrentProcessId(),
               osal::CurrentThreadId(), osal::GetThreadTraceValue() >> 16);
#pragma GCC diagnostic pop
  size_t pos = n > 0 ? static_cast<size_t>(n) : 0;
  if (pos >= kSlotSize) pos = kSlotSize - 1;
  int count = skipped ? skipped->exchange(0) : 0;
  if (count > 0) {
    n = snprintf(slot + pos, kSlotSize - pos, "{%i trace lines skipped} ", count);
    if (n > 0) pos += static_cast<size_t>(n);
    if (pos >= kSlotSize) pos = kSlotSize - 1;
  }
  record.Render(slot + pos, kSlotSize - pos, false, true);
  bool was_empty = read == write;
  Word(2).store((write + 1) % kSlotCount, std::memory_order_release);
  if (was_empty) (void)M_Event.Set();
  (void)M_Mutex.Release();
  return PutResult::kWritten;
}

Result LogBuffer::Read(std::vector<std::string>* lines, uint32_t wait_ms) {
  osal::Status s = M_Mutex.Acquire(wait_ms);
  if (s.Is(osal::ErrorKind::kAbandoned)) {
    lines->emplace_back("Trace mutex has been abandoned");
  } else if (!s.ok()) {
    return Result::Fail(CategoryOf(s), "Failed to lock Mutex. Error=%i", s.code());
  }
  uint32_t read = Word(1).load(std::memory_order_relaxed) % kSlotCount;
  uint32_t write = Word(2).load(std::memory_order_acquire) % kSlotCount;
  while (read != write) {
    const char* slot = Slot(read);
    lines->emplace_back(slot, strnlen(slot, kSlotSize - 1));
    read = (read + 1) % kSlotCount;
  }
  Word(1).store(read, std::memory_order_release);
  (void)M_Mutex.Release();
  return Result();
}

void LogBuffer::Close() {
  if (GetHandle() != 0) InvalidateHandle();
  // Only the names of a creator that has ended go; a live collector keeps its own.
  (void)M_Mutex.RemoveNameIfAbandoned();
  (void)M_Memory.RemoveNameIfAbandoned();
  (void)M_Event.RemoveNameIfAbandoned();
}

bool LogBuffer::WaitForLines(uint32_t timeout_ms) { return M_Event.Wait(timeout_ms).ok(); }

uint32_t LogBuffer::PendingLines() const {
  uint32_t read = Word(1).load(std::memory_order_relaxed) % kSlotCount;
  uint32_t write = Word(2).load(std::memory_order_relaxed) % kSlotCount;
  return (write + kSlotCount - read) % kSlotCount;
}

int LogWriterBuffer::SkippedLines() { return g_SkippedLines.load(std::memory_order_relaxed); }

void LogWriterBuffer::Write(const LogRecord& record) {
  if (t_bInBufferWriter) return;
  t_bInBufferWriter = true;
  Ref<LogBuffer> buffer = HandleObject::Lookup<LogBuffer>(M_Handle.load(std::memory_order_acquire));
  if (buffer) {
    for (int retry = 0;; ++retry) {
      // While lines are being skipped the reader lags: do not stall the system for it.
      bool skipping = g_SkippedLines.load(std::memory_order_relaxed) > 0;
      LogBuffer::PutResult r =
          buffer->Put(record, skipping ? kMutexWaitSkippingMs : kMutexWaitMs, &g_SkippedLines);
      if (r == LogBuffer::PutResult::kWritten) break;
      if (r == LogBuffer::PutResult::kFull && !skipping && retry < kFullRetries) {
        osal::SleepMs(kFullRetryPauseMs);
        continue;
      }
      g_SkippedLines.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  t_bInBufferWriter = false;
}

void LogWriterBufferFatal::Write(const LogRecord& record) {
  int number = g_FatalErrors.fetch_add(1) + 1;
  if (M_pTraceWriter) M_pTraceWriter->Write(record);
  if (number <= 2) StackDump("Fatal Error", 16384);
  char text[256];
  record.Render(text, sizeof text, false, true);
  printf("\nFatal Error: %s", text);
  fflush(stdout);
  osal::SleepMs(2000);
  osal::TerminateProcess(1);
}

namespace {

struct TraceKeyState {
  std::mutex lock;
  Ref<LogBuffer> buffer;
  LogWriterBuffer trace_writer;
  LogWriterBufferFatal fatal_writer{&trace_writer};
  LogWriter* previous_trace = nullptr;
  LogWriter* previous_fatal = nullptr;
};

TraceKeyState& KeyState() {
  // Leaked: a late trace line may still reach the writers during static destruction.
  static TraceKeyState* state = new TraceKeyState;
  return *state;
}

}  // namespace

Result OpenTraceKey(std::string_view key) {
  TraceKeyState& st = KeyState();
  std::lock_guard<std::mutex> guard(st.lock);
  if (st.buffer) return Result::Fail(ErrObjExist, "A trace key is already open");
  Ref<LogBuffer> buffer;
  Result r = LogBuffer::Open(key, &buffer);
  if (r.IsError()) return r;
  st.buffer = buffer;
  st.trace_writer.SetHandle(buffer->GetHandle());
  st.previous_trace = SetLogWriter(LogChannelTrace, &st.trace_writer);
  st.previous_fatal = SetLogWriter(LogChannelFatal, &st.fatal_writer);
  return Result();
}

void CloseTraceKey() {
  TraceKeyState& st = KeyState();
  std::lock_guard<std::mutex> guard(st.lock);
  if (!st.buffer) return;
  SetLogWriter(LogChannelTrace, st.previous_trace);
  SetLogWriter(LogChannelFatal, st.previous_fatal);
  st.trace_writer.SetHandle(0);
  st.buffer->Close();
  st.buffer.Reset();
}

bool IsTraceKeyOpen() {
  TraceKeyState& st = KeyState();
  std::lock_guard<std::mutex> guard(st.lock);
  return st.buffer.HasObject();
}

}  // namespace velmora::util
