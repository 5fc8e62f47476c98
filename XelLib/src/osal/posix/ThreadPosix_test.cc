// Tests of the POSIX side of threads: kernel names and kernel thread ids.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include "osal/Thread.h"

namespace velmora::osal {
namespace {

TEST(ThreadPosixTest, KernelNameIsCutToFifteenBytesAtACharacterBoundary) {
  struct Case {
    const char* name;
    const char* kernel_name;
  } const cases[] = {{"a-rather-long-thread-name", "a-rather-long-t"},
                     {"short", "short"},
                     {"fourteen-bytes\xC3\xA9x", "fourteen-bytes"}};  // é would be split
  for (const Case& c : cases) {
    std::string seen;
    auto body = [&] {
      char buf[32] = {};
      pthread_getname_np(pthread_self(), buf, sizeof buf);
      seen = buf;
    };
    OsThread thread;
    ASSERT_TRUE(thread.Start(c.name, body).ok() && thread.Join().ok());
    EXPECT_EQ(seen, c.kernel_name) << c.name;
  }
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(getpid()));  // the test's main thread
}

}  // namespace
}  // namespace velmora::osal
