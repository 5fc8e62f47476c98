// Outcome of an operating-system call: success, or the platform's native error number.
#pragma once

#include <string>

namespace velmora::osal {

// Portable classes of native errors that callers above this layer branch on.
enum class ErrorKind {
  kNone = 0,
  kNotFound,        // the file does not exist
  kPathNotFound,    // a folder of the path does not exist
  kExists,          // the target exists and must not be replaced
  kAccessDenied,    // permissions, read-only, or a sharing conflict on POSIX
  kSharing,         // the object is in use by another opener
  kNotEmpty,        // a folder still holds entries
  kTimeout,         // a wait ran out
  kAbandoned,       // a named mutex was taken after its owner died
  kNotSupported,    // the layer cannot do this on this platform
  kEndOfFile,       // a read reached the end
  kInvalid,         // bad argument
  kOther,
};

// Status is cheap to copy: a native error code (errno on POSIX, GetLastError() on
// Windows) and its portable class. A default Status is success.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(ErrorKind kind, int native_code) : M_Kind(kind), M_Code(native_code) {}

  static Status Ok() { return Status(); }
  // Builds a Status from a native error number, classifying it.
  static Status FromNative(int native_code);

  bool ok() const { return M_Kind == ErrorKind::kNone; }
  ErrorKind kind() const { return M_Kind; }
  // The native error number; traced as a decimal number. 0 on success.
  int code() const { return M_Code; }
  bool Is(ErrorKind k) const { return M_Kind == k; }
  // Human-readable description of the native error.
  std::string Text() const;

 private:
  ErrorKind M_Kind = ErrorKind::kNone;
  int M_Code = 0;
};

}  // namespace velmora::osal
