// NT security descriptors of share objects: parsing the client library's text, effective rights.
#include "posix/NtAcl.h"

#include <errno.h>
#include <strings.h>

#include <charconv>
#include <vector>

namespace velmora::osal::ntacl {
namespace {

using Ace = SecurityInfo::Ace;
using NtAcl = SecurityInfo::NtAcl;

constexpr uint8_t kAceAllowed = 0;
constexpr uint8_t kAceDenied = 1;
constexpr uint8_t kAceInheritOnly = 0x08;

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kFileGenericRead = 0x00120089;
constexpr uint32_t kFileGenericWrite = 0x00120116;
constexpr uint32_t kFileGenericExecute = 0x001200A0;
constexpr uint32_t kFileAllAccess = 0x001F01FF;

// Well-known groups that every logged-on account belongs to.
constexpr std::string_view kSidEveryone = "S-1-1-0";
constexpr std::string_view kSidAuthenticatedUsers = "S-1-5-11";
// Samba's SIDs of Unix groups ("Unix Group\name"): never an account.
constexpr std::string_view kSidUnixGroupPrefix = "S-1-22-2-";

Status Malformed(std::string* pError, std::string what) {
  if (pError != nullptr) *pError = std::move(what);
  return Status(ErrorKind::kInvalid, EBADMSG);
}

bool IsSid(std::string_view text) {
  if (text.size() < 5 || text.substr(0, 4) != "S-1-") return false;
  for (char c : text.substr(4)) {
    if ((c < '0' || c > '9') && c != '-') return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' ||
                           text.front() == '\n')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  return text;
}

// A whole unsigned number in base; false when text holds anything else or it overflows.
template <typename T>
bool ParseNumber(std::string_view text, int base, T* pValue) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *pValue, base);
  return ec == std::errc() && end == text.data() + text.size();
}

void SetWho(std::string_view who, std::string* pName, std::string* pSid) {
  (IsSid(who) ? *pSid : *pName) = std::string(who);
}

// "who:type/flags/0xmask"; who may not contain ':' (account names cannot).
Status ParseAce(std::string_view text, Ace* pAce, std::string* pError) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    return Malformed(pError, "ACL entry without account: " + std::string(text));
  }
  SetWho(text.substr(0, colon), &pAce->name, &pAce->sid);
  std::string_view rest = text.substr(colon + 1);
  size_t slash1 = rest.find('/');
  size_t slash2 = slash1 == std::string_view::npos ? slash1 : rest.find('/', slash1 + 1);
  if (slash2 == std::string_view::npos) {
    return Malformed(pError, "ACL entry not type/flags/mask: " + std::string(text));
  }
  std::string_view mask = rest.substr(slash2 + 1);
  if (mask.size() < 3 || (mask.substr(0, 2) != "0x" && mask.substr(0, 2) != "0X") ||
      !ParseNumber(rest.substr(0, slash1), 10, &pAce->type) ||
      !ParseNumber(rest.substr(slash1 + 1, slash2 - slash1 - 1), 10, &pAce->flags) ||
      !ParseNumber(mask.substr(2), 16, &pAce->mask)) {
    return Malformed(pError, "ACL entry with bad numbers: " + std::string(text));
  }
  return Status::Ok();
}

// One rendering of the descriptor: entries are separated by ',' (which account names
// cannot contain).
Status ParseOne(std::string_view text, NtAcl* pAcl, std::string* pError) {
  *pAcl = NtAcl();
  bool bRevision = false;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view token = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (token.empty()) continue;
    unsigned revision = 0;
    if (token.substr(0, 9) == "REVISION:") {
      if (!ParseNumber(token.substr(9), 10, &revision)) {
        return Malformed(pError, "bad revision: " + std::string(token));
      }
      bRevision = true;
    } else if (token.substr(0, 6) == "OWNER:") {
      SetWho(token.substr(6), &pAcl->owner, &pAcl->ownerSid);
    } else if (token.substr(0, 6) == "GROUP:") {
      // The primary group plays no part in access checks.
    } else if (token.substr(0, 4) == "ACL:") {
      Ace ace;
      Status status = ParseAce(token.substr(4), &ace, pError);
      if (!status.ok()) return status;
      pAcl->aces.push_back(std::move(ace));
    } else {
      return Malformed(pError, "unknown part of a security descriptor: " + std::string(token));
    }
  }
  // Every descriptor the client renders starts with its revision; without one the text is
  // not a descriptor at all.
  if (!bRevision) return Malformed(pError, "security descriptor without revision");
  pAcl->bPresent = true;
  return Status::Ok();
}

// The account part of "DOMAIN\name", "name@domain" or "name".
std::string_view AccountPart(std::string_view name) {
  size_t backslash = name.rfind('\\');
  if (backslash != std::string_view::npos) name.remove_prefix(backslash + 1);
  return name.substr(0, name.find('@'));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether an entry names the account. Everyone and Authenticated Users hold every account
// that has a session, so they apply. Other groups do not: the client cannot learn the
// account's group memberships, and Unix groups (S-1-22-2-*) may carry the name of the
// user whose private group they are. An account matches by name only, the domain ignored:
// the server's names are "SERVER\user" for its own accounts and "Unix User\user" for Unix
// users it has no account for (S-1-22-1-<uid>). Such a SID alone is not resolved here: the
// uid is one of the server's, not necessarily this system's.
bool Applies(const Ace& ace, std::string_view account) {
  if (ace.sid == kSidEveryone || ace.sid == kSidAuthenticatedUsers) return true;
  if (ace.sid.compare(0, kSidUnixGroupPrefix.size(), kSidUnixGroupPrefix) == 0) return false;
  return !ace.name.empty() && EqualNoCase(AccountPart(ace.name), account);
}

}  // namespace

Status Parse(std::string_view sidText, std::string_view nameText, NtAcl* pAcl,
             std::string* pError) {
  std::string connected = std::move(pAcl->connectedUser);
  NtAcl bySid;
  Status status = ParseOne(sidText, &bySid, pError);
  if (status.ok() && !Trim(nameText).empty()) {
    NtAcl byName;
    status = ParseOne(nameText, &byName, pError);
    if (status.ok()) {
      bool bSame = byName.aces.size() == bySid.aces.size();
      for (size_t i = 0; bSame && i < bySid.aces.size(); ++i) {
        Ace& ace = bySid.aces[i];
        const Ace& named = byName.aces[i];
        bSame = ace.type == named.type && ace.flags == named.flags && ace.mask == named.mask &&
                (named.sid.empty() || named.sid == ace.sid);
        ace.name = named.name;
      }
      if (!bSame) {
        if (pError != nullptr) *pError = "access list changed between reads";
        status = Status(ErrorKind::kOther, EAGAIN);
      }
      bySid.owner = byName.owner;
    }
  }
  *pAcl = status.ok() ? std::move(bySid) : NtAcl();
  pAcl->connectedUser = std::move(connected);
  return status;
}

uint32_t MapGenericRights(uint32_t mask) {
  uint32_t mapped = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (mask & kGenericRead) mapped |= kFileGenericRead;
  if (mask & kGenericWrite) mapped |= kFileGenericWrite;
  if (mask & kGenericExecute) mapped |= kFileGenericExecute;
  if (mask & kGenericAll) mapped |= kFileAllAccess;
  return mapped;
}

// GetEffectiveRightsFromAcl's rule: the entries are walked in order; an entry that applies
// adds its denied bits to the denied set, or grants its allowed bits that are not denied
// yet. So a deny placed before an allow wins and one placed after it does not. Entries
// that only pass on to children (inherit only) do not apply to the object itself. The
// owner's implied rights are not added (the access list decides, as in the Windows call).
Status EffectiveRights(const NtAcl& acl, std::string_view trustee, uint32_t* pMask) {
  if (pMask == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  *pMask = 0;
  std::string_view account =
      AccountPart(trustee == kTrusteeCurrentUser ? std::string_view(acl.connectedUser) : trustee);
  if (account.empty()) return Status(ErrorKind::kNotFound, ENOENT);
  uint32_t allowed = 0;
  uint32_t denied = 0;
  for (const Ace& ace : acl.aces) {
    if ((ace.flags & kAceInheritOnly) != 0 || !Applies(ace, account)) continue;
    uint32_t mask = MapGenericRights(ace.mask);
    if (ace.type == kAceDenied) {
      denied |= mask;
    } else if (ace.type == kAceAllowed) {
      allowed |= mask & ~denied;
    }
  }
  *pMask = allowed;
  return Status::Ok();
}

}  // namespace velmora::osal::ntacl
