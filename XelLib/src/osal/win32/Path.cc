// Paths in the long-path form that the wide Windows file calls take.
#include "win32/WindowsSupport.h"

namespace velmora::osal::win32 {
namespace {

bool StartsWith(const std::wstring& s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && std::wstring_view(s).substr(0, prefix.size()) == prefix;
}

}  // namespace

std::wstring LongPathW(std::string_view path) {
  // A name cut short at an embedded NUL would be a different file; an empty path makes the
  // file call fail instead.
  if (path.find('\0') != std::string_view::npos) return std::wstring();
  std::wstring wide = Widen(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.empty() || StartsWith(wide, L"\\\\?\\")) return wide;

  // GetFullPathNameW is not bound by MAX_PATH; it also drops "." and ".." components, which
  // the file system would take literally after a "\\?\" prefix.
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return wide;  // the file call reports what is wrong with the path
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);  // n counts the terminating NUL when the buffer was too small
  }
  if (StartsWith(full, L"\\\\.\\") || StartsWith(full, L"\\\\?\\")) return full;  // devices
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace velmora::osal::win32
