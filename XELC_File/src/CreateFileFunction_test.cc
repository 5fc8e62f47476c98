// Tests of "CreateFile": path rules, overwrite modes, folders, delete-on-close, both formats.
#include "CreateFileFunction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FileFunctionsTestSupport.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/File.h"

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::SizeIs;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::IsOk;
using namespace velmora::xelc::testing;
using Opt = std::vector<std::pair<std::string, std::string>>;

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
  EXPECT_THAT(trace.Matching("Write 4000 Bytes"), SizeIs(2));
  EXPECT_THAT(trace.Matching("Write 1000 Bytes"), SizeIs(1));
  EXPECT_THAT(
      trace.Matching("Try to write to XML File " + Out() + "doc.pdf (Format=pdf, Overwrite=1)"),
      SizeIs(1));
  EXPECT_THAT(trace.Matching("File " + Out() + "doc.pdf successfuly written"), SizeIs(1));
}

TEST_F(CreateFileTest, AnAccountIsLoggedOnBeforeTheFileIsOpenedAndNoAccountMeansNoLogon) {
  TraceRecorder trace({util::General_20, util::General_Error});
  ASSERT_THAT(Run("", {{"FileName", "own"}}), IsOk());
  EXPECT_THAT(trace.Matching("Logon user"), SizeIs(0));
  // An account that cannot be logged on stops the request before anything is written.
  EXPECT_THAT(Run("<Credentials><User>u1@d1</User><Password>p</Password></Credentials>",
                  {{"FileName", "other"}}),
              HasCategory(util::Error));
  EXPECT_THAT(trace.Matching("Logon user u1@d1"), SizeIs(1));
  EXPECT_FALSE(fs::exists(Out() + "other.xml"));
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

}  // namespace
}  // namespace velmora::xelc
