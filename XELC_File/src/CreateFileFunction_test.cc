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

class CreateFileTest : public ::testing::Test {
 protected:
  // The output folder is "<tmp>/out/" (with the separator, so that it is kept).
  std::string Out() const { return M_Dir.Join("out") + "/"; }
  void SetUp() override { fs::create_directory(M_Dir.Join("out")); }

  Result Run(const std::string& outConfig,
             const std::vector<std::pair<std::string, std::string>>& opt,
             const std::string& dataXml = "<order><id>7</id></order>",
             const std::string& binary = "") {
    auto config = ConfigFromXml("<Out><Directory>" + Out() + "</Directory>" + outConfig + "</Out>");
    auto request = MakeRequest("CreateFile", opt, dataXml, binary);
    return Call([&] { return ExecuteCreateFile(*config, nullptr, *request); });
  }

  velmora::testing::TempDir M_Dir{"xelcreate"};
};

TEST_F(CreateFileTest, XmlContentIsWrittenBelowTheOutputFolderIndentedByTwo) {
  ASSERT_THAT(Run("", {{"Path", "sub\\"}, {"FileName", "inv1"}, {"CreateFolders", "true"}},
                  "<order><id>7</id><item n=\"1\">a &amp; b</item></order>"),
              IsOk());
  EXPECT_EQ(ReadWholeFile(Out() + "sub/inv1.xml"),
            "<?xml version=\"1.0\"?>\r\n<order>\r\n  <id>7</id>\r\n  <item n=\"1\">a &amp; "
            "b</item>\r\n</order>");
}

TEST_F(CreateFileTest, PathsOutsideTheAllowedFoldersAreRefused) {
  Result r = Run("", {{"Path", "..\\other\\"}, {"FileName", "inv1"}, {"CreateFolders", "1"}});
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  EXPECT_EQ(r.ErrorText(),
            "Filename " + M_Dir.path() + "/other\\inv1.xml is not within output path " + Out());
  EXPECT_FALSE(fs::exists(M_Dir.Join("other")));
  // An absolute name elsewhere, and a prefix that only shares the folder's first letters.
  EXPECT_THAT(Run("", {{"Path", M_Dir.Join("x/")}, {"FileName", "a"}}),
              HasCategory(util::ErrLogicArgs));
  EXPECT_THAT(Run("<AllowedPathPrefixes>" + M_Dir.Join("ou") + "</AllowedPathPrefixes>",
                  {{"FileName", "a"}}),
              HasCategory(util::ErrLogicArgs));
  // On a file system that tells case apart, "OUT" is another folder than "out"; where names
  // ignore case it is the same folder, and the file is written.
  Result upper = Run("<AllowedPathPrefixes>" + M_Dir.Join("OUT") + "</AllowedPathPrefixes>",
                     {{"FileName", "a"}});
  if (osal::FileNamesIgnoreCase()) {
    EXPECT_THAT(upper, IsOk());
    EXPECT_TRUE(fs::exists(Out() + "a.xml"));
  } else {
    EXPECT_THAT(upper, HasCategory(util::ErrLogicArgs));
    EXPECT_FALSE(fs::exists(Out() + "a.xml"));
  }
  // A directory without final separator loses its last component: "<tmp>/a.xml".
  auto config = ConfigFromXml("<Out><Directory>" + M_Dir.Join("out") + "</Directory></Out>");
  auto request = MakeRequest("CreateFile", {{"FileName", "a"}});
  EXPECT_THAT(Call([&] { return ExecuteCreateFile(*config, nullptr, *request); }),
              HasCategory(util::ErrLogicArgs));
  EXPECT_THAT(Run("", {{"Path", "sub\\"}}), HasCategory(util::ErrLogicArgs));  // no file name
}

TEST_F(CreateFileTest, AnAllowedPrefixListAdmitsFoldersBesideTheDirectory) {
  fs::create_directory(M_Dir.Join("second"));
  const std::string list =
      "<AllowedPathPrefixes>" + Out() + "\n" + M_Dir.Join("second") + "/</AllowedPathPrefixes>";
  ASSERT_THAT(Run(list, {{"Path", "../second/"}, {"FileName", "a"}}), IsOk());
  EXPECT_TRUE(fs::exists(M_Dir.Join("second/a.xml")));
}

TEST_F(CreateFileTest, ModesThatMustNotReplaceLeaveAnExistingFileUnchanged) {
  WriteWholeFile(Out() + "a.xml", "old");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "No"}, {"<Overwrite>No</Overwrite>", "Never"}, {"<Overwrite>Never</Overwrite>", "Yes"}};
  for (const auto& [config, requested] : cases) {
    SCOPED_TRACE(config + " / " + requested);
    // With "Never" configured the request's own "Yes" is not even read.
    Result r = Run(config, {{"FileName", "a"}, {"Overwrite", requested}});
    EXPECT_THAT(r, HasCategory(util::ErrObjExist));
    EXPECT_EQ(r.ErrorText(), "File " + Out() + "a.xml already exists");
    EXPECT_EQ(ReadWholeFile(Out() + "a.xml"), "old");
  }
  // A mode name the table does not know ("yes") keeps the configured mode.
  EXPECT_THAT(Run("<Overwrite>No</Overwrite>", {{"FileName", "a"}, {"Overwrite", "yes"}}),
              HasCategory(util::ErrObjExist));
  EXPECT_EQ(ReadWholeFile(Out() + "a.xml"), "old");
  // "Yes" from the request replaces.
  ASSERT_THAT(Run("<Overwrite>No</Overwrite>", {{"FileName", "a"}, {"Overwrite", "Yes"}}), IsOk());
  EXPECT_THAT(ReadWholeFile(Out() + "a.xml"), HasSubstr("<id>7</id>"));
}

TEST_F(CreateFileTest, RenamePicksTheFirstFreeCounter) {
  WriteWholeFile(Out() + "a.xml", "0");
  WriteWholeFile(Out() + "a(1).xml", "1");
  ASSERT_THAT(Run("<Overwrite>Rename</Overwrite>", {{"FileName", "a"}}), IsOk());
  EXPECT_THAT(ReadWholeFile(Out() + "a(2).xml"), HasSubstr("<order>"));
  EXPECT_EQ(ReadWholeFile(Out() + "a.xml"), "0");
  EXPECT_EQ(ReadWholeFile(Out() + "a(1).xml"), "1");
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
  EXPECT_TRUE(fs::exists(Out() + "own.xml"));
  EXPECT_THAT(trace.Matching("Logon user"), SizeIs(0));
  // An account that cannot be logged on stops the request before anything is written.
  Result r = Run("<Credentials><User>u1@d1</User><Password>p</Password></Credentials>",
                 {{"FileName", "other"}});
  EXPECT_THAT(r, HasCategory(util::Error));
  EXPECT_THAT(r.ErrorText(), HasSubstr("Failed to login user u1@d1 ("));
  EXPECT_THAT(trace.Matching("Logon user u1@d1"), SizeIs(1));
  EXPECT_FALSE(fs::exists(Out() + "other.xml"));
}

TEST_F(CreateFileTest, DeleteOnCloseRemovesTheFileAndTheFoldersMadeForIt) {
  ASSERT_THAT(Run("", {{"Path", "n1/n2/"},
                       {"FileName", "t"},
                       {"CreateFolders", "true"},
                       {"DeleteOnClose", "true"}}),
              IsOk());
  EXPECT_FALSE(fs::exists(Out() + "n1"));
  // Also when writing fails after the file was made: binary format over element content.
  Result r = Run("",
                 {{"Path", "n3/"},
                  {"FileName", "t"},
                  {"CreateFolders", "true"},
                  {"DeleteOnClose", "true"},
                  {"Format", "bin"}},
                 "<x><y/></x>");
  EXPECT_TRUE(r.IsError());
  EXPECT_THAT(r.ErrorText(), Not(HasSubstr("File Open")));  // the file had been made
  EXPECT_FALSE(fs::exists(Out() + "n3"));
  EXPECT_TRUE(fs::is_empty(Out()));
  // Without CreateFolders a missing folder is an error and nothing is made.
  EXPECT_THAT(Run("", {{"Path", "n4/"}, {"FileName", "t"}}), HasCategory(util::ErrObjNotExist));
}

TEST_F(CreateFileTest, MissingOptOrDataIsAnError) {
  auto config = ConfigFromXml("<Out><Directory>" + Out() + "</Directory></Out>");
  auto noOpt = MakeRequest("CreateFile", {{"FileName", "x"}}, "", "", false);
  EXPECT_TRUE(Call([&] { return ExecuteCreateFile(*config, nullptr, *noOpt); }).IsError());
  EXPECT_TRUE(fs::is_empty(Out()));
}

}  // namespace
}  // namespace velmora::xelc
