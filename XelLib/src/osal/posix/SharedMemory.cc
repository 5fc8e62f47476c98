// Named shared memory, robust named mutexes and named events for POSIX (Linux).
//
// docs/named-objects.md gives the names and the exact layouts, for programs that must
// open the same objects.
#include "osal/SharedMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <new>
#include <vector>

#include "XelConfig.h"
#include "osal/Thread.h"

namespace velmora::osal {
namespace {

constexpr size_t kMaxNameLength = 250;        // NAME_MAX less room for the kind suffix
constexpr uint32_t kMutexMagic = 0x584D5458;  // "XTMX" in memory order
constexpr uint32_t kEventMagic = 0x58564558;  // "XEVX"
constexpr uint32_t kLayoutVersion = 1;
constexpr uint32_t kInitWaitMs = 1000;  // how long an opener waits for a creator to finish

Status Invalid(int code = EINVAL) { return Status(ErrorKind::kInvalid, code); }
Status TimedOut() { return Status(ErrorKind::kTimeout, ETIMEDOUT); }

// "/" + name, every "/" and "\" of the name turned into "_" (shm names hold one slash).
bool PosixName(std::string_view name, std::string* out) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  out->clear();
  out->reserve(name.size() + 1);
  out->push_back('/');
  for (char c : name) {
    if (c == 0) return false;
    out->push_back(c == '/' || c == '\\' ? '_' : c);
  }
  return true;
}

// Mutexes and events live in shared-memory objects of their own, told apart by a suffix.
std::string WithSuffix(std::string_view name, const char* suffix) {
  std::string out;
  out.reserve(name.size() + 4);
  out.append(name.data(), name.size());
  out.append(suffix);
  return out;
}

void SleepOneMs() {
  struct timespec ts = {0, 1000000};
  nanosleep(&ts, nullptr);
}

uint64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Waits until the creator has published the magic word (written last, with release order).
bool WaitForMagic(const std::atomic<uint32_t>& magic, uint32_t expected) {
  uint64_t start = MonotonicMs();
  while (magic.load(std::memory_order_acquire) != expected) {
    if (MonotonicMs() - start >= kInitWaitMs) return false;
    SleepOneMs();
  }
  return true;
}

// The mutex object: 64 bytes.
struct MutexBlock {
  std::atomic<uint32_t> magic;  // 0: kMutexMagic once initialised
  uint32_t version;             // 4: kLayoutVersion
  uint32_t reserved[2];         // 8
  pthread_mutex_t mutex;        // 16: robust, process-shared, error-checking
};
constexpr size_t kMutexObjectSize = 64;
static_assert(offsetof(MutexBlock, mutex) == 16);
static_assert(sizeof(MutexBlock) <= kMutexObjectSize);

// The event object: 64 bytes of 32-bit words; the sequence word is the futex.
struct EventBlock {
  std::atomic<uint32_t> magic;     // 0: kEventMagic once initialised
  uint32_t version;                // 4: kLayoutVersion
  uint32_t manual_reset;           // 8: 1 manual, 0 auto
  std::atomic<uint32_t> signaled;  // 12: 1 while set
  std::atomic<uint32_t> sequence;  // 16: incremented by every Set; waiters sleep on it
  std::atomic<uint32_t> waiters;   // 20: threads about to sleep or sleeping on sequence
};
constexpr size_t kEventObjectSize = 64;
static_assert(offsetof(EventBlock, sequence) == 16);
static_assert(sizeof(EventBlock) <= kEventObjectSize);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation, takeover and removal of names
//
// A creator makes its object without a name (O_TMPFILE in /dev/shm), sets its mode and
// group, takes a shared flock on it, sizes and initialises it, and only then links it under
// its name. The lock lasts as long as the creator's descriptor, which the kernel closes when
// the process ends by any means; so a name whose object can be locked exclusively belongs to
// a creator that has ended, and may be removed.

namespace {

constexpr const char* kShmFolder = "/dev/shm";

std::string PathOf(const std::string& posix) { return kShmFolder + posix; }

// The group of access as a group id; (gid_t)-1 for none.
Status GroupId(const std::string& group, gid_t* gid) {
  *gid = static_cast<gid_t>(-1);
  if (group.empty()) return Status::Ok();
  if (group.find_first_not_of("0123456789") == std::string::npos && group.size() < 10) {
    *gid = static_cast<gid_t>(std::stoul(group));
    return Status::Ok();
  }
  std::vector<char> buffer(16384);
  struct group entry;
  struct group* found = nullptr;
  int rc = ::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0) return Status::FromNative(rc);
  if (found == nullptr) return Status(ErrorKind::kNotFound, ENOENT);
  *gid = found->gr_gid;
  return Status::Ok();
}

// Removes the name when its object is not locked by a live creator. True when removed.
bool RemoveIfAbandoned(const std::string& posix) {
  const std::string path = PathOf(posix);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool removed = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Still the object we locked: another remover may have replaced it meanwhile, and its
    // new object must stay (it cannot be replaced while we hold this lock).
    struct stat locked, named;
    if (::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &named) == 0 &&
        locked.st_ino == named.st_ino && locked.st_dev == named.st_dev) {
      removed = ::unlink(path.c_str()) == 0;
    }
  }
  ::close(fd);
  return removed;
}

}  // namespace

Status CheckObjectAccess(const ObjectAccess& access) {
  gid_t gid;
  return GroupId(access.M_Group, &gid);
}

// ---------------------------------------------------------------------------------------
// SharedMemory

SharedMemory::~SharedMemory() { Close(); }

Status SharedMemory::CreateUnnamed(std::string_view name, size_t size, const ObjectAccess& access) {
  Close();
  std::string posix;
  if (!PosixName(name, &posix) || size == 0) return Invalid();
  gid_t gid;
  Status status = GroupId(access.M_Group, &gid);
  if (!status.ok()) return status;
  const mode_t mode = access.M_bAnyAccount ? 0666 : access.M_Group.empty() ? 0600 : 0660;
  int fd = ::open(kShmFolder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return Status::FromNative(errno);
  // The mode is set explicitly: the umask must not decide who may open the link.
  void* data = MAP_FAILED;
  if (::fchmod(fd, mode) != 0 || (gid != static_cast<gid_t>(-1) && ::fchown(fd, -1, gid) != 0) ||
      ::flock(fd, LOCK_SH) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    status = Status::FromNative(errno);
  } else {
    data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) status = Status::FromNative(errno);
  }
  if (!status.ok()) {
    ::close(fd);
    return status;
  }
  M_pData = data;
  M_Size = size;
  M_bOwner = true;
  M_Name = std::move(posix);
  M_LockFd = fd;
  return Status::Ok();
}

Status SharedMemory::Publish() {
  if (M_LockFd < 0) return Invalid(EBADF);
  const std::string self = "/proc/self/fd/" + std::to_string(M_LockFd);
  const std::string path = PathOf(M_Name);
  // One takeover: a second clash means a live creator got the name first.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return Status::Ok();
    }
    if (errno != EEXIST) return Status::FromNative(errno);
    if (!RemoveIfAbandoned(M_Name)) break;
  }
  return Status(ErrorKind::kExists, EEXIST);
}

Status SharedMemory::Create(std::string_view name, size_t size, const ObjectAccess& access) {
  Status status = CreateUnnamed(name, size, access);
  if (status.ok()) status = Publish();
  if (!status.ok()) {
    M_bOwner = false;  // never named: nothing to remove
    Close();
  }
  return status;
}

Status SharedMemory::Open(std::string_view name) {
  Close();
  std::string posix;
  if (!PosixName(name, &posix)) return Invalid();
  int fd = ::shm_open(posix.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::FromNative(errno);
  // Creators of other programs may size the object right after making it; give them a moment.
  struct stat st;
  uint64_t start = MonotonicMs();
  for (;;) {
    if (::fstat(fd, &st) != 0) {
      Status status = Status::FromNative(errno);
      ::close(fd);
      return status;
    }
    if (st.st_size > 0 || MonotonicMs() - start >= kInitWaitMs) break;
    SleepOneMs();
  }
  if (st.st_size <= 0) {
    ::close(fd);
    return Invalid(ENODATA);
  }
  size_t size = static_cast<size_t>(st.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  Status status = data == MAP_FAILED ? Status::FromNative(errno) : Status::Ok();
  ::close(fd);
  if (!status.ok()) return status;
  M_pData = data;
  M_Size = size;
  M_bOwner = false;
  M_bAnyAccountMayWrite = (st.st_mode & S_IWOTH) != 0;
  M_Name = std::move(posix);
  return Status::Ok();
}

bool SharedMemory::RemoveNameIfAbandoned() {
  return !M_bOwner && !M_Name.empty() && RemoveIfAbandoned(M_Name);
}

void SharedMemory::Close() {
  if (M_pData != nullptr) ::munmap(M_pData, M_Size);
  if (M_bOwner && M_LockFd >= 0) {
    // Only the name of this object: one that was removed by hand and made anew stays.
    const std::string path = PathOf(M_Name);
    struct stat own, named;
    if (::fstat(M_LockFd, &own) == 0 && ::stat(path.c_str(), &named) == 0 &&
        own.st_ino == named.st_ino && own.st_dev == named.st_dev) {
      ::unlink(path.c_str());
    }
  }
  if (M_LockFd >= 0) ::close(M_LockFd);
  M_LockFd = -1;
  M_pData = nullptr;
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
#ifndef HAVE_ROBUST_MUTEX
  return Status(ErrorKind::kNotSupported, ENOSYS);
#else
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.CreateUnnamed(WithSuffix(name, ".mtx"), kMutexObjectSize, access);
  if (!status.ok()) return status;
  auto* block = static_cast<MutexBlock*>(M_Memory.data());
  block->version = kLayoutVersion;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  int rc = pthread_mutex_init(&block->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc == 0 && initially_owned) rc = pthread_mutex_lock(&block->mutex);
  if (rc != 0) {
    M_Memory.Close();
    return Status::FromNative(rc);
  }
  block->magic.store(kMutexMagic, std::memory_order_release);
  status = M_Memory.Publish();
  if (!status.ok()) {
    // Unlocked before the mapping goes: the robust list must not keep pointing into it.
    if (initially_owned) pthread_mutex_unlock(&block->mutex);
    M_Memory.M_bOwner = false;
    M_Memory.Close();
    return status;
  }
  if (initially_owned) M_OwnerThread = CurrentThreadId();
  M_pShared = block;
  return Status::Ok();
#endif
}

Status NamedMutex::Open(std::string_view name) {
  Close();
#ifndef HAVE_ROBUST_MUTEX
  return Status(ErrorKind::kNotSupported, ENOSYS);
#else
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.Open(WithSuffix(name, ".mtx"));
  if (!status.ok()) return status;
  auto* block = static_cast<MutexBlock*>(M_Memory.data());
  if (M_Memory.size() < kMutexObjectSize || !WaitForMagic(block->magic, kMutexMagic) ||
      block->version != kLayoutVersion) {
    M_Memory.Close();
    return Invalid(EPROTO);
  }
  M_pShared = block;
  return Status::Ok();
#endif
}

void NamedMutex::Close() {
  if (M_pShared == nullptr) {
    M_Memory.Close();
    return;
  }
  auto* block = static_cast<MutexBlock*>(M_pShared);
  uint32_t owner = M_OwnerThread.load();
  if (owner != 0 && owner == CurrentThreadId()) {
    pthread_mutex_unlock(&block->mutex);
    owner = 0;
  }
  if (owner != 0) {
    // Another thread of this process still holds the mutex; its robust-list entry points
    // into this mapping, which must therefore stay mapped until the process ends.
    M_Memory.M_pData = nullptr;
  }
  M_OwnerThread = 0;
  M_pShared = nullptr;
  M_Memory.Close();
}

Status NamedMutex::Acquire(uint32_t timeout_ms) {
  if (M_pShared == nullptr) return Invalid(EBADF);
  auto* block = static_cast<MutexBlock*>(M_pShared);
  int rc;
  if (timeout_ms == 0) {
    rc = pthread_mutex_trylock(&block->mutex);
    if (rc == EBUSY) rc = ETIMEDOUT;
  } else if (timeout_ms == 0xFFFFFFFFu) {
    rc = pthread_mutex_lock(&block->mutex);
  } else {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
    // A monotonic deadline is immune to changes of the wall clock.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_clocklock(&block->mutex, CLOCK_MONOTONIC, &deadline);
#else
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_timedlock(&block->mutex, &deadline);
#endif
  }
  switch (rc) {
    case 0:
      M_OwnerThread = CurrentThreadId();
      return Status::Ok();
    case EOWNERDEAD:
      // The previous owner died holding it: we own it now, and it stays usable.
      pthread_mutex_consistent(&block->mutex);
      M_OwnerThread = CurrentThreadId();
      return Status(ErrorKind::kAbandoned, EOWNERDEAD);
    case ETIMEDOUT:
      return TimedOut();
    case EDEADLK:
      return Invalid(EDEADLK);  // the calling thread already owns it (not recursive)
    default:
      return Status::FromNative(rc);
  }
}

Status NamedMutex::Release() {
  if (M_pShared == nullptr) return Invalid(EBADF);
  auto* block = static_cast<MutexBlock*>(M_pShared);
  int rc = pthread_mutex_unlock(&block->mutex);
  if (rc != 0) return Status::FromNative(rc);  // EPERM: not the owner
  M_OwnerThread = 0;
  return Status::Ok();
}

bool NamedMutex::RemoveNameIfAbandoned() { return M_Memory.RemoveNameIfAbandoned(); }

// ---------------------------------------------------------------------------------------
// NamedEvent

namespace {

// The futex is shared between processes: no FUTEX_PRIVATE_FLAG.
int FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const struct timespec* relative) {
  return static_cast<int>(::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT,
                                    expected, relative, nullptr, 0));
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool TryConsume(EventBlock* block) {
  if (block->manual_reset) return block->signaled.load(std::memory_order_acquire) == 1;
  uint32_t one = 1;
  return block->signaled.compare_exchange_strong(one, 0, std::memory_order_acq_rel);
}

}  // namespace

NamedEvent::~NamedEvent() { Close(); }

Status NamedEvent::Create(std::string_view name, bool manual_reset, bool initially_set,
                          const ObjectAccess& access) {
  Close();
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.CreateUnnamed(WithSuffix(name, ".evt"), kEventObjectSize, access);
  if (!status.ok()) return status;
  auto* block = new (M_Memory.data()) EventBlock();
  block->version = kLayoutVersion;
  block->manual_reset = manual_reset ? 1 : 0;
  block->signaled.store(initially_set ? 1 : 0, std::memory_order_relaxed);
  block->sequence.store(0, std::memory_order_relaxed);
  block->magic.store(kEventMagic, std::memory_order_release);
  status = M_Memory.Publish();
  if (!status.ok()) {
    M_Memory.M_bOwner = false;
    M_Memory.Close();
    return status;
  }
  M_pShared = block;
  return Status::Ok();
}

Status NamedEvent::Open(std::string_view name) {
  Close();
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.Open(WithSuffix(name, ".evt"));
  if (!status.ok()) return status;
  auto* block = static_cast<EventBlock*>(M_Memory.data());
  if (M_Memory.size() < kEventObjectSize || !WaitForMagic(block->magic, kEventMagic) ||
      block->version != kLayoutVersion) {
    M_Memory.Close();
    return Invalid(EPROTO);
  }
  M_pShared = block;
  return Status::Ok();
}

void NamedEvent::Close() {
  M_pShared = nullptr;
  M_Memory.Close();
}

bool NamedEvent::RemoveNameIfAbandoned() { return M_Memory.RemoveNameIfAbandoned(); }

Status NamedEvent::Set() {
  if (M_pShared == nullptr) return Invalid(EBADF);
  auto* block = static_cast<EventBlock*>(M_pShared);
  block->signaled.store(1, std::memory_order_release);
  block->sequence.fetch_add(1, std::memory_order_seq_cst);
  // Wake everybody: an auto-reset event is consumed by the first waiter's exchange, the
  // others see the flag gone and sleep again. With nobody counted as waiting the system
  // call is skipped: a waiter that registers later finds the sequence changed.
  if (block->waiters.load(std::memory_order_seq_cst) != 0) FutexWakeAll(&block->sequence);
  return Status::Ok();
}

Status NamedEvent::Reset() {
  if (M_pShared == nullptr) return Invalid(EBADF);
  static_cast<EventBlock*>(M_pShared)->signaled.store(0, std::memory_order_release);
  return Status::Ok();
}

Status NamedEvent::Wait(uint32_t timeout_ms) {
  if (M_pShared == nullptr) return Invalid(EBADF);
  auto* block = static_cast<EventBlock*>(M_pShared);
  const bool infinite = timeout_ms == 0xFFFFFFFFu;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    // Sample the sequence before testing the flag: a Set after the test changes the
    // sequence, so the futex wait below returns at once instead of missing it.
    uint32_t seq = block->sequence.load(std::memory_order_acquire);
    if (TryConsume(block)) return Status::Ok();
    struct timespec remaining;
    struct timespec* timeout = nullptr;
    if (!infinite) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t elapsed_ns =
          (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
      int64_t left_ns = static_cast<int64_t>(timeout_ms) * 1000000LL - elapsed_ns;
      if (left_ns <= 0) return TimedOut();
      remaining.tv_sec = static_cast<time_t>(left_ns / 1000000000LL);
      remaining.tv_nsec = static_cast<long>(left_ns % 1000000000LL);
      timeout = &remaining;
    }
    block->waiters.fetch_add(1, std::memory_order_seq_cst);
    int rc = FutexWait(&block->sequence, seq, timeout);
    int err = errno;
    block->waiters.fetch_sub(1, std::memory_order_seq_cst);
    if (rc != 0 && err != EAGAIN && err != EINTR && err != ETIMEDOUT) {
      return Status::FromNative(err);
    }
  }
}

// ---------------------------------------------------------------------------------------

int RemoveLeftoverNamedObjects(std::string_view prefix) {
  std::string posix;
  if (!PosixName(prefix, &posix)) return 0;
  const std::string file_prefix = posix.substr(1);  // the objects are files of /dev/shm
  int removed = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kShmFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, file_prefix.size(), file_prefix) != 0) continue;
    if (RemoveIfAbandoned("/" + name)) ++removed;
  }
  return removed;
}

}  // namespace velmora::osal
