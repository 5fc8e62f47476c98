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

// Content of several link blocks and encrypted data (decrypted with the key file the
// configuration names) go to files; a wrong key and nesting deeper than the reader goes are
// refused at once and the plug-in serves on; a file comes back as a streamed answer.
TEST(FilesEndToEndTest, CreateFileWritesWhatTheLinkCarriesAndReadFileStreamsItBack) {
  testing::TempDir dir("xelfiles");
  const std::string out = dir.Join("out") + "/";
  std::filesystem::create_directory(out);
  ASSERT_TRUE(osal::WriteOwnerOnlyFile(dir.Join("xel.key"), std::string(kKey) + "\n").ok());
  MasterSession session;
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  ASSERT_THAT(session.Start(o), IsOk());
  Ref<XmlParser> answer;
  ASSERT_THAT(
      session.SendStart("<Component><Code><XelcFile><Encryption><KeyFile>" + dir.Join("xel.key") +
                            "</KeyFile></Encryption><Out><Directory>" + out +
                            "</Directory></Out><In><Directory>" + out +
                            "</Directory><EnableStreaming>true</EnableStreaming></In>"
                            "</XelcFile></Code></Component>",
                        &answer),
      IsOk());
  ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  // The answer's kind, or its fault text.
  auto call = [&](const std::string& xml) -> std::string {
    Ref<XmlParser> request;
    EXPECT_THAT(RequestFromText(xml, dir.path(), &request, nullptr), IsOk()) << xml;
    if (!request || session.Call(*request, &answer, 20000).IsError()) return "no answer";
    const std::string kind = AnswerKind(*answer);
    return kind == "Fault" ? Text(*answer, "/Envelope/Body/Fault/faultstring") : kind;
  };

  std::string bytes(10000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 1);
  std::ofstream(dir.Join("content.bin"), std::ios::binary) << bytes;
  std::string open, close, layers = "<a>hi</a>";
  for (int i = 0; i < 24; ++i) {
    open += std::string("<EncryptedData xmlns=\"") + xel::kNsXmlEnc + "\"><e>";
    close += "</e></EncryptedData>";
    layers = Encrypted(i % 2, kKey, layers);
  }
  const std::string decrypted = "<?xml version=\"1.0\"?>\r\n<a>hi</a>";
  const struct {
    const char* name;
    std::string data;  // none: the bytes of content.bin as a PDF
    const char* answer;
    std::string written;
  } cases[] = {
      {"doc", "", "ok", bytes},
      {"m0", Encrypted(0, "", "<a>hi</a>"), "ok", decrypted},
      {"m1", Encrypted(1, kKey, "<a>hi</a>"), "ok", decrypted},
      {"wrong", Encrypted(1, "another key", "<a>hi</a>"), "decryption failed", ""},
      {"deep1", open + close, "decryption failed", ""},
      {"deep2", layers, "decryption failed", ""},
      {"next", Encrypted(1, kKey, "<a>hi</a>"), "ok", decrypted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool bPdf = c.data.empty();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(call("<CreateFile xmlns:xel=\"" + std::string(kNsXelMasterTool) +
                   "\"><Opt><FileName>" + c.name + "</FileName>" +
                   (bPdf ? "<Extension>.pdf</Extension><Format>pdf</Format></Opt>"
                           "<Data xel:file=\"content.bin\"/>"
                         : "</Opt><Data>" + c.data + "</Data>") +
                   "</CreateFile>"),
              c.answer);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(ReadWholeFile(out + c.name + (bPdf ? ".pdf" : ".xml")), c.written);
  }
  ASSERT_EQ(call("<ReadFile><FileName>m1</FileName></ReadFile>"), "a");
  EXPECT_EQ(Text(*answer, "/Envelope/Body/a"), "hi");
  Ref<XmlParser> stop, terminate;
  EXPECT_THAT(session.Finish(&stop, &terminate), IsOk());
  EXPECT_EQ(session.Exit().code, 0);
}

}  // namespace
}  // namespace velmora::tools
