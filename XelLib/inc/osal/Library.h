// Loading a shared library (a plug-in) and finding its exported functions.
#pragma once

#include <string>
#include <string_view>

#include "osal/Status.h"

namespace velmora::osal {

// A loaded shared library (dlopen; LoadLibraryExW). Its symbols stay private to it (they do not
// resolve other libraries' references), and every reference of its own is resolved when it is
// loaded, so a missing symbol is reported here and not in the middle of a call. Unloaded on
// Close or destruction. Belongs to one thread.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary() { Close(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Loads the library at path (UTF-8; "/" or "\\" separators). The folder of an absolute path
  // is searched first for the libraries it depends on. On failure error() says why, in the
  // system's words (kNotFound when the file is missing, kInvalid while one is loaded).
  Status Load(std::string_view path);
  // The address of the exported function or object name, or nullptr (error() says why).
  void* Symbol(const char* name);
  // Unloads the library; addresses from Symbol become invalid.
  void Close();
  // Leaves the library loaded for the rest of the process (for hosts whose plug-in may leave
  // threads running) and forgets it.
  void Keep();
  bool IsLoaded() const { return M_pHandle != nullptr; }
  const std::string& error() const { return M_Error; }

 private:
  void* M_pHandle = nullptr;
  std::string M_Error;
};

// The file name the system's convention gives the shared library called name, as this
// project's build names it: "libNAME.so" on POSIX, "NAME.dll" on Windows.
std::string SharedLibraryFileName(std::string_view name);

}  // namespace velmora::osal
