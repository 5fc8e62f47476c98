// Process and system information, clocks, unique ids and text conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Status.h"

namespace velmora::osal {

uint32_t CurrentProcessId();
std::string HostName();
// The process's working directory, UTF-8, without a trailing separator.
Status GetWorkingDirectory(std::string* dir);
// The temporary folder (TMP, TEMP, TMPDIR, else /tmp), UTF-8, with a trailing separator.
std::string TempDirectory();
// Replaces %NAME% by the environment variable NAME ("%TMP%" falls back to the temporary
// folder); unknown names stay as they are.
std::string ExpandEnvironment(std::string_view text);

// Current UTC time as a file time (100-ns units since 1601-01-01).
uint64_t SystemTimeAsFileTime();

// Calendar fields of a local time.
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
// The current local time.
LocalTime CurrentLocalTime();
// A file time as local time.
LocalTime FileTimeToLocal(uint64_t file_time);

// Monotonic high-resolution counter and its frequency in ticks per second.
uint64_t PerformanceCounter();
uint64_t PerformanceFrequency();
// Milliseconds of a monotonic clock (for time-outs).
uint64_t TickCountMs();

// 16 random bytes from the system's generator (a version-4 UUID).
void CreateUuid(uint8_t out[16]);
// Fills buffer with random bytes from the system's generator.
void RandomBytes(void* buffer, size_t size);

// UTF-8 <-> UTF-16. Invalid sequences are replaced by U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Writes one event to the system's event log (syslog on POSIX): source is the
// ident, type 0/1 information, 2 warning, 3 error.
Status ReportSystemEvent(std::string_view source, int type, uint32_t event_id,
                         std::string_view text);

// Ends the process at once with the exit code, without running destructors.
[[noreturn]] void TerminateProcess(int exit_code);

}  // namespace velmora::osal
