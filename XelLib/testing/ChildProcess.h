// Runs a mode of the current test binary as a child process, for cross-process tests.
//
// A test file declares a child mode with XEL_CHILD_MODE(name) { ... return exit_code; }.
// ChildProcess::Start("name", args) re-launches /proc/self/exe with "--child=name args...";
// in the child, the mode's registrar (a global constructor) sees that argument, runs the
// body and ends the process with _exit before gtest's main starts. The body therefore
// must not rely on other global objects of the test file. The child's standard output is
// a pipe to the parent (ChildSay / ReadLine), useful to say "ready".
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmora::testing {

using ChildModeFn = int (*)(const std::vector<std::string>& args);

// The process's own argument list, read from /proc/self/cmdline (usable before main).
inline std::vector<std::string> OwnCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

// Writes one line to the parent (the child's standard output).
inline void ChildSay(const std::string& text) {
  std::string line = text + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(1, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Runs fn and ends the process when it was started for this mode; otherwise does nothing.
class ChildModeRegistrar {
 public:
  ChildModeRegistrar(const char* mode, ChildModeFn fn) {
    std::vector<std::string> args = OwnCommandLine();
    if (args.size() < 2 || args[1] != std::string("--child=") + mode) return;
    int rc = fn(std::vector<std::string>(args.begin() + 2, args.end()));
    std::fflush(nullptr);
    ::_exit(rc);
  }
};

#define XEL_CHILD_MODE(mode)                                                  \
  static int XelChildMode_##mode(const std::vector<std::string>& args);       \
  static ::velmora::testing::ChildModeRegistrar XelChildModeRegistrar_##mode( \
      #mode, &XelChildMode_##mode);                                           \
  static int XelChildMode_##mode([[maybe_unused]] const std::vector<std::string>& args)

// A child process running one mode of this binary. Killed (SIGKILL) and reaped on
// destruction if still running. Belongs to one thread.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    if (M_Pid > 0) {
      Kill(SIGKILL);
      int status;
      Wait(5000, &status);
    }
    if (M_OutFd >= 0) ::close(M_OutFd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts "/proc/self/exe --child=<mode> args...". False if it could not be started.
  bool Start(const std::string& mode, const std::vector<std::string>& args = {}) {
    if (M_Pid > 0) return false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> all = {"/proc/self/exe", "--child=" + mode};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      return false;
    }
    M_Pid = pid;
    M_OutFd = fds[0];
    return true;
  }

  pid_t pid() const { return M_Pid; }

  // Reads the next line the child wrote (without the line end). False on time-out or
  // when the child closed its output.
  bool ReadLine(std::string* line, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t nl = M_Buffer.find('\n');
      if (nl != std::string::npos) {
        *line = M_Buffer.substr(0, nl);
        M_Buffer.erase(0, nl + 1);
        return true;
      }
      if (M_OutFd < 0) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      struct pollfd p = {M_OutFd, POLLIN, 0};
      int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      char buffer[256];
      ssize_t got = ::read(M_OutFd, buffer, sizeof buffer);
      if (got <= 0) {
        ::close(M_OutFd);
        M_OutFd = -1;
        continue;
      }
      M_Buffer.append(buffer, static_cast<size_t>(got));
    }
  }

  // Waits up to timeout_ms for the child to end; *status receives the waitpid status.
  bool Wait(int timeout_ms, int* status) {
    if (M_Pid <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      pid_t r = ::waitpid(M_Pid, status, WNOHANG);
      if (r == M_Pid || (r < 0 && errno != EINTR)) {
        M_Pid = -1;
        return r > 0;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Sends a signal to the child.
  void Kill(int sig) {
    if (M_Pid > 0) ::kill(M_Pid, sig);
  }

 private:
  pid_t M_Pid = -1;
  int M_OutFd = -1;
  std::string M_Buffer;
};

}  // namespace velmora::testing
