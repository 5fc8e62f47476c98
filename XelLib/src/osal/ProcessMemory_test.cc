// Tests of the peak memory of another process.
#include "osal/ProcessMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ChildProcess.h"
#include "osal/WaitHandle.h"

namespace {

constexpr size_t kTouched = size_t{96} << 20;

// Child: touches kTouched bytes, frees them, says "done" and waits to be killed.
XEL_CHILD_MODE(touch_memory) {
  {
    std::vector<char> block(kTouched);
    std::memset(block.data(), 1, block.size());
  }
  velmora::testing::ChildSay("done");
  velmora::testing::ChildWaitToBeKilled();
}

}  // namespace

namespace velmora::osal {
namespace {

TEST(ProcessMemoryTest, PeakCountsMemoryAlreadyFreedAndEndsWithTheProcess) {
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("touch_memory"));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  uint64_t peak = 0;
  int code = 0;
  ASSERT_TRUE(PeakResidentMemory(child.pid(), &peak).ok());
  EXPECT_TRUE(peak >= kTouched && peak < kTouched + (uint64_t{64} << 20)) << peak;
  child.Kill();
  ASSERT_TRUE(child.Wait(10000, &code));
  EXPECT_FALSE(PeakResidentMemory(child.pid(), &peak).ok());
}

}  // namespace
}  // namespace velmora::osal
