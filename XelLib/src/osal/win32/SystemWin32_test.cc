// Tests of the Windows side of the system information and threads: the Windows forms of
// folders, names without case, the environment's two copies, clusters, the event log, thread
// ids and descriptions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "WindowsSupport.h"
#include "osal/System.h"
#include "osal/Thread.h"

namespace velmora::osal {
namespace {

using win32::Widen;

TEST(SystemWin32Test, WorkingDirectoryAndSpecialFoldersInWindowsForm) {
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(::GetCurrentProcessId()));
  std::string saved, now;
  ASSERT_TRUE(GetWorkingDirectory(&saved).ok());
  ASSERT_TRUE(saved.size() >= 3 && saved[1] == ':' && saved.find('/') == std::string::npos)
      << saved;
  const std::string root = saved.substr(0, 2) + "\\";
  ASSERT_TRUE(SetWorkingDirectory(root).ok());
  EXPECT_TRUE(GetWorkingDirectory(&now).ok() && SetWorkingDirectory(saved).ok());
  EXPECT_EQ(now, root);  // a drive root keeps its separator
  for (auto [which, variable] : {std::pair{SpecialFolder::kUserAppData, "%APPDATA%"},
                                 {SpecialFolder::kCommonAppData, "%ProgramData%"},
                                 {SpecialFolder::kProgramFiles, "%ProgramFiles%"}}) {
    std::string path;
    ASSERT_TRUE(GetSpecialFolder(which, &path).ok()) << variable;
    const std::string expected = ExpandEnvironment(variable);
    EXPECT_TRUE(::CompareStringOrdinal(Widen(path).c_str(), -1, Widen(expected).c_str(), -1,
                                       TRUE) == CSTR_EQUAL)
        << path << " vs " << expected;
  }
}

TEST(SystemWin32Test, VariableNamesIgnoreCaseAndEmptyValuesStayInTheSystemCopy) {
  ASSERT_TRUE(SetEnvironmentVariable("Xel_Case_Var", "v").ok());
  EXPECT_EQ(ExpandEnvironment("[%XEL_CASE_VAR%][%xel_case_var%]"), "[v][v]");
  EXPECT_STREQ(std::getenv("XEL_CASE_VAR"), "v");
  // The C runtime cannot hold an empty variable; the system's block can.
  ASSERT_TRUE(SetEnvironmentVariable("Xel_Case_Var", "").ok());
  EXPECT_EQ(std::getenv("Xel_Case_Var"), nullptr);
  wchar_t buffer[8] = {L'x'};
  for (DWORD error : {ERROR_SUCCESS, ERROR_ENVVAR_NOT_FOUND}) {
    ::SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(::GetEnvironmentVariableW(L"Xel_Case_Var", buffer, 8), 0u);
    EXPECT_EQ(::GetLastError(), error);
    EXPECT_EQ(ExpandEnvironment("[%Xel_Case_Var%]"), error ? "[%Xel_Case_Var%]" : "[]");
    ASSERT_TRUE(UnsetEnvironmentVariable("XEL_CASE_VAR").ok());
  }
}

TEST(SystemWin32Test, ClusterNameOfANonMember) {
  std::string name = "stale", key = "stale";
  Status s = GetClusterName(&name);
  if (s.ok()) GTEST_SKIP() << "this machine is a member of cluster " << name;
  EXPECT_TRUE(s.Is(ErrorKind::kNotFound)) << s.code();
  EXPECT_TRUE(GetClusterKey(&key).Is(ErrorKind::kNotFound));  // no cluster, no key
  EXPECT_EQ(name + key, "");
}

TEST(SystemWin32Test, EventLogKeepsTheReport) {
  const std::wstring source = L"XelOsalTest";
  const std::string text = "osal test " + std::to_string(::GetCurrentProcessId()) + " \xE2\x82\xAC";
  const uint32_t event_id = 0x40020007;  // information, category 2, event 7
  ASSERT_TRUE(ReportSystemEvent("XelOsalTest", 1, event_id, text).ok());
  HANDLE log = ::OpenEventLogW(nullptr, L"Application");
  std::vector<BYTE> buffer(64 * 1024);
  DWORD read = 0, needed = 0;
  // The newest records first: the one of source with text as its one string.
  const EVENTLOGRECORD* pFound = nullptr;
  bool bReadable = false;
  for (int batch = 0; log != nullptr && batch < 16 && pFound == nullptr; ++batch) {
    if (!::ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &read, &needed)) {
      break;
    }
    bReadable = bReadable || read > 0;
    for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read && pFound == nullptr;) {
      auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      auto* first = reinterpret_cast<const wchar_t*>(buffer.data() + at + record->StringOffset);
      if (source == reinterpret_cast<const wchar_t*>(record + 1) && record->NumStrings == 1 &&
          Widen(text) == first) {
        pFound = record;
      }
      at += record->Length;
    }
  }
  if (log != nullptr) ::CloseEventLog(log);
  if (!bReadable) GTEST_SKIP() << "the Application log cannot be read back (wine keeps none)";
  ASSERT_NE(pFound, nullptr) << "the report is not in the Application log";
  EXPECT_EQ(std::vector<DWORD>({pFound->EventID, pFound->EventCategory, pFound->EventType}),
            std::vector<DWORD>({event_id, 2, EVENTLOG_INFORMATION_TYPE}));
}

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
