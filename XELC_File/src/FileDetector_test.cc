// Tests of FileDetector on real folders: both modes, ordering, ages, folder check, expiry.
#include "FileDetector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "ClaimTestSupport.h"
#include "FileLocker.h"
#include "ImportPackage.h"
#include "osal/File.h"
#include "util/TimeUTC.h"

namespace velmora::xelc {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using testing::ListNames;
using testing::ScratchFolder;
using testing::TraceCapture;
using testing::WriteFile;
using testing::fs::create_directory;

const char kNoFurther[] = "No (further) files found. Back to ImportDriver.";

ImportPackage PackageFor(const std::string& watched, const std::string& masks = "*") {
  ImportPackage package;
  EXPECT_TRUE(package.SetWatchedFolder(watched));
  package.SetFileSearchMask(masks);
  return package;
}

std::string FoundName(const ImportPackage& package) {
  return package.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false);
}

// A lock time stamp for now + offsetSeconds (YYYYMMDDhhmmss, UTC).
std::string Stamp(int offsetSeconds) {
  util::TimeUTC now;
  now.SetToNow();
  now.AddSeconds(offsetSeconds);
  char text[32];
  size_t length = 0;
  EXPECT_TRUE(now.WriteAsText(text, sizeof text, &length).IsSuccess());
  std::string stamp;
  for (size_t i = 0; i < length && stamp.size() < 14; ++i) {
    if (text[i] >= '0' && text[i] <= '9') stamp += text[i];
  }
  return stamp;
}

TEST(FileDetectorTest, UnclaimedModeSkipsLockedAndProcessedNames) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "a.pdf.20261204045539.Qk7_x+03600.locked", "x", 300));
  ASSERT_TRUE(WriteFile(dir / "order.done", "x", 200));
  ASSERT_TRUE(WriteFile(dir / "b.pdf", "x", 100));
  TraceCapture trace("File_FileDetector");
  ImportPackage package = PackageFor(dir.path());
  package.SetTriggerChangeToExtension("done");
  FileDetector detector;

  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "b.pdf");
  EXPECT_EQ(package.GetFoundFile().GetPath(FileInfo::FolderOnly, false, false), dir.path());
  EXPECT_TRUE(package.IsFoundFileValid());
  EXPECT_EQ(package.GetFoundFileLockState(), FileInfo::NotLocked);
  EXPECT_THAT(trace.Lines(),
              ElementsAre("Ignoring locked file a.pdf.20261204045539.Qk7_x+03600.locked",
                          "Found file a.pdf.20261204045539.Qk7_x+03600.locked did not match "
                          "criteria. Get next file.",
                          "Ignoring renamed (processed) trigger file order.done",
                          "Found file order.done did not match criteria. Get next file.",
                          "Found matching file b.pdf"));

  // The listing is exhausted: no new listing until Reset, one line per further call.
  EXPECT_FALSE(detector.FindNextCandidate(&package));
  EXPECT_FALSE(package.IsFoundFileValid());
  ASSERT_TRUE(WriteFile(dir / "c.pdf"));
  EXPECT_FALSE(detector.FindNextCandidate(&package));
  EXPECT_EQ(trace.Count(kNoFurther), 2);
  detector.Reset();
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "b.pdf");
  EXPECT_FALSE(detector.FindNextCandidate(nullptr));
}

// A candidate is only probed: nothing is renamed, and the detector starts afresh.
TEST(FileDetectorTest, CheckWatchedFolderCodes) {
  ScratchFolder dir;
  FileDetector detector;
  std::string text;
  EXPECT_EQ(detector.CheckWatchedFolder(nullptr, &text), FileDetector::kFolderMissingArgument);
  const std::string missing = dir / "missing", w = "Watched folder " + dir.path() + " found. ";
  const struct {
    std::string folder;
    const char* file;
    int32_t code;
    std::string text;
  } kCases[] = {
      {missing, "", FileDetector::kFolderNotListable,
       "Watched folder " + missing + " failed to list contents"},
      {dir.path(), "", FileDetector::kFolderNoFiles, w + "No files to import."},
      {dir.path(), "a.pdf", FileDetector::kFolderHasFiles, w + "Contains files to import."},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(!*c.file || WriteFile(dir / c.file));
    ImportPackage package = PackageFor(c.folder);
    EXPECT_EQ(detector.CheckWatchedFolder(&package, &text), c.code);
    EXPECT_EQ(text, c.text);
  }
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("a.pdf"));
  ImportPackage package = PackageFor(dir.path());
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "a.pdf");
}

// Expired claims are found by the second pass and taken over with a fresh lock; running,
// permanent and malformed lock names are left alone.
TEST(FileDetectorTest, ExpiredClaimsAreTakenOverWithFreshLocks) {
  ScratchFolder dir;
  const std::string expired = Stamp(-3600);  // expiry equal to now counts as expired
  const std::string running = Stamp(-3000);
  std::vector<std::string> untouched = {
      "run.pdf." + running + ".Run01+03600.locked",  "perm.pdf.99999999999999.Perm1+99999.locked",
      "nines.pdf.99999999999999.Nine1+03600.locked",  // treated as running
      "bad.pdf.20200101000000.Qk7=x+03600.locked",   "plain.pdf",
  };
  for (const std::string& name : untouched) ASSERT_TRUE(WriteFile(dir / name));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WriteFile(dir / ("old" + std::to_string(i) + ".pdf.20200101000000.Old0" +
                                 std::to_string(i) + "+03600.locked")));
  }
  ASSERT_TRUE(WriteFile(dir / ("edge.pdf." + expired + ".Edge1+03600.locked")));
  TraceCapture trace("File_FileDetector");

  ImportPackage package = PackageFor(dir.path(), "*.pdf");
  FileDetector detector;
  detector.SetMode(FileDetector::kExpiredClaims);
  FileLocker locker;
  std::vector<std::string> taken;
  while (detector.FindNextCandidate(&package)) {
    ASSERT_EQ(package.GetFoundFileLockState(), FileInfo::Locked);
    taken.push_back(FoundName(package));
    ASSERT_TRUE(locker.UpdateLock(&package, false));
  }
  std::sort(taken.begin(), taken.end());
  EXPECT_THAT(taken,
              ElementsAre("edge.pdf", "old0.pdf", "old1.pdf", "old2.pdf", "old3.pdf", "old4.pdf"));
  for (const std::string& why :
       {"not timed-out locked file " + untouched[0], "locked permanent file " + untouched[1],
        "not timed-out locked file " + untouched[2], "invalid locked file " + untouched[3]}) {
    EXPECT_THAT(trace.Lines(), Contains("Ignoring " + why));
  }

  // On disk: the untouched names as they were, each taken-over file under one fresh lock.
  const std::regex fresh(R"((\w+)\.pdf\.(\d{14})\.[0-9A-Za-z_-]{5}\+03600\.locked)");
  int fresh_count = 0;
  for (const std::string& name : ListNames(dir.path())) {
    if (std::find(untouched.begin(), untouched.end(), name) != untouched.end()) continue;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(name, match, fresh)) << name;
    EXPECT_GE(match[2].str(), Stamp(-5)) << name;
    ++fresh_count;
  }
  EXPECT_EQ(fresh_count, 6);

  // A second pass over the fresh locks finds nothing to take over.
  detector.Reset();
  EXPECT_FALSE(detector.FindNextCandidate(&package));
  EXPECT_FALSE(package.IsFoundFileValid());
}

// On POSIX a "\" is an ordinary character of a listed name: such files are found under
// their whole names in both modes, and claimed, renewed and released like any other.
TEST(FileDetectorTest, NamesWithBackslashesAreClaimedAndReleasedWhole) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  ScratchFolder dir;
  ASSERT_TRUE(create_directory(dir / "a"));  // where a split name would lead
  ASSERT_TRUE(WriteFile(dir / "a\\b.txt", "plain", 200));
  ASSERT_TRUE(WriteFile(dir / "c\\d.pdf.20200101000000.Old01+03600.locked", "claimed", 100));
  ImportPackage package = PackageFor(dir.path());
  FileDetector detector;
  FileLocker locker;
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "a\\b.txt");
  EXPECT_EQ(package.GetFoundFile().GetPath(FileInfo::FolderOnly, false, false), dir.path());
  ASSERT_TRUE(locker.Lock(&package));
  ASSERT_TRUE(locker.Release(&package));

  detector.Reset();
  detector.SetMode(FileDetector::kExpiredClaims);
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "c\\d.pdf");
  ASSERT_TRUE(locker.UpdateLock(&package, false));
  ASSERT_TRUE(locker.Release(&package));
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("a"));
  EXPECT_TRUE(ListNames(dir / "a").empty());
}

// Trigger mode 3 looks for companions in a subfolder named after the trigger file, which a
// name holding "\" cannot name on POSIX: that file is skipped, with a line that names it.
TEST(FileDetectorTest, TriggerFilesThatCannotNameTheirSubfolderAreSkipped) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "x\\y.trg", "", 200));
  ASSERT_TRUE(WriteFile(dir / "z.trg", "", 100));
  TraceCapture trace("File_FileDetector");
  ImportPackage package = PackageFor(dir.path(), "*.trg");
  package.SetTriggerMode(3);
  FileDetector detector;
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "z.trg");
  EXPECT_THAT(trace.Lines(), Contains("Ignoring file x\\y.trg: its name cannot name the "
                                      "subfolder of its triggered files on this platform"));
}

}  // namespace
}  // namespace velmora::xelc
