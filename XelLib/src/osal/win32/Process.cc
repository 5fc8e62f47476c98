// Win32 child processes (CreateProcessW with only the redirected handles inherited), the
// running program's path and command line, and the console's control events as interrupts.
#include "osal/Process.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "win32/WindowsSupport.h"
// clang-format off
#include <shellapi.h>  // needs <windows.h> first
// clang-format on

namespace velmora::osal {
namespace {

using win32::ErrorStatus;
using win32::LastErrorStatus;
using win32::Narrow;
using win32::UniqueHandle;
using win32::Widen;

// The exit code that Kill gives a child (what the shells report for a killed process).
constexpr UINT kKilledExitCode = 137;

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// A path from the caller's form (UTF-8, either separator) to an absolute Windows path.
std::wstring FullPath(const std::string& path) {
  std::wstring w = Widen(path);
  std::replace(w.begin(), w.end(), L'/', L'\\');
  DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return w;
  full.resize(n);
  return full;
}

bool IsFile(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Appends arg to a command line so that the C runtime's parser gives it back unchanged:
// arguments with blanks or quotes, and empty ones, are quoted; inside quotes a quote is
// escaped with a backslash, and the backslashes before a quote (or before the closing quote)
// are doubled. Backslashes elsewhere are literal.
void AppendQuoted(const std::wstring& arg, std::wstring* line) {
  if (!line->empty()) line->push_back(L' ');
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line->append(arg);
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

// An inheritable duplicate of h (none when h is none): the child receives it, and only it,
// through the handle list.
UniqueHandle InheritableCopy(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return UniqueHandle();
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(copy);
}

Status CreateOutputFile(const std::string& path, UniqueHandle* out) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE h = ::CreateFileW(FullPath(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorStatus();
  out->Reset(h);
  return Status::Ok();
}

// CreateProcessW's errors in the kinds that Start promises.
Status StartError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
      return Status(ErrorKind::kNotFound, static_cast<int>(error));
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return Status(ErrorKind::kAccessDenied, static_cast<int>(error));
    default:
      return ErrorStatus(error);
  }
}

// A list of handles for PROC_THREAD_ATTRIBUTE_HANDLE_LIST.
class AttributeList {
 public:
  ~AttributeList() {
    if (M_pList) ::DeleteProcThreadAttributeList(M_pList);
  }
  bool Build(std::vector<HANDLE>* handles) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    M_Storage.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(M_Storage.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    M_pList = list;
    return ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles->data(),
                                       handles->size() * sizeof(HANDLE), nullptr, nullptr);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return M_pList; }

 private:
  std::vector<char> M_Storage;
  LPPROC_THREAD_ATTRIBUTE_LIST M_pList = nullptr;
};

std::atomic<void (*)()> g_pInterruptHandler{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  void (*handler)() = g_pInterruptHandler.load();
  if (handler == nullptr) return FALSE;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      handler();
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The system ends the process as soon as this returns; waiting here gives the main
      // thread the few seconds the system allows to finish in order.
      handler();
      ::Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

std::string ProcessExit::Describe() const {
  if (!exited) return "still running";
  if (killed) return "killed (exit code " + std::to_string(code) + ")";
  return "exited with code " + std::to_string(code);
}

Process::~Process() {
  if (M_Id != 0 && !M_Exit.exited) {
    (void)Kill();
    (void)Wait(5000);
  }
  if (M_Handle != 0) ::CloseHandle(AsHandle(M_Handle));
  M_Handle = 0;
  CloseOutput();
}

Status Process::Start(const std::string& program, const std::vector<std::string>& args,
                      const ProcessOptions& options) {
  if (program.empty() || (M_Id != 0 && !HasEnded())) return ErrorStatus(ERROR_INVALID_PARAMETER);
  if (M_Handle != 0) ::CloseHandle(AsHandle(M_Handle));
  M_Handle = 0;
  M_Id = 0;
  M_Exit = ProcessExit();
  M_Buffer.clear();
  M_bKillSent = false;
  M_bDetached = options.detach_interrupt;
  CloseOutput();

  // CreateProcessW takes the program's name as it is; the command interpreter's habit of
  // adding ".exe" is repeated here so that callers need not know the platform's suffix.
  std::wstring app = FullPath(program);
  if (!IsFile(app)) {
    const size_t name = app.find_last_of(L'\\') + 1;
    if (app.find(L'.', name) == std::wstring::npos && IsFile(app + L".exe")) {
      app += L".exe";
    } else {
      return Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
    }
  }
  std::wstring dir;
  if (!options.working_dir.empty()) {
    dir = FullPath(options.working_dir);
    if (!IsFolder(dir)) return Status(ErrorKind::kNotFound, ERROR_PATH_NOT_FOUND);
  }
  // argv[0] is taken literally by the C runtime up to the closing quote; a path holds no quote.
  std::wstring line = L"\"" + app + L"\"";
  for (const std::string& a : args) AppendQuoted(Widen(a), &line);

  UniqueHandle in = InheritableCopy(::GetStdHandle(STD_INPUT_HANDLE));
  UniqueHandle out, err, pipeRead;
  Status status;
  switch (options.stdout_mode) {
    case ChildOutput::kInherit:
      out = InheritableCopy(::GetStdHandle(STD_OUTPUT_HANDLE));
      break;
    case ChildOutput::kToStderr:
      out = InheritableCopy(::GetStdHandle(STD_ERROR_HANDLE));
      break;
    case ChildOutput::kPipe: {
      HANDLE r = nullptr, w = nullptr;
      if (!::CreatePipe(&r, &w, nullptr, 0)) return LastErrorStatus();
      pipeRead.Reset(r);
      UniqueHandle write(w);
      out = InheritableCopy(w);
      if (!out.IsValid()) status = LastErrorStatus();
      break;
    }
    case ChildOutput::kFile:
      status = CreateOutputFile(options.stdout_file, &out);
      break;
  }
  if (status.ok()) {
    if (options.stderr_file.empty()) {
      err = InheritableCopy(::GetStdHandle(STD_ERROR_HANDLE));
    } else {
      status = CreateOutputFile(options.stderr_file, &err);
    }
  }
  if (!status.ok()) return status;

  STARTUPINFOEXW si;
  ::ZeroMemory(&si, sizeof si);
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = in.get();
  si.StartupInfo.hStdOutput = out.get();
  si.StartupInfo.hStdError = err.get();
  // Only these handles reach the child, whatever else of this process is inheritable.
  std::vector<HANDLE> inherited;
  for (const UniqueHandle* h : {&in, &out, &err}) {
    if (h->IsValid()) inherited.push_back(h->get());
  }
  AttributeList attributes;
  DWORD flags = 0;
  if (!inherited.empty()) {
    if (!attributes.Build(&inherited)) return LastErrorStatus();
    si.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  if (options.detach_interrupt) flags |= CREATE_NEW_PROCESS_GROUP;

  PROCESS_INFORMATION pi;
  ::ZeroMemory(&pi, sizeof pi);
  if (!::CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, !inherited.empty(), flags,
                        nullptr, dir.empty() ? nullptr : dir.c_str(), &si.StartupInfo, &pi)) {
    return StartError(::GetLastError());
  }
  ::CloseHandle(pi.hThread);
  M_Handle = reinterpret_cast<intptr_t>(pi.hProcess);
  M_Id = pi.dwProcessId;
  if (pipeRead.IsValid()) M_OutPipe = reinterpret_cast<intptr_t>(pipeRead.Release());
  return Status::Ok();
}

Status Process::Attach(uint32_t pid) {
  if (pid == 0 || (M_Id != 0 && !HasEnded())) return ErrorStatus(ERROR_INVALID_PARAMETER);
  HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                           FALSE, pid);
  if (h == nullptr) {
    const DWORD error = ::GetLastError();
    // OpenProcess says "invalid parameter" for an id that names no process.
    if (error == ERROR_INVALID_PARAMETER) return Status(ErrorKind::kNotFound, error);
    return ErrorStatus(error);
  }
  if (M_Handle != 0) ::CloseHandle(AsHandle(M_Handle));
  M_Handle = reinterpret_cast<intptr_t>(h);
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
  if (M_Handle == 0) return true;
  if (::WaitForSingleObject(AsHandle(M_Handle), block ? INFINITE : 0) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  if (!::GetExitCodeProcess(AsHandle(M_Handle), &code)) code = static_cast<DWORD>(-1);
  M_Exit.exited = true;
  M_Exit.killed = M_bKillSent;
  M_Exit.code = static_cast<int>(code);
  return true;
}

bool Process::HasEnded() { return Reap(false); }

Status Process::Wait(uint32_t timeout_ms) {
  if (M_Id == 0) return ErrorStatus(ERROR_INVALID_PARAMETER);
  if (M_Exit.exited) return Status::Ok();
  const DWORD r = ::WaitForSingleObject(AsHandle(M_Handle), timeout_ms);
  if (r == WAIT_TIMEOUT) return Status(ErrorKind::kTimeout, WAIT_TIMEOUT);
  if (r != WAIT_OBJECT_0) return LastErrorStatus();
  (void)Reap(false);
  return Status::Ok();
}

Status Process::Kill() {
  if (M_Id == 0) return ErrorStatus(ERROR_INVALID_PARAMETER);
  if (HasEnded()) return Status::Ok();
  if (!::TerminateProcess(AsHandle(M_Handle), kKilledExitCode)) {
    const DWORD error = ::GetLastError();
    // A process that is ending refuses the call.
    if (::WaitForSingleObject(AsHandle(M_Handle), 0) == WAIT_OBJECT_0) return Status::Ok();
    return ErrorStatus(error);
  }
  M_bKillSent = true;
  return Status::Ok();
}

Status Process::Interrupt() {
  if (M_Id == 0) return ErrorStatus(ERROR_INVALID_PARAMETER);
  if (HasEnded()) return Status::Ok();
  // The event goes to a process group; a child that leads none would pass it on to every
  // process of the console, this one included.
  if (!M_bDetached) return Status(ErrorKind::kNotSupported, ERROR_NOT_SUPPORTED);
  if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, M_Id)) {
    return Status(ErrorKind::kNotSupported, static_cast<int>(::GetLastError()));
  }
  return Status::Ok();
}

bool Process::ReadLine(std::string* line, uint32_t timeout_ms) {
  const uint64_t deadline =
      timeout_ms == kInfinite ? UINT64_MAX : TickCountMs() + static_cast<uint64_t>(timeout_ms);
  uint32_t pause = 1;
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
    // An anonymous pipe cannot be waited for; what it holds is looked at instead, so that a
    // read never blocks beyond the time-out.
    DWORD available = 0;
    if (!::PeekNamedPipe(AsHandle(M_OutPipe), nullptr, 0, nullptr, &available, nullptr)) {
      CloseOutput();  // the child closed its end
      continue;
    }
    if (available > 0) {
      char buffer[4096];
      DWORD got = 0;
      if (!::ReadFile(AsHandle(M_OutPipe), buffer,
                      std::min<DWORD>(available, static_cast<DWORD>(sizeof buffer)), &got,
                      nullptr) ||
          got == 0) {
        CloseOutput();
        continue;
      }
      M_Buffer.append(buffer, got);
      pause = 1;
      continue;
    }
    const uint64_t now = TickCountMs();
    if (now >= deadline) return false;
    SleepMs(static_cast<uint32_t>(std::min<uint64_t>(pause, deadline - now)));
    pause = std::min<uint32_t>(pause * 2, 10);
  }
}

void Process::CloseOutput() {
  if (M_OutPipe >= 0) ::CloseHandle(AsHandle(M_OutPipe));
  M_OutPipe = -1;
}

std::string CurrentExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
  }
}

std::vector<std::string> CurrentCommandLine() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr) return args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(argv[i]));
  ::LocalFree(argv);
  return args;
}

void OnInterruptRequest(void (*handler)()) {
  static std::atomic<bool> installed{false};
  g_pInterruptHandler.store(handler);
  if (!installed.exchange(true)) ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

Status AdoptOrphanedDescendants() { return Status::Ok(); }

void UseBinaryStandardStreams() {
  std::fflush(stdout);
  (void)::_setmode(::_fileno(stdin), _O_BINARY);
  (void)::_setmode(::_fileno(stdout), _O_BINARY);
}

}  // namespace velmora::osal
