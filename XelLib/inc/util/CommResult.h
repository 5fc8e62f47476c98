// CommResult: the outcome of a communication job in the messaging platform's terms.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "util/Result.h"

namespace velmora::util {

// Communication error categories as the platform exchanges them.
enum CommCategory : int32_t {
  CommUnknown = 0,
  CommOk = 1,
  CommInternal = 2,
  CommBadContent = 3,
  CommRestriction = 4,
  CommLocalBusy = 5,
  CommNetworkBusy = 6,
  CommRemoteBusy = 7,
  CommCallNotAnswered = 8,
  CommNetworkUnavailable = 9,
  CommBadTarget = 10,
  CommIncompatibleTarget = 11,
  CommHumanTarget = 12,
  CommWrongTarget = 13,
  CommServerPowerFailure = 14,
  CommCanceledLocal = 15,
  CommCanceledRemote = 16,
  CommExpired = 17,
  CommResource = 18,
  CommBadLineQuality = 19,
  CommBadIpQos = 20,
  CommProtocol = 21,
  CommBadLocalPerf = 22,
  CommBadRemotePerf = 23,
};

// The communication result record carried in answers: category, connection level (how far the
// communication got, 100 = completed), error code and diagnostics. A plain value; not
// thread-safe.
//
// Writing the record to a message document and reading it back (elements "ErrorCategory",
// "ConnectionLevel", "ErrorCode", "Diagnostics" below an element named by the caller) live with
// the message layer in xel, as functions taking a CommResult, because util must not depend on
// xel. They use the accessors and the category-name look-ups below.
class CommResult {
 public:
  static constexpr size_t kErrorCodeMax = 15;

  CommResult() = default;
  virtual ~CommResult() = default;
  CommResult(const CommResult&) = default;
  CommResult& operator=(const CommResult&) = default;

  virtual const char* ClassName() const { return "CommResult"; }

  // Sets category, level, the error code text (null for none; cut to 15 characters) and the
  // diagnostics (formatted, at most 511 characters; empty when fmt is null).
  void Set(int32_t category, int32_t level, const char* error_code, const char* fmt, ...)
      XEL_PRINTF(5, 6);
  // As Set with a numeric error code (used when > 0). The level never drops below the
  // current one.
  void SetCode(int32_t category, int32_t level, int32_t error_code, const char* fmt, ...)
      XEL_PRINTF(5, 6);
  // Category "OK", level 100, no code, no diagnostics.
  void SetOk();
  // Raises the level to level when that is higher.
  void RaiseLevel(int32_t level);
  // Copies other; the level becomes max(old level, min(other's level, cap)).
  void TakeOver(const CommResult& other, int32_t cap);

  // "Cat=%s, ConnLevel=%i, EC=%s, Diag=%s" (at most 999 characters).
  std::string Text() const;
  // "%s;%i;%s": short category name, level, code.
  std::string CompactText() const;

  int32_t ErrorCategory() const { return M_ErrorCategory; }
  int32_t ConnectionLevel() const { return M_ConnectionLevel; }
  const char* ErrorCode() const { return M_ErrorCode; }
  const std::string& Diagnostics() const { return M_Diagnostics; }
  // Direct setters for readers of the record (the code is cut to 15 characters).
  void SetErrorCategory(int32_t category) { M_ErrorCategory = category; }
  void SetConnectionLevel(int32_t level) { M_ConnectionLevel = level; }
  void SetErrorCode(const std::string& code);
  void SetDiagnostics(const std::string& text) { M_Diagnostics = text; }

  // Long name ("BAD-CONTENT"); "UNKNOWN" for a value outside the table.
  static const char* CategoryLongName(int32_t category);
  // Short name ("CONTENT"); "UNKN" for a value outside the table.
  static const char* CategoryShortName(int32_t category);
  // The value of a long name (exact match); false when the name is not in the table.
  static bool CategoryFromLongName(const std::string& name, int32_t* category);

 private:
  void SetV(int32_t category, int32_t level, const char* code_text, int32_t code_number,
            const char* fmt, va_list args);

  int32_t M_ErrorCategory = CommUnknown;
  char M_ErrorCode[kErrorCodeMax + 1] = {};
  int32_t M_ConnectionLevel = 0;
  std::string M_Diagnostics;
};

}  // namespace velmora::util
