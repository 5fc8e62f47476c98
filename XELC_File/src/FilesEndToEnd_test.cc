// End-to-end tests of "CreateFile" and "ReadFile": the real plug-in in a host process of its
// own, driven by the master over the shared-memory link.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "MasterSession.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/System.h"

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
    ASSERT_THAT(
        M_Session.SendStart("<Component><Code><XelcFile>" + MoreConfig() + "<Out><Directory>" +
                                out + "</Directory></Out><In><Directory>" + out +
                                "</Directory><EnableStreaming>true</EnableStreaming>"
                                "</In></XelcFile></Code></Component>",
                            &answer),
        IsOk());
    ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  }
  // Further settings of the component's configuration.
  virtual std::string MoreConfig() { return ""; }
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

// The component's configuration names a key file that only this account may read.
class EncryptedFilesEndToEndTest : public FilesEndToEndTest {
 protected:
  static constexpr const char* kKey = "files e2e key";
  std::string MoreConfig() override {
    const std::string keyFile = M_Dir.Join("xel.key");
    EXPECT_TRUE(osal::WriteOwnerOnlyFile(keyFile, std::string(kKey) + "\n").ok());
    return "<Encryption><KeyFile>" + keyFile + "</KeyFile></Encryption>";
  }
  static std::string Encrypted(int method, const std::string& key, const std::string& content) {
    std::string element;
    EXPECT_THAT(xel::XmlEncryptContent(method, key, content, &element), IsOk());
    return element;
  }
  // "CreateFile" of name.xml with the given <Data> content; the answer's kind or fault text.
  std::string CreateFile(const std::string& name, const std::string& data) {
    Ref<XmlParser> answer = CallText("<CreateFile><Opt><FileName>" + name +
                                     "</FileName></Opt><Data>" + data + "</Data></CreateFile>");
    if (!answer) return "no answer";
    const std::string kind = AnswerKind(*answer);
    return kind == "ok" ? kind : Text(*answer, "/Envelope/Body/Fault/faultstring");
  }
};

TEST_F(EncryptedFilesEndToEndTest, EncryptedDataIsWrittenDecryptedAndAWrongKeyIsRefused) {
  const std::string written = "<?xml version=\"1.0\"?>\r\n<a>hi</a>";
  EXPECT_EQ(CreateFile("m0", Encrypted(0, "", "<a>hi</a>")), "ok");
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/m0.xml")), written);
  EXPECT_EQ(CreateFile("m1", Encrypted(1, kKey, "<a>hi</a>")), "ok");
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/m1.xml")), written);

  EXPECT_EQ(CreateFile("wrong", Encrypted(1, "another key", "<a>hi</a>")), "decryption failed");
  EXPECT_EQ(CreateFile("next", Encrypted(1, kKey, "<a>hi</a>")), "ok");
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/next.xml")), written);
}

TEST_F(EncryptedFilesEndToEndTest, TwentyFourNestedLevelsAreAnsweredAtOnce) {
  // EncryptedData nested as it stands, and content encrypted 24 times over: both deeper than
  // the reader goes.
  std::string open, close;
  for (int i = 0; i < 24; ++i) {
    open += std::string("<EncryptedData xmlns=\"") + xel::kNsXmlEnc + "\"><e>";
    close += "</e></EncryptedData>";
  }
  std::string layers = "<a>hi</a>";
  for (int i = 0; i < 24; ++i) layers = Encrypted(i % 2, kKey, layers);
  int n = 0;
  for (const std::string& data : {open + close, layers}) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(CreateFile("deep" + std::to_string(++n), data), "decryption failed");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  }
  EXPECT_EQ(CreateFile("after", Encrypted(0, "", "<a>hi</a>")), "ok");
  EXPECT_TRUE(std::filesystem::exists(M_Dir.Join("out/after.xml")));
}

}  // namespace
}  // namespace velmora::tools
