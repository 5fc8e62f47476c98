// Result: the outcome of every operation; success is cheap (no allocation).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/ResultCode.h"

// The build names the format checker that matches its C library's printf when that is not the
// compiler's default (gnu_printf with mingw-w64's C99 stdio).
#ifndef XEL_PRINTF_ARCHETYPE
#define XEL_PRINTF_ARCHETYPE printf
#endif
#if defined(__GNUC__)
#define XEL_PRINTF(fmt_index, first_arg) \
  __attribute__((format(XEL_PRINTF_ARCHETYPE, fmt_index, first_arg)))
#else
#define XEL_PRINTF(fmt_index, first_arg)
#endif

namespace velmora::util {

// Texts of a failed result: five slots (slot 0 is the error text) and a cached rendering.
// Reference counted without atomics: a Result and its info belong to one thread.
class ResultAdditionalInfo {
 public:
  static constexpr int kSlots = 5;

  ResultAdditionalInfo() = default;
  virtual ~ResultAdditionalInfo();
  virtual void Release();
  virtual void AddRef();
  // Formats into slot (at most 511 characters). Slots outside 0-4 are ignored.
  virtual void SetSlotTextV(int slot, const char* fmt, va_list args);
  virtual void SetSlotText(int slot, const std::string& text);
  // Empty for a slot outside 0-4.
  virtual const std::string& GetSlotText(int slot) const;
  // The text of a failed result with this info in the given mode (see Result::Text).
  virtual std::string FormatText(ResultCode code, int mode) const;
  // FormatText kept in the cache; "Error (unspecified)" when formatting fails.
  virtual const std::string& FormatAndCache(ResultCode code, int mode);

  int RefCount() const { return M_RefCount; }

 private:
  int M_RefCount = 0;
  std::string M_Slots[kSlots];
  std::string M_Cached;
};

class [[nodiscard]] Result {
 public:
  // Success.
  Result() = default;
  explicit Result(ResultCode code) : M_Code(code) {}
  Result(const Result& other);
  Result& operator=(const Result& other);
  Result(Result&& other) noexcept : M_Code(other.M_Code), M_pInfo(other.M_pInfo) {
    other.M_Code = 0;
    other.M_pInfo = nullptr;
  }
  // Inline: results are made, moved and dropped on every call of the reader and writer,
  // nearly always without texts.
  Result& operator=(Result&& other) noexcept {
    if (this != &other) {
      if (M_pInfo) M_pInfo->Release();
      M_Code = other.M_Code;
      M_pInfo = other.M_pInfo;
      other.M_Code = 0;
      other.M_pInfo = nullptr;
    }
    return *this;
  }
  ~Result() {
    if (M_pInfo) M_pInfo->Release();
  }

  // An error or warning with a formatted text. With a non-empty text the trace line
  // "Result set to: %s" is written at Result_SetErrorText.
  static Result Make(uint32_t category, uint32_t module, uint32_t object, uint32_t severity,
                     const char* fmt, ...) XEL_PRINTF(5, 6);
  static Result MakeV(uint32_t category, uint32_t module, uint32_t object, uint32_t severity,
                      const char* fmt, va_list args);
  // Short form: module 0, object 0, severity error, no trace line. fmt may be null.
  static Result Fail(uint32_t category, const char* fmt = nullptr, ...) XEL_PRINTF(2, 3);
  // An error of the file connector's own code (object "XelcFile", module 0).
  static Result Connector(uint32_t category, const char* fmt, ...) XEL_PRINTF(2, 3);

  bool IsSuccess() const { return ResultCodeSeverity(M_Code) < SevError; }
  bool IsError() const { return !IsSuccess(); }
  uint32_t Severity() const { return ResultCodeSeverity(M_Code); }
  uint32_t Category() const { return ResultCodeCategory(M_Code); }
  ResultCode Code() const { return M_Code; }
  // True when the category lies in the class range of cls (for example ErrTemp).
  bool IsClass(uint32_t cls) const;
  bool IsClass(ResultClassRange range) const;

  // Keeps the worse of this and other: other replaces this only when its severity is
  // strictly higher.
  Result& KeepWorse(const Result& other);

  // Text modes: 0 and 4 full, 1 code word, 2 "Error <code>: <text>", 3 text alone.
  std::string Text(int mode = 4) const;
  // Slot 0 (empty when there is no info).
  std::string ErrorText() const;
  // A text slot (empty when there is no info or the slot is outside 0-4).
  const std::string& SlotText(int slot) const;
  // Writes a text slot; the info is unshared first so that copies keep their texts.
  void SetSlotText(int slot, const std::string& text);
  // Replaces slot 0 with a formatted text.
  Result& SetText(const char* fmt, ...) XEL_PRINTF(2, 3);

  // Throws this result when it is an error, tracing "ThrowIfError() result=%s".
  void ThrowIfError() const;
  // As above, tracing "ThrowIfError(%s) result=%s" and appending " | location" to the text.
  // location must not be null.
  void ThrowIfError(const char* location);
  // When an error and the id is enabled, traces "Location=%s; result=%s".
  void LogIfError(uint32_t trace_id, const char* fmt, ...) const XEL_PRINTF(3, 4);

  // Flat text form: "<code>\0" then "<slot>\0<text>\0" per non-empty slot while room is
  // left, then a final NUL. Returns the bytes used, including the final NUL. size >= 16.
  size_t Serialize(char* buffer, size_t size) const;
  // Reads the flat form; true when the buffer was consumed exactly. A buffer shorter than 3
  // bytes or not ending in NUL makes this an ErrLogicArgs error.
  bool Deserialize(const char* buffer, size_t size);

 private:
  ResultAdditionalInfo* MutableInfo();

  ResultCode M_Code = 0;
  ResultAdditionalInfo* M_pInfo = nullptr;
};

// Returns when r is a success, else traces and throws it (ThrowIfError without a location).
#define XEL_THROW_IF_ERROR(r) (r).ThrowIfError()

}  // namespace velmora::util
