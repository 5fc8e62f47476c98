// Tests of FileInfo: the lock-name format and its parse, expiry, path forms and helpers.
#include "FileInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FileFunctionsTestSupport.h"
#include "osal/File.h"
#include "osal/System.h"
#include "util/Text.h"

namespace velmora::xelc {
namespace {

using util::TimeUTC;
using Trace = testing::TraceRecorder;
const std::vector<uint32_t> kAll = {util::General_Error, util::General_60, util::General_80};

constexpr uint64_t kTicks = 10000000ull;

const std::string S(1, osal::PathSeparator());  // between a folder and a name

// File time of a UTC calendar time, computed independently of TimeUTC.
uint64_t FileTimeOf(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  using namespace std::chrono;
  auto days = sys_days{year{y} / month{m} / day{d}};
  int64_t unix = duration_cast<seconds>(days.time_since_epoch()).count() + hh * 3600 + mm * 60 + ss;
  return static_cast<uint64_t>(unix + 11644473600ll) * kTicks;
}

FileInfo LockedReport() {
  FileInfo f;
  f.SetFullPath("C:\\in\\report.pdf");
  f.SetLockTimeStamp("20261204045539");
  f.SetLockRandomString("Qk7_x");
  f.SetLockTimeOut("03600");
  return f;
}

TEST(FileInfoLockName, FormatsTheSuffixBehindThePlainName) {
  FileInfo f = LockedReport();
  EXPECT_EQ(f.GetLockedFileName(FileInfo::NameOnly, false, false),
            "report.pdf.20261204045539.Qk7_x+03600.locked");
  EXPECT_EQ(f.GetLockedFileName(FileInfo::FullPath, false, true),
            "\\\\?\\C:\\in" + S + "report.pdf.20261204045539.Qk7_x+03600.locked");
  EXPECT_EQ(f.GetLockedFileName(FileInfo::FolderOnly, true, false), "C:\\in" + S);
  f.MakePermanentLock();
  EXPECT_EQ(f.GetLockState(), FileInfo::LockedPermanent);
  EXPECT_EQ(f.GetLockedFileName(FileInfo::NameOnly, false, false),
            "report.pdf.99999999999999.Qk7_x+99999.locked");
  // The name on disk follows the state.
  EXPECT_EQ(f.GetCurrentFileName(FileInfo::NameOnly, false, false),
            "report.pdf.99999999999999.Qk7_x+99999.locked");
  f.SetLockState(FileInfo::NotLocked);
  EXPECT_EQ(f.GetCurrentFileName(FileInfo::FullPath, false, false), "C:\\in" + S + "report.pdf");
  f.SetTriggerChangeToExtension("done");
  f.SetTriggerRenamed(true);
  EXPECT_EQ(f.GetCurrentFileName(FileInfo::NameOnly, false, false), "report.done");
}

TEST(FileInfoLockName, ParsesValidNamesByPositionFromTheEnd) {
  Trace trace(kAll);
  struct Case {
    const char* plain;
    const char* stamp;
    const char* random;
    const char* timeout;
    const char* extension;
    int32_t result;
    std::string name() const {
      return std::string(plain) + "." + stamp + "." + random + "+" + timeout + extension;
    }
  } cases[] = {{"report.pdf", "20261204045539", "Qk7_x", "03600", ".locked", 1},
               {"a.b+c", "20261204045539", "Qk7_x", "03600", ".locked", 1},
               {"REPORT.PDF", "20261204045539", "Qk7_x", "03600", ".LOCKED", 1},
               {"report.pdf", "99999999999999", "Qk7_x", "99999", ".locked", 2},
               {"report.pdf", "99999999999999", "Qk7_x", "03600", ".locked", 1},
               {"x", "20260101000000", "-_-_-", "00001", ".locked", 1},
               {"", "20260101000000", "abcde", "00001", ".locked", 1}};  // the suffix alone
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name());
    FileInfo f;
    EXPECT_EQ(f.ParseLockedFileName("/tmp/x/in/" + c.name()), c.result);
    EXPECT_EQ(f.GetFileName(FileInfo::NameOnly, false, false), c.plain);
    EXPECT_EQ(f.GetPath(FileInfo::FolderOnly, false, false), "/tmp/x/in");
    EXPECT_EQ(f.GetLockTimeStamp(), c.stamp);
    EXPECT_EQ(f.GetLockRandomString(), c.random);
    EXPECT_EQ(f.GetLockTimeOut(), c.timeout);
    EXPECT_TRUE(f.IsValid());
    // Parsing does not change the state: the caller stores the result.
    EXPECT_EQ(f.GetLockState(), FileInfo::NotLocked);
  }
  EXPECT_EQ(trace.Count("File is locked permanent"), 1);
  EXPECT_EQ(trace.Count("ParseLockedFileName set M_FileName to a.b+c"), 1);
}

TEST(FileInfoLockName, RejectsMalformedNamesAndKeepsTheLockFields) {
  struct Case {
    const char* name;
    const char* trace;
  } cases[] = {
      {"report.pdf", "Locked extension not found"},
      {"report.pdf.20261204045539.Qk7_x+03600.lock", "Locked extension not found"},
      {"report.pdf_20261204045539.Qk7_x+03600.locked", "Timestamp separator _ not correct"},
      {"report.pdf.2026120404553a.Qk7_x+03600.locked", "Timestamp 2026120404553a not numeric"},
      {"report.pdf.20261204045539-Qk7_x+03600.locked", "Random string separator - not correct"},
      {"report.pdf.20261204045539.Qk7=x+03600.locked",
       "Random string Qk7=x is not base64url encoded"},
      {"report.pdf.20261204045539.Qk+_x+03600.locked",
       "Random string Qk+_x is not base64url encoded"},
      {"report.pdf.20261204045539.Qk7_x-03600.locked", "Timeout separator - not correct"},
      {"report.pdf.20261204045539.Qk7_x+0360a.locked", "Timeout 0360a not numeric"},
      {"report.pdf.20261204045539.Qk7_x+-3600.locked", "Timeout -3600 not numeric"},
      // Shorter than the suffix: cannot be split.
      {"a.locked", "Timestamp separator  not correct"},
      {".LOCKED", "Timestamp separator  not correct"},
      {"20261204045539.Qk7_x+03600.locked", "Timestamp separator  not correct"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trace trace(kAll);
    FileInfo f;
    f.SetLockTimeStamp("11111111111111");
    f.SetLockRandomString("AAAAA");
    f.SetLockTimeOut("00042");
    EXPECT_EQ(f.ParseLockedFileName(std::string("C:\\in\\") + c.name), 0);
    EXPECT_EQ(trace.Count(c.trace), 1);
    EXPECT_EQ(f.GetLockTimeStamp(), "11111111111111");
    EXPECT_EQ(f.GetLockRandomString(), "AAAAA");
    EXPECT_EQ(f.GetLockTimeOut(), "00042");
  }
  // Once the extension test passed, the split into folder and full name has happened.
  FileInfo f;
  EXPECT_EQ(f.ParseLockedFileName("C:\\in\\report.pdf.20261204045539.Qk7=x+03600.locked"), 0);
  EXPECT_EQ(f.GetPath(FileInfo::FolderOnly, false, false), "C:\\in");
  EXPECT_EQ(f.GetFileName(FileInfo::NameOnly, false, false),
            "report.pdf.20261204045539.Qk7=x+03600.locked");
}

TEST(FileInfoLockName, GeneratedLocksRoundTripThroughTheParse) {
  FileInfo f;
  f.SetFullPath("/tmp/x/in/a.pdf");
  const uint64_t before = osal::SystemTimeAsFileTime() / kTicks;
  f.MakeNewLock();
  const uint64_t after = osal::SystemTimeAsFileTime() / kTicks;
  EXPECT_EQ(f.GetLockState(), FileInfo::Locked);
  EXPECT_EQ(f.GetLockTimeOut(), "03600");
  ASSERT_EQ(f.GetLockTimeStamp().size(), 14u);
  ASSERT_EQ(f.GetLockRandomString().size(), 5u);
  EXPECT_EQ(f.GetLockRandomString().find_first_not_of(FileInfo::kBase64UrlAlphabet),
            std::string::npos);

  TimeUTC stamp;
  ASSERT_TRUE(f.GetLockTimeStampAsTimeUTC(&stamp));
  EXPECT_GE(stamp.GetValue() / kTicks, before);
  EXPECT_LE(stamp.GetValue() / kTicks, after);
  EXPECT_TRUE(f.CheckTimedOut());  // a fresh claim is running

  FileInfo parsed;
  EXPECT_EQ(parsed.ParseLockedFileName(f.GetLockedFileName(FileInfo::FullPath, false, true)), 1);
  EXPECT_EQ(parsed.GetFileName(FileInfo::FullPath, false, false), "/tmp/x/in" + S + "a.pdf");
  EXPECT_EQ(parsed.GetLockTimeStamp(), f.GetLockTimeStamp());
  EXPECT_EQ(parsed.GetLockRandomString(), f.GetLockRandomString());

  // The lock search mask built from the file's mask matches its lock name.
  EXPECT_TRUE(util::MatchWildcard(FileInfo::MakeLockSearchMask("*.pdf"),
                                  f.GetLockedFileName(FileInfo::NameOnly, false, false)));
  EXPECT_FALSE(util::MatchWildcard(FileInfo::MakeLockSearchMask("*.pdf"), "a.pdf.locked"));
  EXPECT_EQ(FileInfo::MakeLockSearchMask("*"), "*.??????????????.?????+?????.locked");

  // Random strings of claims made in the same second differ.
  std::vector<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    f.GenerateLockRandomString();
    for (const std::string& s : seen) EXPECT_NE(s, f.GetLockRandomString());
    seen.push_back(f.GetLockRandomString());
  }
}

TEST(FileInfoLockName, TimeStampConvertsToItsUtcTime) {
  FileInfo f = LockedReport();
  TimeUTC t;
  ASSERT_TRUE(f.GetLockTimeStampAsTimeUTC(&t));
  EXPECT_EQ(t.GetValue(), FileTimeOf(2026, 12, 4, 4, 55, 39));
  EXPECT_FALSE(f.GetLockTimeStampAsTimeUTC(nullptr));
  for (const char* bad : {"", "2026120404553", "202612040455390", "2026120404553x"}) {
    f.SetLockTimeStamp(bad);
    EXPECT_FALSE(f.GetLockTimeStampAsTimeUTC(&t)) << bad;
  }
}

TEST(FileInfoExpiry, ExpiresExactlyAtLockTimePlusTimeOut) {
  FileInfo f = LockedReport();
  const uint64_t s = FileTimeOf(2026, 12, 4, 4, 55, 39);
  EXPECT_TRUE(f.CheckTimedOutAt(s));
  EXPECT_TRUE(f.CheckTimedOutAt(s + 3599 * kTicks));
  EXPECT_TRUE(f.CheckTimedOutAt(s + 3599 * kTicks + kTicks - 1));  // still second S+3599
  EXPECT_FALSE(f.CheckTimedOutAt(s + 3600 * kTicks));
  EXPECT_FALSE(f.CheckTimedOutAt(s + 100000 * kTicks));

  // Fourteen nines with an ordinary time-out lie near the year 10000: still running.
  f.SetLockTimeStamp("99999999999999");
  EXPECT_TRUE(f.CheckTimedOut());

  Trace trace(kAll);
  f = LockedReport();
  f.SetLockTimeOut("x");
  EXPECT_FALSE(f.CheckTimedOutAt(s));
  EXPECT_EQ(trace.Count("CheckTimedOut could not scan timeout from string x"), 1);
  f = LockedReport();
  f.SetLockTimeStamp("bad");
  EXPECT_FALSE(f.CheckTimedOutAt(s));
}

TEST(FileInfoPath, SetPathNormalisesWindowsAndPosixFolders) {
  struct Case {
    const char* in;
    const char* stored;
  } cases[] = {
      {"C:\\in\\sub\\..\\x\\\\", "C:\\in\\x"},
      {"C:\\in\\", "C:\\in"},
      {"C:/in/", "C:/in"},
      {"\\\\?\\C:\\in\\", "C:\\in"},
      {"\\\\?\\UNC\\srv\\share\\in\\", "\\\\srv\\share\\in"},
      {"C:\\in\\a\\b\\..\\..\\x", "C:\\in\\x"},
      {"/tmp/x/in/", "/tmp/x/in"},
      {"/tmp/x/in/sub/../y", "/tmp/x/in/y"},
      {"\\\\//", ""},
      {"", ""},
      {"in\\sub", "in\\sub"},
      // Parent references that cannot be resolved safely stay, so that containment rejects.
      {"C:\\..\\x", "C:\\..\\x"},
      {"C:\\in\\.\\..\\x", "C:\\in\\.\\..\\x"},
      {"\\\\srv\\share\\..\\x", "\\\\srv\\share\\..\\x"},
      {"..\\x", "..\\x"},
      {"C:\\in\\...\\x", "C:\\in\\...\\x"}};
  for (const Case& c : cases) {
    FileInfo f;
    f.SetPath(c.in);
    EXPECT_EQ(f.GetPath(FileInfo::FolderOnly, false, false), c.stored) << c.in;
    EXPECT_TRUE(f.IsValid());
  }
}

TEST(FileInfoPath, AccessorsAddSeparatorAndLongPathPrefix) {
  FileInfo unc;
  unc.SetPath("\\\\?\\UNC\\srv\\share\\in\\");
  EXPECT_EQ(unc.GetPath(FileInfo::FolderOnly, true, true), "\\\\?\\UNC\\srv\\share\\in" + S);
  EXPECT_EQ(unc.GetPath(FileInfo::NameOnly, true, true), "");

  FileInfo f;
  f.SetFullPath("C:\\in\\order.trg");
  EXPECT_EQ(f.GetFileName(FileInfo::FullPath, false, true), "\\\\?\\C:\\in" + S + "order.trg");
  EXPECT_EQ(f.GetFileName(FileInfo::FolderOnly, false, false), "C:\\in");
  EXPECT_EQ(f.GetFileName(FileInfo::NameOnly, false, false), "order.trg");

  FileInfo posix;
  posix.SetFullPath("/tmp/x/in/a.pdf");
  EXPECT_EQ(posix.GetPath(FileInfo::FolderOnly, false, false), "/tmp/x/in");
  EXPECT_EQ(posix.GetFileName(FileInfo::FullPath, false, true), "/tmp/x/in" + S + "a.pdf");

  FileInfo bare;
  bare.SetFullPath("a.pdf");
  EXPECT_EQ(bare.GetPath(FileInfo::FolderOnly, false, false), "");
  EXPECT_EQ(bare.GetFileName(FileInfo::NameOnly, false, false), "a.pdf");
  bare.SetFullPath("C:a.pdf");
  EXPECT_EQ(bare.GetFileName(FileInfo::NameOnly, false, false), "a.pdf");
}

TEST(FileInfoPath, TriggerNamesAndSearchMasks) {
  FileInfo f;
  f.SetFullPath("C:\\in.d\\order.trg");
  f.SetTriggerChangeToExtension("done");
  EXPECT_EQ(f.GetTriggerChangeToExtension(), ".done");
  EXPECT_EQ(f.GetRenamedTriggerFileName(FileInfo::NameOnly, false, false), "order.done");
  EXPECT_EQ(f.GetRenamedTriggerFileName(FileInfo::FullPath, false, false),
            "C:\\in.d" + S + "order.done");
  EXPECT_TRUE(f.HasRenamedTriggerExtension("x.DONE"));
  EXPECT_FALSE(f.HasRenamedTriggerExtension("x.done.pdf"));

  FileInfo noDot;
  noDot.SetFullPath("C:\\in.d\\order");
  noDot.SetTriggerChangeToExtension(".done");
  EXPECT_EQ(noDot.GetRenamedTriggerFileName(FileInfo::FullPath, false, false),
            "C:\\in.d" + S + "order.done");
  EXPECT_EQ(noDot.GetTriggerSearchMask(1, FileInfo::NameOnly, false, false), "order*");
  FileInfo none;
  EXPECT_FALSE(none.HasRenamedTriggerExtension("x.done"));  // no extension configured

  const struct {
    int32_t kind;
    FileInfo::PathPart part;
    bool bLong;  // with separator and long path prefix
    std::string mask;
  } masks[] = {{1, FileInfo::NameOnly, false, "order.*"},
               {1, FileInfo::FolderOnly, true, "\\\\?\\C:\\in.d" + S},
               {2, FileInfo::NameOnly, false, "*"},
               {2, FileInfo::FolderOnly, false, "C:\\in.d"},
               {3, FileInfo::NameOnly, false, "*"},
               {3, FileInfo::FolderOnly, false, "C:\\in.d" + S + "order"},
               {3, FileInfo::FolderOnly, true, "\\\\?\\C:\\in.d" + S + "order" + S},
               {3, FileInfo::FullPath, false, "C:\\in.d" + S + "order" + S + "*"},
               {4, FileInfo::NameOnly, false, ""}};
  for (const auto& m : masks) {
    EXPECT_EQ(f.GetTriggerSearchMask(m.kind, m.part, m.bLong, m.bLong), m.mask) << m.kind;
  }
}

// A name read from the disk stays whole in every accessor, and its long form names exactly
// that file: the folder's separators are made native, the name's characters are kept.
TEST(FileInfoPath, ListedNamesAreNeverSplitAgain) {
  FileInfo parsed;
  parsed.SetPath("/data/in");
  EXPECT_EQ(parsed.ParseLockedName("a\\b.pdf.20261204045539.Qk7_x+03600.locked"), 1);
  EXPECT_EQ(parsed.GetFileName(FileInfo::NameOnly, false, false), "a\\b.pdf");
  EXPECT_EQ(parsed.GetPath(FileInfo::FolderOnly, false, false), "/data/in");

  if (osal::PathSeparator() == '\\') {
    EXPECT_TRUE(FileInfo::NameFitsConnectorPath("a\\b"));
    GTEST_SKIP() << "no name on this platform holds \"\\\"";
  }
  EXPECT_FALSE(FileInfo::NameFitsConnectorPath("a\\b"));
  EXPECT_TRUE(FileInfo::NameFitsConnectorPath("a b.txt"));
  struct Case {
    const char* folder;  // as a request gives it: "\" separates
    const char* name;    // as the disk lists it
    const char* shown;   // GetFileName(FullPath, short)
    const char* native;  // the file the long form names
  } cases[] = {
      {"/data/in", "a\\b.txt", "/data/in/a\\b.txt", "/data/in/a\\b.txt"},
      {"/data/in\\sub", "x\\y\\z.pdf", "/data/in\\sub/x\\y\\z.pdf", "/data/in/sub/x\\y\\z.pdf"},
      {"\\\\srv\\share\\in", "c\\d", "\\\\srv\\share\\in/c\\d", "//srv/share/in/c\\d"},
      {"/data/in", "plain.txt", "/data/in/plain.txt", "/data/in/plain.txt"},
  };
  for (const Case& c : cases) {
    FileInfo f;
    f.SetPath(c.folder);
    f.SetFileName(c.name);
    EXPECT_EQ(f.GetFileName(FileInfo::FullPath, false, false), c.shown) << c.name;
    EXPECT_EQ(osal::NativePath(f.GetFileName(FileInfo::FullPath, false, true)), c.native);
    f.SetLockTimeStamp("20261204045539");
    f.SetLockRandomString("Qk7_x");
    f.SetLockState(FileInfo::Locked);
    EXPECT_EQ(osal::NativePath(f.GetCurrentFileName(FileInfo::FullPath, false, true)),
              std::string(c.native) + ".20261204045539.Qk7_x+03600.locked");
  }
}

TEST(FileInfoPathHelpers, LongPathPrefixUncRootAndAbsoluteness) {
  const std::pair<const char*, const char*> longForms[] = {
      {"", ""},
      {"C:\\in", "\\\\?\\C:\\in"},
      {"\\in", "\\\\?\\\\in"},
      {"\\\\srv\\share\\x", "\\\\?\\UNC\\srv\\share\\x"},
      {"\\\\?\\C:\\in", "\\\\?\\C:\\in"},  // already long
      {"in\\x", "in\\x"},
      {"/tmp/x", "/tmp/x"}};
  for (const auto& [plain, prefixed] : longForms) EXPECT_EQ(AddLongPathPrefix(plain), prefixed);
  EXPECT_EQ(RemoveLongPathPrefix("\\\\?\\UNC\\srv\\share"), "\\\\srv\\share");
  EXPECT_EQ(RemoveLongPathPrefix("\\\\?\\C:\\in"), "C:\\in");
  EXPECT_EQ(RemoveLongPathPrefix("C:\\in"), "C:\\in");
  for (const char* p : {"\\\\srv\\share\\x", "\\\\srv\\share", "\\\\srv/share/x"}) {
    EXPECT_EQ(GetUncRootLength(p), 11u) << p;
  }
  for (const char* p : {"\\\\srv", "\\srv\\share", "C:\\in"})
    EXPECT_EQ(GetUncRootLength(p), 0u) << p;
  for (const char* p : {"C:\\in", "C:/in", "\\in", "/tmp", "\\\\srv\\share"}) {
    EXPECT_TRUE(IsAbsolutePath(p)) << p;
  }
  for (const char* p : {"C:in", "sub\\b.pdf", ""}) EXPECT_FALSE(IsAbsolutePath(p)) << p;
}

}  // namespace
}  // namespace velmora::xelc
