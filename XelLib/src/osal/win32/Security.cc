// Effective rights on Windows: a file-system object's access list (GetNamedSecurityInfoW) and a
// trustee's rights in it as the system reads them (GetEffectiveRightsFromAclW).
#include "osal/Security.h"

#include "win32/WindowsSupport.h"

// After windows.h: the access-list calls.
#include <aclapi.h>

namespace velmora::osal {
namespace {

Status Invalid() { return Status(ErrorKind::kInvalid, ERROR_INVALID_PARAMETER); }

// Every right on a file or folder: what a missing (null) access list grants everyone.
constexpr uint32_t kAllFileRights = FILE_ALL_ACCESS;

}  // namespace

Status SecurityInfo::Read(std::string_view path) {
  M_Object = Object();
  M_Parent = Object();
  M_NtAcl = NtAcl();
  M_Descriptor.clear();
  if (path.empty()) return Invalid();
  // The long-path form also carries a share's path ("\\?\UNC\server\share\...").
  const std::wstring native = win32::LongPathW(path);
  PACL pDacl = nullptr;
  PSECURITY_DESCRIPTOR pDescriptor = nullptr;
  DWORD error = ::GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &pDacl, nullptr, &pDescriptor);
  if (error != ERROR_SUCCESS) return win32::ErrorStatus(error);
  // The descriptor is kept as bytes so that the snapshot stays plain, copyable data; the
  // self-relative form holds no pointers and can be copied as it is.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  Status status;
  if (!::GetSecurityDescriptorControl(pDescriptor, &control, &revision)) {
    status = win32::LastErrorStatus();
  } else if ((control & SE_SELF_RELATIVE) != 0) {
    const auto* pBytes = static_cast<const unsigned char*>(pDescriptor);
    M_Descriptor.assign(pBytes, pBytes + ::GetSecurityDescriptorLength(pDescriptor));
  } else {
    DWORD length = 0;
    ::MakeSelfRelativeSD(pDescriptor, nullptr, &length);
    M_Descriptor.resize(length);
    if (length == 0 || !::MakeSelfRelativeSD(pDescriptor, M_Descriptor.data(), &length)) {
      status = win32::LastErrorStatus();
      M_Descriptor.clear();
    }
  }
  ::LocalFree(pDescriptor);
  return status;
}

Status SecurityInfo::GetEffectiveRights(std::string_view trustee, uint32_t* pMask) const {
  if (pMask == nullptr) return Invalid();
  *pMask = 0;
  if (M_Descriptor.empty()) return Invalid();
  // The calls take a non-const descriptor but only read it.
  auto* pDescriptor =
      static_cast<PSECURITY_DESCRIPTOR>(const_cast<unsigned char*>(M_Descriptor.data()));
  BOOL bPresent = FALSE;
  BOOL bDefaulted = FALSE;
  PACL pDacl = nullptr;
  if (!::GetSecurityDescriptorDacl(pDescriptor, &bPresent, &pDacl, &bDefaulted)) {
    return win32::LastErrorStatus();
  }
  if (!bPresent || pDacl == nullptr) {
    *pMask = kAllFileRights;
    return Status::Ok();
  }
  std::wstring name = win32::Widen(trustee);
  TRUSTEE_W who = {};
  who.pMultipleTrustee = nullptr;
  who.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  who.TrusteeForm = TRUSTEE_IS_NAME;
  who.TrusteeType = TRUSTEE_IS_USER;
  who.ptstrName = name.data();
  ACCESS_MASK mask = 0;
  DWORD error = ::GetEffectiveRightsFromAclW(pDacl, &who, &mask);
  if (error == ERROR_NONE_MAPPED) return Status(ErrorKind::kNotFound, static_cast<int>(error));
  // "Incorrect function": the system has no reading of access lists to offer (wine's stub).
  if (error == ERROR_INVALID_FUNCTION) {
    return Status(ErrorKind::kNotSupported, static_cast<int>(error));
  }
  if (error != ERROR_SUCCESS) return win32::ErrorStatus(error);
  *pMask = mask;
  return Status::Ok();
}

Status GetEffectiveRights(std::string_view path, std::string_view trustee, uint32_t* pMask) {
  if (pMask != nullptr) *pMask = 0;
  SecurityInfo info;
  Status status = info.Read(path);
  if (!status.ok()) return status;
  return info.GetEffectiveRights(trustee, pMask);
}

}  // namespace velmora::osal
