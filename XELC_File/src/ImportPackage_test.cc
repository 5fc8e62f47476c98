// Tests of ImportPackage: list splitting, base-directory containment, folders, state, record.
#include "ImportPackage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "TempDir.h"
#include "osal/File.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {
namespace {

using Strings = std::vector<std::string>;

// The separator the package puts between a folder and a name: the platform's own.
const std::string S(1, osal::PathSeparator());

TEST(ImportPackageSettings, SplitsListsAtCommasAndBlanks) {
  ImportPackage p;
  p.SetFileSearchMask("*.pdf,*.tif *.xml");
  EXPECT_EQ(p.GetFileSearchMasks(), (Strings{"*.pdf", "*.tif", "*.xml"}));
  p.SetFileSearchMask(" ,*.pdf, ,, *.tif ,");
  EXPECT_EQ(p.GetFileSearchMasks(), (Strings{"*.pdf", "*.tif"}));
  // An item of 256 bytes or more is dropped; one of 255 is kept. The list is replaced.
  p.SetFileSearchMask(std::string(300, 'a') + "," + std::string(256, 'b') + "," +
                      std::string(255, 'c'));
  EXPECT_EQ(p.GetFileSearchMasks(), (Strings{std::string(255, 'c')}));
  p.SetFileSearchMask("");
  EXPECT_TRUE(p.GetFileSearchMasks().empty());
  EXPECT_EQ(p.GetLockSearchMasks(), (Strings{"*.??????????????.?????+?????.locked"}));

  p.SetStructuredTypes("xml, .xml");
  EXPECT_EQ(p.GetStructuredTypes(), (Strings{".xml"}));
  p.SetStructuredTypes(".xml,xml .XML");
  EXPECT_EQ(p.GetStructuredTypes(), (Strings{".xml", ".XML"}));
  // Names matched against extensions ignore case everywhere.
  EXPECT_TRUE(p.HasStructuredType("order.Xml"));
  EXPECT_FALSE(p.HasStructuredType("orderxml"));
  EXPECT_TRUE(p.HasLockedExtension("a.20261204045539.Qk7_x+03600.LOCKED"));

  p.SetImportMode(ImportPackage::ImportPlainFiles | ImportPackage::ImportQvXml);
  EXPECT_TRUE(p.IsImportModePlainFiles());
  EXPECT_FALSE(p.IsImportModeCustomXml());
  EXPECT_TRUE(p.IsImportModeQvXml());
}

TEST(ImportPackageContainment, PathsInsideTheBaseFolders) {
  const Strings kInsideC = {"C:\\in",  "C:\\in\\",         "C:\\in\\a",
                            "C:/in/a", "\\\\?\\C:\\in\\a", "C:\\in\\a\\..\\b"};
  const Strings kOutsideC = {
      "C:\\input", "C:\\in\\..\\x", "C:\\in\\.\\..\\x", "C:\\in\\a\\..\\..\\x", "D:\\in", "C:\\",
      ""};
  const std::string kLong = "/" + std::string(1100, 'a');
  const struct {
    std::string base;
    Strings inside;
    Strings outside;
  } kCases[] = {
      {"", {"C:\\anything\\..\\y"}, {}},  // configured but empty: no restriction
      {"C:\\in", kInsideC, kOutsideC},
      {"C:\\in\\", kInsideC, kOutsideC},
      {"\\\\?\\C:\\in\\\\", kInsideC, kOutsideC},
      // Several base folders, one a line; an over-long line is skipped, the others count.
      {"/data/in\r\n/data/other/\r\n\r\n\\\\?\\UNC\\srv\\share\\in\n",
       {"/data/in/a", "/data/other", "/data/other/x/y.pdf", "\\\\srv\\share\\in\\a",
        "\\\\?\\UNC\\srv\\share\\in\\a"},
       {"/data/inbox", "/data/other/../secret", "\\\\srv\\share\\in\\..\\..\\x", "/data"}},
      {kLong + "\r\n/data/in", {"/data/in/x"}, {kLong + "/x"}},
  };
  for (const auto& c : kCases) {
    ImportPackage p;
    p.SetInputBaseDirectory(c.base);
    for (const std::string& path : c.inside)
      EXPECT_TRUE(p.IsInsideInputBaseDirectory(path)) << path;
    for (const std::string& path : c.outside)
      EXPECT_FALSE(p.IsInsideInputBaseDirectory(path)) << path;
  }
  EXPECT_TRUE(ImportPackage().IsInsideInputBaseDirectory("C:\\anything"));
  // On a case-sensitive file system /data/IN is another folder than /data/in.
  ImportPackage p;
  p.SetInputBaseDirectory("/data/in");
  EXPECT_EQ(p.IsInsideInputBaseDirectory("/data/IN/a/b.txt"), osal::FileNamesIgnoreCase());
}

TEST(ImportPackageFolders, WatchedAndSearchFolderStayInsideTheBase) {
  ImportPackage p;
  p.SetInputBaseDirectory("C:\\in");
  EXPECT_FALSE(p.SetWatchedFolder("C:\\input"));
  EXPECT_FALSE(p.GetWatchedFolderInfo().IsValid());
  EXPECT_FALSE(p.GetSearchFolderInfo().IsValid());

  ASSERT_TRUE(p.SetWatchedFolder("C:\\in\\w\\"));
  EXPECT_EQ(p.GetWatchedFolder(false, false), "C:\\in\\w");
  EXPECT_EQ(p.GetWatchedFolder(true, true), "\\\\?\\C:\\in\\w" + S);
  EXPECT_EQ(p.GetSearchFolder(false, false), "C:\\in\\w");  // copied while not valid

  EXPECT_TRUE(p.SetSearchFolder("C:\\in\\w\\sub"));
  EXPECT_FALSE(p.SetSearchFolder("C:\\in\\w\\..\\..\\x"));
  EXPECT_EQ(p.GetSearchFolder(false, false), "C:\\in\\w\\sub");
  ASSERT_TRUE(p.SetWatchedFolder("C:\\in\\v"));
  EXPECT_EQ(p.GetSearchFolder(false, false), "C:\\in\\w\\sub");  // already valid: kept

  EXPECT_TRUE(p.IsWatchedFolder("C:\\in\\v\\"));
  EXPECT_TRUE(p.IsWatchedFolder("\\\\?\\C:\\in\\v"));
  EXPECT_FALSE(p.IsWatchedFolder("C:\\in\\v\\a"));
  // Folder names follow the file system's case rule.
  const bool bIgnoreCase = osal::FileNamesIgnoreCase();
  EXPECT_EQ(p.IsWatchedFolder("C:\\in\\V"), bIgnoreCase);
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in\\V\\a\\b"), bIgnoreCase ? "C:\\in\\V\\a\\" : "");
}

TEST(ImportPackageFolders, FirstLevelFolderBelowTheWatchedFolder) {
  EXPECT_EQ(ImportPackage().GetFirstLevelFolder("C:\\in\\a"), "");  // no watched folder
  ImportPackage p;
  ASSERT_TRUE(p.SetWatchedFolder("C:\\in"));
  for (const auto& [path, first] : std::vector<std::pair<std::string, std::string>>{
           {"C:\\in\\a\\b", "C:\\in\\a\\"},
           {"C:\\in\\a\\b\\c.pdf", "C:\\in\\a\\"},
           {"C:\\in\\a", "C:\\in\\a"},
           {"C:\\in", "C:\\in"},
           {"D:\\in\\a", ""},
           {"C:\\input\\a", ""}}) {  // a neighbour, not a subfolder
    EXPECT_EQ(p.GetFirstLevelFolder(path), first) << path;
  }
}

TEST(ImportPackageState, LevelsAndLocksOfTheFoundFileAndCopies) {
  ImportPackage p;
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 0);
  p.SetFoundFileValid(true);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 50);
  p.SetClaimed(true);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 80);
  // The level never drops, a content error included; only the first content error counts.
  p.SetClaimed(false);
  p.SetFoundFileValid(false);
  p.SetContentError("first");
  p.SetContentError("second");
  EXPECT_EQ(p.GetCommResult().Diagnostics(), "first");
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 80);

  ImportPackage q;
  q.SetTriggerChangeToExtension("done");
  q.SetFoundFileFullPath("C:\\in\\order.trg");
  q.SetFoundFileNewLock();
  EXPECT_EQ(q.GetFoundFileLockState(), FileInfo::Locked);
  EXPECT_EQ(q.GetCommResult().ConnectionLevel(), 70);
  const std::string random = q.GetFoundFile().GetLockRandomString();
  q.SetFoundFilePermanentLock();
  EXPECT_EQ(q.GetFoundFileLockState(), FileInfo::LockedPermanent);
  EXPECT_EQ(q.GetFoundFile().GetLockedFileName(FileInfo::NameOnly, false, false),
            "order.trg.99999999999999." + random + "+99999.locked");

  // Taking over an entry keeps the poll's processed-trigger extension.
  FileInfo entry;
  entry.SetFullPath("C:\\in\\next.trg");
  q.TakeOverFoundFile(entry);
  EXPECT_EQ(q.GetTriggerChangeToExtension(), ".done");
  EXPECT_EQ(q.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false), "next.trg");

  // Copies are independent values, lists included.
  q.AddTriggeredFile(entry);
  ImportPackage copy(q);
  copy.SetErrorOccurred(true);
  copy.AddTriggeredFile(entry);
  EXPECT_FALSE(q.HasErrorOccurred());
  EXPECT_EQ(q.GetTriggeredFiles().size(), 1u);
  EXPECT_EQ(copy.GetTriggeredFiles().size(), 2u);
}

TEST(ImportPackageRecord, WritesFolderTriggerFlagAndPlainFilePaths) {
  testing::TempDir dir;
  std::ofstream(dir.Join("a.pdf")) << "a";
  ImportPackage p;
  ASSERT_TRUE(p.SetWatchedFolder(dir.path() + "/"));
  p.SetTriggerMode(1);
  p.SetFoundFileFullPath(dir.Join("order.trg"));
  p.SetFoundFileNewLock();  // lock names never appear in the record
  FileInfo a;
  a.SetFullPath(dir.Join("a.pdf"));
  ASSERT_TRUE(p.AddAttachedFile(a));

  xel::XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "import").IsSuccess());
  ASSERT_TRUE(p.WriteImportRecord(&doc).IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());
  std::string folder, trigger, attached;
  int32_t used = -1;
  ASSERT_TRUE(doc.ReadStringAtPath("/import/Folder", &folder).IsSuccess());
  ASSERT_TRUE(doc.ReadIntAtPath("/import/TriggerFileUsed", &used).IsSuccess());
  ASSERT_TRUE(doc.ReadStringAtPath("/import/FileList/FilePath[1]", &trigger).IsSuccess());
  ASSERT_TRUE(doc.ReadStringAtPath("/import/FileList/FilePath[2]", &attached).IsSuccess());
  EXPECT_EQ(folder, dir.path());
  EXPECT_EQ(used, 1);
  EXPECT_EQ(trigger, dir.path() + S + "order.trg");
  EXPECT_EQ(attached, dir.path() + S + "a.pdf");
  EXPECT_FALSE(doc.ExistsPath("/import/FileList/FilePath[3]"));
  EXPECT_TRUE(p.WriteImportRecord(nullptr).IsError());
}

}  // namespace
}  // namespace velmora::xelc
