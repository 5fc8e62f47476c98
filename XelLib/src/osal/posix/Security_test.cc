// Tests for effective rights from owner, mode bits, POSIX ACLs and the parent folder, and
// from the security descriptors of folders on network shares.
#include "osal/Security.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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
  // A folder below the temporary folder with owner and mode; the ACL text, if any, replaces
  // its access ACL.
  std::string MakeFolder(const std::string& name, uid_t owner, gid_t group, mode_t mode,
                         const char* acl = nullptr) {
    std::string path = M_Dir.Join(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chown(path.c_str(), owner, group), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    if (acl != nullptr) {
      acl_t parsed = acl_from_text(acl);
      EXPECT_NE(parsed, nullptr) << acl;
      if (parsed != nullptr) {
        EXPECT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, parsed), 0) << acl;
        acl_free(parsed);
      }
    }
    return path;
  }
  uint32_t Rights(const std::string& path, const std::string& trustee) {
    uint32_t mask = 0xFFFFFFFF;
    Status status = GetEffectiveRights(path, trustee, &mask);
    EXPECT_TRUE(status.ok()) << status.code();
    return mask;
  }
  TestAccount M_Account{"Secur1ty-pw"};
  LogonToken M_Token;
  TempDir M_Dir{"xelsec"};
};

TEST_F(SecurityTest, OwnerWithWritableParentHoldsTheRequiredRightsAReaderDoesNot) {
  std::string parent = MakeFolder("home", M_Token.Uid(), M_Token.Gid(), 0755);
  std::string owned = parent + "/in";
  ASSERT_EQ(mkdir(owned.c_str(), 0700), 0);
  ASSERT_EQ(chown(owned.c_str(), M_Token.Uid(), M_Token.Gid()), 0);
  uint32_t mask = Rights(owned, M_Account.Name());
  const uint32_t all = kRequired | kAccessReadData | kAccessWriteData | kAccessDeleteChild;
  EXPECT_EQ(mask & all, all);
  EXPECT_EQ(Rights(owned, "DOMAIN\\" + M_Account.Name()), mask);
  // Read and traverse through a named-user entry: no write, not the owner, no delete.
  std::string acl = "u::rwx,u:" + M_Account.Name() + ":r-x,g::---,m::r-x,o::---";
  std::string shared = MakeFolder("shared", 0, 0, 0700, acl.c_str());
  const uint32_t yes = kAccessReadData | kAccessExecute | kAccessReadControl;
  const uint32_t no = kAccessWriteData | kAccessWriteDac | kAccessWriteOwner | kAccessDelete;
  EXPECT_EQ(Rights(shared, M_Account.Name()) & (yes | no), yes);
  // The superuser holds everything; the parent (root, 0755) lets root delete.
  EXPECT_EQ(Rights(shared, "root") & kRequired, kRequired);
}

TEST_F(SecurityTest, AclMaskGroupsAndOtherFollowTheAccessCheckOrder) {
  std::string name = M_Account.Name();
  std::string gid = std::to_string(M_Token.Gid());
  // The mask limits a named user's write.
  std::string masked =
      MakeFolder("masked", 0, 0, 0700, ("u::rwx,u:" + name + ":rwx,g::---,m::r-x,o::---").c_str());
  constexpr uint32_t kRw = kAccessReadData | kAccessWriteData;
  EXPECT_EQ(Rights(masked, name) & kRw, kAccessReadData);
  // A named-group entry grants through group membership.
  std::string grouped =
      MakeFolder("grouped", 0, 0, 0700, ("u::rwx,g::---,g:" + gid + ":rwx,m::rwx,o::---").c_str());
  EXPECT_EQ(Rights(grouped, name) & kRw, kRw);
  // A matching owning group that grants nothing denies, even when "other" would allow.
  std::string denied = MakeFolder("denied", 0, M_Token.Gid(), 0705);
  EXPECT_FALSE(Rights(denied, name) & (kAccessReadData | kAccessExecute));
  // Not in the group: "other" applies.
  EXPECT_TRUE(Rights(denied, "root") & kAccessReadData);
  EXPECT_EQ(Rights(MakeFolder("open", 0, 0, 0705), name) & kRw, kAccessReadData);
}

TEST_F(SecurityTest, StickyParentLetsOnlyOwnersDelete) {
  std::string sticky = MakeFolder("sticky", 0, 0, 01777);
  std::string foreign = sticky + "/foreign", own = sticky + "/own";
  ASSERT_EQ(mkdir(foreign.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  ASSERT_EQ(chown(own.c_str(), M_Token.Uid(), M_Token.Gid()), 0);
  EXPECT_FALSE(Rights(foreign, M_Account.Name()) & kAccessDelete);
  EXPECT_TRUE(Rights(own, M_Account.Name()) & kAccessDelete);
  // Without the sticky bit write and traverse on the parent are enough.
  ASSERT_EQ(chmod(sticky.c_str(), 0777), 0);
  EXPECT_TRUE(Rights(foreign, M_Account.Name()) & kAccessDelete);
}

TEST_F(SecurityTest, CurrentUserFollowsTheImpersonatedIdentityAndErrorsAreReported) {
  std::string owned = MakeFolder("mine", M_Token.Uid(), M_Token.Gid(), 0700);
  std::string other = MakeFolder("theirs", 0, 0, 0700);
  uint32_t mask = 0;
  {
    ScopedImpersonation guard(M_Token);
    ASSERT_TRUE(guard.status().ok() && GetEffectiveRights(owned, kTrusteeCurrentUser, &mask).ok());
    EXPECT_TRUE(mask & kAccessWriteDac);
    ASSERT_TRUE(GetEffectiveRights(other, kTrusteeCurrentUser, &mask).ok());
    EXPECT_FALSE(mask & (kAccessWriteDac | kAccessReadData));
  }
  EXPECT_TRUE(GetEffectiveRights(owned, "no-such-user-xel", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights(M_Dir.Join("missing"), "root", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights("", "root", &mask).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(SecurityInfo().GetEffectiveRights("root", &mask).Is(ErrorKind::kInvalid));
}

TEST(ShareSecurityTest, FolderOfAShareThatIsNotConnectedIsNotRead) {
  SecurityInfo info;
  Status status = info.Read("\\\\127.0.0.1\\noshare\\in");
  EXPECT_TRUE(status.Is(ErrorKind::kPathNotFound));
  EXPECT_EQ(status.code(), ENOTCONN);
  uint32_t mask = 0;
  EXPECT_TRUE(info.GetEffectiveRights(kTrusteeCurrentUser, &mask).Is(ErrorKind::kInvalid));
}

// A private Samba server, reached on the standard port through a relay (the client reads
// descriptors only with a second connection on that port), with one folder that the
// share's account owns and one that root owns, both mode 0755.
class ShareSecurityServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = M_Server.Start();
    if (why.empty()) why = M_Relay.Start(M_Server.port());
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    const struct passwd* pUser = getpwnam(SambaServer::kUser);
    ASSERT_NE(pUser, nullptr);
    for (const char* name : {"owned", "rooted", "closed"}) {
      std::string path = M_Server.SharePath() + "/" + name;
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    ASSERT_EQ(chown((M_Server.SharePath() + "/owned").c_str(), pUser->pw_uid, pUser->pw_gid), 0);
    ASSERT_EQ(chmod((M_Server.SharePath() + "/closed").c_str(), 0700), 0);
    M_Root = M_Relay.UncRoot(SambaServer::kShare);
    SetShareClientPort(445);
    ASSERT_EQ(AddShareConnection(M_Root, SambaServer::kUser, SambaServer::kPassword), kNetOk);
  }
  void TearDown() override {
    (void)CancelShareConnection(M_Root, /*force=*/true);
    (void)CancelShareConnection(SambaServer::UncRoot(), /*force=*/true);
    SetShareClientPort(0);
    M_Relay.Stop();
    M_Server.Stop();
  }
  uint32_t Rights(const SecurityInfo& info, std::string_view trustee) {
    uint32_t mask = 0xFFFFFFFF;
    Status status = info.GetEffectiveRights(trustee, &mask);
    EXPECT_TRUE(status.ok()) << trustee << ": " << status.code();
    return mask;
  }
  SambaServer M_Server;
  velmora::testing::SmbStandardPortRelay M_Relay;
  std::string M_Root;
};

TEST_F(ShareSecurityServerTest, TheServersAccessListDecides) {
  SecurityInfo owned;
  ASSERT_TRUE(owned.Read(M_Root + "\\owned").ok());
  ASSERT_TRUE(owned.ntAcl().bPresent);
  EXPECT_EQ(owned.ntAcl().connectedUser, SambaServer::kUser);
  EXPECT_TRUE(owned.ntAcl().owner.ends_with(std::string("\\") + SambaServer::kUser))
      << owned.ntAcl().owner;
  const std::string user = SambaServer::kUser;
  for (const std::string& trustee :
       {user, "XELTEST\\" + user, user + "@xeltest", std::string(kTrusteeCurrentUser)}) {
    EXPECT_EQ(Rights(owned, trustee) & kRequired, kRequired) << trustee;
  }
  // Not what the local disk would say: there the calling thread (root) holds everything.
  const uint32_t everyone = Rights(owned, "no-such-account-xel");
  EXPECT_EQ(everyone & (kAccessWriteDac | kAccessWriteOwner | kAccessDelete), 0u);
  EXPECT_NE(everyone & kAccessReadData, 0u);
  SecurityInfo rooted;
  ASSERT_TRUE(rooted.Read(M_Root + "\\rooted").ok());
  uint32_t mask = Rights(rooted, user);
  EXPECT_EQ(mask & (kRequired), kAccessReadControl);
  EXPECT_EQ(mask, everyone);
  EXPECT_EQ(Rights(rooted, kTrusteeCurrentUser), mask);
  // Root owns it, by the name the server gives its Unix users.
  EXPECT_EQ(Rights(rooted, "root") & kRequired, kRequired);
  // A folder the account may not open, and missing ones.
  SecurityInfo other;
  EXPECT_TRUE(other.Read(M_Root + "\\closed").Is(ErrorKind::kAccessDenied));
  EXPECT_TRUE(other.Read(M_Root + "\\missing").Is(ErrorKind::kNotFound));
  EXPECT_TRUE(other.Read(M_Root + "\\missing\\sub").Is(ErrorKind::kPathNotFound));
  EXPECT_TRUE(other.GetEffectiveRights(user, &mask).Is(ErrorKind::kInvalid));
  // A share on a private port: the client would look for the descriptor's second
  // connection on the standard port, so the read is refused instead.
  SetShareClientPort(M_Server.port());
  ASSERT_EQ(AddShareConnection(SambaServer::UncRoot(), SambaServer::kUser, SambaServer::kPassword),
            kNetOk);
  EXPECT_TRUE(other.Read(SambaServer::UncRoot() + "\\owned").Is(ErrorKind::kNotSupported));
}

}  // namespace
}  // namespace velmora::osal
