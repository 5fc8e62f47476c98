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

using util::Ref;
using util::testing_matchers::IsOk;
using xel::XmlParser;

constexpr const char* kKey = "files e2e key";

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

std::string Encrypted(int method, const std::string& key, const std::string& content) {
  std::string element;
  EXPECT_THAT(xel::XmlEncryptContent(method, key, content, &element), IsOk());
  return element;
}

// A component that writes to and reads from out/ (streamed) and decrypts with a key file
// only this account may read.
class FilesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(M_Dir.Join("out"));
    ASSERT_TRUE(osal::WriteOwnerOnlyFile(M_Dir.Join("xel.key"), std::string(kKey) + "\n").ok());
    MasterOptions o;
    o.M_HostPath = XEL_HOST_PATH;
    o.M_PluginPath = XEL_PLUGIN_PATH;
    o.M_TraceLevel = 10;
    ASSERT_THAT(M_Session.Start(o), IsOk());
    Ref<XmlParser> answer;
    const std::string out = M_Dir.Join("out") + "/";
    ASSERT_THAT(M_Session.SendStart("<Component><Code><XelcFile><Encryption><KeyFile>" +
                                        M_Dir.Join("xel.key") +
                                        "</KeyFile></Encryption><Out>"
                                        "<Directory>" +
                                        out + "</Directory></Out><In><Directory>" + out +
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
  // The answer's kind, or its fault text.
  std::string Call(const std::string& xml, Ref<XmlParser>* pAnswer = nullptr) {
    Ref<XmlParser> request, answer;
    EXPECT_THAT(RequestFromText(xml, M_Dir.path(), &request, nullptr), IsOk()) << xml;
    if (!request || M_Session.Call(*request, &answer, 20000).IsError()) return "no answer";
    if (pAnswer) *pAnswer = answer;
    const std::string kind = AnswerKind(*answer);
    return kind == "Fault" ? Text(*answer, "/Envelope/Body/Fault/faultstring") : kind;
  }

  testing::TempDir M_Dir{"xelfiles"};
  MasterSession M_Session;
};

// Content of several link blocks goes to a file byte for byte; a file comes back as a streamed
// answer.
TEST_F(FilesEndToEndTest, BinaryContentIsWrittenAndAFileIsReadBackStreamed) {
  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 1);
  std::ofstream(M_Dir.Join("content.bin"), std::ios::binary) << bytes;
  EXPECT_EQ(Call("<CreateFile xmlns:xel=\"" + std::string(kNsXelMasterTool) +
                 "\"><Opt><FileName>doc</FileName><Extension>.pdf</Extension>"
                 "<Format>pdf</Format></Opt><Data xel:file=\"content.bin\"/></CreateFile>"),
            "ok");
  EXPECT_EQ(ReadWholeFile(M_Dir.Join("out/doc.pdf")), bytes);

  std::ofstream(M_Dir.Join("out/order7.xml")) << "<order no=\"7\"><item>a &amp; b</item></order>";
  Ref<XmlParser> answer;
  EXPECT_EQ(Call("<ReadFile><FileName>order7</FileName></ReadFile>", &answer), "order");
  ASSERT_TRUE(answer);
  EXPECT_EQ(Text(*answer, "/Envelope/Body/order/@no"), "7");
  EXPECT_EQ(Text(*answer, "/Envelope/Body/order/item"), "a & b");
}

// Encrypted data is written decrypted with the configured key; a wrong key and nesting deeper
// than the reader goes are refused at once, and the plug-in serves on.
TEST_F(FilesEndToEndTest, EncryptedDataIsWrittenDecryptedAndRefusalsComeAtOnce) {
  std::string open, close, layers = "<a>hi</a>";
  for (int i = 0; i < 24; ++i) {
    open += std::string("<EncryptedData xmlns=\"") + xel::kNsXmlEnc + "\"><e>";
    close += "</e></EncryptedData>";
    layers = Encrypted(i % 2, kKey, layers);
  }
  const struct {
    const char* name;
    std::string data;
    const char* answer;
  } cases[] = {
      {"m0", Encrypted(0, "", "<a>hi</a>"), "ok"},
      {"m1", Encrypted(1, kKey, "<a>hi</a>"), "ok"},
      {"wrong", Encrypted(1, "another key", "<a>hi</a>"), "decryption failed"},
      {"deep1", open + close, "decryption failed"},
      {"deep2", layers, "decryption failed"},
      {"next", Encrypted(1, kKey, "<a>hi</a>"), "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(std::string("<CreateFile><Opt><FileName>") + c.name + "</FileName></Opt><Data>" +
                   c.data + "</Data></CreateFile>"),
              c.answer);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    if (std::string(c.answer) == "ok") {
      EXPECT_EQ(ReadWholeFile(M_Dir.Join(std::string("out/") + c.name + ".xml")),
                "<?xml version=\"1.0\"?>\r\n<a>hi</a>");
    }
  }
}

}  // namespace
}  // namespace velmora::tools
