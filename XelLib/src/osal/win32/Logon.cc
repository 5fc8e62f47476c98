// Logon on Windows: not available yet. Every operation fails plainly with
// ERROR_NOT_SUPPORTED rather than pretend that an account was checked or impersonated.
#include "osal/Logon.h"

namespace velmora::osal {
namespace {

constexpr int kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED

Status NotSupported() { return Status(ErrorKind::kNotSupported, kErrorNotSupported); }

}  // namespace

void LogonToken::Close() {
  M_bValid = false;
  M_UserName.clear();
  M_Uid = 0;
  M_Gid = 0;
  M_Groups.clear();
}

Status LogonToken::Resolve(std::string_view /*user*/) {
  Close();
  return NotSupported();
}

Status LogonUser(std::string_view /*user*/, std::string_view /*password*/,
                 std::string_view /*service*/, LogonToken* pToken) {
  if (pToken != nullptr) pToken->Close();
  return NotSupported();
}

std::string LogonErrorText(int code) {
  if (code == kErrorNotSupported) return "not supported on this platform";
  return Status::FromNative(code).Text();
}

Status ImpersonateLoggedOnUser(const LogonToken& /*token*/) { return NotSupported(); }

// Nothing can have been impersonated, so there is nothing to undo.
Status RevertToSelf() { return Status::Ok(); }

bool IsImpersonating() { return false; }

}  // namespace velmora::osal
