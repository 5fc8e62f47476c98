// Tests of the Windows side of threads: thread ids and thread descriptions.
#include <gtest/gtest.h>

#include "WindowsSupport.h"
#include "osal/Thread.h"

namespace velmora::osal {
namespace {

TEST(ThreadWin32Test, IdsAndFullNamesAsThreadDescriptions) {
  using GetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get_description = win32::GetProcAddressAs<GetDescriptionFn>(
      ::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
  std::wstring description;
  uint32_t inner_id = 0, system_id = 0;
  auto body = [&] {
    inner_id = CurrentThreadId();
    system_id = ::GetCurrentThreadId();
    PWSTR text = nullptr;
    if (get_description != nullptr && SUCCEEDED(get_description(::GetCurrentThread(), &text))) {
      description = text;
      ::LocalFree(text);
    }
  };
  OsThread thread;
  ASSERT_TRUE(thread.Start("a-rather-long-thread-name \xE2\x82\xAC", body).ok() &&
              thread.Join().ok());
  EXPECT_EQ(inner_id, system_id);
  EXPECT_EQ(thread.id(), system_id);
  if (get_description == nullptr) GTEST_SKIP() << "this system has no thread descriptions";
  EXPECT_EQ(description, L"a-rather-long-thread-name \u20AC");
}

}  // namespace
}  // namespace velmora::osal
