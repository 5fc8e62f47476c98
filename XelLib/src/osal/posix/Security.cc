// POSIX effective access rights: owner, mode bits and ACLs of an object and of its folder.
#include "osal/Security.h"

#include <acl/libacl.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "osal/File.h"
#include "osal/Logon.h"
#include "posix/NativePath.h"
#include "posix/NetShareFs.h"
#include "posix/NtAcl.h"

namespace velmora::osal {
namespace {

using Tag = SecurityInfo::Tag;
using Entry = SecurityInfo::Entry;
using Object = SecurityInfo::Object;

// The account a check is made for: its user id and all its group ids.
struct Account {
  uid_t uid = 0;
  std::vector<gid_t> groups;

  bool InGroup(uint32_t gid) const {
    return std::find(groups.begin(), groups.end(), static_cast<gid_t>(gid)) != groups.end();
  }
};

// The calling thread's identity: while it impersonates, the impersonated account.
Status CurrentAccount(Account* pAccount) {
  pAccount->uid = geteuid();
  pAccount->groups.assign(1, getegid());
  int count = getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> extra(static_cast<size_t>(count));
    count = getgroups(count, extra.data());
    if (count > 0) {
      pAccount->groups.insert(pAccount->groups.end(), extra.begin(), extra.begin() + count);
    }
  }
  return Status::Ok();
}

// A named account. Accounts here belong to the local system: "domain\user" and "user@domain"
// name the local user; the domain part has no meaning of its own.
Status NamedAccount(std::string_view trustee, Account* pAccount) {
  size_t slash = trustee.find('\\');
  if (slash != std::string_view::npos) trustee.remove_prefix(slash + 1);
  size_t at = trustee.find('@');
  if (at != std::string_view::npos) trustee = trustee.substr(0, at);
  if (trustee.empty()) return Status(ErrorKind::kNotFound, ENOENT);
  // The account database lookup is the logon's own, so both see the same groups.
  LogonToken token;
  Status status = token.Resolve(trustee);
  if (!status.ok()) {
    return status.Is(ErrorKind::kInvalid) ? Status(ErrorKind::kNotFound, ENOENT) : status;
  }
  pAccount->uid = token.Uid();
  pAccount->groups.assign(token.Groups().begin(), token.Groups().end());
  return Status::Ok();
}

// Access entries from the mode bits alone (file systems without ACL support).
void EntriesFromMode(Object* pObject) {
  pObject->entries = {{Tag::kUserObj, 0, (pObject->mode >> 6) & 7u},
                      {Tag::kGroupObj, 0, (pObject->mode >> 3) & 7u},
                      {Tag::kOther, 0, pObject->mode & 7u}};
}

// Reads the access ACL; without an extended ACL the kernel reports the three mode entries.
Status ReadAcl(const std::string& native, Object* pObject) {
  acl_t acl = acl_get_file(native.c_str(), ACL_TYPE_ACCESS);
  if (acl == nullptr) {
    if (errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOSYS) {
      EntriesFromMode(pObject);
      return Status::Ok();
    }
    return Status::FromNative(errno);
  }
  std::vector<Entry> entries;
  acl_entry_t entry;
  for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
       which = ACL_NEXT_ENTRY) {
    acl_tag_t tag;
    acl_permset_t permset;
    if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &permset) != 0) continue;
    Entry e{Tag::kOther, 0, 0};
    if (acl_get_perm(permset, ACL_READ) == 1) e.perms |= 4;
    if (acl_get_perm(permset, ACL_WRITE) == 1) e.perms |= 2;
    if (acl_get_perm(permset, ACL_EXECUTE) == 1) e.perms |= 1;
    switch (tag) {
      case ACL_USER_OBJ:
        e.tag = Tag::kUserObj;
        break;
      case ACL_GROUP_OBJ:
        e.tag = Tag::kGroupObj;
        break;
      case ACL_MASK:
        e.tag = Tag::kMask;
        break;
      case ACL_OTHER:
        e.tag = Tag::kOther;
        break;
      case ACL_USER:
      case ACL_GROUP: {
        e.tag = tag == ACL_USER ? Tag::kUser : Tag::kGroup;
        void* pQualifier = acl_get_qualifier(entry);
        if (pQualifier == nullptr) continue;
        e.id =
            tag == ACL_USER ? *static_cast<uid_t*>(pQualifier) : *static_cast<gid_t*>(pQualifier);
        acl_free(pQualifier);
        break;
      }
      default:
        continue;
    }
    entries.push_back(e);
  }
  acl_free(acl);
  pObject->entries = std::move(entries);
  return Status::Ok();
}

Status ReadObject(const std::string& native, Object* pObject) {
  *pObject = Object();
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return Status::FromNative(errno);
  pObject->uid = st.st_uid;
  pObject->gid = st.st_gid;
  pObject->mode = st.st_mode;
  pObject->bDirectory = S_ISDIR(st.st_mode);
  Status status = ReadAcl(native, pObject);
  if (!status.ok()) return status;
  pObject->bPresent = true;
  return Status::Ok();
}

// The POSIX ACL access check, as the kernel makes it, giving the rwx bits (4, 2, 1) the
// account holds: the owner entry for the owner; else a named-user entry; else the union of
// every matching group entry (owning group and named groups), limited by the mask; else the
// other entry. A matching group that grants nothing denies - the other entry is not asked.
// The superuser holds everything (execute on a file only when someone may execute it).
unsigned PermissionBits(const Object& object, const Account& account) {
  if (account.uid == 0) {
    if (object.bDirectory || (object.mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) return 7;
    return 6;
  }
  unsigned mask = 7;
  for (const Entry& e : object.entries) {
    if (e.tag == Tag::kMask) mask = e.perms;
  }
  if (object.uid == account.uid) {
    for (const Entry& e : object.entries) {
      if (e.tag == Tag::kUserObj) return e.perms;
    }
    return 0;
  }
  for (const Entry& e : object.entries) {
    if (e.tag == Tag::kUser && e.id == account.uid) return e.perms & mask;
  }
  bool bGroupMatched = false;
  unsigned groupPerms = 0;
  for (const Entry& e : object.entries) {
    if ((e.tag == Tag::kGroupObj && account.InGroup(object.gid)) ||
        (e.tag == Tag::kGroup && account.InGroup(e.id))) {
      bGroupMatched = true;
      groupPerms |= e.perms & mask;
    }
  }
  if (bGroupMatched) return groupPerms;
  for (const Entry& e : object.entries) {
    if (e.tag == Tag::kOther) return e.perms;
  }
  return 0;
}

// An object on a network share is judged by its own NT security descriptor, as the server
// will judge access to it: the local disk has no say (see docs/rights-mapping.md).
Status ReadShareObject(const std::string& native, SecurityInfo::NtAcl* pAcl) {
  // The two renderings are two reads; should the list change in between, read again.
  Status status;
  for (int attempt = 0; attempt < 3; ++attempt) {
    netshare::SecurityDescriptorText text;
    status = netshare::ReadSecurityDescriptor(native, &text);
    if (!status.ok()) return status;
    pAcl->connectedUser = text.user;
    status = ntacl::Parse(text.sids, text.names, pAcl);
    if (status.code() != EAGAIN) break;
  }
  return status;
}

}  // namespace

Status SecurityInfo::Read(std::string_view path) {
  M_Object = Object();
  M_Parent = Object();
  M_NtAcl = NtAcl();
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (netshare::IsUncPath(native)) return ReadShareObject(native, &M_NtAcl);
  Status status = ReadObject(native, &M_Object);
  if (!status.ok()) return status;
  std::string parent = ParentOfNativePath(native);
  if (parent != native) (void)ReadObject(parent, &M_Parent);
  return Status::Ok();
}

// How POSIX permissions become the access-mask bits (see docs/rights-mapping.md):
// - read (r) gives read-data and read-EA, write (w) write-data, append-data, write-EA,
//   write-attributes and on a folder delete-child, execute (x) the traverse/execute bit;
// - READ_CONTROL, read-attributes and synchronize: whoever can look the object up, i.e.
//   holds execute on its parent folder - everyone who can reach it can read its owner, mode
//   and ACL;
// - WRITE_DAC and WRITE_OWNER: the owner and the superuser, who alone may chmod, setfacl and
//   chown/chgrp it;
// - DELETE: write and execute on the parent folder and, when the parent has the sticky bit,
//   ownership of the object or of the parent (or the superuser).
Status SecurityInfo::GetEffectiveRights(std::string_view trustee, uint32_t* pMask) const {
  if (pMask == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  *pMask = 0;
  // A share's object: the access list alone decides, by GetEffectiveRightsFromAcl's rule
  // (ntacl::EffectiveRights); CURRENT_USER is the share's account, not this thread's.
  if (M_NtAcl.bPresent) return ntacl::EffectiveRights(M_NtAcl, trustee, pMask);
  if (!M_Object.bPresent) return Status(ErrorKind::kInvalid, EINVAL);
  Account account;
  Status status =
      trustee == kTrusteeCurrentUser ? CurrentAccount(&account) : NamedAccount(trustee, &account);
  if (!status.ok()) return status;

  uint32_t mask = 0;
  unsigned parentBits = M_Parent.bPresent ? PermissionBits(M_Parent, account) : 7;
  if (parentBits & 1) mask |= kAccessSynchronize | kAccessReadControl | kAccessReadAttributes;
  unsigned bits = PermissionBits(M_Object, account);
  if (bits & 4) mask |= kAccessReadData | kAccessReadEa;
  if (bits & 2) {
    mask |= kAccessWriteData | kAccessAppendData | kAccessWriteEa | kAccessWriteAttributes;
    if (M_Object.bDirectory) mask |= kAccessDeleteChild;
  }
  if (bits & 1) mask |= kAccessExecute;
  bool bOwner = account.uid == 0 || M_Object.uid == account.uid;
  if (bOwner) mask |= kAccessWriteDac | kAccessWriteOwner | kAccessWriteAttributes;

  if (M_Parent.bPresent && (parentBits & 3) == 3) {
    bool bMayRemove = true;
    if ((M_Parent.mode & S_ISVTX) != 0 && !bOwner && M_Parent.uid != account.uid) {
      bMayRemove = false;
    }
    if (bMayRemove) mask |= kAccessDelete;
  }
  *pMask = mask;
  return Status::Ok();
}

Status GetEffectiveRights(std::string_view path, std::string_view trustee, uint32_t* pMask) {
  if (pMask == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  *pMask = 0;
  SecurityInfo info;
  Status status = info.Read(path);
  if (!status.ok()) return status;
  return info.GetEffectiveRights(trustee, pMask);
}

}  // namespace velmora::osal
