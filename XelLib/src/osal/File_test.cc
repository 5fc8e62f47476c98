// Tests of files and folders against a real temporary folder that hold on every platform.
#include "osal/File.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

namespace fs = std::filesystem;
using testing::TempDir;
using enum ErrorKind;
using enum Disposition;

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

// Opens and closes at once: only the outcome counts.
Status OpenWith(const std::string& path, Disposition d, unsigned access = kAccessRead,
                unsigned share = kShareRead) {
  File f;
  return f.Open(path, Options(d, access, share));
}

TEST(FileTest, DispositionsReadWriteAndMove) {
  TempDir dir;
  const std::string path = dir.Join("a.txt");
  EXPECT_EQ(OpenWith(path, kOpenExisting).kind(), kNotFound);
  EXPECT_EQ(OpenWith(dir.Join("missing/a.txt"), kCreateAlways, kAccessWrite).kind(), kPathNotFound);
  EXPECT_EQ(OpenWith(dir.Join("nope"), kTruncateExisting, kAccessWrite).kind(), kNotFound);
  EXPECT_EQ(OpenWith(dir.path(), kOpenExisting).kind(), kAccessDenied);  // a folder
  File f;
  ASSERT_TRUE(f.Open(path, Options(kCreateNew)).ok() && f.Write("0123456789", 10).ok() &&
              f.Close().ok());
  EXPECT_EQ(OpenWith(path, kCreateNew, kAccessWrite).kind(), kExists);
  EXPECT_EQ(ReadText(path), "0123456789");  // a refused create-new leaves the file alone
  uint64_t size = 0;
  ASSERT_TRUE(f.Open(path, Options(kOpenAlways)).ok() && f.Size(&size).ok());
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(f.Seek(2).ok());
  char buf[16];
  size_t n = 0;
  ASSERT_TRUE(f.Read(buf, 4, &n).ok());
  EXPECT_EQ(std::string(buf, n), "2345");
  // Truncating pulls the position back, so the next write continues at the new end.
  ASSERT_TRUE(f.Truncate(0).ok() && f.Write("ab", 2).ok() && f.Flush().ok() && f.Seek(0).ok() &&
              f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(std::string(buf, n), "ab");
  ASSERT_TRUE(f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(n, 0u);  // end of file
  File g(std::move(f));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_TRUE(g.IsOpen());
  EXPECT_FALSE(f.Write("x", 1).ok());
  ASSERT_TRUE(g.Close().ok() && g.Open(path, Options(kTruncateExisting)).ok() &&
              g.Size(&size).ok());
  EXPECT_EQ(size, 0u);
}

TEST(FileTest, SharingConflictsAndDeleteOnClose) {
  TempDir dir;
  const std::string path = dir.Join("shared.txt");
  WriteText(path, "content");
  File exclusive, r1, r2;
  ASSERT_TRUE(exclusive.Open(path, Options(kOpenExisting, kAccessRead, kShareNone)).ok());
  EXPECT_EQ(OpenWith(path, kOpenExisting).kind(), kSharing);
  // A refused create-always must not have truncated the file.
  EXPECT_EQ(OpenWith(path, kCreateAlways, kAccessWrite, kShareNone).kind(), kSharing);
  ASSERT_TRUE(exclusive.Close().ok());
  EXPECT_EQ(ReadText(path), "content");
  // Two readers that allow reading coexist; a not-shared opener then conflicts.
  ASSERT_TRUE(r1.Open(path, Options(kOpenExisting, kAccessRead)).ok() &&
              r2.Open(path, Options(kOpenExisting, kAccessRead)).ok());
  EXPECT_EQ(OpenWith(path, kOpenExisting, kAccessWrite, kShareNone).kind(), kSharing);

  OpenOptions o = Options(kCreateNew);
  o.delete_on_close = true;
  const std::string temp = dir.Join("temp.bin");
  File t;
  ASSERT_TRUE(t.Open(temp, o).ok() && t.Write("x", 1).ok());
  EXPECT_TRUE(FileExists(temp));
  ASSERT_TRUE(t.Close().ok());
  EXPECT_FALSE(FileExists(temp));
  EXPECT_TRUE(File().Open(temp, o).ok());  // the destructor closes, and deletes
  EXPECT_FALSE(FileExists(temp));
}

TEST(FileTest, RenameWithAndWithoutReplacing) {
  TempDir dir;
  std::string a = dir.Join("a.txt"), b = dir.Join("b.txt"), c = dir.Join("c.txt");
  WriteText(a, "A");
  WriteText(b, "B");
  EXPECT_EQ(Rename(a, b, RenameMode::kNoReplace, true).kind(), kExists);
  EXPECT_EQ(ReadText(a) + ReadText(b), "AB");
  ASSERT_TRUE(Rename(a, c, RenameMode::kNoReplace, true).ok());
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadText(c), "A");
  ASSERT_TRUE(Rename(c, b, RenameMode::kReplace, true).ok());
  EXPECT_FALSE(FileExists(c));
  EXPECT_EQ(ReadText(b), "A");
  // The loser of a claim race: the source is gone.
  EXPECT_EQ(Rename(a, c, RenameMode::kNoReplace, false).kind(), kNotFound);
  EXPECT_EQ(Rename(a, c, RenameMode::kReplace, false).kind(), kNotFound);
  // A missing target folder is told apart, so that a caller can create it.
  EXPECT_EQ(Rename(b, dir.Join("no/b.txt"), RenameMode::kNoReplace, false).kind(), kPathNotFound);
  std::string win = "\\\\?\\" + dir.path() + "\\b.txt";
  ASSERT_TRUE(Rename(win, dir.path() + "\\d.txt", RenameMode::kNoReplace, false).ok());
  EXPECT_EQ(ReadText(dir.Join("d.txt")), "A");
}

TEST(FileTest, DeleteAndFolders) {
  TempDir dir;
  std::string sub = dir.Join("sub");
  ASSERT_TRUE(CreateFolder(sub).ok());
  EXPECT_EQ(CreateFolder(sub).kind(), kExists);
  EXPECT_TRUE(FolderExists(sub));
  EXPECT_FALSE(FileExists(sub));
  WriteText(sub + "/f", "x");
  EXPECT_EQ(DeleteFolder(sub).kind(), kNotEmpty);
  EXPECT_FALSE(DeleteFile(sub).ok());  // not a file
  ASSERT_TRUE(DeleteFile(sub + "/f").ok());
  EXPECT_EQ(DeleteFile(sub + "/f").kind(), kNotFound);
  EXPECT_EQ(DeleteFile(dir.Join("no/f")).kind(), kPathNotFound);
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
  EXPECT_EQ(created.size(), 1u);
  EXPECT_TRUE(FolderExists(dir.Join("x/y/w")));
  WriteText(dir.Join("file"), "x");
  created.clear();
  EXPECT_EQ(CreateFolders(dir.Join("file/sub"), &created).kind(), kPathNotFound);
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
  uint32_t ro = 0;
  ASSERT_TRUE(GetFileAttributes(path, &ro).ok());
  EXPECT_EQ(ro & kKnown, kAttrReadOnly);
  DirEntry info;
  ASSERT_TRUE(GetFileInfo(path, &info).ok());
  EXPECT_TRUE(info.is_readonly);
  ASSERT_TRUE(SetFileAttributes(path, attr & ~kAttrReadOnly).ok() &&
              GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr & kKnown, 0u);
  // A folder's attributes with read-only cleared can be set back (the folder bit is ignored).
  ASSERT_TRUE(GetFileAttributes(dir.path(), &attr).ok());
  EXPECT_EQ(attr & kAttrDirectory, kAttrDirectory);
  EXPECT_TRUE(SetFileAttributes(dir.path(), attr & ~kAttrReadOnly).ok());
  EXPECT_EQ(GetFileAttributes(dir.Join("none"), &attr).kind(), kNotFound);
  EXPECT_EQ(GetFileAttributes(dir.Join("no/ne"), &attr).kind(), kPathNotFound);
}

TEST(DirReaderTest, ListsNamesKindsAndTimes) {
  TempDir dir;
  WriteText(dir.Join("one.txt"), "12345");
  ASSERT_TRUE(CreateFolder(dir.Join("folder")).ok());
  const uint64_t before = SystemTimeAsFileTime();
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
  // A missing folder is told from a missing parent.
  WriteText(dir.Join("file"), "x");
  for (auto [folder, kind] : {std::pair{"nope", kNotFound}, std::pair{"no/pe", kPathNotFound},
                              std::pair{"file", kPathNotFound}}) {
    DirReader missing;
    EXPECT_EQ(missing.Open(dir.Join(folder)).kind(), kind) << folder;
    EXPECT_FALSE(missing.Next(&e));
  }
}

// --- Confinement ---------------------------------------------------------------------------

// A tree's names with their contents ("<dir>", "-> target" for links), links not followed.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    const fs::path& p = it->path();
    std::string& value = out[fs::relative(p, folder).generic_string()];
    if (fs::is_symlink(it->symlink_status())) {
      value = "-> " + fs::read_symlink(p).string();
    } else {
      value = it->is_directory() ? "<dir>" : ReadText(p.string());
    }
  }
  return out;
}

// Makes the links (link, target, is a folder) below base; why not, if it cannot.
std::string MakeLinks(const fs::path& base,
                      std::initializer_list<std::tuple<const char*, std::string, bool>> links) {
  for (auto [link, target, bFolder] : links) {
    std::error_code ec;
    const fs::path at = base / link;
    bFolder ? fs::create_directory_symlink(target, at, ec) : fs::create_symlink(target, at, ec);
    // A system may claim success without making anything (wine does).
    if (!ec && !fs::is_symlink(fs::symlink_status(at))) return "no symbolic links here";
    if (ec) return "no symbolic links here: " + ec.message();
  }
  return "";
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
    M_Why = MakeLinks(M_Root, {{"up_file", "../outside/secret", false},
                               {"abs_file", M_Outside + "/secret", false},
                               {"up_dir", "../outside", true},
                               {"abs_dir", M_Outside, true},
                               {"in_file", "in.txt", false},
                               {"in_dir", "sub", true},
                               {"abs_in_dir", M_Root + "/sub", true},
                               {"sub/back", "../../outside", true},
                               {"sub/hop", "../up_dir", true},
                               {"loop", "loop", false},
                               {"dangling_out", "../outside/missing", false}});
    if (M_Why.empty()) M_Before = Snapshot(M_Outside);
  }
  // Empty when the layout stands; otherwise why it could not be made.
  const std::string& why() const { return M_Why; }
  std::string Root(const std::string& below) const { return M_Root + "/" + below; }
  const std::string& root() const { return M_Root; }
  const std::string& outside() const { return M_Outside; }
  bool OutsideUntouched() const { return Snapshot(M_Outside) == M_Before; }

 private:
  TempDir M_Dir;
  std::string M_Root, M_Outside, M_Why;
  std::map<std::string, std::string> M_Before;
};

enum class Expect { kOk, kOutside, kFails };
constexpr Expect kOk = Expect::kOk, kOut = Expect::kOutside, kFail = Expect::kFails;

Expect Outcome(const Status& s) { return s.ok() ? kOk : IsOutsideConfinement(s) ? kOut : kFail; }

Status RunOperation(const std::string& op, const LinkLayout& l, const std::string& p) {
  std::vector<std::string> created;
  DirEntry e;
  DirReader reader;
  if (op == "read") return OpenWith(p, kOpenExisting, kAccessRead);
  if (op == "write") return OpenWith(p, kCreateAlways, kAccessWrite);
  if (op == "create") return OpenWith(p, kCreateNew, kAccessWrite);
  if (op == "folders") return CreateFolders(p, &created);
  if (op == "folder") return CreateFolder(p);
  if (op == "list") return reader.Open(p);
  if (op == "info") return GetFileInfo(p, &e);
  if (op == "readonly") return SetFileAttributes(p, kAttrReadOnly);
  if (op == "delete") return DeleteFile(p);
  if (op == "rmdir") return DeleteFolder(p);
  if (op == "move-in-to") return Rename(l.Root("in.txt"), p, RenameMode::kNoReplace, true);
  if (op == "move-away") return Rename(p, l.Root("moved"), RenameMode::kReplace, false);
  if (op == "check") return CheckConfined(p);
  ADD_FAILURE() << "no operation " << op;
  return Status();
}

// The paths below root for which op ends as refuse says under LinkPolicy::kRefuse and as
// follow says under LinkPolicy::kFollowInside.
struct ConfinementCase {
  const char* op;
  Expect refuse, follow;
  std::vector<const char*> paths;
};

const ConfinementCase kConfinementCases[] = {
    {"read", kOk, kOk, {"in.txt", "sub/../in.txt"}},
    {"read", kOut, kOk, {"in_file", "in_dir/deep.txt", "abs_in_dir/deep.txt"}},
    {"read",
     kOut,
     kOut,
     {"up_file", "abs_file", "up_dir/secret", "abs_dir/secret", "sub/back/secret", "sub/hop/secret",
      "../outside/secret", "sub/../../outside/secret"}},
    {"read", kOut, kFail, {"loop"}},
    {"write", kOut, kOut, {"up_file", "up_dir/new.txt", "dangling_out"}},
    {"write", kOut, kOk, {"in_dir/new.txt"}},
    {"create", kOut, kOut, {"up_dir/new.txt"}},
    {"create", kFail, kFail, {"up_file"}},  // exists: a new file never goes through a link
    {"folders", kOut, kOut, {"up_dir/a/b", "sub/back/a"}},
    {"folders", kOut, kOk, {"in_dir/a/b"}},
    {"folders", kOk, kOk, {"sub/a/b"}},
    {"folder", kOut, kOut, {"up_dir/a"}},
    {"list", kOut, kOut, {"up_dir"}},
    {"list", kOut, kOk, {"in_dir"}},
    {"list", kOk, kOk, {"sub"}},
    {"info", kOut, kOut, {"up_file"}},
    {"info", kOut, kOk, {"in_file"}},
    {"readonly", kOut, kOut, {"up_file", "up_dir"}},
    {"delete", kOk, kOk, {"up_file"}},  // the link itself goes, never what it leads to
    {"delete", kOut, kOut, {"up_dir/secret"}},
    {"rmdir", kFail, kFail, {"up_dir"}},
    {"move-in-to", kOut, kOut, {"up_dir/moved"}},
    {"move-in-to", kOut, kOk, {"in_dir/moved"}},
    {"move-away", kOk, kOk, {"up_file"}},  // the link is renamed, its target stays
    {"move-away", kOut, kOut, {"up_dir/secret"}},
    {"check", kOut, kOut, {"up_dir/missing/x", "dangling_out"}},
    {"check", kOk, kOk, {"sub/missing/x"}},
    {"check", kOut, kOk, {"in_dir"}},
};

// Both ways of resolving (openat2 and the component walk) must decide alike.
class FileConfinementTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { UseBeneathWalkForTesting(GetParam()); }
  void TearDown() override { UseBeneathWalkForTesting(false); }
};

INSTANTIATE_TEST_SUITE_P(Resolution, FileConfinementTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Direct"; });

TEST_P(FileConfinementTest, LinksLeadNowhereOutsideTheFolder) {
  for (const ConfinementCase& c : kConfinementCases) {
    for (int i = 0; i < 2 * int(c.paths.size()); ++i) {
      const char* path = c.paths[i / 2];
      const LinkPolicy policy = i % 2 ? LinkPolicy::kFollowInside : LinkPolicy::kRefuse;
      const bool bRefuse = policy == LinkPolicy::kRefuse;
      SCOPED_TRACE(std::string(c.op) + " " + path + (bRefuse ? " (refuse)" : " (follow)"));
      LinkLayout layout;
      if (!layout.why().empty()) GTEST_SKIP() << layout.why();
      Status s;
      {
        FileConfinement confinement({layout.root()}, policy);
        s = RunOperation(c.op, layout, layout.Root(path));
      }
      EXPECT_EQ(Outcome(s), bRefuse ? c.refuse : c.follow) << s.code();
      EXPECT_TRUE(layout.OutsideUntouched());
    }
  }
}

TEST_P(FileConfinementTest, AnAbsoluteLinkMayLeadIntoAnotherOfTheFolders) {
  TempDir dir;
  for (const char* folder : {"a", "b", "c"}) fs::create_directory(dir.Join(folder));
  WriteText(dir.Join("b/file"), "b");
  WriteText(dir.Join("c/file"), "c");
  const std::string why = MakeLinks(
      dir.Join("a"),
      {{"abs_b", dir.Join("b"), true}, {"rel_b", "../b", true}, {"abs_c", dir.Join("c"), true}});
  if (!why.empty()) GTEST_SKIP() << why;
  FileConfinement confinement({dir.Join("a"), dir.Join("b")}, LinkPolicy::kFollowInside);
  EXPECT_TRUE(OpenWith(dir.Join("a/abs_b/file"), kOpenExisting).ok());
  // The relative way passes through their common folder, which is outside both.
  EXPECT_TRUE(IsOutsideConfinement(OpenWith(dir.Join("a/rel_b/file"), kOpenExisting)));
  EXPECT_TRUE(IsOutsideConfinement(OpenWith(dir.Join("a/abs_c/file"), kOpenExisting)));
  // Having arrived in b, the path may not climb out of it again.
  EXPECT_TRUE(IsOutsideConfinement(CheckConfined(dir.Join("a/abs_b/../c/file"))));
}

TEST(FileConfinementScopeTest, OrdinaryPathsWorkAsBeforeInsideTheFolder) {
  TempDir dir;
  const std::string root = dir.Join("root"), x = root + "/a/b/x.txt";
  ASSERT_TRUE(CreateFolder(root).ok());
  WriteText(dir.Join("secret"), "secret");
  FileConfinement confinement({root + "/"}, LinkPolicy::kRefuse);
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(root + "\\a\\b", &created).ok());
  EXPECT_EQ(created.size(), 2u);
  File f;
  ASSERT_TRUE(f.Open(x, Options(kCreateNew)).ok() && f.Write("data", 4).ok() && f.Close().ok());
  EXPECT_TRUE(FileExists(x));
  EXPECT_TRUE(FolderExists(root + "/a"));
  DirReader reader;
  ASSERT_TRUE(reader.Open(root + "/a/b").ok());
  DirEntry e;
  ASSERT_TRUE(reader.Next(&e));
  EXPECT_EQ(e.name, "x.txt");
  EXPECT_FALSE(e.is_link);
  reader.Close();
  ASSERT_TRUE(SetFileAttributes(x, kAttrReadOnly).ok());
  uint32_t attr = 0;
  ASSERT_TRUE(GetFileAttributes(x, &attr).ok());
  EXPECT_EQ(attr & kAttrReadOnly, kAttrReadOnly);
  ASSERT_TRUE(SetFileAttributes(x, kAttrNormal).ok() &&
              Rename(x, root + "/a/y.txt", RenameMode::kNoReplace, true).ok());
  EXPECT_TRUE(OpenWith(root + "/a/y.txt", kOpenExisting).ok());
  EXPECT_TRUE(OpenWith(root + "/a/b/../y.txt", kOpenExisting).ok());
  // Missing names keep their kinds; climbing out of the folder is refused.
  EXPECT_EQ(OpenWith(root + "/none", kOpenExisting).kind(), kNotFound);
  EXPECT_EQ(OpenWith(root + "/no/ne", kCreateNew, kAccessWrite).kind(), kPathNotFound);
  EXPECT_TRUE(CheckConfined(root + "/no/ne").ok());
  EXPECT_TRUE(IsOutsideConfinement(OpenWith(root + "/a/../../secret", kOpenExisting)));
  EXPECT_TRUE(IsOutsideConfinement(CheckConfined(root + "/a/../../secret")));
  EXPECT_TRUE(IsOutsideConfinement(DeleteFile(root + "/../secret")));
  EXPECT_EQ(ReadText(dir.Join("secret")), "secret");
  ASSERT_TRUE(DeleteFile(root + "/a/y.txt").ok() && DeleteFolder(root + "/a/b").ok());
  OpenOptions temporary = Options(kCreateNew, kAccessWrite, kShareRead | kShareDelete);
  temporary.delete_on_close = true;
  ASSERT_TRUE(f.Open(root + "/a/t.tmp", temporary).ok() && f.Close().ok());
  EXPECT_FALSE(FileExists(root + "/a/t.tmp"));
}

TEST(FileConfinementScopeTest, OnlyPathsInTheFoldersAreJudgedAndScopesNest) {
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
