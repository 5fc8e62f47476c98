// Tests of the POSIX side of the file layer: native paths, errno values, mode bits.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TempDir.h"
#include "osal/File.h"

namespace velmora::osal {
namespace {

using testing::TempDir;

const OpenOptions kNewFile{kAccessWrite, kShareRead, Disposition::kCreateNew};

TEST(NativePathTest, RemovesLongPathPrefixAndTurnsSeparators) {
  EXPECT_EQ(NativePath("\\\\?\\/tmp\\a\\b.txt"), "/tmp/a/b.txt");
  EXPECT_EQ(NativePath("\\\\?\\UNC\\server\\share\\x"), "//server/share/x");
  EXPECT_EQ(NativePath("/already/native"), "/already/native");
  EXPECT_EQ(NativePath("rel\\x/y"), "rel/x/y");
  EXPECT_FALSE(FileNamesIgnoreCase());
  EXPECT_EQ(PathSeparator(), '/');
}

// A "\" is an ordinary character of a POSIX name: a marked path reaches exactly that file,
// an unmarked one still takes "\" for a separator.
TEST(NativePathTest, MarkedPathsKeepTheBackslashOfANameEverywhere) {
  EXPECT_EQ(LiteralPath("/in/plain.txt"), "/in/plain.txt");
  EXPECT_EQ(NativePath(LiteralPath("/in/a\\b.txt")), "/in/a\\b.txt");
  EXPECT_EQ(NativePath(LiteralPath("rel/a\\b")), "rel/a\\b");
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.Join("a").c_str(), 0700), 0);  // the folder an unmarked path would use
  const std::string name = dir.Join("a\\b.txt");
  File f;
  ASSERT_TRUE(f.Open(LiteralPath(name), kNewFile).ok() && f.Close().ok());
  EXPECT_TRUE(FileExists(LiteralPath(name)));
  EXPECT_FALSE(FileExists(name));  // a/b.txt
  DirEntry entry;
  ASSERT_TRUE(GetFileInfo(LiteralPath(name), &entry).ok());
  EXPECT_EQ(entry.name, "a\\b.txt");
  const std::string renamed = dir.Join("c\\d.txt");
  ASSERT_TRUE(Rename(LiteralPath(name), LiteralPath(renamed), RenameMode::kNoReplace, true).ok());
  EXPECT_TRUE(DeleteFile(LiteralPath(renamed)).ok());
  EXPECT_FALSE(FileExists(LiteralPath(renamed)));
}

TEST(FilePosixTest, MissingFolderKeepsTheNativeCodeAndReadOnlyTakesEveryWriteBit) {
  TempDir dir;
  File f;
  Status s = f.Open(dir.Join("missing/a.txt"), kNewFile);
  EXPECT_TRUE(s.Is(ErrorKind::kPathNotFound));
  EXPECT_EQ(s.code(), ENOENT);  // traced as it came from the system
  std::string path = dir.Join("ro.txt");
  ASSERT_TRUE(f.Open(path, kNewFile).ok() && f.Close().ok());
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ASSERT_TRUE(SetFileAttributes(path, kAttrReadOnly).ok());
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  uint32_t attr = 0;
  ASSERT_TRUE(GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr, kAttrReadOnly);  // only the bits this layer knows
  ASSERT_TRUE(SetFileAttributes(path, kAttrNormal).ok());
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0200, 0200u);
  ASSERT_TRUE(GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(attr, kAttrNormal);
}

TEST(StatusTest, ClassifiesErrnoValues) {
  using enum ErrorKind;
  for (auto [code, kind] : {std::pair{ENOENT, kNotFound},
                            {ENOTDIR, kPathNotFound},
                            {EEXIST, kExists},
                            {EROFS, kAccessDenied},
                            {EISDIR, kAccessDenied},
                            {EWOULDBLOCK, kSharing},
                            {ENOTEMPTY, kNotEmpty},
                            {EXDEV, kNotSupported},
                            {EIO, kOther}}) {
    Status s = Status::FromNative(code);
    EXPECT_TRUE(s.Is(kind) && s.code() == code) << code;
  }
  EXPECT_TRUE(Status::FromNative(0).ok());
  EXPECT_FALSE(Status::FromNative(ENOENT).Text().empty());
}

}  // namespace
}  // namespace velmora::osal
