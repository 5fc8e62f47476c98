// Tests of the large regions: alignment, independence, and reuse after release.
#include "osal/Memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace velmora::osal {
namespace {

TEST(MemoryTest, RegionsAreAlignedWritableAndDistinct) {
  // The first: the message pools' slabs.
  for (auto [size, alignment] : {std::pair{size_t{2} << 20, size_t{2} << 20},
                                 {size_t{64} << 10, size_t{4096}},
                                 {size_t{4} << 20, size_t{1} << 20}}) {
    std::vector<void*> regions;
    for (int i = 0; i < 4; ++i) {
      void* region = AllocateLargeRegion(size, alignment);
      ASSERT_NE(region, nullptr) << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(region) % alignment, 0u) << alignment;
      // First and last byte belong to this region alone.
      auto* bytes = static_cast<unsigned char*>(region);
      bytes[0] = bytes[size - 1] = static_cast<unsigned char>(i + 1);
      regions.push_back(region);
    }
    for (size_t i = 0; i < regions.size(); ++i) {
      auto* bytes = static_cast<unsigned char*>(regions[i]);
      EXPECT_EQ(bytes[0], i + 1);
      EXPECT_EQ(bytes[size - 1], i + 1);
      FreeLargeRegion(regions[i], size);
    }
  }
  FreeLargeRegion(nullptr, 4096);
}

}  // namespace
}  // namespace velmora::osal
