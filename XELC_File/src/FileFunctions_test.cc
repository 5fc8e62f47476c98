// Tests of "CreateFile" and "ReadFile" and of their path rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AppTestSupport.h"
#include "CreateFileFunction.h"
#include "FileFunctionsTestSupport.h"
#include "OutputPath.h"
#include "QueueConnection.h"
#include "ReadFileFunction.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "xel/Message.h"

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::HasText;
using util::testing_matchers::IsOk;
using xel::XmlParser;
using namespace velmora::xelc::testing;
using Opt = std::vector<std::pair<std::string, std::string>>;
using Queue = Ref<velmora::testing::QueueConnection>;

TEST(OutputPathTest, CombineNormalizeAndCounter) {
  const struct {
    const char* directory;  // nullptr: Normalize(name); "#N": WithCounter(name, N)
    const char* name;
    const char* expected;
  } cases[] = {{"D:\\out\\", "sub\\inv1.xml", "D:\\out\\sub\\inv1.xml"},
               {"D:\\out", "a.xml", "D:\\a.xml"},  // the directory's last component goes
               {"/data/out/", "a.xml", "/data/out/a.xml"},
               {"out", "a.xml", "a.xml"},
               // Absolute: a leading separator, or a drive or scheme before the first separator.
               {"D:\\out\\", "\\x\\a.xml", "\\x\\a.xml"},
               {"D:\\out\\", "/etc/a", "/etc/a"},
               {"D:\\out\\", "E:\\a.xml", "E:\\a.xml"},
               {"D:\\out\\", "s\\a:b", "D:\\out\\s\\a:b"},  // a colon after the first separator
               {nullptr, "D:\\out\\..\\other\\inv1.xml", "D:\\other\\inv1.xml"},
               {nullptr, "D:\\a\\b\\..\\..\\c", "D:\\c"},
               {nullptr, "/data/out/x/../y", "/data/out/y"},
               // Never over the first component; ".." only between separators.
               {nullptr, "D:\\..\\x", "D:\\..\\x"},
               {nullptr, "a\\..\\x", "a\\..\\x"},
               {nullptr, "D:\\a\\b..\\c", "D:\\a\\b..\\c"},
               {nullptr, "D:\\a\\...\\c", "D:\\a\\...\\c"},
               {nullptr, "D:\\a\\..", "D:\\a\\.."},
               {"#2", "/o/a.xml", "/o/a(2).xml"},
               {"#1", "/o/a.tar.gz", "/o/a.tar(1).gz"},
               {"#3", "/o.d/readme", "/o.d/readme(3)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.directory == nullptr) {
      EXPECT_EQ(OutputPath::Normalize(c.name), c.expected);
    } else if (c.directory[0] == '#') {
      EXPECT_EQ(OutputPath::WithCounter(c.name, c.directory[1] - '0'), c.expected);
    } else {
      EXPECT_EQ(OutputPath::Combine(c.directory, c.name), c.expected);
    }
  }
}

TEST(OutputPathTest, IsWithinTheAllowedList) {
  enum { kExact = 1, kIgnoreCase = 2, kBoth = 3 };  // the case rules a row is checked with
  const std::string list = "/a/in\r\n/b/out\n\n/c";
  const std::string longEntry = "/" + std::string(1022, 'l');  // 1023 characters: ignored
  const struct {
    std::string path;
    std::string allowed;
    int rules;
    bool within;
  } cases[] = {{"D:\\out\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"d:\\OUT\\a.xml", "D:\\out\\", kIgnoreCase, true},
               {"D:\\out", "D:\\out\\", kIgnoreCase, true},
               {"D:\\outbox\\a.xml", "D:\\out\\", kIgnoreCase, false},
               {"D:\\out\\..\\..\\a.xml", "D:\\out\\", kIgnoreCase, false},
               {"D:\\ou", "D:\\out\\", kIgnoreCase, false},
               // "\" and "/" separate alike in the path and in the list.
               {"C:\\data\\out\\", "C:/data/out", kBoth, true},
               {"C:/data/out/sub/a.xml", "C:\\data\\out", kBoth, true},
               {"C:/data/out", "C:\\data\\out\\", kBoth, true},
               {"/data/out\\a.xml", "\\data\\out", kBoth, true},
               {"C:\\data\\outbox\\a.xml", "C:/data/out", kBoth, false},
               {"C:/data/out/../x", "C:\\data\\out", kBoth, false},
               {"/data/out/a.xml", "/data/out", kExact, true},
               {"/data/OUT/a.xml", "/data/out", kExact, false},
               {"/data/OUT/a.xml", "/data/out", kIgnoreCase, true},
               // Lists split at line breaks; an empty list admits nothing.
               {"/a/in/x", list, kExact, true},
               {"/b/out/x", list, kExact, true},
               {"/c/x", list, kExact, true},
               {"/d/x", list, kExact, false},
               {"/a/in/x", "", kExact, false},
               {"/x", "\r\n", kExact, false},
               {longEntry.substr(0, 1022) + "/x", longEntry.substr(0, 1022), kExact, true},
               {longEntry + "/x", longEntry, kExact, false}};
  for (const auto& c : cases) {
    for (bool bIgnoreCase : {false, true}) {
      if ((c.rules & (bIgnoreCase ? kIgnoreCase : kExact)) == 0) continue;
      EXPECT_EQ(OutputPath::IsWithin(c.path, c.allowed, bIgnoreCase), c.within)
          << c.path.substr(0, 40) << " in " << c.allowed.substr(0, 40) << " " << bIgnoreCase;
    }
  }
}

class CreateFileTest : public ::testing::Test {
 protected:
  // With the separator: a directory's last component without one is dropped.
  std::string Out() const { return M_Dir.Join("out") + "/"; }
  void SetUp() override { fs::create_directory(M_Dir.Join("out")); }

  Result Run(const std::string& outConfig, const Opt& opt,
             const std::string& dataXml = "<order><id>7</id></order>",
             const std::string& binary = "", bool bOptElement = true) {
    auto config = ConfigFromXml("<Out><Directory>" + Out() + "</Directory>" + outConfig + "</Out>");
    auto request = MakeRequest("CreateFile", opt, dataXml, binary, bOptElement);
    return Call([&] { return ExecuteCreateFile(*config, nullptr, *request); });
  }

  velmora::testing::TempDir M_Dir{"xelcreate"};
};

TEST_F(CreateFileTest, XmlContentIsWrittenBelowTheOutputFolderIndentedByTwo) {
  EXPECT_TRUE(Run("", {{"FileName", "x"}}, "", "", false).IsError());  // no Opt, no Data
  EXPECT_TRUE(fs::is_empty(Out()));
  ASSERT_THAT(Run("", {{"Path", "sub\\"}, {"FileName", "inv1"}, {"CreateFolders", "true"}},
                  "<order><id>7</id><item n=\"1\">a &amp; b</item></order>"),
              IsOk());
  EXPECT_EQ(ReadWholeFile(Out() + "sub/inv1.xml"),
            "<?xml version=\"1.0\"?>\r\n<order>\r\n  <id>7</id>\r\n  <item n=\"1\">a &amp; "
            "b</item>\r\n</order>");
}

TEST_F(CreateFileTest, APathOutsideTheFolderIsRefusedWithItsText) {
  Result r = Run("", {{"Path", "..\\other\\"}, {"FileName", "inv1"}, {"CreateFolders", "1"}});
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  EXPECT_EQ(r.ErrorText(),
            "Filename " + M_Dir.path() + "/other\\inv1.xml is not within output path " + Out());
  EXPECT_FALSE(fs::exists(M_Dir.Join("other")));
}

TEST_F(CreateFileTest, OverwriteModesOfConfigurationAndRequest) {
  const struct {
    const char* configured;
    const char* requested;
    const char* written;  // the file written; nullptr: refused as existing
  } cases[] = {{"", "No", nullptr},       {"No", "Never", nullptr},
               {"Never", "Yes", nullptr},  // the request's own mode is not even read
               {"No", "yes", nullptr},     // an unknown name keeps the configured mode
               {"No", "Yes", "a.xml"},    {"Rename", "", "a(2).xml"}};  // the first free counter
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.configured) + " / " + c.requested);
    WriteWholeFile(Out() + "a.xml", "0");
    WriteWholeFile(Out() + "a(1).xml", "1");
    Opt opt = {{"FileName", "a"}};
    if (*c.requested != '\0') opt.emplace_back("Overwrite", c.requested);
    Result r =
        Run(*c.configured ? std::string("<Overwrite>") + c.configured + "</Overwrite>" : "", opt);
    if (c.written == nullptr) {
      EXPECT_THAT(r, HasCategory(util::ErrObjExist));
      EXPECT_EQ(r.ErrorText(), "File " + Out() + "a.xml already exists");
    } else {
      ASSERT_THAT(r, IsOk());
      EXPECT_THAT(ReadWholeFile(Out() + c.written), HasSubstr("<id>7</id>"));
    }
    if (c.written == nullptr || std::string(c.written) != "a.xml") {
      EXPECT_EQ(ReadWholeFile(Out() + "a.xml"), "0");
    }
    EXPECT_EQ(ReadWholeFile(Out() + "a(1).xml"), "1");
  }
}

TEST_F(CreateFileTest, BinaryContentIsWrittenInBlocksOf4000Bytes) {
  std::string bytes(9000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  TraceRecorder trace({util::General_80, util::General_OtherXELC});
  ASSERT_THAT(
      Run("",
          {{"FileName", "doc"}, {"Extension", ".pdf"}, {"Format", "pdf"}, {"DelayPerBlock", "1"}},
          "", bytes),
      IsOk());
  EXPECT_EQ(ReadWholeFile(Out() + "doc.pdf"), bytes);
  const auto block = [](int size) {
    return EndsWith(" " + std::to_string(size) + " Bytes to File");
  };
  EXPECT_THAT(trace.Lines(),
              ElementsAre("Try to write to XML File " + Out() + "doc.pdf (Format=pdf, Overwrite=1)",
                          block(4000), block(4000), block(1000),
                          "File " + Out() + "doc.pdf successfuly written"));
}

TEST_F(CreateFileTest, DeleteOnCloseRemovesTheFileAndTheFoldersMadeForIt) {
  const Opt temporary = {{"FileName", "t"}, {"CreateFolders", "true"}, {"DeleteOnClose", "true"}};
  Opt opt = temporary;
  opt.emplace_back("Path", "n1/n2/");
  ASSERT_THAT(Run("", opt), IsOk());
  EXPECT_FALSE(fs::exists(Out() + "n1"));
  // Also when writing fails after the file was made: binary format over element content.
  opt = temporary;
  opt.insert(opt.end(), {{"Path", "n3/"}, {"Format", "bin"}});
  Result r = Run("", opt, "<x><y/></x>");
  EXPECT_TRUE(r.IsError());
  EXPECT_THAT(r.ErrorText(), Not(HasSubstr("File Open")));  // the file had been made
  EXPECT_TRUE(fs::is_empty(Out()));
  // Without CreateFolders a missing folder is an error and nothing is made.
  EXPECT_THAT(Run("", {{"Path", "n4/"}, {"FileName", "t"}}), HasCategory(util::ErrObjNotExist));
}

class ReadFileTest : public ::testing::Test {
 protected:
  ReadFileTest() { velmora::testing::QueueConnection::Pair(M_pServer.get(), M_pMaster.get()); }
  std::string In() const { return M_Dir.path() + "/"; }

  // ReadFile's parameters are children of the function element itself.
  Result Run(const Opt& params, const std::string& inConfig = "", bool bDirectory = true) {
    auto config = ConfigFromXml("<In>" + (bDirectory ? "<Directory>" + In() + "</Directory>" : "") +
                                inConfig + "</In>");
    auto request = MakeRequest("ReadFile", params, "", "", false);
    return Call([&] { return ExecuteReadFile(*config, M_pServer.get(), *request); });
  }
  velmora::testing::TempDir M_Dir{"xelread"};
  Queue M_pServer = Queue::Adopt(new velmora::testing::QueueConnection);
  Queue M_pMaster = Queue::Adopt(new velmora::testing::QueueConnection);
};

TEST_F(ReadFileTest, RefusalsComeBeforeAnyAnswer) {
  WriteWholeFile(M_Dir.Join("../outside.xml"), "<x/>");
  Result r = Run({{"Path", "..\\"}, {"FileName", "outside"}});
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  // "<dir>/..\" is folded away: the separator before the folder's own name remains.
  const std::string parent = M_Dir.path().substr(0, M_Dir.path().find_last_of("\\/") + 1);
  EXPECT_EQ(r.ErrorText(), "Filename " + parent + "outside.xml is not within input path " + In());
  fs::remove(M_Dir.Join("../outside.xml"));

  r = Run({{"FileName", "x"}}, "<EnableStreaming>true</EnableStreaming>", false);
  EXPECT_THAT(r, HasCategory(util::ErrBadConfig));
  EXPECT_EQ(r.ErrorText(), "No input directory is specified in the configuration");

  // A missing file; an empty name tries "<in>/.xml".
  EXPECT_THAT(Run({{"FileName", "none"}}), HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(Run({}).ErrorText(), HasSubstr(In() + ".xml"));
  // A file that is not well-formed: the parser's text.
  WriteWholeFile(In() + "bad.xml", "<order><id>7</id><x a></order>");
  EXPECT_THAT(Run({{"FileName", "bad"}}), HasText("Character '=' expected after attribute name"));
  WriteWholeFile(In() + "open.xml", "<order><id>7</id>");
  EXPECT_TRUE(Run({{"FileName", "open"}}).IsError());
  EXPECT_EQ(M_pMaster->Queue().size(), 0u);
}

TEST_F(ReadFileTest, AStreamedAnswerEqualsTheWholeOneAndLeavesWhileItIsWritten) {
  std::string xml = "<list xmlns=\"urn:o\" xmlns:p=\"urn:p\" p:kind=\"big\" plain=\"1\">";
  for (int i = 0; i < 3000; ++i) {
    xml += "<p:item n=\"" + std::to_string(i) + "\">text " + std::to_string(i) + "</p:item>";
  }
  xml += "tail</list>";
  WriteWholeFile(In() + "big.xml", xml);
  std::string bytes[2];  // whole, streamed
  for (bool bStreaming : {false, true}) {
    SCOPED_TRACE(bStreaming);
    ASSERT_THAT(
        Run({{"FileName", "big"}}, bStreaming ? "<EnableStreaming>true</EnableStreaming>" : ""),
        IsOk());
    ASSERT_GT(M_pMaster->Queue().size(), 20u);
    XmlParser answer;
    ASSERT_THAT(answer.Receive(M_pMaster.get(), 0), IsOk());
    ASSERT_THAT(answer.GetMessage()->FetchAll(), IsOk());
    int type = -1;
    std::string function, ns;
    ASSERT_THAT(answer.ReadHeader(&type, nullptr, nullptr, &function, &ns), IsOk());
    EXPECT_EQ(std::to_string(type) + " " + function + " " + ns,
              std::to_string(XmlParser::MsgType_Answer) + " list urn:o");
    EXPECT_EQ(velmora::testing::At(answer, "/Envelope/Body/list/@kind"), "big");
    EXPECT_EQ(velmora::testing::At(answer, "/Envelope/Body/list/item[2999]/@n"), "2998");
    bytes[bStreaming].resize(static_cast<size_t>(answer.GetMessage()->Size()));
    ASSERT_THAT(answer.GetMessage()->ReadExact(0, bytes[bStreaming].data(),
                                               static_cast<int32_t>(bytes[bStreaming].size())),
                IsOk());
  }
  EXPECT_EQ(bytes[1], bytes[0]);
}

TEST_F(ReadFileTest, AStreamedAnswerThatBreaksOffIsTheCallsResult) {
  // The connection fails after three blocks; the answer counts as given: no second one follows.
  std::string xml = "<list>";
  for (int i = 0; i < 2000; ++i) xml += "<item>" + std::string(40, 'x') + "</item>";
  xml += "</list>";
  WriteWholeFile(In() + "big.xml", xml);
  M_pServer->FailSendsAfter(3);
  Result r = Run({{"FileName", "big"}}, "<EnableStreaming>true</EnableStreaming>");
  EXPECT_THAT(r, HasCategory(util::ErrConnLost));
  EXPECT_TRUE(M_pServer->IsAnswered());
  EXPECT_EQ(M_pMaster->Queue().size(), 3u);
}

}  // namespace
}  // namespace velmora::xelc
