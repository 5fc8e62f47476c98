// AccountCalls: the default account calls (the platform's own) and the installed replacement.
#include "osal/AccountCalls.h"

#include <atomic>

#include "osal/NetShare.h"

namespace velmora::osal {
namespace {

std::atomic<AccountCalls*> g_pInstalled{nullptr};

}  // namespace

Status AccountCalls::LogonUser(std::string_view user, std::string_view password,
                               std::string_view service, LogonToken* pToken) {
  return osal::LogonUser(user, password, service, pToken);
}

Status AccountCalls::ImpersonateLoggedOnUser(const LogonToken& token) {
  return osal::ImpersonateLoggedOnUser(token);
}

Status AccountCalls::RevertToSelf() { return osal::RevertToSelf(); }

Status AccountCalls::ReadSecurity(std::string_view path, SecurityInfo* pInfo) {
  return pInfo->Read(path);
}

Status AccountCalls::GetEffectiveRights(const SecurityInfo& info, std::string_view trustee,
                                        uint32_t* pMask) {
  return info.GetEffectiveRights(trustee, pMask);
}

uint32_t AccountCalls::AddShareConnection(std::string_view remote, std::string_view user,
                                          std::string_view password) {
  return osal::AddShareConnection(remote, user, password);
}

uint32_t AccountCalls::CancelShareConnection(std::string_view remote, bool bForce) {
  return osal::CancelShareConnection(remote, bForce);
}

AccountCalls& AccountCalls::Current() {
  // Never destroyed: calls may still come from threads that outlive static destruction.
  static AccountCalls* const pDefaults = new AccountCalls();
  AccountCalls* pInstalled = g_pInstalled.load(std::memory_order_acquire);
  return pInstalled != nullptr ? *pInstalled : *pDefaults;
}

AccountCalls* AccountCalls::Install(AccountCalls* pCalls) {
  return g_pInstalled.exchange(pCalls, std::memory_order_acq_rel);
}

}  // namespace velmora::osal
