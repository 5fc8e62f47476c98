// NT security descriptors of objects on network shares: the client library's text form and
// the effective rights of an account from the access list.
//
// Pure functions (no I/O), safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Security.h"
#include "osal/Status.h"

namespace velmora::osal::ntacl {

// Parses the security descriptor as libsmbclient renders the attribute
// "system.nt_sec_desc.*" (sidText: SIDs) and "system.nt_sec_desc.*+" (nameText: account
// names where the server could resolve them, else SIDs; may be empty when names are not
// available): "REVISION:1,OWNER:who,GROUP:who,ACL:who:type/flags/0xmask,...". The two texts
// are two reads; they must describe the same access list, entry by entry, and each entry
// then gets both its SID and its name. Errors: kInvalid (EBADMSG) for malformed text,
// kOther (EAGAIN) when the two texts differ (the list changed between the reads). *pError,
// if given, says what was wrong. pAcl->connectedUser is left as it was.
Status Parse(std::string_view sidText, std::string_view nameText, SecurityInfo::NtAcl* pAcl,
             std::string* pError = nullptr);

// Maps the generic bits of an access mask to the file object's specific rights
// (GENERIC_ALL to 0x1F01FF, GENERIC_READ to 0x120089, GENERIC_WRITE to 0x120116,
// GENERIC_EXECUTE to 0x1200A0) and clears them.
uint32_t MapGenericRights(uint32_t mask);

// The rights the access list grants account: the account's own name ("user",
// "domain\user" or "user@domain"; the domain is ignored) or, for kTrusteeCurrentUser, the
// account in acl.connectedUser. kNotFound when the name has no user part.
Status EffectiveRights(const SecurityInfo::NtAcl& acl, std::string_view trustee, uint32_t* pMask);

}  // namespace velmora::osal::ntacl
