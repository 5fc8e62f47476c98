// Tests of NT access lists of share objects: the client's text form and effective rights.
#include "NtAcl.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace velmora::osal::ntacl {
namespace {

using NtAcl = SecurityInfo::NtAcl;

// As Samba 4.17 renders a folder that its account "xelsmbtest" owns (mode 0755), behind
// "REVISION:1".
constexpr const char* kOwnedSids =
    ",OWNER:S-1-5-21-1-2-3-1000,GROUP:S-1-22-2-1002,ACL:S-1-5-21-1-2-3-1000:0/0/0x001f01ff,"
    "ACL:S-1-22-2-1002:0/0/0x001200a9,ACL:S-1-1-0:0/0/0x001200a9";
constexpr const char* kOwnedNames =
    ",OWNER:VM\\xelsmbtest,GROUP:Unix Group\\xelsmbtest,ACL:VM\\xelsmbtest:0/0/0x001f01ff,"
    "ACL:Unix Group\\xelsmbtest:0/0/0x001200a9,ACL:\\Everyone:0/0/0x001200a9";

// The list of both renderings; without names only the SID rendering is read.
NtAcl Acl(const std::string& sids, const std::string& names = "") {
  NtAcl acl;
  acl.connectedUser = "xelsmbtest";
  std::string error;
  Status status =
      Parse("REVISION:1" + sids, names.empty() ? "" : "REVISION:1" + names, &acl, &error);
  EXPECT_TRUE(status.ok()) << error;
  return acl;
}

TEST(NtAclTest, BothRenderingsGiveOneListWhoseRightsFollowTheAccessCheckOrder) {
  NtAcl acl = Acl(kOwnedSids, kOwnedNames);
  EXPECT_EQ(std::vector({acl.owner, acl.ownerSid, acl.aces.at(0).name, acl.aces[0].sid,
                         acl.aces.at(2).name, acl.aces[2].sid}),
            std::vector<std::string>({"VM\\xelsmbtest", "S-1-5-21-1-2-3-1000", "VM\\xelsmbtest",
                                      "S-1-5-21-1-2-3-1000", "\\Everyone", "S-1-1-0"}));
  EXPECT_EQ(std::vector({MapGenericRights(0x10000000), MapGenericRights(0x80000000),
                         MapGenericRights(0x40000000), MapGenericRights(0x20000000),
                         MapGenericRights(0xA0010000)}),
            std::vector<uint32_t>({0x1F01FF, 0x120089, 0x120116, 0x1200A0, 0x1200A9 | 0x10000}));
  const std::string allow = ",ACL:S-1-5-21-9-1000:0/0/0x001f01ff",
                    deny = ",ACL:S-1-5-21-9-1000:1/0/0x00040000",
                    allowName = ",ACL:D\\u1:0/0/0x001f01ff", denyName = ",ACL:D\\u1:1/0/0x00040000";
  const struct {
    std::string sids, names, trustee;
    uint32_t rights;
  } cases[] = {
      // The owner holds full control in every spelling; the Unix group of the same name is no
      // account, so an unknown account gets only what Everyone gets.
      {kOwnedSids, kOwnedNames, "xelsmbtest", 0x1F01FF},
      {kOwnedSids, kOwnedNames, "VM\\XelSmbTest", 0x1F01FF},
      {kOwnedSids, kOwnedNames, "xelsmbtest@vm", 0x1F01FF},
      {kOwnedSids, kOwnedNames, "CURRENT_USER", 0x1F01FF},
      {kOwnedSids, kOwnedNames, "someone-else", 0x1200A9},
      // Without names only the well-known SIDs match: a SID is never guessed to be a user, and
      // a name the server could not resolve stays a SID.
      {kOwnedSids, "", "xelsmbtest", 0x1200A9},
      {",ACL:S-1-22-1-0:0/0/0x001f01ff", ",ACL:S-1-22-1-0:0/0/0x001f01ff", "root", 0},
      {deny + allow, denyName + allowName, "u1", 0x1F01FF & ~0x40000u},
      {allow + deny, allowName + denyName, "u1", 0x1F01FF},
      // Inherit-only entries (flag 0x08) only pass on to children; 0x03 (object and container
      // inherit) apply here too. Unknown entry types never apply.
      {",ACL:S-1-1-0:1/8/0x00120089,ACL:S-1-1-0:0/11/0x10000000,ACL:S-1-1-0:0/3/0x00120089,"
       "ACL:S-1-1-0:9/0/0x001f01ff",
       "", "anyone", 0x120089},
      // Other accounts, other groups and Unix groups do not apply; Authenticated Users does.
      {",ACL:S-1-5-21-9-1001:0/0/0x001f01ff,ACL:S-1-5-32-545:0/0/0x001f01ff,"
       "ACL:S-1-22-2-1002:0/0/0x001f01ff,ACL:S-1-5-11:0/0/0x00000001",
       ",ACL:D\\u2:0/0/0x001f01ff,ACL:BUILTIN\\Users:0/0/0x001f01ff,"
       "ACL:Unix Group\\u1:0/0/0x001f01ff,ACL:NT AUTHORITY\\Authenticated Users:0/0/0x00000001",
       "u1", 0x1},
      // A generic deny takes the mapped bits away from a later allow.
      {",ACL:S-1-1-0:1/0/0x40000000,ACL:S-1-1-0:0/0/0x10000000", "", "x", 0x1F01FF & ~0x120116u},
      {"", "", "x", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sids + " " + c.trustee);
    uint32_t mask = 0xFFFFFFFF;
    EXPECT_TRUE(EffectiveRights(Acl(c.sids, c.names), c.trustee, &mask).ok());
    EXPECT_EQ(mask, c.rights);
  }
  uint32_t mask = 7;
  EXPECT_TRUE(EffectiveRights(Acl(kOwnedSids), "DOMAIN\\", &mask).Is(ErrorKind::kNotFound));
  EXPECT_EQ(mask, 0u);
  EXPECT_TRUE(EffectiveRights(NtAcl(), kTrusteeCurrentUser, &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(EffectiveRights(Acl(kOwnedSids), "u1", nullptr).Is(ErrorKind::kInvalid));
}

TEST(NtAclTest, MalformedTextIsRefusedWithAReason) {
  const char* bad[] = {
      "",               // no descriptor at all
      "OWNER:S-1-1-0",  // no revision
      "REVISION:x",
      "REVISION:1,FOO:bar",                 // unknown part
      "REVISION:1,ACL:S-1-1-0",             // no numbers
      "REVISION:1,ACL::0/0/0x1",            // no account
      "REVISION:1,ACL:S-1-1-0:0/0",         // mask missing
      "REVISION:1,ACL:S-1-1-0:0/0/1f01ff",  // mask without 0x
      "REVISION:1,ACL:S-1-1-0:0/0/0x",
      "REVISION:1,ACL:S-1-1-0:0/0/0x1g",
      "REVISION:1,ACL:S-1-1-0:256/0/0x1",  // type out of range
      "REVISION:1,ACL:S-1-1-0:0/-1/0x1",
      "REVISION:1,ACL:S-1-1-0:0/0/0x100000000",
  };
  for (const char* text : bad) {
    NtAcl acl;
    acl.aces.resize(1);
    std::string error;
    Status status = Parse(text, "", &acl, &error);
    SCOPED_TRACE(text);
    EXPECT_TRUE(status.Is(ErrorKind::kInvalid));
    EXPECT_EQ(status.code(), EBADMSG);
    EXPECT_FALSE(error.empty() || acl.bPresent || !acl.aces.empty()) << error;
  }
  // A name rendering that does not describe the same list: the list changed in between.
  NtAcl acl;
  std::string error;
  EXPECT_EQ(Parse(std::string("REVISION:1") + kOwnedSids,
                  "REVISION:1,ACL:\\Everyone:0/0/0x001200a9", &acl, &error)
                .code(),
            EAGAIN);
  EXPECT_EQ(error, "access list changed between reads");
  EXPECT_TRUE(Parse(" REVISION:1 ,\n", "", &acl).ok() && acl.bPresent);  // white space is fine
}

}  // namespace
}  // namespace velmora::osal::ntacl
