// Tests of FileInfo, ImportPackage, PackageResolver and XmlProcessor: lock names, paths, packages.
#include "PackageResolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileFunctionsTestSupport.h"
#include "FileInfo.h"
#include "ImportPackage.h"
#include "TempDir.h"
#include "XmlProcessor.h"
#include "osal/File.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
const std::string S(1, osal::PathSeparator());  // between a folder and a name

constexpr int kPlain = ImportPackage::ImportPlainFiles;
constexpr int kCustom = ImportPackage::ImportCustomXml;
constexpr int kQv = ImportPackage::ImportQvXml;

// folder, the platform's separator, name: as the connector builds its paths.
std::string In(const std::string& folder, const std::string& name) { return folder + S + name; }

// Writes a file ageSeconds old (companions come oldest first).
void Write(const std::string& path, const std::string& content, int ageSeconds = 100) {
  const std::string native = osal::NativePath(path);
  fs::create_directories(fs::path(native).parent_path());
  std::ofstream(native, std::ios::binary) << content;
  fs::last_write_time(native, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

// A package over folder (also the base directory) whose found file is claimed as the locker does.
ImportPackage Claimed(const std::string& folder, const std::string& name, int triggerMode,
                      int importMode) {
  ImportPackage p;
  p.SetInputBaseDirectory(folder);
  EXPECT_TRUE(p.SetWatchedFolder(folder));
  p.SetStructuredTypes(".xml");
  p.SetTriggerMode(triggerMode);
  p.SetImportMode(importMode);
  p.GetFoundFile().SetPath(folder);
  p.GetFoundFile().SetFileName(name);  // whole, even with a "\" of its own
  p.SetFoundFileValid(true);
  p.SetFoundFileNewLock();
  fs::rename(In(folder, name),
             p.GetFoundFile().GetLockedFileName(FileInfo::FullPath, false, false));
  return p;
}

Strings Paths(const std::vector<FileInfo>& files) {
  Strings out;
  for (const FileInfo& f : files) out.push_back(f.GetFileName(FileInfo::FullPath, false, false));
  return out;
}

std::string ContentError(const ImportPackage& p) { return p.GetCommResult().Diagnostics(); }

// Has: a line of category begins with text, or equals it when text ends with a line break.
struct TraceCapture : testing::TraceRecorder {
  TraceCapture() : TraceRecorder({util::General_Error, util::General_60, util::General_80}) {}
  bool Has(const std::string& category, const std::string& text) {
    const bool bWhole = !text.empty() && text.back() == '\n';
    for (const std::string& l : Lines(category)) {
      if (bWhole ? l + "\n" == text : l.rfind(text, 0) == 0) return true;
    }
    return false;
  }
};

TEST(PackageResolverTrigger, SameBaseNameSkipsLockedAndProcessedCompanions) {
  velmora::testing::TempDir dir;
  const std::string d = dir.path();
  Write(In(d, "a.b.txt"), "trigger");
  Write(In(d, "a.b.xml"), "<x/>", 50);
  Write(In(d, "a.b.pdf"), "pdf", 80);  // older: found first
  Write(In(d, "a.txt"), "other base name");
  Write(In(d, "a.b.done"), "trigger processed earlier");
  Write(In(d, "a.b.tif.20261204045539.Qk7_x+03600.locked"), "another poll's claim");
  ImportPackage p = Claimed(d, "a.b.txt", 1, kPlain);
  p.SetTriggerChangeToExtension("done");
  ImportPackage q = p;
  TraceCapture trace;
  PackageResolver().Resolve(&p);
  const Strings companions{In(d, "a.b.pdf"), In(d, "a.b.xml")};
  EXPECT_EQ(Paths(p.GetTriggeredFiles()), companions);
  // Trigger without QV XML: every companion, the trigger file itself never.
  EXPECT_EQ(Paths(p.GetAttachedFiles()), companions);
  EXPECT_EQ(p.GetXmlState(), 0);
  EXPECT_EQ(ContentError(p), "");
  const std::string r = "File_PackageResolver";
  EXPECT_TRUE(trace.Has(r, "Searching triggered files in " + d + "\n"));
  EXPECT_TRUE(trace.Has(r, "Ignoring renamed (processed) trigger file " + In(d, "a.b.done")));
  EXPECT_TRUE(trace.Has(r, "Ignoring locked file " + In(d, "a.b.txt.")));
  EXPECT_TRUE(trace.Has(r, "Trigger used but not XML, attaching all triggered files"));
  // Without a change-to extension a processed trigger name is an ordinary companion.
  q.SetTriggerChangeToExtension("");
  FileInfo done;
  done.SetFullPath(In(d, "a.b.done"));
  FileInfo trigger = q.GetFoundFile();
  trigger.SetLockState(FileInfo::NotLocked);
  PackageResolver().CheckTriggeredFile(&q, done);
  PackageResolver().CheckTriggeredFile(&q, trigger);
  EXPECT_EQ(Paths(q.GetTriggeredFiles()), (Strings{In(d, "a.b.done")}));
  EXPECT_TRUE(trace.Has(r, "Ignoring trigger file itself " + In(d, "a.b.txt") + "\n"));
}

TEST(PackageResolverXml, QvDescriptorLinksFilesInDocumentOrder) {
  velmora::testing::TempDir dir;
  const std::string d = dir.path();
  Write(In(d, "d.xml"),
        "<?xml version=\"1.0\"?>\n<ImportSession>\n"
        "  <Page ImportFileName=\"first.pdf\"/>\n"
        "  <Batch><Doc><page ImportFileName=\"sub\\deep.tif\"/></Doc></Batch>\n"
        "  <Page ImportFileName=\"\"/><Page/>\n"
        "  <PAGE ImportFileName=\"last.pdf\"><Note>text</Note></PAGE>\n"
        "  <Page ImportFileName=\"first.pdf\"/>\n</ImportSession>\n");
  for (const char* name : {"first.pdf", "sub\\deep.tif", "last.pdf"}) Write(In(d, name), "x");
  ImportPackage p = Claimed(d, "d.xml", 0, kPlain | kQv);
  TraceCapture trace;
  PackageResolver().Resolve(&p);  // the descriptor is read under its lock name
  EXPECT_EQ(p.GetXmlState(), 2);
  EXPECT_EQ(p.GetRootXmlPartNumber(), 1);
  const std::string first = In(d, "first.pdf"), deep = In(In(d, "sub"), "deep.tif"),
                    last = In(d, "last.pdf");
  EXPECT_EQ(Paths(p.GetXmlLinkedFiles()), (Strings{first, deep, last, first}));
  // Descriptor first, then each linked file once.
  EXPECT_EQ(Paths(p.GetAttachedFiles()), (Strings{In(d, "d.xml"), first, deep, last}));
  EXPECT_EQ(ContentError(p), "");
  EXPECT_TRUE(trace.Has("File_XmlProcessor", "Found linked file sub\\deep.tif"));
  EXPECT_TRUE(trace.Has("File_XmlProcessor", "QV XML detected and processed."));
  EXPECT_TRUE(trace.Has("File_PackageResolver",
                        "XML used without trigger, attaching all XML linked files"));
}

// A descriptor named with "\" (a plain character on POSIX) is read whole; its links lie beside it.
TEST(PackageResolverXml, DescriptorNamedWithABackslashIsReadWhole) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  velmora::testing::TempDir dir;
  const std::string d = dir.path();
  std::ofstream(d + "/in\\dex.xml") << "<ImportSession><Page ImportFileName=\"p.pdf\"/>"
                                       "</ImportSession>";
  Write(In(d, "p.pdf"), "x");
  Write(In(d, "in/p.pdf"), "the folder a split name would lead to");
  ImportPackage p = Claimed(d, "in\\dex.xml", 0, kQv);
  PackageResolver().Resolve(&p);
  EXPECT_EQ(ContentError(p), "");
  EXPECT_EQ(Paths(p.GetAttachedFiles()), (Strings{d + "/in\\dex.xml", d + "/p.pdf"}));
}

TEST(PackageResolverXml, TriggerWithDescriptorCombinesTheLists) {
  velmora::testing::TempDir dir;
  const std::string d = dir.path();
  Write(In(d, "job.trg"), "trigger");
  Write(In(d, "job.pdf"), "older companion", 300);
  Write(In(d, "job.xml"),
        "<ImportSession><Page ImportFileName=\"job.tif\"/>"
        "<Page ImportFileName=\"scan.pdf\"/></ImportSession>",
        10);  // newest, yet first: structured types are preferred
  Write(In(d, "job.tif"), "companion and linked", 200);
  Write(In(d, "scan.pdf"), "linked only");
  ImportPackage p = Claimed(d, "job.trg", 1, kQv);
  PackageResolver().Resolve(&p);
  EXPECT_EQ(Paths(p.GetTriggeredFiles()),
            (Strings{In(d, "job.xml"), In(d, "job.pdf"), In(d, "job.tif")}));
  EXPECT_EQ(Paths(p.GetAttachedFiles()),
            (Strings{In(d, "job.xml"), In(d, "job.tif"), In(d, "scan.pdf"), In(d, "job.pdf")}));
  EXPECT_EQ(ContentError(p), "");
  // Custom XML alone: the descriptor is not examined; the triggered files keep their order.
  Write(In(d, "other.trg"), "trigger");
  Write(In(d, "other.xml"), "not xml at all", 10);
  Write(In(d, "other.pdf"), "x", 300);
  ImportPackage c = Claimed(d, "other.trg", 1, kCustom);
  PackageResolver().Resolve(&c);
  EXPECT_EQ(Paths(c.GetAttachedFiles()), (Strings{In(d, "other.xml"), In(d, "other.pdf")}));
  EXPECT_EQ(c.GetRootXmlPartNumber(), 1);
  EXPECT_EQ(c.GetXmlState(), 0);
  EXPECT_EQ(ContentError(c), "");
}

TEST(PackageResolverXml, ImportModesDecideWhetherTheFoundFileIsExamined) {
  velmora::testing::TempDir dir;
  const std::string d = dir.path();
  Write(In(d, "lonely.trg"), "trigger");
  Write(In(d, "scan.pdf"), "%PDF-1.4");
  const ImportPackage trigger = Claimed(d, "lonely.trg", 3, kPlain);  // no subfolder
  const ImportPackage pdf = Claimed(d, "scan.pdf", 0, kPlain);
  const std::string parserError = "XML parser error for file ";
  const std::string pdfError =
      parserError + pdf.GetFoundFile().GetLockedFileName(FileInfo::FullPath, false, false);
  const struct {
    const ImportPackage* pFound;
    int mode;
    Strings attached;
    std::string error;
    int part;  // the root XML part
  } cases[] = {
      // A trigger without companions: the empty candidate is examined unless plain files may.
      {&trigger, kPlain | kQv, {}, "", 0},
      {&trigger, kQv, {}, parserError, 0},
      {&trigger, kCustom, {}, "", 1},
      // Only the found file, examined (under its lock name) unless plain files may.
      {&pdf, kPlain | kQv, {In(d, "scan.pdf")}, "", 0},
      {&pdf, kPlain, {In(d, "scan.pdf")}, "", 0},
      {&pdf, kQv, {In(d, "scan.pdf")}, pdfError, 0},
  };
  TraceCapture trace;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error + " " + std::to_string(c.mode));
    ImportPackage p = *c.pFound;
    p.SetImportMode(c.mode);
    PackageResolver().Resolve(&p);
    EXPECT_EQ(Paths(p.GetAttachedFiles()), c.attached);
    EXPECT_EQ(ContentError(p), c.error);
    EXPECT_EQ(p.GetRootXmlPartNumber(), c.part);
    EXPECT_EQ(p.GetXmlState(), 0);
  }
  EXPECT_TRUE(trace.Has("File_PackageResolver", "No triggered files found, error="));
}

// Every kind of document the XML processor meets: "state/part error", "@" standing for the path.
TEST(XmlProcessorTest, OutcomeForEachKindOfDocument) {
  velmora::testing::TempDir dir;
  const std::string kInvoice =
      "<?xml version=\"1.0\"?><!-- x --><Invoice><Page ImportFileName=\"a\"/></Invoice>";
  const std::string kParser = "0/0 XML parser error for file @";
  const struct {
    const char* name;
    std::string content;  // not written when "-"
    int mode;
    std::string expected;
  } kCases[] = {
      {"invoice.xml", kInvoice, kQv | kCustom, "1/1 "},
      {"invoice.xml", kInvoice, kQv, "1/0 Custom XML disabled and no QV XML detected in file @"},
      // Custom XML without QV XML: taken as it is, not even opened.
      {"does-not-exist.bin", "-", kCustom, "0/1 "},
      {"missing.xml", "-", kQv, kParser},
      {"pdf.xml", "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n", kQv | kCustom, kParser},
      {"mismatch.xml", "<ImportSession><Page ImportFileName=\"a.pdf\"></ImportSession>",
       kQv | kCustom, kParser},
      {"unclosed.xml", "<ImportSession><Page ImportFileName=\"a.pdf\"/>", kQv | kCustom, kParser},
      {"tworoots.xml", "<ImportSession/><ImportSession/>", kQv | kCustom, kParser},
      {"empty.xml", "", kQv | kCustom, kParser},
      {"comment.xml", "<?xml version=\"1.0\"?><!-- nothing else -->", kQv | kCustom, kParser},
      {"big.xml", "<ImportSession>" + std::string(20000, 'f') + "</Session>", kQv | kCustom,
       kParser},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = In(dir.path(), c.name);
    if (c.content != "-") Write(path, c.content);
    ImportPackage p;
    p.SetImportMode(c.mode);
    XmlProcessor().Process(path, &p);
    EXPECT_TRUE(p.GetXmlLinkedFiles().empty());
    std::string expected = c.expected;
    if (expected.back() == '@') expected.replace(expected.size() - 1, 1, path);
    EXPECT_EQ(std::to_string(p.GetXmlState()) + "/" + std::to_string(p.GetRootXmlPartNumber()) +
                  " " + ContentError(p),
              expected);
  }
}

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

TEST(ImportPackageFolders, WatchedSearchAndFirstLevelFolders) {
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
  EXPECT_EQ(ImportPackage().GetFirstLevelFolder("C:\\in\\a"), "");  // no watched folder
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

TEST(ImportPackageState, LevelsAndLocksOfTheFoundFile) {
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
}

constexpr uint64_t kTicks = 10000000ull;

// The lock time 2026-12-04 04:55:39 UTC as a file time: (Unix seconds + 11644473600) ticks.
constexpr uint64_t kLockTime = (1796360139ull + 11644473600ull) * kTicks;

// The suffix is found by its position from the end; a name that fails leaves the lock fields.
TEST(FileInfoLockName, ParsesByPositionFromTheEndAndRejectsMalformedNames) {
  struct Case {
    const char* name;
    int32_t result;
    const char* trace;
  } cases[] = {
      {"a.b+c.20261204045539.Qk7_x+03600.locked", 1, "ParseLockedFileName set M_FileName to a.b+c"},
      {"x.99999999999999.-_-_-+99999.locked", 2, "File is locked permanent"},
      {"x.99999999999999.-_-_-+03600.locked", 1, "ParseLockedFileName set M_FileName to x"},
      {".20260101000000.abcde+00001.locked", 1, "ParseLockedFileName set M_FileName to "},
      {"report.pdf", 0, "Locked extension not found"},
      {"report.pdf.20261204045539.Qk7_x+03600.lock", 0, "Locked extension not found"},
      {"report.pdf_20261204045539.Qk7_x+03600.locked", 0, "Timestamp separator _ not correct"},
      {"report.pdf.2026120404553a.Qk7_x+03600.locked", 0, "Timestamp 2026120404553a not numeric"},
      {"report.pdf.20261204045539-Qk7_x+03600.locked", 0, "Random string separator - not correct"},
      {"report.pdf.20261204045539.Qk7=x+03600.locked", 0,
       "Random string Qk7=x is not base64url encoded"},
      {"report.pdf.20261204045539.Qk7_x=03600.locked", 0, "Timeout separator = not correct"},
      {"report.pdf.20261204045539.Qk7_x+-3600.locked", 0, "Timeout -3600 not numeric"},
      // Shorter than the suffix: cannot be split.
      {".LOCKED", 0, "Timestamp separator  not correct"},
      {"20261204045539.Qk7_x+03600.locked", 0, "Timestamp separator  not correct"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceCapture trace;
    FileInfo f;
    f.SetLockTimeStamp("11111111111111");
    f.SetLockRandomString("AAAAA");
    f.SetLockTimeOut("00042");
    EXPECT_EQ(f.ParseLockedFileName(std::string("C:\\in\\") + c.name), c.result);
    EXPECT_EQ(trace.Count(c.trace), 1);
    // Parsing does not change the state: the caller stores the result.
    EXPECT_EQ(f.GetLockState(), FileInfo::NotLocked);
    EXPECT_EQ(f.GetLockedFileName(FileInfo::NameOnly, false, false),
              c.result != 0 ? c.name
                            : f.GetFileName(FileInfo::NameOnly, false, false) +
                                  ".11111111111111.AAAAA+00042.locked");
  }
  // A name listed in a folder is never split at a "\" of its own.
  FileInfo listed;
  listed.SetPath("/data/in");
  EXPECT_EQ(listed.ParseLockedName("a\\b.pdf.20261204045539.Qk7_x+03600.locked"), 1);
  EXPECT_EQ(listed.GetFileName(FileInfo::FullPath, false, false), "/data/in" + S + "a\\b.pdf");
}

TEST(FileInfoLockName, FormatsTheSuffixAndExpiresExactlyAtLockTimePlusTimeOut) {
  FileInfo f;
  f.SetFullPath("C:\\in\\report.pdf");
  f.SetLockTimeStamp("20261204045539");
  f.SetLockRandomString("Qk7_x");
  f.SetLockTimeOut("03600");
  EXPECT_EQ(f.GetLockedFileName(FileInfo::FullPath, false, true),
            "\\\\?\\C:\\in" + S + "report.pdf.20261204045539.Qk7_x+03600.locked");
  EXPECT_EQ(f.GetLockedFileName(FileInfo::FolderOnly, true, false), "C:\\in" + S);
  const uint64_t s = kLockTime;
  util::TimeUTC t;
  ASSERT_TRUE(f.GetLockTimeStampAsTimeUTC(&t));
  EXPECT_EQ(t.GetValue(), s);
  EXPECT_FALSE(f.GetLockTimeStampAsTimeUTC(nullptr));
  EXPECT_TRUE(f.CheckTimedOutAt(s));
  EXPECT_TRUE(f.CheckTimedOutAt(s + 3599 * kTicks + kTicks - 1));  // still second S+3599
  EXPECT_FALSE(f.CheckTimedOutAt(s + 3600 * kTicks));
  // Fourteen nines with an ordinary time-out lie near the year 10000: still running.
  f.SetLockTimeStamp("99999999999999");
  EXPECT_TRUE(f.CheckTimedOut());
  TraceCapture trace;
  f.SetLockTimeOut("x");
  EXPECT_FALSE(f.CheckTimedOutAt(s));
  EXPECT_EQ(trace.Count("CheckTimedOut could not scan timeout from string x"), 1);
  f.SetLockTimeOut("03600");
  for (const char* stamp : {"2026120404553", "2026120404553x"}) {
    f.SetLockTimeStamp(stamp);
    EXPECT_FALSE(f.CheckTimedOutAt(s)) << stamp;
  }
}

TEST(FileInfoPath, FoldersAreNormalisedLongFormsAddedAndRemoved) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\in\\sub\\..\\x\\\\", "C:\\in\\x"},
      {"C:/in/", "C:/in"},
      {"\\\\?\\C:\\in\\", "C:\\in"},
      {"\\\\?\\UNC\\srv\\share\\in\\", "\\\\srv\\share\\in"},
      {"\\\\//", ""},
      {"", ""},
      {"in\\sub", "in\\sub"},
      // Parent references that cannot be resolved safely stay, so that containment rejects.
      {"C:\\..\\x", "C:\\..\\x"},
      {"C:\\in\\.\\..\\x", "C:\\in\\.\\..\\x"},
      {"\\\\srv\\share\\..\\x", "\\\\srv\\share\\..\\x"},
      {"..\\x", "..\\x"},
      {"C:\\in\\...\\x", "C:\\in\\...\\x"}};
  for (const auto& [in, stored] : cases) {
    FileInfo f;
    f.SetPath(in);
    EXPECT_EQ(f.GetPath(FileInfo::FolderOnly, false, false), stored) << in;
  }
  FileInfo unc;
  unc.SetPath("\\\\?\\UNC\\srv\\share\\in\\");
  EXPECT_EQ(unc.GetPath(FileInfo::FolderOnly, true, true), "\\\\?\\UNC\\srv\\share\\in" + S);
  EXPECT_EQ(unc.GetPath(FileInfo::NameOnly, true, true), "");
  unc.SetFullPath("C:a.pdf");
  EXPECT_EQ(unc.GetFileName(FileInfo::NameOnly, false, false), "a.pdf");
  const std::pair<const char*, const char*> longForms[] = {
      {"", ""},
      {"C:\\in", "\\\\?\\C:\\in"},
      {"\\in", "\\\\?\\\\in"},
      {"\\\\srv\\share\\x", "\\\\?\\UNC\\srv\\share\\x"},
      {"in\\x", "in\\x"},
      {"/tmp/x", "/tmp/x"}};
  for (const auto& [plain, prefixed] : longForms) {
    EXPECT_EQ(AddLongPathPrefix(plain), prefixed);
    EXPECT_EQ(AddLongPathPrefix(prefixed), prefixed);  // never a second prefix
    EXPECT_EQ(RemoveLongPathPrefix(prefixed), plain);
  }
  for (const char* p : {"\\\\srv\\share\\x", "\\\\srv\\share", "\\\\srv/share/x"}) {
    EXPECT_EQ(GetUncRootLength(p), 11u) << p;
  }
  for (const char* p : {"\\\\srv", "\\srv\\share", "C:\\in"}) EXPECT_EQ(GetUncRootLength(p), 0u);
  for (const char* p : {"C:\\in", "C:/in", "\\in", "/tmp", "\\\\srv\\share"}) {
    EXPECT_TRUE(IsAbsolutePath(p)) << p;
  }
  for (const char* p : {"C:in", "sub\\b.pdf", ""}) EXPECT_FALSE(IsAbsolutePath(p)) << p;
}

TEST(FileInfoPath, TriggerNamesAndSearchMasks) {
  FileInfo f;
  f.SetFullPath("C:\\in.d\\order.trg");
  f.SetTriggerChangeToExtension("done");
  EXPECT_EQ(f.GetTriggerChangeToExtension(), ".done");
  EXPECT_EQ(f.GetRenamedTriggerFileName(FileInfo::FullPath, false, false),
            "C:\\in.d" + S + "order.done");
  EXPECT_TRUE(f.HasRenamedTriggerExtension("x.DONE"));
  EXPECT_FALSE(f.HasRenamedTriggerExtension("x.done.pdf"));
  EXPECT_FALSE(FileInfo().HasRenamedTriggerExtension("x.done"));  // no extension configured
  f.SetTriggerRenamed(true);
  EXPECT_EQ(f.GetCurrentFileName(FileInfo::NameOnly, false, false), "order.done");
  EXPECT_EQ(FileInfo::MakeLockSearchMask("*"), "*.??????????????.?????+?????.locked");
  FileInfo noDot;
  noDot.SetFullPath("C:\\in.d\\order");
  noDot.SetTriggerChangeToExtension(".done");
  EXPECT_EQ(noDot.GetRenamedTriggerFileName(FileInfo::FullPath, false, false),
            "C:\\in.d" + S + "order.done");
  EXPECT_EQ(noDot.GetTriggerSearchMask(1, FileInfo::NameOnly, false, false), "order*");
  const struct {
    int32_t kind;
    FileInfo::PathPart part;
    bool bLong;  // with separator and long path prefix
    std::string mask;
  } masks[] = {{1, FileInfo::NameOnly, false, "order.*"},
               {1, FileInfo::FolderOnly, true, "\\\\?\\C:\\in.d" + S},
               {2, FileInfo::FolderOnly, false, "C:\\in.d"},
               {3, FileInfo::FolderOnly, false, "C:\\in.d" + S + "order"},
               {3, FileInfo::FolderOnly, true, "\\\\?\\C:\\in.d" + S + "order" + S},
               {3, FileInfo::FullPath, false, "C:\\in.d" + S + "order" + S + "*"},
               {4, FileInfo::NameOnly, false, ""}};
  for (const auto& m : masks) {
    EXPECT_EQ(f.GetTriggerSearchMask(m.kind, m.part, m.bLong, m.bLong), m.mask) << m.kind;
  }
}

}  // namespace
}  // namespace velmora::xelc
