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

// The identity of a logged-on account: user id, primary group and every group it belongs
// to. Plain data; move- and copyable. An empty token (IsValid() false) stands for no logon.
class LogonToken {
 public:
  LogonToken() = default;

  bool IsValid() const { return M_bValid; }
  const std::string& UserName() const { return M_UserName; }
  uint32_t Uid() const { return M_Uid; }
  uint32_t Gid() const { return M_Gid; }
  // Primary group first, then the supplementary groups.
  const std::vector<uint32_t>& Groups() const { return M_Groups; }
  // Forgets the identity; the token is empty afterwards. Closing twice does nothing.
  void Close();

  // Fills the token from the account database (used by LogonUser; also lets tests build a
  // token for an account without a password). kNotFound for an unknown account.
  Status Resolve(std::string_view user);

 private:
  bool M_bValid = false;
  std::string M_UserName;
  uint32_t M_Uid = 0;
  uint32_t M_Gid = 0;
  std::vector<uint32_t> M_Groups;
};

// Checks user and password with the authentication service (PAM: authentication, then the
// account's validity such as expiry) and on success resolves the account into *pToken.
// A refused logon returns ErrorKind::kAccessDenied whose code() is the PAM error number
// (for example 7 for a wrong password, 10 for an unknown user); LogonErrorText explains
// it. Blocking (the service may delay a refusal); thread-safe.
Status LogonUser(std::string_view user, std::string_view password, std::string_view service,
                 LogonToken* pToken);

// The description of a code that LogonUser returned.
std::string LogonErrorText(int code);

// Runs the calling thread - and only it - under the token's user, primary group and
// groups; file-system access is checked against that identity. Other threads of the
// process keep theirs; threads started meanwhile by the calling thread inherit it. The
// process must run with the right to change ids (root): real and saved ids stay as they
// are, so that RevertToSelf can return. Impersonating again while impersonating switches
// to the new token; RevertToSelf then goes back to the identity before the first.
Status ImpersonateLoggedOnUser(const LogonToken& token);

// Gives the calling thread back the identity it had before ImpersonateLoggedOnUser.
// Success when the thread is not impersonating.
Status RevertToSelf();

// True while the calling thread runs under an impersonated identity.
bool IsImpersonating();

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
