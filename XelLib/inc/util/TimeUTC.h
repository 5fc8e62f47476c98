// TimeUTC: a UTC time as 100-ns units since 1601-01-01, with its fixed text form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/Result.h"

namespace velmora::util {

// Something that can be written as text and read back.
class Serializable {
 public:
  virtual ~Serializable() = default;
  virtual Result WriteAsText(char* buffer, size_t size, size_t* length) const = 0;
  virtual Result ReadFromText(const char* text, size_t length) = 0;
};

// A value type; 0 means "not set". Not thread-safe (a value owned by one thread).
class TimeUTC : public Serializable {
 public:
  static constexpr uint64_t kTicksPerSecond = 10000000ull;
  // Seconds from 1601-01-01 to 2001-01-01.
  static constexpr uint64_t kSecondsTo2001 = 12622780800ull;

  TimeUTC() = default;
  explicit TimeUTC(uint64_t value) : M_Value(value) {}

  bool IsSet() const { return M_Value != 0; }
  void SetToNow();
  void SetValue(uint64_t value) { M_Value = value; }
  uint64_t GetValue() const { return M_Value; }
  // Adds count seconds when the time is set.
  void AddSeconds(int64_t count);
  // Seconds since 2001-01-01, clamped to 0 .. 2147483647.
  uint32_t SecondsSince2001() const;

  // "%4.4u-%2.2u-%2.2uT%2.2u:%2.2u:%2.2u.%3.3u"; the buffer needs 24 bytes.
  Result WriteAsText(char* buffer, size_t size, size_t* length) const override;
  // Reads the text form (fields may be missing; a "+hh:mm"/"-hh:mm" suffix is applied).
  // Always succeeds: fields are not range-checked and carry into later dates.
  Result ReadFromText(const char* text, size_t length) override;

  bool operator==(const TimeUTC& o) const { return M_Value == o.M_Value; }
  bool operator<(const TimeUTC& o) const { return M_Value < o.M_Value; }

 private:
  uint64_t M_Value = 0;
};

}  // namespace velmora::util
