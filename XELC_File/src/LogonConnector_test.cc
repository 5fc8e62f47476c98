// Tests of LogonConnector: share names, shares through the manager, local logon and impersonation.
#include "LogonConnector.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "ClaimTestSupport.h"
#include "NetConnectionsManager.h"
#include "SambaServer.h"
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

TEST(LogonConnectorTest, WithoutAnAccountOrManagerNothingIsConnected) {
  TraceCapture trace("File_LogonConnector");
  LogonConnector local(nullptr);
  local.SetFolder("/tmp", false);
  EXPECT_EQ(local.Connect(), LogonConnector::kStateUsable);
  EXPECT_EQ(trace.Count("Warning: no account specified to connect to folder /tmp"), 1);
  EXPECT_EQ(local.Disconnect(), LogonConnector::kStateUsable);
  LogonConnector alone(nullptr);
  alone.SetFolder("\\\\127.0.0.1\\data\\in", false);
  alone.SetCredentials("u1@d1", "secret");
  EXPECT_EQ(alone.Connect(), LogonConnector::kStateNone);
  EXPECT_FALSE(alone.IsImpersonating());
}

TEST(LogonConnectorTest, AShareNoServerOffersFailsWithTheManagersText) {
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
  osal::SetShareClientPort(0);
}

// A local account and a PAM service that checks it without delays; skipped where accounts
// cannot be made (not root) or PAM's password module is missing.
TEST(LocalLogonTest, ThePasswordDecidesAndOnlyTheCallingThreadIsImpersonatedUntilDisconnect) {
  const char *kPassword = "L0gon-connector";
  velmora::testing::TestAccount account(kPassword);
  velmora::testing::TestPamService service;
  if (!account.ok()) GTEST_SKIP() << account.Reason();
  if (!service.ok()) GTEST_SKIP() << service.Reason();
  const struct passwd *pUser = getpwnam(account.Name().c_str());
  ASSERT_NE(pUser, nullptr);
  ScratchFolder dir;
  chmod(dir.path().c_str(), 0777);
  TraceCapture trace("File_LogonConnector", {util::General_80});
  const std::string folder = "Net connection to local folder " + dir.path() + " with user@domain ";
  LogonConnector wrong(nullptr), connector(nullptr);
  for (auto [pConnector, password] : {std::pair{&wrong, "wrong"}, {&connector, kPassword}}) {
    pConnector->SetFolder(dir.path(), false);
    pConnector->SetLogonService(service.Name());
    pConnector->SetCredentials(account.Name(), password);
  }
  // PAM's "authentication failure" is error 7.
  EXPECT_EQ(wrong.Connect(), LogonConnector::kStateFailed);
  EXPECT_EQ(trace.Count(folder + account.Name() + " failed, LogonUser() error=7"), 1);
  EXPECT_TRUE(AllThreadsRunAs(0));

  velmora::testing::OtherThreadIdentity other;
  ASSERT_EQ(connector.Connect(), LogonConnector::kStateUsable) << connector.GetStatusText();
  EXPECT_EQ(connector.GetStatusText(), folder + account.Name() + " successfull");
  EXPECT_EQ(geteuid(), pUser->pw_uid);
  const std::string file = dir / "written";
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(velmora::testing::FileOwner(file), static_cast<long>(pUser->pw_uid));
  other.LookAgain();
  // A second Connect while impersonating changes nothing.
  EXPECT_EQ(connector.Connect(), LogonConnector::kStateUsable);
  EXPECT_EQ(trace.Count("ConnectLocalFolder error: already impersonating"), 1);
  // The impersonated account does not own the scratch folder: the check runs as it.
  EXPECT_EQ(connector.CheckFolderPermission(), LogonConnector::kStateRightsMissing);
  EXPECT_THAT(connector.GetStatusText(), HasSubstr(": not ok, effective-mask="));

  EXPECT_EQ(connector.Disconnect(), LogonConnector::kStateNone);
  EXPECT_EQ(
      trace.Count("Reverting impersonation of user@domain " + account.Name() + " successfull"), 1);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  EXPECT_FALSE(other.Stop());
  EXPECT_EQ(connector.Disconnect(), LogonConnector::kStateNone);
  EXPECT_TRUE(AllThreadsRunAs(0));
}

}  // namespace
}  // namespace velmora::xelc
