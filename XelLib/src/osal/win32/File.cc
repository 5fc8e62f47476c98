// Windows files and folders through the wide file calls, every path in the long-path form.
#include "osal/File.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "win32/WindowsSupport.h"

// <windows.h> maps these names to its own ...W functions; here they are the osal ones.

// The members of File and DirReader are shaped for POSIX. Here the open file's HANDLE lives
// in File::M_pShareFile (Windows reaches network shares with the same calls, so that member
// is free) and M_Fd stays -1; DirReader::M_pDir holds a FindState.

namespace velmora::osal {
namespace {

using win32::ErrorStatus;
using win32::LastErrorStatus;
using win32::LongPathW;

Status Invalid() { return Status(ErrorKind::kInvalid, ERROR_INVALID_PARAMETER); }
Status NotOpen() { return Status(ErrorKind::kInvalid, ERROR_INVALID_HANDLE); }

HANDLE AsHandle(void* p) { return static_cast<HANDLE>(p); }

uint64_t FileTimeValue(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

uint64_t SizeValue(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

void FillEntry(DWORD attributes, const FILETIME& last_write, const FILETIME& creation,
               DWORD size_high, DWORD size_low, DirEntry* entry) {
  entry->is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry->is_readonly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  entry->size = entry->is_folder ? 0 : SizeValue(size_high, size_low);
  entry->last_write_time = FileTimeValue(last_write);
  entry->creation_time = FileTimeValue(creation);
}

std::string LastComponent(const std::string& native) {
  size_t slash = native.find_last_of("\\:");
  return slash == std::string::npos ? native : native.substr(slash + 1);
}

// INVALID_FILE_ATTRIBUTES when the entry cannot be reached.
DWORD AttributesOf(const std::wstring& long_path) {
  return ::GetFileAttributesW(long_path.c_str());
}

bool IsFolder(const std::wstring& long_path) {
  DWORD attributes = AttributesOf(long_path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Length of the part of a native path that names its root, which CreateFolders never
// creates: the drive ("C:", "C:\"), the rooting separator ("\"), or "\\server\share\".
size_t RootLength(const std::string& native) {
  if (native.size() >= 2 && native[0] == '\\' && native[1] == '\\') {
    size_t server_end = native.find('\\', 2);
    if (server_end == std::string::npos) return native.size();
    size_t share_end = native.find('\\', server_end + 1);
    return share_end == std::string::npos ? native.size() : share_end + 1;
  }
  if (native.size() >= 2 && native[1] == ':') {
    return native.size() >= 3 && native[2] == '\\' ? 3 : 2;
  }
  return !native.empty() && native[0] == '\\' ? 1 : 0;
}

// Without its trailing separators, except those of the root ("C:\", "\\server\share\"),
// which name it.
std::string TrimTrailingSeparators(std::string native) {
  size_t root = RootLength(native);
  while (native.size() > root && native.back() == '\\') native.pop_back();
  return native;
}

// The state of one listing: FindFirstFileW already returns the first entry.
struct FindState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  bool has_pending = false;
};

}  // namespace

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  auto has_prefix = [&out](std::string_view prefix) {
    if (out.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      char c = out[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != prefix[i]) return false;
    }
    return true;
  };
  if (has_prefix("\\\\?\\UNC\\")) return "\\\\" + out.substr(8);
  if (has_prefix("\\\\?\\")) return out.substr(4);
  return out;
}

char PathSeparator() { return '\\'; }

std::string LiteralPath(std::string_view native_path) { return std::string(native_path); }

bool FileNamesIgnoreCase() { return true; }

File::~File() { (void)Close(); }

File::File(File&& other) noexcept
    : M_Fd(std::exchange(other.M_Fd, -1)),
      M_bDeleteOnClose(std::exchange(other.M_bDeleteOnClose, false)),
      M_Path(std::move(other.M_Path)),
      M_pShareFile(std::exchange(other.M_pShareFile, nullptr)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    M_Fd = std::exchange(other.M_Fd, -1);
    M_bDeleteOnClose = std::exchange(other.M_bDeleteOnClose, false);
    M_Path = std::move(other.M_Path);
    M_pShareFile = std::exchange(other.M_pShareFile, nullptr);
  }
  return *this;
}

Status File::Open(std::string_view path, const OpenOptions& options) {
  if (IsOpen()) return Status(ErrorKind::kInvalid, ERROR_BUSY);
  if (path.empty()) return Invalid();
  bool can_read = (options.access & kAccessRead) != 0;
  bool can_write = (options.access & kAccessWrite) != 0;
  if (!can_read && !can_write) return Invalid();

  DWORD disposition;
  bool truncates = false;
  switch (options.disposition) {
    case Disposition::kCreateNew:
      disposition = CREATE_NEW;
      break;
    case Disposition::kCreateAlways:
      disposition = CREATE_ALWAYS;
      truncates = true;
      break;
    case Disposition::kOpenExisting:
      disposition = OPEN_EXISTING;
      break;
    case Disposition::kOpenAlways:
      disposition = OPEN_ALWAYS;
      break;
    case Disposition::kTruncateExisting:
      disposition = TRUNCATE_EXISTING;
      truncates = true;
      break;
    default:
      return Invalid();
  }
  // The same rule as on POSIX: emptying a file takes write access.
  if (truncates && !can_write) return Invalid();

  DWORD access = (can_read ? GENERIC_READ : 0) | (can_write ? GENERIC_WRITE : 0);
  DWORD share = ((options.share & kShareRead) ? FILE_SHARE_READ : 0) |
                ((options.share & kShareWrite) ? FILE_SHARE_WRITE : 0) |
                ((options.share & kShareDelete) ? FILE_SHARE_DELETE : 0);
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (options.delete_on_close) {
    flags |= FILE_FLAG_DELETE_ON_CLOSE;
    access |= DELETE;
  }
  if (options.write_through) flags |= FILE_FLAG_WRITE_THROUGH;

  // Without FILE_FLAG_BACKUP_SEMANTICS a folder fails with ERROR_ACCESS_DENIED, as callers expect.
  HANDLE h =
      ::CreateFileW(LongPathW(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorStatus();
  M_pShareFile = h;
  M_bDeleteOnClose = options.delete_on_close;
  M_Path = NativePath(path);
  return Status::Ok();
}

bool File::IsOpen() const { return M_pShareFile != nullptr; }

Status File::Read(void* buffer, size_t size, size_t* read) {
  if (read) *read = 0;
  if (!IsOpen()) return NotOpen();
  if (read == nullptr || (buffer == nullptr && size != 0)) return Invalid();
  // One call reads at most what a DWORD counts; the caller loops like after any short read.
  DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!::ReadFile(AsHandle(M_pShareFile), buffer, chunk, &n, nullptr)) {
    DWORD err = ::GetLastError();
    if (err != ERROR_HANDLE_EOF) return ErrorStatus(err);
    n = 0;
  }
  *read = n;
  return Status::Ok();
}

Status File::Write(const void* data, size_t size) {
  if (!IsOpen()) return NotOpen();
  if (data == nullptr && size != 0) return Invalid();
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!::WriteFile(AsHandle(M_pShareFile), p, chunk, &n, nullptr)) return LastErrorStatus();
    if (n == 0) return Status(ErrorKind::kOther, ERROR_WRITE_FAULT);
    p += n;
    size -= n;
  }
  return Status::Ok();
}

Status File::Truncate(uint64_t length) {
  if (!IsOpen()) return NotOpen();
  if (length > static_cast<uint64_t>(INT64_MAX)) return Invalid();
  HANDLE h = AsHandle(M_pShareFile);
  LARGE_INTEGER zero{}, position{}, end{};
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(h, zero, &position, FILE_CURRENT)) return LastErrorStatus();
  if (!::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) {
    Status status = LastErrorStatus();
    (void)::SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
    return status;
  }
  // The position stays where it was unless that is now beyond the end (the POSIX side
  // behaves the same), so the next write never leaves a hole.
  if (position.QuadPart < end.QuadPart && !::SetFilePointerEx(h, position, nullptr, FILE_BEGIN)) {
    return LastErrorStatus();
  }
  return Status::Ok();
}

Status File::Seek(uint64_t offset) {
  if (!IsOpen()) return NotOpen();
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Invalid();
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(AsHandle(M_pShareFile), to, nullptr, FILE_BEGIN)) {
    return LastErrorStatus();
  }
  return Status::Ok();
}

Status File::Flush() {
  if (!IsOpen()) return NotOpen();
  if (!::FlushFileBuffers(AsHandle(M_pShareFile))) {
    DWORD err = ::GetLastError();
    // A handle without write access has written nothing that could need flushing (fsync
    // of a read-only descriptor succeeds on POSIX too).
    if (err != ERROR_ACCESS_DENIED) return ErrorStatus(err);
  }
  return Status::Ok();
}

Status File::Size(uint64_t* size) const {
  if (!IsOpen()) return NotOpen();
  if (size == nullptr) return Invalid();
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(AsHandle(M_pShareFile), &value)) return LastErrorStatus();
  *size = static_cast<uint64_t>(value.QuadPart);
  return Status::Ok();
}

Status File::Close() {
  if (M_pShareFile == nullptr) return Status::Ok();
  // A delete-on-close file goes with the last handle to it, which the system tracks.
  Status status;
  if (!::CloseHandle(AsHandle(std::exchange(M_pShareFile, nullptr)))) status = LastErrorStatus();
  M_bDeleteOnClose = false;
  return status;
}

DirReader::~DirReader() { Close(); }

Status DirReader::Open(std::string_view folder) {
  Close();
  M_Folder = TrimTrailingSeparators(NativePath(folder));
  if (M_Folder.empty()) M_Folder = ".";
  std::wstring long_folder = LongPathW(M_Folder);
  std::wstring pattern = long_folder;
  if (pattern.empty() || pattern.back() != L'\\') pattern.push_back(L'\\');
  pattern.push_back(L'*');

  auto state = std::make_unique<FindState>();
  state->handle = ::FindFirstFileW(pattern.c_str(), &state->data);
  if (state->handle == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    // The search error does not say which part of the path is wrong, and for a file named
    // as the folder it is not the same everywhere (wine gives ERROR_INVALID_NAME). Ask for
    // the folder itself, so that a missing folder reads kNotFound, a missing parent or a file
    // kPathNotFound, as everywhere else in this layer.
    DWORD attributes = AttributesOf(long_folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      M_Status = LastErrorStatus();
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      M_Status = Status(ErrorKind::kPathNotFound, ERROR_DIRECTORY);
    } else if (err == ERROR_FILE_NOT_FOUND) {
      M_Status = Status::Ok();  // a drive's root with no entries at all: an empty listing
    } else {
      M_Status = ErrorStatus(err);
    }
    return M_Status;
  }
  state->has_pending = true;
  M_pDir = state.release();
  M_Status = Status::Ok();
  return M_Status;
}

bool DirReader::Next(DirEntry* entry) {
  auto state = static_cast<FindState*>(M_pDir);
  if (state == nullptr || entry == nullptr) return false;
  for (;;) {
    if (!state->has_pending) {
      if (!::FindNextFileW(state->handle, &state->data)) {
        DWORD err = ::GetLastError();
        if (err != ERROR_NO_MORE_FILES) M_Status = ErrorStatus(err);
        return false;
      }
    }
    state->has_pending = false;
    const wchar_t* name = state->data.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    const WIN32_FIND_DATAW& d = state->data;
    *entry = DirEntry();
    entry->name = win32::Narrow(name);
    FillEntry(d.dwFileAttributes, d.ftLastWriteTime, d.ftCreationTime, d.nFileSizeHigh,
              d.nFileSizeLow, entry);
    return true;
  }
}

void DirReader::Close() {
  auto state = static_cast<FindState*>(std::exchange(M_pDir, nullptr));
  if (state == nullptr) return;
  if (state->handle != INVALID_HANDLE_VALUE) ::FindClose(state->handle);
  delete state;
}

Status GetFileInfo(std::string_view path, DirEntry* entry) {
  if (entry == nullptr || path.empty()) return Invalid();
  std::string native = TrimTrailingSeparators(NativePath(path));
  *entry = DirEntry();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(LongPathW(native).c_str(), GetFileExInfoStandard, &data)) {
    return LastErrorStatus();
  }
  FillEntry(data.dwFileAttributes, data.ftLastWriteTime, data.ftCreationTime, data.nFileSizeHigh,
            data.nFileSizeLow, entry);
  entry->name = LastComponent(native);
  return Status::Ok();
}

bool FileExists(std::string_view path) {
  if (path.empty()) return false;
  DWORD attributes = AttributesOf(LongPathW(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(std::string_view path) { return !path.empty() && IsFolder(LongPathW(path)); }

Status Rename(std::string_view from, std::string_view to, RenameMode mode, bool write_through) {
  if (from.empty() || to.empty()) return Invalid();
  if (mode == RenameMode::kReplace) {
    // Without MOVEFILE_COPY_ALLOWED a move to another volume fails with ERROR_NOT_SAME_DEVICE
    // rather than becoming a copy.
    DWORD flags = MOVEFILE_REPLACE_EXISTING;
    if (write_through) flags |= MOVEFILE_WRITE_THROUGH;
    if (!::MoveFileExW(LongPathW(from).c_str(), LongPathW(to).c_str(), flags)) {
      return LastErrorStatus();
    }
    return Status::Ok();
  }

  // A rename without replace is how pollers claim a file, and exactly one of several racers
  // may win. MoveFileExW does not ensure that: it opens the source by name with DELETE access,
  // sharing everything, and then renames that open file. A racer that opened the source just
  // before the winner renamed it keeps its handle to the winner's file until its own rename
  // has failed; meanwhile the winner cannot open its claim without sharing deletion (seen
  // under wine for a third of the claims of four racers, docs/windows.md), and where the
  // system renames the open file rather than the name (SMB, docs/network-shares.md), the
  // racer's rename succeeds as well and moves the winner's file on. So the source is opened
  // here with DELETE access and without sharing deletion: no two renamers (nor deleters) can
  // hold the file at once, and a racer fails with a sharing violation while the winner holds
  // it, with "not found" after. Readers and writers that share deletion do not stand in the
  // way, as with MoveFileExW. Backup semantics let the same call open a folder; a symbolic
  // link is opened (and renamed) itself, as MoveFileExW renames it, not what it points to.
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  if (write_through) flags |= FILE_FLAG_WRITE_THROUGH;
  win32::UniqueHandle source(::CreateFileW(LongPathW(from).c_str(), DELETE | SYNCHRONIZE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, flags, nullptr));
  if (!source.IsValid()) return LastErrorStatus();

  // The structure ends in the name's first character; the name follows it with its NUL.
  const std::wstring target = LongPathW(to);
  const size_t name_bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(info->FileName, target.c_str(), name_bytes + sizeof(wchar_t));
  // An existing target fails with ERROR_ALREADY_EXISTS, another volume with
  // ERROR_NOT_SAME_DEVICE.
  if (!::SetFileInformationByHandle(source.get(), FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    return LastErrorStatus();
  }
  return Status::Ok();
}

Status DeleteFile(std::string_view path) {
  if (path.empty()) return Invalid();
  if (!::DeleteFileW(LongPathW(path).c_str())) return LastErrorStatus();
  return Status::Ok();
}

Status DeleteFolder(std::string_view path) {
  if (path.empty()) return Invalid();
  if (!::RemoveDirectoryW(LongPathW(path).c_str())) return LastErrorStatus();
  return Status::Ok();
}

Status CreateFolder(std::string_view path) {
  if (path.empty()) return Invalid();
  if (!::CreateDirectoryW(LongPathW(path).c_str(), nullptr)) return LastErrorStatus();
  return Status::Ok();
}

Status CreateFolders(std::string_view path, std::vector<std::string>* created) {
  if (path.empty()) return Invalid();
  std::string native = TrimTrailingSeparators(NativePath(path));
  // Walk the components from the root outwards; each prefix ending at a separator is a folder.
  size_t pos = RootLength(native);
  while (pos < native.size()) {
    size_t slash = native.find('\\', pos);
    size_t end = slash == std::string::npos ? native.size() : slash;
    std::string_view component = std::string_view(native).substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == "." || component == "..") continue;
    std::string prefix = native.substr(0, end);
    std::wstring long_prefix = LongPathW(prefix);
    if (::CreateDirectoryW(long_prefix.c_str(), nullptr)) {
      if (created) created->push_back(prefix);
      continue;
    }
    DWORD err = ::GetLastError();
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
      if (IsFolder(long_prefix)) continue;
      return Status(ErrorKind::kPathNotFound, ERROR_DIRECTORY);  // a file stands in the way
    }
    if (err == ERROR_ACCESS_DENIED && IsFolder(long_prefix)) {
      continue;  // may not write the parent, but it exists
    }
    return ErrorStatus(err);
  }
  return Status::Ok();
}

Status GetFileAttributes(std::string_view path, uint32_t* attributes) {
  if (attributes == nullptr || path.empty()) return Invalid();
  DWORD value = AttributesOf(LongPathW(path));
  if (value == INVALID_FILE_ATTRIBUTES) return LastErrorStatus();
  *attributes = value;
  return Status::Ok();
}

Status SetFileAttributes(std::string_view path, uint32_t attributes) {
  if (path.empty()) return Invalid();
  // The folder bit is not settable, and "normal" stands only alone: callers pass back what
  // they read with one bit cleared, which may leave just those two.
  DWORD value = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  if (value == 0) value = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileAttributesW(LongPathW(path).c_str(), value)) return LastErrorStatus();
  return Status::Ok();
}

}  // namespace velmora::osal
