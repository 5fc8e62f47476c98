// Tests of FolderIterator on real temporary folders: filters, sort orders, limit, lifecycle.
#include "FolderIterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "osal/File.h"
#include "osal/System.h"
#include "util/Trace.h"

namespace velmora::xelc {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The separator between a folder and its names: the platform's own.
const std::string S(1, osal::PathSeparator());

// Collects the rendered trace lines written while it is installed.
class TraceCapture : public util::LogWriter {
 public:
  // bDumps: with the list dumps (General_99), which make the iterator sort the whole list.
  explicit TraceCapture(bool bDumps = true)
      : M_pPrevious(util::SetLogWriter(util::LogChannelTrace, this)) {
    util::EnableTraceId(util::General_Error, true);
    util::EnableTraceId(util::General_99, bDumps);
  }
  ~TraceCapture() override {
    util::EnableTraceId(util::General_99, false);
    util::SetLogWriter(util::LogChannelTrace, M_pPrevious);
  }
  void Write(const util::LogRecord& record) override {
    char buffer[2048];
    size_t n = record.Render(buffer, sizeof buffer, false, false);
    std::lock_guard<std::mutex> lock(M_Mutex);
    M_Lines.emplace_back(buffer, n);
  }
  int CountPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(M_Mutex);
    int count = 0;
    for (const std::string& l : M_Lines) count += l.starts_with(prefix) ? 1 : 0;
    return count;
  }
  // The line n places after the first occurrence of line (empty when there is none).
  std::string After(const std::string& line, size_t n) {
    std::lock_guard<std::mutex> lock(M_Mutex);
    for (size_t i = 0; i < M_Lines.size(); ++i) {
      if (M_Lines[i] == line) return i + n < M_Lines.size() ? M_Lines[i + n] : std::string();
    }
    return std::string();
  }
  int Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(M_Mutex);
    int count = 0;
    for (const std::string& l : M_Lines) count += l == line ? 1 : 0;
    return count;
  }

 private:
  util::LogWriter* M_pPrevious;
  std::mutex M_Mutex;
  Strings M_Lines;
};

// Creates a file whose last write lies ageSeconds in the past.
void MakeFile(const testing::TempDir& dir, const std::string& name, int ageSeconds = 0) {
  std::ofstream(dir.Join(name)) << name;
  if (ageSeconds != 0) {
    fs::last_write_time(dir.Join(name),
                        fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
  }
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

Strings Sorted(Strings v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(FolderIteratorFilter, MasksAndEntryTypes) {
  testing::TempDir dir;
  MakeFile(dir, "a.PDF");
  MakeFile(dir, "b.tif");
  MakeFile(dir, "c.txt");
  MakeFile(dir, ".hidden.pdf");
  fs::create_directory(dir.Join("sub.pdf"));

  FolderIterator it;
  it.SetFolder(dir.path());
  it.SetEntryType(FolderIterator::FilesOnly);
  it.SetFileSearchMasks({"*.pdf", "*.tif"});
  EXPECT_EQ(Sorted(Names(&it)), (Strings{".hidden.pdf", "a.PDF", "b.tif"}));

  FolderIterator all;
  all.SetFolder(dir.path());
  EXPECT_EQ(Sorted(Names(&all)), (Strings{".hidden.pdf", "a.PDF", "b.tif", "c.txt", "sub.pdf"}));

  FolderIterator folders;
  folders.SetFolder(dir.path());
  folders.SetEntryType(FolderIterator::FoldersOnly);
  EXPECT_EQ(Names(&folders), (Strings{"sub.pdf"}));

  // Without skipping, self and parent entries are listed, so an existing folder is never
  // empty; a missing folder lists nothing.
  FolderIterator self;
  self.SetFolder(dir.path() + "/sub.pdf");
  self.SetEntryType(FolderIterator::FoldersOnly);
  self.SetSkipSelfAndParent(false);
  self.SetFileSearchMasks({"*"});
  EXPECT_EQ(Names(&self), (Strings{".", ".."}));
  FolderIterator missing;
  missing.SetFolder(dir.path() + "/nope");
  missing.SetSkipSelfAndParent(false);
  EXPECT_FALSE(missing.Search());
}

TEST(FolderIteratorFilter, EntryCarriesFolderNameAndTimes) {
  testing::TempDir dir;
  MakeFile(dir, "a.pdf", 100);
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
  const bool bPosix = S == "/";
  for (const auto& [given, kept] : std::vector<std::pair<std::string, std::string>>{
           {"C:\\in", "C:\\in" + S},
           {"C:\\in\\", "C:\\in\\"},
           {"/data/in/", bPosix ? "/data/in/" : "/data/in/\\"},
           {"/data/in", "/data/in" + S}}) {
    FolderIterator folder;
    folder.SetFolder(given);
    EXPECT_EQ(folder.GetFolder(), kept) << given;
  }
}

TEST(FolderIteratorFilter, MinimumAgeKeepsEntriesExactlyThatOld) {
  testing::TempDir dir;
  MakeFile(dir, "young", 59);
  MakeFile(dir, "old", 60);
  FolderIterator it;
  it.SetFolder(dir.path());
  it.SetMinimumAge(60);
  EXPECT_EQ(it.GetMinimumAge(), 60);
  EXPECT_EQ(Names(&it), (Strings{"old"}));
}

// Oldest first at the full resolution of file times (100 ns apart here), then the names with a
// preferred extension in front: the same order whether the whole list is sorted (for the
// dumps) or the entries are drawn one by one as needed.
TEST(FolderIteratorSort, OldestFirstAt100nsThenPreferredExtensions) {
  testing::TempDir dir;
  // Whole seconds, so that every time below is a whole number of 100-ns units.
  const fs::file_time_type base =
      std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now()) -
      std::chrono::hours(1);
  for (const auto& [name, ticks] : std::vector<std::pair<std::string, int>>{
           {"a.pdf", 3}, {"b.xml", 1}, {"c.pdf", 0}, {"d.XML", 4}, {"e.tif", 2}}) {
    MakeFile(dir, name);
    const fs::file_time_type time = base + std::chrono::nanoseconds(100 * ticks);
    fs::last_write_time(dir.Join(name), time);
    if (fs::last_write_time(dir.Join(name)) != time) {
      GTEST_SKIP() << "the file system here keeps coarser times than 100 ns";
    }
  }
  struct Case {
    Strings preferred;
    Strings expected;
  };
  for (const Case& c : std::vector<Case>{
           {{}, {"c.pdf", "b.xml", "e.tif", "a.pdf", "d.XML"}},
           {{".xml"}, {"b.xml", "d.XML", "c.pdf", "e.tif", "a.pdf"}},
           {{".tif", ".XML"}, {"b.xml", "e.tif", "d.XML", "c.pdf", "a.pdf"}}}) {
    for (bool bDumps : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.preferred.size() << " extensions, dumps " << bDumps);
      TraceCapture trace(bDumps);
      FolderIterator it;
      it.SetFolder(dir.path());
      it.SetSortOrder(FolderIterator::SortByModifiedDate);
      it.SetPreferredExtensions(c.preferred);
      EXPECT_EQ(Names(&it), c.expected);
      EXPECT_EQ(trace.After("Dumping presorted list", 1), bDumps ? "  [0] c.pdf" : "");
      EXPECT_EQ(trace.After("Dumping sorted list", 1), bDumps ? "  [0] " + c.expected[0] : "");
    }
  }
}

TEST(FolderIteratorSort, CreatedDate) {
  testing::TempDir dir;
  // Creation times come from a coarse kernel clock: leave a little time between files.
  for (const char* name : {"c", "a", "b"}) {
    MakeFile(dir, name);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  FolderIterator it;
  it.SetFolder(dir.path());
  it.SetSortOrder(FolderIterator::SortByCreatedDate);
  EXPECT_EQ(Names(&it), (Strings{"c", "a", "b"}));
}

TEST(FolderIteratorLifecycle, SearchOnceUntilReset) {
  testing::TempDir dir;
  FolderIterator it;
  FileInfo out;
  out.SetFullPath("C:\\keep\\me");
  const std::string kept = out.GetFileName(FileInfo::FullPath, false, false);
  EXPECT_FALSE(it.Search());  // no folder
  it.SetFolder(dir.path());
  EXPECT_FALSE(it.GetNextEntry(&out));
  EXPECT_FALSE(it.Search());  // empty: stays unsearched
  EXPECT_EQ(out.GetFileName(FileInfo::FullPath, false, false), kept);

  MakeFile(dir, "a");
  ASSERT_TRUE(it.Search());  // searched again, since the first found nothing
  MakeFile(dir, "b");
  EXPECT_FALSE(it.Search());  // needs Reset
  ASSERT_TRUE(it.GetNextEntry(&out));
  EXPECT_FALSE(it.GetNextEntry(&out));
  EXPECT_EQ(out.GetFileName(FileInfo::NameOnly, false, false), "a");
  it.Reset();
  EXPECT_EQ(Sorted(Names(&it)), (Strings{"a", "b"}));
}

TEST(FolderIteratorLimit, KeepsAtMostTenThousandEntriesAndWarnsOnce) {
  testing::TempDir dir;
  for (int i = 0; i < 10001; ++i) std::ofstream(dir.Join("f" + std::to_string(i)));
  // Entries dropped by a filter do not count against the limit.
  MakeFile(dir, "skip.me");
  for (bool bDumps : {false, true}) {
    SCOPED_TRACE(bDumps ? "with dumps" : "without dumps");
    TraceCapture trace(bDumps);
    FolderIterator it;
    it.SetFolder(dir.path());
    it.SetSortOrder(FolderIterator::SortByModifiedDate);
    it.SetFileSearchMasks({"f*"});
    ASSERT_TRUE(it.Search());
    EXPECT_EQ(it.GetEntryCount(), FolderIterator::kMaxEntries);
    EXPECT_EQ(trace.Count("Warning: Ignoring entries. Search result exceeds limit of 10000."), 1);
    // Three dumps (unsorted, presorted, sorted), each stopping after 100 lines.
    EXPECT_EQ(trace.CountPrefix("  [99] "), bDumps ? 3 : 0);
    EXPECT_EQ(trace.CountPrefix("  [100] "), 0);
    // Every kept entry is handed out once, oldest first.
    FileInfo entry;
    uint64_t previous = 0;
    size_t count = 0;
    while (it.GetNextEntry(&entry)) {
      EXPECT_LE(previous, entry.GetModifiedTime());
      previous = entry.GetModifiedTime();
      ++count;
    }
    EXPECT_EQ(count, FolderIterator::kMaxEntries);
  }
}

}  // namespace
}  // namespace velmora::xelc
