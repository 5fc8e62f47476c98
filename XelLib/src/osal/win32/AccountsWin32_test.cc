// Tests of logons, impersonation, folder rights and share connections with the system's own
// calls; what wine only pretends is skipped, a real machine's accounts come from the environment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "WindowsSupport.h"

// After windows.h: security descriptors in their text form.
#include <sddl.h>

#undef LogonUser

#include "osal/File.h"
#include "osal/Logon.h"
#include "osal/NetShare.h"
#include "osal/Security.h"
#include "osal/Thread.h"

namespace velmora::osal {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::vector<uint32_t> ImpersonatingThreads() {
  std::vector<uint32_t> threads;
  EXPECT_TRUE(ListImpersonatingThreads(&threads).ok());
  return threads;
}

std::string ThreadUser() {
  wchar_t name[257];
  DWORD length = 257;
  return ::GetUserNameW(name, &length) ? win32::Narrow(std::wstring_view(name, length - 1)) : "";
}

bool HasThreadToken() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

// XEL_TEST_WINDOWS_ACCOUNT ("name", "name@domain" or "domain\name") and
// XEL_TEST_WINDOWS_PASSWORD name an account that may log on interactively.
TEST(LogonWin32Test, OnlyTheCallingThreadIsImpersonatedUntilRevertedRefusalsCarryTheCode) {
  ASSERT_THAT(ImpersonatingThreads(), IsEmpty());
  LogonToken token;
  ASSERT_TRUE(LogonProcessAccount(&token).ok());
  const std::string self = ThreadUser();
  EXPECT_EQ(token.UserName(), self);
  ASSERT_TRUE(ImpersonateLoggedOnUser(token).ok());
  EXPECT_TRUE(IsImpersonating() && HasThreadToken());
  // Other threads, also those started now, keep the process's identity.
  bool bOther = true;
  std::thread([&] { bOther = IsImpersonating() || HasThreadToken(); }).join();
  EXPECT_FALSE(bOther);
  EXPECT_THAT(ImpersonatingThreads(), ElementsAre(CurrentThreadId()));
  ASSERT_TRUE(RevertToSelf().ok());
  EXPECT_FALSE(IsImpersonating() || HasThreadToken());
  EXPECT_THAT(ImpersonatingThreads(), IsEmpty());
  EXPECT_TRUE(RevertToSelf().ok());  // nothing left to revert
  // The token's handle is closed once, then forgotten.
  token.Close();
  EXPECT_EQ(token.NativeHandle(), nullptr);
  token.Close();
  EXPECT_TRUE(ImpersonateLoggedOnUser(token).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(LogonUser("", "pw", "", &token).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(token.Resolve("Administrator").Is(ErrorKind::kNotSupported));
  Status refused = LogonUser("xel-no-such-user-4711", "wrong", "", &token);
  if (refused.ok()) {
    // wine: every logon succeeds with the same dummy handle, which nothing accepts.
    EXPECT_EQ(ImpersonateLoggedOnUser(token).code(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(IsImpersonating());
    GTEST_SKIP() << "LogonUserW accepts any logon with a dummy token (wine)";
  }
  EXPECT_EQ(refused.code(), ERROR_LOGON_FAILURE);  // 1326
  EXPECT_TRUE(refused.Is(ErrorKind::kAccessDenied) && token.NativeHandle() == nullptr);
  EXPECT_FALSE(token.IsValid() || LogonErrorText(refused.code()).empty());
  const std::string account = Environment("XEL_TEST_WINDOWS_ACCOUNT");
  if (account.empty()) GTEST_SKIP() << "XEL_TEST_WINDOWS_ACCOUNT is not set";
  ASSERT_TRUE(LogonUser(account, Environment("XEL_TEST_WINDOWS_PASSWORD"), "", &token).ok() &&
              ImpersonateLoggedOnUser(token).ok());
  const std::string impersonated = ThreadUser();
  std::string other;
  std::thread([&] { other = ThreadUser(); }).join();
  ASSERT_TRUE(RevertToSelf().ok());
  EXPECT_NE(account.find(impersonated), std::string::npos) << impersonated;
  EXPECT_NE(impersonated, self);
  EXPECT_EQ(std::vector({other, ThreadUser()}), std::vector({self, self}));
}

TEST(SecurityWin32Test, ReadsAccessListsAndTheSystemsRightsOfATrustee) {
  velmora::testing::TempDir dir("xelrights");
  SecurityInfo info;
  uint32_t mask = 1;
  EXPECT_TRUE(info.GetEffectiveRights(kTrusteeCurrentUser, &mask).Is(ErrorKind::kInvalid));
  EXPECT_EQ(mask, 0u);
  EXPECT_TRUE(info.Read("").Is(ErrorKind::kInvalid));
  EXPECT_EQ(info.Read(dir.Join("gone")).code(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(info.Read(dir.Join("gone/deeper")).code(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(info.Read(dir.path()).ok());
  Status rights = info.GetEffectiveRights(kTrusteeCurrentUser, &mask);
  if (rights.Is(ErrorKind::kNotSupported)) GTEST_SKIP() << "GetEffectiveRightsFromAclW is a stub";
  // The creator of a folder in its own temporary folder holds every right.
  ASSERT_TRUE(rights.ok()) << rights.code();
  EXPECT_EQ(mask & 0xF0000u, 0xF0000u) << mask;
  EXPECT_TRUE(info.GetEffectiveRights("xel-no-such-user-4711", &mask).Is(ErrorKind::kNotFound));
  // A folder whose protected access list lets everyone only read: DELETE, WRITE_DAC and
  // WRITE_OWNER are missing, for the current user as for any other.
  const std::string reader = dir.Join("reader");
  ASSERT_TRUE(CreateFolder(reader).ok());
  PSECURITY_DESCRIPTOR pDescriptor = nullptr;
  ASSERT_TRUE(
      ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FR;;;WD)(A;OICI;FA;;;OW)", SDDL_REVISION_1, &pDescriptor, nullptr) &&
      ::SetFileSecurityW(win32::LongPathW(reader).c_str(), DACL_SECURITY_INFORMATION, pDescriptor))
      << ::GetLastError();
  ::LocalFree(pDescriptor);
  ASSERT_TRUE(GetEffectiveRights(reader, kTrusteeCurrentUser, &mask).ok());
  EXPECT_NE(mask & 0xF0000u, 0xF0000u) << mask;
  EXPECT_NE(mask & FILE_READ_DATA, 0u) << mask;
}

// XEL_TEST_SHARE ("\\server\share" with a folder "in" that the account may write),
// XEL_TEST_SHARE_USER and XEL_TEST_SHARE_PASSWORD name a share that this machine has not
// connected yet, and XEL_TEST_SHARE_OTHER_USER another account the server knows.
TEST(NetShareWin32Test, AddingReusingAndCancellingAShareConnection) {
  const std::string share = Environment("XEL_TEST_SHARE"),
                    user = Environment("XEL_TEST_SHARE_USER"),
                    password = Environment("XEL_TEST_SHARE_PASSWORD");
  const uint32_t notConnected = CancelShareConnection("\\\\127.0.0.1\\xel-not-connected");
  if (notConnected == kNetNoNetwork) GTEST_SKIP() << "no network provider (wine)";
  EXPECT_EQ(notConnected, kNetNotConnected);
  if (share.empty() || user.empty()) GTEST_SKIP() << "XEL_TEST_SHARE and its account are not set";
  ASSERT_EQ(AddShareConnection(share, user, password + "-wrong"), kNetLogonFailure);
  ASSERT_EQ(AddShareConnection(share, user, password), kNetOk);
  EXPECT_TRUE(IsShareConnected(share + "\\in"));
  EXPECT_EQ(AddShareConnection(share, user, password), kNetAlreadyAssigned);
  if (const std::string other = Environment("XEL_TEST_SHARE_OTHER_USER"); !other.empty()) {
    EXPECT_EQ(AddShareConnection(share, other, "pw"), kNetCredentialConflict);
  }
  {
    // The file calls reach the share through "\\?\UNC\"; an open file keeps it connected.
    File file;
    ASSERT_TRUE(file.Open(share + "\\in\\xel-open.txt",
                          OpenOptions{kAccessWrite, kShareRead, Disposition::kCreateAlways})
                    .ok());
    EXPECT_EQ(CancelShareConnection(share), kNetOpenFiles);
  }
  EXPECT_TRUE(DeleteFile(share + "\\in\\xel-open.txt").ok());
  EXPECT_EQ(CancelShareConnection(share), kNetOk);
  EXPECT_FALSE(IsShareConnected(share));
  EXPECT_EQ(CancelShareConnection(share), kNetNotConnected);
}

}  // namespace
}  // namespace velmora::osal
