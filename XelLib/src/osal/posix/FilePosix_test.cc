// Tests of the POSIX side of the file layer: native paths, errno values, mode bits.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TempDir.h"
#include "osal/File.h"

namespace velmora::osal {
namespace {

using enum ErrorKind;
const OpenOptions kNewFile{kAccessWrite, kShareRead, Disposition::kCreateNew};

TEST(NativePathTest, PrefixesAndSeparatorsGoMarkedPathsKeepTheBackslashOfAName) {
  for (auto [in, out] : {std::pair{"\\\\?\\/tmp\\a\\b.txt", "/tmp/a/b.txt"},
                         {"\\\\?\\UNC\\server\\share\\x", "//server/share/x"},
                         {"rel\\x/y", "rel/x/y"}}) {
    EXPECT_EQ(NativePath(in), out);
    EXPECT_EQ(NativePath(LiteralPath(out)), out);
  }
  EXPECT_EQ(NativePath(LiteralPath("/in/a\\b.txt")), "/in/a\\b.txt");
  EXPECT_TRUE(!FileNamesIgnoreCase() && PathSeparator() == '/');
  testing::TempDir dir;
  ASSERT_EQ(::mkdir(dir.Join("a").c_str(), 0700), 0);  // the folder an unmarked path would use
  const std::string name = dir.Join("a\\b.txt"), renamed = LiteralPath(dir.Join("c\\d.txt"));
  DirEntry entry;
  ASSERT_TRUE(File().Open(LiteralPath(name), kNewFile).ok() &&
              GetFileInfo(LiteralPath(name), &entry).ok());
  EXPECT_TRUE(!FileExists(name) && entry.name == "a\\b.txt");
  ASSERT_TRUE(Rename(LiteralPath(name), renamed, RenameMode::kNoReplace, true).ok());
  EXPECT_TRUE(DeleteFile(renamed).ok() && !FileExists(renamed));
}

TEST(FilePosixTest, ErrnoValuesKeepTheirCodeAndReadOnlyTakesEveryWriteBit) {
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
    EXPECT_TRUE(s.Is(kind) && s.code() == code && !s.Text().empty()) << code;
  }
  EXPECT_TRUE(Status::FromNative(0).ok());
  testing::TempDir dir;
  Status s = File().Open(dir.Join("missing/a.txt"), kNewFile);
  EXPECT_TRUE(s.Is(kPathNotFound) && s.code() == ENOENT);  // traced as it came from the system
  std::string path = dir.Join("ro.txt");
  struct stat st;
  uint32_t attr = 0;
  ASSERT_TRUE(File().Open(path, kNewFile).ok() && ::chmod(path.c_str(), 0666) == 0);
  ASSERT_TRUE(SetFileAttributes(path, kAttrReadOnly).ok() && ::stat(path.c_str(), &st) == 0 &&
              GetFileAttributes(path, &attr).ok());
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(attr, kAttrReadOnly);  // only the bits this layer knows
  ASSERT_TRUE(SetFileAttributes(path, kAttrNormal).ok() && ::stat(path.c_str(), &st) == 0 &&
              GetFileAttributes(path, &attr).ok());
  EXPECT_TRUE((st.st_mode & 0200) && attr == kAttrNormal);
}

}  // namespace
}  // namespace velmora::osal
