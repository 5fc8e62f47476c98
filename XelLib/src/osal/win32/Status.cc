// Classification of Windows error numbers into the portable error kinds, and their text.
#include "osal/Status.h"

#include "win32/WindowsSupport.h"

namespace velmora::osal {

Status Status::FromNative(int native_code) {
  ErrorKind kind;
  switch (static_cast<DWORD>(native_code)) {
    case ERROR_SUCCESS:
      return Status();
    case ERROR_FILE_NOT_FOUND:
      kind = ErrorKind::kNotFound;
      break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:  // a file where the path needs a folder
      kind = ErrorKind::kPathNotFound;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      kind = ErrorKind::kExists;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      kind = ErrorKind::kAccessDenied;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      kind = ErrorKind::kSharing;
      break;
    case ERROR_DIR_NOT_EMPTY:
      kind = ErrorKind::kNotEmpty;
      break;
    case WAIT_TIMEOUT:
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
      kind = ErrorKind::kTimeout;
      break;
    case ERROR_ABANDONED_WAIT_0:
      kind = ErrorKind::kAbandoned;
      break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_NOT_SAME_DEVICE:  // a rename that would have to copy across volumes
      kind = ErrorKind::kNotSupported;
      break;
    case ERROR_HANDLE_EOF:
      kind = ErrorKind::kEndOfFile;
      break;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_HANDLE:
    case ERROR_NO_UNICODE_TRANSLATION:
      kind = ErrorKind::kInvalid;
      break;
    default:
      kind = ErrorKind::kOther;
      break;
  }
  return Status(kind, native_code);
}

std::string Status::Text() const {
  if (M_Code == 0) {
    return ok() ? "success" : "error";
  }
  wchar_t buffer[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(M_Code), 0, buffer,
                             static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), nullptr);
  // System messages end in ".\r\n", which reads badly inside a trace line.
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ' ||
                   buffer[n - 1] == L'.')) {
    --n;
  }
  if (n == 0) return "error " + std::to_string(M_Code);
  return win32::Narrow(std::wstring_view(buffer, n));
}

}  // namespace velmora::osal
