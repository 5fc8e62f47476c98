// Results of the operating-system file layer: an osal::Status of a file operation as a Result
// with object "File" and module "M_Vmosal", and the open/read/write calls that report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "osal/File.h"
#include "osal/Status.h"
#include "util/Result.h"

namespace velmora::util {

// The flags word shown in open failures ("Flags=0x%x"): access in bits 0-1 (1 read, 2 write),
// sharing in bits 4-6 (1 read, 2 write, 4 delete), disposition + 1 in bits 8-11 (1 create new,
// 2 create always, 3 open existing, 4 open always, 5 truncate existing), 0x1000 delete on
// close, 0x2000 write through.
uint32_t FileOpenFlags(const osal::OpenOptions& options);

// The result of opening name with flags: success for an ok status; otherwise ErrObjNotExist
// "File Open (Name=%s, Flags=0x%x) failed. File not found." / "... Path not found.",
// ErrObjExist "File %s already exists", or Error "File Open (Name=%s, Flags=0x%x) failed with
// EC=%i" carrying the native error code.
Result FileOpenResult(const osal::Status& status, std::string_view name, uint32_t flags);
// A failed read or write: Error "File Read (Name=%s) failed with EC=%i" or "File Write
// (Name=%s, Size=%i) failed with EC=%i"; success for an ok status.
Result FileReadResult(const osal::Status& status, std::string_view name);
Result FileWriteResult(const osal::Status& status, std::string_view name, size_t size);

// Opens file and turns the outcome into a Result (FileOpenResult).
Result FileOpen(osal::File& file, std::string_view name, const osal::OpenOptions& options);
// Reads until size bytes arrived or the file ended; *pRead gets the count. When the end of the
// file was reached the result is a warning (a success) of category ErrEndOfObject; the data
// read before the end is valid. Failures are FileReadResult's.
Result FileRead(osal::File& file, void* buffer, size_t size, size_t* pRead);
// Writes all size bytes (FileWriteResult on failure).
Result FileWrite(osal::File& file, const void* data, size_t size);

}  // namespace velmora::util
