// Tests of the Windows side of the named objects: kernel names as given, one namespace, the
// creator's access list, and waits for several objects across processes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "WindowsSupport.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

// After windows.h.
#include <aclapi.h>
#include <sddl.h>

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

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "<bad sid>";
  std::string out = win32::Narrow(text);
  ::LocalFree(text);
  return out;
}

// The accounts an object's access list lets in, as SID texts; "<none>" for no access list at
// all (every account). The handle needs READ_CONTROL.
std::vector<std::string> AllowedAccounts(HANDLE handle) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {"<unreadable>"};
  }
  std::vector<std::string> out;
  if (dacl == nullptr) out.push_back("<none>");
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (::GetAce(dacl, i, &ace) &&
        static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE)
      out.push_back(SidText(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
  }
  ::LocalFree(descriptor);
  return out;
}

std::string ProcessUserSid() {
  HANDLE raw = nullptr;
  BYTE buffer[512];
  DWORD size = sizeof buffer;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return "";
  UniqueHandle token(raw);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, size, &size)) return "";
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

TEST(NamedObjectsWin32Test, KernelObjectsCarryTheGivenNamesAndTheCreatorsAccess) {
  const std::string user = ProcessUserSid();
  ASSERT_FALSE(user.empty());
  struct Case {
    ObjectAccess access;
    std::vector<std::string> allowed;
  } const cases[] = {// BUILTIN\Users is S-1-5-32-545
                     {{}, {user}},
                     {{"Users", false}, {user, "S-1-5-32-545"}},
                     {{"", true}, {"<none>"}}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string base = UniqueName("names") + std::to_string(++n);
    SCOPED_TRACE(base);
    SharedMemory memory;
    NamedMutex mutex;
    NamedEvent event;
    ASSERT_TRUE(memory.Create(base + "_Mem", 4096, c.access).ok() &&
                mutex.Create(base + "_Mutex", false, c.access).ok() &&
                event.Create(base + "_Event", true, false, c.access).ok());
    // Another program finds them under exactly these names.
    const DWORD kRead = SYNCHRONIZE | READ_CONTROL;
    for (HANDLE h :
         {::OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, Widen(base + "_Mem").c_str()),
          ::OpenMutexW(kRead, FALSE, Widen(base + "_Mutex").c_str()),
          ::OpenEventW(kRead, FALSE, Widen(base + "_Event").c_str())}) {
      UniqueHandle handle(h);
      ASSERT_TRUE(handle.IsValid());
      EXPECT_EQ(AllowedAccounts(h), c.allowed);
    }
  }
  // All kinds share one namespace: a name taken by one kind is taken for the others.
  const std::string base = UniqueName("names1");
  NamedMutex mutex, wrong_kind;
  NamedEvent event, clash;
  ASSERT_TRUE(mutex.Create(base + "_Mutex").ok() && event.Create(base + "_Event", true).ok());
  EXPECT_TRUE(clash.Create(base + "_Mutex", false).Is(ErrorKind::kExists));
  EXPECT_TRUE(wrong_kind.Open(base + "_Event").Is(ErrorKind::kInvalid));
  SharedMemory not_memory;
  EXPECT_TRUE(not_memory.Open(base + "_Mutex").Is(ErrorKind::kInvalid));
}

TEST(NamedObjectsWin32Test, OneWaitSeesThePeersEventAndThenItsDeath) {
  // The wait a Windows peer of the data link makes: the other side's event and mutex at once.
  const std::string base = UniqueName("multi");
  NamedMutex mutex;
  NamedEvent event;
  ASSERT_TRUE(mutex.Create(base + "_Mutex").ok() && event.Create(base + "_Event", false).ok());
  UniqueHandle raw_mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, Widen(base + "_Mutex").c_str()));
  UniqueHandle raw_event(::OpenEventW(SYNCHRONIZE, FALSE, Widen(base + "_Event").c_str()));
  ASSERT_TRUE(raw_mutex.IsValid() && raw_event.IsValid());
  ChildProcess child;
  ASSERT_TRUE(child.Start("hold_and_signal", {base + "_Mutex", base + "_Event"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000) && line == "locked") << line;
  const HANDLE both[2] = {raw_mutex.get(), raw_event.get()};
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
  child.Kill();
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_ABANDONED_0);
  ASSERT_TRUE(::ReleaseMutex(raw_mutex.get()));
  ASSERT_TRUE(mutex.Acquire(0).ok() && mutex.Release().ok());
}

}  // namespace
}  // namespace velmora::osal
