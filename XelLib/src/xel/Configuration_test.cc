// Tests of Configuration: reads with defaults, prefixes and copies, files and XInclude.
#include "xel/Configuration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../../testing/AppTestSupport.h"
#include "../../testing/ResultMatchers.h"
#include "../../testing/TempDir.h"
#include "osal/System.h"

namespace velmora::xel {
namespace {

using util::HasCategory;
using util::HasText;
using util::IsError;
using util::IsOk;
using util::Ref;

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The Result that f throws (a success when it throws none).
template <class F>
util::Result Thrown(F f) {
  try {
    f();
  } catch (const util::Result& r) {
    return r;
  }
  return util::Result();
}

const XmlNamedValue kModes[] = {{"No", 0}, {"Yes", 1}, {"Ask", 2}};

TEST(ConfigurationFile, ReadsValuesOrTheDefaultMakesCopiesAndServesConcurrentReaders) {
  testing::TempDir dir;
  WriteFile(dir.Join("comp.xml"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><Name>Importer</Name>"
            "<Count>-7</Count><On>true</On><Off>0</Off><Odd>maybe</Odd><Mode>Yes</Mode>"
            "<Folder><Input>C:\\in</Input><Output attr=\"x\">C:\\out</Output></Folder>"
            "<Schedulers><schedule/><schedule><Delay>9</Delay></schedule></Schedulers></Config>");
  Ref<Configuration> config = Configuration::FromFile(dir.Join("comp.xml"));
  EXPECT_EQ(config->GetString("Config/Folder/Output"), "C:\\out");
  EXPECT_EQ(config->GetInt("Config/Count", 0), -7);
  // Booleans follow the text, whatever the default says; unreadable ones give the default.
  EXPECT_TRUE(config->GetBool("Config/On", false));
  EXPECT_FALSE(config->GetBool("Config/Off", true));
  EXPECT_TRUE(config->GetBool("Config/Odd", true));
  EXPECT_EQ(config->GetNamedValue("Config/Mode", kModes, 3, -1), 1);
  EXPECT_EQ(config->SubConfig("Config/Schedulers/schedule[%i]", 2)->GetInt("Delay", 0), 9);
  EXPECT_EQ(config->SubConfig("Config")->SubConfig("Folder")->Prefix(), "Config/Folder/");
  EXPECT_EQ(config->GetString("Config/Nope", "dflt"), "dflt");
  EXPECT_EQ(config->GetInt("Config/Name", 17), 17);
  EXPECT_EQ(config->GetNamedValue("Config/Name", kModes, 3, 2), 2);
  XmlParser target;
  EXPECT_THAT(config->CopySubtree("Config/Nope", target, 1), HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(Thrown([&] { (void)config->GetString("Config/Nope"); }),
              HasCategory(util::ErrObjNotExist));
  util::Result r = Thrown([&] { Configuration c(dir.Join("absent.xml")); });
  EXPECT_THAT(r, HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(r, HasText("Configuration-file open"));
  // Buffer reads cut to size - 1 bytes and warn when they give the default.
  char buf[8];
  EXPECT_THAT(config->GetString("Config/Name", buf, sizeof(buf), "dflt"), IsOk());
  EXPECT_STREQ(buf, "Importe");
  r = config->GetString("Config/Nope", buf, sizeof(buf), "defaults");
  EXPECT_TRUE(r.IsSuccess());
  EXPECT_EQ(r.Severity(), uint32_t{util::SevWarning});
  EXPECT_EQ(r.Category(), uint32_t{util::ErrObjNotExist});
  EXPECT_STREQ(buf, "default");
  EXPECT_THAT(config->GetString("Config/Nope", buf, sizeof(buf), nullptr), IsError());
  EXPECT_STREQ(buf, "");
  // A standalone copy holds the children under "Config".
  auto copy = Ref<Configuration>::Adopt(new Configuration);
  ASSERT_THAT(copy->MakeStandaloneCopy(*config->SubConfig("Config/Folder")), IsOk());
  EXPECT_EQ(copy->Prefix(), "Config/");
  EXPECT_EQ(copy->GetString("Output/@attr", ""), "x");
  EXPECT_FALSE(copy->Exists("Folder"));
  EXPECT_NE(copy->Document().get(), config->Document().get());
  // An empty prefix copies nothing: an empty "Config" element.
  ASSERT_THAT(copy->MakeStandaloneCopy(*config), IsOk());
  EXPECT_FALSE(copy->Exists("Config"));
  EXPECT_THAT(copy->MakeStandaloneCopy(*config->SubConfig("Config/Nope")), IsError());
  // Texts are looked up once, but a document that changes under a configuration, or a
  // configuration given another document, is read anew.
  const std::string text = "<r><a>1</a><s><a>2</a></s></r>";
  Ref<XmlParser> doc = XmlParser::Create();
  ASSERT_THAT(doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())), IsOk());
  Ref<Configuration> shared = Configuration::FromDocument(doc);
  for (auto [move, expected] : {std::pair{"", "none"}, {"/r", "1"}, {"/r/s", "2"}}) {
    if (*move) {
      ASSERT_THAT(doc->MoveToPath(move), IsOk());
    }
    for (int i = 0; i < 2; ++i) EXPECT_EQ(shared->GetString("a", "none"), expected) << move;
  }
  ASSERT_THAT(shared->Share(*config->SubConfig("Config")), IsOk());
  EXPECT_EQ(shared->GetString("Name", "none"), "Importer");
  EXPECT_EQ(copy->GetString("Output/@attr", "gone"), "gone");
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) good[t] += config->GetString("Config/Folder/Input") == "C:\\in";
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good, std::vector<int>(4, 200));
}

TEST(ConfigurationDeathTest, ReadsWithoutDocumentAreAssertions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Configuration empty;
  EXPECT_DEATH(
      {
        testing::FatalRecordsToStderr();
        (void)empty.GetInt("x", 1);
      },
      "Exp=M_pMsg.HasObject\\(\\)");
}

TEST(ConfigurationIncludes, NestedIncludesAreReplacedByTheirRootsCyclesAndOtherSchemesFail) {
  testing::TempDir dir;
  const std::string xi = "xmlns:xi='http://www.w3.org/2001/XInclude'";
  std::filesystem::create_directories(dir.Join("sub/deeper"));
  WriteFile(dir.Join("sub/common.xml"),
            "<Common " + xi + "><Level>3</Level><xi:include href='deeper/leaf.xml'/></Common>");
  WriteFile(dir.Join("sub/deeper/leaf.xml"), "<Leaf a='1'>leaf text</Leaf>");
  WriteFile(dir.Join("abs.xml"), "<Abs><V>abs</V></Abs>");
  WriteFile(dir.Join("sub/main.xml"),
            "<Config " + xi + "><Group><xi:include href='common.xml'/><After>a</After></Group>" +
                "<xi:include href='" + dir.Join("abs.xml") + "'/><include>no</include></Config>");
  auto config = Configuration::FromFile(dir.Join("sub/main.xml"));
  ASSERT_THAT(config->ResolveIncludes(dir.Join("sub")), IsOk());
  Ref<Configuration> c = config->SubConfig("Config");
  EXPECT_EQ(c->GetString("Group/Common/Level") + c->GetString("Group/Common/Leaf") +
                c->GetString("Group/Common/Leaf/@a") + c->GetString("Group/After") +
                c->GetString("Abs/V") + c->GetString("include"),
            "3leaf text1aabsno");
  // A relative reference is resolved against the base given, not the working directory.
  auto again = Configuration::FromFile(dir.Join("sub/main.xml"));
  EXPECT_THAT(again->ResolveIncludes(dir.path()), HasCategory(util::ErrObjNotExist));
  WriteFile(dir.Join("self.xml"), "<S " + xi + "><xi:include href='self.xml'/></S>");
  WriteFile(dir.Join("web.xml"), "<W " + xi + "><xi:include href='http://example.com/x'/></W>");
  EXPECT_THAT(Configuration::FromFile(dir.Join("self.xml"))->ResolveIncludes(dir.path()),
              HasCategory(util::ErrLoop));
  EXPECT_THAT(Configuration::FromFile(dir.Join("web.xml"))->ResolveIncludes(dir.path()),
              HasCategory(util::ErrNotImplemented));
}

// The key file named in a start request decrypts the configuration copied from it; a key
// file that cannot be used is refused before anything is decrypted.
TEST(ConfigurationDecryption, TheKeyFileNamedInTheRequestDecryptsTheCopy) {
  velmora::testing::TempDir dir;
  const std::string good = dir.Join("good.key"), open = dir.Join("open.key");
  ASSERT_TRUE(osal::WriteOwnerOnlyFile(good, "config key\n").ok());
  WriteFile(open, "config key\n");
  std::string password;
  ASSERT_THAT(XmlEncryptContent(1, "config key", "pa&amp;ss", &password), IsOk());
  auto request = [&](const std::string& keyFile) {
    const std::string setting =
        keyFile.empty() ? "" : "<Encryption><KeyFile>" + keyFile + "</KeyFile></Encryption>";
    const std::string text =
        "<start><C><X>" + setting + "<Password>" + password + "</Password></X></C></start>";
    Ref<XmlParser> doc = XmlParser::Create();
    EXPECT_THAT(doc->GetMessage()->Append(text.data(), static_cast<int32_t>(text.size())), IsOk());
    doc->SetDecryption(true);
    return doc;
  };
  const char* kSetting = "/start/C/*/Encryption/KeyFile";
  Ref<XmlParser> doc = request(good);
  ASSERT_THAT(Configuration::LoadDecryptionKey(*doc, kSetting), IsOk());
  Configuration copy;
  ASSERT_THAT(copy.MakeStandaloneCopy(*Configuration::FromDocument(doc)->SubConfig("start/C/X")),
              IsOk());
  EXPECT_EQ(copy.GetString("Password", ""), "pa&ss");
  // Without the setting there is no configured key; the copy cannot be made.
  doc = request("");
  ASSERT_THAT(Configuration::LoadDecryptionKey(*doc, kSetting), IsOk());
  EXPECT_THAT(copy.MakeStandaloneCopy(*Configuration::FromDocument(doc)->SubConfig("start/C/X")),
              HasText("decryption failed"));
  // A key file others may read (where new files are not private anyway), or none at all.
  std::string content;
  std::vector<std::string> bad = {dir.Join("missing.key")};
  if (!osal::ReadOwnerOnlyFile(open, 64, &content).ok()) bad.push_back(open);
  for (const std::string& file : bad) {
    EXPECT_THAT(Configuration::LoadDecryptionKey(*request(file), kSetting),
                HasCategory(util::ErrBadConfig))
        << file;
  }
  // Encrypted content reads with the keys of the moment, not as an earlier read found it.
  XmlParser::SetConfiguredDecryptionKey("");
  Ref<Configuration> direct = Configuration::FromDocument(request(""))->SubConfig("start/C/X");
  EXPECT_EQ(direct->GetString("Password", "none"), "none");
  XmlParser::SetConfiguredDecryptionKey("config key");
  EXPECT_EQ(direct->GetString("Password", "none"), "pa&ss");
  XmlParser::SetConfiguredDecryptionKey("");
}

}  // namespace
}  // namespace velmora::xel
