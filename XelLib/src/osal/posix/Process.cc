// POSIX child processes (fork and exec with an error pipe, waitpid, signals), the running
// program's path and command line from /proc/self, and SIGINT/SIGTERM as interrupt requests.
#include "osal/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "osal/File.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Opens a redirection target in the parent, so that a failure is reported as a Status.
Status OpenForOutput(const std::string& path, int* fd) {
  *fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return *fd < 0 ? Status::FromNative(errno) : Status::Ok();
}

// In the child: makes from the descriptor to, which survives exec.
bool Redirect(int from, int to) {
  if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
  return ::dup2(from, to) == to;
}

// Reads a whole file of /proc with plain system calls (usable before main).
std::string ReadProcFile(const char* path) {
  std::string content;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

std::atomic<void (*)()> g_pInterruptHandler{nullptr};

void OnInterruptSignal(int) {
  const int saved = errno;
  if (void (*handler)() = g_pInterruptHandler.load()) handler();
  errno = saved;
}

}  // namespace

std::string ProcessExit::Describe() const {
  if (!exited) return "still running";
  if (killed) return "killed by signal " + std::to_string(code);
  return "exited with code " + std::to_string(code);
}

Process::~Process() {
  if (M_Id != 0 && !M_Exit.exited) {
    (void)Kill();
    (void)Wait(5000);
  }
  CloseOutput();
}

Status Process::Start(const std::string& program, const std::vector<std::string>& args,
                      const ProcessOptions& options) {
  if (program.empty() || (M_Id != 0 && !HasEnded())) return Status(ErrorKind::kInvalid, EINVAL);
  M_Id = 0;
  M_Exit = ProcessExit();
  M_Buffer.clear();
  M_bKillSent = false;
  M_bDetached = options.detach_interrupt;
  CloseOutput();

  // A relative program is found from the parent's working directory, as on Windows, even
  // when the child gets another one.
  const std::string given = NativePath(program);
  std::string path = given;
  if (path[0] != '/') {
    std::string cwd;
    Status s = GetWorkingDirectory(&cwd);
    if (!s.ok()) return s;
    path = cwd + "/" + path;
  }
  std::vector<std::string> all;
  all.reserve(args.size() + 1);
  all.push_back(given);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string dir = options.working_dir.empty() ? "" : NativePath(options.working_dir);

  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed. Every descriptor is close-on-exec; the child's
  // dup2 makes only its standard ones survive.
  int outRead = -1, outFd = -1, errFd = -1;
  Status status;
  switch (options.stdout_mode) {
    case ChildOutput::kInherit:
      break;
    case ChildOutput::kToStderr:
      outFd = STDERR_FILENO;
      break;
    case ChildOutput::kPipe: {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) return Status::FromNative(errno);
      outRead = fds[0];
      outFd = fds[1];
      break;
    }
    case ChildOutput::kFile:
      status = OpenForOutput(options.stdout_file, &outFd);
      break;
  }
  if (status.ok() && !options.stderr_file.empty())
    status = OpenForOutput(options.stderr_file, &errFd);
  int errPipe[2] = {-1, -1};
  if (status.ok() && ::pipe2(errPipe, O_CLOEXEC) != 0) status = Status::FromNative(errno);
  auto closeAll = [&]() {
    if (outFd != STDERR_FILENO) CloseFd(&outFd);
    CloseFd(&errFd);
    CloseFd(&errPipe[0]);
    CloseFd(&errPipe[1]);
  };
  if (!status.ok()) {
    closeAll();
    CloseFd(&outRead);
    return status;
  }
  const bool detach = options.detach_interrupt;

  const pid_t pid = ::fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (detach) {
      // An ignored signal stays ignored across exec.
      struct sigaction ignore;
      ::memset(&ignore, 0, sizeof ignore);
      ignore.sa_handler = SIG_IGN;
      ::sigaction(SIGINT, &ignore, nullptr);
    }
    int err = 0;
    if (outFd >= 0 && !Redirect(outFd, STDOUT_FILENO)) err = errno;
    if (!err && errFd >= 0 && !Redirect(errFd, STDERR_FILENO)) err = errno;
    if (!err && !dir.empty() && ::chdir(dir.c_str()) != 0) err = errno;
    if (!err) {
      ::execv(path.c_str(), argv.data());
      err = errno;
    }
    ssize_t n = ::write(errPipe[1], &err, sizeof err);
    (void)n;
    ::_exit(127);
  }
  if (pid < 0) {
    status = Status::FromNative(errno);
    closeAll();
    CloseFd(&outRead);
    return status;
  }
  CloseFd(&errPipe[1]);
  // The pipe closes without data when exec succeeded; otherwise it carries the errno.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(errPipe[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  closeAll();
  M_Id = static_cast<uint32_t>(pid);
  if (n == static_cast<ssize_t>(sizeof err)) {
    (void)Reap(true);
    M_Id = 0;
    M_Exit = ProcessExit();
    CloseFd(&outRead);
    return Status::FromNative(err);
  }
  M_OutPipe = outRead;
  return Status::Ok();
}

Status Process::Attach(uint32_t pid) {
  if (pid == 0 || (M_Id != 0 && !HasEnded())) return Status(ErrorKind::kInvalid, EINVAL);
  const pid_t p = static_cast<pid_t>(pid);
  if (::kill(p, 0) != 0 && errno == ESRCH) return Status(ErrorKind::kNotFound, ESRCH);
  // Only a parent can wait for a process; WNOWAIT leaves an ended one to Wait.
  siginfo_t info;
  ::memset(&info, 0, sizeof info);
  if (::waitid(P_PID, static_cast<id_t>(p), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno == ECHILD ? Status(ErrorKind::kNotSupported, ECHILD) : Status::FromNative(errno);
  }
  M_Exit = ProcessExit();
  M_Buffer.clear();
  M_bKillSent = false;
  M_bDetached = false;
  CloseOutput();
  M_Id = pid;
  return Status::Ok();
}

bool Process::Reap(bool block) {
  if (M_Id == 0 || M_Exit.exited) return true;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(static_cast<pid_t>(M_Id), &status, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  M_Exit.exited = true;
  if (got < 0) {
    // Reaped elsewhere: how it ended is lost.
    M_Exit.code = -1;
  } else if (WIFSIGNALED(status)) {
    M_Exit.killed = true;
    M_Exit.code = WTERMSIG(status);
  } else {
    M_Exit.code = WEXITSTATUS(status);
  }
  return true;
}

bool Process::HasEnded() { return Reap(false); }

Status Process::Wait(uint32_t timeout_ms) {
  if (M_Id == 0) return Status(ErrorKind::kInvalid, EINVAL);
  if (timeout_ms == kInfinite) {
    (void)Reap(true);
    return Status::Ok();
  }
  const uint64_t deadline = TickCountMs() + timeout_ms;
  uint32_t pause = 1;
  while (!Reap(false)) {
    const uint64_t now = TickCountMs();
    if (now >= deadline) return Status(ErrorKind::kTimeout, ETIMEDOUT);
    SleepMs(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
    pause = std::min<uint32_t>(pause * 2, 10);
  }
  return Status::Ok();
}

Status Process::Kill() {
  if (M_Id == 0) return Status(ErrorKind::kInvalid, EINVAL);
  if (HasEnded()) return Status::Ok();
  // An ended child stays a zombie until reaped, so the signal cannot hit another process.
  if (::kill(static_cast<pid_t>(M_Id), SIGKILL) != 0) return Status::FromNative(errno);
  M_bKillSent = true;
  return Status::Ok();
}

Status Process::Interrupt() {
  if (M_Id == 0) return Status(ErrorKind::kInvalid, EINVAL);
  if (HasEnded()) return Status::Ok();
  if (::kill(static_cast<pid_t>(M_Id), SIGINT) != 0) return Status::FromNative(errno);
  return Status::Ok();
}

bool Process::ReadLine(std::string* line, uint32_t timeout_ms) {
  const uint64_t deadline =
      timeout_ms == kInfinite ? UINT64_MAX : TickCountMs() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    const size_t nl = M_Buffer.find('\n');
    if (nl != std::string::npos || (M_OutPipe < 0 && !M_Buffer.empty())) {
      size_t end = nl == std::string::npos ? M_Buffer.size() : nl;
      *line = M_Buffer.substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      M_Buffer.erase(0, nl == std::string::npos ? end : nl + 1);
      return true;
    }
    if (M_OutPipe < 0) return false;
    const uint64_t now = TickCountMs();
    if (now >= deadline) return false;
    const uint64_t left = deadline - now;
    struct pollfd p = {static_cast<int>(M_OutPipe), POLLIN, 0};
    const int n = ::poll(&p, 1, left > INT32_MAX ? -1 : static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) continue;  // the deadline check above ends the wait
    char buffer[4096];
    const ssize_t got = ::read(static_cast<int>(M_OutPipe), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      CloseOutput();
      continue;
    }
    M_Buffer.append(buffer, static_cast<size_t>(got));
  }
}

void Process::CloseOutput() {
  if (M_OutPipe >= 0) ::close(static_cast<int>(M_OutPipe));
  M_OutPipe = -1;
}

std::string CurrentExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> CurrentCommandLine() {
  const std::string all = ReadProcFile("/proc/self/cmdline");
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

void OnInterruptRequest(void (*handler)()) {
  g_pInterruptHandler.store(handler);
  struct sigaction sa;
  ::memset(&sa, 0, sizeof sa);
  sa.sa_handler = &OnInterruptSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

Status AdoptOrphanedDescendants() {
#ifdef PR_SET_CHILD_SUBREAPER
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return Status::FromNative(errno);
  return Status::Ok();
#else
  return Status(ErrorKind::kNotSupported, ENOSYS);
#endif
}

void UseBinaryStandardStreams() {}

}  // namespace velmora::osal
