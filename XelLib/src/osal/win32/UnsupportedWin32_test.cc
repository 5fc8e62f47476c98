// Tests that logon, shares and effective rights, not yet available on Windows, fail plainly
// instead of pretending to succeed.
#include <gtest/gtest.h>

#include "osal/Logon.h"
#include "osal/NetShare.h"
#include "osal/Security.h"

namespace velmora::osal {
namespace {

TEST(UnsupportedWin32Test, LogonSharesAndRightsFailAsNotSupported) {
  LogonToken token;
  Status statuses[] = {token.Resolve("Administrator"),
                       LogonUser("Administrator", "secret", kDefaultLogonService, &token),
                       ImpersonateLoggedOnUser(token)};
  for (const Status& s : statuses) {
    EXPECT_TRUE(s.Is(ErrorKind::kNotSupported)) << s.code();
    EXPECT_EQ(s.code(), 50);  // ERROR_NOT_SUPPORTED
  }
  EXPECT_FALSE(token.IsValid());
  EXPECT_EQ(LogonErrorText(50), "not supported on this platform");
  EXPECT_TRUE(RevertToSelf().ok());
  EXPECT_FALSE(IsImpersonating());

  EXPECT_EQ(AddShareConnection("\\\\server\\share", "user", "password"), kNetNotSupported);
  EXPECT_EQ(CancelShareConnection("\\\\server\\share", true), kNetNotSupported);
  EXPECT_FALSE(IsShareConnected("\\\\server\\share"));

  uint32_t mask = 0xFFFFFFFFu;
  EXPECT_TRUE(GetEffectiveRights("C:\\", kTrusteeCurrentUser, &mask).Is(ErrorKind::kNotSupported));
  EXPECT_EQ(mask, 0u);
  SecurityInfo info;
  EXPECT_TRUE(info.Read("C:\\").Is(ErrorKind::kNotSupported));
  mask = 0xFFFFFFFFu;
  EXPECT_TRUE(info.GetEffectiveRights(kTrusteeCurrentUser, &mask).Is(ErrorKind::kNotSupported));
  EXPECT_EQ(mask, 0u);
}

}  // namespace
}  // namespace velmora::osal
