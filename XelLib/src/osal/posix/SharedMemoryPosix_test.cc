// Tests of the POSIX side of the named objects: how names become /dev/shm files, their
// permissions, and the names a killed creator leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ChildProcess.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace {

// Child: creates the named memory, says "created" and waits to be killed.
XEL_CHILD_MODE(create_memory_and_die) {
  velmora::osal::SharedMemory memory;
  if (!memory.Create(args.at(0), 64).ok()) return 2;
  velmora::testing::ChildSay("created");
  for (;;) velmora::osal::SleepMs(1000);
}

}  // namespace

namespace velmora::osal {
namespace {

bool ShmFileMode(const std::string& file, mode_t* mode) {
  struct stat st;
  if (::stat(("/dev/shm/" + file).c_str(), &st) != 0) return false;
  *mode = st.st_mode & 07777;
  return true;
}

TEST(SharedMemoryPosixTest, NamesBecomeDevShmFilesOpenToEveryone) {
  const std::string id = std::to_string(getpid());
  const mode_t saved_umask = ::umask(077);  // the objects must not depend on it
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
    mode_t mode = 0;
    ASSERT_TRUE(ShmFileMode(f, &mode)) << f;
    EXPECT_EQ(mode, 0666u) << f;
  }
  mutex.Close();
  mode_t mode = 0;
  EXPECT_FALSE(ShmFileMode(file + ".mtx", &mode)) << "the creator's close removes the name";
}

TEST(SharedMemoryPosixTest, AKilledCreatorsNameStaysUntilRemoved) {
  const std::string name = "XelPosixTest_" + std::to_string(getpid()) + "_left";
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("create_memory_and_die", {name}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  child.Kill();
  int exit_code = 0;
  ASSERT_TRUE(child.Wait(10000, &exit_code));
  SharedMemory memory;
  EXPECT_TRUE(memory.Create(name, 64).Is(ErrorKind::kExists));
  EXPECT_EQ(RemoveLeftoverNamedObjects(name), 1);
  EXPECT_TRUE(memory.Create(name, 64).ok());
}

}  // namespace
}  // namespace velmora::osal
