// Tests of the document dump to the trace: heading, indented text, truncation, failures.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

constexpr uint32_t kId = util::General_99;

// Collects the trace lines written while it is installed.
class Capture : public util::LogWriter {
 public:
  Capture() {
    M_pPrevious = util::SetLogWriter(util::LogChannelTrace, this);
    util::EnableTraceId(kId, true);
  }
  ~Capture() override {
    util::EnableTraceId(kId, false);
    util::SetLogWriter(util::LogChannelTrace, M_pPrevious);
  }
  void Write(const util::LogRecord& record) override {
    std::lock_guard<std::mutex> lock(M_Lock);
    M_Lines.push_back(record.Render(false, false));
  }
  std::vector<std::string> M_Lines;

 private:
  std::mutex M_Lock;
  util::LogWriter* M_pPrevious = nullptr;
};

TEST(XmlParserDumpTest, DumpsHeadingAndIndentedDocument) {
  XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "a").IsSuccess());
  ASSERT_TRUE(doc.WriteElement(0, "b", "text").IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  Capture capture;
  doc.DumpToTrace(kId, "out");
  const std::string size = std::to_string(doc.GetMessage()->Size());
  ASSERT_EQ(capture.M_Lines.size(), 4u);
  EXPECT_EQ(capture.M_Lines[0], "Trace Message (out) RxSize=" + size + ", CurrentPos=" + size);
  EXPECT_EQ(capture.M_Lines[1], "<a>");
  EXPECT_EQ(capture.M_Lines[2], "  <b>text</b>");
  EXPECT_EQ(capture.M_Lines[3], "</a>");
  // The dump reads a copy: the document's cursor does not move.
  EXPECT_EQ(doc.GetDepth(), 0);
}

TEST(XmlParserDumpTest, LargeDocumentsAreTruncatedAndBadOnesReported) {
  XmlParser big;
  std::string data(200000, 'x');
  ASSERT_TRUE(big.WriteElement(0, "big", data.c_str()).IsSuccess());
  ASSERT_TRUE(big.CloseAll().IsSuccess());
  {
    Capture capture;
    big.DumpToTrace(kId, "big");
    ASSERT_FALSE(capture.M_Lines.empty());
    EXPECT_EQ(capture.M_Lines.back(), "XML Dump truncated (BufferSize=65536)");
  }
  XmlParser bad;
  const char text[] = "<a><b></a>";
  ASSERT_TRUE(bad.GetMessage()->Append(text, sizeof text - 1).IsSuccess());
  Capture capture;
  bad.DumpToTrace(kId, "bad");
  ASSERT_FALSE(capture.M_Lines.empty());
  EXPECT_EQ(capture.M_Lines.back().rfind("XML Dump failed with ", 0), 0u) << capture.M_Lines.back();
  // Nothing is written when the id is off.
  util::EnableTraceId(kId, false);
  bad.DumpToTrace(kId, "off");
  EXPECT_EQ(capture.M_Lines.back().rfind("XML Dump failed with ", 0), 0u);
}

}  // namespace
}  // namespace velmora::xel
