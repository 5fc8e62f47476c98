// The one header of the Win32 implementations that includes <windows.h>, with the helpers
// they share: UTF-8 <-> UTF-16 at the call, error status from GetLastError, owned handles,
// and paths in the long-path form that the file calls take.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> turns these into macros for their ...A/...W variants; the layer's own functions of
// the same names (osal/File.h, osal/System.h) must keep theirs. Win32 code calls the ...W names.
#undef DeleteFile
#undef GetFileAttributes
#undef SetFileAttributes
#undef SetEnvironmentVariable

#include <string>
#include <string_view>
#include <utility>

#include "osal/Status.h"
#include "osal/System.h"

namespace velmora::osal::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

// UTF-8 to the UTF-16 string the wide Windows calls take (invalid sequences become U+FFFD).
inline std::wstring Widen(std::string_view utf8) {
  std::u16string u16 = Utf8ToUtf16(utf8);
  return std::wstring(u16.begin(), u16.end());
}

// A UTF-16 string from a Windows call as UTF-8.
inline std::string Narrow(std::wstring_view utf16) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

// The calling thread's last Windows error as a status (classified by Status::FromNative).
inline Status LastErrorStatus() { return Status::FromNative(static_cast<int>(::GetLastError())); }

// A status for a given Windows error number.
inline Status ErrorStatus(DWORD error) { return Status::FromNative(static_cast<int>(error)); }

// A function that a DLL exports, looked up at run time (for calls that older Windows versions, or
// wine, may lack), as the function type Fn; nullptr when the DLL does not export it.
template <typename Fn>
Fn GetProcAddressAs(HMODULE module, const char* name) {
  // FARPROC -> Fn goes through a generic function pointer type to keep -Wcast-function-type quiet.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Owns a kernel handle; closes it on destruction. INVALID_HANDLE_VALUE and null both mean none.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : M_Handle(h) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : M_Handle(std::exchange(other.M_Handle, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      M_Handle = std::exchange(other.M_Handle, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  bool IsValid() const { return M_Handle != nullptr && M_Handle != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return M_Handle; }
  HANDLE Release() { return std::exchange(M_Handle, nullptr); }
  void Reset(HANDLE h = nullptr) {
    if (IsValid()) ::CloseHandle(M_Handle);
    M_Handle = h;
  }

 private:
  HANDLE M_Handle = nullptr;
};

// Converts a path in the connector's form (UTF-8, "/" or "\" separators, optionally with a
// long-path prefix) to the UTF-16 path the file calls take: made absolute against the working
// directory, "." and ".." resolved, and given the prefix "\\?\" (or "\\?\UNC\" for
// "\\server\share\...") so that paths of any length reach the file system. A path that already
// carries a prefix is passed on as it stands, with "/" turned into "\". Empty (so that the file
// call fails) for a path with an embedded NUL or with a colon beyond the drive, which would name
// a stream of a file rather than a file.
std::wstring LongPathW(std::string_view path);

}  // namespace velmora::osal::win32
