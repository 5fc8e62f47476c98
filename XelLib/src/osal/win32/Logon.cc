// Logon on Windows: LogonUserW for an account's password, impersonation of its token on the
// calling thread, and the thread tokens that show which threads impersonate.
#include "osal/Logon.h"

#include <string>
#include <vector>

#include "win32/WindowsSupport.h"

// After windows.h: the thread snapshots.
#include <tlhelp32.h>

// <windows.h> maps LogonUser to LogonUserW; the layer's function keeps its own name.
#undef LogonUser

namespace velmora::osal {
namespace {

// Whether this thread impersonates through ImpersonateLoggedOnUser below. The system keeps
// the truth (the thread token); the mark lets RevertToSelf leave alone a thread that some
// other code made impersonate.
thread_local bool t_bImpersonating = false;

Status Invalid(DWORD error) { return Status(ErrorKind::kInvalid, static_cast<int>(error)); }

// The account split as LogonUserW takes it: "name@domain" at the first "@", "domain\name" at
// the first backslash; a plain name belongs to the local account database ".".
void SplitAccount(std::string_view account, std::wstring* pName, std::wstring* pDomain) {
  size_t at = account.find('@');
  size_t backslash = account.find('\\');
  if (at != std::string_view::npos) {
    *pName = win32::Widen(account.substr(0, at));
    *pDomain = win32::Widen(account.substr(at + 1));
  } else if (backslash != std::string_view::npos) {
    *pDomain = win32::Widen(account.substr(0, backslash));
    *pName = win32::Widen(account.substr(backslash + 1));
  } else {
    *pName = win32::Widen(account);
    pDomain->clear();
  }
  if (pDomain->empty()) *pDomain = L".";
}

}  // namespace

void LogonToken::Close() {
  // A handle closed once is never closed again: the pointer is gone with the first close.
  if (M_pNative != nullptr) ::CloseHandle(static_cast<HANDLE>(M_pNative));
  M_pNative = nullptr;
  M_bValid = false;
  M_UserName.clear();
  M_Uid = 0;
  M_Gid = 0;
  M_Groups.clear();
}

Status LogonToken::Resolve(std::string_view /*user*/) {
  Close();
  return Status(ErrorKind::kNotSupported, ERROR_NOT_SUPPORTED);
}

Status LogonUser(std::string_view user, std::string_view password, std::string_view /*service*/,
                 LogonToken* pToken) {
  if (pToken == nullptr) return Invalid(ERROR_INVALID_PARAMETER);
  pToken->Close();
  if (user.empty() || user.find('\0') != std::string_view::npos ||
      password.find('\0') != std::string_view::npos) {
    return Invalid(ERROR_INVALID_PARAMETER);
  }
  std::wstring name;
  std::wstring domain;
  SplitAccount(user, &name, &domain);
  std::wstring secret = win32::Widen(password);
  HANDLE token = nullptr;
  BOOL bOk = ::LogonUserW(name.c_str(), domain.c_str(), secret.c_str(), LOGON32_LOGON_INTERACTIVE,
                          LOGON32_PROVIDER_DEFAULT, &token);
  DWORD error = bOk ? ERROR_SUCCESS : ::GetLastError();
  ::SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
  if (!bOk) return Status(ErrorKind::kAccessDenied, static_cast<int>(error));
  pToken->M_pNative = token;
  pToken->M_UserName = std::string(user);
  pToken->M_bValid = true;
  return Status::Ok();
}

Status LogonProcessAccount(LogonToken* pToken) {
  if (pToken == nullptr) return Invalid(ERROR_INVALID_PARAMETER);
  pToken->Close();
  // ImpersonateLoggedOnUser makes its own impersonation copy of a primary token; these are the
  // rights it needs on the handle.
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE,
                          &token)) {
    return win32::LastErrorStatus();
  }
  wchar_t name[257];
  DWORD length = static_cast<DWORD>(sizeof name / sizeof name[0]);
  pToken->M_UserName = ::GetUserNameW(name, &length) && length > 0
                           ? win32::Narrow(std::wstring_view(name, length - 1))
                           : std::string();
  pToken->M_pNative = token;
  pToken->M_bValid = true;
  return Status::Ok();
}

std::string LogonErrorText(int code) { return Status::FromNative(code).Text(); }

Status ImpersonateLoggedOnUser(const LogonToken& token) {
  if (!token.IsValid() || token.NativeHandle() == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  if (!::ImpersonateLoggedOnUser(static_cast<HANDLE>(token.NativeHandle()))) {
    return win32::LastErrorStatus();
  }
  t_bImpersonating = true;
  return Status::Ok();
}

Status RevertToSelf() {
  if (!t_bImpersonating) return Status::Ok();
  if (!::RevertToSelf()) return win32::LastErrorStatus();
  t_bImpersonating = false;
  return Status::Ok();
}

bool IsImpersonating() { return t_bImpersonating; }

Status ListImpersonatingThreads(std::vector<uint32_t>* pThreadIds) {
  if (pThreadIds == nullptr) return Invalid(ERROR_INVALID_PARAMETER);
  pThreadIds->clear();
  win32::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot.IsValid()) return win32::LastErrorStatus();
  const DWORD process = ::GetCurrentProcessId();
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL bMore = ::Thread32First(snapshot.get(), &entry); bMore;
       bMore = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != process) continue;
    win32::UniqueHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    if (!thread.IsValid()) continue;  // ended since the snapshot
    HANDLE token = nullptr;
    // Opened with the process's own identity, so that a token the impersonated account may not
    // open is still seen.
    if (::OpenThreadToken(thread.get(), TOKEN_QUERY, TRUE, &token)) {
      ::CloseHandle(token);
      pThreadIds->push_back(entry.th32ThreadID);
    } else if (::GetLastError() != ERROR_NO_TOKEN) {
      // A token that cannot be opened (an anonymous one, say) is still a foreign identity.
      pThreadIds->push_back(entry.th32ThreadID);
    }
  }
  return Status::Ok();
}

}  // namespace velmora::osal
