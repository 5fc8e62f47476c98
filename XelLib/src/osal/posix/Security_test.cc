// Tests for effective rights from owner, mode bits, POSIX ACLs and the parent folder, from the
// NT access lists' text forms, and from the security descriptors of folders on network shares.
#include "osal/Security.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "NtAcl.h"
#include "SambaServer.h"
#include "SmbStandardPortRelay.h"
#include "TempDir.h"
#include "TestAccount.h"
#include "osal/Logon.h"
#include "osal/NetShare.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::osal {
namespace {

using velmora::testing::SambaServer;
using velmora::testing::TempDir;
using velmora::testing::TestAccount;

constexpr uint32_t kRequired =
    kAccessDelete | kAccessReadControl | kAccessWriteDac | kAccessWriteOwner;

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!M_Account.ok()) GTEST_SKIP() << M_Account.Reason();
    ASSERT_TRUE(M_Token.Resolve(M_Account.Name()).ok());
    chmod(M_Dir.path().c_str(), 0755);
  }
  // A folder below the temporary folder; the ACL text, if any, replaces its access ACL.
  std::string MakeFolder(const std::string& name, uid_t owner, gid_t group, mode_t mode,
                         const char* acl = nullptr) {
    std::string path = M_Dir.Join(name);
    EXPECT_TRUE(mkdir(path.c_str(), 0700) == 0 && chown(path.c_str(), owner, group) == 0 &&
                chmod(path.c_str(), mode) == 0);
    if (acl_t parsed = acl != nullptr ? acl_from_text(acl) : nullptr; parsed != nullptr) {
      EXPECT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, parsed), 0) << acl;
      acl_free(parsed);
    }
    return path;
  }
  TestAccount M_Account{"Secur1ty-pw"};
  LogonToken M_Token;
  TempDir M_Dir{"xelsec"};
};

TEST_F(SecurityTest, RightsFollowTheAccessCheckOrderAndTheParentFolder) {
  const std::string u = M_Account.Name(), gid = std::to_string(M_Token.Gid());
  constexpr uint32_t kRw = kAccessReadData | kAccessWriteData;
  MakeFolder("sticky", 0, 0, 01777);
  MakeFolder("open", 0, 0, 0777);
  const struct {
    const char* name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    std::string acl, trustee;
    uint32_t bits, expected;
  } cases[] = {
      // The mask limits a named user's write; a named group grants through membership.
      {"masked", 0, 0, 0700, "u::rwx,u:" + u + ":rwx,g::---,m::r-x,o::---", u, kRw,
       kAccessReadData},
      {"grouped", 0, 0, 0700, "u::rwx,g::---,g:" + gid + ":rwx,m::rwx,o::---", u, kRw, kRw},
      // A matching owning group that grants nothing denies, even when "other" would allow.
      {"denied", 0, M_Token.Gid(), 0705, "", u, kAccessReadData | kAccessExecute, 0},
      {"other", 0, M_Token.Gid(), 0705, "", "root", kAccessReadData, kAccessReadData},
      {"world", 0, 0, 0705, "", u, kRw, kAccessReadData},
      // A sticky parent lets only owners delete; otherwise write and traverse on it are enough.
      {"sticky/foreign", 0, 0, 0777, "", u, kAccessDelete, 0},
      {"sticky/own", M_Token.Uid(), M_Token.Gid(), 0700, "", u, kAccessDelete, kAccessDelete},
      {"open/foreign", 0, 0, 0777, "", u, kAccessDelete, kAccessDelete},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        MakeFolder(c.name, c.owner, c.group, c.mode, c.acl.empty() ? nullptr : c.acl.c_str());
    uint32_t mask = 0;
    EXPECT_TRUE(GetEffectiveRights(path, c.trustee, &mask).ok());
    EXPECT_EQ(mask & c.bits, c.expected);
  }
  uint32_t mask = 0;
  EXPECT_TRUE(GetEffectiveRights(M_Dir.path(), "no-such-user-xel", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights(M_Dir.Join("missing"), "root", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights("", "root", &mask).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(SecurityInfo().GetEffectiveRights("root", &mask).Is(ErrorKind::kInvalid));
  // A folder of a share that is not connected is not read.
  Status share = SecurityInfo().Read("\\\\127.0.0.1\\noshare\\in");
  EXPECT_TRUE(share.Is(ErrorKind::kPathNotFound) && share.code() == ENOTCONN) << share.code();
}

using ShareSecurityServerTest = velmora::testing::SambaServerTest;

// Not what the local disk would say: there the calling thread (root) holds everything.
TEST_F(ShareSecurityServerTest, TheServersAccessListDecidesForEverySpellingOfTheAccount) {
  const std::string user = SambaServer::kUser, password = SambaServer::kPassword;
  const struct passwd* pUser = getpwnam(SambaServer::kUser);
  ASSERT_TRUE(pUser != nullptr && mkdir((M_Server.SharePath() + "/owned").c_str(), 0755) == 0 &&
              chown((M_Server.SharePath() + "/owned").c_str(), pUser->pw_uid, pUser->pw_gid) == 0 &&
              mkdir((M_Server.SharePath() + "/closed").c_str(), 0700) == 0);
  // On the server's private port the client would look for the descriptor's second
  // connection on the standard port, so the read is refused; a relay there lets it through.
  SecurityInfo info;
  ASSERT_EQ(AddShareConnection(SambaServer::UncRoot(), user, password), kNetOk);
  EXPECT_TRUE(info.Read(SambaServer::UncRoot() + "\\owned").Is(ErrorKind::kNotSupported));
  velmora::testing::SmbStandardPortRelay relay;
  if (std::string why = relay.Start(M_Server.port()); !why.empty()) GTEST_SKIP() << why;
  const std::string root = relay.UncRoot(SambaServer::kShare);
  SetShareClientPort(445);
  ASSERT_EQ(AddShareConnection(root, user, password), kNetOk);
  ASSERT_TRUE(info.Read(root + "\\owned").ok());
  EXPECT_EQ(info.ntAcl().connectedUser, user);
  uint32_t mask = 0;
  for (const std::string& trustee : {user, "XELTEST\\" + user, user + "@xeltest",
                                     std::string(kTrusteeCurrentUser), std::string("nobody-xel")}) {
    EXPECT_TRUE(info.GetEffectiveRights(trustee, &mask).ok());
    EXPECT_EQ(mask & (kRequired | kAccessReadData), trustee[0] == 'n'
                                                        ? kAccessReadControl | kAccessReadData
                                                        : kRequired | kAccessReadData)
        << trustee;
  }
  SecurityInfo other;
  EXPECT_TRUE(other.Read(root + "\\closed").Is(ErrorKind::kAccessDenied));
  EXPECT_TRUE(other.Read(root + "\\missing").Is(ErrorKind::kNotFound));
  EXPECT_TRUE(other.Read(root + "\\missing\\sub").Is(ErrorKind::kPathNotFound));
  EXPECT_TRUE(other.GetEffectiveRights(user, &mask).Is(ErrorKind::kInvalid));
  (void)CancelShareConnection(root, /*force=*/true);
  SetShareClientPort(0);
}

}  // namespace
}  // namespace velmora::osal

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
  // No descriptor, no revision, a bad one, an unknown part; entries without numbers or account,
  // and with their type/flags/mask incomplete, not hexadecimal or out of range.
  std::vector<std::string> bad = {"", "OWNER:S-1-1-0", "REVISION:x", "REVISION:1,FOO:bar"};
  for (const char* entry :
       {"S-1-1-0", ":0/0/0x1", "S-1-1-0:0/0", "S-1-1-0:0/0/1f01ff", "S-1-1-0:0/0/0x",
        "S-1-1-0:0/0/0x1g", "S-1-1-0:256/0/0x1", "S-1-1-0:0/-1/0x1", "S-1-1-0:0/0/0x100000000"}) {
    bad.push_back(std::string("REVISION:1,ACL:") + entry);
  }
  for (const std::string& text : bad) {
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
