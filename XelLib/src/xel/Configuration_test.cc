// Tests of Configuration: reads with defaults, prefixes and copies, files and XInclude.
#include "xel/Configuration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "../../testing/ResultMatchers.h"
#include "../../testing/TempDir.h"
#include "osal/System.h"
#include "util/Trace.h"

namespace velmora::xel {
namespace {

using util::HasCategory;
using util::HasText;
using util::IsError;
using util::IsOk;
using util::Ref;

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// Runs every step in order; a failure names the first step that failed.
::testing::AssertionResult AllOk(std::initializer_list<util::Result> steps) {
  for (const util::Result& r : steps) {
    if (!r.IsSuccess()) return ::testing::AssertionFailure() << r.Text();
  }
  return ::testing::AssertionSuccess();
}

// Checks pairs of path and expected text.
void ExpectTexts(const Configuration& c, std::initializer_list<const char*> pathsAndTexts) {
  for (auto it = pathsAndTexts.begin(); it + 1 < pathsAndTexts.end(); it += 2) {
    EXPECT_EQ(c.GetString(it[0], "-"), it[1]) << it[0];
  }
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

const char* const kComponentXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><Name>Importer</Name><Count>42</Count>"
    "<Negative>-7</Negative><On>true</On><Off>0</Off><One>1</One><Odd>maybe</Odd><Mode>Yes</Mode>"
    "<Folder><Input>C:\\in</Input><Output attr=\"x\">C:\\out</Output></Folder><Schedulers>"
    "<schedule><Delay>5</Delay></schedule><schedule><Delay>9</Delay></schedule></Schedulers></"
    "Config>";

const XmlNamedValue kModes[] = {{"No", 0}, {"Yes", 1}, {"Ask", 2}};

class ConfigurationFile : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.Join("comp.xml"), kComponentXml);
    config = Configuration::FromFile(dir.Join("comp.xml"));
  }
  testing::TempDir dir;
  Ref<Configuration> config;
};

TEST_F(ConfigurationFile, ReadsPresentValuesOrTheDefault) {
  EXPECT_EQ(config->GetString("Config/Name", "x"), "Importer");
  EXPECT_EQ(config->GetString("Config/Folder/Output"), "C:\\out");
  EXPECT_EQ(config->GetInt("Config/Count", 0), 42);
  EXPECT_EQ(config->GetInt("Config/Negative", 0), -7);
  // Booleans follow the text, whatever the default says.
  EXPECT_TRUE(config->GetBool("Config/On", false));
  EXPECT_FALSE(config->GetBool("Config/Off", true));
  EXPECT_TRUE(config->GetBool("Config/One", false));
  EXPECT_EQ(config->GetNamedValue("Config/Mode", kModes, 3, -1), 1);
  EXPECT_TRUE(config->Exists("Config/Folder/Output/@attr"));
  EXPECT_EQ(config->SubConfig("Config/Schedulers/schedule[%i]", 2)->GetInt("Delay", 0), 9);
  EXPECT_EQ(config->SubConfig("Config")->SubConfig("Folder")->Prefix(), "Config/Folder/");
  // Missing or unreadable keys give the default for every read.
  EXPECT_EQ(config->GetString("Config/Nope", "dflt"), "dflt");
  EXPECT_EQ(config->GetInt("Config/Nope", 17), 17);
  EXPECT_EQ(config->GetInt("Config/Name", 17), 17);  // not a number
  EXPECT_TRUE(config->GetBool("Config/Nope", true));
  EXPECT_FALSE(config->GetBool("Config/Odd", false));
  EXPECT_TRUE(config->GetBool("Config/Odd", true));
  EXPECT_EQ(config->GetNamedValue("Config/Nope", kModes, 3, 2), 2);
  EXPECT_EQ(config->GetNamedValue("Config/Name", kModes, 3, 2), 2);  // not in the table
  EXPECT_FALSE(config->Exists("Config/Nope"));
  XmlParser target;
  EXPECT_THAT(config->CopySubtree("Config/Nope", target, 1), HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(Thrown([&] { (void)config->GetString("Config/Nope"); }),
              HasCategory(util::ErrObjNotExist));
  util::Result r = Thrown([&] { Configuration c(dir.Join("absent.xml")); });
  EXPECT_THAT(r, HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(r, HasText("Configuration-file open"));
}

TEST_F(ConfigurationFile, BufferReadCutsAndWarnsForTheDefault) {
  char buf[8];
  EXPECT_THAT(config->GetString("Config/Name", buf, sizeof(buf), "dflt"), IsOk());
  EXPECT_STREQ(buf, "Importe");  // size - 1 bytes
  util::Result r = config->GetString("Config/Nope", buf, sizeof(buf), "a long default");
  EXPECT_TRUE(r.IsSuccess());
  EXPECT_EQ(r.Severity(), uint32_t{util::SevWarning});
  EXPECT_EQ(r.Category(), uint32_t{util::ErrObjNotExist});
  EXPECT_STREQ(buf, "a long ");
  r = config->GetString("Config/Nope", buf, sizeof(buf), nullptr);
  EXPECT_THAT(r, IsError());
  EXPECT_STREQ(buf, "");
}

TEST_F(ConfigurationFile, StandaloneCopyHoldsTheChildrenUnderConfig) {
  auto copy = Ref<Configuration>::Adopt(new Configuration);
  ASSERT_THAT(copy->MakeStandaloneCopy(*config->SubConfig("Config/Folder")), IsOk());
  EXPECT_EQ(copy->Prefix(), "Config/");
  EXPECT_EQ(copy->GetString("Input", ""), "C:\\in");
  EXPECT_EQ(copy->GetString("Output/@attr", ""), "x");
  EXPECT_FALSE(copy->Exists("Folder"));
  EXPECT_NE(copy->Document().get(), config->Document().get());
  // An empty prefix copies nothing: an empty "Config" element.
  auto empty = Ref<Configuration>::Adopt(new Configuration);
  ASSERT_THAT(empty->MakeStandaloneCopy(*config), IsOk());
  XmlParser doc(*empty->Document());
  ASSERT_THAT(doc.NextToken(), IsOk());
  EXPECT_EQ(doc.GetLocalName(), "Config");
  ASSERT_THAT(doc.NextToken(), IsOk());
  EXPECT_EQ(doc.GetNodeType(), XmlParser::Node_ElementEnd);
  // A source whose path is missing gives the look-up failure.
  auto missing = Ref<Configuration>::Adopt(new Configuration);
  EXPECT_THAT(missing->MakeStandaloneCopy(*config->SubConfig("Config/Nope")), IsError());
}

TEST_F(ConfigurationFile, ShareAndCopySubtree) {
  auto shared = Ref<Configuration>::Adopt(new Configuration);
  ASSERT_THAT(shared->Share(*config->SubConfig("Config")), IsOk());
  EXPECT_EQ(shared->Prefix(), "Config/");
  EXPECT_EQ(shared->Document().get(), config->Document().get());
  EXPECT_EQ(shared->GetInt("Count", 0), 42);
  XmlParser target;
  std::string out;
  ASSERT_TRUE(
      AllOk({target.OpenElement(0, "Root"), shared->CopySubtree("Folder", target, 0),
             target.CloseAll(), target.Rewind(), target.ReadStringAtPath("/Root/Input", &out)}));
  EXPECT_EQ(out, "C:\\in");
}

TEST_F(ConfigurationFile, ConcurrentReadersSeeTheSameValues) {
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        good[t] += config->GetInt("Config/Count", 0) == 42 &&
                   config->GetString("Config/Folder/Input", "") == "C:\\in";
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good, std::vector<int>(4, 200));
}

// Writes fatal records to stderr, where a death test looks for them.
class StderrWriter : public util::LogWriter {
 public:
  void Write(const util::LogRecord& record) override {
    fprintf(stderr, "%s\n", record.Render(true, true).c_str());
  }
};

TEST(ConfigurationDeathTest, ReadsWithoutDocumentAreAssertions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Configuration empty;
  EXPECT_DEATH(
      {
        static StderrWriter writer;
        util::SetLogWriter(util::LogChannelFatal, &writer);
        (void)empty.GetInt("x", 1);
      },
      "Exp=M_pMsg.HasObject\\(\\)");
}

TEST(ConfigurationIncludes, NestedIncludesAreReplacedByTheirRootsCyclesAndOtherSchemesFail) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.Join("sub/deeper"));
  WriteFile(dir.Join("sub/common.xml"),
            "<Common xmlns:xi='http://www.w3.org/2001/XInclude'><Level>3</Level>"
            "<xi:include href='deeper/leaf.xml'/></Common>");
  WriteFile(dir.Join("sub/deeper/leaf.xml"), "<Leaf a='1'>leaf text</Leaf>");
  WriteFile(dir.Join("abs.xml"), "<Abs><V>abs</V></Abs>");
  WriteFile(dir.Join("sub/main.xml"),
            "<Config xmlns:xi='http://www.w3.org/2001/XInclude'><Before>b</Before><Group>"
            "<xi:include href='common.xml'/><After>a</After></Group><xi:include href='" +
                dir.Join("abs.xml") + "'/><include>not an XInclude</include></Config>");
  auto config = Configuration::FromFile(dir.Join("sub/main.xml"));
  ASSERT_THAT(config->ResolveIncludes(dir.Join("sub")), IsOk());
  ExpectTexts(*config->SubConfig("Config"),
              {"Before", "b", "Group/Common/Level", "3", "Group/Common/Leaf", "leaf text",
               "Group/Common/Leaf/@a", "1", "Group/After", "a", "Abs/V", "abs", "include",
               "not an XInclude"});
  EXPECT_FALSE(config->Exists("Config/Group/include"));
  // A relative reference is resolved against the base given, not the working directory.
  auto again = Configuration::FromFile(dir.Join("sub/main.xml"));
  EXPECT_THAT(again->ResolveIncludes(dir.path()), HasCategory(util::ErrObjNotExist));
  // Cycles and schemes other than files fail.
  WriteFile(dir.Join("self.xml"),
            "<S xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='self.xml'/></S>");
  WriteFile(dir.Join("web.xml"),
            "<W xmlns:xi='http://www.w3.org/2001/XInclude'>"
            "<xi:include href='http://example.com/x.xml'/></W>");
  EXPECT_THAT(Configuration::FromFile(dir.Join("self.xml"))->ResolveIncludes(dir.path()),
              HasCategory(util::ErrLoop));
  EXPECT_THAT(Configuration::FromFile(dir.Join("web.xml"))->ResolveIncludes(dir.path()),
              HasCategory(util::ErrNotImplemented));
}

// The component's configuration as the runtime builds it: a standalone copy of the element
// below "Code" in a binary request document, whose includes name XML text files.
TEST(ConfigurationIncludes, StandaloneCopyOfARequestResolvesIncludesAcrossFormats) {
  testing::TempDir dir;
  WriteFile(dir.Join("folders.xml"), "<Folders><Watched>/data/in</Watched></Folders>");
  auto request = XmlParser::Create();
  int xi = request->DeclareNamespace("xi", kNsXInclude);
  ASSERT_TRUE(AllOk(
      {request->OpenElement(0, "start"), request->OpenElement(0, "Process"),
       request->OpenElement(0, "ComponentList"), request->OpenElement(0, "Component"),
       request->OpenElement(0, "Code"), request->OpenElement(0, "XelcFile"),
       request->WriteElementInt(0, "MaxRequested", 3), request->OpenElement(xi, "include"),
       request->WriteAttribute(0, "href", "folders.xml"), request->CloseAll(), request->Rewind()}));
  ASSERT_EQ(request->GetDataFormat(), XmlParser::Format_Binary);
  ASSERT_THAT(request->MoveToPath("/start"), IsOk());
  auto whole = Configuration::FromDocument(request);
  auto config = Ref<Configuration>::Adopt(new Configuration);
  ASSERT_THAT(
      config->MakeStandaloneCopy(*whole->SubConfig("Process/ComponentList/Component[1]/Code/*")),
      IsOk());
  ASSERT_THAT(config->ResolveIncludes(dir.path()), IsOk());
  EXPECT_EQ(config->GetInt("MaxRequested", 0), 3);
  EXPECT_EQ(config->GetString("Folders/Watched", ""), "/data/in");
  EXPECT_EQ(config->Document()->GetDataFormat(), XmlParser::Format_Binary);
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
    Ref<XmlParser> doc = XmlParser::Create();
    const std::string text =
        "<start><C><X>" + setting + "<Password>" + password + "</Password></X></C></start>";
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
  XmlParser::SetConfiguredDecryptionKey("");
}

}  // namespace
}  // namespace velmora::xel
