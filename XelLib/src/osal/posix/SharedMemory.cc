// Named shared memory, robust named mutexes and named events for POSIX (Linux).
//
// docs/named-objects.md gives the names and the exact layouts, for programs that must
// open the same objects.
#include "osal/SharedMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <new>

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
// SharedMemory

SharedMemory::~SharedMemory() { Close(); }

Status SharedMemory::Create(std::string_view name, size_t size) {
  Close();
  std::string posix;
  if (!PosixName(name, &posix) || size == 0) return Invalid();
  int fd = ::shm_open(posix.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Status::FromNative(errno);
  // Everyone may open it, whatever the umask: the peer may run under another account.
  (void)::fchmod(fd, 0666);
  Status status;
  void* data = MAP_FAILED;
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    status = Status::FromNative(errno);
  } else {
    data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) status = Status::FromNative(errno);
  }
  ::close(fd);
  if (!status.ok()) {
    ::shm_unlink(posix.c_str());
    return status;
  }
  M_pData = data;
  M_Size = size;
  M_bOwner = true;
  M_Name = std::move(posix);
  return Status::Ok();
}

Status SharedMemory::Open(std::string_view name) {
  Close();
  std::string posix;
  if (!PosixName(name, &posix)) return Invalid();
  int fd = ::shm_open(posix.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::FromNative(errno);
  // A creator sizes the object right after making it; give it a moment.
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
  M_Name = std::move(posix);
  return Status::Ok();
}

void SharedMemory::Close() {
  if (M_pData != nullptr) ::munmap(M_pData, M_Size);
  if (M_bOwner && !M_Name.empty()) ::shm_unlink(M_Name.c_str());
  M_pData = nullptr;
  M_Size = 0;
  M_bOwner = false;
  M_Name.clear();
}

// ---------------------------------------------------------------------------------------
// NamedMutex

NamedMutex::~NamedMutex() { Close(); }

Status NamedMutex::Create(std::string_view name, bool initially_owned) {
  Close();
#ifndef HAVE_ROBUST_MUTEX
  return Status(ErrorKind::kNotSupported, ENOSYS);
#else
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.Create(WithSuffix(name, ".mtx"), kMutexObjectSize);
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
  if (initially_owned) M_OwnerThread = CurrentThreadId();
  block->magic.store(kMutexMagic, std::memory_order_release);
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

Status NamedEvent::Create(std::string_view name, bool manual_reset, bool initially_set) {
  Close();
  if (name.empty() || name.size() > kMaxNameLength) return Invalid();
  Status status = M_Memory.Create(WithSuffix(name, ".evt"), kEventObjectSize);
  if (!status.ok()) return status;
  auto* block = new (M_Memory.data()) EventBlock();
  block->version = kLayoutVersion;
  block->manual_reset = manual_reset ? 1 : 0;
  block->signaled.store(initially_set ? 1 : 0, std::memory_order_relaxed);
  block->sequence.store(0, std::memory_order_relaxed);
  block->magic.store(kEventMagic, std::memory_order_release);
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
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, file_prefix.size(), file_prefix) != 0) continue;
    if (::shm_unlink(("/" + name).c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace velmora::osal
