// Tests for effective rights from owner, mode bits, POSIX ACLs and the parent folder.
#include "osal/Security.h"

#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "TestAccount.h"
#include "osal/Logon.h"

namespace velmora::osal {
namespace {

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
  EXPECT_EQ(mask & kRequired, kRequired);
  EXPECT_TRUE(mask & kAccessReadData);
  EXPECT_TRUE(mask & kAccessWriteData);
  EXPECT_TRUE(mask & kAccessDeleteChild);
  EXPECT_EQ(Rights(owned, "DOMAIN\\" + M_Account.Name()), mask);

  // Read and traverse through a named-user entry: no write, not the owner, no delete.
  std::string shared = MakeFolder("shared", 0, 0, 0700, nullptr);
  std::string acl = "u::rwx,u:" + M_Account.Name() + ":r-x,g::---,m::r-x,o::---";
  acl_t parsed = acl_from_text(acl.c_str());
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(acl_set_file(shared.c_str(), ACL_TYPE_ACCESS, parsed), 0);
  acl_free(parsed);
  mask = Rights(shared, M_Account.Name());
  EXPECT_TRUE(mask & kAccessReadData);
  EXPECT_TRUE(mask & kAccessExecute);
  EXPECT_TRUE(mask & kAccessReadControl);
  EXPECT_FALSE(mask & kAccessWriteData);
  EXPECT_FALSE(mask & (kAccessWriteDac | kAccessWriteOwner | kAccessDelete));
  // The superuser holds everything; the parent (root, 0755) lets root delete.
  EXPECT_EQ(Rights(shared, "root") & kRequired, kRequired);
}

TEST_F(SecurityTest, AclMaskGroupsAndOtherFollowTheAccessCheckOrder) {
  std::string name = M_Account.Name();
  std::string gid = std::to_string(M_Token.Gid());
  // The mask limits a named user's write.
  std::string masked =
      MakeFolder("masked", 0, 0, 0700, ("u::rwx,u:" + name + ":rwx,g::---,m::r-x,o::---").c_str());
  uint32_t mask = Rights(masked, name);
  EXPECT_TRUE(mask & kAccessReadData);
  EXPECT_FALSE(mask & kAccessWriteData);
  // A named-group entry grants through group membership.
  std::string grouped =
      MakeFolder("grouped", 0, 0, 0700, ("u::rwx,g::---,g:" + gid + ":rwx,m::rwx,o::---").c_str());
  mask = Rights(grouped, name);
  EXPECT_TRUE(mask & kAccessWriteData);
  EXPECT_TRUE(mask & kAccessReadData);
  // A matching owning group that grants nothing denies, even when "other" would allow.
  std::string denied = MakeFolder("denied", 0, M_Token.Gid(), 0705);
  mask = Rights(denied, name);
  EXPECT_FALSE(mask & (kAccessReadData | kAccessExecute));
  // Not in the group: "other" applies.
  mask = Rights(denied, "root");
  EXPECT_TRUE(mask & kAccessReadData);
  std::string open = MakeFolder("open", 0, 0, 0705);
  EXPECT_TRUE(Rights(open, name) & kAccessReadData);
  EXPECT_FALSE(Rights(open, name) & kAccessWriteData);
}

TEST_F(SecurityTest, StickyParentLetsOnlyOwnersDelete) {
  std::string sticky = MakeFolder("sticky", 0, 0, 01777);
  std::string foreign = sticky + "/foreign";
  std::string own = sticky + "/own";
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
    ASSERT_TRUE(guard.status().ok());
    ASSERT_TRUE(GetEffectiveRights(owned, kTrusteeCurrentUser, &mask).ok());
    EXPECT_TRUE(mask & kAccessWriteDac);
    ASSERT_TRUE(GetEffectiveRights(other, kTrusteeCurrentUser, &mask).ok());
    EXPECT_FALSE(mask & (kAccessWriteDac | kAccessReadData));
  }
  EXPECT_TRUE(GetEffectiveRights(owned, "no-such-user-xel", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights(M_Dir.Join("missing"), "root", &mask).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetEffectiveRights("", "root", &mask).Is(ErrorKind::kInvalid));
  SecurityInfo unread;
  EXPECT_TRUE(unread.GetEffectiveRights("root", &mask).Is(ErrorKind::kInvalid));
}

}  // namespace
}  // namespace velmora::osal
