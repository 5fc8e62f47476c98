// The writers behind the log channels: standard (file and console) and event log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "osal/Lock.h"
#include "util/Trace.h"

namespace velmora::util {

// Writes trace channels 0 and 1 into the trace file, events into the trace, fatal
// records to standard output before ending the process, and console records to standard
// output. One instance serves the process; thread-safe (a process-wide lock guards the
// file).
class LogWriterStandard : public LogWriter {
 public:
  static constexpr size_t kMaxLine = 1024;

  void Write(const LogRecord& record) override;
  // Changes the trace file; the next line opens (and empties) it.
  void SetFile(const std::string& path);
  std::string File();

  // The process's standard writer (never destroyed, so late traces still find it).
  static LogWriterStandard& Instance();

 private:
  void WriteLine(const char* text);

  osal::Lock M_Lock{"TraceFile"};
  std::string M_Path;
  FILE* M_pFile = nullptr;
  bool M_bOpenFailed = false;
};

// Reports channel-2 records to the system event log; records that cannot be reported
// go to the standard writer. Thread-safe.
class LogWriterEventLog : public LogWriter {
 public:
  static constexpr size_t kWorkArea = 10240;
  static constexpr int kMaxStrings = 97;

  void Write(const LogRecord& record) override;
  static LogWriterEventLog& Instance();
};

namespace trace_internal {
// The pause before a fatal record ends the process (5000 ms by default); tests shorten it.
void SetStandardFatalDelayMs(uint32_t ms);
uint32_t StandardFatalDelayMs();
}  // namespace trace_internal

}  // namespace velmora::util
