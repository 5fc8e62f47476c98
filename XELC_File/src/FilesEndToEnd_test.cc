// End-to-end tests of "CreateFile" and "ReadFile": the real plug-in in a host process of its
// own, driven by the master over the shared-memory link.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "MasterSession.h"
#include "ResultMatchers.h"
#include "TempDir.h"

namespace velmora::tools {
namespace {

using ::testing::HasSubstr;
using util::Ref;
using util::Result;
using util::testing_matchers::IsOk;
using xel::XmlParser;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Text(const XmlParser& doc, const char* path) {
  std::string s;
  return doc.ReadStringAtPath(path, &s).IsSuccess() ? s : "<missing " + std::string(path) + ">";
}

class FilesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(M_Dir.Join("out"));
    MasterOptions o;
    o.M_HostPath = XEL_HOST_PATH;
    o.M_PluginPath = XEL_PLUGIN_PATH;
    o.M_TraceLevel = 10;
    ASSERT_THAT(M_Session.Start(o), IsOk());
    Ref<XmlParser> answer;
    const std::string out = M_Dir.Join("out") + "/";
    ASSERT_THAT(M_Session.SendStart("<Component><Code><XelcFile><Out><Directory>" + out +
                                        "</Directory></Out><In><Directory>" + out +
                                        "</Directory><EnableStreaming>true</EnableStreaming>"
                                        "</In></XelcFile></Code></Component>",
                                    &answer),
                IsOk());
    ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  }
  void TearDown() override {
    Ref<XmlParser> stop, terminate;
    EXPECT_THAT(M_Session.Finish(&stop, &terminate), IsOk());
    EXPECT_EQ(M_Session.Exit().code, 0);
  }
  Ref<XmlParser> CallText(const std::string& xml) {
    Ref<XmlParser> request, answer;
    std::string function;
    EXPECT_THAT(RequestFromText(xml, M_Dir.path(), &request, &function), IsOk()) << xml;
    if (!request) return nullptr;
    EXPECT_THAT(M_Session.Call(*request, &answer, 20000), IsOk()) << xml;
    return answer;
  }

  testing::TempDir M_Dir{"xelfiles"};
  MasterSession M_Session;
};

TEST_F(FilesEndToEndTest, XmlAndBinaryFilesAreWrittenAndAFileIsReadBack) {
  Ref<XmlParser> answer = CallText(
      "<CreateFile><Opt><Path>orders\\</Path><FileName>order7</FileName>"
      "<CreateFolders>true</CreateFolders></Opt>"
      "<Data><order no=\"7\"><item>a &amp; b</item></order></Data></CreateFile>");
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/orders/order7.xml")),
            "<?xml version=\"1.0\"?>\r\n<order no=\"7\">\r\n  <item>a &amp; b</item>\r\n</order>");

  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 1);
  std::ofstream(M_Dir.Join("content.bin"), std::ios::binary) << bytes;
  answer = CallText("<CreateFile xmlns:xel=\"" + std::string(kNsXelMasterTool) +
                    "\"><Opt><FileName>doc</FileName><Extension>.pdf</Extension>"
                    "<Format>pdf</Format></Opt><Data xel:file=\"content.bin\"/></CreateFile>");
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/doc.pdf")), bytes);

  // Read back (streamed, as configured) the XML file written first.
  answer = CallText("<ReadFile><Path>orders/</Path><FileName>order7</FileName></ReadFile>");
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerKind(*answer), "order") << DocumentToText(*answer);
  EXPECT_EQ(Text(*answer, "/Envelope/Body/order/@no"), "7");
  EXPECT_EQ(Text(*answer, "/Envelope/Body/order/item"), "a & b");
}

TEST_F(FilesEndToEndTest, APathOutsideTheFolderIsRefusedWithAFault) {
  Ref<XmlParser> answer = CallText(
      "<CreateFile><Opt><Path>..\\</Path><FileName>escape</FileName></Opt><Data><x/></Data>"
      "</CreateFile>");
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerKind(*answer), "Fault");
  EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultcode"), "s:Client");
  EXPECT_THAT(Text(*answer, "/Envelope/Body/Fault/faultstring"),
              HasSubstr("escape.xml is not within output path " + M_Dir.Join("out") + "/"));
  EXPECT_FALSE(std::filesystem::exists(M_Dir.Join("escape.xml")));

  answer = CallText("<ReadFile><FileName>missing</FileName></ReadFile>");
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerKind(*answer), "Fault");
  EXPECT_THAT(Text(*answer, "/Envelope/Body/Fault/faultstring"), HasSubstr("File not found"));
}

}  // namespace
}  // namespace velmora::tools
