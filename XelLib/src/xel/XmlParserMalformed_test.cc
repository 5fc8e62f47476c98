// Regression tests: token streams found by fuzzing that once crashed or hung the reader (the
// reproducers themselves are replayed by the fuzz targets' replay tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

template <size_t N>
std::string B(const char (&bytes)[N]) {
  return std::string(bytes, N - 1);
}

TEST(XmlParserMalformed, HugeTokenAndPartLengthsAreRefusedNotSkipped) {
  struct {
    std::string bytes;
    bool bError;        // the first read must fail...
    uint32_t category;  // ...with this category (0: any)
  } const cases[] = {
      // Format 1: a character token whose 8-byte length is close to 2^63.
      {B("\x02\x01\x00\xd1\x88\x7f\xff\xff\xff\xff\xff\xff\xff"), true, util::ErrXmlFormat},
      // Format 4: an unknown token with a varint length of 2^63 - 1.
      {B("\x02\x04\x00\x77\xff\xff\xff\xff\xff\xff\xff\xff\x7f"), true, 0},
      // A two-part element start whose first part claims 2^64 - 1 bytes: it must not crash.
      {B("\x02\x01\x00\x64\x0a\x80\x88\xff\xff\xff\xff\xff\xff\xff\xff"), false, 0}};
  for (const auto& c : cases) {
    util::Ref<XmlParser> doc = XmlParser::Create();
    ASSERT_TRUE(doc->GetMessage()
                    ->Append(c.bytes.data(), static_cast<int32_t>(c.bytes.size()))
                    .IsSuccess());
    const util::Result r = doc->NextToken();
    EXPECT_TRUE(!c.bError || r.IsError()) << r.Text();
    EXPECT_TRUE(c.category == 0 || r.Category() == c.category) << r.Text();
  }
}

// A document of nothing but start tags must not make the reader keep a level per tag without
// end: nesting beyond the limit is refused in every format, and the depth below it is read.
TEST(XmlParserMalformed, NestingBeyondTheLimitIsRefused) {
  for (int format :
       {XmlParser::Format_XmlUtf8, XmlParser::Format_Binary, XmlParser::Format_Compact}) {
    for (const auto& [levels, refused] : {std::pair{500, false}, std::pair{513, true}}) {
      SCOPED_TRACE("format " + std::to_string(format) + ", " + std::to_string(levels) + " levels");
      util::Ref<XmlParser> doc = XmlParser::Create();
      ASSERT_TRUE(doc->SetDataFormat(format).IsSuccess());
      for (int i = 0; i < levels; ++i) ASSERT_TRUE(doc->OpenElement(0, "a").IsSuccess());
      ASSERT_TRUE(doc->CloseAll().IsSuccess());
      ASSERT_TRUE(doc->Rewind().IsSuccess());
      util::Result r;
      int deepest = 0;
      while ((r = doc->NextToken()).IsSuccess()) deepest = std::max(deepest, doc->GetDepth());
      if (refused) {
        EXPECT_EQ(r.Category(), util::ErrXmlFormat) << r.Text();
        EXPECT_NE(r.Text().find("nested deeper than 512"), std::string::npos) << r.Text();
      } else {
        EXPECT_EQ(deepest, levels);
        EXPECT_NE(r.Category(), util::ErrXmlFormat) << r.Text();
      }
    }
  }
}

}  // namespace
}  // namespace velmora::xel
