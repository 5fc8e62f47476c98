// Tests of LogonConnector: account names, share names, connecting without an account, rights.
#include "LogonConnector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "ClaimTestSupport.h"

namespace velmora::xelc {
namespace {

using ::testing::HasSubstr;
using testing::ScratchFolder;
using testing::TraceCapture;

TEST(LogonConnectorTest, AccountsAreSplitIntoUserAndDomain) {
  struct Case {
    const char* account;
    const char* user;
    const char* domain;
    const char* atDomain;
    const char* backslash;
  } cases[] = {
      {"u1@d1", "u1", "d1", "u1@d1", "d1\\u1"},
      {"d1\\u1", "u1", "d1", "u1@d1", "d1\\u1"},
      {"a@b\\c", "a", "b\\c", "a@b\\c", "b\\c\\a"},
      {"u1", "u1", "", "u1", "u1"},
  };
  for (const Case& c : cases) {
    LogonConnector connector(nullptr);
    connector.SetCredentials(c.account, "secret");
    EXPECT_EQ(connector.GetUser(), c.user) << c.account;
    EXPECT_EQ(connector.GetDomain(), c.domain) << c.account;
    EXPECT_EQ(connector.GetUserAtDomain(), c.atDomain) << c.account;
    EXPECT_EQ(connector.GetDomainBackslashUser(), c.backslash) << c.account;
  }
}

TEST(LogonConnectorTest, ShareNamesAreCutOnlyWhenAsked) {
  EXPECT_EQ(LogonConnector::GetShareNameLength("\\\\srv\\data\\in\\sub"), 10u);
  EXPECT_EQ(LogonConnector::GetShareNameLength("\\\\srv\\data"), 10u);
  EXPECT_EQ(LogonConnector::GetShareNameLength("\\\\srv"), 0u);
  EXPECT_EQ(LogonConnector::GetShareNameLength("C:\\in"), 0u);
  EXPECT_EQ(LogonConnector::GetShareNameLength("/tmp/in"), 0u);

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

TEST(LogonConnectorTest, AnAccountIsRefusedClearlyInThisBuild) {
  for (const char* folder : {"/tmp/in", "\\\\srv\\data\\in"}) {
    LogonConnector connector(nullptr);
    connector.SetFolder(folder, false);
    connector.SetCredentials("u1@d1", "secret");
    EXPECT_EQ(connector.Connect(), LogonConnector::kStateFailed) << folder;
    EXPECT_THAT(connector.GetStatusText(), HasSubstr("not available in this build"));
    EXPECT_THAT(connector.GetStatusText(), HasSubstr("u1@d1"));
    EXPECT_FALSE(connector.IsImpersonating());
  }
}

TEST(LogonConnectorTest, PermissionCheckComparesTheEffectiveRights) {
  ScratchFolder dir;
  LogonConnector connector(nullptr);
  connector.SetFolder(dir.path(), false);
  // The process's own account owns the folder it created: full control.
  EXPECT_EQ(connector.CheckFolderPermission(), LogonConnector::kStateRightsPresent);
  EXPECT_THAT(connector.GetStatusText(),
              ::testing::StartsWith("Permission check on folder " + dir.path() +
                                    " for user@domain : ok, effective-mask="));
  EXPECT_THAT(connector.GetStatusText(), ::testing::EndsWith(", required-mask=983040"));

  LogonConnector missing(nullptr);
  missing.SetFolder(dir / "gone", false);
  EXPECT_EQ(missing.CheckFolderPermission(), LogonConnector::kStateCheckFailed);
  EXPECT_EQ(missing.GetStatusText(),
            "GetNamedSecurityInfoW: on folder " + (dir / "gone") + " failed, error=2");

  // A named account that the system does not know cannot be checked.
  LogonConnector unknown(nullptr);
  unknown.SetFolder(dir.path(), false);
  unknown.SetCredentials("nobody-such-user-4711@d1", "pw");
  EXPECT_EQ(unknown.CheckFolderPermission(), LogonConnector::kStateCheckFailed);
  EXPECT_THAT(unknown.GetStatusText(), HasSubstr(" failed, GetEffectiveRightsFromAcl() error="));

  const struct passwd* pNobody = getpwnam("nobody");
  if (pNobody == nullptr || pNobody->pw_uid == geteuid()) return;
  // "nobody" holds no rights on a folder of another owner that only the owner may change.
  LogonConnector other(nullptr);
  other.SetFolder(dir.path(), false);
  other.SetCredentials("nobody", "pw");
  EXPECT_EQ(other.CheckFolderPermission(), LogonConnector::kStateRightsMissing)
      << other.GetStatusText();
  EXPECT_THAT(other.GetStatusText(), HasSubstr(": not ok, effective-mask="));
}

}  // namespace
}  // namespace velmora::xelc
