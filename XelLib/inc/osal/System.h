// Process and system information, clocks, unique ids and text conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Status.h"

namespace velmora::osal {

uint32_t CurrentProcessId();
// The machine's host name (Windows: its DNS host name); empty when unknown.
std::string HostName();
// The process's working directory, UTF-8, in the platform's form, without a trailing
// separator except for a root ("/", "C:\").
Status GetWorkingDirectory(std::string* dir);
// Makes dir the process's working directory.
Status SetWorkingDirectory(std::string_view dir);
// The temporary folder, UTF-8, with a trailing separator. POSIX: TMP, TEMP, TMPDIR, else
// /tmp; Windows: GetTempPath's choice (TMP, TEMP, USERPROFILE, else the Windows folder).
std::string TempDirectory();
// Replaces %NAME% by the environment variable NAME ("%TMP%" falls back to the temporary
// folder); unknown names stay as they are. Names compare as the platform's environment
// does: with case on POSIX, without on Windows.
std::string ExpandEnvironment(std::string_view text);

// Sets (or, with unset, removes) an environment variable of the process, so that both this
// process's later look-ups (getenv included) and the children it starts see the change.
// kInvalid for an empty name or one with "=". On Windows the C runtime's copy cannot hold an
// empty value: getenv then finds no variable, while the system's copy holds it empty.
Status SetEnvironmentVariable(std::string_view name, std::string_view value);
Status UnsetEnvironmentVariable(std::string_view name);

// Well-known folders.
enum class SpecialFolder {
  kUserAppData,    // the user's application data: AppData\Roaming; $XDG_CONFIG_HOME or ~/.config
  kCommonAppData,  // the machine's application data: ProgramData; /var/lib
  kProgramFiles,   // installed programs: Program Files (of the process's bitness); /usr/lib
  kTemp,           // TempDirectory() without its trailing separator
};
// The folder's path, UTF-8, without a trailing separator. The folder need not exist yet.
// kNotFound when the system does not name one. Thread-safe.
Status GetSpecialFolder(SpecialFolder which, std::string* path);

// An identifier of this installation of the operating system, stable across restarts.
// Windows: the product id of its registration (64-bit registry view also for 32-bit
// processes); POSIX: the machine id (/etc/machine-id). kNotFound when there is none.
Status GetProductId(std::string* id);

// The name of the failover cluster this machine is a member of. kNotFound when it is not a
// member (or the cluster service cannot be asked); kNotSupported where the system has no
// failover clusters (POSIX).
Status GetClusterName(std::string* name);

// The failover cluster's shared key for encrypted content: the value "EncryptionKey" among the
// private properties of the cluster resource named kClusterKeyResource (its "Parameters" key in
// the cluster database), as its bytes when binary, as UTF-8 when text. kNotFound when the
// machine is no member or the resource or value is missing, kAccessDenied when the cluster
// refuses, kNotSupported where the system has no failover clusters (POSIX). Thread-safe.
inline constexpr std::string_view kClusterKeyResource = "XEL Encryption";
Status GetClusterKey(std::string* key);

// Reads a small secret file (a key file) that no other account can read: kAccessDenied when
// it can, so that a key is never taken from a file others could copy. POSIX: the group or
// others hold the read permission (with an access list: its mask or the others' entry).
// Windows: its access list lets an account other than its owner, SYSTEM and the
// Administrators read it, or it has no access list. kInvalid when the file holds more than
// max_size bytes. Thread-safe.
Status ReadOwnerOnlyFile(std::string_view path, size_t max_size, std::string* content);
// Creates or replaces a file that only the calling account may read and write (POSIX: mode
// 0600; Windows: an access list with the current user alone), holding content.
Status WriteOwnerOnlyFile(std::string_view path, std::string_view content);

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

// Monotonic high-resolution counter and its frequency in ticks per second (POSIX: ns;
// Windows: the performance counter's own frequency).
uint64_t PerformanceCounter();
uint64_t PerformanceFrequency();
// Milliseconds of a monotonic clock (for time-outs).
uint64_t TickCountMs();

// A new version-4 UUID from the system's generator, in RFC 4122 byte order (the first three
// fields big-endian, unlike Windows' GUID structure).
void CreateUuid(uint8_t out[16]);
// Fills buffer with random bytes from the system's generator.
void RandomBytes(void* buffer, size_t size);

// UTF-8 <-> UTF-16. Invalid sequences are replaced by U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Writes one event to the system's event log: source is the event source (Windows) or
// the ident (syslog on POSIX), type 0/1 information, 2 warning, 3 error; on Windows bits
// 16..27 of event_id give the category. kInvalid for an unknown type or when the source
// cannot be opened (code(): the system's error), kOther when writing failed.
Status ReportSystemEvent(std::string_view source, int type, uint32_t event_id,
                         std::string_view text);

// Ends the process at once with the exit code, without running destructors.
[[noreturn]] void TerminateProcess(int exit_code);

}  // namespace velmora::osal
