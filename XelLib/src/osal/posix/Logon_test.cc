// Tests for PAM logon and per-thread impersonation with a throw-away local account.
#include "osal/Logon.h"

#include <fcntl.h>  // AT_FDCWD
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include "TestAccount.h"

namespace velmora::osal {
namespace {

using velmora::testing::AllThreadsRunAs;
using velmora::testing::TestAccount;
using velmora::testing::TestPamService;

constexpr const char* kPassword = "Corr3ct-horse";

class LogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!M_Account.ok()) GTEST_SKIP() << M_Account.Reason();
    if (!M_Service.ok()) GTEST_SKIP() << M_Service.Reason();
  }
  TestAccount M_Account{kPassword};
  TestPamService M_Service;
};

TEST_F(LogonTest, RightPasswordResolvesTheAccountWhoseImpersonationChangesOnlyTheCallingThread) {
  LogonToken token;
  ASSERT_TRUE(LogonUser(M_Account.Name(), kPassword, M_Service.Name(), &token).ok());
  ASSERT_TRUE(token.IsValid() && !token.Groups().empty());
  EXPECT_EQ(token.UserName(), M_Account.Name());
  EXPECT_NE(token.Uid(), 0u);
  EXPECT_EQ(token.Groups().front(), token.Gid());
  LogonToken refused;
  Status wrong = LogonUser(M_Account.Name(), "wrong", M_Service.Name(), &refused);
  EXPECT_TRUE(wrong.Is(ErrorKind::kAccessDenied));
  EXPECT_EQ(wrong.code(), PAM_AUTH_ERR);
  EXPECT_FALSE(refused.IsValid());
  EXPECT_FALSE(LogonErrorText(wrong.code()).empty());
  Status unknown = LogonUser(M_Account.Name() + "x", kPassword, M_Service.Name(), &refused);
  EXPECT_TRUE(unknown.Is(ErrorKind::kAccessDenied));
  EXPECT_NE(unknown.code(), 0);
  EXPECT_TRUE(LogonUser("", kPassword, M_Service.Name(), &refused).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(LogonUser(M_Account.Name(), kPassword, "../x", &refused).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(refused.Resolve("no-such-user-xel").Is(ErrorKind::kNotFound));
  // Impersonation changes only the calling thread (the connector's tests watch other
  // threads and the files it writes), and reverts completely.
  {
    ScopedImpersonation guard(token);
    // A second impersonation starts from the thread's own identity, so one revert undoes both.
    ASSERT_TRUE(guard.status().ok() && ImpersonateLoggedOnUser(token).ok());
    EXPECT_TRUE(IsImpersonating());
    EXPECT_EQ(std::pair(geteuid(), getegid()), std::pair(token.Uid(), token.Gid()));
    // What the account may not touch stays closed while impersonating.
    EXPECT_NE(faccessat(AT_FDCWD, "/etc/shadow", R_OK, AT_EACCESS), 0);
  }
  EXPECT_FALSE(IsImpersonating());
  EXPECT_EQ(std::pair(geteuid(), getegid()), std::pair(0u, 0u));
  EXPECT_EQ(faccessat(AT_FDCWD, "/etc/shadow", R_OK, AT_EACCESS), 0);
  EXPECT_TRUE(AllThreadsRunAs(0));
  EXPECT_TRUE(RevertToSelf().ok());  // nothing left to revert
  token.Close();
  token.Close();  // twice is harmless
  EXPECT_TRUE(ImpersonateLoggedOnUser(token).Is(ErrorKind::kInvalid));
}

}  // namespace
}  // namespace velmora::osal
