// Security: effective access rights of a user on a file-system object, as an access mask.
#pragma once

#include <cstdint>
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

// What decides access to one file-system object, read once: its owner, group, mode bits and
// POSIX access ACL, and the same for the folder that holds it (which decides deleting it).
// Effective rights of any trustee can then be computed from the snapshot without touching
// the object again. How the POSIX permissions become access-mask bits is decided in
// GetEffectiveRights and documented in docs/rights-mapping.md.
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

  // Reads the object at path and its parent folder. The status carries the native error
  // of reading the object (for example kNotFound); a parent that cannot be read only takes
  // away the delete right.
  Status Read(std::string_view path);

  // The access mask that trustee (kTrusteeCurrentUser for the calling thread's identity, or
  // an account name, optionally "domain\user" or "user@domain") effectively holds. kNotFound
  // for an unknown account, kInvalid before a successful Read. Thread-safe (const).
  Status GetEffectiveRights(std::string_view trustee, uint32_t* pMask) const;

  const Object& object() const { return M_Object; }
  const Object& parent() const { return M_Parent; }

 private:
  Object M_Object;
  Object M_Parent;
};

// Reads the security information of path and computes the rights of trustee in one step.
// Thread-safe.
Status GetEffectiveRights(std::string_view path, std::string_view trustee, uint32_t* pMask);

}  // namespace velmora::osal
