// Tests of LogonConnector: share names, local logon and impersonation, rights.
#include "LogonConnector.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "ClaimTestSupport.h"
#include "NetConnectionsManager.h"
#include "SambaServer.h"
#include "SmbStandardPortRelay.h"
#include "TestAccount.h"
#include "osal/NetShare.h"

// libsmbclient keeps a little memory of every context it made, also of failed connections.
XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::xelc {
namespace {

using ::testing::HasSubstr;
using testing::ScratchFolder;
using testing::TraceCapture;
using velmora::testing::AllThreadsRunAs;
using velmora::testing::FileOwner;
using velmora::testing::TestAccount;
using velmora::testing::TestPamService;

TEST(LogonConnectorTest, ShareNamesAreCutOnlyWhenAsked) {
  for (const auto &[path, length] : {std::pair<const char *, size_t>{"\\\\srv\\data\\in\\sub", 10},
                                     {"\\\\srv\\data", 10},
                                     {"\\\\srv", 0},
                                     {"C:\\in", 0},
                                     {"/tmp/in", 0}}) {
    EXPECT_EQ(LogonConnector::GetShareNameLength(path), length) << path;
  }
  LogonConnector connector(nullptr);
  connector.SetFolder("\\\\srv\\data\\in\\sub", false);
  EXPECT_EQ(connector.GetFolder(), "\\\\srv\\data\\in\\sub");
  connector.SetFolder("\\\\srv\\data\\in\\sub", true);
  EXPECT_EQ(connector.GetFolder(), "\\\\srv\\data");
}

TEST(LogonConnectorTest, WithoutAnAccountTheFolderIsUsedWithTheProcessRights) {
  TraceCapture trace("File_LogonConnector");
  LogonConnector connector(nullptr);
  connector.SetFolder("/tmp", false);
  EXPECT_EQ(connector.Connect(), LogonConnector::kStateUsable);
  EXPECT_EQ(trace.Count("Warning: no account specified to connect to folder /tmp"), 1);
  EXPECT_FALSE(connector.IsImpersonating());
  EXPECT_EQ(connector.GetStatusText(), "");
  EXPECT_EQ(connector.Disconnect(), LogonConnector::kStateUsable);
}

TEST(LogonConnectorTest, SharesGoThroughTheConnectionsManager) {
  // Without a manager nothing is connected and the state stays as it was.
  LogonConnector alone(nullptr);
  alone.SetFolder("\\\\127.0.0.1\\data\\in", false);
  alone.SetCredentials("u1@d1", "secret");
  EXPECT_EQ(alone.Connect(), LogonConnector::kStateNone);
  EXPECT_FALSE(alone.IsImpersonating());

  // A share that no server offers: the manager's message becomes the status text.
  osal::SetShareClientPort(9);
  NetConnectionsManager manager;
  LogonConnector connector(&manager);
  connector.SetFolder("\\\\127.0.0.1\\data\\in", true);
  connector.SetCredentials("d1\\u1", "secret");
  EXPECT_EQ(connector.Connect(), LogonConnector::kStateFailed);
  EXPECT_THAT(connector.GetStatusText(),
              ::testing::StartsWith("Net connection to share \\\\127.0.0.1\\data with user u1@d1"));
  EXPECT_FALSE(connector.IsImpersonating());
  EXPECT_EQ(manager.ConnectedShareCount(), 0u);
  EXPECT_TRUE(AllThreadsRunAs(geteuid()));
}

TEST(LogonConnectorTest, PermissionCheckComparesTheEffectiveRights) {
  ScratchFolder dir;
  const struct passwd *pNobody = getpwnam("nobody");
  const struct {
    std::string folder;
    std::string account;
    int32_t state;
    ::testing::Matcher<std::string> text;
  } cases[] = {
      // The process's own account owns the folder it created: full control.
      {dir.path(), "", LogonConnector::kStateRightsPresent,
       ::testing::AllOf(::testing::StartsWith("Permission check on folder " + dir.path() +
                                              " for user@domain : ok, effective-mask="),
                        ::testing::EndsWith(", required-mask=983040"))},
      {dir / "gone", "", LogonConnector::kStateCheckFailed,
       "GetNamedSecurityInfoW: on folder " + (dir / "gone") + " failed, error=2"},
      // A named account that the system does not know cannot be checked.
      {dir.path(), "nobody-such-user-4711@d1", LogonConnector::kStateCheckFailed,
       HasSubstr(" failed, GetEffectiveRightsFromAcl() error=")},
      // "nobody" holds no rights on a folder of another owner that only the owner may change.
      {dir.path(), "nobody", LogonConnector::kStateRightsMissing,
       HasSubstr(": not ok, effective-mask=")},
  };
  for (const auto &c : cases) {
    if (c.account == "nobody" && (pNobody == nullptr || pNobody->pw_uid == geteuid())) continue;
    LogonConnector connector(nullptr);
    connector.SetFolder(c.folder, false);
    if (!c.account.empty()) connector.SetCredentials(c.account, "pw");
    EXPECT_EQ(connector.CheckFolderPermission(), c.state) << connector.GetStatusText();
    EXPECT_THAT(connector.GetStatusText(), c.text);
  }
}

TEST(LogonConnectorTest, PermissionCheckOnAShareFolderAsksTheServer) {
  using velmora::testing::SambaServer;
  SambaServer server;
  velmora::testing::SmbStandardPortRelay relay;  // descriptors need the standard port
  std::string why = server.Start();
  if (why.empty()) why = relay.Start(server.port());
  if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
  const struct passwd *pUser = getpwnam(SambaServer::kUser);
  ASSERT_NE(pUser, nullptr);
  // Both folders are 0755 on the server's disk; only the first is the account's own.
  const std::string owned = server.SharePath() + "/owned";
  ASSERT_EQ(mkdir(owned.c_str(), 0755), 0);
  ASSERT_EQ(chown(owned.c_str(), pUser->pw_uid, pUser->pw_gid), 0);
  ASSERT_EQ(mkdir((server.SharePath() + "/rooted").c_str(), 0755), 0);
  osal::SetShareClientPort(445);
  NetConnectionsManager manager;
  const std::string root = relay.UncRoot(SambaServer::kShare);
  const struct {
    const char *folder;
    int32_t state;
    const char *verdict;
  } cases[] = {{"owned", LogonConnector::kStateRightsPresent, ": ok, effective-mask="},
               {"rooted", LogonConnector::kStateRightsMissing, ": not ok, effective-mask="}};
  for (const auto &c : cases) {
    const std::string folder = root + "\\" + c.folder;
    LogonConnector connector(&manager);
    connector.SetFolder(folder, false);
    connector.SetCredentials(SambaServer::kUser, SambaServer::kPassword);
    ASSERT_EQ(connector.Connect(), LogonConnector::kStateUsable) << connector.GetStatusText();
    EXPECT_EQ(connector.CheckFolderPermission(), c.state) << connector.GetStatusText();
    EXPECT_THAT(connector.GetStatusText(),
                ::testing::StartsWith("Permission check on folder " + folder + " for user@domain " +
                                      SambaServer::kUser + c.verdict));
    connector.Disconnect();
  }
  manager.CancelAllConnections();
  osal::SetShareClientPort(0);
}

constexpr const char *kPassword = "L0gon-connector";

// A local account and a PAM service that checks it without delays; skipped where accounts
// cannot be made (not root) or PAM's password module is missing.
class LocalLogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!M_Account.ok()) GTEST_SKIP() << M_Account.Reason();
    if (!M_Service.ok()) GTEST_SKIP() << M_Service.Reason();
    M_pUser = getpwnam(M_Account.Name().c_str());
    ASSERT_NE(M_pUser, nullptr);
    M_Uid = M_pUser->pw_uid;
    M_Gid = M_pUser->pw_gid;
    chmod(M_Dir.path().c_str(), 0777);
  }
  void TearDown() override {
    // Whatever a test did, no thread may be left running as the account.
    EXPECT_TRUE(AllThreadsRunAs(0));
  }
  void Prepare(LogonConnector *pConnector, const std::string &folder, const std::string &account,
               const std::string &password) {
    pConnector->SetFolder(folder, false);
    pConnector->SetLogonService(M_Service.Name());
    pConnector->SetCredentials(account, password);
  }

  TestAccount M_Account{kPassword};
  TestPamService M_Service;
  ScratchFolder M_Dir;
  const struct passwd *M_pUser = nullptr;
  uid_t M_Uid = 0;
  gid_t M_Gid = 0;
};

TEST_F(LocalLogonTest, RightPasswordImpersonatesOnlyTheCallingThreadUntilDisconnect) {
  TraceCapture trace("File_LogonConnector");
  // Success lines are written at General_80, which the capture leaves as configured.
  bool bWas80 = util::IsTraceEnabled(util::General_80);
  util::EnableTraceId(util::General_80, true);
  velmora::testing::OtherThreadIdentity other;

  LogonConnector connector(nullptr);
  Prepare(&connector, M_Dir.path(), M_Account.Name(), kPassword);
  ASSERT_EQ(connector.Connect(), LogonConnector::kStateUsable) << connector.GetStatusText();
  EXPECT_EQ(connector.GetStatusText(), "Net connection to local folder " + M_Dir.path() +
                                           " with user@domain " + M_Account.Name() +
                                           " successfull");
  EXPECT_TRUE(connector.IsImpersonating());
  EXPECT_EQ(geteuid(), M_Uid);
  std::string file = M_Dir / "written";
  int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(FileOwner(file), static_cast<long>(M_Uid));
  other.LookAgain();

  // A second Connect while impersonating changes nothing.
  std::string text = connector.GetStatusText();
  EXPECT_EQ(connector.Connect(), LogonConnector::kStateUsable);
  EXPECT_EQ(trace.Count("ConnectLocalFolder error: already impersonating"), 1);
  EXPECT_EQ(connector.GetStatusText(), text);

  // The impersonated account does not own the scratch folder: the check runs as it.
  EXPECT_EQ(connector.CheckFolderPermission(), LogonConnector::kStateRightsMissing);
  EXPECT_THAT(connector.GetStatusText(), HasSubstr(": not ok, effective-mask="));

  EXPECT_EQ(connector.Disconnect(), LogonConnector::kStateNone);
  EXPECT_FALSE(connector.IsImpersonating());
  EXPECT_EQ(
      trace.Count("Reverting impersonation of user@domain " + M_Account.Name() + " successfull"),
      1);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  EXPECT_FALSE(other.Stop());
  // Disconnecting again does nothing.
  EXPECT_EQ(connector.Disconnect(), LogonConnector::kStateNone);
  util::EnableTraceId(util::General_80, bWas80);
}

TEST_F(LocalLogonTest, WrongPasswordOrUnknownAccountFailsWithoutChangingIdentity) {
  TraceCapture trace("File_LogonConnector");
  LogonConnector wrong(nullptr);
  Prepare(&wrong, M_Dir.path(), M_Account.Name(), "not-the-password");
  EXPECT_EQ(wrong.Connect(), LogonConnector::kStateFailed);
  // PAM's "authentication failure" is error 7.
  std::string expected = "Net connection to local folder " + M_Dir.path() + " with user@domain " +
                         M_Account.Name() + " failed, LogonUser() error=7";
  EXPECT_EQ(wrong.GetStatusText(), expected);
  EXPECT_EQ(trace.Count(expected), 1);
  EXPECT_FALSE(wrong.IsImpersonating());
  EXPECT_TRUE(AllThreadsRunAs(0));
  EXPECT_EQ(wrong.Disconnect(), LogonConnector::kStateFailed);

  LogonConnector unknown(nullptr);
  Prepare(&unknown, M_Dir.path(), M_Account.Name() + "x@elsewhere", kPassword);
  EXPECT_EQ(unknown.Connect(), LogonConnector::kStateFailed);
  EXPECT_THAT(unknown.GetStatusText(), HasSubstr(" failed, LogonUser() error="));
  EXPECT_TRUE(AllThreadsRunAs(0));
}

TEST_F(LocalLogonTest, LocalDomainDotAndAForgottenDisconnectLeaveNoIdentityBehind) {
  {
    LogonConnector connector(nullptr);
    Prepare(&connector, M_Dir.path(), ".\\" + M_Account.Name(), kPassword);
    ASSERT_EQ(connector.Connect(), LogonConnector::kStateUsable) << connector.GetStatusText();
    EXPECT_EQ(geteuid(), M_Uid);
  }
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_TRUE(AllThreadsRunAs(0));
}

TEST_F(LocalLogonTest, PermissionCheckForAnOwnerAndForAReader) {
  // The owner of a folder in a folder of its own: full control.
  std::string home = M_Dir / "home";
  std::string owned = home + "/in";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(owned.c_str(), 0700), 0);
  ASSERT_EQ(chown(home.c_str(), M_Uid, M_Gid), 0);
  ASSERT_EQ(chown(owned.c_str(), M_Uid, M_Gid), 0);
  LogonConnector owner(nullptr);
  Prepare(&owner, owned, "localhost\\" + M_Account.Name(), kPassword);
  EXPECT_EQ(owner.CheckFolderPermission(), LogonConnector::kStateRightsPresent)
      << owner.GetStatusText();
  EXPECT_THAT(owner.GetStatusText(),
              ::testing::StartsWith("Permission check on folder " + owned + " for user@domain " +
                                    M_Account.Name() + "@localhost: ok, effective-mask="));
  // The same while impersonating: the thread's own identity is checked.
  LogonConnector impersonated(nullptr);
  Prepare(&impersonated, owned, M_Account.Name(), kPassword);
  ASSERT_EQ(impersonated.Connect(), LogonConnector::kStateUsable);
  EXPECT_EQ(impersonated.CheckFolderPermission(), LogonConnector::kStateRightsPresent);
  EXPECT_EQ(impersonated.Disconnect(), LogonConnector::kStateNone);

  // A reader through an ACL entry: may list, may not change or delete.
  std::string shared = M_Dir / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  std::string aclText = "u::rwx,u:" + M_Account.Name() + ":r-x,g::---,m::r-x,o::---";
  acl_t acl = acl_from_text(aclText.c_str());
  ASSERT_NE(acl, nullptr);
  ASSERT_EQ(acl_set_file(shared.c_str(), ACL_TYPE_ACCESS, acl), 0);
  acl_free(acl);
  LogonConnector reader(nullptr);
  Prepare(&reader, shared, M_Account.Name(), kPassword);
  EXPECT_EQ(reader.CheckFolderPermission(), LogonConnector::kStateRightsMissing);
  EXPECT_THAT(reader.GetStatusText(), HasSubstr(": not ok, effective-mask="));
  EXPECT_THAT(reader.GetStatusText(), ::testing::EndsWith(", required-mask=983040"));
}

}  // namespace
}  // namespace velmora::xelc
