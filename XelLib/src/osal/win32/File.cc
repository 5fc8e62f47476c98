// Windows files and folders through the wide file calls, every path in the long-path form, and
// confined paths checked by the final paths of handles held along the way.
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

// --- Confinement ---------------------------------------------------------------------------

// ERROR_REPARSE_POINT_ENCOUNTERED ("The object manager encountered a reparse point while
// retrieving an object"), which not every SDK names.
constexpr DWORD kOutsideError = 4395;

Status Outside() { return Status(ErrorKind::kAccessDenied, static_cast<int>(kOutsideError)); }

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// True when path is folder or lies below it (both final paths), ignoring case.
bool IsWithinFinal(std::wstring_view path, std::wstring_view folder) {
  while (!folder.empty() && folder.back() == L'\\') folder.remove_suffix(1);
  if (path.size() < folder.size() || !EqualNoCase(path.substr(0, folder.size()), folder)) {
    return false;
  }
  return path.size() == folder.size() || path[folder.size()] == L'\\';
}

// The path the file system reached for an open handle, without the "\\?\" prefix.
Status FinalPathOf(HANDLE h, std::wstring* out) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return LastErrorStatus();
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(n);
  }
  if (buffer.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    buffer = L"\\\\" + buffer.substr(8);
  } else if (buffer.compare(0, 4, L"\\\\?\\") == 0) {
    buffer.erase(0, 4);
  }
  *out = std::move(buffer);
  return Status::Ok();
}

// The components of an absolute Windows path as given, made absolute against the working
// directory without resolving "..": a path that names a confined folder and then climbs out
// of it must be seen doing so. Empty for share and device paths, which are not judged here.
std::vector<std::wstring> RawComponents(std::string_view path) {
  std::wstring wide = win32::Widen(NativePath(path));
  std::vector<std::wstring> parts;
  if (wide.size() >= 2 && wide[0] == L'\\' && wide[1] == L'\\') return parts;
  const bool bDrive = wide.size() >= 3 && wide[1] == L':' && wide[2] == L'\\';
  if (!bDrive) {
    std::wstring cwd(MAX_PATH, L'\0');
    DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
    if (n >= cwd.size()) {
      cwd.resize(n);
      n = ::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
    }
    if (n == 0 || n >= cwd.size()) return parts;
    cwd.resize(n);
    if (cwd.size() >= 2 && cwd[0] == L'\\' && cwd[1] == L'\\') return parts;
    if (!wide.empty() && wide[0] == L'\\') {
      wide = cwd.substr(0, 2) + wide;  // rooted on the current drive
    } else if (wide.size() >= 2 && wide[1] == L':') {
      return parts;  // relative to a drive's own current folder: not worth judging
    } else {
      wide = cwd + L"\\" + wide;
    }
  }
  size_t pos = 0;
  while (pos <= wide.size()) {
    size_t slash = wide.find(L'\\', pos);
    if (slash == std::wstring::npos) slash = wide.size();
    std::wstring part = wide.substr(pos, slash - pos);
    if (!part.empty() && part != L".") parts.push_back(std::move(part));
    pos = slash + 1;
  }
  return parts;
}

// A path that a confinement covers.
struct ConfinedPath {
  std::wstring root;                // the folder in long-path form
  std::vector<std::wstring> below;  // the components below it, ".." resolved (never none)
  LinkPolicy policy = LinkPolicy::kRefuse;
  bool climbs_out = false;          // ".." led above the folder
  // The confinement's folders, into any of which a reparse point may lead (kFollowInside).
  const std::vector<std::string>* folders = nullptr;
};

// Finds the folder of the thread's confinement that holds path (the outermost one); false
// when none does, or when path names a folder itself.
bool FindConfinement(std::string_view path, ConfinedPath* out) {
  const FileConfinement* pConfinement = FileConfinement::Current();
  if (pConfinement == nullptr || path.empty()) return false;
  std::vector<std::wstring> parts = RawComponents(path);
  if (parts.empty()) return false;
  size_t best = 0;
  const std::string* pRoot = nullptr;
  for (const std::string& folder : pConfinement->folders()) {
    std::vector<std::wstring> prefix = RawComponents(folder);
    if (prefix.empty() || prefix.size() >= parts.size()) continue;
    bool bMatch = true;
    for (size_t i = 0; bMatch && i < prefix.size(); ++i) bMatch = EqualNoCase(parts[i], prefix[i]);
    if (bMatch && (pRoot == nullptr || prefix.size() < best)) {
      best = prefix.size();
      pRoot = &folder;
    }
  }
  if (pRoot == nullptr) return false;
  out->root = LongPathW(*pRoot);
  while (!out->root.empty() && out->root.back() == L'\\') out->root.pop_back();
  out->below.clear();
  out->climbs_out = false;
  // Windows resolves ".." in the text before the file system sees the path.
  for (size_t i = best; i < parts.size(); ++i) {
    if (parts[i] != L"..") {
      out->below.push_back(parts[i]);
    } else if (out->below.empty()) {
      out->climbs_out = true;
    } else {
      out->below.pop_back();
    }
  }
  if (out->below.empty()) out->climbs_out = true;  // "folder\x\.." is the folder, not below it
  out->policy = pConfinement->policy();
  out->folders = &pConfinement->folders();
  return true;
}

std::wstring JoinBelow(const ConfinedPath& c, size_t count) {
  std::wstring path = c.root;
  for (size_t i = 0; i < count; ++i) path += L"\\" + c.below[i];
  return path;
}

DWORD AttributesOfHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(h, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

// The folders from a confined path's folder down to a given depth, held open without delete
// and write sharing so that none of them can be renamed, removed or re-pointed (a reparse
// point's target is changed through a handle with write access) while held, and checked on
// the way: a reparse point is refused (kRefuse) or followed only into the folder
// (kFollowInside), and each folder's final path must be where the components say (kRefuse)
// or inside the folder.
class HeldWay {
 public:
  // Holds the first count components of c. A missing one ends the holding with Ok: what does
  // not exist cannot lead anywhere, and the operation reports it.
  Status Hold(const ConfinedPath& c, size_t count) {
    if (c.climbs_out) return Outside();
    M_pPath = &c;
    {
      win32::UniqueHandle root(::CreateFileW(c.root.c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
      if (!root.IsValid()) {
        DWORD err = ::GetLastError();
        return err == ERROR_FILE_NOT_FOUND ? Status(ErrorKind::kPathNotFound, ERROR_PATH_NOT_FOUND)
                                           : ErrorStatus(err);
      }
      Status status = FinalPathOf(root.get(), &M_RootFinal);
      if (!status.ok()) return status;
    }
    M_Expected = M_RootFinal;
    for (size_t i = 0; i < count; ++i) {
      const std::wstring path = JoinBelow(c, i + 1);
      win32::UniqueHandle h(::CreateFileW(
          path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!h.IsValid()) {
        DWORD err = ::GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return Status::Ok();
        return ErrorStatus(err);
      }
      Status status = HoldFolder(std::move(h), path, c.below[i]);
      if (!status.ok()) return status;
      M_Depth = i + 1;
    }
    return Status::Ok();
  }

  // Opens the last component of the held path (the way to it held by Hold) with access, share
  // and flags; a reparse point there is refused (kRefuse) or followed into the folder
  // (kFollowInside), and the handle must lead where it should. *pIsLink: whether it was one.
  Status OpenLast(DWORD access, DWORD share, DWORD flags, win32::UniqueHandle* out,
                  bool* pIsLink = nullptr) {
    const std::wstring path = JoinBelow(*M_pPath, M_pPath->below.size());
    win32::UniqueHandle h(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                        flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.IsValid()) return LastErrorStatus();
    DWORD attributes = AttributesOfHandle(h.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorStatus();
    const bool bReparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (pIsLink) *pIsLink = bReparse;
    if (bReparse) {
      if (M_pPath->policy == LinkPolicy::kRefuse) return Outside();
      h.Reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
      if (!h.IsValid()) return LastErrorStatus();
    }
    if (!Leads(h.get())) return Outside();
    *out = std::move(h);
    return Status::Ok();
  }

  // Whether a handle opened on the whole path (with the way held) lies where it should.
  bool Leads(HANDLE h) {
    std::wstring final;
    if (!FinalPathOf(h, &final).ok()) return false;
    if (M_pPath->policy == LinkPolicy::kFollowInside) return InFolders(final);
    return M_Depth + 1 == M_pPath->below.size() &&
           EqualNoCase(final, M_Expected + L"\\" + M_pPath->below.back());
  }

  // The number of components held: below that depth they are missing.
  size_t depth() const { return M_Depth; }

 private:
  Status HoldFolder(win32::UniqueHandle h, const std::wstring& path, const std::wstring& name) {
    DWORD attributes = AttributesOfHandle(h.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorStatus();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return Status(ErrorKind::kPathNotFound, ERROR_DIRECTORY);  // a file where a folder should be
    }
    std::wstring final;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      if (M_pPath->policy == LinkPolicy::kRefuse) return Outside();
      // The reparse point stays held; what it leads to is opened, held and judged by its final
      // path.
      win32::UniqueHandle target(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      if (!target.IsValid()) return LastErrorStatus();
      Status status = FinalPathOf(target.get(), &final);
      if (!status.ok()) return status;
      if (!InFolders(final)) return Outside();
      M_Handles.push_back(std::move(target));
    } else {
      Status status = FinalPathOf(h.get(), &final);
      if (!status.ok()) return status;
      // Where links are resolved without showing as reparse points (wine's view of POSIX
      // links), the final path still tells.
      if (M_pPath->policy == LinkPolicy::kRefuse ? !EqualNoCase(final, M_Expected + L"\\" + name)
                                                 : !InFolders(final)) {
        return Outside();
      }
    }
    M_Expected = final;
    M_Handles.push_back(std::move(h));
    return Status::Ok();
  }

  // Whether a final path lies in the path's folder or, through a reparse point, in another
  // folder of the confinement (their final paths are asked for only then).
  bool InFolders(const std::wstring& final) {
    if (IsWithinFinal(final, M_RootFinal)) return true;
    if (!M_bOtherFinalsKnown) {
      M_bOtherFinalsKnown = true;
      for (const std::string& folder : *M_pPath->folders) {
        win32::UniqueHandle h(::CreateFileW(LongPathW(folder).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
        std::wstring other;
        if (h.IsValid() && FinalPathOf(h.get(), &other).ok()) M_OtherFinals.push_back(other);
      }
    }
    for (const std::wstring& other : M_OtherFinals) {
      if (IsWithinFinal(final, other)) return true;
    }
    return false;
  }

  const ConfinedPath* M_pPath = nullptr;
  std::wstring M_RootFinal;
  bool M_bOtherFinalsKnown = false;
  std::vector<std::wstring> M_OtherFinals;
  std::wstring M_Expected;  // the final path of the deepest folder held
  std::vector<win32::UniqueHandle> M_Handles;
  size_t M_Depth = 0;
};

// Holds the folders above the last component of a confined path; Ok and nothing held when
// path is not confined.
Status HoldParents(std::string_view path, ConfinedPath* c, HeldWay* way, bool* pConfined) {
  *pConfined = FindConfinement(path, c);
  if (!*pConfined) return Status::Ok();
  return way->Hold(*c, c->below.size() - 1);
}

// Opens what a confined path leads to for its attributes (the way held and checked); false in
// *pConfined when the path is not confined (then nothing is opened).
Status OpenConfinedForAttributes(std::string_view path, DWORD access, win32::UniqueHandle* out,
                                 bool* pConfined, bool* pIsLink = nullptr) {
  ConfinedPath c;
  HeldWay way;
  Status status = HoldParents(path, &c, &way, pConfined);
  if (!*pConfined || !status.ok()) return status;
  if (way.depth() + 1 < c.below.size()) {
    return Status(ErrorKind::kPathNotFound, ERROR_PATH_NOT_FOUND);
  }
  return way.OpenLast(access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_FLAG_BACKUP_SEMANTICS, out, pIsLink);
}

// The folders above an entry of a confined path, held for the length of one call on it
// (nothing is held for a path that is not confined).
class HeldParents {
 public:
  explicit HeldParents(std::string_view path) {
    M_Status = HoldParents(path, &M_Path, &M_Way, &M_bConfined);
  }
  HeldParents(const HeldParents&) = delete;
  HeldParents& operator=(const HeldParents&) = delete;
  const Status& status() const { return M_Status; }

 private:
  ConfinedPath M_Path;
  HeldWay M_Way;
  bool M_bConfined = false;
  Status M_Status;
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

  ConfinedPath confined;
  HeldWay way;
  bool bConfined = false;
  Status held = HoldParents(path, &confined, &way, &bConfined);
  if (!held.ok()) return held;
  const std::wstring long_path = LongPathW(path);
  if (bConfined && way.depth() + 1 == confined.below.size()) {
    // An existing reparse point in the last place is never gone through under kRefuse (and a
    // new file is never made through one); under kFollowInside the handle's final path judges.
    DWORD attributes = AttributesOf(long_path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (confined.policy == LinkPolicy::kRefuse || disposition == CREATE_NEW)) {
      return disposition == CREATE_NEW ? ErrorStatus(ERROR_FILE_EXISTS) : Outside();
    }
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder fails with ERROR_ACCESS_DENIED, as callers expect.
  HANDLE h = ::CreateFileW(long_path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorStatus();
  const bool bCreated =
      disposition == CREATE_NEW || ((disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) &&
                                    ::GetLastError() != ERROR_ALREADY_EXISTS);
  if (bConfined && !way.Leads(h)) {
    // Only a race (a link put in place between the checks and the open) gets here: what the
    // open made elsewhere is removed again.
    std::wstring final;
    const bool bKnown = FinalPathOf(h, &final).ok();
    ::CloseHandle(h);
    if (bCreated && bKnown) (void)::DeleteFileW(LongPathW(win32::Narrow(final)).c_str());
    return Outside();
  }
  M_pShareFile = h;
  M_bDeleteOnClose = options.delete_on_close;
  M_Path = NativePath(path);
  return Status::Ok();
}

bool File::IsOpen() const { return M_pShareFile != nullptr; }

bool File::MayBeDeletedWhileOpen() const { return false; }

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

  // A confined folder and the way to it stay held while the listing is opened.
  ConfinedPath confined;
  HeldWay way;
  if (FindConfinement(folder, &confined)) {
    M_Status = way.Hold(confined, confined.below.size());
    if (!M_Status.ok()) return M_Status;
  }
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

bool DirReader::Next(DirEntry* entry, NameFilter filter, const void* context) {
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
    entry->name = win32::Narrow(name);
    // The listing gives the attributes with the name, so the filter saves no system call here.
    if (filter != nullptr && !filter(context, entry->name)) continue;
    FillEntry(d.dwFileAttributes, d.ftLastWriteTime, d.ftCreationTime, d.nFileSizeHigh,
              d.nFileSizeLow, entry);
    entry->is_link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
  win32::UniqueHandle h;
  bool bConfined = false;
  bool bLink = false;
  Status status = OpenConfinedForAttributes(native, FILE_READ_ATTRIBUTES, &h, &bConfined, &bLink);
  if (bConfined) {
    if (!status.ok()) return status;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info)) return LastErrorStatus();
    FillEntry(info.dwFileAttributes, info.ftLastWriteTime, info.ftCreationTime,
              info.nFileSizeHigh, info.nFileSizeLow, entry);
    entry->is_link = bLink;
    entry->name = LastComponent(native);
    return Status::Ok();
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(LongPathW(native).c_str(), GetFileExInfoStandard, &data)) {
    return LastErrorStatus();
  }
  FillEntry(data.dwFileAttributes, data.ftLastWriteTime, data.ftCreationTime, data.nFileSizeHigh,
            data.nFileSizeLow, entry);
  entry->is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry->name = LastComponent(native);
  return Status::Ok();
}

bool FileExists(std::string_view path) {
  if (path.empty()) return false;
  if (FileConfinement::Current() != nullptr) {
    DirEntry entry;
    return GetFileInfo(path, &entry).ok() && !entry.is_folder;
  }
  DWORD attributes = AttributesOf(LongPathW(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(std::string_view path) {
  if (path.empty()) return false;
  if (FileConfinement::Current() != nullptr) {
    DirEntry entry;
    return GetFileInfo(path, &entry).ok() && entry.is_folder;
  }
  return IsFolder(LongPathW(path));
}

Status Rename(std::string_view from, std::string_view to, RenameMode mode, bool write_through) {
  if (from.empty() || to.empty()) return Invalid();
  // Both ends are entries: a reparse point is moved itself, never what it leads to. The
  // folders above both stay held until the rename is done.
  ConfinedPath from_path, to_path;
  HeldWay from_way, to_way;
  bool bConfined = false;
  Status held = HoldParents(from, &from_path, &from_way, &bConfined);
  if (held.ok()) held = HoldParents(to, &to_path, &to_way, &bConfined);
  if (!held.ok()) return held;
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
  HeldParents held(path);
  if (!held.status().ok()) return held.status();
  if (!::DeleteFileW(LongPathW(path).c_str())) return LastErrorStatus();
  return Status::Ok();
}

Status DeleteFolder(std::string_view path) {
  if (path.empty()) return Invalid();
  HeldParents held(path);
  if (!held.status().ok()) return held.status();
  if (!::RemoveDirectoryW(LongPathW(path).c_str())) return LastErrorStatus();
  return Status::Ok();
}

Status CreateFolder(std::string_view path) {
  if (path.empty()) return Invalid();
  HeldParents held(path);
  if (!held.status().ok()) return held.status();
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
    // A confined prefix is made with the folders above it held; an existing one must lead to
    // a folder inside (a reparse point to elsewhere stops the walk before anything is made).
    DWORD err = ERROR_SUCCESS;
    {
      HeldParents held(prefix);
      if (!held.status().ok()) return held.status();
      if (::CreateDirectoryW(long_prefix.c_str(), nullptr)) {
        if (created) created->push_back(prefix);
        continue;
      }
      err = ::GetLastError();
    }
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS || err == ERROR_ACCESS_DENIED) {
      DirEntry entry;
      Status status = GetFileInfo(prefix, &entry);
      if (IsOutsideConfinement(status)) return status;
      if (status.ok() && entry.is_folder) continue;  // exists (perhaps without write access)
      if (err != ERROR_ACCESS_DENIED) {
        return Status(ErrorKind::kPathNotFound, ERROR_DIRECTORY);  // a file stands in the way
      }
    }
    return ErrorStatus(err);
  }
  return Status::Ok();
}

Status GetFileAttributes(std::string_view path, uint32_t* attributes) {
  if (attributes == nullptr || path.empty()) return Invalid();
  win32::UniqueHandle h;
  bool bConfined = false;
  Status status = OpenConfinedForAttributes(path, FILE_READ_ATTRIBUTES, &h, &bConfined);
  if (bConfined) {
    if (!status.ok()) return status;
    DWORD held = AttributesOfHandle(h.get());
    if (held == INVALID_FILE_ATTRIBUTES) return LastErrorStatus();
    *attributes = held;
    return Status::Ok();
  }
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
  win32::UniqueHandle h;
  bool bConfined = false;
  Status status = OpenConfinedForAttributes(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &h,
                                            &bConfined);
  if (bConfined) {
    if (!status.ok()) return status;
    FILE_BASIC_INFO info = {};  // zero times stay as they are
    info.FileAttributes = value;
    if (!::SetFileInformationByHandle(h.get(), FileBasicInfo, &info, sizeof info)) {
      return LastErrorStatus();
    }
    return Status::Ok();
  }
  if (!::SetFileAttributesW(LongPathW(path).c_str(), value)) return LastErrorStatus();
  return Status::Ok();
}

// --- Confinement ---------------------------------------------------------------------------

// Windows holds the folders on each path's way open per call (HeldWay), nothing per scope.
struct FileConfinement::Held {};

FileConfinement::FileConfinement(const std::vector<std::string>& folders, LinkPolicy policy)
    : M_Policy(policy), M_pHeld(std::make_unique<Held>()) {
  for (const std::string& folder : folders) {
    std::string native = TrimTrailingSeparators(NativePath(folder));
    if (!native.empty()) M_Folders.push_back(std::move(native));
  }
  Enter();
}

FileConfinement::~FileConfinement() { Leave(); }

Status CheckConfined(std::string_view path) {
  ConfinedPath confined;
  if (!FindConfinement(path, &confined)) return Status::Ok();
  HeldWay way;
  Status status = way.Hold(confined, confined.below.size() - 1);
  if (!status.ok()) return status.Is(ErrorKind::kPathNotFound) ? Status::Ok() : status;
  if (way.depth() + 1 < confined.below.size()) return Status::Ok();  // ends in missing folders
  win32::UniqueHandle h;
  status = way.OpenLast(FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        FILE_FLAG_BACKUP_SEMANTICS, &h);
  if (status.Is(ErrorKind::kNotFound) || status.Is(ErrorKind::kPathNotFound)) return Status::Ok();
  return status;
}

bool IsOutsideConfinement(const Status& status) {
  return status.Is(ErrorKind::kAccessDenied) && status.code() == static_cast<int>(kOutsideError);
}

// Windows has one way of resolving confined paths; the POSIX layer's switch between openat2
// and its component walk has nothing to switch here.
void UseBeneathWalkForTesting(bool) {}

}  // namespace velmora::osal
