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
  EXPECT_EQ(capture.M_Lines,
            std::vector<std::string>({"Trace Message (out) RxSize=" + size + ", CurrentPos=" + size,
                                      "<a>", "  <b>text</b>", "</a>"}));
  // The dump reads a copy: the document's cursor does not move.
  EXPECT_EQ(doc.GetDepth(), 0);
}

TEST(XmlParserDumpTest, LargeDocumentsAreTruncatedAndBadOnesReported) {
  XmlParser big, bad;
  ASSERT_TRUE(big.WriteElement(0, "big", std::string(200000, 'x').c_str()).IsSuccess());
  ASSERT_TRUE(big.CloseAll().IsSuccess());
  ASSERT_TRUE(bad.GetMessage()->Append("<a><b></a>", 10).IsSuccess());
  Capture capture;
  big.DumpToTrace(kId, "big");
  ASSERT_FALSE(capture.M_Lines.empty());
  EXPECT_EQ(capture.M_Lines.back(), "XML Dump truncated (BufferSize=65536)");
  bad.DumpToTrace(kId, "bad");
  EXPECT_EQ(capture.M_Lines.back().rfind("XML Dump failed with ", 0), 0u) << capture.M_Lines.back();
  // Nothing is written when the id is off.
  const size_t lines = capture.M_Lines.size();
  util::EnableTraceId(kId, false);
  bad.DumpToTrace(kId, "off");
  EXPECT_EQ(capture.M_Lines.size(), lines);
}

}  // namespace
}  // namespace velmora::xel
