// In-process locks.
#pragma once

#include <mutex>

namespace velmora::osal {

// A recursive in-process lock (a Windows critical section). Thread-safe.
class Lock {
 public:
  explicit Lock(const char* name = nullptr) : M_Name(name) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire() { M_Mutex.lock(); }
  void Release() { M_Mutex.unlock(); }
  bool TryAcquire() { return M_Mutex.try_lock(); }
  const char* name() const { return M_Name ? M_Name : ""; }

  // Satisfy BasicLockable so std::lock_guard and std::unique_lock work.
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  std::recursive_mutex M_Mutex;
  const char* M_Name;
};

// Holds a Lock for the lifetime of the scope.
class ScopedLock {
 public:
  explicit ScopedLock(Lock& lock) : M_Lock(lock) { M_Lock.Acquire(); }
  ~ScopedLock() { M_Lock.Release(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Lock& M_Lock;
};

}  // namespace velmora::osal
