// Windows process and system information, clocks, random numbers, well-known folders, the
// cluster's key, owner-only files and the event-log writer.
#include "osal/System.h"  // first: windows.h would rename SetEnvironmentVariable in it

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "win32/WindowsSupport.h"

// After windows.h: the shell and the random generator.
#include <aclapi.h>
#include <bcrypt.h>
#include <rpc.h>
#include <shlobj.h>

namespace velmora::osal {
namespace {

using win32::LongPathW;
using win32::Narrow;
using win32::Widen;

Status InvalidArgument() { return Status(ErrorKind::kInvalid, ERROR_INVALID_PARAMETER); }

uint64_t FromFileTime(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Runs a call that fills a wide buffer and returns the length it needs when the buffer is
// too small (including the terminator), else the length written (without it); 0 on failure.
template <typename Call>
bool FillWide(Call call, std::wstring* out) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return false;
    if (n < buffer.size()) {
      buffer.resize(n);
      *out = std::move(buffer);
      return true;
    }
    buffer.assign(n, L'\0');
  }
  return false;
}

bool ValidVariableName(std::string_view name) {
  return !name.empty() && name.find('=') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The system's copy of a variable; the look-up ignores the case of names.
bool LookUpVariable(std::string_view name, std::wstring* value) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  const std::wstring wide_name = Widen(name);
  std::wstring buffer(256, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    ::SetLastError(ERROR_SUCCESS);
    DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), buffer.data(),
                                        static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      // 0 is also the length of a variable that exists with an empty value.
      if (::GetLastError() != ERROR_SUCCESS) return false;
      value->clear();
      return true;
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      *value = std::move(buffer);
      return true;
    }
    buffer.assign(n, L'\0');  // n: the size needed, terminator included
  }
  return false;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Status of a failed shell or COM call: its Windows error where it carries one.
Status FromHresult(HRESULT hr) {
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return win32::ErrorStatus(HRESULT_CODE(hr));
  return Status(ErrorKind::kOther, static_cast<int>(hr));
}

}  // namespace

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

std::string HostName() {
  wchar_t buffer[256];
  DWORD size = static_cast<DWORD>(sizeof buffer / sizeof buffer[0]);
  if (::GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) {
    return Narrow(std::wstring_view(buffer, size));
  }
  if (::GetLastError() != ERROR_MORE_DATA) return std::string();
  std::wstring longer(size, L'\0');  // size now counts the terminator too
  if (!::GetComputerNameExW(ComputerNameDnsHostname, longer.data(), &size)) return std::string();
  longer.resize(size);
  return Narrow(longer);
}

Status GetWorkingDirectory(std::string* dir) {
  if (dir == nullptr) return InvalidArgument();
  std::wstring wide;
  if (!FillWide([](wchar_t* b, DWORD n) { return ::GetCurrentDirectoryW(n, b); }, &wide)) {
    return win32::LastErrorStatus();
  }
  // "C:\" keeps its separator; "\\server\share\" and the rest lose theirs.
  const bool drive_root = wide.size() == 3 && wide[1] == L':';
  while (!drive_root && wide.size() > 1 && (wide.back() == L'\\' || wide.back() == L'/')) {
    wide.pop_back();
  }
  *dir = Narrow(wide);
  return Status::Ok();
}

Status SetWorkingDirectory(std::string_view dir) {
  if (dir.empty() || dir.find('\0') != std::string_view::npos) return InvalidArgument();
  if (!::SetCurrentDirectoryW(Widen(dir).c_str())) return win32::LastErrorStatus();
  return Status::Ok();
}

Status SetEnvironmentVariable(std::string_view name, std::string_view value) {
  if (!ValidVariableName(name) || value.find('\0') != std::string_view::npos) {
    return InvalidArgument();
  }
  const std::wstring wide_name = Widen(name);
  const std::wstring wide_value = Widen(value);
  // The C runtime keeps a copy of its own for getenv (wide, and narrow in the ANSI code
  // page), which _wputenv updates; the system's block serves GetEnvironmentVariable and the
  // children. _wputenv writes the system's block too, except that it removes a variable set
  // to "": hence the system's block last.
  const std::wstring assignment = wide_name + L"=" + wide_value;
  if (::_wputenv(assignment.c_str()) != 0) return Status(ErrorKind::kOther, errno);
  if (!::SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str())) {
    return win32::LastErrorStatus();
  }
  return Status::Ok();
}

Status UnsetEnvironmentVariable(std::string_view name) {
  if (!ValidVariableName(name)) return InvalidArgument();
  const std::wstring wide_name = Widen(name);
  if (!::SetEnvironmentVariableW(wide_name.c_str(), nullptr) &&
      ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return win32::LastErrorStatus();
  }
  const std::wstring removal = wide_name + L"=";  // the C runtime's way to remove one
  if (::_wputenv(removal.c_str()) != 0) return Status(ErrorKind::kOther, errno);
  return Status::Ok();
}

std::string TempDirectory() {
  std::wstring wide;
  if (!FillWide([](wchar_t* b, DWORD n) { return ::GetTempPathW(n, b); }, &wide) || wide.empty()) {
    return "C:\\Windows\\Temp\\";
  }
  if (wide.back() != L'\\') wide.push_back(L'\\');
  return Narrow(wide);
}

std::string ExpandEnvironment(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find('%', i);
    size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, open - i));
    const std::string_view name = text.substr(open + 1, close - open - 1);
    std::wstring value;
    if (LookUpVariable(name, &value)) {
      out.append(Narrow(value));
    } else if (EqualsIgnoringAsciiCase(name, "TMP") || EqualsIgnoringAsciiCase(name, "TEMP")) {
      std::string temp = TempDirectory();
      if (temp.size() > 1) temp.pop_back();  // %TMP% names the folder without a separator
      out.append(temp);
    } else {
      out.append(text.substr(open, close - open + 1));  // unknown: left as written
    }
    i = close + 1;
  }
  return out;
}

Status GetSpecialFolder(SpecialFolder which, std::string* path) {
  if (path == nullptr) return InvalidArgument();
  int csidl;
  switch (which) {
    case SpecialFolder::kUserAppData:
      csidl = CSIDL_APPDATA;
      break;
    case SpecialFolder::kCommonAppData:
      csidl = CSIDL_COMMON_APPDATA;
      break;
    case SpecialFolder::kProgramFiles:
      csidl = CSIDL_PROGRAM_FILES;
      break;
    case SpecialFolder::kTemp: {
      std::string temp = TempDirectory();
      if (temp.size() > 3) temp.pop_back();  // "C:\" stays a root
      *path = std::move(temp);
      return Status::Ok();
    }
    default:
      return InvalidArgument();
  }
  wchar_t buffer[MAX_PATH] = {};
  HRESULT hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (hr == S_FALSE || hr == E_FAIL) return Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
  if (FAILED(hr)) return FromHresult(hr);
  std::wstring wide(buffer);
  if (wide.empty()) return Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
  while (wide.size() > 3 && wide.back() == L'\\') wide.pop_back();
  *path = Narrow(wide);
  return Status::Ok();
}

Status GetProductId(std::string* id) {
  if (id == nullptr) return InvalidArgument();
  // A 32-bit process would otherwise read the redirected 32-bit view of the key.
  HKEY key = nullptr;
  LSTATUS rc =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (rc != ERROR_SUCCESS) return win32::ErrorStatus(static_cast<DWORD>(rc));
  std::wstring value(64, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    rc = ::RegGetValueW(key, nullptr, L"ProductId", RRF_RT_REG_SZ, nullptr, value.data(), &bytes);
    if (rc == ERROR_MORE_DATA) {
      value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
      continue;
    }
    if (rc == ERROR_SUCCESS) value.resize(wcsnlen(value.c_str(), bytes / sizeof(wchar_t)));
    break;
  }
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return win32::ErrorStatus(static_cast<DWORD>(rc));
  const size_t first = value.find_first_not_of(L" \t\r\n");
  if (first == std::wstring::npos) return Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
  value.erase(0, first);
  value.erase(value.find_last_not_of(L" \t\r\n") + 1);
  *id = Narrow(value);
  return Status::Ok();
}

Status GetClusterName(std::string* name) {
  if (name == nullptr) return InvalidArgument();
  name->clear();
  // The cluster client is only installed with the failover-clustering feature: without it
  // the machine is no cluster member.
  HMODULE clusapi = ::LoadLibraryW(L"ClusApi.dll");
  if (clusapi == nullptr) return Status(ErrorKind::kNotFound, static_cast<int>(::GetLastError()));
  using OpenClusterFn = void*(WINAPI*)(LPCWSTR);
  using CloseClusterFn = BOOL(WINAPI*)(void*);
  using GetClusterInformationFn = DWORD(WINAPI*)(void*, LPWSTR, LPDWORD, void*);
  auto open_cluster = win32::GetProcAddressAs<OpenClusterFn>(clusapi, "OpenCluster");
  auto close_cluster = win32::GetProcAddressAs<CloseClusterFn>(clusapi, "CloseCluster");
  auto get_information = win32::GetProcAddressAs<GetClusterInformationFn>(clusapi, "GetClusterInformation");
  Status status;
  if (open_cluster == nullptr || close_cluster == nullptr || get_information == nullptr) {
    status = Status(ErrorKind::kNotFound, ERROR_PROC_NOT_FOUND);
  } else if (void* cluster = open_cluster(nullptr); cluster == nullptr) {
    // No cluster service to answer: not a member.
    status = Status(ErrorKind::kNotFound, static_cast<int>(::GetLastError()));
  } else {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD chars = static_cast<DWORD>(buffer.size());
      error = get_information(cluster, buffer.data(), &chars, nullptr);
      if (error == ERROR_MORE_DATA) {
        buffer.assign(chars + 1, L'\0');  // chars excludes the terminator
        continue;
      }
      break;
    }
    close_cluster(cluster);
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    if (error != ERROR_SUCCESS) {
      status = Status(ErrorKind::kNotFound, static_cast<int>(error));
    } else if (buffer.empty()) {
      status = Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
    } else {
      *name = Narrow(buffer);
    }
  }
  ::FreeLibrary(clusapi);
  return status;
}

Status GetClusterKey(std::string* key) {
  if (key == nullptr) return InvalidArgument();
  key->clear();
  // Only a member goes on to the resource. This also keeps away from clients that answer
  // OpenCluster without a cluster service behind it (wine's stubs end the process when their
  // resource calls are made).
  std::string cluster_name;
  if (Status member = GetClusterName(&cluster_name); !member.ok()) return member;
  HMODULE clusapi = ::LoadLibraryW(L"ClusApi.dll");
  if (clusapi == nullptr) return Status(ErrorKind::kNotFound, static_cast<int>(::GetLastError()));
  using OpenClusterFn = void*(WINAPI*)(LPCWSTR);
  using CloseClusterFn = BOOL(WINAPI*)(void*);
  using OpenResourceFn = void*(WINAPI*)(void*, LPCWSTR);
  using CloseResourceFn = BOOL(WINAPI*)(void*);
  using ResourceKeyFn = HKEY(WINAPI*)(void*, REGSAM);
  using RegOpenKeyFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, PHKEY);
  using RegQueryValueFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPBYTE, LPDWORD);
  using RegCloseKeyFn = LONG(WINAPI*)(HKEY);
  auto open_cluster = win32::GetProcAddressAs<OpenClusterFn>(clusapi, "OpenCluster");
  auto close_cluster = win32::GetProcAddressAs<CloseClusterFn>(clusapi, "CloseCluster");
  auto open_resource = win32::GetProcAddressAs<OpenResourceFn>(clusapi, "OpenClusterResource");
  auto close_resource = win32::GetProcAddressAs<CloseResourceFn>(clusapi, "CloseClusterResource");
  auto resource_key = win32::GetProcAddressAs<ResourceKeyFn>(clusapi, "GetClusterResourceKey");
  auto reg_open = win32::GetProcAddressAs<RegOpenKeyFn>(clusapi, "ClusterRegOpenKey");
  auto reg_query = win32::GetProcAddressAs<RegQueryValueFn>(clusapi, "ClusterRegQueryValue");
  auto reg_close = win32::GetProcAddressAs<RegCloseKeyFn>(clusapi, "ClusterRegCloseKey");
  // A refusal is access denied; any other failure means there is no key to be had.
  auto failure = [](DWORD error) {
    return error == ERROR_ACCESS_DENIED ? Status(ErrorKind::kAccessDenied, static_cast<int>(error))
                                        : Status(ErrorKind::kNotFound, static_cast<int>(error));
  };
  Status status;
  if (!open_cluster || !close_cluster || !open_resource || !close_resource || !resource_key ||
      !reg_open || !reg_query || !reg_close) {
    status = Status(ErrorKind::kNotFound, ERROR_PROC_NOT_FOUND);
  } else if (void* cluster = open_cluster(nullptr); cluster == nullptr) {
    status = failure(::GetLastError());
  } else {
    const std::wstring name = Widen(kClusterKeyResource);
    void* resource = open_resource(cluster, name.c_str());
    HKEY resource_hkey = resource ? resource_key(resource, KEY_READ) : nullptr;
    HKEY parameters = nullptr;
    if (resource_hkey == nullptr) {
      status = failure(::GetLastError());
    } else if (LONG rc = reg_open(resource_hkey, L"Parameters", KEY_READ, &parameters);
               rc != ERROR_SUCCESS) {
      status = failure(static_cast<DWORD>(rc));
    } else {
      std::vector<BYTE> value(64);
      DWORD type = 0;
      LONG rc2 = ERROR_MORE_DATA;
      for (int attempt = 0; attempt < 4 && rc2 == ERROR_MORE_DATA; ++attempt) {
        DWORD size = static_cast<DWORD>(value.size());
        rc2 = reg_query(parameters, L"EncryptionKey", &type, value.data(), &size);
        if (rc2 == ERROR_MORE_DATA) value.resize(size);
        if (rc2 == ERROR_SUCCESS) value.resize(size);
      }
      if (rc2 != ERROR_SUCCESS) {
        status = failure(static_cast<DWORD>(rc2));
      } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(value.data()),
                          value.size() / sizeof(wchar_t));
        text.resize(wcsnlen(text.c_str(), text.size()));
        *key = Narrow(text);
      } else {
        key->assign(reinterpret_cast<const char*>(value.data()), value.size());
      }
      SecureZeroMemory(value.data(), value.size());
      reg_close(parameters);
      if (status.ok() && key->empty()) status = Status(ErrorKind::kNotFound, ERROR_FILE_NOT_FOUND);
    }
    if (resource_hkey != nullptr) reg_close(resource_hkey);
    if (resource != nullptr) close_resource(resource);
    close_cluster(cluster);
  }
  ::FreeLibrary(clusapi);
  return status;
}

namespace {

// The SID of the account the process runs as, in *buffer.
Status CurrentUserSid(std::vector<BYTE>* buffer) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return win32::LastErrorStatus();
  }
  win32::UniqueHandle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer->assign(size, 0);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer->data(), size, &size)) {
    return win32::LastErrorStatus();
  }
  return Status::Ok();
}

// True when an access-allowed entry lets sid read, and sid is none of the accounts a secret
// file may be readable by.
bool OtherReader(const ACCESS_ALLOWED_ACE* ace, PSID owner, PSID user) {
  if (ace->Header.AceFlags & INHERIT_ONLY_ACE) return false;
  const ACCESS_MASK reading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
  if (!(ace->Mask & reading)) return false;
  PSID sid = const_cast<DWORD*>(&ace->SidStart);
  if ((owner && ::EqualSid(sid, owner)) || (user && ::EqualSid(sid, user))) return false;
  return !::IsWellKnownSid(sid, WinLocalSystemSid) &&
         !::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

}  // namespace

Status ReadOwnerOnlyFile(std::string_view path, size_t max_size, std::string* content) {
  if (content == nullptr) return InvalidArgument();
  content->clear();
  win32::UniqueHandle file(::CreateFileW(LongPathW(path).c_str(), GENERIC_READ | READ_CONTROL,
                                         FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return win32::LastErrorStatus();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = ::GetSecurityInfo(file.get(), SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                               nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return win32::ErrorStatus(rc);
  std::vector<BYTE> user;
  const bool have_user = CurrentUserSid(&user).ok();
  PSID user_sid = have_user ? reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid : nullptr;
  bool others = dacl == nullptr;  // no access list: everybody may read
  for (DWORD i = 0; !others && dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    others = OtherReader(static_cast<const ACCESS_ALLOWED_ACE*>(ace), owner, user_sid);
  }
  ::LocalFree(descriptor);
  if (others) return Status(ErrorKind::kAccessDenied, ERROR_ACCESS_DENIED);
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
      content->clear();
      return win32::LastErrorStatus();
    }
    if (n == 0) break;
    if (content->size() + n > max_size) {
      content->clear();
      return Status(ErrorKind::kInvalid, ERROR_FILE_TOO_LARGE);
    }
    content->append(buffer, n);
  }
  return Status::Ok();
}

Status WriteOwnerOnlyFile(std::string_view path, std::string_view content) {
  std::vector<BYTE> user;
  Status status = CurrentUserSid(&user);
  if (!status.ok()) return status;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  // An access list with the user alone, not inherited from the folder.
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
  std::vector<BYTE> acl_buffer(acl_size);
  PACL acl = reinterpret_cast<PACL>(acl_buffer.data());
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return win32::LastErrorStatus();
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  // An existing file would keep its own access list: write a new one and move it over.
  const std::string temp = std::string(path) + ".tmp" + std::to_string(::GetCurrentProcessId());
  const std::wstring temp_w = LongPathW(temp);
  {
    win32::UniqueHandle file(::CreateFileW(temp_w.c_str(), GENERIC_WRITE, 0, &attributes,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return win32::LastErrorStatus();
    DWORD written = 0;
    if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                     nullptr) ||
        written != content.size()) {
      status = win32::LastErrorStatus();
    }
  }
  if (status.ok() &&
      !::MoveFileExW(temp_w.c_str(), LongPathW(path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    status = win32::LastErrorStatus();
  }
  if (!status.ok()) ::DeleteFileW(temp_w.c_str());
  return status;
}

uint64_t SystemTimeAsFileTime() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return FromFileTime(ft);
}

LocalTime FileTimeToLocal(uint64_t file_time) {
  FILETIME utc;
  utc.dwLowDateTime = static_cast<DWORD>(file_time & 0xFFFFFFFFu);
  utc.dwHighDateTime = static_cast<DWORD>(file_time >> 32);
  FILETIME local;
  SYSTEMTIME st{};
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st)) {
    return LocalTime{1601, 1, 1, 0, 0, 0, 0};
  }
  return LocalTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                   st.wMinute, st.wSecond, st.wMilliseconds};
}

LocalTime CurrentLocalTime() { return FileTimeToLocal(SystemTimeAsFileTime()); }

uint64_t PerformanceCounter() {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart);
}

uint64_t PerformanceFrequency() {
  // Fixed at boot; read once.
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  return frequency;
}

uint64_t TickCountMs() { return ::GetTickCount64(); }

void RandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      // Handing out predictable bytes where unpredictable ones were asked for is worse
      // than stopping.
      std::fputs("fatal: the system's random generator is not available\n", stderr);
      std::abort();
    }
    p += chunk;
    size -= chunk;
  }
}

void CreateUuid(uint8_t out[16]) {
  UUID uuid;
  const RPC_STATUS rc = ::UuidCreate(&uuid);
  if (rc != RPC_S_OK && rc != RPC_S_UUID_LOCAL_ONLY) {
    // UuidCreate draws from the same generator; make the UUID by hand from it.
    RandomBytes(out, 16);
    out[6] = static_cast<uint8_t>((out[6] & 0x0F) | 0x40);  // version 4
    out[8] = static_cast<uint8_t>((out[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return;
  }
  // The structure holds its first three fields in the machine's (little-endian) order.
  out[0] = static_cast<uint8_t>(uuid.Data1 >> 24);
  out[1] = static_cast<uint8_t>(uuid.Data1 >> 16);
  out[2] = static_cast<uint8_t>(uuid.Data1 >> 8);
  out[3] = static_cast<uint8_t>(uuid.Data1);
  out[4] = static_cast<uint8_t>(uuid.Data2 >> 8);
  out[5] = static_cast<uint8_t>(uuid.Data2);
  out[6] = static_cast<uint8_t>(uuid.Data3 >> 8);
  out[7] = static_cast<uint8_t>(uuid.Data3);
  for (int i = 0; i < 8; ++i) out[8 + i] = uuid.Data4[i];
}

Status ReportSystemEvent(std::string_view source, int type, uint32_t event_id,
                         std::string_view text) {
  WORD event_type;
  switch (type) {
    case 0:
    case 1:
      event_type = EVENTLOG_INFORMATION_TYPE;
      break;
    case 2:
      event_type = EVENTLOG_WARNING_TYPE;
      break;
    case 3:
      event_type = EVENTLOG_ERROR_TYPE;
      break;
    default:
      return InvalidArgument();
  }
  // The wide calls keep the UTF-8 text intact; the ANSI ones would pass it through the
  // code page.
  const std::wstring wide_source = Widen(source.empty() ? std::string_view("Tirzel") : source);
  HANDLE log = ::RegisterEventSourceW(nullptr, wide_source.c_str());
  if (log == nullptr) return Status(ErrorKind::kInvalid, static_cast<int>(::GetLastError()));
  const std::wstring wide_text = Widen(text);
  const wchar_t* strings[1] = {wide_text.c_str()};
  const WORD category = static_cast<WORD>((event_id >> 16) & 0x0FFFu);
  Status status;
  if (!::ReportEventW(log, event_type, category, event_id, nullptr, 1, 0, strings, nullptr)) {
    status = Status(ErrorKind::kOther, static_cast<int>(::GetLastError()));
  }
  ::DeregisterEventSource(log);
  return status;
}

[[noreturn]] void TerminateProcess(int exit_code) {
  // Standard error is unbuffered on POSIX, so whatever a dying process wrote there arrives.
  // The C runtime here may still hold the end of the last message.
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exit_code));
  std::_Exit(exit_code);  // not reached: the call above does not return for this process
}

}  // namespace velmora::osal
