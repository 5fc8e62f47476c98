// Named cross-process objects: shared memory, mutexes and events.
//
// Names are the platform's (for example "QUIRM8_<key>_Trace_Mem", optionally with a
// "Global\" or "Local\" namespace prefix), 1 to 250 bytes without NUL. On Windows they
// name kernel objects as they stand; docs/named-objects.md gives how a name maps onto POSIX
// objects and their layout, so that other programs can open the same objects. Mutexes,
// events and shared memory share one namespace on Windows: give each object its own name.
// Creators make objects that processes of any account may open. Each object is owned by one
// thread at a time, except where noted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Status.h"

namespace velmora::osal {

// A named block of shared memory, mapped read-write.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates the object (zero-filled) or fails with kExists when it is already there.
  // The name goes when the creator closes (on Windows: when the creator and every other
  // process that holds it open have closed; an opener here holds only its mapping, which
  // does not keep the name).
  Status Create(std::string_view name, size_t size);
  // Opens an existing object and maps all of it. Mappings stay valid after the creator
  // closed.
  Status Open(std::string_view name);
  void Close();
  void* data() const { return M_pData; }
  // The creator's size; for an opener at least that (Windows rounds up to whole pages).
  size_t size() const { return M_Size; }

 private:
  friend class NamedMutex;  // may forget a mapping that must stay valid (see NamedMutex::Close)
  void* M_pData = nullptr;
  size_t M_Size = 0;
  bool M_bOwner = false;
  std::string M_Name;
  void* M_pHandle = nullptr;  // Windows: the creator's handle of the mapping object
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

  // Creates the mutex (kExists when the name is taken); with initially_owned the calling
  // thread owns it on return.
  Status Create(std::string_view name, bool initially_owned = false);
  Status Open(std::string_view name);
  // Closing by the owning thread releases the mutex first.
  void Close();
  // Waits up to timeout_ms (0xFFFFFFFF: for ever). Ok, kAbandoned (acquired; the previous
  // owner died), kTimeout, or kInvalid when the calling thread owns it already.
  Status Acquire(uint32_t timeout_ms);
  // Fails (kAccessDenied) when the calling thread does not own the mutex.
  Status Release();
  bool IsOpen() const { return M_pShared != nullptr; }

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

  // Creates the event (kExists when the name is taken). An auto-reset event releases one
  // waiter per Set; a manual-reset one stays set until Reset.
  Status Create(std::string_view name, bool manual_reset, bool initially_set = false);
  Status Open(std::string_view name);
  void Close();
  Status Set();
  Status Reset();
  // Waits up to timeout_ms (0xFFFFFFFF: for ever): Ok when signalled, kTimeout otherwise.
  Status Wait(uint32_t timeout_ms);
  bool IsOpen() const { return M_pShared != nullptr; }

 private:
  void* M_pShared = nullptr;  // the event block (POSIX) or the kernel handle (Windows)
  SharedMemory M_Memory;      // POSIX: the object that holds the event block
};

// Removes the names of shared memory, mutexes and events beginning with prefix that creators
// left behind when they ended without closing them. Where the system drops named objects with
// their last handle (Windows) there is nothing to remove. Returns the number removed.
int RemoveLeftoverNamedObjects(std::string_view prefix);

}  // namespace velmora::osal
