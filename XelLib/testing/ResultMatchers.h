// GoogleMock matchers for velmora::util::Result; a failure shows the result's full text.
#pragma once

#include <gmock/gmock.h>

#include <ostream>
#include <string>

#include "util/Result.h"

namespace velmora::util {

// Lets GoogleTest print a Result as its full text instead of raw bytes.
inline void PrintTo(const Result& result, std::ostream* os) { *os << result.Text(4); }

namespace testing_matchers {

MATCHER(IsOk, "is a success result") {
  *result_listener << "result is " << arg.Text(4);
  return arg.IsSuccess();
}

MATCHER(IsError, "is an error result") {
  *result_listener << "result is " << arg.Text(4);
  return arg.IsError();
}

MATCHER_P(HasCategory, c, "has category " + ::testing::PrintToString(c)) {
  *result_listener << "result is " << arg.Text(4);
  return arg.Category() == static_cast<uint32_t>(c);
}

MATCHER_P(HasText, substring, "has a text containing \"" + std::string(substring) + "\"") {
  *result_listener << "result is " << arg.Text(4);
  return arg.Text(4).find(substring) != std::string::npos;
}

}  // namespace testing_matchers

using testing_matchers::HasCategory;
using testing_matchers::HasText;
using testing_matchers::IsError;
using testing_matchers::IsOk;

}  // namespace velmora::util
