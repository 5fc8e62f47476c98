// Tests of the Windows side of the named objects: kernel names as given, one namespace, open
// to every account, and waits for several objects across processes.
#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "WindowsSupport.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

// After windows.h.
#include <aclapi.h>

namespace {

// Child: takes the named mutex (first argument), says "locked", sets the named event (second
// argument) a little later and then holds the mutex until it is killed.
XEL_CHILD_MODE(hold_and_signal) {
  velmora::osal::NamedMutex mutex;
  velmora::osal::NamedEvent event;
  if (!mutex.Open(args.at(0)).ok() || !event.Open(args.at(1)).ok() || !mutex.Acquire(5000).ok())
    return 2;
  velmora::testing::ChildSay("locked");
  velmora::osal::SleepMs(100);
  if (!event.Set().ok()) return 3;
  for (;;) velmora::osal::SleepMs(1000);
}

}  // namespace

namespace velmora::osal {
namespace {

using testing::ChildProcess;
using win32::UniqueHandle;
using win32::Widen;

std::string UniqueName(const char* what) {
  return "XelOsalWin32Test_" + std::to_string(CurrentProcessId()) + "_" + what;
}

// True when the object's access list is the NULL one that lets every account in (the handle
// needs READ_CONTROL).
bool OpenToEveryone(HANDLE handle) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = ::GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  ::LocalFree(descriptor);
  return (control & SE_DACL_PRESENT) != 0 && dacl == nullptr;
}

TEST(NamedObjectsWin32Test, KernelObjectsCarryTheGivenNamesAndLetEveryoneIn) {
  const std::string base = UniqueName("names");
  SharedMemory memory;
  NamedMutex mutex;
  NamedEvent event;
  ASSERT_TRUE(memory.Create(base + "_Mem", 4096).ok());
  ASSERT_TRUE(mutex.Create(base + "_Mutex").ok());
  ASSERT_TRUE(event.Create(base + "_Event", true).ok());

  // Another program finds them under exactly these names.
  UniqueHandle raw_memory(
      ::OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, Widen(base + "_Mem").c_str()));
  UniqueHandle raw_mutex(
      ::OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, Widen(base + "_Mutex").c_str()));
  UniqueHandle raw_event(
      ::OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, Widen(base + "_Event").c_str()));
  ASSERT_TRUE(raw_memory.IsValid());
  ASSERT_TRUE(raw_mutex.IsValid());
  ASSERT_TRUE(raw_event.IsValid());
  for (HANDLE h : {raw_memory.get(), raw_mutex.get(), raw_event.get()}) {
    EXPECT_TRUE(OpenToEveryone(h)) << "a slave under another account could not open it";
  }

  // All kinds share one namespace: a name taken by one kind is taken for the others.
  NamedEvent clash;
  EXPECT_TRUE(clash.Create(base + "_Mutex", false).Is(ErrorKind::kExists));
  NamedMutex wrong_kind;
  EXPECT_TRUE(wrong_kind.Open(base + "_Event").Is(ErrorKind::kInvalid));
  SharedMemory not_memory;
  EXPECT_TRUE(not_memory.Open(base + "_Mutex").Is(ErrorKind::kInvalid));
}

TEST(NamedObjectsWin32Test, OneWaitSeesThePeersEventAndThenItsDeath) {
  // The wait a Windows peer of the data link makes: for the other side's event and the
  // other side's mutex at once.
  const std::string base = UniqueName("multi");
  NamedMutex mutex;
  NamedEvent event;
  ASSERT_TRUE(mutex.Create(base + "_Mutex").ok());
  ASSERT_TRUE(event.Create(base + "_Event", false).ok());
  UniqueHandle raw_mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, Widen(base + "_Mutex").c_str()));
  UniqueHandle raw_event(::OpenEventW(SYNCHRONIZE, FALSE, Widen(base + "_Event").c_str()));
  ASSERT_TRUE(raw_mutex.IsValid() && raw_event.IsValid());

  ChildProcess child;
  ASSERT_TRUE(child.Start("hold_and_signal", {base + "_Mutex", base + "_Event"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "locked");
  const HANDLE both[2] = {raw_mutex.get(), raw_event.get()};
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);

  child.Kill();
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_ABANDONED_0);
  ASSERT_TRUE(::ReleaseMutex(raw_mutex.get()));
  ASSERT_TRUE(mutex.Acquire(0).ok());
  ASSERT_TRUE(mutex.Release().ok());
}

}  // namespace
}  // namespace velmora::osal
