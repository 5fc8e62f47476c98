// Tests of the POSIX side of the named objects: how names become /dev/shm files, who may
// open them, and the names a killed creator leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "ChildProcess.h"
#include "TestAccount.h"
#include "osal/Logon.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

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

bool ShmFileStat(const std::string& file, struct stat* st) {
  return ::stat(("/dev/shm/" + file).c_str(), st) == 0;
}

TEST(SharedMemoryPosixTest, NamesBecomeDevShmFilesForTheOwnerOnly) {
  const std::string id = std::to_string(getpid());
  const mode_t saved_umask = ::umask(0);  // the objects must not depend on it
  SharedMemory memory;
  NamedMutex mutex;
  NamedEvent event;
  // One name for all three: on POSIX they are separate objects.
  const std::string name = "Global\\XelPosixTest_" + id + "/x";
  Status sm = memory.Create(name, 64), sx = mutex.Create(name), se = event.Create(name, false);
  ::umask(saved_umask);
  ASSERT_TRUE(sm.ok() && sx.ok() && se.ok());
  const std::string file = "Global_XelPosixTest_" + id + "_x";
  for (const std::string& f : {file, file + ".mtx", file + ".evt"}) {
    struct stat st;
    ASSERT_TRUE(ShmFileStat(f, &st)) << f;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << f;
  }
  mutex.Close();
  struct stat st;
  EXPECT_FALSE(ShmFileStat(file + ".mtx", &st)) << "the creator's close removes the name";
}

TEST(SharedMemoryPosixTest, AnotherAccountOpensTheObjectsOnlyThroughTheGroup) {
  testing::TestAccount account("Xel-obj-1");
  if (!account.ok()) GTEST_SKIP() << account.Reason();
  LogonToken token;
  ASSERT_TRUE(token.Resolve(account.Name()).ok());
  struct Case {
    const char* label;
    ObjectAccess access;
    mode_t mode;
    bool opens;
  } const cases[] = {{"owner only", {}, 0600, false},
                     {"the account's group", {std::to_string(token.Gid()), false}, 0660, true},
                     {"every account", {"", true}, 0666, true}};
  const std::string base = "XelPosixAccess_" + std::to_string(getpid()) + "_";
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = base + std::to_string(++n);
    SharedMemory memory;
    NamedMutex mutex;
    NamedEvent event;
    ASSERT_TRUE(memory.Create(name, 64, c.access).ok() && mutex.Create(name, true, c.access).ok() &&
                event.Create(name, false, false, c.access).ok());
    for (const std::string& f : {name, name + ".mtx", name + ".evt"}) {
      struct stat st;
      ASSERT_TRUE(ShmFileStat(f, &st));
      EXPECT_EQ(st.st_mode & 07777, c.mode) << f;
      EXPECT_EQ(st.st_gid, c.access.M_Group.empty() ? st.st_gid : token.Gid()) << f;
    }
    Status opened[3];
    std::thread([&] {
      ScopedImpersonation as(token);
      if (!as.status().ok()) return;
      SharedMemory m;
      NamedMutex x;
      NamedEvent e;
      opened[0] = m.Open(name);
      opened[1] = x.Open(name);
      opened[2] = e.Open(name);
    }).join();
    for (const Status& s : opened) {
      EXPECT_EQ(s.kind(), c.opens ? ErrorKind::kNone : ErrorKind::kAccessDenied) << s.Text();
    }
  }
}

TEST(SharedMemoryPosixTest, AKilledCreatorsNameIsTakenOverAndSwept) {
  const std::string name = "XelPosixTest_" + std::to_string(getpid()) + "_left";
  for (bool sweep : {false, true}) {
    testing::ChildProcess child;
    ASSERT_TRUE(child.Start("create_memory_and_die", {name}));
    std::string line;
    int exit_code = 0;
    ASSERT_TRUE(child.ReadLine(&line, 10000));
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
