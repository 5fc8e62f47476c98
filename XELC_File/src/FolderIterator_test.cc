// Tests of FolderIterator on real temporary folders: filters, sort orders, limit, lifecycle.
#include "FolderIterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "ClaimTestSupport.h"
#include "osal/File.h"
#include "osal/System.h"

namespace velmora::xelc {
namespace {

using Strings = std::vector<std::string>;
using testing::ScratchFolder;
using testing::TraceCapture;
using testing::WriteFile;
namespace fs = testing::fs;

// Searches and returns the names handed out, in order (sorted when bSort).
Strings Names(FolderIterator* it, bool bSort = false) {
  Strings names;
  it->Search();
  FileInfo entry;
  while (it->GetNextEntry(&entry)) {
    names.push_back(entry.GetFileName(FileInfo::NameOnly, false, false));
  }
  if (bSort) std::sort(names.begin(), names.end());
  return names;
}

// The line n places after the first one equal to line (empty when there is none).
std::string After(const Strings& lines, const std::string& line, size_t n) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it != lines.end() && lines.end() - it > static_cast<long>(n) ? it[n] : std::string();
}

TEST(FolderIteratorFilter, KindSelfMasksAndMinimumAge) {
  ScratchFolder dir;
  for (const char* name : {"a.PDF", "b.tif", "c.txt", ".hidden.pdf"}) WriteFile(dir / name);
  WriteFile(dir / "young", "", 59);
  WriteFile(dir / "old", "", 60);
  fs::create_directory(dir / "sub.pdf");
  const int32_t kFiles = FolderIterator::FilesOnly, kFolders = FolderIterator::FoldersOnly;
  const struct {
    const char* folder;
    int32_t type;
    bool bSkip;
    Strings masks;
    int32_t age;
    Strings expected;  // sorted
  } kCases[] = {
      {"", kFiles, true, {"*.pdf", "*.tif"}, 0, {".hidden.pdf", "a.PDF", "b.tif"}},
      {"", 2, true, {}, 0, {".hidden.pdf", "a.PDF", "b.tif", "c.txt", "old", "sub.pdf", "young"}},
      {"", kFolders, true, {}, 0, {"sub.pdf"}},
      // An entry modified exactly the minimum age ago stays.
      {"", kFiles, true, {}, 60, {"old"}},
      // Without skipping, self and parent are listed: an existing folder is never empty.
      {"/sub.pdf", kFolders, false, {"*"}, 0, {".", ".."}},
      {"/nope", 2, false, {}, 0, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.folder << " type " << c.type << " age " << c.age);
    FolderIterator it;
    it.SetFolder(dir.path() + c.folder);
    it.SetEntryType(c.type);
    it.SetSkipSelfAndParent(c.bSkip);
    it.SetFileSearchMasks(c.masks);
    it.SetMinimumAge(c.age);
    EXPECT_EQ(Names(&it, true), c.expected);
  }
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
  EXPECT_TRUE(entry.IsValid());
  EXPECT_EQ(entry.GetLockState(), FileInfo::NotLocked);
  const uint64_t now = osal::SystemTimeAsFileTime();
  EXPECT_NEAR(static_cast<double>(now - entry.GetModifiedTime()) / 1e7, 100.0, 2.0);
  EXPECT_NE(entry.GetCreatedTime(), 0u);

  // The platform's separator is appended unless the folder ends in it or in "\".
  const std::string S(1, osal::PathSeparator());
  for (const auto& [given, kept] : std::vector<std::pair<std::string, std::string>>{
           {"C:\\in", "C:\\in" + S},
           {"C:\\in\\", "C:\\in\\"},
           {"/data/in/", S == "/" ? "/data/in/" : "/data/in/\\"},
           {"/data/in", "/data/in" + S}}) {
    FolderIterator folder;
    folder.SetFolder(given);
    EXPECT_EQ(folder.GetFolder(), kept) << given;
  }
}

// Oldest first at the full resolution of file times (100 ns apart here), then the names with a
// preferred extension in front: the same order whether the whole list is sorted (for the
// dumps) or the entries are drawn one by one as needed.
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
    // Every kept entry is handed out once, oldest first.
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

}  // namespace
}  // namespace velmora::xelc
