// Results of the operating-system file layer (object "File", module "M_Vmosal").
#include "util/FileResult.h"

#include <string>

namespace velmora::util {
uint32_t FileOpenFlags(const osal::OpenOptions& options) {
  uint32_t flags = options.access & 3u;
  flags |= (options.share & 7u) << 4;
  flags |= (static_cast<uint32_t>(options.disposition) + 1u) << 8;
  if (options.delete_on_close) flags |= 0x1000u;
  if (options.write_through) flags |= 0x2000u;
  return flags;
}

Result FileOpenResult(const osal::Status& status, std::string_view name, uint32_t flags) {
  if (status.ok()) return Result();
  std::string n(name);
  switch (status.kind()) {
    case osal::ErrorKind::kNotFound:
      return Result::Make(ErrObjNotExist, ModVmosal, ObjFile, SevError,
                          "File Open (Name=%s, Flags=0x%x) failed. File not found.", n.c_str(),
                          flags);
    case osal::ErrorKind::kPathNotFound:
      return Result::Make(ErrObjNotExist, ModVmosal, ObjFile, SevError,
                          "File Open (Name=%s, Flags=0x%x) failed. Path not found.", n.c_str(),
                          flags);
    case osal::ErrorKind::kExists:
      return Result::Make(ErrObjExist, ModVmosal, ObjFile, SevError, "File %s already exists",
                          n.c_str());
    default:
      return Result::Make(Error, ModVmosal, ObjFile, SevError,
                          "File Open (Name=%s, Flags=0x%x) failed with EC=%i", n.c_str(), flags,
                          status.code());
  }
}

Result FileReadResult(const osal::Status& status, std::string_view name) {
  if (status.ok()) return Result();
  std::string n(name);
  return Result::Make(Error, ModVmosal, ObjFile, SevError, "File Read (Name=%s) failed with EC=%i",
                      n.c_str(), status.code());
}

Result FileWriteResult(const osal::Status& status, std::string_view name, size_t size) {
  if (status.ok()) return Result();
  std::string n(name);
  return Result::Make(Error, ModVmosal, ObjFile, SevError,
                      "File Write (Name=%s, Size=%i) failed with EC=%i", n.c_str(),
                      static_cast<int>(size), status.code());
}

Result FileOpen(osal::File& file, std::string_view name, const osal::OpenOptions& options) {
  return FileOpenResult(file.Open(name, options), name, FileOpenFlags(options));
}

Result FileRead(osal::File& file, void* buffer, size_t size, size_t* pRead) {
  *pRead = 0;
  char* p = static_cast<char*>(buffer);
  // A short read is not yet the end (pipes, network file systems): only a read that
  // delivers nothing is.
  while (*pRead < size) {
    size_t n = 0;
    osal::Status status = file.Read(p + *pRead, size - *pRead, &n);
    if (!status.ok()) return FileReadResult(status, file.path());
    if (n == 0) return Result(MakeResultCode(SevWarning, ErrEndOfObject, ObjFile, ModVmosal));
    *pRead += n;
  }
  return Result();
}

Result FileWrite(osal::File& file, const void* data, size_t size) {
  return FileWriteResult(file.Write(data, size), file.path(), size);
}

}  // namespace velmora::util
