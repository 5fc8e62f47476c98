// Win32 shared libraries: LoadLibraryExW, GetProcAddress and FreeLibrary.
#include "osal/Library.h"

#include <algorithm>

#include "win32/WindowsSupport.h"

namespace velmora::osal {
namespace {

std::string SystemText(DWORD error) {
  return Status::FromNative(static_cast<int>(error)).Text() + " (error " + std::to_string(error) +
         ")";
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() > 2 && path[1] == L':' && path[2] == L'\\') || path.rfind(L"\\\\", 0) == 0;
}

}  // namespace

Status SharedLibrary::Load(std::string_view path) {
  if (M_pHandle != nullptr) {
    M_Error = "a library is loaded already";
    return win32::ErrorStatus(ERROR_INVALID_PARAMETER);
  }
  std::wstring w = win32::Widen(path);
  std::replace(w.begin(), w.end(), L'/', L'\\');
  // A path with a folder is made absolute, so that the library's own folder is searched for
  // the libraries it needs (the altered search order only applies to absolute paths); a bare
  // name is looked for as the system looks for libraries.
  if (w.find(L'\\') != std::wstring::npos && !IsAbsolute(w)) {
    DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    std::wstring full(n, L'\0');
    if (n != 0) n = ::GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (n != 0 && n < full.size()) {
      full.resize(n);
      w = full;
    }
  }
  // No message box for a missing library or a library that will not load.
  DWORD oldMode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
  HMODULE module =
      ::LoadLibraryExW(w.c_str(), nullptr, IsAbsolute(w) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  const DWORD error = ::GetLastError();
  ::SetThreadErrorMode(oldMode, nullptr);
  if (module == nullptr) {
    M_Error = std::string(path) + ": " + SystemText(error);
    // "Module not found" also stands for a missing dependency; only a missing file is kNotFound.
    if (IsAbsolute(w) && ::GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return Status(ErrorKind::kNotFound, static_cast<int>(error));
    }
    return Status(ErrorKind::kOther, static_cast<int>(error));
  }
  M_pHandle = reinterpret_cast<void*>(module);
  M_Error.clear();
  return Status::Ok();
}

void* SharedLibrary::Symbol(const char* name) {
  if (M_pHandle == nullptr) {
    M_Error = "no library is loaded";
    return nullptr;
  }
  FARPROC address = ::GetProcAddress(static_cast<HMODULE>(M_pHandle), name);
  if (address == nullptr) {
    M_Error = std::string(name) + ": " + SystemText(::GetLastError());
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

void SharedLibrary::Close() {
  if (M_pHandle != nullptr) ::FreeLibrary(static_cast<HMODULE>(M_pHandle));
  M_pHandle = nullptr;
}

void SharedLibrary::Keep() { M_pHandle = nullptr; }

std::string SharedLibraryFileName(std::string_view name) { return std::string(name) + ".dll"; }

}  // namespace velmora::osal
