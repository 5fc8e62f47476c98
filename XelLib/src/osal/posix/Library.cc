// POSIX shared libraries: dlopen, dlsym and dlclose.
#include "osal/Library.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>

#include "osal/File.h"

namespace velmora::osal {

Status SharedLibrary::Load(std::string_view path) {
  if (M_pHandle != nullptr) {
    M_Error = "a library is loaded already";
    return Status(ErrorKind::kInvalid, EINVAL);
  }
  const std::string native = NativePath(path);
  // dlopen only says "cannot open"; a missing file deserves its own kind.
  struct stat st;
  if (native.find('/') != std::string::npos && ::stat(native.c_str(), &st) != 0) {
    const int err = errno;
    M_Error = native + ": cannot open the library: " + Status::FromNative(err).Text();
    return Status::FromNative(err);
  }
  // RTLD_LOCAL keeps the library's symbols to itself; RTLD_NOW reports a missing symbol here
  // rather than in the middle of a call.
  M_pHandle = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (M_pHandle == nullptr) {
    const char* text = ::dlerror();
    M_Error = text ? text : "dlopen failed";
    return Status(ErrorKind::kOther, ENOEXEC);
  }
  M_Error.clear();
  return Status::Ok();
}

void* SharedLibrary::Symbol(const char* name) {
  if (M_pHandle == nullptr) {
    M_Error = "no library is loaded";
    return nullptr;
  }
  (void)::dlerror();  // a null symbol is only an error when dlerror says so afterwards
  void* address = ::dlsym(M_pHandle, name);
  if (address == nullptr) {
    const char* text = ::dlerror();
    M_Error = text ? text : std::string(name) + ": the symbol is null";
  }
  return address;
}

void SharedLibrary::Close() {
  if (M_pHandle != nullptr) ::dlclose(M_pHandle);
  M_pHandle = nullptr;
}

void SharedLibrary::Keep() { M_pHandle = nullptr; }

std::string SharedLibraryFileName(std::string_view name) {
  return "lib" + std::string(name) + ".so";
}

}  // namespace velmora::osal
