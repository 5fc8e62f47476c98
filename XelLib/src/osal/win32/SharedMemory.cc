// Named shared memory, mutexes and events for Windows: the kernel's own named objects.
//
// docs/named-objects.md describes them for programs that open the same objects.
#include "osal/SharedMemory.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "osal/Thread.h"
#include "win32/WindowsSupport.h"

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

// The security of every object a creator makes. A NULL access list lets every account open
// the objects, so that the peer process may run under another account.
SECURITY_ATTRIBUTES* CreatorSecurity() {
  struct Attributes {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    Attributes() {
      ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
      ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
      attributes.nLength = sizeof attributes;
      attributes.lpSecurityDescriptor = &descriptor;
      attributes.bInheritHandle = FALSE;
    }
  };
  static Attributes all;  // the calls only read it
  return &all.attributes;
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

Status SharedMemory::Create(std::string_view name, size_t size) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide) || size == 0) return Invalid();
  const uint64_t size64 = size;
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, CreatorSecurity(), PAGE_READWRITE,
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
  win32::UniqueHandle mapping(
      ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, wide.c_str()));
  if (!mapping.IsValid()) return OpenFailed();
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
  M_Name.assign(name);
  return Status::Ok();
}

void SharedMemory::Close() {
  if (M_pData != nullptr) ::UnmapViewOfFile(M_pData);
  if (M_pHandle != nullptr) ::CloseHandle(static_cast<HANDLE>(M_pHandle));
  M_pData = nullptr;
  M_pHandle = nullptr;
  M_Size = 0;
  M_bOwner = false;
  M_Name.clear();
}

// ---------------------------------------------------------------------------------------
// NamedMutex

NamedMutex::~NamedMutex() { Close(); }

Status NamedMutex::Create(std::string_view name, bool initially_owned) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  HANDLE handle = ::CreateMutexW(CreatorSecurity(), initially_owned ? TRUE : FALSE, wide.c_str());
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
  HANDLE handle = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, wide.c_str());
  if (handle == nullptr) return OpenFailed();
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
}

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

Status NamedEvent::Create(std::string_view name, bool manual_reset, bool initially_set) {
  Close();
  std::wstring wide;
  if (!KernelName(name, &wide)) return Invalid();
  HANDLE handle = ::CreateEventW(CreatorSecurity(), manual_reset ? TRUE : FALSE,
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
  HANDLE handle = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, wide.c_str());
  if (handle == nullptr) return OpenFailed();
  M_pShared = handle;
  return Status::Ok();
}

void NamedEvent::Close() {
  if (M_pShared != nullptr) ::CloseHandle(static_cast<HANDLE>(M_pShared));
  M_pShared = nullptr;
}

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

// Windows drops a named object with its last handle, even when its creator was killed.
int RemoveLeftoverNamedObjects(std::string_view /*prefix*/) { return 0; }

}  // namespace velmora::osal
