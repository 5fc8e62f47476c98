// Classification of errno values into the portable error kinds.
#include "osal/Status.h"

#include <errno.h>
#include <string.h>

namespace velmora::osal {

Status Status::FromNative(int native_code) {
  ErrorKind kind;
  switch (native_code) {
    case 0:
      return Status();
    case ENOENT:
      kind = ErrorKind::kNotFound;
      break;
    case ENOTDIR:
      kind = ErrorKind::kPathNotFound;
      break;
    case EEXIST:
      kind = ErrorKind::kExists;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // Windows refuses to open a folder as a file with "access denied"
      kind = ErrorKind::kAccessDenied;
      break;
    case EWOULDBLOCK:  // flock conflict (same value as EAGAIN on Linux)
    case EBUSY:
    case ETXTBSY:
      kind = ErrorKind::kSharing;
      break;
    case ENOTEMPTY:
      kind = ErrorKind::kNotEmpty;
      break;
    case ETIMEDOUT:
      kind = ErrorKind::kTimeout;
      break;
    case EOWNERDEAD:
      kind = ErrorKind::kAbandoned;
      break;
    case ENOSYS:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EXDEV:  // a rename that would have to copy across volumes
      kind = ErrorKind::kNotSupported;
      break;
    case EINVAL:
    case ENAMETOOLONG:
    case EBADF:
    case EFAULT:
    case EILSEQ:
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
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be buffer.
  const char* text = strerror_r(M_Code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("error ") + std::to_string(M_Code);
}

}  // namespace velmora::osal
