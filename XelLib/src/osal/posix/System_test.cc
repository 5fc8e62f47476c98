// Tests of system information, environment expansion, clocks and UTF conversion.
#include "osal/System.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>

namespace velmora::osal {
namespace {

TEST(SystemTest, ProcessAndFolders) {
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(getpid()));
  EXPECT_FALSE(HostName().empty());
  std::string cwd;
  ASSERT_TRUE(GetWorkingDirectory(&cwd).ok());
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(cwd[0], '/');
  EXPECT_TRUE(cwd == "/" || cwd.back() != '/');
}

TEST(SystemTest, TempDirectoryAndExpansion) {
  const char* saved = getenv("TMP");
  std::string saved_value = saved ? saved : "";
  setenv("TMP", "/var/tmp/x", 1);
  EXPECT_EQ(TempDirectory(), "/var/tmp/x/");
  EXPECT_EQ(ExpandEnvironment("%TMP%\\trace.log"), "/var/tmp/x\\trace.log");
  unsetenv("TMP");
  setenv("TEMP", "/t2", 1);
  EXPECT_EQ(ExpandEnvironment("%TMP%/a"), "/t2/a");  // falls back to the temporary folder
  unsetenv("TEMP");
  setenv("XEL_TEST_VAR", "v", 1);
  EXPECT_EQ(ExpandEnvironment("a%XEL_TEST_VAR%b%XEL_NO_SUCH_VAR%c%"), "avb%XEL_NO_SUCH_VAR%c%");
  EXPECT_EQ(ExpandEnvironment("100%%"), "100%%");
  unsetenv("XEL_TEST_VAR");
  if (saved) setenv("TMP", saved_value.c_str(), 1);
}

TEST(SystemTest, ClocksAndTimes) {
  uint64_t t = SystemTimeAsFileTime();
  EXPECT_GT(t, 133000000000000000ull);  // after 2022
  uint64_t c1 = PerformanceCounter();
  uint64_t c2 = PerformanceCounter();
  EXPECT_GE(c2, c1);
  EXPECT_EQ(PerformanceFrequency(), 1000000000u);
  EXPECT_GT(TickCountMs(), 0u);

  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-02-29 13:14:15.678 UTC
  LocalTime lt = FileTimeToLocal(133536860556780000ull);
  EXPECT_EQ(lt.year, 2024);
  EXPECT_EQ(lt.month, 2);
  EXPECT_EQ(lt.day, 29);
  EXPECT_EQ(lt.hour, 13);
  EXPECT_EQ(lt.minute, 14);
  EXPECT_EQ(lt.second, 15);
  EXPECT_EQ(lt.millisecond, 678);
  LocalTime now = CurrentLocalTime();
  EXPECT_GE(now.year, 2024);
  unsetenv("TZ");
  tzset();
}

TEST(SystemTest, RandomBytesAndUuids) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    uint8_t id[16];
    CreateUuid(id);
    EXPECT_EQ(id[6] >> 4, 4);
    EXPECT_EQ(id[8] & 0xC0, 0x80);
    seen.insert(std::string(reinterpret_cast<char*>(id), 16));
  }
  EXPECT_EQ(seen.size(), 20u);
  unsigned char big[1000] = {};
  RandomBytes(big, sizeof big);
  int zeros = 0;
  for (unsigned char b : big) zeros += b == 0;
  EXPECT_LT(zeros, 30);
}

TEST(SystemTest, Utf8Utf16RoundTrips) {
  std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf8ToUtf16(""), u"");

  // Invalid input becomes U+FFFD: stray continuation, overlong, truncated, surrogate.
  EXPECT_EQ(Utf8ToUtf16("\x80x"), u"\uFFFDx");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82x"), u"\uFFFDx");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00}), "\xEF\xBF\xBD");
}

TEST(SystemTest, SystemEventRejectsUnknownType) {
  EXPECT_TRUE(ReportSystemEvent("XelTest", 1, 42, "osal test event").ok());
  EXPECT_TRUE(ReportSystemEvent("XelTest", 7, 42, "bad").Is(ErrorKind::kInvalid));
}

}  // namespace
}  // namespace velmora::osal
