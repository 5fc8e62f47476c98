// Security: effective access rights of a user on a file-system object, as an access mask.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

// Access-mask bits as the platform's access lists use them (standard rights in the high
// word, object-specific rights in the low word).
inline constexpr uint32_t kAccessReadData = 0x00000001;    // list a folder / read a file
inline constexpr uint32_t kAccessWriteData = 0x00000002;   // add a file / write a file
inline constexpr uint32_t kAccessAppendData = 0x00000004;  // add a subfolder / append
inline constexpr uint32_t kAccessReadEa = 0x00000008;
inline constexpr uint32_t kAccessWriteEa = 0x00000010;
inline constexpr uint32_t kAccessExecute = 0x00000020;  // traverse a folder
inline constexpr uint32_t kAccessDeleteChild = 0x00000040;
inline constexpr uint32_t kAccessReadAttributes = 0x00000080;
inline constexpr uint32_t kAccessWriteAttributes = 0x00000100;
inline constexpr uint32_t kAccessDelete = 0x00010000;
inline constexpr uint32_t kAccessReadControl = 0x00020000;
inline constexpr uint32_t kAccessWriteDac = 0x00040000;
inline constexpr uint32_t kAccessWriteOwner = 0x00080000;
inline constexpr uint32_t kAccessSynchronize = 0x00100000;

// The trustee name that stands for the user the calling thread runs as.
inline constexpr std::string_view kTrusteeCurrentUser = "CURRENT_USER";

// What decides access to one file-system object, read once; effective rights of any trustee
// can then be computed from the snapshot without touching the object again.
// - POSIX: for a local object its owner, group, mode bits and POSIX access ACL, and the same
//   for the folder that holds it (which decides deleting it); for an object on a connected
//   network share (a UNC path) its NT security descriptor, read from the server over the
//   share's connection. How permissions become access-mask bits is decided in
//   GetEffectiveRights and documented in docs/rights-mapping.md.
// - Windows: the object's discretionary access list (GetNamedSecurityInfoW, local and UNC
//   paths alike); the rights are the system's own reading of it (GetEffectiveRightsFromAclW).
//   object(), parent() and ntAcl() stay empty there.
class SecurityInfo {
 public:
  // Kinds of access-list entries (the POSIX ACL tags).
  enum class Tag { kUserObj, kUser, kGroupObj, kGroup, kMask, kOther };
  struct Entry {
    Tag tag;
    uint32_t id = 0;     // user or group id for kUser and kGroup
    unsigned perms = 0;  // 4 read, 2 write, 1 execute
  };
  struct Object {
    bool bPresent = false;
    bool bDirectory = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0;
    std::vector<Entry> entries;  // built from the mode bits when there is no extended ACL
  };

  // One entry of an NT access list, as stored on the server.
  struct Ace {
    uint8_t type = 0;   // 0 access allowed, 1 access denied; other types never apply
    uint8_t flags = 0;  // inheritance flags; 0x08 (inherit only) does not apply to the object
    uint32_t mask = 0;  // access mask as stored, generic bits not yet mapped
    std::string name;   // the account as the server names it ("DOMAIN\name"); may be empty
    std::string sid;    // "S-1-..."; may be empty
  };
  // The NT security descriptor of an object on a network share.
  struct NtAcl {
    bool bPresent = false;
    std::string owner;          // name of the owner; may be empty
    std::string ownerSid;       // SID of the owner; may be empty
    std::vector<Ace> aces;      // the discretionary access list, in order
    std::string connectedUser;  // the account the share is connected with (CURRENT_USER)
  };

  // Reads the object at path (on POSIX also its parent folder). The status carries the
  // native error of reading the object (for example kNotFound, on Windows the result of
  // GetNamedSecurityInfoW); on POSIX a parent that cannot be read only takes away the delete
  // right, and a UNC path is read from its share instead (kPathNotFound with ENOTCONN while
  // the share is not connected, kNotSupported when the server cannot give the security
  // descriptor).
  Status Read(std::string_view path);

  // The access mask that trustee (kTrusteeCurrentUser for the calling thread's identity, or
  // an account name, optionally "domain\user" or "user@domain") effectively holds. kNotFound
  // for an unknown account (on Windows code 1332, ERROR_NONE_MAPPED), kInvalid before a
  // successful Read; on Windows other failures carry the result of GetEffectiveRightsFromAclW,
  // kNotSupported with code 1 (ERROR_INVALID_FUNCTION) where the system cannot compute rights.
  // On POSIX, on a share's object kTrusteeCurrentUser is the share's account, and an account
  // the access list does not name holds what everyone holds. Thread-safe (const).
  Status GetEffectiveRights(std::string_view trustee, uint32_t* pMask) const;

  const Object& object() const { return M_Object; }
  const Object& parent() const { return M_Parent; }
  // The security descriptor of an object on a share (bPresent false for local objects).
  const NtAcl& ntAcl() const { return M_NtAcl; }

 private:
  Object M_Object;
  Object M_Parent;
  NtAcl M_NtAcl;
  // Windows: the object's security descriptor in self-relative form, as bytes; empty on POSIX.
  std::vector<unsigned char> M_Descriptor;
};

// Reads the security information of path and computes the rights of trustee in one step.
// Thread-safe.
Status GetEffectiveRights(std::string_view path, std::string_view trustee, uint32_t* pMask);

}  // namespace velmora::osal
