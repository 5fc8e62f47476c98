// Logon: checking an account's password and running the calling thread under its identity.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

// The authentication service a logon asks when the caller names none. On POSIX this is the
// PAM service "login": every system that lets users log on has it, and it applies the
// site's password rules (and its delay after a wrong password). A dedicated service file
// (for example /etc/pam.d/xelcfile) can be named instead to give the connector its own
// rules.
inline constexpr std::string_view kDefaultLogonService = "login";

// The identity of a logged-on account. On POSIX: user id, primary group and every group it
// belongs to. On Windows: the access token of the logon, an operating-system handle that the
// token owns and closes (Close, destruction); user and group ids stay 0 and empty there.
// Neither copyable nor movable, since it may own a handle. An empty token (IsValid() false)
// stands for no logon.
class LogonToken {
 public:
  LogonToken() = default;
  ~LogonToken() { Close(); }
  LogonToken(const LogonToken&) = delete;
  LogonToken& operator=(const LogonToken&) = delete;

  bool IsValid() const { return M_bValid; }
  const std::string& UserName() const { return M_UserName; }
  uint32_t Uid() const { return M_Uid; }
  uint32_t Gid() const { return M_Gid; }
  // Primary group first, then the supplementary groups.
  const std::vector<uint32_t>& Groups() const { return M_Groups; }
  // The operating system's handle of the logon (Windows: the access token's HANDLE), owned by
  // the token; null where the platform has none (POSIX) and once the token is closed.
  void* NativeHandle() const { return M_pNative; }
  // Forgets the identity and closes the native handle; the token is empty afterwards.
  // Closing twice does nothing.
  void Close();

  // Fills the token from the account database (used by LogonUser; also lets tests build a
  // token for an account without a password). kNotFound for an unknown account. Windows
  // has no token without a logon: kNotSupported (ERROR_NOT_SUPPORTED) there.
  Status Resolve(std::string_view user);

 private:
  // The platform's logons fill the token, on Windows with a handle that only they open.
  friend Status LogonUser(std::string_view user, std::string_view password,
                          std::string_view service, LogonToken* pToken);
  friend Status LogonProcessAccount(LogonToken* pToken);

  bool M_bValid = false;
  std::string M_UserName;
  uint32_t M_Uid = 0;
  uint32_t M_Gid = 0;
  std::vector<uint32_t> M_Groups;
  void* M_pNative = nullptr;
};

// Checks user and password with the authentication service and on success fills *pToken
// with the account's identity. user is "name", "name@domain" or "domain\name".
// - POSIX: PAM (authentication, then the account's validity such as expiry) with the service
//   named (empty: kDefaultLogonService), which gets user as it stands; a refused logon
//   returns ErrorKind::kAccessDenied whose code() is the PAM error number (for example 7 for
//   a wrong password, 10 for an unknown user).
// - Windows: LogonUserW, interactive logon with the default provider, the name and domain
//   passed apart (a name without domain logs on to the local account database "."); service
//   is not used. A refused logon returns ErrorKind::kAccessDenied whose code() is the
//   system's error number (for example 1326 for an unknown user or a wrong password).
// LogonErrorText explains a code. Blocking (the service may delay a refusal); thread-safe.
Status LogonUser(std::string_view user, std::string_view password, std::string_view service,
                 LogonToken* pToken);

// Fills *pToken with the account that the process itself runs as (POSIX: its real user id
// with that account's groups; Windows: the process's own access token). Impersonating it
// goes through every step of an impersonation without changing any right; tests use it where
// no account with a known password is at hand. Thread-safe.
Status LogonProcessAccount(LogonToken* pToken);

// The description of a code that LogonUser returned.
std::string LogonErrorText(int code);

// Runs the calling thread - and only it - under the token's identity; file-system access is
// checked against that identity. Other threads of the process keep theirs. Impersonating
// again while impersonating switches to the new token; RevertToSelf then goes back to the
// identity before the first.
// - POSIX: the token's user, primary group and groups; threads started meanwhile by the
//   calling thread inherit them. The process must run with the right to change ids (root):
//   real and saved ids stay as they are, so that RevertToSelf can return.
// - Windows: ImpersonateLoggedOnUser with the token's handle; the thread gets a thread token.
// An empty token is ErrorKind::kInvalid.
Status ImpersonateLoggedOnUser(const LogonToken& token);

// Gives the calling thread back the identity it had before ImpersonateLoggedOnUser.
// Success when the thread is not impersonating.
Status RevertToSelf();

// True while the calling thread runs under an identity that ImpersonateLoggedOnUser gave it.
bool IsImpersonating();

// Lists in *pThreadIds (CurrentThreadId numbers of osal/Thread.h) the threads of this process
// that run under an identity other than the process's own at this moment, as the operating
// system sees them: on Windows the threads that hold a thread token (OpenThreadToken), on
// POSIX those whose effective user or group id differs from the real one. Meant for checks
// that no request leaves an identity behind; the answer is a snapshot. Thread-safe.
Status ListImpersonatingThreads(std::vector<uint32_t>* pThreadIds);

// Impersonates a token for the lifetime of the guard, on the thread that created it;
// destroy it on the same thread.
class ScopedImpersonation {
 public:
  explicit ScopedImpersonation(const LogonToken& token)
      : M_Status(ImpersonateLoggedOnUser(token)) {}
  ~ScopedImpersonation() {
    if (M_Status.ok()) (void)RevertToSelf();
  }
  ScopedImpersonation(const ScopedImpersonation&) = delete;
  ScopedImpersonation& operator=(const ScopedImpersonation&) = delete;

  // Whether the impersonation began.
  const Status& status() const { return M_Status; }

 private:
  Status M_Status;
};

}  // namespace velmora::osal
