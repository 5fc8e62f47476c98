// Named cross-process objects: shared memory, mutexes and events.
//
// Names are the platform's (for example "QUIRM8_<key>_Trace_Mem", optionally with a
// "Global\" or "Local\" namespace prefix), 1 to 250 bytes without NUL. On Windows they
// name kernel objects as they stand; docs/named-objects.md gives how a name maps onto POSIX
// objects and their layout, so that other programs can open the same objects. Mutexes,
// events and shared memory share one namespace on Windows: give each object its own name.
// A creator makes its objects accessible to its own account only, unless it names a group
// whose members may open them too (ObjectAccess). On POSIX a creator's objects do not outlive
// its process: a name whose creator has ended is taken over by the next creator, and the
// peer that notices the death removes it (RemoveNameIfAbandoned). Each object is owned by one
// thread at a time, except where noted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Status.h"

namespace velmora::osal {

// Who besides the creator's own account may open the objects that a creator makes.
struct ObjectAccess {
  // A group whose members may open and use the objects too (POSIX: a group name or number,
  // mode 0660 with that group; Windows: a group or account name as LookupAccountNameW takes
  // it, given an access entry beside the creator's). Empty: the creator's account only
  // (POSIX mode 0600; Windows an access list with the creator's user alone).
  std::string M_Group;
  // Every account may open and write the objects (mode 0666; a descriptor without access
  // list). Never the default: only for peers that cannot do otherwise and for tests of the
  // refusal, since openers such as the data link's slave refuse such objects.
  bool M_bAnyAccount = false;
};

// Ok when access can be applied: its group is known to the system (or empty); kNotFound
// otherwise. Creators check the same, so this only lets a program refuse a bad option early.
Status CheckObjectAccess(const ObjectAccess& access);

// A named block of shared memory, mapped read-write.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates the object (zero-filled), accessible as access says, or fails with kExists
  // when a live creator has it already; a name left by a creator that has ended is taken
  // over. The name goes when the creator closes (on Windows: when the creator and every
  // other process that holds it open have closed; an opener here holds only its mapping,
  // which does not keep the name).
  Status Create(std::string_view name, size_t size, const ObjectAccess& access = {});
  // Opens an existing object and maps all of it. Mappings stay valid after the creator
  // closed. kAccessDenied when this account may not open it.
  Status Open(std::string_view name);
  void Close();
  void* data() const { return M_pData; }
  // The creator's size; for an opener at least that (Windows rounds up to whole pages).
  size_t size() const { return M_Size; }
  // For an opener: true when the object lets every account write it (POSIX: writable by
  // others; Windows: no access list, or an entry that grants a write right to Everyone,
  // Authenticated Users, Users, Guests, Interactive, Network or Anonymous).
  bool AnyAccountMayWrite() const { return M_bAnyAccountMayWrite; }
  // For an opener: removes the object's name when the process that created it has ended, so
  // that it does not outlive its creator (POSIX; Windows drops a name with its last handle:
  // false). True when removed. The mapping stays valid.
  bool RemoveNameIfAbandoned();

 private:
  friend class NamedMutex;  // may forget a mapping that must stay valid (see NamedMutex::Close)
  friend class NamedEvent;
  // POSIX, in two steps so that mutexes and events are complete before anyone can open
  // them: an object without a name, then the name for it (taking over a name whose creator
  // has ended). Publish or Close must follow CreateUnnamed.
  Status CreateUnnamed(std::string_view name, size_t size, const ObjectAccess& access);
  Status Publish();

  void* M_pData = nullptr;
  size_t M_Size = 0;
  bool M_bOwner = false;
  bool M_bAnyAccountMayWrite = false;
  std::string M_Name;
  void* M_pHandle = nullptr;  // Windows: the creator's handle of the mapping object
  int M_LockFd = -1;          // POSIX: the creator's descriptor, locked while the creator lives
};

// A named mutex whose owner's death is noticed: the next waiter gets it with
// ErrorKind::kAbandoned (Windows' WAIT_ABANDONED), and then owns it. Ownership belongs to
// the thread that acquired it; a thread that ends while owning it abandons it too.
// Not recursive on any platform: a second Acquire by the owning thread fails with kInvalid.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex (kExists when a live creator has the name); with initially_owned the
  // calling thread owns it on return.
  Status Create(std::string_view name, bool initially_owned = false,
                const ObjectAccess& access = {});
  Status Open(std::string_view name);
  // Closing by the owning thread releases the mutex first.
  void Close();
  // Waits up to timeout_ms (0xFFFFFFFF: for ever). Ok, kAbandoned (acquired; the previous
  // owner died), kTimeout, or kInvalid when the calling thread owns it already.
  Status Acquire(uint32_t timeout_ms);
  // Fails (kAccessDenied) when the calling thread does not own the mutex.
  Status Release();
  bool IsOpen() const { return M_pShared != nullptr; }
  // As SharedMemory's.
  bool AnyAccountMayWrite() const { return M_Memory.M_bAnyAccountMayWrite; }
  bool RemoveNameIfAbandoned();

 private:
  void* M_pShared = nullptr;               // the mutex block (POSIX) or the kernel handle (Windows)
  SharedMemory M_Memory;                   // POSIX: the object that holds the mutex block
  std::atomic<uint32_t> M_OwnerThread{0};  // thread id of this process's owner, 0 if none
};

// A named event, auto-reset or manual-reset, visible to other processes.
class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates the event (kExists when a live creator has the name). An auto-reset event
  // releases one waiter per Set; a manual-reset one stays set until Reset.
  Status Create(std::string_view name, bool manual_reset, bool initially_set = false,
                const ObjectAccess& access = {});
  Status Open(std::string_view name);
  void Close();
  Status Set();
  Status Reset();
  // Waits up to timeout_ms (0xFFFFFFFF: for ever): Ok when signalled, kTimeout otherwise.
  Status Wait(uint32_t timeout_ms);
  bool IsOpen() const { return M_pShared != nullptr; }
  // As SharedMemory's. (Windows keeps the flag in M_Memory too.)
  bool AnyAccountMayWrite() const { return M_Memory.M_bAnyAccountMayWrite; }
  bool RemoveNameIfAbandoned();

 private:
  void* M_pShared = nullptr;  // the event block (POSIX) or the kernel handle (Windows)
  SharedMemory M_Memory;      // POSIX: the object that holds the event block
};

// Removes the names of shared memory, mutexes and events beginning with prefix whose creators
// have ended without closing them (a live creator's objects stay). Where the system drops
// named objects with their last handle (Windows) there is nothing to remove. Returns the
// number removed.
int RemoveLeftoverNamedObjects(std::string_view prefix);

}  // namespace velmora::osal
