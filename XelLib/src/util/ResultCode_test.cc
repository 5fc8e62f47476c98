// Tests of the result code word and its name and class tables.
#include "util/ResultCode.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::util {
namespace {

TEST(ResultCodeTest, FieldsPackAndUnpack) {
  ResultCode c = MakeResultCode(SevError, ErrObjNotExist, ObjXelcFile, ModVmosal);
  EXPECT_EQ(c, (2u << 28) | (21u << 20) | (60u << 8) | 3u);
  EXPECT_EQ(ResultCodeSeverity(c), 2u);
  EXPECT_EQ(ResultCodeCategory(c), 21u);
  EXPECT_EQ(ResultCodeObject(c), 60u);
  EXPECT_EQ(ResultCodeModule(c), 3u);
  // Oversized field values must not spill into their neighbours or the reserved bits.
  EXPECT_EQ(MakeResultCode(7, 0x1FF, 0x1FFF, 0x1FF) >> 30, 0u);
  EXPECT_EQ(ResultCodeObject(MakeResultCode(0, 0, 0x1FFF, 0)), 0xFFFu);
}

TEST(ResultCodeTest, NamesAndClasses) {
  EXPECT_EQ(CategoryName(0), nullptr);
  EXPECT_EQ(CategoryName(46), nullptr);
  EXPECT_EQ(ModuleName(200), nullptr);
  EXPECT_EQ(CategoryClass(ErrTemp).from, 2u);
  EXPECT_EQ(CategoryClass(ErrTemp).to, 100u);
  EXPECT_EQ(CategoryClass(ErrIntBadObj).to, 256u);
  EXPECT_EQ(CategoryClass(46).to, 0u);
  // Every named category belongs to its own class and to "Error".
  for (uint32_t c = 1; c < 256; ++c) {
    if (!CategoryName(c)) continue;
    ResultClassRange own = CategoryClass(c);
    EXPECT_TRUE(own.from == c && c < own.to) << c;
    EXPECT_LE(own.to, 256u) << c;
  }
}

}  // namespace
}  // namespace velmora::util
