// Child processes, the process's own program and command line, and the console's interrupt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

// Where a child's standard output goes.
enum class ChildOutput {
  kInherit,   // the parent's standard output
  kToStderr,  // the parent's standard error (keeps the parent's output for itself)
  kPipe,      // a pipe that the parent reads with Process::ReadLine
  kFile,      // the file ProcessOptions::stdout_file (created or truncated)
};

struct ProcessOptions {
  std::string working_dir;  // empty: the parent's
  ChildOutput stdout_mode = ChildOutput::kInherit;
  std::string stdout_file;  // for ChildOutput::kFile
  std::string stderr_file;  // empty: the parent's standard error; else created or truncated
  // The child does not receive the console's interrupt (Ctrl-C) that reaches the parent's
  // group, so that the parent can end it in order. Process::Interrupt still reaches it when it
  // asks for it (OnInterruptRequest); on Windows only such a child can be interrupted, as it
  // leads a process group of its own.
  bool detach_interrupt = false;
};

// How a child ended.
struct ProcessExit {
  bool exited = false;  // the child has ended and been reaped
  bool killed = false;  // ended by a signal (POSIX) or by Process::Kill (Windows)
  int code = 0;         // exit code, or the signal number when killed on POSIX
  // "still running", "exited with code N", "killed by signal N" (POSIX), "killed (exit code
  // N)" (Windows).
  std::string Describe() const;
};

// One child process. Killed and reaped on destruction if still running. Belongs to one thread.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts program with args (argv[0] is program itself; args follow it). The program is a
  // path (no search of PATH; a relative one is taken against the parent's working directory;
  // on Windows a name without extension is also tried with ".exe"). The child inherits the
  // environment and the parent's standard handles; on Windows no other handle, on POSIX also
  // the descriptors not marked close-on-exec (everything this layer opens is marked). Fails
  // with kNotFound when the program (or the working directory) does not exist, kAccessDenied
  // when it cannot be run, kInvalid while the child this object started before still runs.
  Status Start(const std::string& program, const std::vector<std::string>& args,
               const ProcessOptions& options = ProcessOptions());
  // Takes on a process that this one did not start (a running one, or on POSIX an ended child
  // not yet waited for), to wait for it, read how it ended and end it. Windows: any process
  // this account may open. POSIX: only a child of this process, which includes a descendant
  // orphaned after AdoptOrphanedDescendants; kNotFound when there is no such process,
  // kNotSupported when it is not a child.
  Status Attach(uint32_t pid);
  bool IsStarted() const { return M_Id != 0; }
  // The child's process id (0 when none was started).
  uint32_t id() const { return M_Id; }
  // True once the child has ended (it is reaped then, and exit() tells how).
  bool HasEnded();
  // Waits up to timeout_ms (kInfinite for ever) for the child to end; kTimeout while it
  // still runs, kInvalid when no child was started.
  Status Wait(uint32_t timeout_ms);
  const ProcessExit& exit() const { return M_Exit; }
  // Ends the child at once (SIGKILL; TerminateProcess). Success when it has ended already.
  Status Kill();
  // Asks the child to finish as after Ctrl-C (SIGINT; on Windows a Ctrl-Break event, which
  // needs detach_interrupt and a console shared with the child). kNotSupported where the
  // system cannot deliver it.
  Status Interrupt();
  // The next line the child wrote to its standard output (ChildOutput::kPipe), without the
  // line end ("\n" or "\r\n"). False on time-out or when the child closed its output; a last
  // line without a line end is returned once the output is closed.
  bool ReadLine(std::string* line, uint32_t timeout_ms);

 private:
  bool Reap(bool block);
  void CloseOutput();
  uint32_t M_Id = 0;
  intptr_t M_Handle = 0;     // Windows: the child's process handle (POSIX: unused)
  intptr_t M_OutPipe = -1;   // read end of the output pipe, -1 when none
  bool M_bDetached = false;  // started with detach_interrupt
  bool M_bKillSent = false;  // Kill has ended the child (Windows cannot tell otherwise)
  std::string M_Buffer;      // output read but not yet returned as lines
  ProcessExit M_Exit;
};

// The full path of the running program.
std::string CurrentExecutablePath();
// The running process's argument list, usable before main starts (argv[0] first), UTF-8.
std::vector<std::string> CurrentCommandLine();

// Calls handler (from a thread of the system's choosing, or a signal handler on POSIX: keep it
// to setting an atomic flag) when the console asks the process to stop: Ctrl-C, a break, the
// console's closing, or a termination request (SIGINT, SIGTERM). One handler per process; a
// later call replaces it.
void OnInterruptRequest(void (*handler)());

// Makes this process the parent of the processes that its descendants leave behind when they
// end first, so that Process::Attach can wait for them and learn how they ended (Linux: a
// child subreaper). Nothing to do on Windows, where any process can be waited for.
Status AdoptOrphanedDescendants();

// Makes standard input and output carry bytes unchanged (Windows' C runtime otherwise turns
// "\n" into "\r\n" on output and back on input); nothing to do on POSIX. Call before using them.
void UseBinaryStandardStreams();

}  // namespace velmora::osal
