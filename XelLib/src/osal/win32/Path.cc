// Paths in the long-path form that the wide Windows file calls take.
#include "win32/WindowsSupport.h"

#include <cwctype>

namespace velmora::osal::win32 {
namespace {

bool StartsWith(const std::wstring& s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && std::wstring_view(s).substr(0, prefix.size()) == prefix;
}

// False when a path in "\\?\" form holds a colon beyond its drive: the file system would take
// "name:stream" as a named stream of "name", a second content that listings never show, so
// such names are not used at all.
bool NamesNoStream(std::wstring_view path) {
  size_t from = 4;
  if (path.size() >= 6 && path[5] == L':' && std::iswalpha(path[4])) from = 6;
  return path.find(L':', from) == std::wstring_view::npos;
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
  if (wide.empty()) return wide;
  if (StartsWith(wide, L"\\\\?\\")) return NamesNoStream(wide) ? wide : std::wstring();

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
  if (StartsWith(full, L"\\\\.\\")) return full;  // devices
  if (StartsWith(full, L"\\\\?\\")) return NamesNoStream(full) ? full : std::wstring();
  if (StartsWith(full, L"\\\\")) full = L"\\\\?\\UNC\\" + full.substr(2);
  else full = L"\\\\?\\" + full;
  return NamesNoStream(full) ? full : std::wstring();
}

}  // namespace velmora::osal::win32
