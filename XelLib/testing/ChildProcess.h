// Runs a mode of the current test binary as a child process, for cross-process tests.
//
// A test file declares a child mode with XEL_CHILD_MODE(name) { ... return exit_code; }.
// ChildProcess::Start("name", args) starts this program again with "--child=name args...";
// in the child, the mode's registrar (a global constructor) sees that argument, runs the
// body and ends the process at once (no destructors, no exit handlers) before gtest's main
// starts. The body therefore must not rely on other global objects of the test file. The
// child's standard output is a pipe to the parent (ChildSay / ReadLine), useful to say "ready".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "osal/Process.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::testing {

using ChildModeFn = int (*)(const std::vector<std::string>& args);

// Writes one line to the parent (the child's standard output).
inline void ChildSay(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// For a child mode that waits to be killed: never returns, but ends the child once its parent
// has gone without killing it (a crash, or a test runner's time-out), so that nothing is
// left running. A line to the parent every second fails once nobody reads the pipe any more
// (POSIX ends the writer with SIGPIPE; on Windows the write fails).
[[noreturn]] inline void ChildWaitToBeKilled() {
  for (;;) {
    osal::SleepMs(1000);
    if (std::fputs(".\n", stdout) < 0 || std::fflush(stdout) != 0) osal::TerminateProcess(0);
  }
}

// Runs fn and ends the process when it was started for this mode; otherwise does nothing.
class ChildModeRegistrar {
 public:
  ChildModeRegistrar(const char* mode, ChildModeFn fn) {
    std::vector<std::string> args = osal::CurrentCommandLine();
    if (args.size() < 2 || args[1] != std::string("--child=") + mode) return;
    int rc = fn(std::vector<std::string>(args.begin() + 2, args.end()));
    std::fflush(nullptr);
    osal::TerminateProcess(rc);
  }
};

#define XEL_CHILD_MODE(mode)                                                  \
  static int XelChildMode_##mode(const std::vector<std::string>& args);       \
  static ::velmora::testing::ChildModeRegistrar XelChildModeRegistrar_##mode( \
      #mode, &XelChildMode_##mode);                                           \
  static int XelChildMode_##mode([[maybe_unused]] const std::vector<std::string>& args)

// A child process running one mode of this binary. Killed and reaped on destruction if
// still running. Belongs to one thread.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts "<this program> --child=<mode> args...". False if it could not be started.
  bool Start(const std::string& mode, const std::vector<std::string>& args = {}) {
    if (M_Process.IsStarted()) return false;
    std::vector<std::string> all = {"--child=" + mode};
    all.insert(all.end(), args.begin(), args.end());
    osal::ProcessOptions options;
    options.stdout_mode = osal::ChildOutput::kPipe;
    return M_Process.Start(osal::CurrentExecutablePath(), all, options).ok();
  }

  // The child's process id (0 before Start).
  uint32_t pid() const { return M_Process.id(); }

  // Reads the next line the child wrote (without the line end). False on time-out or when
  // the child closed its output.
  bool ReadLine(std::string* line, int timeout_ms) {
    return M_Process.ReadLine(line, static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms));
  }

  // Waits up to timeout_ms for the child to end; *exit_code receives its exit code, or -1
  // when it was killed (Kill or a signal). False while it still runs or when none was started.
  bool Wait(int timeout_ms, int* exit_code) {
    if (!M_Process.IsStarted()) return false;
    if (!M_Process.Wait(static_cast<uint32_t>(timeout_ms < 0 ? 0 : timeout_ms)).ok()) return false;
    const osal::ProcessExit& e = M_Process.exit();
    if (exit_code) *exit_code = e.killed ? -1 : e.code;
    return true;
  }

  // Ends the child at once (SIGKILL; TerminateProcess).
  void Kill() { (void)M_Process.Kill(); }

 private:
  osal::Process M_Process;
};

}  // namespace velmora::testing
