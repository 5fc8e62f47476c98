// AccountCalls: the layer's calls that act for an account (logon, impersonation, folder rights,
// share connections) behind one replaceable object, so that tests can make them answer with
// any native code.
#pragma once

#include <cstdint>
#include <string_view>

#include "osal/Logon.h"
#include "osal/Security.h"
#include "osal/Status.h"

namespace velmora::osal {

// The account calls of Logon.h, Security.h and NetShare.h as virtual operations whose
// defaults are those functions. Code whose handling of every native outcome must be testable
// (the file connector's logons and share connections) calls them through Current(). A test
// installs a subclass that overrides some operations - to answer with an error code that the
// system at hand cannot produce, or to record which thread made a call - and leaves the
// others to the defaults, which go on to the operating system. The codes keep their native
// meaning: Windows error numbers on Windows; on POSIX PAM errors for logons, errno values
// for impersonation and rights, Windows error numbers for shares.
class AccountCalls {
 public:
  AccountCalls() = default;
  virtual ~AccountCalls() = default;
  AccountCalls(const AccountCalls&) = delete;
  AccountCalls& operator=(const AccountCalls&) = delete;

  // osal::LogonUser.
  virtual Status LogonUser(std::string_view user, std::string_view password,
                           std::string_view service, LogonToken* pToken);
  // osal::ImpersonateLoggedOnUser.
  virtual Status ImpersonateLoggedOnUser(const LogonToken& token);
  // osal::RevertToSelf.
  virtual Status RevertToSelf();
  // SecurityInfo::Read of path into *pInfo.
  virtual Status ReadSecurity(std::string_view path, SecurityInfo* pInfo);
  // SecurityInfo::GetEffectiveRights on info.
  virtual Status GetEffectiveRights(const SecurityInfo& info, std::string_view trustee,
                                    uint32_t* pMask);
  // osal::AddShareConnection; the result is a NetShareCode or another native code.
  virtual uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                                      std::string_view password);
  // osal::CancelShareConnection.
  virtual uint32_t CancelShareConnection(std::string_view remote, bool bForce);

  // The installed calls, or the defaults when none are installed. Thread-safe.
  static AccountCalls& Current();
  // Installs pCalls (not owned; null puts the defaults back) and returns the calls installed
  // before (null for the defaults). Install before the threads that use the calls start and
  // keep the object alive until it is replaced.
  static AccountCalls* Install(AccountCalls* pCalls);
};

// Installs calls for its own lifetime and then puts the previous ones back (tests).
class ScopedAccountCalls {
 public:
  explicit ScopedAccountCalls(AccountCalls* pCalls) : M_pPrevious(AccountCalls::Install(pCalls)) {}
  ~ScopedAccountCalls() { AccountCalls::Install(M_pPrevious); }
  ScopedAccountCalls(const ScopedAccountCalls&) = delete;
  ScopedAccountCalls& operator=(const ScopedAccountCalls&) = delete;

 private:
  AccountCalls* M_pPrevious;
};

}  // namespace velmora::osal
