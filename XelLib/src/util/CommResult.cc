// CommResult setters, level rules and texts.
#include "util/CommResult.h"

#include <cstdio>
#include <cstring>

namespace velmora::util {

namespace {

struct CommCategoryRow {
  const char* long_name;
  const char* short_name;
};

// Indexed by category value.
constexpr CommCategoryRow kCommCategories[] = {
    {"UNKNOWN", "UNKN"},
    {"OK", "OK"},
    {"INTERNAL", "INT"},
    {"BAD-CONTENT", "CONTENT"},
    {"RESTRICTION", "RESTR"},
    {"LOCAL-BUSY", "LBSY"},
    {"NETWORK-BUSY", "NBSY"},
    {"REMOTE-BUSY", "RBSY"},
    {"CALL-NOT-ANSWERED", "NOANS"},
    {"NETWORK_UNAVAILABLE", "NONET"},
    {"BAD-TARGET", "TARGET"},
    {"INCOMPATIBLE-TARGET", "INCOMP"},
    {"HUMAN-TARGET", "HUMAN"},
    {"WRONG-TARGET", "WRONG"},
    {"SERVER-POWER-FAILURE", "PWROFF"},
    {"CANCELED-LOCAL", "CANC-L"},
    {"CANCELED-REMOTE", "CANC-R"},
    {"EXPIRED", "EXPIRED"},
    {"RESOURCE", "RES"},
    {"BAD-LINE-QUALITY", "BLINE"},
    {"BAD-IP-QOS", "BNET"},
    {"PROTOCOL", "PROT"},
    {"BAD-LOCAL-PERF", "LPERF"},
    {"BAD-REMOTE-PERF", "RPERF"},
};
constexpr int32_t kCommCategoryCount =
    static_cast<int32_t>(sizeof(kCommCategories) / sizeof(kCommCategories[0]));

constexpr size_t kDiagnosticsMax = 511;
constexpr size_t kTextMax = 999;

}  // namespace

const char* CommResult::CategoryLongName(int32_t category) {
  if (category < 0 || category >= kCommCategoryCount) return "UNKNOWN";
  return kCommCategories[category].long_name;
}

const char* CommResult::CategoryShortName(int32_t category) {
  if (category < 0 || category >= kCommCategoryCount) return "UNKN";
  return kCommCategories[category].short_name;
}

bool CommResult::CategoryFromLongName(const std::string& name, int32_t* category) {
  for (int32_t i = 0; i < kCommCategoryCount; ++i) {
    if (name == kCommCategories[i].long_name) {
      *category = i;
      return true;
    }
  }
  return false;
}

void CommResult::SetErrorCode(const std::string& code) {
  size_t len = code.size() < kErrorCodeMax ? code.size() : kErrorCodeMax;
  memcpy(M_ErrorCode, code.data(), len);
  M_ErrorCode[len] = '\0';
}

void CommResult::SetV(int32_t category, int32_t level, const char* code_text, int32_t code_number,
                      const char* fmt, va_list args) {
  M_ErrorCategory = category;
  M_ConnectionLevel = level;
  std::string code = code_text ? code_text : "";
  if (code_number > 0) code += std::to_string(code_number);
  SetErrorCode(code);
  if (fmt) {
    char buffer[kDiagnosticsMax + 1];
    if (vsnprintf(buffer, sizeof(buffer), fmt, args) < 0) buffer[0] = '\0';
    M_Diagnostics = buffer;
  } else {
    M_Diagnostics.clear();
  }
}

void CommResult::Set(int32_t category, int32_t level, const char* error_code, const char* fmt,
                     ...) {
  va_list args;
  va_start(args, fmt);
  SetV(category, level, error_code, 0, fmt, args);
  va_end(args);
}

void CommResult::SetCode(int32_t category, int32_t level, int32_t error_code, const char* fmt,
                         ...) {
  // A numeric code comes from a later stage of the same job, which never undoes the progress
  // already recorded.
  if (level < M_ConnectionLevel) level = M_ConnectionLevel;
  va_list args;
  va_start(args, fmt);
  SetV(category, level, nullptr, error_code, fmt, args);
  va_end(args);
}

void CommResult::SetOk() {
  M_ErrorCategory = CommOk;
  M_ErrorCode[0] = '\0';
  M_ConnectionLevel = 100;
  M_Diagnostics.clear();
}

void CommResult::RaiseLevel(int32_t level) {
  if (level > M_ConnectionLevel) M_ConnectionLevel = level;
}

void CommResult::TakeOver(const CommResult& other, int32_t cap) {
  int32_t old_level = M_ConnectionLevel;
  *this = other;
  int32_t taken = other.M_ConnectionLevel < cap ? other.M_ConnectionLevel : cap;
  M_ConnectionLevel = old_level > taken ? old_level : taken;
}

std::string CommResult::Text() const {
  char buffer[kTextMax + 1];
  snprintf(buffer, sizeof(buffer), "Cat=%s, ConnLevel=%i, EC=%s, Diag=%s",
           CategoryLongName(M_ErrorCategory), M_ConnectionLevel, M_ErrorCode,
           M_Diagnostics.c_str());
  return buffer;
}

std::string CommResult::CompactText() const {
  return std::string(CategoryShortName(M_ErrorCategory)) + ";" + std::to_string(M_ConnectionLevel) +
         ";" + M_ErrorCode;
}

}  // namespace velmora::util
