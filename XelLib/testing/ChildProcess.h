// Runs a mode of the current test binary as a child process, for cross-process tests.
// XEL_CHILD_MODE(name) { ... return exit_code; } declares one; ChildProcess::Start("name", args)
// runs this program again with "--child=name args...", and a global constructor runs the body
// and ends the process before main, so the body must not rely on other globals of its file.
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

// For a child that waits to be killed: ends it once its parent has gone without killing it, as
// the line it writes every second then fails (SIGPIPE on POSIX, a failed write on Windows).
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

// A child process running one mode of this binary; killed and reaped on destruction.
class ChildProcess {
 public:
  // Starts "<this program> --child=<mode> args...". False if it could not be started.
  bool Start(const std::string& mode, const std::vector<std::string>& args = {}) {
    if (M_Process.IsStarted()) return false;
    std::vector<std::string> all = {"--child=" + mode};
    all.insert(all.end(), args.begin(), args.end());
    osal::ProcessOptions options;
    options.stdout_mode = osal::ChildOutput::kPipe;
    return M_Process.Start(osal::CurrentExecutablePath(), all, options).ok();
  }

  uint32_t pid() const { return M_Process.id(); }  // 0 before Start

  // The next line the child wrote, without its end. False on time-out or closed output.
  bool ReadLine(std::string* line, uint32_t timeout_ms) {
    return M_Process.ReadLine(line, timeout_ms);
  }

  // Waits up to timeout_ms for the child to end; *exit_code gets its code, -1 when killed.
  // False while it still runs or when none was started.
  bool Wait(uint32_t timeout_ms, int* exit_code) {
    if (!M_Process.IsStarted() || !M_Process.Wait(timeout_ms).ok()) return false;
    const osal::ProcessExit& e = M_Process.exit();
    if (exit_code) *exit_code = e.killed ? -1 : e.code;
    return true;
  }

  void Kill() { (void)M_Process.Kill(); }

 private:
  osal::Process M_Process;
};

}  // namespace velmora::testing
