// POSIX process and system information, clocks, random numbers, owner-only files and the
// syslog writer.
#include "osal/System.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <vector>

#include "osal/File.h"

namespace velmora::osal {
namespace {

constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;

LocalTime Breakdown(time_t seconds, int millisecond) {
  struct tm tm {};
  localtime_r(&seconds, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     millisecond};
}

}  // namespace

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

std::string HostName() {
  char buffer[256];
  if (::gethostname(buffer, sizeof buffer) != 0) return std::string();
  buffer[sizeof buffer - 1] = 0;
  return buffer;
}

Status GetWorkingDirectory(std::string* dir) {
  if (dir == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
    if (errno != ERANGE || buffer.size() > (1u << 20)) return Status::FromNative(errno);
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  while (buffer.size() > 1 && buffer.back() == '/') buffer.pop_back();
  *dir = std::move(buffer);
  return Status::Ok();
}

Status SetWorkingDirectory(std::string_view dir) {
  if (dir.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string path(dir);
  if (::chdir(path.c_str()) != 0) return Status::FromNative(errno);
  return Status::Ok();
}

Status SetEnvironmentVariable(std::string_view name, std::string_view value) {
  std::string n(name), v(value);
  if (n.empty() || n.find('=') != std::string::npos) return Status(ErrorKind::kInvalid, EINVAL);
  if (::setenv(n.c_str(), v.c_str(), 1) != 0) return Status::FromNative(errno);
  return Status::Ok();
}

Status UnsetEnvironmentVariable(std::string_view name) {
  std::string n(name);
  if (n.empty() || n.find('=') != std::string::npos) return Status(ErrorKind::kInvalid, EINVAL);
  if (::unsetenv(n.c_str()) != 0) return Status::FromNative(errno);
  return Status::Ok();
}

std::string TempDirectory() {
  std::string dir;
  for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != 0) {
      dir = value;
      break;
    }
  }
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

Status GetSpecialFolder(SpecialFolder which, std::string* path) {
  if (path == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  std::string folder;
  switch (which) {
    case SpecialFolder::kUserAppData: {
      // The XDG base-directory rule: $XDG_CONFIG_HOME when absolute, else ~/.config.
      const char* config = std::getenv("XDG_CONFIG_HOME");
      if (config != nullptr && config[0] == '/') {
        folder = config;
        break;
      }
      const char* home = std::getenv("HOME");
      if (home != nullptr && home[0] == '/') {
        folder = home;
      } else {
        std::vector<char> buffer(16384);
        struct passwd entry;
        struct passwd* pFound = nullptr;
        if (getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &pFound) != 0 ||
            pFound == nullptr || pFound->pw_dir == nullptr || pFound->pw_dir[0] != '/') {
          return Status(ErrorKind::kNotFound, ENOENT);
        }
        folder = pFound->pw_dir;
      }
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      folder += folder == "/" ? ".config" : "/.config";
      break;
    }
    case SpecialFolder::kCommonAppData:
      folder = "/var/lib";
      break;
    case SpecialFolder::kProgramFiles:
      folder = "/usr/lib";
      break;
    case SpecialFolder::kTemp:
      folder = TempDirectory();
      break;
    default:
      return Status(ErrorKind::kInvalid, EINVAL);
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  *path = std::move(folder);
  return Status::Ok();
}

Status GetProductId(std::string* id) {
  if (id == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  std::ifstream in("/etc/machine-id");
  std::string line;
  if (!in || !std::getline(in, line)) return Status(ErrorKind::kNotFound, ENOENT);
  const size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return Status(ErrorKind::kNotFound, ENOENT);
  line.erase(0, first);
  line.erase(line.find_last_not_of(" \t\r\n") + 1);
  *id = std::move(line);
  return Status::Ok();
}

Status GetClusterName(std::string* name) {
  if (name == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  name->clear();
  return Status(ErrorKind::kNotSupported, ENOSYS);
}

Status GetClusterKey(std::string* key) {
  if (key == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  key->clear();
  return Status(ErrorKind::kNotSupported, ENOSYS);
}

Status ReadOwnerOnlyFile(std::string_view path, size_t max_size, std::string* content) {
  if (content == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  content->clear();
  const std::string native = NativePath(path);
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::FromNative(errno);
  struct stat st {};
  Status status;
  if (::fstat(fd, &st) != 0) {
    status = Status::FromNative(errno);
  } else if (!S_ISREG(st.st_mode)) {
    status = Status(ErrorKind::kInvalid, EINVAL);
  } else if (st.st_mode & (S_IRGRP | S_IROTH)) {
    // With an extended access list the group bits are its mask, which bounds every named
    // user and group: clear group and other read bits mean nobody else can read.
    status = Status(ErrorKind::kAccessDenied, EACCES);
  } else {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        status = Status::FromNative(errno);
        break;
      }
      if (n == 0) break;
      if (content->size() + static_cast<size_t>(n) > max_size) {
        status = Status(ErrorKind::kInvalid, EFBIG);
        break;
      }
      content->append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  if (!status.ok()) content->clear();
  return status;
}

Status WriteOwnerOnlyFile(std::string_view path, std::string_view content) {
  const std::string native = NativePath(path);
  const std::string temp = native + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Status::FromNative(errno);
  Status status;
  // The mode given to open is narrowed by the umask; state it explicitly.
  if (::fchmod(fd, 0600) != 0) status = Status::FromNative(errno);
  size_t done = 0;
  while (status.ok() && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = Status::FromNative(errno);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && status.ok()) status = Status::FromNative(errno);
  if (status.ok() && ::rename(temp.c_str(), native.c_str()) != 0) {
    status = Status::FromNative(errno);
  }
  if (!status.ok()) ::unlink(temp.c_str());
  return status;
}

std::string ExpandEnvironment(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find('%', i);
    size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, open - i));
    std::string name(text.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out.append(value);
    } else if (name == "TMP" || name == "TEMP") {
      std::string temp = TempDirectory();
      if (temp.size() > 1) temp.pop_back();  // %TMP% names the folder without a separator
      out.append(temp);
    } else {
      out.append(text.substr(open, close - open + 1));  // unknown: left as written
    }
    i = close + 1;
  }
  return out;
}

uint64_t SystemTimeAsFileTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return kUnixEpochInFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

LocalTime CurrentLocalTime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return Breakdown(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

LocalTime FileTimeToLocal(uint64_t file_time) {
  int64_t ticks = static_cast<int64_t>(file_time - kUnixEpochInFileTime);
  if (file_time < kUnixEpochInFileTime)
    ticks = -static_cast<int64_t>(kUnixEpochInFileTime - file_time);
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    seconds -= 1;
  }
  return Breakdown(static_cast<time_t>(seconds), static_cast<int>(rest / 10000));
}

uint64_t PerformanceCounter() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t PerformanceFrequency() { return 1000000000ull; }

uint64_t TickCountMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 1000000ull;
}

void RandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (size == 0) return;
  // Kernels without getrandom: the device serves the same generator.
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && size > 0) {
    ssize_t n = ::read(fd, p, size);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  if (size != 0) {
    // Handing out predictable bytes where unpredictable ones were asked for is worse
    // than stopping.
    std::fputs("fatal: the system's random generator is not available\n", stderr);
    std::abort();
  }
}

void CreateUuid(uint8_t out[16]) {
  RandomBytes(out, 16);
  out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);  // version 4
  out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

Status ReportSystemEvent(std::string_view source, int type, uint32_t event_id,
                         std::string_view text) {
  int priority;
  switch (type) {
    case 0:
    case 1:
      priority = LOG_INFO;
      break;
    case 2:
      priority = LOG_WARNING;
      break;
    case 3:
      priority = LOG_ERR;
      break;
    default:
      return Status(ErrorKind::kInvalid, EINVAL);
  }
  // openlog keeps the ident pointer and is process-wide: one report at a time.
  static std::mutex mutex;
  std::lock_guard<std::mutex> guard(mutex);
  std::string ident(source.empty() ? std::string_view("Tirzel") : source);
  ::openlog(ident.c_str(), LOG_PID, LOG_USER);
  ::syslog(priority, "[%u] %.*s", event_id, static_cast<int>(text.size()), text.data());
  ::closelog();
  return Status::Ok();
}

[[noreturn]] void TerminateProcess(int exit_code) { ::_exit(exit_code); }

}  // namespace velmora::osal
