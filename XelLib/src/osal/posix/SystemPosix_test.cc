// Tests of the POSIX side of the file layer (native paths, errno values, mode bits), the system
// information (folders, machine id, no clusters) and kernel thread names.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "TempDir.h"
#include "osal/File.h"
#include "osal/System.h"
#include "osal/Thread.h"

namespace velmora::osal {
namespace {

// Sets (value) or unsets (nullptr) variables, and puts every one back when it ends.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (const auto& [name, value] : M_Saved) Set(name.c_str(), value ? value->c_str() : nullptr);
  }
  void Set(const char* name, const char* value) {
    const char* pOld = getenv(name);
    M_Saved.try_emplace(name, pOld ? std::optional<std::string>(pOld) : std::nullopt);
    value ? setenv(name, value, 1) : unsetenv(name);
    tzset();
  }

 private:
  std::map<std::string, std::optional<std::string>> M_Saved;
};

TEST(SystemPosixTest, FoldersFollowTheEnvironmentAndFixedPlaces) {
  ScopedEnvironment env;
  for (const char* name : {"TMP", "TEMP", "TMPDIR"}) env.Set(name, nullptr);
  EXPECT_EQ(TempDirectory(), "/tmp/");
  for (auto [name, value, expected] : {std::tuple{"TMPDIR", "/d3/", "/d3/"},
                                       {"TEMP", "/d2", "/d2/"},
                                       {"TMP", "/var/tmp/x", "/var/tmp/x/"}}) {
    env.Set(name, value);
    EXPECT_EQ(TempDirectory(), expected) << name;
  }
  env.Set("HOME", "/home/someone/");
  using enum SpecialFolder;
  // A relative XDG_CONFIG_HOME is ignored.
  for (auto [xdg, which, expected] : {std::tuple{"/cfg/here/", kUserAppData, "/cfg/here"},
                                      {"relative/cfg", kUserAppData, "/home/someone/.config"},
                                      {nullptr, kUserAppData, "/home/someone/.config"},
                                      {nullptr, kCommonAppData, "/var/lib"},
                                      {nullptr, kProgramFiles, "/usr/lib"},
                                      {nullptr, kTemp, "/var/tmp/x"}}) {
    std::string path;
    env.Set("XDG_CONFIG_HOME", xdg);
    ASSERT_TRUE(GetSpecialFolder(which, &path).ok());
    EXPECT_EQ(path, expected) << (xdg ? xdg : "(unset)");
  }
}

TEST(SystemPosixTest, ProductIdIsTheMachineIdAndThereAreNoClusters) {
  std::ifstream in("/etc/machine-id");
  std::string expected, id, name = "stale", key = "stale";
  const Status status = GetProductId(&id);
  EXPECT_TRUE(in >> expected ? status.ok() && id == expected : status.Is(ErrorKind::kNotFound));
  EXPECT_TRUE(GetClusterName(&name).Is(ErrorKind::kNotSupported) &&
              GetClusterKey(&key).Is(ErrorKind::kNotSupported));
  EXPECT_EQ(name + key, "");
}

TEST(ThreadPosixTest, KernelNameIsCutToFifteenBytesAtACharacterBoundary) {
  for (auto [name, kernel_name] : {std::pair{"a-rather-long-thread-name", "a-rather-long-t"},
                                   {"short", "short"},
                                   {"fourteen-bytes\xC3\xA9x", "fourteen-bytes"}}) {  // é split
    char seen[32] = {};
    OsThread thread;
    ASSERT_TRUE(
        thread.Start(name, [&] { pthread_getname_np(pthread_self(), seen, sizeof seen); }).ok() &&
        thread.Join().ok());
    EXPECT_STREQ(seen, kernel_name) << name;
  }
}

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
