// Tests of system information, the environment, folders, random numbers, UTF
// conversion and the system event log that hold on every platform.
#include "osal/System.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>

#include "ChildProcess.h"
#include "TempDir.h"
#include "osal/File.h"

namespace velmora::osal {
namespace {

// Child: says the value of the environment variable it is given, or "(unset)".
XEL_CHILD_MODE(print_env) {
  const char* value = std::getenv(args.at(0).c_str());
  testing::ChildSay(value ? value : "(unset)");
  return 0;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Keeps an environment variable's value and puts it back at the end of a test.
struct SavedVariable {
  explicit SavedVariable(const char* name) : M_Name(name) {
    if (const char* pValue = std::getenv(name)) M_Value = pValue;
  }
  ~SavedVariable() {
    (void)(M_Value ? SetEnvironmentVariable(M_Name, *M_Value) : UnsetEnvironmentVariable(M_Name));
  }
  std::string M_Name;
  std::optional<std::string> M_Value;
};

TEST(SystemTest, IdsFoldersAndWorkingDirectory) {
  EXPECT_TRUE(CurrentProcessId() != 0 && !HostName().empty());
  std::string id, again;
  if (GetProductId(&id).ok()) {
    EXPECT_TRUE(GetProductId(&again).ok() && id == again && !id.empty());
    EXPECT_EQ(id.find_first_of(" \r\n"), std::string::npos) << "not trimmed: " << id;
  }
  // Absolute, and no trailing separator except on a root.
  for (SpecialFolder which : {SpecialFolder::kUserAppData, SpecialFolder::kCommonAppData,
                              SpecialFolder::kProgramFiles, SpecialFolder::kTemp}) {
    std::string path;
    ASSERT_TRUE(GetSpecialFolder(which, &path).ok()) << static_cast<int>(which);
    EXPECT_TRUE(path[0] == '/' || (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])));
    EXPECT_TRUE(path == "/" || path.size() == 3 || !IsSeparator(path.back())) << path;
  }
  std::string cwd, temp, now;
  ASSERT_TRUE(GetWorkingDirectory(&cwd).ok() && GetSpecialFolder(SpecialFolder::kTemp, &temp).ok());
  EXPECT_EQ(temp + TempDirectory().back(), TempDirectory());
  ASSERT_TRUE(SetWorkingDirectory(temp).ok() && GetWorkingDirectory(&now).ok() &&
              SetWorkingDirectory(cwd).ok());
  EXPECT_EQ(now, temp);
  EXPECT_TRUE(SetWorkingDirectory("").Is(ErrorKind::kInvalid));
  Status missing = SetWorkingDirectory(temp + "/xel-no-such-folder-here");
  EXPECT_TRUE(missing.Is(ErrorKind::kNotFound) || missing.Is(ErrorKind::kPathNotFound))
      << missing.code();
}

TEST(SystemTest, EnvironmentChangesReachGetenvExpansionChildrenAndTempDirectory) {
  SavedVariable saved("XEL_TEST_VAR"), tmp("TMP"), temp("TEMP");
  // getenv's text is in the ANSI code page on Windows: ASCII there, any text for the layer.
  ASSERT_TRUE(SetEnvironmentVariable("XEL_TEST_VAR", "value").ok());
  EXPECT_STREQ(std::getenv("XEL_TEST_VAR"), "value");
  testing::ChildProcess child;
  std::string line;
  ASSERT_TRUE(child.Start("print_env", {"XEL_TEST_VAR"}) && child.ReadLine(&line, 10000));
  EXPECT_EQ(line, "value");
  ASSERT_TRUE(SetEnvironmentVariable("XEL_TEST_VAR", "v\xC3\xA9").ok());
  EXPECT_EQ(ExpandEnvironment("a%XEL_TEST_VAR%b%XEL_NO_SUCH_VAR%c%"),
            "av\xC3\xA9"
            "b%XEL_NO_SUCH_VAR%c%");
  EXPECT_EQ(ExpandEnvironment("100%%"), "100%%");
  ASSERT_TRUE(UnsetEnvironmentVariable("XEL_TEST_VAR").ok());
  EXPECT_EQ(std::getenv("XEL_TEST_VAR"), nullptr);
  EXPECT_EQ(ExpandEnvironment("%XEL_TEST_VAR%"), "%XEL_TEST_VAR%");
  EXPECT_TRUE(UnsetEnvironmentVariable("XEL_TEST_VAR").ok());  // already gone
  for (const char* bad : {"", "A=B"}) {
    EXPECT_TRUE(SetEnvironmentVariable(bad, "x").Is(ErrorKind::kInvalid)) << bad;
    EXPECT_TRUE(UnsetEnvironmentVariable(bad).Is(ErrorKind::kInvalid)) << bad;
  }
  // The temporary folder follows TMP.
  std::string folder;
  ASSERT_TRUE(GetWorkingDirectory(&folder).ok() && SetEnvironmentVariable("TMP", folder).ok());
  const std::string dir = TempDirectory();
  ASSERT_TRUE(dir.starts_with(folder) && dir.size() <= folder.size() + 1 && IsSeparator(dir.back()))
      << dir;
  EXPECT_EQ(ExpandEnvironment("%TMP%\\trace.log"), folder + "\\trace.log");
  // Without TMP, "%TMP%" still names the temporary folder.
  ASSERT_TRUE(UnsetEnvironmentVariable("TMP").ok() && SetEnvironmentVariable("TEMP", folder).ok());
  EXPECT_EQ(ExpandEnvironment("%TMP%/a"), dir.substr(0, dir.size() - 1) + "/a");
}

TEST(SystemTest, RandomBytesAndUuids) {
  std::set<std::string> seen;
  uint8_t id[16], big[1000] = {};
  for (int i = 0; i < 20; ++i) {
    CreateUuid(id);
    EXPECT_EQ(std::pair(id[6] >> 4, id[8] & 0xC0), std::pair(4, 0x80));  // version 4, RFC 4122
    seen.emplace(reinterpret_cast<char*>(id), 16);
  }
  RandomBytes(big, sizeof big);
  EXPECT_TRUE(seen.size() == 20u && std::count(big, big + sizeof big, 0) < 30);
}

TEST(SystemTest, Utf8Utf16RoundTrips) {
  std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf8ToUtf16(""), u"");
  // Invalid input becomes U+FFFD: stray continuation, overlong, truncated, surrogate, above
  // U+10FFFF.
  for (auto [in, out] : {std::pair{"\x80x", u"\uFFFDx"},
                         {"\xC0\xAF", u"\uFFFD\uFFFD"},
                         {"\xE2\x82", u"\uFFFD"},
                         {"\xE2\x82x", u"\uFFFDx"},
                         {"\xED\xA0\x80", u"\uFFFD"},
                         {"\xF4\x90\x80\x80", u"\uFFFD"}}) {
    EXPECT_EQ(Utf8ToUtf16(in), out) << in;
  }
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00}), "\xEF\xBF\xBD");
}

TEST(SystemTest, OwnerOnlyFilesAreReadAndOthersReadableOnesRefused) {
  testing::TempDir dir;
  const std::string secret = dir.Join("secret.key"), shared = dir.Join("shared.key");
  ASSERT_TRUE(WriteOwnerOnlyFile(secret, "key bytes\n").ok());
  ASSERT_TRUE(WriteOwnerOnlyFile(secret, "new key\n").ok());  // replaces, stays private
  std::string content = "stale";
  ASSERT_TRUE(ReadOwnerOnlyFile(secret, 64, &content).ok());
  EXPECT_EQ(content, "new key\n");
  EXPECT_TRUE(ReadOwnerOnlyFile(secret, 4, &content).Is(ErrorKind::kInvalid) && content.empty());
  EXPECT_TRUE(ReadOwnerOnlyFile(dir.Join("missing"), 64, &content).Is(ErrorKind::kNotFound));
  // A file made the ordinary way inherits the folder's or the umask's readers.
  ASSERT_TRUE(File().Open(shared, {kAccessWrite, kShareRead, Disposition::kCreateAlways}).ok());
  Status s = ReadOwnerOnlyFile(shared, 64, &content);
  if (s.ok()) GTEST_SKIP() << "new files are private to their owner here; nothing to refuse";
  EXPECT_TRUE(s.Is(ErrorKind::kAccessDenied)) << s.Text();
}

TEST(SystemTest, SystemEventRejectsUnknownType) {
  for (int type : {0, 1, 2, 3}) {
    EXPECT_TRUE(ReportSystemEvent("XelTest", type, 42, "osal test event").ok()) << type;
  }
  EXPECT_TRUE(ReportSystemEvent("XelTest", 7, 42, "bad").Is(ErrorKind::kInvalid));
}

}  // namespace
}  // namespace velmora::osal
