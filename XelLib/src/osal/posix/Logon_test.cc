// Tests for PAM logon and per-thread impersonation with a throw-away local account, and of the
// named objects as /dev/shm files: who may open them, what a killed creator leaves behind.
#include "osal/Logon.h"

#include <fcntl.h>  // AT_FDCWD
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "ChildProcess.h"
#include "TestAccount.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"

namespace {

// Child: creates the named memory, says "created" and waits to be killed.
XEL_CHILD_MODE(create_memory_and_die) {
  velmora::osal::SharedMemory memory;
  if (!memory.Create(args.at(0), 64).ok()) return 2;
  velmora::testing::ChildSay("created");
  velmora::testing::ChildWaitToBeKilled();
}

}  // namespace

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
  EXPECT_TRUE(token.UserName() == M_Account.Name() && token.Uid() != 0u &&
              token.Groups().front() == token.Gid());
  LogonToken refused;
  Status wrong = LogonUser(M_Account.Name(), "wrong", M_Service.Name(), &refused);
  EXPECT_TRUE(wrong.Is(ErrorKind::kAccessDenied) && wrong.code() == PAM_AUTH_ERR &&
              !refused.IsValid() && !LogonErrorText(wrong.code()).empty());
  Status unknown = LogonUser(M_Account.Name() + "x", kPassword, M_Service.Name(), &refused);
  EXPECT_TRUE(unknown.Is(ErrorKind::kAccessDenied) && unknown.code() != 0);
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
  EXPECT_TRUE(!IsImpersonating() && geteuid() == 0 && getegid() == 0 && AllThreadsRunAs(0));
  EXPECT_EQ(faccessat(AT_FDCWD, "/etc/shadow", R_OK, AT_EACCESS), 0);
  EXPECT_TRUE(RevertToSelf().ok());  // nothing left to revert
  token.Close();
  token.Close();  // twice is harmless
  EXPECT_TRUE(ImpersonateLoggedOnUser(token).Is(ErrorKind::kInvalid));
}

bool ShmFileStat(const std::string& file, struct stat* st) {
  return ::stat(("/dev/shm/" + file).c_str(), st) == 0;
}

// The three kinds are separate files of one name, with the mode the access asks for whatever
// the umask; another account opens them through the group or when every account may.
TEST(SharedMemoryPosixTest, NamesBecomeDevShmFilesOpenedOnlyAsTheAccessSays) {
  testing::TestAccount account("Xel-obj-1");
  LogonToken token;
  // Without the account its token stays empty, and impersonating it fails harmlessly.
  const bool bAccount = account.ok() && token.Resolve(account.Name()).ok();
  struct Case {
    bool bGroup, bAny;
    mode_t mode;
  } const cases[] = {{false, false, 0600}, {true, false, 0660}, {false, true, 0666}};
  const std::string id = std::to_string(getpid());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    if (c.bGroup && !bAccount) continue;
    const ObjectAccess access{c.bGroup ? std::to_string(token.Gid()) : "", c.bAny};
    const std::string name = "Global\\XelPosixTest_" + id + "/" + std::to_string(c.mode);
    const std::string file = "Global_XelPosixTest_" + id + "_" + std::to_string(c.mode);
    SharedMemory memory;
    NamedMutex mutex;
    NamedEvent event;
    const mode_t saved_umask = ::umask(0);
    ASSERT_TRUE(memory.Create(name, 64, access).ok() && mutex.Create(name, true, access).ok() &&
                event.Create(name, false, false, access).ok());
    ::umask(saved_umask);
    for (const std::string& f : {file, file + ".mtx", file + ".evt"}) {
      struct stat st;
      ASSERT_TRUE(ShmFileStat(f, &st)) << f;
      EXPECT_TRUE((st.st_mode & 07777) == c.mode && (!c.bGroup || st.st_gid == token.Gid())) << f;
    }
    Status opened[3];
    std::thread([&] {
      ScopedImpersonation as(token);
      if (!bAccount || !as.status().ok()) return;
      SharedMemory m;
      NamedMutex x;
      NamedEvent e;
      opened[0] = m.Open(name);
      opened[1] = x.Open(name);
      opened[2] = e.Open(name);
    }).join();
    for (const Status& s : opened) {
      EXPECT_EQ(s.kind(),
                c.bGroup || c.bAny || !bAccount ? ErrorKind::kNone : ErrorKind::kAccessDenied)
          << s.Text();
    }
    mutex.Close();
    struct stat st;
    EXPECT_FALSE(ShmFileStat(file + ".mtx", &st)) << "the creator's close removes the name";
  }
  if (!bAccount) GTEST_SKIP() << "other-account rows left out: " << account.Reason();
}

TEST(SharedMemoryPosixTest, AKilledCreatorsNameIsTakenOverAndSwept) {
  const std::string name = "XelPosixTest_" + std::to_string(getpid()) + "_left";
  for (bool sweep : {false, true}) {
    testing::ChildProcess child;
    std::string line;
    int exit_code = 0;
    ASSERT_TRUE(child.Start("create_memory_and_die", {name}) && child.ReadLine(&line, 10000));
    child.Kill();
    ASSERT_TRUE(child.Wait(10000, &exit_code));
    struct stat st;
    EXPECT_TRUE(ShmFileStat(name, &st)) << "nothing has removed it yet";
    EXPECT_EQ(sweep ? RemoveLeftoverNamedObjects(name) : 1, 1);
    SharedMemory memory;
    EXPECT_TRUE(memory.Create(name, 64).ok());
  }
}

}  // namespace
}  // namespace velmora::osal
