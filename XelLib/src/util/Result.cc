// Result values, their texts, throwing and the flat serialised form.
#include "util/Result.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/Trace.h"

namespace velmora::util {

namespace {

// Slot texts and diagnostics are limited so that one result never floods a trace line.
constexpr size_t kSlotTextMax = 511;
constexpr size_t kLocationMax = 255;

const std::string& EmptyText() {
  static const std::string empty;
  return empty;
}

std::string FormatLimitedV(size_t max_chars, const char* fmt, va_list args) {
  if (!fmt) return std::string();
  char buffer[kSlotTextMax + 1];
  size_t size = max_chars + 1 < sizeof(buffer) ? max_chars + 1 : sizeof(buffer);
  int n = vsnprintf(buffer, size, fmt, args);
  if (n < 0) return std::string();
  return std::string(buffer);
}

std::string NameOrNumber(const char* name, uint32_t value) {
  if (name) return name;
  return std::to_string(value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ResultAdditionalInfo

ResultAdditionalInfo::~ResultAdditionalInfo() { XEL_ASSERT(M_RefCount == 0); }

void ResultAdditionalInfo::Release() {
  if (--M_RefCount == 0) delete this;
}

void ResultAdditionalInfo::AddRef() { ++M_RefCount; }

void ResultAdditionalInfo::SetSlotTextV(int slot, const char* fmt, va_list args) {
  if (slot < 0 || slot >= kSlots) return;
  M_Slots[slot] = FormatLimitedV(kSlotTextMax, fmt, args);
}

void ResultAdditionalInfo::SetSlotText(int slot, const std::string& text) {
  if (slot < 0 || slot >= kSlots) return;
  M_Slots[slot] = text;
}

const std::string& ResultAdditionalInfo::GetSlotText(int slot) const {
  if (slot < 0 || slot >= kSlots) return EmptyText();
  return M_Slots[slot];
}

std::string ResultAdditionalInfo::FormatText(ResultCode code, int mode) const {
  if (mode == 1) return std::to_string(code);
  if (mode == 3) return M_Slots[0];
  std::string text = "Error " + std::to_string(code) + ": " + M_Slots[0];
  if (mode == 2) return text;
  text += " (Cat=";
  text += NameOrNumber(CategoryName(ResultCodeCategory(code)), ResultCodeCategory(code));
  text += ", Obj=";
  text += NameOrNumber(ObjectName(ResultCodeObject(code)), ResultCodeObject(code));
  text += ", Mod=";
  text += NameOrNumber(ModuleName(ResultCodeModule(code)), ResultCodeModule(code));
  text += ")";
  return text;
}

const std::string& ResultAdditionalInfo::FormatAndCache(ResultCode code, int mode) {
  try {
    M_Cached = FormatText(code, mode);
  } catch (const std::bad_alloc&) {
    M_Cached = "Error (unspecified)";
  }
  return M_Cached;
}

// ---------------------------------------------------------------------------------------------
// Result

Result::Result(const Result& other) : M_Code(other.M_Code), M_pInfo(other.M_pInfo) {
  if (M_pInfo) M_pInfo->AddRef();
}

Result& Result::operator=(const Result& other) {
  if (this == &other) return *this;
  if (other.M_pInfo) other.M_pInfo->AddRef();
  if (M_pInfo) M_pInfo->Release();
  M_Code = other.M_Code;
  M_pInfo = other.M_pInfo;
  return *this;
}

Result Result::MakeV(uint32_t category, uint32_t module, uint32_t object, uint32_t severity,
                     const char* fmt, va_list args) {
  Result r(MakeResultCode(severity, category, object, module));
  std::string text = FormatLimitedV(kSlotTextMax, fmt, args);
  if (!text.empty()) {
    r.MutableInfo()->SetSlotText(0, text);
    XEL_TRACE("", Result_SetErrorText, "Result set to: %s", r.Text(4).c_str());
  }
  return r;
}

Result Result::Make(uint32_t category, uint32_t module, uint32_t object, uint32_t severity,
                    const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Result r = MakeV(category, module, object, severity, fmt, args);
  va_end(args);
  return r;
}

Result Result::Fail(uint32_t category, const char* fmt, ...) {
  Result r(MakeResultCode(SevError, category, ObjUnknown, ModUnknown));
  if (fmt) {
    va_list args;
    va_start(args, fmt);
    std::string text = FormatLimitedV(kSlotTextMax, fmt, args);
    va_end(args);
    if (!text.empty()) r.MutableInfo()->SetSlotText(0, text);
  }
  return r;
}

Result Result::Connector(uint32_t category, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Result r = MakeV(category, ModUnknown, ObjXelcFile, SevError, fmt, args);
  va_end(args);
  return r;
}

bool Result::IsClass(uint32_t cls) const { return IsClass(CategoryClass(cls)); }

bool Result::IsClass(ResultClassRange Range) const {
  // The macro names in the assertion text are the platform's historical ones; operators
  // search for this text, so it stays as it is.
#define VM_RESULT_CLASS_RANGE_GET_FORM(r) ((r).from)
#define VM_RESULT_CLASS_RANGE_GET_TO(r) ((r).to)
  XEL_ASSERT(VM_RESULT_CLASS_RANGE_GET_FORM(Range) < VM_RESULT_CLASS_RANGE_GET_TO(Range));
#undef VM_RESULT_CLASS_RANGE_GET_FORM
#undef VM_RESULT_CLASS_RANGE_GET_TO
  uint32_t c = Category();
  return Range.from <= c && c < Range.to;
}

Result& Result::KeepWorse(const Result& other) {
  if (other.Severity() > Severity()) *this = other;
  return *this;
}

std::string Result::Text(int mode) const {
  if (Severity() == SevSuccess) return "OK";
  if (!M_pInfo) return "ERROR";
  return M_pInfo->FormatAndCache(M_Code, mode);
}

std::string Result::ErrorText() const { return SlotText(0); }

const std::string& Result::SlotText(int slot) const {
  if (!M_pInfo) return EmptyText();
  return M_pInfo->GetSlotText(slot);
}

void Result::SetSlotText(int slot, const std::string& text) {
  if (slot < 0 || slot >= ResultAdditionalInfo::kSlots) return;
  MutableInfo()->SetSlotText(slot, text);
}

Result& Result::SetText(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  MutableInfo()->SetSlotTextV(0, fmt, args);
  va_end(args);
  return *this;
}

void Result::ThrowIfError() const {
  if (IsSuccess()) return;
  XEL_TRACE("WARNING", General_40, "ThrowIfError() result=%s", Text().c_str());
  throw *this;
}

void Result::ThrowIfError(const char* sz_location_info) {
  XEL_ASSERT(sz_location_info != 0);
  if (IsSuccess()) return;
  XEL_TRACE("WARNING", General_40, "ThrowIfError(%s) result=%s", sz_location_info, Text().c_str());
  std::string old_text = ErrorText();
  SetText("%s | %s", old_text.c_str(), sz_location_info);
  throw *this;
}

void Result::LogIfError(uint32_t trace_id, const char* fmt, ...) const {
  if (IsSuccess() || !IsTraceEnabled(trace_id)) return;
  std::string location;
  if (fmt) {
    va_list args;
    va_start(args, fmt);
    location = FormatLimitedV(kLocationMax, fmt, args);
    va_end(args);
  }
  TraceWrite("WARNING", trace_id, "Location=%s; result=%s", location.c_str(), Text().c_str());
}

size_t Result::Serialize(char* buffer, size_t BufferSize) const {
  XEL_ASSERT(BufferSize >= 16);
  size_t used = 0;
  // Each field is cut so that its NUL and the final NUL still fit: nothing is written at or
  // beyond BufferSize.
  auto put = [&](const char* text) {
    size_t room = BufferSize - 2 - used;
    size_t len = strlen(text);
    if (len > room) len = room;
    memcpy(buffer + used, text, len);
    used += len;
    buffer[used++] = '\0';
  };
  char number[16];
  snprintf(number, sizeof(number), "%i", static_cast<int>(M_Code));
  put(number);
  if (M_pInfo) {
    for (int slot = 0; slot < ResultAdditionalInfo::kSlots; ++slot) {
      if (static_cast<long long>(used) > static_cast<long long>(BufferSize) - 17) break;
      const std::string& text = M_pInfo->GetSlotText(slot);
      if (text.empty()) continue;
      snprintf(number, sizeof(number), "%i", slot);
      put(number);
      put(text.c_str());
    }
  }
  buffer[used++] = '\0';
  return used;
}

bool Result::Deserialize(const char* buffer, size_t size) {
  if (size < 3 || buffer[size - 1] != '\0') {
    *this = Fail(ErrLogicArgs, "Cant create Result object from Buffer");
    return false;
  }
  *this = Result(static_cast<ResultCode>(strtol(buffer, nullptr, 10)));
  size_t pos = strlen(buffer) + 1;
  // Pairs of slot number and text up to the empty field that ends the list. The last byte
  // is NUL, so every strlen below stays inside the buffer.
  while (pos < size && buffer[pos] != '\0') {
    int slot = static_cast<int>(strtol(buffer + pos, nullptr, 10));
    pos += strlen(buffer + pos) + 1;
    if (pos >= size) return false;
    const char* text = buffer + pos;
    pos += strlen(text) + 1;
    SetSlotText(slot, text);
  }
  return pos == size - 1;
}

ResultAdditionalInfo* Result::MutableInfo() {
  if (!M_pInfo) {
    M_pInfo = new ResultAdditionalInfo();
    M_pInfo->AddRef();
  } else if (M_pInfo->RefCount() > 1) {
    // Copies share their info; a write unshares it so that a copy kept elsewhere (for
    // example the one thrown by ThrowIfError) keeps its own text.
    ResultAdditionalInfo* copy = new ResultAdditionalInfo();
    copy->AddRef();
    for (int slot = 0; slot < ResultAdditionalInfo::kSlots; ++slot) {
      copy->SetSlotText(slot, M_pInfo->GetSlotText(slot));
    }
    M_pInfo->Release();
    M_pInfo = copy;
  }
  return M_pInfo;
}

}  // namespace velmora::util
