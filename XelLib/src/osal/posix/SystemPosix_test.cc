// Tests of the POSIX side of the system information: ids, time zones, the folders chosen
// from the environment, the machine id and the absence of failover clusters.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "osal/System.h"

namespace velmora::osal {
namespace {

TEST(SystemPosixTest, IdsAndClockUnits) {
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(getpid()));
  std::string cwd;
  ASSERT_TRUE(GetWorkingDirectory(&cwd).ok());
  EXPECT_EQ(cwd[0], '/');
  EXPECT_EQ(PerformanceFrequency(), 1000000000u);
}

TEST(SystemPosixTest, FileTimeToLocalUsesTheTimeZone) {
  const char* saved = getenv("TZ");
  std::string saved_value = saved ? saved : "";
  struct Case {
    const char* tz;
    int hour;
  } const cases[] = {{"UTC", 13}, {"UTC-2", 15}, {"EST5", 8}};
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    tzset();
    // 2024-02-29 13:14:15.678 UTC
    LocalTime lt = FileTimeToLocal(133536860556780000ull);
    EXPECT_EQ(lt.year, 2024) << c.tz;
    EXPECT_EQ(lt.month, 2) << c.tz;
    EXPECT_EQ(lt.day, 29) << c.tz;
    EXPECT_EQ(lt.hour, c.hour) << c.tz;
    EXPECT_EQ(lt.minute, 14) << c.tz;
    EXPECT_EQ(lt.second, 15) << c.tz;
    EXPECT_EQ(lt.millisecond, 678) << c.tz;
  }
  if (saved) {
    setenv("TZ", saved_value.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(SystemPosixTest, TempDirectoryOrderOfVariables) {
  std::string saved[3];
  bool was_set[3];
  const char* names[3] = {"TMP", "TEMP", "TMPDIR"};
  for (int i = 0; i < 3; ++i) {
    const char* v = getenv(names[i]);
    was_set[i] = v != nullptr;
    if (v) saved[i] = v;
    unsetenv(names[i]);
  }
  EXPECT_EQ(TempDirectory(), "/tmp/");
  setenv("TMPDIR", "/d3/", 1);
  EXPECT_EQ(TempDirectory(), "/d3/");
  setenv("TEMP", "/d2", 1);
  EXPECT_EQ(TempDirectory(), "/d2/");
  setenv("TMP", "/var/tmp/x", 1);
  EXPECT_EQ(TempDirectory(), "/var/tmp/x/");
  std::string temp;
  ASSERT_TRUE(GetSpecialFolder(SpecialFolder::kTemp, &temp).ok());
  EXPECT_EQ(temp, "/var/tmp/x");
  for (int i = 0; i < 3; ++i) {
    if (was_set[i]) {
      setenv(names[i], saved[i].c_str(), 1);
    } else {
      unsetenv(names[i]);
    }
  }
}

TEST(SystemPosixTest, SpecialFoldersFollowXdgAndFixedPlaces) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  std::string saved_xdg = xdg ? xdg : "", saved_home = home ? home : "";
  std::string path;
  setenv("HOME", "/home/someone/", 1);
  struct Case {
    const char* xdg;  // nullptr: unset
    const char* expected;
  } const cases[] = {{"/cfg/here/", "/cfg/here"},
                     {"relative/cfg", "/home/someone/.config"},  // not absolute: ignored
                     {nullptr, "/home/someone/.config"}};
  for (const Case& c : cases) {
    if (c.xdg) {
      setenv("XDG_CONFIG_HOME", c.xdg, 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    ASSERT_TRUE(GetSpecialFolder(SpecialFolder::kUserAppData, &path).ok());
    EXPECT_EQ(path, c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
  if (xdg) {
    setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  if (home) {
    setenv("HOME", saved_home.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  ASSERT_TRUE(GetSpecialFolder(SpecialFolder::kCommonAppData, &path).ok());
  EXPECT_EQ(path, "/var/lib");
  ASSERT_TRUE(GetSpecialFolder(SpecialFolder::kProgramFiles, &path).ok());
  EXPECT_EQ(path, "/usr/lib");
}

TEST(SystemPosixTest, ProductIdIsTheMachineIdAndThereAreNoClusters) {
  std::ifstream in("/etc/machine-id");
  std::string expected;
  std::string id;
  if (!(in >> expected)) {
    EXPECT_TRUE(GetProductId(&id).Is(ErrorKind::kNotFound));
  } else {
    ASSERT_TRUE(GetProductId(&id).ok());
    EXPECT_EQ(id, expected);
  }
  std::string name = "stale";
  EXPECT_TRUE(GetClusterName(&name).Is(ErrorKind::kNotSupported));
  EXPECT_TRUE(name.empty());
  std::string key = "stale";
  EXPECT_TRUE(GetClusterKey(&key).Is(ErrorKind::kNotSupported));
  EXPECT_TRUE(key.empty());
}

}  // namespace
}  // namespace velmora::osal
