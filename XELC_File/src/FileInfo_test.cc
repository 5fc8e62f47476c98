// Tests of FileInfo: the lock-name format and its parse, expiry, path forms and helpers.
#include "FileInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileFunctionsTestSupport.h"
#include "osal/File.h"

namespace velmora::xelc {
namespace {

using Trace = testing::TraceRecorder;
const std::vector<uint32_t> kAll = {util::General_Error, util::General_60, util::General_80};
constexpr uint64_t kTicks = 10000000ull;
const std::string S(1, osal::PathSeparator());  // between a folder and a name

// The lock time 2026-12-04 04:55:39 UTC as a file time: (Unix seconds + 11644473600) ticks.
constexpr uint64_t kLockTime = (1796360139ull + 11644473600ull) * kTicks;

FileInfo LockedReport() {
  FileInfo f;
  f.SetFullPath("C:\\in\\report.pdf");
  f.SetLockTimeStamp("20261204045539");
  f.SetLockRandomString("Qk7_x");
  f.SetLockTimeOut("03600");
  return f;
}

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
    Trace trace(kAll);
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
  FileInfo f = LockedReport();
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
  Trace trace(kAll);
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
