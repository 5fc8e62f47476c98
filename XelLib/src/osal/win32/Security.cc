// Effective rights on Windows: not available yet. Reading security information fails with
// ERROR_NOT_SUPPORTED rather than report rights that nobody computed.
#include "osal/Security.h"

namespace velmora::osal {
namespace {

Status NotSupported() { return Status(ErrorKind::kNotSupported, 50); }  // ERROR_NOT_SUPPORTED

}  // namespace

Status SecurityInfo::Read(std::string_view /*path*/) {
  M_Object = Object();
  M_Parent = Object();
  M_NtAcl = NtAcl();
  return NotSupported();
}

Status SecurityInfo::GetEffectiveRights(std::string_view /*trustee*/, uint32_t* pMask) const {
  if (pMask != nullptr) *pMask = 0;
  return NotSupported();
}

Status GetEffectiveRights(std::string_view /*path*/, std::string_view /*trustee*/,
                          uint32_t* pMask) {
  if (pMask != nullptr) *pMask = 0;
  return NotSupported();
}

}  // namespace velmora::osal
