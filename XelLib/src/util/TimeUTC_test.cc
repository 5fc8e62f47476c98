// Tests of TimeUTC's calendar arithmetic and text form.
#include "util/TimeUTC.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace velmora::util {
namespace {

uint64_t Read(const char* text) {
  TimeUTC t;
  EXPECT_TRUE(t.ReadFromText(text, strlen(text)).IsSuccess());
  return t.GetValue();
}

std::string Write(uint64_t value) {
  char buffer[32];
  size_t length = 99;
  Result r = TimeUTC(value).WriteAsText(buffer, sizeof buffer, &length);
  EXPECT_TRUE(r.IsSuccess());
  EXPECT_EQ(length, strlen(buffer));
  return std::string(buffer, length);
}

constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 as a file time
constexpr uint64_t kTicksPerDay = 86400ull * TimeUTC::kTicksPerSecond;

// 2100 is no leap year in the Gregorian calendar, but this arithmetic knows one rule only.
// Partial texts are completed, garbage is 2000-01-01, overlarge fields carry over, a zone
// suffix gives UTC, and the dashes of the date are never taken for a zone.
TEST(TimeUTC, ReadsAndWritesLeapYearsPartialTextsCarriesAndZones) {
  EXPECT_EQ(Read("1970-01-01T00:00:00.000"), kUnixEpoch);
  EXPECT_EQ(Write(kUnixEpoch + 1), "1970-01-01T00:00:00.000");  // below a millisecond
  EXPECT_EQ(Read("2001-01-01T00:00:00.000"), TimeUTC::kSecondsTo2001 * TimeUTC::kTicksPerSecond);
  EXPECT_EQ(Read("1904-03-01") - Read("1904-02-28"), 2 * kTicksPerDay);
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"1901-01-01T00:00:00.000", nullptr}, {"1999-12-31T23:59:59.999", nullptr},
      {"2000-02-29T12:00:00.001", nullptr}, {"9999-12-31T23:59:59.999", nullptr},
      {"2100-02-29T00:00:00.000", nullptr}, {"2026-12-04", "2026-12-04T00:00:00.000"},
      {"2026-12-04T04:55", "2026-12-04T04:55:00.000"}, {"", "2000-01-01T00:00:00.000"},
      {"garbage", "2000-01-01T00:00:00.000"}, {"2026-13-01", "2027-01-01T00:00:00.000"},
      {"2026-02-30", "2026-03-02T00:00:00.000"}, {"2026-12-04T24:00", "2026-12-05T00:00:00.000"},
      {"2026-12-04T05:55:39.000+01:00", "2026-12-04T04:55:39.000"},
      {"2026-12-04T02:25:39.000-02:30", "2026-12-04T04:55:39.000"},
      {"2026-12-04T05:55:39+01", "2026-12-04T04:55:39.000"}};
  // clang-format on
  for (const auto& [text, want] : cases) EXPECT_EQ(Write(Read(text)), want ? want : text) << text;
  EXPECT_EQ(Write(Read("2100-02-29") + kTicksPerDay), "2100-03-01T00:00:00.000");
  EXPECT_EQ(Write(Read("1903-12-31") + kTicksPerDay), "1904-01-01T00:00:00.000");
  // Only the given length counts, not what follows in memory.
  TimeUTC t;
  ASSERT_TRUE(t.ReadFromText("2026-12-04T04:55:39.000", 10).IsSuccess());
  EXPECT_EQ(t.GetValue(), Read("2026-12-04"));
  // Years before 1901 are outside the arithmetic; reading them must still not fail.
  EXPECT_TRUE(t.ReadFromText("1600-01-01", 10).IsSuccess());
  EXPECT_TRUE(t.ReadFromText(nullptr, 0).IsSuccess());
}

TEST(TimeUTC, WritesClampedValuesRejectsASmallBufferAndCountsSeconds) {
  EXPECT_EQ(Write(0), "1901-01-01T00:00:00.000");
  EXPECT_EQ(Write(UINT64_MAX).substr(0, 5) + Write(UINT64_MAX).substr(23), "9999-");
  char buffer[24];
  size_t length = 5;
  Result r = TimeUTC(kUnixEpoch).WriteAsText(buffer, 23, &length);
  EXPECT_EQ(r.Code(), MakeResultCode(SevError, ErrLogicArgs, ObjIntellNetwork, ModIntellNetwork));
  EXPECT_EQ(r.ErrorText(), "buffer too small for TimeUTC");
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(TimeUTC(kUnixEpoch).WriteAsText(buffer, sizeof buffer, nullptr).IsSuccess());
  EXPECT_STREQ(buffer, "1970-01-01T00:00:00.000");
  EXPECT_EQ(TimeUTC(Read("2001-01-01T00:00:10.000")).SecondsSince2001(), 10u);
  EXPECT_EQ(TimeUTC(Read("2000-12-31T23:59:59.999")).SecondsSince2001(), 0u);
  EXPECT_EQ(TimeUTC(UINT64_MAX).SecondsSince2001(), 2147483647u);
  TimeUTC unset;
  unset.AddSeconds(3600);
  EXPECT_FALSE(unset.IsSet());
  TimeUTC t(Read("2026-12-04T04:55:39.000"));
  t.AddSeconds(-3600);
  EXPECT_EQ(Write(t.GetValue()), "2026-12-04T03:55:39.000");
  TimeUTC now;
  now.SetToNow();
  EXPECT_GT(now.GetValue(), Read("2020-01-01"));
  EXPECT_LT(now.GetValue(), Read("2200-01-01"));
}

}  // namespace
}  // namespace velmora::util
