// Name tables and class ranges of the result code fields.
#include "util/ResultCode.h"

#include <cstddef>

namespace velmora::util {

namespace {

struct CategoryRow {
  uint32_t code;
  const char* name;
  uint32_t from;
  uint32_t to;
};

// Ordered by code. The ranges nest: a category's class holds every category code in
// [from, to), which is how callers ask "is this some kind of temporary error?".
constexpr CategoryRow kCategories[] = {
    {1, "Error", 1, 256},
    {2, "ErrTemp", 2, 100},
    {3, "ErrAvailable", 3, 20},
    {4, "ErrObjExist", 4, 5},
    {5, "ErrNotEmpty", 5, 6},
    {6, "ErrEndOfObject", 6, 7},
    {7, "ErrMoreData", 7, 8},
    {8, "ErrLoop", 8, 20},
    {20, "ErrNotAvailable", 20, 100},
    {21, "ErrObjNotExist", 21, 22},
    {22, "ErrEmpty", 22, 30},
    {30, "ErrObjSharing", 30, 40},
    {31, "ErrObjLocked", 31, 32},
    {32, "ErrWrongVersion", 32, 40},
    {40, "ErrRestriction", 40, 50},
    {41, "ErrResource", 41, 45},
    {42, "ErrQuotaLimit", 42, 45},
    {45, "ErrPermission", 45, 46},
    {47, "ErrAuthentication", 47, 48},
    {48, "ErrNotImplemented", 48, 50},
    {50, "ErrBusy", 50, 70},
    {51, "ErrBufferFull", 51, 55},
    {55, "ErrTimeout", 55, 56},
    {56, "ErrQueued", 56, 70},
    {70, "ErrObjLost", 70, 100},
    {71, "ErrStateChanged", 71, 75},
    {72, "ErrStopPending", 72, 73},
    {73, "ErrStopped", 73, 75},
    {75, "ErrExpired", 75, 76},
    {76, "ErrConnLost", 76, 77},
    {77, "ErrCancelled", 77, 100},
    {100, "ErrLogic", 100, 256},
    {101, "ErrLogicArgs", 101, 110},
    {110, "ErrLogicLen", 110, 120},
    {111, "ErrLogicLenMin", 111, 112},
    {112, "ErrLogicLenMax", 112, 120},
    {120, "ErrWrongFormat", 120, 130},
    {121, "ErrXmlFormat", 121, 122},
    {122, "ErrXmlNamespace", 122, 123},
    {123, "ErrBerEncoding", 123, 124},
    {124, "ErrSoapFormat", 124, 130},
    {130, "ErrLogicState", 130, 140},
    {140, "ErrCommandSequ", 140, 145},
    {145, "ErrBadConfig", 145, 150},
    {150, "ErrIntern", 150, 256},
    {151, "ErrIntBadCast", 151, 152},
    {152, "ErrIntBadObj", 152, 256},
};

struct NameRow {
  uint32_t value;
  const char* name;
};

// Kinds of failing objects. Rows 0-3, 10-12, 17, 21, 29 and 60 are the ones this library
// produces; the others name further runtime object kinds so that a result that carries one
// (for example read back from a message block) still reads well in a trace.
constexpr NameRow kObjects[] = {
    {0, "unknown"},        {1, "IntellNetwork"},  {2, "Connection"},
    {3, "ConnectionFile"}, {4, "ConnectionPtp"},  {5, "DataLink"},
    {6, "Switch"},         {7, "Component"},      {8, "Server"},
    {9, "Application"},    {10, "XEL_Message"},   {11, "XMLParser"},
    {12, "StringStack"},   {13, "Configuration"}, {14, "SchedulerThread"},
    {15, "Trace"},         {16, "SharedMemory"},  {17, "VmosalW32"},
    {18, "Thread"},        {19, "Lock"},          {20, "HandleObject"},
    {21, "XEL_Rpc"},       {22, "Url"},           {23, "TimeUTC"},
    {29, "File"},          {60, "XelcFile"},
};

// Reporting modules.
constexpr NameRow kModules[] = {
    {0, "M_Unknown"}, {1, "M_IntellNetwork"}, {2, "M_Master"}, {3, "M_Vmosal"}, {4, "M_Xelc"},
};

template <size_t N>
const char* FindName(const NameRow (&rows)[N], uint32_t value) {
  for (const NameRow& row : rows) {
    if (row.value == value) return row.name;
  }
  return nullptr;
}

const CategoryRow* FindCategory(uint32_t category) {
  for (const CategoryRow& row : kCategories) {
    if (row.code == category) return &row;
  }
  return nullptr;
}

}  // namespace

const char* CategoryName(uint32_t category) {
  const CategoryRow* row = FindCategory(category);
  return row ? row->name : nullptr;
}

const char* ObjectName(uint32_t object) { return FindName(kObjects, object); }

const char* ModuleName(uint32_t module) { return FindName(kModules, module); }

ResultClassRange CategoryClass(uint32_t category) {
  const CategoryRow* row = FindCategory(category);
  if (!row) return {0, 0};
  return {row->from, row->to};
}

}  // namespace velmora::util
