// Tests of the claims on real folders: FolderIterator, FileDetector, FileLocker and their races.
#include "FileLocker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "ClaimTestSupport.h"
#include "FileDetector.h"
#include "FolderIterator.h"
#include "ImportPackage.h"
#include "osal/File.h"
#include "osal/System.h"

namespace velmora::xelc {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::ListNames;
using testing::ScratchFolder;
using testing::TraceCapture;
using testing::WriteFile;
using Strings = std::vector<std::string>;
namespace fs = testing::fs;

const std::regex kRunningLock(R"(a\.pdf\.\d{14}\.[0-9A-Za-z_-]{5}\+03600\.locked)");

// A package watching folder for masks.
ImportPackage Watching(const std::string& watched, const std::string& masks = "*") {
  ImportPackage package;
  EXPECT_TRUE(package.SetWatchedFolder(watched));
  package.SetFileSearchMask(masks);
  return package;
}

// A package watching folder whose found file is folder/name, not yet locked.
ImportPackage PackageFor(const std::string& watched, const std::string& file) {
  ImportPackage package = Watching(watched);
  package.SetFoundFileFullPath(file);
  package.SetFoundFileValid(true);
  package.SetFoundFileLockState(FileInfo::NotLocked);
  return package;
}

std::string OnlyName(const std::string& folder) {
  std::vector<std::string> names = ListNames(folder);
  return names.size() == 1 ? names[0] : "<" + std::to_string(names.size()) + " entries>";
}

TEST(FileLockerTest, ClaimCompetingClaimRenewMakePermanentAndRefusals) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "a.pdf"));
  TraceCapture trace("File_FileLocker");
  ImportPackage package = PackageFor(dir.path(), dir / "a.pdf");
  FileLocker locker;
  ASSERT_TRUE(locker.Lock(&package));
  const std::string first = OnlyName(dir.path());
  EXPECT_TRUE(std::regex_match(first, kRunningLock)) << first;
  EXPECT_EQ(first, package.GetFoundFile().GetLockedFileName(FileInfo::NameOnly, false, false));
  EXPECT_EQ(package.GetFoundFileLockState(), FileInfo::Locked);
  EXPECT_EQ(trace.Count("Locked file as " + first), 1);
  EXPECT_FALSE(locker.Lock(&package));
  EXPECT_EQ(trace.Count("Cannot lock file " + first + " (already locked)"), 1);
  EXPECT_EQ(OnlyName(dir.path()), first);
  ImportPackage loser = PackageFor(dir.path(), dir / "a.pdf");
  EXPECT_FALSE(locker.Lock(&loser));
  EXPECT_EQ(loser.GetFoundFileLockState(), FileInfo::NotLocked);
  EXPECT_TRUE(loser.HasErrorOccurred());
  std::vector<std::string> lines = trace.Lines();
  EXPECT_THAT(lines[lines.size() - 2], HasSubstr("Could not lock file as a.pdf."));
  EXPECT_EQ(lines.back(), "Original file name a.pdf");
  EXPECT_EQ(OnlyName(dir.path()), first);
  package.SetErrorOccurred(true);
  EXPECT_FALSE(locker.Release(&package));
  EXPECT_THAT(trace.Lines().back(), HasSubstr("(import or lock error ocurred)"));
  package.SetErrorOccurred(false);
  // Renewal: a fresh lock name (new random string), the old one is gone.
  ASSERT_TRUE(locker.UpdateLock(&package, false));
  const std::string renewed = OnlyName(dir.path());
  EXPECT_TRUE(std::regex_match(renewed, kRunningLock)) << renewed;
  EXPECT_NE(renewed, first);
  // Permanent: nines and 99999, the random string kept; final from then on.
  const std::string permanent =
      "a.pdf.99999999999999." + package.GetFoundFile().GetLockRandomString() + "+99999.locked";
  ASSERT_TRUE(locker.UpdateLock(&package, true));
  EXPECT_EQ(package.GetFoundFileLockState(), FileInfo::LockedPermanent);
  EXPECT_FALSE(locker.UpdateLock(&package, false));
  EXPECT_EQ(trace.Count("Cannot update lock on file " + permanent + " (file not locked)"), 1);
  EXPECT_FALSE(locker.Release(&package));
  EXPECT_THAT(trace.Lines(), ::testing::Contains(HasSubstr("(not locked or locked permanently)")));
  EXPECT_EQ(OnlyName(dir.path()), permanent);
  EXPECT_FALSE(locker.Lock(nullptr));
  EXPECT_FALSE(locker.UpdateLock(nullptr, true));
  EXPECT_FALSE(locker.Release(nullptr));
}

// Subfolders emptied by the release go; the watched folder stays, even empty.
TEST(FileLockerTest, ReleaseDeletesAndRemovesOnlyEmptiedFirstLevelFolders) {
  const struct {
    const char* file;
    const char* keep;  // another file, or ""
    Strings left;      // in the watched folder
  } kCases[] = {{"sub/a.pdf", "", {}}, {"sub/a.pdf", "sub/keep.txt", {"sub"}}, {"c.pdf", "", {}}};
  FileLocker locker;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file + std::string(c.keep));
    ScratchFolder dir;
    if (std::string(c.file).starts_with("sub/")) fs::create_directories(dir / "sub/deeper/deepest");
    ASSERT_TRUE(WriteFile(dir / c.file) && (!*c.keep || WriteFile(dir / c.keep)));
    fs::permissions(dir / c.file, fs::perms::owner_read | fs::perms::group_read);
    ImportPackage package = PackageFor(dir.path(), dir / c.file);
    ASSERT_TRUE(package.SetSearchFolder(fs::path(dir / c.file).parent_path().string()));
    ASSERT_TRUE(locker.Lock(&package));
    ASSERT_TRUE(locker.Release(&package));
    EXPECT_EQ(package.GetFoundFileLockState(), FileInfo::NotLocked);
    EXPECT_EQ(ListNames(dir.path()), c.left);
  }
  ScratchFolder dir;
  // Outside the input base directory nothing is deleted.
  ASSERT_TRUE(WriteFile(dir / "d.pdf"));
  ImportPackage restricted;
  restricted.SetInputBaseDirectory(dir / "in");
  EXPECT_FALSE(locker.DeleteFileAndSubtree(&restricted, dir / "d.pdf"));
  EXPECT_TRUE(fs::exists(dir / "d.pdf"));
  EXPECT_FALSE(locker.DeleteFileAndSubtree(nullptr, dir / "d.pdf"));
}

TEST(FileLockerTest, ReleaseOfTriggerRenamesAndReplacesOlderProcessedFile) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "order.trg", "new trigger"));
  ASSERT_TRUE(WriteFile(dir / "order.done", "old trigger"));
  ASSERT_TRUE(WriteFile(dir / "order.pdf"));
  TraceCapture trace("File_FileLocker");
  ImportPackage package = PackageFor(dir.path(), dir / "order.trg");
  package.SetTriggerMode(1);
  package.SetTriggerChangeToExtension("done");
  FileInfo companion;
  companion.SetFullPath(dir / "order.pdf");
  ASSERT_TRUE(package.AddTriggeredFile(companion));
  FileLocker locker;
  ASSERT_TRUE(locker.Lock(&package));
  ASSERT_TRUE(locker.Release(&package));
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("order.done"));
  EXPECT_EQ(testing::ReadWholeFile(dir / "order.done"), "new trigger");
  EXPECT_EQ(package.GetFoundFileLockState(), FileInfo::NotLocked);
  EXPECT_TRUE(package.GetFoundFile().IsTriggerRenamed());
  EXPECT_EQ(trace.Count("Renamed trigger file to order.done"), 1);
}

// Sets or clears an inode flag with chattr; false where that needs rights or tools missing here.
bool Chattr(const std::string& flag, const std::string& folder) {
  return std::system(("chattr " + flag + " '" + folder + "' 2>/dev/null").c_str()) == 0;
}

// Rows: missing ('m'), append-only ('a'), immutable ('i') folder, a holder of the test file ('h').
TEST(FileLockerTest, FolderAccessCodes) {
  const std::string kTestFile = "testfile.bin.99999999999999.+99999.locked";
  const unsigned kRW = osal::kShareRead | osal::kShareWrite;
  const unsigned kWD = osal::kShareWrite | osal::kShareDelete;
  // Held files only take rights away where sharing modes bind every opener.
  ScratchFolder probeDir;
  osal::File probeHolder, probeReader;
  ASSERT_TRUE(
      probeHolder
          .Open(probeDir / "probe", {osal::kAccessWrite, kWD, osal::Disposition::kCreateAlways})
          .ok());
  const bool bSharingBinds = !probeReader.Open(probeDir / "probe", {osal::kAccessRead, kRW}).ok();
  const struct {
    char setup;              // ' ' for a folder with every right
    unsigned access, share;  // the holder's
    int32_t code;
    const char* text;
    bool bTestFileLeft;  // not checked beside a holder
  } kCases[] = {
      {' ', 0, 0, FileLocker::kAccessFull, " is fully accessible.", false},
      {'m', 0, 0, FileLocker::kAccessNoWrite, " allows no write access.", false},
      // Created, never renamed: the test file keeps its permanent lock name.
      {'a', 0, 0, FileLocker::kAccessNoRename, " allows no file rename.", true},
      {'i', 0, 0, FileLocker::kAccessNoWrite, " allows no write access.", false},
      {'h', osal::kAccessRead, kRW, FileLocker::kAccessNoRename, " allows no file rename.", true},
      {'h', osal::kAccessWrite, kWD, FileLocker::kAccessNoRead, " allows no read access.", true},
  };
  FileLocker locker;
  std::string text;
  EXPECT_EQ(locker.CheckFolderAccess(nullptr, &text), FileLocker::kAccessMissingArgument);
  std::string skipped;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.setup + std::string(c.text));
    ScratchFolder dir;
    const std::string folder = c.setup == 'm' ? dir / "missing" : dir.path();
    const bool bChattr = c.setup == 'a' || c.setup == 'i';
    if ((bChattr && !Chattr(std::string("+") + c.setup, folder)) ||
        (c.setup == 'h' && !bSharingBinds)) {
      skipped += c.setup;
      continue;
    }
    osal::File holder;
    ASSERT_TRUE(c.setup != 'h' || (WriteFile(dir / kTestFile) &&
                                   holder.Open(dir / kTestFile, {c.access, c.share}).ok()));
    ImportPackage package;
    ASSERT_TRUE(package.SetWatchedFolder(folder));
    package.SetTriggerMode(1);
    package.SetTriggerChangeToExtension("done");  // must not keep the test file
    const int32_t code = locker.CheckFolderAccess(&package, &text);
    if (bChattr) Chattr(std::string("-") + c.setup, folder);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, "Watched folder " + folder + c.text);
    if (c.setup != 'h') {
      EXPECT_EQ(ListNames(dir.path()), (c.bTestFileLeft ? Strings{kTestFile} : Strings{}));
    }
  }
  // Rows not made here (chattr needs root, holders need binding sharing modes).
  ::testing::Test::RecordProperty("rows_skipped", skipped);
}

const char kNoFurther[] = "No (further) files found. Back to ImportDriver.";

std::string FoundName(const ImportPackage& package) {
  return package.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false);
}

// A lock time stamp for now + offsetSeconds (YYYYMMDDhhmmss, UTC).
std::string Stamp(int offsetSeconds) {
  const std::time_t t = std::time(nullptr) + offsetSeconds;
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%Y%m%d%H%M%S", std::gmtime(&t)));
}

// A folder is only probed: nothing is renamed, and the detector starts afresh.
TEST(FileDetectorTest, UnclaimedModeSkipsLockedAndProcessedNames) {
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
      {dir.path(), "b.pdf", FileDetector::kFolderHasFiles, w + "Contains files to import."},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(!*c.file || WriteFile(dir / c.file, "x", 100));
    ImportPackage package = Watching(c.folder);
    EXPECT_EQ(detector.CheckWatchedFolder(&package, &text), c.code);
    EXPECT_EQ(text, c.text);
  }
  ASSERT_TRUE(WriteFile(dir / "a.pdf.20261204045539.Qk7_x+03600.locked", "x", 300));
  ASSERT_TRUE(WriteFile(dir / "order.done", "x", 200));
  TraceCapture trace("File_FileDetector");
  ImportPackage package = Watching(dir.path());
  package.SetTriggerChangeToExtension("done");
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

TEST(FileDetectorTest, ExpiredClaimsAreTakenOverWithFreshLocks) {
  ScratchFolder dir;
  const Strings untouched = {"run.pdf." + Stamp(-3000) + ".Run01+03600.locked",
                             "perm.pdf.99999999999999.Perm1+99999.locked",
                             "nines.pdf.99999999999999.Nine1+03600.locked",  // treated as running
                             "bad.pdf.20200101000000.Qk7=x+03600.locked", "plain.pdf"};
  // An expiry equal to now counts as expired.
  for (const std::string& name : untouched) ASSERT_TRUE(WriteFile(dir / name));
  for (const std::string& name : {"edge.pdf." + Stamp(-3600) + ".Edge1+03600.locked",
                                  std::string("old0.pdf.20200101000000.Old00+03600.locked"),
                                  std::string("old1.pdf.20200101000000.Old01+03600.locked")}) {
    ASSERT_TRUE(WriteFile(dir / name));
  }
  TraceCapture trace("File_FileDetector");
  ImportPackage package = Watching(dir.path(), "*.pdf");
  FileDetector detector;
  detector.SetMode(FileDetector::kExpiredClaims);
  FileLocker locker;
  Strings taken;
  while (detector.FindNextCandidate(&package)) {
    ASSERT_EQ(package.GetFoundFileLockState(), FileInfo::Locked);
    taken.push_back(FoundName(package));
    ASSERT_TRUE(locker.UpdateLock(&package, false));
  }
  std::sort(taken.begin(), taken.end());
  EXPECT_THAT(taken, ElementsAre("edge.pdf", "old0.pdf", "old1.pdf"));
  for (const std::string& why :
       {"not timed-out locked file " + untouched[0], "locked permanent file " + untouched[1],
        "not timed-out locked file " + untouched[2], "invalid locked file " + untouched[3]}) {
    EXPECT_THAT(trace.Lines(), Contains("Ignoring " + why));
  }
  // On disk: the untouched names as they were, each taken-over file under one fresh lock.
  const std::regex fresh(R"(\w+\.pdf\.(\d{14})\.[0-9A-Za-z_-]{5}\+03600\.locked)");
  Strings renewed;
  for (const std::string& name : ListNames(dir.path())) {
    std::smatch m;
    if (std::find(untouched.begin(), untouched.end(), name) != untouched.end()) continue;
    EXPECT_TRUE(std::regex_match(name, m, fresh) && m[1].str() >= Stamp(-5)) << name;
    renewed.push_back(name.substr(0, name.find('.')));
  }
  EXPECT_THAT(renewed, ElementsAre("edge", "old0", "old1"));
  // A second pass over the fresh locks finds nothing to take over.
  detector.Reset();
  EXPECT_FALSE(detector.FindNextCandidate(&package));
  EXPECT_FALSE(package.IsFoundFileValid());
}

// On POSIX a "\" is an ordinary character of a listed name, never a separator.
TEST(FileDetectorTest, NamesWithBackslashesAreWholeNames) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  ScratchFolder dir;
  ASSERT_TRUE(fs::create_directory(dir / "a"));  // where a split name would lead
  ASSERT_TRUE(WriteFile(dir / "a\\b.txt", "plain", 200));
  ASSERT_TRUE(WriteFile(dir / "c\\d.pdf.20200101000000.Old01+03600.locked", "claimed", 100));
  ImportPackage package = Watching(dir.path());
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
  // Trigger mode 3 needs a subfolder named after the trigger, which such a name cannot name.
  ScratchFolder triggers;
  ASSERT_TRUE(WriteFile(triggers / "x\\y.trg", "", 200));
  ASSERT_TRUE(WriteFile(triggers / "z.trg", "", 100));
  TraceCapture trace("File_FileDetector");
  package = Watching(triggers.path(), "*.trg");
  package.SetTriggerMode(3);
  detector.Reset();
  detector.SetMode(FileDetector::kUnclaimedFiles);
  ASSERT_TRUE(detector.FindNextCandidate(&package));
  EXPECT_EQ(FoundName(package), "z.trg");
  EXPECT_THAT(trace.Lines(), Contains("Ignoring file x\\y.trg: its name cannot name the "
                                      "subfolder of its triggered files on this platform"));
}

// Searches and returns the names handed out, in order.
Strings Names(FolderIterator* it) {
  Strings names;
  it->Search();
  FileInfo entry;
  while (it->GetNextEntry(&entry)) {
    names.push_back(entry.GetFileName(FileInfo::NameOnly, false, false));
  }
  return names;
}

// The line n places after the first one equal to line (empty when there is none).
std::string After(const Strings& lines, const std::string& line, size_t n) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it != lines.end() && lines.end() - it > static_cast<long>(n) ? it[n] : std::string();
}

TEST(FolderIteratorFilter, EntryCarriesFolderNameAndTimes) {
  ScratchFolder dir;
  WriteFile(dir / "a.pdf", "", 100);
  FolderIterator it;
  it.SetFolder(dir.path() + "/");
  ASSERT_TRUE(it.Search());
  FileInfo entry;
  ASSERT_TRUE(it.GetNextEntry(&entry));
  EXPECT_EQ(entry.GetPath(FileInfo::FolderOnly, false, false), dir.path());
  EXPECT_EQ(entry.GetFileName(FileInfo::NameOnly, false, false), "a.pdf");
  const uint64_t now = osal::SystemTimeAsFileTime();
  EXPECT_NEAR(static_cast<double>(now - entry.GetModifiedTime()) / 1e7, 100.0, 2.0);
  EXPECT_NE(entry.GetCreatedTime(), 0u);
  // The platform's separator is appended unless the folder ends in it or in "\".
  const std::string S(1, osal::PathSeparator());
  for (const auto& [given, kept] : std::vector<std::pair<std::string, std::string>>{
           {"C:\\in", "C:\\in" + S},
           {"C:\\in\\", "C:\\in\\"},
           {"/data/in/", S == "/" ? "/data/in/" : "/data/in/\\"}}) {
    FolderIterator folder;
    folder.SetFolder(given);
    EXPECT_EQ(folder.GetFolder(), kept) << given;
  }
}

// The same order whether the whole list is sorted (for the dumps) or drawn one by one.
TEST(FolderIteratorSort, OldestFirstAt100nsThenPreferredExtensions) {
  ScratchFolder dir;
  // Whole seconds, so that every time below is a whole number of 100-ns units.
  const fs::file_time_type base =
      std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now()) -
      std::chrono::hours(1);
  for (const auto& [name, ticks] : std::vector<std::pair<std::string, int>>{
           {"a.pdf", 3}, {"b.xml", 1}, {"c.pdf", 0}, {"d.XML", 4}, {"e.tif", 2}}) {
    const fs::file_time_type time = base + std::chrono::nanoseconds(100 * ticks);
    WriteFile(dir / name);
    fs::last_write_time(dir / name, time);
    if (fs::last_write_time(dir / name) != time) {
      GTEST_SKIP() << "the file system here keeps coarser times than 100 ns";
    }
  }
  for (const auto& [preferred, expected] : std::vector<std::pair<Strings, Strings>>{
           {{}, {"c.pdf", "b.xml", "e.tif", "a.pdf", "d.XML"}},
           {{".xml"}, {"b.xml", "d.XML", "c.pdf", "e.tif", "a.pdf"}},
           {{".tif", ".XML"}, {"b.xml", "e.tif", "d.XML", "c.pdf", "a.pdf"}}}) {
    for (bool bDumps : {false, true}) {
      SCOPED_TRACE(::testing::Message() << preferred.size() << " extensions, dumps " << bDumps);
      TraceCapture trace("File_FolderIterator", {bDumps ? util::General_99 : util::General_60});
      FolderIterator it;
      it.SetFolder(dir.path());
      it.SetSortOrder(FolderIterator::SortByModifiedDate);
      it.SetPreferredExtensions(preferred);
      EXPECT_EQ(Names(&it), expected);
      EXPECT_EQ(After(trace.Lines(), "Dumping presorted list", 1), bDumps ? "  [0] c.pdf" : "");
      EXPECT_EQ(After(trace.Lines(), "Dumping sorted list", 1),
                bDumps ? "  [0] " + expected[0] : "");
    }
  }
}

TEST(FolderIteratorLimit, KeepsAtMostTenThousandEntriesAndWarnsOnce) {
  ScratchFolder dir;
  for (int i = 0; i < 10001; ++i) WriteFile(dir / ("f" + std::to_string(i)));
  WriteFile(dir / "skip.me");  // dropped by the mask: does not count against the limit
  for (bool bDumps : {false, true}) {
    SCOPED_TRACE(bDumps ? "with dumps" : "without dumps");
    TraceCapture trace("File_FolderIterator", {bDumps ? util::General_99 : util::General_60});
    FolderIterator it;
    it.SetFolder(dir.path());
    it.SetSortOrder(FolderIterator::SortByModifiedDate);
    it.SetFileSearchMasks({"f*"});
    ASSERT_TRUE(it.Search());
    EXPECT_EQ(it.GetEntryCount(), FolderIterator::kMaxEntries);
    EXPECT_EQ(trace.Count("Warning: Ignoring entries. Search result exceeds limit of 10000."), 1);
    // Three dumps (unsorted, presorted, sorted), each stopping after 100 lines.
    const Strings lines = trace.Lines();
    auto countPrefix = [&lines](const char* prefix) {
      return std::count_if(lines.begin(), lines.end(),
                           [prefix](const std::string& l) { return l.starts_with(prefix); });
    };
    EXPECT_EQ(countPrefix("  [99] "), bDumps ? 3 : 0);
    EXPECT_EQ(countPrefix("  [100] "), 0);
    FileInfo entry;
    uint64_t previous = 0;
    size_t count = 0;
    for (; it.GetNextEntry(&entry); ++count) {
      EXPECT_LE(previous, entry.GetModifiedTime());
      previous = entry.GetModifiedTime();
    }
    EXPECT_EQ(count, FolderIterator::kMaxEntries);
  }
}

constexpr int kFiles = 2000;
constexpr int kExpired = 500;  // of kFiles, written as claims that ran out long ago
constexpr int kClaimers = 4;

// What the claimers did together.
struct Tally {
  std::mutex mutex;
  std::map<std::string, int> claimed;  // plain name: how often
  std::atomic<int> release_failures{0};
  std::atomic<int> lost_races{0};         // candidates another claimer renamed first
  std::atomic<int> unreadable_claims{0};  // won claims whose file could not be opened right after
};

// Opens the claim as the resolver does: a claimer that lost the race must never keep it out.
bool CanReadClaimedFile(const ImportPackage& package) {
  const FileInfo& found = package.GetFoundFile();
  osal::File file;
  return file
      .Open(found.GetCurrentFileName(FileInfo::FullPath, false, true),
            {osal::kAccessRead, osal::kShareRead | osal::kShareWrite})
      .ok();
}

// Runs the import driver's two passes, claiming and releasing all it wins, until none is left.
void ClaimUntilEmpty(const std::string& folder, Tally* pTally) {
  FileDetector detector;
  FileLocker locker;
  for (bool bFoundAny = true; bFoundAny;) {
    bFoundAny = false;
    for (int32_t mode : {FileDetector::kUnclaimedFiles, FileDetector::kExpiredClaims}) {
      ImportPackage package;
      if (!package.SetWatchedFolder(folder)) return;
      package.SetFileSearchMask("*.dat");
      detector.Reset();
      detector.SetMode(mode);
      while (detector.FindNextCandidate(&package)) {
        bFoundAny = true;
        const bool bClaimed = package.GetFoundFileLockState() == FileInfo::Locked
                                  ? locker.UpdateLock(&package, false)
                                  : locker.Lock(&package);
        if (!bClaimed) {
          ++pTally->lost_races;
          continue;
        }
        {
          std::lock_guard<std::mutex> guard(pTally->mutex);
          ++pTally->claimed[FoundName(package)];
        }
        pTally->unreadable_claims += !CanReadClaimedFile(package);
        pTally->release_failures += !locker.Release(&package);
      }
    }
  }
}

// Several claiming threads on one folder, with expired claims among the files: every file once.
TEST(ClaimRaceTest, ThreadsClaimEachFileOnce) {
  ScratchFolder dir;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i) + ".dat";
    if (i < kExpired) name += ".20200101000000.Old" + std::to_string(10 + i % 90) + "+03600.locked";
    ASSERT_TRUE(WriteFile(dir / name, "x"));
  }
  Tally tally;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClaimers; ++i) threads.emplace_back(ClaimUntilEmpty, dir.path(), &tally);
  for (std::thread& t : threads) t.join();
  // How often claimers collided; shown, not checked, since it depends on scheduling.
  ::testing::Test::RecordProperty("lost_races", tally.lost_races);
  EXPECT_EQ(tally.release_failures, 0);
  EXPECT_EQ(tally.unreadable_claims, 0);
  EXPECT_EQ(tally.claimed.size(), static_cast<size_t>(kFiles));
  for (const auto& [name, count] : tally.claimed) EXPECT_EQ(count, 1) << name;
  EXPECT_THAT(ListNames(dir.path()), ::testing::IsEmpty());
}

}  // namespace
}  // namespace velmora::xelc
