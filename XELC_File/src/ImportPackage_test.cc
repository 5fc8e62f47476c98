// Tests of ImportPackage: list splitting, base-directory containment, folders, added files.
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
  EXPECT_TRUE(p.HasStructuredType("order.Xml"));
  EXPECT_FALSE(p.HasStructuredType("orderxml"));

  p.SetImportMode(ImportPackage::ImportPlainFiles | ImportPackage::ImportQvXml);
  EXPECT_TRUE(p.IsImportModePlainFiles());
  EXPECT_FALSE(p.IsImportModeCustomXml());
  EXPECT_TRUE(p.IsImportModeQvXml());
}

TEST(ImportPackageContainment, EverythingIsInsideWithoutABaseDirectory) {
  ImportPackage p;
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\anything"));
  EXPECT_TRUE(p.SetWatchedFolder("D:\\x"));
  p.SetInputBaseDirectory("");  // configured but empty: no restriction either
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\anything\\..\\y"));
}

TEST(ImportPackageContainment, WindowsBaseFolder) {
  for (const char* base : {"C:\\in", "C:\\in\\", "\\\\?\\C:\\in\\\\"}) {
    SCOPED_TRACE(base);
    ImportPackage p;
    p.SetInputBaseDirectory(base);
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\in"));
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\in\\"));
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\in\\a"));
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:/in/a"));
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("\\\\?\\C:\\in\\a"));
    EXPECT_TRUE(p.IsInsideInputBaseDirectory("C:\\in\\a\\..\\b"));  // collapses inside
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("C:\\input"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("C:\\in\\..\\x"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("C:\\in\\.\\..\\x"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("C:\\in\\a\\..\\..\\x"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("D:\\in"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory("C:\\"));
    EXPECT_FALSE(p.IsInsideInputBaseDirectory(""));
  }
}

TEST(ImportPackageContainment, SeveralBaseFoldersOneALine) {
  ImportPackage p;
  p.SetInputBaseDirectory("/data/in\r\n/data/other/\r\n\r\n\\\\?\\UNC\\srv\\share\\in\n");
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("/data/in/a"));
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("/data/other"));
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("/data/other/x/y.pdf"));
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("\\\\srv\\share\\in\\a"));
  EXPECT_TRUE(p.IsInsideInputBaseDirectory("\\\\?\\UNC\\srv\\share\\in\\a"));
  EXPECT_FALSE(p.IsInsideInputBaseDirectory("/data/inbox"));
  EXPECT_FALSE(p.IsInsideInputBaseDirectory("/data/other/../secret"));
  EXPECT_FALSE(p.IsInsideInputBaseDirectory("\\\\srv\\share\\in\\..\\..\\x"));
  EXPECT_FALSE(p.IsInsideInputBaseDirectory("/data"));
  // An over-long line is skipped, the others still count.
  ImportPackage q;
  q.SetInputBaseDirectory("/" + std::string(1100, 'a') + "\r\n/data/in");
  EXPECT_TRUE(q.IsInsideInputBaseDirectory("/data/in/x"));
  EXPECT_FALSE(q.IsInsideInputBaseDirectory("/" + std::string(1100, 'a') + "/x"));
}

TEST(ImportPackageContainment, CaseFollowsTheFileSystem) {
  // On a case-sensitive file system /data/IN is another folder than /data/in and must
  // not be admitted by base /data/in; where names ignore case it is the same folder.
  const bool ignoreCase = osal::FileNamesIgnoreCase();
  ImportPackage p;
  p.SetInputBaseDirectory("/data/in");
  EXPECT_EQ(p.IsInsideInputBaseDirectory("/data/IN"), ignoreCase);
  EXPECT_EQ(p.IsInsideInputBaseDirectory("/data/IN/a/b.txt"), ignoreCase);
  EXPECT_EQ(p.SetWatchedFolder("/data/IN"), ignoreCase);
  ASSERT_TRUE(p.SetWatchedFolder("/data/in/w"));
  EXPECT_EQ(p.IsWatchedFolder("/data/in/W"), ignoreCase);
  EXPECT_EQ(p.GetFirstLevelFolder("/data/in/W/a/b"), ignoreCase ? "/data/in/W/a/" : "");
  // Names matched against masks and extensions ignore case everywhere.
  p.SetStructuredTypes(".xml");
  EXPECT_TRUE(p.HasStructuredType("A.XML"));
  EXPECT_TRUE(p.HasLockedExtension("a.20261204045539.Qk7_x+03600.LOCKED"));
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
}

TEST(ImportPackageFolders, FirstLevelFolderBelowTheWatchedFolder) {
  ImportPackage p;
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in\\a"), "");  // no watched folder
  ASSERT_TRUE(p.SetWatchedFolder("C:\\in"));
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in\\a\\b"), "C:\\in\\a\\");
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in\\a\\b\\c.pdf"), "C:\\in\\a\\");
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in\\a"), "C:\\in\\a");
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\in"), "C:\\in");
  EXPECT_EQ(p.GetFirstLevelFolder("D:\\in\\a"), "");
  EXPECT_EQ(p.GetFirstLevelFolder("C:\\input\\a"), "");  // a neighbour, not a subfolder
}

TEST(ImportPackageFiles, LinkedFilesAreResolvedAgainstTheDescriptorFolder) {
  ImportPackage p;
  p.SetInputBaseDirectory("C:\\in");
  EXPECT_TRUE(p.AddXmlLinkedFile("C:\\in\\x\\d.xml", "sub\\b.pdf"));
  EXPECT_TRUE(p.AddXmlLinkedFile("C:\\in\\x\\d.xml", "b.pdf"));
  EXPECT_TRUE(p.AddXmlLinkedFile("C:\\in\\x\\d.xml", "C:\\in\\y\\c.pdf"));
  ASSERT_EQ(p.GetXmlLinkedFiles().size(), 3u);
  EXPECT_EQ(p.GetXmlLinkedFiles()[0].GetFileName(FileInfo::FullPath, false, false),
            "C:\\in\\x" + S + "sub" + S + "b.pdf");
  EXPECT_EQ(p.GetXmlLinkedFiles()[1].GetFileName(FileInfo::FullPath, false, false),
            "C:\\in\\x" + S + "b.pdf");
  EXPECT_EQ(p.GetXmlLinkedFiles()[2].GetFileName(FileInfo::FullPath, false, false),
            "C:\\in\\y" + S + "c.pdf");
  EXPECT_TRUE(p.GetXmlLinkedFiles()[0].IsValid());

  EXPECT_FALSE(p.AddXmlLinkedFile("C:\\in\\x\\d.xml", "..\\..\\etc\\passwd"));
  EXPECT_FALSE(p.AddXmlLinkedFile("C:\\in\\x\\d.xml", "D:\\b.pdf"));
  EXPECT_EQ(p.GetXmlLinkedFiles().size(), 3u);
  // Only the first content error counts.
  EXPECT_EQ(p.GetCommResult().ErrorCategory(), util::CommInternal);
  EXPECT_STREQ(p.GetCommResult().ErrorCode(), "50000");
  EXPECT_EQ(p.GetCommResult().Diagnostics(),
            "File ..\\..\\etc\\passwd is not in configured input base directory");
}

TEST(ImportPackageFiles, TriggeredFilesOutsideTheBaseAreRefused) {
  ImportPackage p;
  p.SetInputBaseDirectory("C:\\in");
  FileInfo inside;
  inside.SetFullPath("C:\\in\\order.pdf");
  FileInfo outside;
  outside.SetFullPath("C:\\out\\order.pdf");
  EXPECT_TRUE(p.AddTriggeredFile(inside));
  EXPECT_FALSE(p.AddTriggeredFile(outside));
  EXPECT_EQ(p.GetTriggeredFiles().size(), 1u);
  EXPECT_EQ(p.GetCommResult().Diagnostics(),
            "File C:\\out" + S + "order.pdf is not in configured input base directory");
}

TEST(ImportPackageFiles, AttachedFilesMustBeReadableAndUnique) {
  testing::TempDir dir;
  const std::string a = dir.Join("a.pdf");
  const std::string upper = dir.Join("A.pdf");
  std::ofstream(a) << "x";
  std::ofstream(upper) << "y";

  ImportPackage p;
  FileInfo fa;
  fa.SetFullPath(a);
  EXPECT_TRUE(p.AddAttachedFile(fa));
  EXPECT_FALSE(p.AddAttachedFile(fa));  // already there; not a content error
  EXPECT_STREQ(p.GetCommResult().ErrorCode(), "");
  FileInfo fUpper;
  fUpper.SetFullPath(upper);
  EXPECT_TRUE(p.AddAttachedFile(fUpper));  // the comparison is exact
  EXPECT_EQ(p.GetAttachedFiles().size(), 2u);

  // A locked file is opened under its lock name.
  FileInfo locked = fa;
  locked.SetFullPath(dir.Join("b.pdf"));
  locked.SetLockTimeStamp("20261204045539");
  locked.SetLockRandomString("Qk7_x");
  locked.SetLockState(FileInfo::Locked);
  std::ofstream(dir.Join("b.pdf.20261204045539.Qk7_x+03600.locked")) << "z";
  EXPECT_TRUE(p.AddAttachedFile(locked));

  FileInfo missing;
  missing.SetFullPath(dir.Join("missing.pdf"));
  EXPECT_FALSE(p.AddAttachedFile(missing));
  EXPECT_EQ(p.GetAttachedFiles().size(), 3u);
  EXPECT_EQ(p.GetCommResult().ErrorCategory(), util::CommInternal);
  EXPECT_EQ(p.GetCommResult().Diagnostics(),
            "File " + missing.GetFileName(FileInfo::FullPath, false, false) +
                " could not be opened for reading");
}

TEST(ImportPackageState, ConnectionLevelRisesWithTheFlagsAndNeverDrops) {
  ImportPackage p;
  EXPECT_EQ(p.GetCommResult().ErrorCategory(), util::CommOk);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 0);
  p.SetFoundFileValid(true);
  EXPECT_TRUE(p.IsFoundFileValid());
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 50);
  p.SetFoundFileLockState(FileInfo::Locked);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 70);
  p.SetClaimed(true);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 80);
  p.SetClaimed(false);
  p.SetFoundFileLockState(FileInfo::NotLocked);
  p.SetFoundFileValid(false);
  EXPECT_FALSE(p.IsClaimed());
  EXPECT_FALSE(p.IsFoundFileValid());
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 80);

  // A content error keeps the level reached.
  p.SetContentError("first");
  p.SetContentError("second");
  EXPECT_EQ(p.GetCommResult().Diagnostics(), "first");
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 80);
}

TEST(ImportPackageState, LocksOfTheFoundFileAndCopies) {
  ImportPackage p;
  p.SetTriggerChangeToExtension("done");
  p.SetFoundFileFullPath("C:\\in\\order.trg");
  p.SetFoundFileNewLock();
  EXPECT_EQ(p.GetFoundFileLockState(), FileInfo::Locked);
  EXPECT_EQ(p.GetCommResult().ConnectionLevel(), 70);
  const std::string random = p.GetFoundFile().GetLockRandomString();
  p.SetFoundFilePermanentLock();
  EXPECT_EQ(p.GetFoundFileLockState(), FileInfo::LockedPermanent);
  EXPECT_EQ(p.GetFoundFile().GetLockedFileName(FileInfo::NameOnly, false, false),
            "order.trg.99999999999999." + random + "+99999.locked");

  // Taking over an entry keeps the poll's processed-trigger extension.
  FileInfo entry;
  entry.SetFullPath("C:\\in\\next.trg");
  p.TakeOverFoundFile(entry);
  EXPECT_EQ(p.GetTriggerChangeToExtension(), ".done");
  EXPECT_EQ(p.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false), "next.trg");

  // Copies are independent values, lists included.
  p.AddTriggeredFile(entry);
  ImportPackage copy(p);
  copy.SetErrorOccurred(true);
  copy.AddTriggeredFile(entry);
  EXPECT_FALSE(p.HasErrorOccurred());
  EXPECT_EQ(p.GetTriggeredFiles().size(), 1u);
  EXPECT_EQ(copy.GetTriggeredFiles().size(), 2u);
}

TEST(ImportPackageRecord, WritesFolderTriggerFlagAndPlainFilePaths) {
  testing::TempDir dir;
  std::ofstream(dir.Join("a.pdf")) << "a";
  std::ofstream(dir.Join("b.pdf")) << "b";
  ImportPackage p;
  ASSERT_TRUE(p.SetWatchedFolder(dir.path() + "/"));
  p.SetTriggerMode(1);
  p.SetFoundFileFullPath(dir.Join("order.trg"));
  p.SetFoundFileNewLock();  // lock names never appear in the record
  FileInfo a;
  a.SetFullPath(dir.Join("a.pdf"));
  FileInfo b;
  b.SetFullPath(dir.Join("b.pdf"));
  ASSERT_TRUE(p.AddAttachedFile(a));
  ASSERT_TRUE(p.AddAttachedFile(b));

  xel::XmlParser doc;
  ASSERT_TRUE(doc.OpenElement(0, "import").IsSuccess());
  ASSERT_TRUE(p.WriteImportRecord(&doc).IsSuccess());
  ASSERT_TRUE(doc.CloseAll().IsSuccess());

  std::string text;
  ASSERT_TRUE(doc.ReadStringAtPath("/import/Folder", &text).IsSuccess());
  EXPECT_EQ(text, dir.path());
  int32_t used = -1;
  ASSERT_TRUE(doc.ReadIntAtPath("/import/TriggerFileUsed", &used).IsSuccess());
  EXPECT_EQ(used, 1);
  ASSERT_TRUE(doc.ReadStringAtPath("/import/FileList/FilePath[1]", &text).IsSuccess());
  EXPECT_EQ(text, dir.path() + S + "order.trg");
  ASSERT_TRUE(doc.ReadStringAtPath("/import/FileList/FilePath[3]", &text).IsSuccess());
  EXPECT_EQ(text, dir.path() + S + "b.pdf");
  EXPECT_FALSE(doc.ExistsPath("/import/FileList/FilePath[4]"));

  // Without a trigger mode only the attached files are listed.
  p.SetTriggerMode(0);
  xel::XmlParser plain;
  ASSERT_TRUE(plain.OpenElement(0, "import").IsSuccess());
  ASSERT_TRUE(p.WriteImportRecord(&plain).IsSuccess());
  ASSERT_TRUE(plain.CloseAll().IsSuccess());
  ASSERT_TRUE(plain.ReadIntAtPath("/import/TriggerFileUsed", &used).IsSuccess());
  EXPECT_EQ(used, 0);
  ASSERT_TRUE(plain.ReadStringAtPath("/import/FileList/FilePath[1]", &text).IsSuccess());
  EXPECT_EQ(text, dir.path() + S + "a.pdf");
  EXPECT_FALSE(plain.ExistsPath("/import/FileList/FilePath[3]"));

  EXPECT_TRUE(p.WriteImportRecord(nullptr).IsError());
}

}  // namespace
}  // namespace velmora::xelc
