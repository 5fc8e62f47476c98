// Tests for effective rights from owner, mode bits, POSIX ACLs and the parent folder, and
// from the security descriptors of folders on network shares.
#include "osal/Security.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

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
