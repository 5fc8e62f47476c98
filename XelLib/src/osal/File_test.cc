// Tests of files and folders against a real temporary folder that hold on every platform.
#include "osal/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>

#include "TempDir.h"
#include "osal/System.h"

namespace velmora::osal {

// Declared here only: forces the component walk where openat2 would serve.
void UseBeneathWalkForTesting(bool walk);

namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using enum ErrorKind;
using enum Disposition;
constexpr unsigned kRW = kAccessRead | kAccessWrite;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Opens and closes at once: only the outcome counts.
Status OpenWith(const std::string& path, Disposition d, unsigned access = kAccessRead,
                unsigned share = kShareRead) {
  return File().Open(path, OpenOptions{access, share, d});
}

// Every operation works alike inside a confining folder (given with a trailing separator).
class FileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) M_Confinement.emplace(std::vector{M_Dir.path() + "/"}, LinkPolicy::kRefuse);
  }
  TempDir M_Dir;
  std::optional<FileConfinement> M_Confinement;
};

INSTANTIATE_TEST_SUITE_P(Scope, FileTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Confined" : "Free"; });

TEST_P(FileTest, DispositionsSharingDeleteOnCloseFoldersAttributesAndListings) {
  const std::string path = M_Dir.Join("a.txt"), temp = M_Dir.Join("temp.bin");
  EXPECT_EQ(OpenWith(M_Dir.path(), kOpenExisting).kind(), kAccessDenied);  // a folder
  File f;
  ASSERT_TRUE(f.Open(path, {kRW, kShareRead, kCreateNew}).ok() && f.Write("0123456789", 10).ok() &&
              f.Close().ok());
  EXPECT_EQ(OpenWith(path, kCreateNew, kAccessWrite).kind(), kExists);
  uint64_t size = 0;
  char buf[16];
  size_t n = 0;
  ASSERT_TRUE(f.Open(path, {kRW, kShareNone, kOpenAlways}).ok() && f.Size(&size).ok() &&
              f.Seek(2).ok() && f.Read(buf, 4, &n).ok());
  EXPECT_EQ(std::string(buf, n) + std::to_string(size), "234510");
  EXPECT_EQ(OpenWith(path, kOpenExisting).kind(), kSharing);
  EXPECT_EQ(OpenWith(path, kCreateAlways, kAccessWrite, kShareNone).kind(), kSharing);
  ASSERT_TRUE(f.Seek(0).ok() && f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(std::string(buf, n), "0123456789");  // no refused opener changed the file
  // Truncating pulls the position back, so the next write continues at the new end.
  ASSERT_TRUE(f.Truncate(0).ok() && f.Write("ab", 2).ok() && f.Flush().ok() && f.Seek(0).ok() &&
              f.Read(buf, sizeof buf, &n).ok());
  EXPECT_EQ(std::string(buf, n), "ab");
  EXPECT_TRUE(f.Read(buf, sizeof buf, &n).ok() && n == 0u);  // end of file
  File g(std::move(f));
  EXPECT_TRUE(!f.IsOpen() && g.IsOpen() && !f.Write("x", 1).ok());
  ASSERT_TRUE(g.Close().ok() && g.Open(path, {kRW, kShareRead, kTruncateExisting}).ok() &&
              g.Size(&size).ok() && g.Close().ok());
  EXPECT_EQ(size, 0u);
  ASSERT_TRUE(f.Open(temp, {kRW, kShareRead, kCreateNew, true}).ok() && FileExists(temp) &&
              !f.MayBeDeletedWhileOpen() && f.Close().ok());
  EXPECT_TRUE(!FileExists(temp) && DeleteFile(path).ok());
  // A file that may be deleted while open goes at once and its handle still reads it; where
  // it may not, the deletion is refused while the handle is open.
  WriteText(path, "12345");
  ASSERT_TRUE(f.Open(path, {kAccessRead, kShareRead | kShareWrite, kOpenExisting}).ok());
  if (f.MayBeDeletedWhileOpen()) {
    EXPECT_TRUE(DeleteFile(path).ok() && !FileExists(path) && f.Read(buf, sizeof buf, &n).ok());
    EXPECT_EQ(n, 5u);
  } else {
    EXPECT_FALSE(DeleteFile(path).ok());
  }
  EXPECT_TRUE(f.Close().ok() && !f.MayBeDeletedWhileOpen());
  (void)DeleteFile(path);
  const std::string sub = M_Dir.Join("sub"), leaf = M_Dir.Join("sub/f");
  ASSERT_TRUE(CreateFolder(sub).ok());
  WriteText(leaf, "12345");
  EXPECT_TRUE(CreateFolder(sub).Is(kExists) && FolderExists(sub) && !FileExists(sub));
  EXPECT_TRUE(DeleteFolder(sub).Is(kNotEmpty) && !DeleteFile(sub).ok());
  uint32_t attr = 0;
  constexpr uint32_t kKnown = kAttrReadOnly | kAttrDirectory;  // Windows adds others
  DirEntry info, e;
  ASSERT_TRUE(SetFileAttributes(leaf, kAttrReadOnly).ok() && GetFileAttributes(leaf, &attr).ok() &&
              GetFileInfo(leaf, &info).ok());
  EXPECT_TRUE((attr & kKnown) == kAttrReadOnly && info.is_readonly);
  ASSERT_TRUE(SetFileAttributes(leaf, kAttrNormal).ok() && GetFileAttributes(leaf, &attr).ok());
  EXPECT_EQ(attr & kKnown, 0u);
  // A folder's attributes can be set back as read (the folder bit is ignored).
  ASSERT_TRUE(GetFileAttributes(sub, &attr).ok() && SetFileAttributes(sub, attr).ok());
  EXPECT_EQ(attr & kKnown, kAttrDirectory);
  // Listings hold no "." or ".."; times are 100-ns units since 1601, within a minute of now.
  DirReader reader;
  ASSERT_TRUE(reader.Open(M_Dir.path()).ok() && reader.Next(&e) && !reader.Next(&info));
  EXPECT_TRUE(reader.status().ok() && e.name == "sub" && e.is_folder);
  ASSERT_TRUE(reader.Open(sub + "\\").ok() && reader.Next(&e) && GetFileInfo(leaf, &info).ok());
  EXPECT_TRUE(!e.is_folder && e.size == 5u && e.creation_time != 0);
  EXPECT_LT(SystemTimeAsFileTime() - e.last_write_time, 600000000u);
  EXPECT_EQ(std::tuple(info.name, info.size, info.last_write_time),
            std::tuple("f", 5u, e.last_write_time));
  reader.Close();
  // The folder scan passes folders with a trailing separator.
  ASSERT_TRUE(GetFileInfo(sub + "/", &info).ok());
  EXPECT_TRUE(info.name == "sub" && info.is_folder);
  EXPECT_TRUE(DeleteFile(leaf).ok() && DeleteFolder(sub).ok() && !FolderExists(sub));
  // The folders made come back outermost first, in the native form.
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(M_Dir.path() + "\\x\\y\\z\\", &created).ok());
  EXPECT_EQ(created, (std::vector{NativePath(M_Dir.Join("x")), NativePath(M_Dir.Join("x/y")),
                                  NativePath(M_Dir.Join("x/y/z"))}));
  ASSERT_TRUE(CreateFolders(M_Dir.Join("x/./y/../y/w"), &created).ok());
  EXPECT_TRUE(created.size() == 4 && FolderExists(M_Dir.Join("x/y/w")));
}

TEST_P(FileTest, RenamesAndMissingNamesAndFoldersToldApart) {
  std::string a = M_Dir.Join("a.txt"), b = M_Dir.Join("b.txt"), c = M_Dir.Join("c.txt");
  WriteText(a, "A");
  WriteText(b, "B");
  EXPECT_TRUE(Rename(a, b, RenameMode::kNoReplace, true).Is(kExists));
  EXPECT_EQ(ReadText(a) + ReadText(b), "AB");
  ASSERT_TRUE(Rename(a, c, RenameMode::kNoReplace, true).ok() &&
              Rename(c, b, RenameMode::kReplace, true).ok());
  EXPECT_TRUE(!FileExists(a) && !FileExists(c) && ReadText(b) == "A");
  // The loser of a claim race: the source is gone.
  EXPECT_TRUE(Rename(a, c, RenameMode::kNoReplace, false).Is(kNotFound) &&
              Rename(a, c, RenameMode::kReplace, false).Is(kNotFound));
  // A missing target folder is told apart, so that a caller can create it.
  EXPECT_EQ(Rename(b, M_Dir.Join("no/b.txt"), RenameMode::kNoReplace, false).kind(), kPathNotFound);
  std::string win = "\\\\?\\" + M_Dir.path() + "\\b.txt";
  ASSERT_TRUE(Rename(win, M_Dir.path() + "\\d.txt", RenameMode::kNoReplace, false).ok());
  EXPECT_EQ(ReadText(M_Dir.Join("d.txt")), "A");
  for (auto [name, kind] : {std::pair{"none", kNotFound}, {"no/ne", kPathNotFound}}) {
    const std::string path = M_Dir.Join(name);
    uint32_t attr = 0;
    EXPECT_EQ(OpenWith(path, kOpenExisting).kind(), kind) << name;
    EXPECT_EQ(OpenWith(path, kTruncateExisting, kAccessWrite).kind(), kind) << name;
    EXPECT_EQ(DeleteFile(path).kind(), kind) << name;
    EXPECT_EQ(GetFileAttributes(path, &attr).kind(), kind) << name;
  }
  // A folder scan also counts a file in the way as a missing folder.
  for (auto [folder, kind] :
       {std::pair{"nope", kNotFound}, {"no/pe", kPathNotFound}, {"d.txt", kPathNotFound}}) {
    DirReader missing;
    DirEntry e;
    EXPECT_EQ(missing.Open(M_Dir.Join(folder)).kind(), kind) << folder;
    EXPECT_FALSE(missing.Next(&e));
  }
  std::vector<std::string> created;
  EXPECT_TRUE(CreateFolders(M_Dir.Join("d.txt/sub"), &created).Is(kPathNotFound) &&
              created.empty());
  EXPECT_EQ(OpenWith(M_Dir.Join("no/ne"), kCreateAlways, kAccessWrite).kind(), kPathNotFound);
}

// A tree's names with their contents ("<dir>", "-> target" for links), links not followed.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder)) {
    out[e.path().string()] = e.is_symlink()     ? "-> " + fs::read_symlink(e).string()
                             : e.is_directory() ? "<dir>"
                                                : ReadText(e.path().string());
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
    if (ec || !fs::is_symlink(fs::symlink_status(at))) return "no symbolic links: " + ec.message();
  }
  return "";
}

// <tmp>/root is the confining folder; <tmp>/outside must come through every case untouched.
// Links lead out of root relatively and absolutely, to files and folders, into root, in
// chains, and in a loop.
struct LinkLayout {
  LinkLayout() {
    fs::create_directories(root + "/sub");
    fs::create_directories(outside + "/folder");
    WriteText(root + "/in.txt", "inside");
    WriteText(root + "/sub/deep.txt", "deep");
    WriteText(outside + "/secret", "secret");
    why = MakeLinks(root, {{"up_file", "../outside/secret", false},
                           {"abs_file", outside + "/secret", false},
                           {"up_dir", "../outside", true},
                           {"abs_dir", outside, true},
                           {"in_file", "in.txt", false},
                           {"in_dir", "sub", true},
                           {"abs_in_dir", root + "/sub", true},
                           {"sub/back", "../../outside", true},
                           {"sub/hop", "../up_dir", true},
                           {"loop", "loop", false},
                           {"dangling_out", "../outside/missing", false}});
    if (why.empty()) before = Snapshot(outside);
  }
  std::string Root(const std::string& below) const { return root + "/" + below; }

  TempDir dir;
  std::string root = dir.Join("root"), outside = dir.Join("outside");
  std::string why;  // empty when the layout stands
  std::map<std::string, std::string> before;
};

enum Expect { kOk, kOut, kFail };  // kOut: refused as outside the folders

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
    {"read", kOut, kOut, {"up_file", "abs_file", "up_dir/secret", "abs_dir/secret"}},
    {"read", kOut, kOut, {"sub/back/secret", "sub/hop/secret", "../outside/secret"}},
    {"read", kOut, kOut, {"sub/../../outside/secret"}},
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
    {"delete", kOut, kOut, {"up_dir/secret", "../outside/secret"}},
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
      const bool bRefuse = i % 2 == 0;
      SCOPED_TRACE(std::string(c.op) + " " + path + (bRefuse ? " (refuse)" : " (follow)"));
      LinkLayout layout;
      if (!layout.why.empty()) GTEST_SKIP() << layout.why;
      FileConfinement confinement({layout.root},
                                  bRefuse ? LinkPolicy::kRefuse : LinkPolicy::kFollowInside);
      const Status s = RunOperation(c.op, layout, layout.Root(path));
      EXPECT_EQ(Outcome(s), bRefuse ? c.refuse : c.follow) << s.code();
      EXPECT_EQ(Snapshot(layout.outside), layout.before);
    }
  }
}

TEST_P(FileConfinementTest, ScopesNestPerThreadAndAnAbsoluteLinkMayJoinAnotherFolder) {
  LinkLayout layout;
  if (!layout.why.empty()) GTEST_SKIP() << layout.why;
  const std::string link = layout.Root("up_file");
  EXPECT_TRUE(FileConfinement::Current() == nullptr && CheckConfined(link).ok());
  {
    FileConfinement outer({layout.root}, LinkPolicy::kRefuse);
    EXPECT_TRUE(IsOutsideConfinement(CheckConfined(link)));
    // The folder itself and paths elsewhere are used as they are.
    EXPECT_TRUE(CheckConfined(layout.root).ok() && CheckConfined(layout.outside + "/secret").ok());
    {
      FileConfinement inner({layout.Root("sub")}, LinkPolicy::kRefuse);
      EXPECT_EQ(FileConfinement::Current(), &inner);
      EXPECT_TRUE(CheckConfined(link).ok());  // not below the inner folder
    }
    EXPECT_EQ(FileConfinement::Current(), &outer);
    Status other;  // another thread keeps its own (none)
    std::thread([&] { other = CheckConfined(link); }).join();
    EXPECT_TRUE(other.ok());
  }
  EXPECT_EQ(FileConfinement::Current(), nullptr);
  {
    // One that ends before another started after it leaves the later one in force.
    auto first = std::make_unique<FileConfinement>(std::vector<std::string>{layout.root},
                                                   LinkPolicy::kRefuse);
    FileConfinement second({layout.Root("sub")}, LinkPolicy::kRefuse);
    first.reset();
    EXPECT_EQ(FileConfinement::Current(), &second);
  }
  EXPECT_EQ(FileConfinement::Current(), nullptr);
  // An absolute link may lead into another of the folders.
  const TempDir dir;
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
  // A folder beside them, as deep as they are, is not below them: its file is the one used.
  DirEntry entry;
  EXPECT_TRUE(GetFileInfo(dir.Join("c/file"), &entry).ok() && entry.size == 1);
  uint32_t attributes = 0;
  EXPECT_TRUE(GetFileAttributes(dir.Join("c/file"), &attributes).ok());
  // A folder of the confinement is listed as the confinement holds it, the same folder that
  // the calls on its entries reach even when its path has come to lead elsewhere (POSIX keeps
  // the folder open between calls; Windows holds the way during each call instead).
  std::error_code ec;
  fs::rename(dir.Join("a"), dir.Join("a_old"), ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_directory(dir.Join("a"));
  WriteText(dir.Join("a/new"), "n");
  DirReader reader;
  ASSERT_TRUE(reader.Open(dir.Join("a")).ok());
  std::vector<std::string> names;
  while (reader.Next(&entry)) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  const std::vector<std::string> held{"abs_b", "abs_c", "rel_b"};
  const std::vector<std::string> replacement{"new"};
  EXPECT_EQ(names, PathSeparator() == '/' ? held : replacement);
}

}  // namespace
}  // namespace velmora::osal
