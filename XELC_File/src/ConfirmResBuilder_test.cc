// Tests of ConfirmResBuilder: the "confirm-res" answer for every outcome.
#include "ConfirmResBuilder.h"

#include <gtest/gtest.h>

#include <string>

#include "util/ResultCode.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {
namespace {

using xel::XmlParser;

constexpr const char* kStatus = "/Envelope/Body/confirm-res/status";

// The children of "status" as "name=text;", in the order Processed, Status, ErrorString.
std::string StatusChildren(const XmlParser& doc) {
  std::string out;
  for (const char* name : {"Processed", "Status", "ErrorString"}) {
    const std::string path = std::string(kStatus) + "/" + name;
    if (!doc.ExistsPath(path.c_str())) continue;
    std::string text;
    EXPECT_TRUE(doc.ReadStringAtPath(path.c_str(), &text).IsSuccess()) << path;
    out += std::string(name) + "=" + text + ";";
  }
  EXPECT_TRUE(doc.ExistsPath(kStatus));
  return out;
}

TEST(ConfirmResBuilderTest, WritesOneLayoutPerStatus) {
  const struct {
    int32_t status;  // -1: none set
    const char* text;
    const char* expected;
  } cases[] = {{0, "ignored", "Processed=YES;"},
               {1, "File C:\\in\\a.pdf could not be deleted",
                "Processed=NO;ErrorString=File C:\\in\\a.pdf could not be deleted;"},
               {1, "", "Processed=NO;ErrorString=;"},
               {2, "why", "Status=UNKNOWN;ErrorString=why;"},
               {3, "not locked", "Status=NOTFOUND;ErrorString=not locked;"},
               {7, "odd", ""},
               {-1, "", "Status=UNKNOWN;ErrorString=;"}};
  XmlParser doc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ConfirmResBuilder builder;
    if (c.status >= 0) builder.SetResult(c.status, c.text);
    // Built twice into the same document: each build replaces the answer.
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    EXPECT_EQ(doc.GetDataFormat(), XmlParser::Format_Binary);
    std::string type;
    ASSERT_TRUE(doc.ReadStringAtPath("/Envelope/Header/type", &type).IsSuccess());
    EXPECT_EQ(type, "2");
    EXPECT_EQ(StatusChildren(doc), c.expected);
  }
  EXPECT_EQ(ConfirmResBuilder().Build(nullptr).Category(), util::ErrLogicArgs);
}

}  // namespace
}  // namespace velmora::xelc
