// Trace lines gated by numbered ids, events, console output and assertions.
//
// A disabled id costs one bit test: use the XEL_TRACE macros, which test the id before
// any argument is evaluated. Every function here is thread-safe.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "util/Result.h"

namespace velmora::util {

// Trace ids switched by the master level (the thresholds live in Trace.cc).
enum TraceId : uint32_t {
  Trace_Never = 0,
  Trace_Always = 1,
  General_Error = 2,
  General_Warning = 3,
  General_Info = 4,
  General_10 = 5,
  General_20 = 6,
  General_40 = 7,
  General_60 = 8,
  General_80 = 9,
  General_99 = 10,
  General_OtherXEL = 11,
  General_OtherXEL_Int = 12,
  General_OtherMaster = 13,
  General_OtherXELC = 14,
  General_OtherUtil = 15,
  General_OtherOsal = 16,
  Trace_Changes = 16,
  XELC_Startup = 17,
  Result_SetErrorText = 18,
  SwitchEP_Send = 32,
  SwitchEP_Recv = 33,
  SwitchEP_Conn = 34,
  SwitchDL_Send = 48,
  SwitchDL_Recv = 49,
  ConnPtp_Send = 64,
  ConnPtp_Recv = 65,
  ConnPtp_Switch = 66,
  ConnNotify = 67,
  DataLinkIpc_Send = 80,
  DataLinkIpc_Recv = 81,
  DataLinkIpc_Other = 82,
  ServerThread = 83,
  SharedObj_Life = 84,
  SharedObj_RefCount = 85,
  VmsrvMsg = 86,
  HttpHeader = 87,
  SmNewState = 88,
  SmEvent = 89,
  SmConditions = 90,
  SmTimer = 91,
  SmQueueEvent = 92,
  SmAction = 93,
  SmSleep = 94,
  MsgBlockComm = 95,
  LogMessages = 96,
  AlertWithoutMsg = 97,
  ConsoleOutput = 98,
  ConsoleTrace = 99,
};

constexpr uint32_t kTraceIdCount = 8192;

namespace trace_internal {
extern std::atomic<uint32_t> g_EnabledIds[kTraceIdCount / 32];
}

// True when the id (low 13 bits) is enabled. One relaxed load and a bit test.
inline bool IsTraceEnabled(uint32_t id) {
  id &= kTraceIdCount - 1;
  return (trace_internal::g_EnabledIds[id >> 5].load(std::memory_order_relaxed) >> (id & 31)) & 1u;
}
void EnableTraceId(uint32_t id, bool on);

// Sets the master level and switches every id of the table by its threshold.
void SetMasterTraceLevel(int level);
int GetMasterTraceLevel();
// Sets or clears every id (traced through Trace_Changes when its state changes).
void SwitchAllTraceIds(bool on);

// Log channels.
enum LogChannel : int {
  LogChannelTrace = 0,
  LogChannelTrace2 = 1,
  LogChannelEvent = 2,
  LogChannelFatal = 3,
  LogChannelConsole = 4,
  LogChannelCount = 5,
};

// Tags of typed arguments: a tag >= 0 is the byte count of a binary value.
enum LogArgTag : int {
  LogArgText = -1,
  LogArgInt = -2,
  LogArgHex = -3,
  LogArgEnd = -4096,
};

struct LogArg {
  int tag = LogArgEnd;
  const char* text = nullptr;  // LogArgText, or the bytes of a binary value
  int64_t value = 0;           // LogArgInt, LogArgHex
};

// What every trace line, event and fatal message becomes before it is written. A record
// lives on the writing thread's stack and only borrows its texts and argument list.
struct LogRecord {
  static constexpr int kMaxArgs = 20;
  int channel = LogChannelTrace;
  uint32_t message_id = 0;
  const char* format = "";
  // The format's arguments (may be null). Render works on a copy, so a record can be
  // rendered any number of times while the caller's list is alive.
  va_list* args = nullptr;
  LogArg typed[kMaxArgs];
  int typed_count = 0;

  // Appends a typed argument; ignored once kMaxArgs are held.
  void AddText(const char* text);
  void AddInt(int64_t value);
  void AddHex(uint64_t value);
  void AddBinary(const void* bytes, int size);

  // The prefix of channels 0 to 3 ("Trace: ", ...); "" for any other channel.
  static const char* ChannelPrefix(int channel);
  // Renders "prefix {args} message" into buffer (NUL-terminated, cut to size). Typed
  // arguments end at the first tag below -4095. Returns the length written.
  size_t Render(char* buffer, size_t size, bool with_prefix, bool with_args) const;
  std::string Render(bool with_prefix, bool with_args) const;
};

// Writes records of one channel. Implementations must be thread-safe.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual void Write(const LogRecord& record) = 0;
};

// Installs writer for channel and returns the previous one. The writer must outlive
// its installation.
LogWriter* SetLogWriter(int channel, LogWriter* writer);
LogWriter* GetLogWriter(int channel);
// Sends a record to its channel's writer.
void WriteLogRecord(const LogRecord& record);

// The standard writer's trace file for channels 0 and 1 (opened on the first line,
// emptying an existing file).
void SetTraceFile(const std::string& path);

// Traces with typed arguments (id, category) when id is enabled; prefer XEL_TRACE.
void TraceWrite(const char* category, uint32_t id, const char* fmt, ...) XEL_PRINTF(3, 4);
void TraceWriteV(const char* category, uint32_t id, const char* fmt, va_list args);
// Traces with typed arguments (class name, address); prefer XEL_TRACE_OBJ.
void TraceObjWrite(const char* class_name, const void* object, uint32_t id, const char* fmt, ...)
    XEL_PRINTF(4, 5);
// A line written whatever the master level.
void TraceUnconditional(const char* fmt, ...) XEL_PRINTF(1, 2);
// Console output (id ConsoleOutput), also traced under "Console" when ConsoleTrace is on.
void ConsolePrint(const char* fmt, ...) XEL_PRINTF(1, 2);
void ConsolePrintIds(uint32_t console_id, uint32_t trace_id, const char* fmt, ...) XEL_PRINTF(3, 4);
// An event-log record: texts[0] is the event source, texts[1..3] insertion strings.
void LogEvent(uint32_t event_id, const char* const* texts, int text_count, const char* fmt, ...)
    XEL_PRINTF(4, 5);
// A failed assertion: writes the fatal record and ends the process. diag may be null
// (no diagnostic value is shown).
[[noreturn]] void AssertionFailed(const char* file, int line, const char* expression,
                                  const char* diag);
// As above, always with a diagnostic value; a null diag is shown as "n/a".
[[noreturn]] void AssertionFailedDiag(const char* file, int line, const char* expression,
                                      const char* diag);
// A source path (__FILE__) as the relative Windows-style name shown in assertions:
// "/x/XelLib/src/xel/Component.cc" becomes "..\src\xel\Component.cc".
std::string RelativeSourceName(const char* file);
// Writes the frame-pointer chain and raw stack words as unconditional trace lines.
void StackDump(const char* location, int size);
// Traces up to max live runtime threads with their names, ids and start times.
void ListActiveThreads(int max);

}  // namespace velmora::util

#define XEL_TRACE(category, id, ...)                              \
  do {                                                            \
    if (::velmora::util::IsTraceEnabled(id))                      \
      ::velmora::util::TraceWrite((category), (id), __VA_ARGS__); \
  } while (0)

// Traces for an object with ClassName() (the class name is the trace category).
#define XEL_TRACE_OBJ(object, id, ...)                                                    \
  do {                                                                                    \
    if (::velmora::util::IsTraceEnabled(id))                                              \
      ::velmora::util::TraceObjWrite((object)->ClassName(), (object), (id), __VA_ARGS__); \
  } while (0)

#define XEL_ASSERT(expr)                                                               \
  do {                                                                                 \
    if (!(expr)) ::velmora::util::AssertionFailed(__FILE__, __LINE__, #expr, nullptr); \
  } while (0)

// diag is a text shown as the diagnostic value.
#define XEL_ASSERT_DIAG(expr, diag)                                                       \
  do {                                                                                    \
    if (!(expr)) ::velmora::util::AssertionFailedDiag(__FILE__, __LINE__, #expr, (diag)); \
  } while (0)
