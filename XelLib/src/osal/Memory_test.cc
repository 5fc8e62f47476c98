// Tests of the large regions: alignment, independence, and reuse after release.
#include "osal/Memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace velmora::osal {
namespace {

TEST(MemoryTest, RegionsAreAlignedWritableAndDistinct) {
  struct Case {
    size_t size;
    size_t alignment;
  } const cases[] = {{size_t{2} << 20, size_t{2} << 20},  // the message pools' slabs
                     {64 * 1024, 4096},
                     {size_t{4} << 20, size_t{1} << 20}};
  for (const Case& c : cases) {
    std::vector<void*> regions;
    for (int i = 0; i < 4; ++i) {
      void* region = AllocateLargeRegion(c.size, c.alignment);
      ASSERT_NE(region, nullptr) << c.size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(region) % c.alignment, 0u) << c.alignment;
      // First and last byte belong to this region alone.
      static_cast<unsigned char*>(region)[0] = static_cast<unsigned char>(i + 1);
      static_cast<unsigned char*>(region)[c.size - 1] = static_cast<unsigned char>(i + 1);
      regions.push_back(region);
    }
    for (size_t i = 0; i < regions.size(); ++i) {
      auto* bytes = static_cast<unsigned char*>(regions[i]);
      EXPECT_EQ(bytes[0], i + 1);
      EXPECT_EQ(bytes[c.size - 1], i + 1);
      FreeLargeRegion(regions[i], c.size);
    }
  }
  FreeLargeRegion(nullptr, 4096);
}

}  // namespace
}  // namespace velmora::osal
