// Tests of files and folders against a real temporary folder that hold on every platform.
#include "osal/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "TempDir.h"
#include "osal/System.h"

namespace velmora::osal {

// Declared here only: the component walk forced where openat2 would serve (a no-op where
// there is one way of resolving).
void UseBeneathWalkForTesting(bool walk);

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

// --- Confinement ---------------------------------------------------------------------------

namespace fs = std::filesystem;

// A tree's names with their contents ("<dir>", "-> target" for links), links not followed.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(folder);
       it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    std::string key = fs::relative(p, folder).generic_string();
    if (fs::is_symlink(it->symlink_status())) {
      out[key] = "-> " + fs::read_symlink(p).string();
    } else if (it->is_directory()) {
      out[key] = "<dir>";
    } else {
      out[key] = ReadText(p.string());
    }
  }
  return out;
}

// <tmp>/root is the confining folder; <tmp>/outside must come through every case untouched.
// Links lead out of root relatively and absolutely, to files and to folders, into root, in
// chains, and in a loop.
class LinkLayout {
 public:
  LinkLayout() : M_Root(M_Dir.Join("root")), M_Outside(M_Dir.Join("outside")) {
    fs::create_directories(M_Root + "/sub");
    fs::create_directories(M_Outside + "/folder");
    WriteText(M_Root + "/in.txt", "inside");
    WriteText(M_Root + "/sub/deep.txt", "deep");
    WriteText(M_Outside + "/secret", "secret");
    std::error_code ec;
    for (auto [link, target, folder] : std::initializer_list<std::tuple<const char*, std::string, bool>>{
             {"up_file", "../outside/secret", false},
             {"abs_file", M_Outside + "/secret", false},
             {"up_dir", "../outside", true},
             {"abs_dir", M_Outside, true},
             {"in_file", "in.txt", false},
             {"in_dir", "sub", true},
             {"abs_in_dir", M_Root + "/sub", true},
             {"sub/back", "../../outside", true},
             {"sub/hop", "../up_dir", true},
             {"loop", "loop", false},
             {"dangling_out", "../outside/missing", false}}) {
      fs::path at = fs::path(M_Root) / link;
      if (folder) {
        fs::create_directory_symlink(target, at, ec);
      } else {
        fs::create_symlink(target, at, ec);
      }
      // A system may claim success without making anything (wine does).
      if (!ec && !fs::is_symlink(fs::symlink_status(at))) {
        ec = std::make_error_code(std::errc::operation_not_supported);
      }
      if (ec) {
        M_Why = "no symbolic links here: " + ec.message();
        return;
      }
    }
    M_Before = Snapshot(M_Outside);
  }
  // Empty when the layout stands; otherwise why it could not be made.
  const std::string& why() const { return M_Why; }
  std::string Root(const std::string& below) const { return M_Root + "/" + below; }
  const std::string& root() const { return M_Root; }
  const std::string& outside() const { return M_Outside; }
  bool OutsideUntouched() const { return Snapshot(M_Outside) == M_Before; }

 private:
  TempDir M_Dir;
  std::string M_Root;
  std::string M_Outside;
  std::string M_Why;
  std::map<std::string, std::string> M_Before;
};

enum class Expect { kOk, kOutside, kFails };

std::string Describe(const Status& s) {
  if (s.ok()) return "ok";
  if (IsOutsideConfinement(s)) return "outside";
  return "failed (kind " + std::to_string(static_cast<int>(s.kind())) + ", " +
         std::to_string(s.code()) + ")";
}

bool Matches(const Status& s, Expect e) {
  switch (e) {
    case Expect::kOk:
      return s.ok();
    case Expect::kOutside:
      return IsOutsideConfinement(s);
    case Expect::kFails:
      return !s.ok() && !IsOutsideConfinement(s);
  }
  return false;
}

using Operation = std::function<Status(const LinkLayout&, const std::string& path)>;

Status OpenWith(const std::string& path, Disposition d, unsigned access) {
  File f;
  return f.Open(path, Options(d, access));
}

const std::map<std::string, Operation>& Operations() {
  static const std::map<std::string, Operation> ops = {
      {"read", [](const LinkLayout&, const std::string& p) {
         return OpenWith(p, Disposition::kOpenExisting, kAccessRead);
       }},
      {"write", [](const LinkLayout&, const std::string& p) {
         return OpenWith(p, Disposition::kCreateAlways, kAccessWrite);
       }},
      {"create", [](const LinkLayout&, const std::string& p) {
         return OpenWith(p, Disposition::kCreateNew, kAccessWrite);
       }},
      {"folders", [](const LinkLayout&, const std::string& p) {
         std::vector<std::string> created;
         return CreateFolders(p, &created);
       }},
      {"folder", [](const LinkLayout&, const std::string& p) { return CreateFolder(p); }},
      {"list", [](const LinkLayout&, const std::string& p) {
         DirReader reader;
         return reader.Open(p);
       }},
      {"info", [](const LinkLayout&, const std::string& p) {
         DirEntry e;
         return GetFileInfo(p, &e);
       }},
      {"readonly", [](const LinkLayout&, const std::string& p) {
         return SetFileAttributes(p, kAttrReadOnly);
       }},
      {"delete", [](const LinkLayout&, const std::string& p) { return DeleteFile(p); }},
      {"rmdir", [](const LinkLayout&, const std::string& p) { return DeleteFolder(p); }},
      {"move-in-to", [](const LinkLayout& l, const std::string& p) {
         return Rename(l.Root("in.txt"), p, RenameMode::kNoReplace, true);
       }},
      {"move-away", [](const LinkLayout& l, const std::string& p) {
         return Rename(p, l.Root("moved"), RenameMode::kReplace, false);
       }},
      {"check", [](const LinkLayout&, const std::string& p) { return CheckConfined(p); }},
  };
  return ops;
}

struct ConfinementCase {
  const char* op;
  const char* path;  // below root
  Expect refuse;     // under LinkPolicy::kRefuse
  Expect follow;     // under LinkPolicy::kFollowInside
};

constexpr Expect kOk = Expect::kOk, kOut = Expect::kOutside, kFail = Expect::kFails;

const ConfinementCase kConfinementCases[] = {
    {"read", "in.txt", kOk, kOk},
    {"read", "sub/../in.txt", kOk, kOk},
    {"read", "in_file", kOut, kOk},
    {"read", "in_dir/deep.txt", kOut, kOk},
    {"read", "abs_in_dir/deep.txt", kOut, kOk},
    {"read", "up_file", kOut, kOut},
    {"read", "abs_file", kOut, kOut},
    {"read", "up_dir/secret", kOut, kOut},
    {"read", "abs_dir/secret", kOut, kOut},
    {"read", "sub/back/secret", kOut, kOut},
    {"read", "sub/hop/secret", kOut, kOut},
    {"read", "../outside/secret", kOut, kOut},
    {"read", "sub/../../outside/secret", kOut, kOut},
    {"read", "loop", kOut, kFail},
    {"write", "up_file", kOut, kOut},
    {"write", "up_dir/new.txt", kOut, kOut},
    {"write", "dangling_out", kOut, kOut},
    {"write", "in_dir/new.txt", kOut, kOk},
    {"create", "up_dir/new.txt", kOut, kOut},
    {"create", "up_file", kFail, kFail},  // exists: a new file never goes through a link
    {"folders", "up_dir/a/b", kOut, kOut},
    {"folders", "sub/back/a", kOut, kOut},
    {"folders", "in_dir/a/b", kOut, kOk},
    {"folders", "sub/a/b", kOk, kOk},
    {"folder", "up_dir/a", kOut, kOut},
    {"list", "up_dir", kOut, kOut},
    {"list", "in_dir", kOut, kOk},
    {"list", "sub", kOk, kOk},
    {"info", "up_file", kOut, kOut},
    {"info", "in_file", kOut, kOk},
    {"readonly", "up_file", kOut, kOut},
    {"readonly", "up_dir", kOut, kOut},
    {"delete", "up_file", kOk, kOk},  // the link itself goes, never what it leads to
    {"delete", "up_dir/secret", kOut, kOut},
    {"rmdir", "up_dir", kFail, kFail},
    {"move-in-to", "up_dir/moved", kOut, kOut},
    {"move-in-to", "in_dir/moved", kOut, kOk},
    {"move-away", "up_file", kOk, kOk},  // the link is renamed, its target stays
    {"move-away", "up_dir/secret", kOut, kOut},
    {"check", "up_dir/missing/x", kOut, kOut},
    {"check", "sub/missing/x", kOk, kOk},
    {"check", "dangling_out", kOut, kOut},
    {"check", "in_dir", kOut, kOk},
};

void RunConfinementCases(bool bWalk) {
  UseBeneathWalkForTesting(bWalk);
  for (const ConfinementCase& c : kConfinementCases) {
    for (LinkPolicy policy : {LinkPolicy::kRefuse, LinkPolicy::kFollowInside}) {
      LinkLayout layout;
      if (!layout.why().empty()) {
        UseBeneathWalkForTesting(false);
        GTEST_SKIP() << layout.why();
      }
      const Expect expect = policy == LinkPolicy::kRefuse ? c.refuse : c.follow;
      Status s;
      {
        FileConfinement confinement({layout.root()}, policy);
        s = Operations().at(c.op)(layout, layout.Root(c.path));
      }
      const std::string label = std::string(c.op) + " " + c.path +
                                (policy == LinkPolicy::kRefuse ? " (refuse)" : " (follow)");
      EXPECT_TRUE(Matches(s, expect)) << label << ": " << Describe(s);
      EXPECT_TRUE(layout.OutsideUntouched()) << label;
    }
  }
  UseBeneathWalkForTesting(false);
}

TEST(FileConfinementTest, LinksLeadNowhereOutsideTheFolder) { RunConfinementCases(false); }

TEST(FileConfinementTest, TheComponentWalkDecidesAlike) { RunConfinementCases(true); }

TEST(FileConfinementTest, OrdinaryPathsWorkAsBeforeInsideTheFolder) {
  TempDir dir;
  const std::string root = dir.Join("root");
  ASSERT_TRUE(CreateFolder(root).ok());
  WriteText(dir.Join("secret"), "secret");
  FileConfinement confinement({root + "/"}, LinkPolicy::kRefuse);
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(root + "\\a\\b", &created).ok());
  EXPECT_EQ(created.size(), 2u);
  File f;
  ASSERT_TRUE(f.Open(root + "/a/b/x.txt", Options(Disposition::kCreateNew)).ok());
  ASSERT_TRUE(f.Write("data", 4).ok());
  ASSERT_TRUE(f.Close().ok());
  EXPECT_TRUE(FileExists(root + "/a/b/x.txt"));
  EXPECT_TRUE(FolderExists(root + "/a"));
  DirReader reader;
  ASSERT_TRUE(reader.Open(root + "/a/b").ok());
  DirEntry e;
  ASSERT_TRUE(reader.Next(&e));
  EXPECT_EQ(e.name, "x.txt");
  EXPECT_FALSE(e.is_link);
  reader.Close();
  ASSERT_TRUE(SetFileAttributes(root + "/a/b/x.txt", kAttrReadOnly).ok());
  uint32_t attr = 0;
  ASSERT_TRUE(GetFileAttributes(root + "/a/b/x.txt", &attr).ok());
  EXPECT_EQ(attr & kAttrReadOnly, kAttrReadOnly);
  ASSERT_TRUE(SetFileAttributes(root + "/a/b/x.txt", kAttrNormal).ok());
  ASSERT_TRUE(Rename(root + "/a/b/x.txt", root + "/a/y.txt", RenameMode::kNoReplace, true).ok());
  EXPECT_TRUE(f.Open(root + "/a/y.txt", Options(Disposition::kOpenExisting, kAccessRead)).ok());
  (void)f.Close();
  EXPECT_TRUE(f.Open(root + "/a/b/../y.txt", Options(Disposition::kOpenExisting, kAccessRead)).ok());
  (void)f.Close();
  // Missing names keep their kinds; climbing out of the folder is refused.
  EXPECT_TRUE(f.Open(root + "/none", Options(Disposition::kOpenExisting)).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(
      f.Open(root + "/no/ne", Options(Disposition::kCreateNew)).Is(ErrorKind::kPathNotFound));
  EXPECT_TRUE(CheckConfined(root + "/no/ne").ok());
  EXPECT_TRUE(IsOutsideConfinement(
      f.Open(root + "/a/../../secret", Options(Disposition::kOpenExisting, kAccessRead))));
  EXPECT_TRUE(IsOutsideConfinement(CheckConfined(root + "/a/../../secret")));
  EXPECT_TRUE(IsOutsideConfinement(DeleteFile(root + "/../secret")));
  EXPECT_EQ(ReadText(dir.Join("secret")), "secret");
  ASSERT_TRUE(DeleteFile(root + "/a/y.txt").ok());
  ASSERT_TRUE(DeleteFolder(root + "/a/b").ok());
  OpenOptions temporary = Options(Disposition::kCreateNew);
  temporary.delete_on_close = true;
  temporary.share = kShareRead | kShareDelete;
  ASSERT_TRUE(f.Open(root + "/a/t.tmp", temporary).ok());
  ASSERT_TRUE(f.Close().ok());
  EXPECT_FALSE(FileExists(root + "/a/t.tmp"));
}

TEST(FileConfinementTest, AnAbsoluteLinkMayLeadIntoAnotherOfTheFolders) {
  TempDir dir;
  for (const char* folder : {"a", "b", "c"}) fs::create_directory(dir.Join(folder));
  WriteText(dir.Join("b/file"), "b");
  WriteText(dir.Join("c/file"), "c");
  std::error_code ec;
  fs::create_directory_symlink(dir.Join("b"), dir.Join("a/abs_b"), ec);
  if (!ec) fs::create_directory_symlink("../b", dir.Join("a/rel_b"), ec);
  if (!ec) fs::create_directory_symlink(dir.Join("c"), dir.Join("a/abs_c"), ec);
  if (ec || !fs::is_symlink(fs::symlink_status(dir.Join("a/abs_b")))) {
    GTEST_SKIP() << "no symbolic links here: " << (ec ? ec.message() : "none made");
  }
  for (bool bWalk : {false, true}) {
    UseBeneathWalkForTesting(bWalk);
    FileConfinement confinement({dir.Join("a"), dir.Join("b")}, LinkPolicy::kFollowInside);
    EXPECT_TRUE(OpenWith(dir.Join("a/abs_b/file"), Disposition::kOpenExisting, kAccessRead).ok());
    // The relative way passes through their common folder, which is outside both.
    EXPECT_TRUE(IsOutsideConfinement(
        OpenWith(dir.Join("a/rel_b/file"), Disposition::kOpenExisting, kAccessRead)));
    EXPECT_TRUE(IsOutsideConfinement(
        OpenWith(dir.Join("a/abs_c/file"), Disposition::kOpenExisting, kAccessRead)));
    // Having arrived in b, the path may not climb out of it again.
    EXPECT_TRUE(IsOutsideConfinement(CheckConfined(dir.Join("a/abs_b/../c/file"))));
  }
  UseBeneathWalkForTesting(false);
}

TEST(FileConfinementTest, OnlyPathsInTheFoldersAreJudgedAndScopesNest) {
  LinkLayout layout;
  if (!layout.why().empty()) GTEST_SKIP() << layout.why();
  const std::string link = layout.Root("up_file");
  EXPECT_EQ(FileConfinement::Current(), nullptr);
  EXPECT_TRUE(CheckConfined(link).ok());  // no confinement: nothing is judged
  {
    FileConfinement outer({layout.root()}, LinkPolicy::kRefuse);
    EXPECT_TRUE(IsOutsideConfinement(CheckConfined(link)));
    // A path that climbs out again is judged by where it leads.
    EXPECT_TRUE(IsOutsideConfinement(CheckConfined(layout.Root("../outside/secret"))));
    // The folder itself and paths elsewhere are used as they are.
    EXPECT_TRUE(CheckConfined(layout.root()).ok());
    EXPECT_TRUE(CheckConfined(layout.outside() + "/secret").ok());
    {
      FileConfinement inner({layout.Root("sub")}, LinkPolicy::kRefuse);
      EXPECT_EQ(FileConfinement::Current(), &inner);
      EXPECT_TRUE(CheckConfined(link).ok());  // not below the inner folder
    }
    EXPECT_EQ(FileConfinement::Current(), &outer);
  }
  EXPECT_EQ(FileConfinement::Current(), nullptr);
  // Another thread keeps its own (none).
  FileConfinement confinement({layout.root()}, LinkPolicy::kRefuse);
  Status other;
  std::thread([&] { other = CheckConfined(link); }).join();
  EXPECT_TRUE(other.ok());
}

}  // namespace
}  // namespace velmora::osal
