// Named shared memory, mutexes and events for Windows: the kernel's own named objects.
//
// docs/named-objects.md describes them for programs that open the same objects.
#include "osal/SharedMemory.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "osal/Thread.h"
#include "win32/WindowsSupport.h"
// clang-format off
#include <aclapi.h>  // needs <windows.h> first
// clang-format on

namespace velmora::osal {
namespace {

using win32::Widen;

constexpr size_t kMaxNameLength = 250;  // the same limit as on POSIX

Status Invalid(DWORD code = ERROR_INVALID_PARAMETER) { return Status(ErrorKind::kInvalid, code); }

// The name as the kernel calls take it; false for names no platform accepts.
bool KernelName(std::string_view name, std::wstring* out) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  *out = Widen(name);
  return true;
}

// The security descriptor a creator gives its objects: an access list with the process's
// own user and, when access names one, a group; or none at all (every account) when access
// asks for that. Lives as long as the creation call that uses it.
class CreatorSecurity {
 public:
  Status Build(const ObjectAccess& access) {
    if (!::InitializeSecurityDescriptor(&M_Descriptor, SECURITY_DESCRIPTOR_REVISION)) {
      return win32::LastErrorStatus();
    }
    M_Attributes.nLength = sizeof M_Attributes;
    M_Attributes.lpSecurityDescriptor = &M_Descriptor;
    M_Attributes.bInheritHandle = FALSE;
    if (access.M_bAnyAccount) {
      // A present but empty (NULL) access list lets every account in.
      if (!::SetSecurityDescriptorDacl(&M_Descriptor, TRUE, nullptr, FALSE)) {
        return win32::LastErrorStatus();
      }
      return Status::Ok();
    }
    Status status = ProcessUserSid(&M_User);
    if (status.ok() && !access.M_Group.empty()) status = AccountSid(access.M_Group, &M_Group);
    if (!status.ok()) return status;
    DWORD size = sizeof(ACL);
    for (const std::vector<BYTE>* sid : {&M_User, &M_Group}) {
      if (!sid->empty()) {
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) +
                ::GetLengthSid(const_cast<BYTE*>(sid->data()));
      }
    }
    M_Acl.assign(size, 0);
    PACL acl = reinterpret_cast<PACL>(M_Acl.data());
    if (!::InitializeAcl(acl, size, ACL_REVISION)) return win32::LastErrorStatus();
    for (std::vector<BYTE>* sid : {&M_User, &M_Group}) {
      if (!sid->empty() && !::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid->data())) {
        return win32::LastErrorStatus();
      }
    }
    if (!::SetSecurityDescriptorDacl(&M_Descriptor, TRUE, acl, FALSE)) {
      return win32::LastErrorStatus();
    }
    return Status::Ok();
  }
  SECURITY_ATTRIBUTES* Attributes() { return &M_Attributes; }

  // The user the process runs as (not a thread's impersonated one: the objects belong to
  // the program, whichever thread makes them).
  static Status ProcessUserSid(std::vector<BYTE>* sid) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
      return win32::LastErrorStatus();
    }
    win32::UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
      return win32::LastErrorStatus();
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(user);
    sid->assign(bytes, bytes + ::GetLengthSid(user));
    return Status::Ok();
  }

  // The SID of a group or account name; kNotFound for a name the system does not know.
  static Status AccountSid(const std::string& name, std::vector<BYTE>* sid) {
    const std::wstring wide = Widen(name);
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    ::LookupAccountNameW(nullptr, wide.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NONE_MAPPED) return Status(ErrorKind::kNotFound, error);
      return win32::ErrorStatus(error);
    }
    sid->assign(sidSize, 0);
    std::wstring domain(domainSize, L'\0');
    if (!::LookupAccountNameW(nullptr, wide.c_str(), sid->data(), &sidSize, domain.data(),
                              &domainSize, &use)) {
      return win32::LastErrorStatus();
    }
    return Status::Ok();
  }

 private:
  SECURITY_DESCRIPTOR M_Descriptor{};
  SECURITY_ATTRIBUTES M_Attributes{};
  std::vector<BYTE> M_User;
  std::vector<BYTE> M_Group;
  std::vector<BYTE> M_Acl;
};

// Rights of the kinds of object that let a holder change it.
constexpr ACCESS_MASK kStandardWriteRights =
    GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE;
constexpr ACCESS_MASK kSectionWriteRights =
    kStandardWriteRights | SECTION_MAP_WRITE | SECTION_EXTEND_SIZE;
constexpr ACCESS_MASK kMutexWriteRights = kStandardWriteRights | MUTEX_MODIFY_STATE;
constexpr ACCESS_MASK kEventWriteRights = kStandardWriteRights | EVENT_MODIFY_STATE;

// True when the object's access list lets every account (or a group that holds every
// account, or anyone who can log on) change it. A handle opened without READ_CONTROL, or
// a descriptor that cannot be read, tells nothing: false.
bool AclLetsAnyAccountWrite(HANDLE handle, ACCESS_MASK writeRights) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool any = dacl == nullptr;  // no access list: no restriction at all
  static constexpr WELL_KNOWN_SID_TYPE kBroad[] = {
      WinWorldSid,       WinAuthenticatedUserSid, WinBuiltinUsersSid, WinBuiltinGuestsSid,
      WinInteractiveSid, WinNetworkSid,           WinAnonymousSid};
  for (DWORD i = 0; !any && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) break;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & writeRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    for (WELL_KNOWN_SID_TYPE type : kBroad) {
      BYTE buffer[SECURITY_MAX_SID_SIZE];
      DWORD size = sizeof buffer;
      if (::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer)) {
        any = true;
        break;
      }
    }
  }
  ::LocalFree(descriptor);
  return any;
}

// The outcome of a Create...W call: a new object, or kExists for a name already taken. A
// name held by an object of another kind fails with ERROR_INVALID_HANDLE, which also means
// the name is taken (all kinds share one namespace).
Status CreatedOrExists(HANDLE* handle) {
  DWORD error = ::GetLastError();
  if (*handle != nullptr && error == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(*handle);
    *handle = nullptr;
    return Status(ErrorKind::kExists, ERROR_ALREADY_EXISTS);
  }
  if (*handle != nullptr) return Status::Ok();
  if (error == ERROR_INVALID_HANDLE) return Status(ErrorKind::kExists, error);
  return win32::ErrorStatus(error);
}

// An Open...W call's failure; ERROR_INVALID_HANDLE there means an object of another kind.
Status OpenFailed() {
  DWORD error = ::GetLastError();
  if (error == ERROR_INVALID_HANDLE) return Invalid(error);
  return win32::ErrorStatus(error);
}

// A thread for as long as the process runs: ids are reused once a thread has ended, but
// not together with the creation time.
struct ThreadIdentity {
  DWORD id = 0;
  uint64_t created = 0;
  bool operator==(const ThreadIdentity&) const = default;
};

ThreadIdentity CallingThread() {
  // Plain data: thread_local objects with destructors misbehave on i686 MinGW.
  thread_local ThreadIdentity identity;
  if (identity.id == 0) {
    FILETIME created{}, exited, kernel, user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    identity.created =
        (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    identity.id = ::GetCurrentThreadId();
  }
  return identity;
}

// Which thread of this process owns each named mutex, by name. Windows mutexes are
// recursive; this record lets a second Acquire by the owner fail as on POSIX, through any
// NamedMutex of the same name. The entry of an owner that ended without releasing stays
// until the next owner replaces it, and never matches another thread.
class Owners {
 public:
  static Owners& Instance() {
    static Owners* owners = new Owners;  // never destroyed: threads may outlive main
    return *owners;
  }
  bool IsOwnedByCaller(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(M_Mutex);
    auto it = M_Owner.find(name);
    return it != M_Owner.end() && it->second == CallingThread();
  }
  void SetCaller(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Owner[name] = CallingThread();
  }
  // Forgets the caller's ownership (another thread's entry stays).
  void ForgetCaller(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(M_Mutex);
    auto it = M_Owner.find(name);
    if (it != M_Owner.end() && it->second == CallingThread()) M_Owner.erase(it);
  }

 private:
  std::mutex M_Mutex;
  std::map<std::wstring, ThreadIdentity> M_Owner;
};

// The kernel name of a mutex handle of this layer, kept beside its handle.
struct MutexObject {
  HANDLE handle;
  std::wstring name;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// SharedMemory

SharedMemory::~SharedMemory() { Close(); }

Status SharedMemory::Create(std::string_view name, size_t size, const ObjectAccess& access) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide) || size == 0) return Invalid();
  CreatorSecurity security;
  Status built = security.Build(access);
  if (!built.ok()) return built;
  const uint64_t size64 = size;
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE,
                                        static_cast<DWORD>(size64 >> 32),
                                        static_cast<DWORD>(size64 & 0xFFFFFFFFu), wide.c_str());
  Status status = CreatedOrExists(&mapping);
  if (!status.ok()) return status;
  // Pages of a mapping backed by the paging file start zero-filled.
  void* data = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (data == nullptr) {
    status = win32::LastErrorStatus();
    ::CloseHandle(mapping);
    return status;
  }
  M_pData = data;
  M_Size = size;
  M_bOwner = true;
  M_Name.assign(name);
  // The creator's handle keeps the name; the views alone do not.
  M_pHandle = mapping;
  return Status::Ok();
}

Status SharedMemory::Open(std::string_view name) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  // READ_CONTROL lets the opener read the object's access list; a creator that does not
  // grant it still lets the object be opened.
  win32::UniqueHandle mapping(
      ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE | READ_CONTROL, FALSE, wide.c_str()));
  if (!mapping.IsValid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
    mapping.Reset(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, wide.c_str()));
  }
  if (!mapping.IsValid()) return OpenFailed();
  const bool anyAccount = AclLetsAnyAccountWrite(mapping.get(), kSectionWriteRights);
  void* data = ::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  if (data == nullptr) return win32::LastErrorStatus();
  // The view covers the whole object, rounded up to pages; an opener cannot learn the
  // creator's exact size, and callers only need "at least".
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(data, &info, sizeof info) == 0) {
    Status status = win32::LastErrorStatus();
    ::UnmapViewOfFile(data);
    return status;
  }
  M_pData = data;
  M_Size = info.RegionSize;
  M_bOwner = false;
  M_bAnyAccountMayWrite = anyAccount;
  M_Name.assign(name);
  return Status::Ok();
}

// The kernel drops a name with its last handle.
bool SharedMemory::RemoveNameIfAbandoned() { return false; }

void SharedMemory::Close() {
  if (M_pData != nullptr) ::UnmapViewOfFile(M_pData);
  if (M_pHandle != nullptr) ::CloseHandle(static_cast<HANDLE>(M_pHandle));
  M_pData = nullptr;
  M_pHandle = nullptr;
  M_Size = 0;
  M_bOwner = false;
  M_bAnyAccountMayWrite = false;
  M_Name.clear();
}

// ---------------------------------------------------------------------------------------
// NamedMutex

NamedMutex::~NamedMutex() { Close(); }

Status NamedMutex::Create(std::string_view name, bool initially_owned, const ObjectAccess& access) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  CreatorSecurity security;
  Status built = security.Build(access);
  if (!built.ok()) return built;
  HANDLE handle =
      ::CreateMutexW(security.Attributes(), initially_owned ? TRUE : FALSE, wide.c_str());
  Status status = CreatedOrExists(&handle);
  if (!status.ok()) return status;
  if (initially_owned) {
    M_OwnerThread = CurrentThreadId();
    Owners::Instance().SetCaller(wide);
  }
  M_pShared = new MutexObject{handle, std::move(wide)};
  return Status::Ok();
}

Status NamedMutex::Open(std::string_view name) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  HANDLE handle =
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE, wide.c_str());
  if (handle == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
    handle = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, wide.c_str());
  }
  if (handle == nullptr) return OpenFailed();
  M_Memory.M_bAnyAccountMayWrite = AclLetsAnyAccountWrite(handle, kMutexWriteRights);
  M_pShared = new MutexObject{handle, std::move(wide)};
  return Status::Ok();
}

void NamedMutex::Close() {
  if (M_pShared == nullptr) return;
  auto* object = static_cast<MutexObject*>(M_pShared);
  if (M_OwnerThread.load() == CurrentThreadId()) (void)Release();
  // A mutex that another thread of this process owns stays owned by it until that thread
  // releases it through another handle or ends; closing this handle does not change that.
  ::CloseHandle(object->handle);
  delete object;
  M_pShared = nullptr;
  M_OwnerThread = 0;
  M_Memory.M_bAnyAccountMayWrite = false;
}

bool NamedMutex::RemoveNameIfAbandoned() { return false; }

Status NamedMutex::Acquire(uint32_t timeout_ms) {
  if (M_pShared == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  auto* object = static_cast<MutexObject*>(M_pShared);
  if (Owners::Instance().IsOwnedByCaller(object->name)) return Invalid(ERROR_POSSIBLE_DEADLOCK);
  DWORD rc = ::WaitForSingleObject(object->handle, timeout_ms);
  switch (rc) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      M_OwnerThread = CurrentThreadId();
      Owners::Instance().SetCaller(object->name);
      // The previous owner ended without releasing it: we own it now, and it stays usable.
      if (rc == WAIT_ABANDONED) return Status(ErrorKind::kAbandoned, ERROR_ABANDONED_WAIT_0);
      return Status::Ok();
    case WAIT_TIMEOUT:
      return Status(ErrorKind::kTimeout, WAIT_TIMEOUT);
    default:
      return win32::LastErrorStatus();
  }
}

Status NamedMutex::Release() {
  if (M_pShared == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  auto* object = static_cast<MutexObject*>(M_pShared);
  // Before the release: afterwards the next owner may already have made its entry.
  Owners::Instance().ForgetCaller(object->name);
  if (!::ReleaseMutex(object->handle)) {
    DWORD error = ::GetLastError();
    if (error == ERROR_NOT_OWNER) return Status(ErrorKind::kAccessDenied, error);
    return win32::ErrorStatus(error);
  }
  if (M_OwnerThread.load() == CurrentThreadId()) M_OwnerThread = 0;
  return Status::Ok();
}

// ---------------------------------------------------------------------------------------
// NamedEvent

NamedEvent::~NamedEvent() { Close(); }

Status NamedEvent::Create(std::string_view name, bool manual_reset, bool initially_set,
                          const ObjectAccess& access) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  CreatorSecurity security;
  Status built = security.Build(access);
  if (!built.ok()) return built;
  HANDLE handle = ::CreateEventW(security.Attributes(), manual_reset ? TRUE : FALSE,
                                 initially_set ? TRUE : FALSE, wide.c_str());
  Status status = CreatedOrExists(&handle);
  if (!status.ok()) return status;
  M_pShared = handle;
  return Status::Ok();
}

Status NamedEvent::Open(std::string_view name) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  HANDLE handle =
      ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL, FALSE, wide.c_str());
  if (handle == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
    handle = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, wide.c_str());
  }
  if (handle == nullptr) return OpenFailed();
  M_Memory.M_bAnyAccountMayWrite = AclLetsAnyAccountWrite(handle, kEventWriteRights);
  M_pShared = handle;
  return Status::Ok();
}

void NamedEvent::Close() {
  if (M_pShared != nullptr) ::CloseHandle(static_cast<HANDLE>(M_pShared));
  M_pShared = nullptr;
  M_Memory.M_bAnyAccountMayWrite = false;
}

bool NamedEvent::RemoveNameIfAbandoned() { return false; }

Status NamedEvent::Set() {
  if (M_pShared == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  if (!::SetEvent(static_cast<HANDLE>(M_pShared))) return win32::LastErrorStatus();
  return Status::Ok();
}

Status NamedEvent::Reset() {
  if (M_pShared == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  if (!::ResetEvent(static_cast<HANDLE>(M_pShared))) return win32::LastErrorStatus();
  return Status::Ok();
}

Status NamedEvent::Wait(uint32_t timeout_ms) {
  if (M_pShared == nullptr) return Invalid(ERROR_INVALID_HANDLE);
  switch (::WaitForSingleObject(static_cast<HANDLE>(M_pShared), timeout_ms)) {
    case WAIT_OBJECT_0:
      return Status::Ok();
    case WAIT_TIMEOUT:
      return Status(ErrorKind::kTimeout, WAIT_TIMEOUT);
    default:
      return win32::LastErrorStatus();
  }
}

// ---------------------------------------------------------------------------------------

Status CheckObjectAccess(const ObjectAccess& access) {
  if (access.M_Group.empty()) return Status::Ok();
  std::vector<BYTE> sid;
  return CreatorSecurity::AccountSid(access.M_Group, &sid);
}

// Windows drops a named object with its last handle, even when its creator was killed.
int RemoveLeftoverNamedObjects(std::string_view /*prefix*/) { return 0; }

}  // namespace velmora::osal
