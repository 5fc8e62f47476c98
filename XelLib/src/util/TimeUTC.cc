// TimeUTC: calendar arithmetic between file times and the fixed text form.
#include "util/TimeUTC.h"

#include <cstdio>
#include <string>

#include "osal/System.h"

namespace velmora::util {
namespace {

// Days before each month of a four-year cycle starting with 1901 (three common years, then
// a leap year); the last entry ends the cycle. Every fourth year is a leap year, which is
// right from 1901 to 2099 and keeps the arithmetic free of special cases.
constexpr uint32_t kCycleDays[49] = {0,    31,   59,   90,   120,  151,  181,  212,  243,  273,
                                     304,  334,  365,  396,  424,  455,  485,  516,  546,  577,
                                     608,  638,  669,  699,  730,  761,  789,  820,  850,  881,
                                     911,  942,  973,  1003, 1034, 1064, 1095, 1126, 1155, 1186,
                                     1216, 1247, 1277, 1308, 1339, 1369, 1400, 1430, 1461};

constexpr uint64_t kTicksPerMs = 10000;
// 1901-01-01 00:00:00 as a file time: earlier values are written as this instant.
constexpr uint64_t kMinWritable = 94670208000000000ull;
// Days from 1601-01-01 to 1901-01-01.
constexpr uint64_t kDaysTo1901 = 109572;
constexpr size_t kTextSize = 24;  // 23 characters and the terminating NUL

}  // namespace

void TimeUTC::SetToNow() { M_Value = osal::SystemTimeAsFileTime(); }

void TimeUTC::AddSeconds(int64_t count) {
  if (M_Value == 0) return;
  // Unsigned arithmetic: a negative count wraps to the subtraction it stands for.
  M_Value += static_cast<uint64_t>(count) * kTicksPerSecond;
}

uint32_t TimeUTC::SecondsSince2001() const {
  uint64_t seconds = M_Value / kTicksPerSecond;
  if (seconds <= kSecondsTo2001) return 0;
  seconds -= kSecondsTo2001;
  return seconds > 2147483647u ? 2147483647u : static_cast<uint32_t>(seconds);
}

Result TimeUTC::WriteAsText(char* buffer, size_t size, size_t* length) const {
  if (buffer == nullptr || size < kTextSize) {
    if (length != nullptr) *length = 0;
    return Result::Make(ErrLogicArgs, ModIntellNetwork, ObjIntellNetwork, SevError,
                        "buffer too small for TimeUTC");
  }
  uint64_t value = M_Value < kMinWritable ? kMinWritable : M_Value;
  uint64_t ms_total = value / kTicksPerMs;
  unsigned millisecond = static_cast<unsigned>(ms_total % 1000);
  uint64_t seconds_total = ms_total / 1000;
  unsigned second = static_cast<unsigned>(seconds_total % 60);
  uint64_t minutes_total = seconds_total / 60;
  unsigned minute = static_cast<unsigned>(minutes_total % 60);
  unsigned hour = static_cast<unsigned>((minutes_total / 60) % 24);

  uint64_t days = minutes_total / 1440 - kDaysTo1901;
  uint64_t cycle = days / 1461;
  uint32_t day_in_cycle = static_cast<uint32_t>(days % 1461);
  uint32_t m = day_in_cycle / 31;  // never above the month sought
  while (kCycleDays[m + 1] <= day_in_cycle) ++m;
  unsigned day = day_in_cycle - kCycleDays[m] + 1;
  unsigned month = m % 12 + 1;
  uint64_t year = m / 12 + cycle * 4 + 1901;
  if (year > 9999) year = 9999;

  // "YYYY-MM-DDThh:mm:ss.mmm", digit by digit: every poll writes two of these.
  char* p = buffer;
  auto digits = [&p](unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      p[i] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
    p += count;
  };
  digits(static_cast<unsigned>(year), 4);
  *p++ = '-';
  digits(month, 2);
  *p++ = '-';
  digits(day, 2);
  *p++ = 'T';
  digits(hour, 2);
  *p++ = ':';
  digits(minute, 2);
  *p++ = ':';
  digits(second, 2);
  *p++ = '.';
  digits(millisecond, 3);
  *p = '\0';
  if (length != nullptr) *length = static_cast<size_t>(p - buffer);
  return Result();
}

Result TimeUTC::ReadFromText(const char* text, size_t length) {
  // sscanf needs a terminated string; the text form is short, longer input is copied whole.
  std::string copy(text != nullptr ? text : "", text != nullptr ? length : 0);
  unsigned year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
  sscanf(copy.c_str(), "%u-%u-%uT%u:%u:%u.%u", &year, &month, &day, &hour, &minute, &second,
         &millisecond);

  // Fields are not range-checked: an overlarge month or day carries into later dates.
  // Unsigned arithmetic keeps the table index in range for any input (a year before 1901
  // wraps around instead of indexing outside the table).
  uint32_t y = year - 1901;
  uint64_t days =
      uint64_t{y / 4} * 1461 + kCycleDays[(y * 12 + month - 1) % 48] + kDaysTo1901 + day - 1;
  uint64_t value =
      ((((days * 24 + hour) * 60 + minute) * 60 + second) * 1000 + millisecond) * kTicksPerMs;

  // A time-zone suffix "+hh:mm" or "-hh:mm" follows the 19 characters of date and time.
  for (size_t i = copy.size(); i-- > 19;) {
    char c = copy[i];
    if (c != '+' && c != '-') continue;
    unsigned hours = 0, minutes = 0;
    sscanf(copy.c_str() + i + 1, "%u:%u", &hours, &minutes);
    uint64_t offset = (uint64_t{hours} * 60 + minutes) * 60 * kTicksPerSecond;
    // Local time = UTC + offset, so a "+" zone is ahead of UTC.
    if (c == '+') {
      value -= offset;
    } else {
      value += offset;
    }
    break;
  }
  M_Value = value;
  return Result();
}

}  // namespace velmora::util
