// Regression tests: token streams found by fuzzing that once crashed or hung the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

std::filesystem::path CrashesFolder() {
  return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() /
         "fuzz" / "crashes";
}

std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

util::Ref<XmlParser> DocumentOf(const std::string& bytes) {
  util::Ref<XmlParser> doc = XmlParser::Create();
  if (!bytes.empty()) {
    EXPECT_TRUE(doc->GetMessage()->Append(bytes.data(), static_cast<int32_t>(bytes.size()))
                    .IsSuccess());
  }
  return doc;
}

// Reads every token and its content in small parts; returns the number of tokens read.
int ReadAll(XmlParser& doc) {
  char buf[7];
  int tokens = 0;
  for (; tokens < 100000; ++tokens) {
    if (doc.NextToken().IsError()) break;
    const int type = doc.GetNodeType();
    if (type == XmlParser::Node_Chars || type == XmlParser::Node_Binary) {
      for (int part = 0; part < 1000; ++part) {
        int len = 0;
        util::Result r = (tokens & 1) ? doc.ReadBinary(buf, sizeof buf, &len)
                                      : doc.ReadText(buf, sizeof buf, &len);
        if (r.IsError() || r.Category() != util::ErrMoreData) break;
      }
    }
  }
  return tokens;
}

TEST(XmlParserMalformed, HugeTokenLengthsAreRefusedNotSkipped) {
  // Format 1: a character token whose 8-byte length is close to 2^63.
  std::string bin("\x02\x01\x00", 3);
  bin += std::string("\xd1\x88\x7f\xff\xff\xff\xff\xff\xff\xff", 10);
  util::Ref<XmlParser> doc = DocumentOf(bin);
  util::Result r = doc->NextToken();
  EXPECT_TRUE(r.IsError());
  EXPECT_EQ(r.Category(), util::ErrXmlFormat) << r.Text();

  // Format 4: an unknown token with a varint length of 2^63 - 1.
  std::string compact("\x02\x04\x00\x77", 4);
  compact += std::string("\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 9);
  doc = DocumentOf(compact);
  r = doc->NextToken();
  EXPECT_TRUE(r.IsError());
}

TEST(XmlParserMalformed, PartLengthsBeyondTheTokenAreIgnored) {
  // A two-part element start whose first part claims 2^64 - 1 bytes.
  std::string bin("\x02\x01\x00\x64\x0a", 5);
  bin += std::string("\x80\x88\xff\xff\xff\xff\xff\xff\xff\xff", 10);
  util::Ref<XmlParser> doc = DocumentOf(bin);
  (void)doc->NextToken();  // must neither throw nor crash
  SUCCEED();
}

// A document of nothing but start tags must not make the reader keep a level per tag without
// end: nesting beyond the limit is refused as badly formed, in every format, and the depth below
// it is read.
TEST(XmlParserMalformed, NestingBeyondTheLimitIsRefused) {
  for (int format : {XmlParser::Format_XmlUtf8, XmlParser::Format_Binary, XmlParser::Format_Compact}) {
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

TEST(XmlParserMalformed, FuzzerReproducersFailCleanly) {
  const std::filesystem::path folder = CrashesFolder();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no reproducers at " << folder;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".bin") continue;
    ++files;
    const std::string data = ReadBytes(entry.path());
    SCOPED_TRACE(entry.path().filename().string());
    if (data.empty()) continue;
    // As the token-reader target: the first byte picks format 1 or 4.
    std::string stream("\x02\x01\x00", 3);
    stream[1] = (data[0] & 1) ? '\x04' : '\x01';
    stream.append(data, 1, std::string::npos);
    util::Ref<XmlParser> doc = DocumentOf(stream);
    ReadAll(*doc);
    // As the path target: a path, a NUL, then the document.
    const size_t nul = data.find('\0');
    if (nul != std::string::npos) {
      util::Ref<XmlParser> doc2 = DocumentOf(data.substr(nul + 1));
      char buf[64];
      int len = 0;
      (void)doc2->ReadTextAtPath(data.substr(0, nul).c_str(), buf, sizeof buf, &len);
      if (doc2->NextToken().IsSuccess() && doc2->NextToken().IsSuccess()) {
        (void)doc2->MoveToPath(data.substr(0, nul).c_str());
        (void)doc2->MoveToPath(data.substr(0, nul).c_str(), 1);
      }
    }
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace velmora::xel
