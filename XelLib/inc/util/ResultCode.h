// The 32-bit result code word: severity, error category, object and module.
#pragma once

#include <cstdint>

namespace velmora::util {

using ResultCode = uint32_t;

// Severity (bits 28-29).
enum Severity : uint32_t {
  SevSuccess = 0,
  SevWarning = 1,
  SevError = 2,
  SevFatal = 3,
};

// Error categories (bits 20-27). A category also names the class of the codes in its range.
enum ErrCategory : uint32_t {
  ErrNone = 0,
  Error = 1,
  ErrTemp = 2,
  ErrAvailable = 3,
  ErrObjExist = 4,
  ErrNotEmpty = 5,
  ErrEndOfObject = 6,
  ErrMoreData = 7,
  ErrLoop = 8,
  ErrNotAvailable = 20,
  ErrObjNotExist = 21,
  ErrEmpty = 22,
  ErrObjSharing = 30,
  ErrObjLocked = 31,
  ErrWrongVersion = 32,
  ErrRestriction = 40,
  ErrResource = 41,
  ErrQuotaLimit = 42,
  ErrPermission = 45,
  ErrAuthentication = 47,
  ErrNotImplemented = 48,
  ErrBusy = 50,
  ErrBufferFull = 51,
  ErrTimeout = 55,
  ErrQueued = 56,
  ErrObjLost = 70,
  ErrStateChanged = 71,
  ErrStopPending = 72,
  ErrStopped = 73,
  ErrExpired = 75,
  ErrConnLost = 76,
  ErrCancelled = 77,
  ErrLogic = 100,
  ErrLogicArgs = 101,
  ErrLogicLen = 110,
  ErrLogicLenMin = 111,
  ErrLogicLenMax = 112,
  ErrWrongFormat = 120,
  ErrXmlFormat = 121,
  ErrXmlNamespace = 122,
  ErrBerEncoding = 123,
  ErrSoapFormat = 124,
  ErrLogicState = 130,
  ErrCommandSequ = 140,
  ErrBadConfig = 145,
  ErrIntern = 150,
  ErrIntBadCast = 151,
  ErrIntBadObj = 152,
};

// Objects (bits 8-19) that this system produces.
enum ResultObject : uint32_t {
  ObjUnknown = 0,
  ObjIntellNetwork = 1,
  ObjConnection = 2,
  ObjConnectionFile = 3,
  ObjXelMessage = 10,
  ObjXmlParser = 11,
  ObjStringStack = 12,
  ObjVmosalW32 = 17,
  ObjXelRpc = 21,
  ObjFile = 29,
  ObjXelcFile = 60,
};

// Modules (bits 0-7) that this system produces.
enum ResultModule : uint32_t {
  ModUnknown = 0,
  ModIntellNetwork = 1,
  ModVmosal = 3,
};

constexpr ResultCode MakeResultCode(uint32_t severity, uint32_t category, uint32_t object,
                                    uint32_t module) {
  return ((severity & 3u) << 28) | ((category & 0xFFu) << 20) | ((object & 0xFFFu) << 8) |
         (module & 0xFFu);
}
constexpr uint32_t ResultCodeSeverity(ResultCode c) { return (c >> 28) & 3u; }
constexpr uint32_t ResultCodeCategory(ResultCode c) { return (c >> 20) & 0xFFu; }
constexpr uint32_t ResultCodeObject(ResultCode c) { return (c >> 8) & 0xFFFu; }
constexpr uint32_t ResultCodeModule(ResultCode c) { return c & 0xFFu; }

// Names for texts; nullptr for a value without a name.
const char* CategoryName(uint32_t category);
const char* ObjectName(uint32_t object);
const char* ModuleName(uint32_t module);

// The class range (from, to) of a category: a code c is in the class when from <= c < to.
struct ResultClassRange {
  uint32_t from;
  uint32_t to;
};
// The range of a named category; {0, 0} for a category not in the table.
ResultClassRange CategoryClass(uint32_t category);

}  // namespace velmora::util
