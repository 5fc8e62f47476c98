// Named cross-process objects: shared memory, mutexes and events.
//
// Names are the platform's (for example "QUIRM8_<key>_Trace_Mem"); docs/named-objects.md
// gives how a name maps onto POSIX objects and their layout, so that other programs can
// open the same objects. Each object is owned by one thread at a time, except where noted.
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
  // The creator removes the name when it closes.
  Status Create(std::string_view name, size_t size);
  // Opens an existing object; its size is the size it was created with.
  Status Open(std::string_view name);
  void Close();
  void* data() const { return M_pData; }
  size_t size() const { return M_Size; }

 private:
  friend class NamedMutex;  // may forget a mapping that must stay valid (see NamedMutex::Close)
  void* M_pData = nullptr;
  size_t M_Size = 0;
  bool M_bOwner = false;
  std::string M_Name;
};

// A named mutex whose owner's death is noticed: the next waiter gets it with
// ErrorKind::kAbandoned (Windows' WAIT_ABANDONED), and then owns it. Not recursive.
// Ownership belongs to the thread that acquired it.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex; with initially_owned the calling thread owns it on return.
  Status Create(std::string_view name, bool initially_owned = false);
  Status Open(std::string_view name);
  void Close();
  // Ok, kAbandoned (acquired; the previous owner died), or kTimeout.
  Status Acquire(uint32_t timeout_ms);
  Status Release();
  bool IsOpen() const { return M_pShared != nullptr; }

 private:
  void* M_pShared = nullptr;
  SharedMemory M_Memory;
  std::atomic<uint32_t> M_OwnerThread{0};  // thread id of this process's owner, 0 if none
};

// A named event, auto-reset or manual-reset, visible to other processes.
class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  Status Create(std::string_view name, bool manual_reset, bool initially_set = false);
  Status Open(std::string_view name);
  void Close();
  Status Set();
  Status Reset();
  // Ok when signalled, kTimeout otherwise.
  Status Wait(uint32_t timeout_ms);
  bool IsOpen() const { return M_pShared != nullptr; }

 private:
  void* M_pShared = nullptr;
  SharedMemory M_Memory;
};

}  // namespace velmora::osal
