// Tests of files and folders against a real temporary folder that hold on every platform.
#include "osal/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "TempDir.h"
#include "osal/System.h"

namespace velmora::osal {
namespace {

using testing::TempDir;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

OpenOptions Options(Disposition d, unsigned access = kAccessRead | kAccessWrite,
                    unsigned share = kShareRead) {
  OpenOptions o;
  o.disposition = d;
  o.access = access;
  o.share = share;
  return o;
}

TEST(FileTest, DispositionsReportTheWindowsOutcomes) {
  TempDir dir;
  std::string path = dir.Join("a.txt");
  File f;
  Status s = f.Open(path, Options(Disposition::kOpenExisting));
  EXPECT_TRUE(s.Is(ErrorKind::kNotFound)) << s.code();
  s = f.Open(dir.Join("missing/a.txt"), Options(Disposition::kCreateAlways));
  EXPECT_TRUE(s.Is(ErrorKind::kPathNotFound)) << s.code();

  ASSERT_TRUE(f.Open(path, Options(Disposition::kCreateNew)).ok());
  ASSERT_TRUE(f.Write("hello world", 11).ok());
  ASSERT_TRUE(f.Close().ok());

  File g;
  s = g.Open(path, Options(Disposition::kCreateNew));
  EXPECT_TRUE(s.Is(ErrorKind::kExists));
  EXPECT_EQ(ReadText(path), "hello world");  // a refused create-new leaves the file alone

  ASSERT_TRUE(g.Open(path, Options(Disposition::kOpenAlways)).ok());
  uint64_t size = 0;
  ASSERT_TRUE(g.Size(&size).ok());
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(g.Close().ok());

  ASSERT_TRUE(g.Open(path, Options(Disposition::kTruncateExisting)).ok());
  ASSERT_TRUE(g.Size(&size).ok());
  EXPECT_EQ(size, 0u);
  ASSERT_TRUE(g.Close().ok());
  EXPECT_TRUE(
      g.Open(dir.Join("nope"), Options(Disposition::kTruncateExisting)).Is(ErrorKind::kNotFound));
  // A folder cannot be opened as a file.
  EXPECT_TRUE(g.Open(dir.path(), Options(Disposition::kOpenExisting, kAccessRead))
                  .Is(ErrorKind::kAccessDenied));
}

TEST(FileTest, ReadWriteSeekTruncate) {
  TempDir dir;
  std::string path = dir.Join("rw.bin");
  File f;
  ASSERT_TRUE(f.Open(path, Options(Disposition::kCreateAlways)).ok());
  ASSERT_TRUE(f.Write("0123456789", 10).ok());
  ASSERT_TRUE(f.Seek(2).ok());
  char buf[16];
  size_t n = 0;
  ASSERT_TRUE(f.Read(buf, 4, &n).ok());
  EXPECT_EQ(std::string(buf, n), "2345");
  // Truncating pulls the position back, so the next write continues at the new end.
  ASSERT_TRUE(f.Truncate(0).ok());
  ASSERT_TRUE(f.Write("ab", 2).ok());
  ASSERT_TRUE(f.Flush().ok());
  ASSERT_TRUE(f.Seek(0).ok());
  ASSERT_TRUE(f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(std::string(buf, n), "ab");
  ASSERT_TRUE(f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(n, 0u);  // end of file

  // Moving keeps the handle; the moved-from file is closed.
  File g(std::move(f));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_TRUE(g.IsOpen());
  EXPECT_FALSE(f.Write("x", 1).ok());
}

TEST(FileTest, SharingConflictsBetweenOpeners) {
  TempDir dir;
  std::string path = dir.Join("shared.txt");
  WriteText(path, "content");
  File exclusive;
  ASSERT_TRUE(
      exclusive.Open(path, Options(Disposition::kOpenExisting, kAccessRead, kShareNone)).ok());
  File other;
  Status s = other.Open(path, Options(Disposition::kOpenExisting, kAccessRead, kShareRead));
  EXPECT_TRUE(s.Is(ErrorKind::kSharing)) << s.code();
  // A refused create-always must not have truncated the file.
  s = other.Open(path, Options(Disposition::kCreateAlways, kAccessWrite, kShareNone));
  EXPECT_TRUE(s.Is(ErrorKind::kSharing));
  ASSERT_TRUE(exclusive.Close().ok());
  EXPECT_EQ(ReadText(path), "content");

  // Two readers that allow reading coexist; a not-shared opener then conflicts.
  File r1, r2;
  ASSERT_TRUE(r1.Open(path, Options(Disposition::kOpenExisting, kAccessRead, kShareRead)).ok());
  ASSERT_TRUE(r2.Open(path, Options(Disposition::kOpenExisting, kAccessRead, kShareRead)).ok());
  EXPECT_TRUE(other.Open(path, Options(Disposition::kOpenExisting, kAccessWrite, kShareNone))
                  .Is(ErrorKind::kSharing));
}

TEST(FileTest, DeleteOnCloseRemovesTheFile) {
  TempDir dir;
  std::string path = dir.Join("temp.bin");
  OpenOptions o = Options(Disposition::kCreateNew);
  o.delete_on_close = true;
  File f;
  ASSERT_TRUE(f.Open(path, o).ok());
  ASSERT_TRUE(f.Write("x", 1).ok());
  EXPECT_TRUE(FileExists(path));
  ASSERT_TRUE(f.Close().ok());
  EXPECT_FALSE(FileExists(path));
  {
    File g;
    ASSERT_TRUE(g.Open(path, o).ok());
  }  // the destructor closes, and deletes
  EXPECT_FALSE(FileExists(path));
}

TEST(FileTest, RenameWithAndWithoutReplacing) {
  TempDir dir;
  std::string a = dir.Join("a.txt"), b = dir.Join("b.txt"), c = dir.Join("c.txt");
  WriteText(a, "A");
  WriteText(b, "B");
  Status s = Rename(a, b, RenameMode::kNoReplace, true);
  EXPECT_TRUE(s.Is(ErrorKind::kExists)) << s.code();
  EXPECT_EQ(ReadText(a), "A");
  EXPECT_EQ(ReadText(b), "B");

  ASSERT_TRUE(Rename(a, c, RenameMode::kNoReplace, true).ok());
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadText(c), "A");

  ASSERT_TRUE(Rename(c, b, RenameMode::kReplace, true).ok());
  EXPECT_FALSE(FileExists(c));
  EXPECT_EQ(ReadText(b), "A");

  // The loser of a claim race: the source is gone.
  EXPECT_TRUE(Rename(a, c, RenameMode::kNoReplace, false).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(Rename(a, c, RenameMode::kReplace, false).Is(ErrorKind::kNotFound));
  // A missing target folder is told apart, so that a caller can create it.
  EXPECT_TRUE(
      Rename(b, dir.Join("no/b.txt"), RenameMode::kNoReplace, false).Is(ErrorKind::kPathNotFound));
  // Windows-form paths work too.
  std::string win = "\\\\?\\" + dir.path() + "\\b.txt";
  ASSERT_TRUE(Rename(win, dir.path() + "\\d.txt", RenameMode::kNoReplace, false).ok());
  EXPECT_EQ(ReadText(dir.Join("d.txt")), "A");
}

TEST(FileTest, DeleteAndFolders) {
  TempDir dir;
  std::string sub = dir.Join("sub");
  ASSERT_TRUE(CreateFolder(sub).ok());
  EXPECT_TRUE(CreateFolder(sub).Is(ErrorKind::kExists));
  EXPECT_TRUE(FolderExists(sub));
  EXPECT_FALSE(FileExists(sub));
  WriteText(sub + "/f", "x");
  EXPECT_TRUE(DeleteFolder(sub).Is(ErrorKind::kNotEmpty));
  EXPECT_FALSE(DeleteFile(sub).ok());  // not a file
  ASSERT_TRUE(DeleteFile(sub + "/f").ok());
  EXPECT_TRUE(DeleteFile(sub + "/f").Is(ErrorKind::kNotFound));
  EXPECT_TRUE(DeleteFile(dir.Join("no/f")).Is(ErrorKind::kPathNotFound));
  ASSERT_TRUE(DeleteFolder(sub).ok());
  EXPECT_FALSE(FolderExists(sub));

  // The folders made come back outermost first, in the native form.
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(dir.path() + "\\x\\y\\z\\", &created).ok());
  ASSERT_EQ(created.size(), 3u);
  EXPECT_EQ(created[0], NativePath(dir.Join("x")));
  EXPECT_EQ(created[2], NativePath(dir.Join("x/y/z")));
  EXPECT_TRUE(FolderExists(dir.Join("x/y/z")));
  created.clear();
  ASSERT_TRUE(CreateFolders(dir.Join("x/./y/../y/w"), &created).ok());
  ASSERT_EQ(created.size(), 1u);
  EXPECT_TRUE(FolderExists(dir.Join("x/y/w")));
  WriteText(dir.Join("file"), "x");
  created.clear();
  EXPECT_TRUE(CreateFolders(dir.Join("file/sub"), &created).Is(ErrorKind::kPathNotFound));
  EXPECT_TRUE(created.empty());
}

TEST(FileTest, ReadOnlyAttributeRoundTrip) {
  TempDir dir;
  std::string path = dir.Join("ro.txt");
  WriteText(path, "x");
  uint32_t attr = 0;
  constexpr uint32_t kKnown = kAttrReadOnly | kAttrDirectory;  // Windows adds others
  ASSERT_TRUE(GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr & kKnown, 0u);
  ASSERT_TRUE(SetFileAttributes(path, attr | kAttrReadOnly).ok());
  ASSERT_TRUE(GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr & kKnown, kAttrReadOnly);
  DirEntry info;
  ASSERT_TRUE(GetFileInfo(path, &info).ok());
  EXPECT_TRUE(info.is_readonly);
  ASSERT_TRUE(SetFileAttributes(path, attr & ~kAttrReadOnly).ok());
  ASSERT_TRUE(GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr & kKnown, 0u);

  // A folder's attributes with read-only cleared can be set back (the folder bit is ignored).
  ASSERT_TRUE(GetFileAttributes(dir.path(), &attr).ok());
  EXPECT_EQ(attr & kAttrDirectory, kAttrDirectory);
  EXPECT_TRUE(SetFileAttributes(dir.path(), attr & ~kAttrReadOnly).ok());
  EXPECT_TRUE(GetFileAttributes(dir.Join("none"), &attr).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetFileAttributes(dir.Join("no/ne"), &attr).Is(ErrorKind::kPathNotFound));
}

TEST(DirReaderTest, ListsNamesKindsAndTimes) {
  TempDir dir;
  WriteText(dir.Join("one.txt"), "12345");
  ASSERT_TRUE(CreateFolder(dir.Join("folder")).ok());
  uint64_t before = SystemTimeAsFileTime();
  DirReader reader;
  ASSERT_TRUE(reader.Open(dir.path()).ok());
  std::map<std::string, DirEntry> seen;
  DirEntry e;
  while (reader.Next(&e)) seen[e.name] = e;
  EXPECT_TRUE(reader.status().ok());
  ASSERT_EQ(seen.size(), 2u);  // no "." or ".."
  const DirEntry& file = seen["one.txt"];
  EXPECT_FALSE(file.is_folder);
  EXPECT_EQ(file.size, 5u);
  EXPECT_NE(file.creation_time, 0u);
  // Times are 100-ns units since 1601: within a minute of now.
  EXPECT_LT(before - file.last_write_time, 600000000u);
  EXPECT_LE(file.creation_time, before + 10000000u);
  EXPECT_TRUE(seen["folder"].is_folder);

  DirEntry info;
  ASSERT_TRUE(GetFileInfo(dir.Join("one.txt"), &info).ok());
  EXPECT_EQ(info.name, "one.txt");
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.last_write_time, file.last_write_time);
  // The folder scan passes folders with a trailing separator.
  ASSERT_TRUE(GetFileInfo(dir.Join("folder/"), &info).ok());
  EXPECT_EQ(info.name, "folder");
  EXPECT_TRUE(info.is_folder);
  DirReader sub;
  ASSERT_TRUE(sub.Open(dir.Join("folder\\")).ok());
  EXPECT_FALSE(sub.Next(&e));
  EXPECT_TRUE(sub.status().ok());
}

TEST(DirReaderTest, TellsAMissingFolderFromAMissingParent) {
  TempDir dir;
  WriteText(dir.Join("file"), "x");
  struct Case {
    const char* folder;
    ErrorKind kind;
  };
  for (const Case& c : {Case{"nope", ErrorKind::kNotFound}, Case{"no/pe", ErrorKind::kPathNotFound},
                        Case{"file", ErrorKind::kPathNotFound}}) {
    DirReader reader;
    Status s = reader.Open(dir.Join(c.folder));
    EXPECT_TRUE(s.Is(c.kind)) << c.folder << ": " << static_cast<int>(s.kind()) << " " << s.code();
    DirEntry e;
    EXPECT_FALSE(reader.Next(&e));
  }
}

}  // namespace
}  // namespace velmora::osal
