// Trace ids and the master level, trace entry points, assertions and the writer table.
#include "util/Trace.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "LogWriters.h"
#include "osal/System.h"

namespace velmora::util {

namespace {

struct TraceIdRow {
  uint32_t id;
  int threshold;
};

// Applied in this order: where two rows share an id (16), the later row decides.
constexpr TraceIdRow kTraceIdTable[] = {
    {Trace_Never, 999},
    {Trace_Always, -1},
    {Trace_Changes, 0},
    {General_Error, 1},
    {General_Warning, 30},
    {General_Info, 60},
    {General_10, 10},
    {General_20, 20},
    {General_40, 40},
    {General_60, 60},
    {General_80, 100},
    {General_99, 200},
    {General_OtherXEL, 80},
    {General_OtherXEL_Int, 120},
    {General_OtherMaster, 80},
    {General_OtherXELC, 80},
    {General_OtherUtil, 110},
    {General_OtherOsal, 120},
    {XELC_Startup, 10},
    {Result_SetErrorText, 100},
    {SwitchEP_Send, 100},
    {SwitchEP_Recv, 100},
    {SwitchEP_Conn, 100},
    {SwitchDL_Send, 100},
    {SwitchDL_Recv, 100},
    {ConnPtp_Send, 100},
    {ConnPtp_Recv, 100},
    {ConnPtp_Switch, 100},
    {ConnNotify, 90},
    {DataLinkIpc_Send, 100},
    {DataLinkIpc_Recv, 100},
    {DataLinkIpc_Other, 100},
    {ServerThread, 60},
    {SharedObj_Life, 150},
    {SharedObj_RefCount, 200},
    {VmsrvMsg, 100},
    {HttpHeader, 55},
    {SmNewState, 56},
    {SmEvent, 57},
    {SmConditions, 61},
    {SmTimer, 62},
    {SmQueueEvent, 63},
    {SmAction, 64},
    {SmSleep, 75},
    {MsgBlockComm, 70},
    {LogMessages, 1},
    {AlertWithoutMsg, 10},
    {ConsoleOutput, 1},
    {ConsoleTrace, 10},
};

// The ids of the table as master level 0 leaves them, so that a process that never sets a
// level still traces Trace_Always lines. Computed at compile time: no static-init order.
constexpr uint32_t InitialWord(uint32_t word) {
  uint32_t bits = 0;
  for (const TraceIdRow& row : kTraceIdTable) {
    if ((row.id >> 5) != word) continue;
    uint32_t mask = 1u << (row.id & 31);
    if (0 >= row.threshold)
      bits |= mask;
    else
      bits &= ~mask;
  }
  return bits;
}

std::atomic<int> g_MasterLevel{0};

// The channel writers; null means the channel's default writer.
std::atomic<LogWriter*> g_Writers[LogChannelCount];

LogWriter* DefaultWriter(int channel) {
  if (channel == LogChannelEvent) return &LogWriterEventLog::Instance();
  return &LogWriterStandard::Instance();
}

void WriteTraceRecord(uint32_t message_id, const char* fmt, va_list* args, LogRecord* record) {
  record->channel = LogChannelTrace;
  record->message_id = message_id;
  record->format = fmt ? fmt : "";
  record->args = args;
  WriteLogRecord(*record);
}

void WriteFatal(const char* fmt, ...) XEL_PRINTF(1, 2);
void WriteFatal(const char* fmt, ...) {
  LogRecord record;
  record.channel = LogChannelFatal;
  record.message_id = 0;
  record.format = fmt;
  va_list args;
  va_start(args, fmt);
  record.args = &args;
  WriteLogRecord(record);
  va_end(args);
}

[[noreturn]] void Assertion(const char* file, int line, const char* expression, bool with_diag,
                            const char* diag) {
  std::string source = RelativeSourceName(file);
  const char* expr = expression ? expression : "";
  if (with_diag) {
    WriteFatal("Assertion:\nFile=%s Line=%i\nExp=%s\nDiagnostic Value=%s", source.c_str(), line,
               expr, diag ? diag : "n/a");
  } else {
    WriteFatal("Assertion:\nFile=%s Line=%i\nExp=%s ", source.c_str(), line, expr);
  }
  // A fatal writer ends the process; one that returned (a test's) must not let the
  // broken invariant go on.
  fflush(stdout);
  osal::TerminateProcess(1);
}

}  // namespace

namespace trace_internal {
constinit std::atomic<uint32_t> g_EnabledIds[kTraceIdCount / 32] = {InitialWord(0), InitialWord(1),
                                                                    InitialWord(2), InitialWord(3)};
}  // namespace trace_internal

void EnableTraceId(uint32_t id, bool on) {
  id &= kTraceIdCount - 1;
  uint32_t mask = 1u << (id & 31);
  if (on)
    trace_internal::g_EnabledIds[id >> 5].fetch_or(mask, std::memory_order_relaxed);
  else
    trace_internal::g_EnabledIds[id >> 5].fetch_and(~mask, std::memory_order_relaxed);
}

void SetMasterTraceLevel(int level) {
  TraceWrite("Trace", Trace_Always, "Set Master Trace to %i", level);
  g_MasterLevel.store(level, std::memory_order_relaxed);
  for (const TraceIdRow& row : kTraceIdTable) EnableTraceId(row.id, level >= row.threshold);
}

int GetMasterTraceLevel() { return g_MasterLevel.load(std::memory_order_relaxed); }

void SwitchAllTraceIds(bool on) {
  if (IsTraceEnabled(Trace_Changes) != on) {
    // Trace_Changes is switched on first so that the change itself is always traced.
    EnableTraceId(Trace_Changes, true);
    TraceWrite("Trace", Trace_Changes, "Trace for all IDs will be %s", on ? "enabled" : "disabled");
  }
  for (auto& word : trace_internal::g_EnabledIds)
    word.store(on ? ~0u : 0u, std::memory_order_relaxed);
}

LogWriter* SetLogWriter(int channel, LogWriter* writer) {
  if (channel < 0 || channel >= LogChannelCount) return nullptr;
  LogWriter* previous = g_Writers[channel].exchange(writer, std::memory_order_acq_rel);
  return previous ? previous : DefaultWriter(channel);
}

LogWriter* GetLogWriter(int channel) {
  if (channel < 0 || channel >= LogChannelCount) return nullptr;
  LogWriter* writer = g_Writers[channel].load(std::memory_order_acquire);
  return writer ? writer : DefaultWriter(channel);
}

void WriteLogRecord(const LogRecord& record) {
  LogWriter* writer = GetLogWriter(record.channel);
  // The standard writer turns an unknown channel into an assertion failure.
  if (!writer) writer = &LogWriterStandard::Instance();
  writer->Write(record);
}

void SetTraceFile(const std::string& path) { LogWriterStandard::Instance().SetFile(path); }

void TraceWriteV(const char* category, uint32_t id, const char* fmt, va_list args) {
  if (!IsTraceEnabled(id)) return;
  LogRecord record;
  record.AddInt(id);
  record.AddText(category ? category : "");
  va_list copy;
  va_copy(copy, args);
  WriteTraceRecord(1, fmt, &copy, &record);
  va_end(copy);
}

void TraceWrite(const char* category, uint32_t id, const char* fmt, ...) {
  if (!IsTraceEnabled(id)) return;
  va_list args;
  va_start(args, fmt);
  TraceWriteV(category, id, fmt, args);
  va_end(args);
}

void TraceObjWrite(const char* class_name, const void* object, uint32_t id, const char* fmt, ...) {
  if (!IsTraceEnabled(id)) return;
  LogRecord record;
  record.AddText(class_name ? class_name : "");
  record.AddHex(reinterpret_cast<uintptr_t>(object));
  va_list args;
  va_start(args, fmt);
  WriteTraceRecord(1, fmt, &args, &record);
  va_end(args);
}

void TraceUnconditional(const char* fmt, ...) {
  LogRecord record;
  va_list args;
  va_start(args, fmt);
  WriteTraceRecord(0, fmt, &args, &record);
  va_end(args);
}

namespace {
void ConsoleV(uint32_t console_id, uint32_t trace_id, const char* fmt, va_list args) {
  if (IsTraceEnabled(console_id)) {
    LogRecord record;
    record.channel = LogChannelConsole;
    record.message_id = 1;
    record.format = fmt ? fmt : "";
    va_list copy;
    va_copy(copy, args);
    record.args = &copy;
    WriteLogRecord(record);
    va_end(copy);
  }
  if (IsTraceEnabled(trace_id)) TraceWriteV("Console", trace_id, fmt, args);
}
}  // namespace

void ConsolePrint(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  ConsoleV(ConsoleOutput, ConsoleTrace, fmt, args);
  va_end(args);
}

void ConsolePrintIds(uint32_t console_id, uint32_t trace_id, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  ConsoleV(console_id, trace_id, fmt, args);
  va_end(args);
}

void LogEvent(uint32_t event_id, const char* const* texts, int text_count, const char* fmt, ...) {
  LogRecord record;
  record.channel = LogChannelEvent;
  record.message_id = event_id;
  record.format = fmt ? fmt : "";
  for (int i = 0; texts && i < text_count; ++i) record.AddText(texts[i] ? texts[i] : "");
  va_list args;
  va_start(args, fmt);
  record.args = &args;
  WriteLogRecord(record);
  va_end(args);
}

std::string RelativeSourceName(const char* file) {
  if (!file) return std::string();
  std::string path(file);
  for (char& c : path)
    if (c == '\\') c = '/';
  std::string rest;
  size_t pos = path.rfind("/src/");
  if (pos != std::string::npos) {
    rest = path.substr(pos + 1);
  } else if (path.compare(0, 4, "src/") == 0) {
    rest = path;
  } else {
    size_t slash = path.rfind('/');
    rest = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  for (char& c : rest)
    if (c == '/') c = '\\';
  return "..\\" + rest;
}

void AssertionFailed(const char* file, int line, const char* expression, const char* diag) {
  Assertion(file, line, expression, diag != nullptr, diag);
}

void AssertionFailedDiag(const char* file, int line, const char* expression, const char* diag) {
  Assertion(file, line, expression, true, diag);
}

}  // namespace velmora::util
