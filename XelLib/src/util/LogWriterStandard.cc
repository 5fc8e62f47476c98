// The standard log writer: the fallback trace file, console output and fatal stops.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "LogWriters.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::util {

namespace trace_internal {
namespace {
std::atomic<uint32_t> g_StandardFatalDelayMs{5000};
}
void SetStandardFatalDelayMs(uint32_t ms) { g_StandardFatalDelayMs.store(ms); }
uint32_t StandardFatalDelayMs() { return g_StandardFatalDelayMs.load(); }
}  // namespace trace_internal

LogWriterStandard& LogWriterStandard::Instance() {
  // Deliberately leaked: threads may trace while static objects are destroyed.
  static LogWriterStandard* instance = new LogWriterStandard;
  return *instance;
}

void LogWriterStandard::SetFile(const std::string& path) {
  osal::ScopedLock guard(M_Lock);
  if (M_pFile) fclose(M_pFile);
  M_pFile = nullptr;
  M_bOpenFailed = false;
  M_Path = path;
}

std::string LogWriterStandard::File() {
  osal::ScopedLock guard(M_Lock);
  return M_Path;
}

void LogWriterStandard::WriteLine(const char* text) {
  osal::LocalTime now = osal::CurrentLocalTime();
  osal::ScopedLock guard(M_Lock);
  if (!M_pFile) {
    // A file that could not be opened is not retried for every line.
    if (M_Path.empty() || M_bOpenFailed) return;
    M_pFile = fopen(M_Path.c_str(), "w+");
    if (!M_pFile) {
      M_bOpenFailed = true;
      return;
    }
  }
  // The line header's format is shared with the platform's tools; its "0" flag with a
  // precision is redundant but harmless.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  fprintf(M_pFile, "[%02.02i:%02.02i:%02.02i.%03.03i %d] %s\n", now.hour, now.minute, now.second,
          now.millisecond, static_cast<int>(osal::CurrentThreadId()), text);
#pragma GCC diagnostic pop
  fflush(M_pFile);
}

void LogWriterStandard::Write(const LogRecord& record) {
  char text[kMaxLine];
  switch (record.channel) {
    case LogChannelTrace:
    case LogChannelTrace2:
      record.Render(text, sizeof text, false, true);
      WriteLine(text);
      return;
    case LogChannelEvent: {
      record.Render(text, sizeof text, false, true);
      std::string line = "LogWriterStandard Event. Message=";
      line += text;
      WriteLine(line.c_str());
      return;
    }
    case LogChannelFatal: {
      record.Render(text, sizeof text, false, true);
      std::string line = "LogWriterStandard Terminates Process. Reason=";
      line += text;
      WriteLine(line.c_str());
      printf("\nFatal Error: %s", text);
      fflush(stdout);
      osal::SleepMs(trace_internal::StandardFatalDelayMs());
      osal::TerminateProcess(1);
    }
    case LogChannelConsole: {
      size_t n = record.Render(text, sizeof text, false, false);
      if (n > 0 && text[n - 1] == '^') {
        fwrite(text, 1, n - 1, stdout);
      } else {
        fwrite(text, 1, n, stdout);
        fputc('\n', stdout);
      }
      fflush(stdout);
      return;
    }
    default: {
      char diag[64];
      snprintf(diag, sizeof diag, "Invalid Log Channel %i", record.channel);
      AssertionFailedDiag(__FILE__, __LINE__, "record.channel < LogChannelCount", diag);
    }
  }
}

}  // namespace velmora::util
