// Tests of the Windows side of the osal layer with the system's own calls: names without case,
// long paths, real sharing, kernel names and access lists, the environment's two copies,
// clusters, the event log, thread descriptions, logons, impersonation, folder rights and share
// connections. What wine only pretends is skipped; a real machine's accounts and shares come
// from the environment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "WindowsSupport.h"

// After windows.h: access lists and security descriptors in their text form.
#include <aclapi.h>
#include <sddl.h>

#undef LogonUser

#include "osal/File.h"
#include "osal/Logon.h"
#include "osal/NetShare.h"
#include "osal/Security.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

using testing::ChildProcess;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempDir;
using win32::UniqueHandle;
using win32::Widen;
using enum ErrorKind;
constexpr unsigned R = kAccessRead, W = kAccessWrite;
constexpr unsigned sR = kShareRead, sW = kShareWrite, sD = kShareDelete;

// Child: takes the named mutex (first argument), says "locked", sets the named event (second
// argument) a little later and then holds the mutex until it is killed.
XEL_CHILD_MODE(hold_and_signal) {
  NamedMutex mutex;
  NamedEvent event;
  if (!mutex.Open(args.at(0)).ok() || !event.Open(args.at(1)).ok() || !mutex.Acquire(5000).ok())
    return 2;
  testing::ChildSay("locked");
  SleepMs(100);
  if (!event.Set().ok()) return 3;
  for (;;) SleepMs(1000);
}

Status WriteText(const std::string& path, std::string_view text) {
  File f;
  Status s = f.Open(path, OpenOptions{W, sR, Disposition::kCreateAlways});
  return s.ok() ? f.Write(text.data(), text.size()) : s;
}

std::string ReadAll(File& f) {
  char buf[64];
  size_t n = 0;
  std::string out;
  while (f.Read(buf, sizeof buf, &n).ok() && n > 0) out.append(buf, n);
  return out;
}

// Where wine only pretends to do what Windows does, the test says so and skips.
bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(PathsAndStatusWin32Test, LongPathsAndTheKindsOfWindowsErrors) {
  for (auto [in, out] : {std::pair{"\\\\?\\C:\\a/b.txt", "C:\\a\\b.txt"},
                         {"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x"},
                         {"//?/UNC/server/share/x", "\\\\server\\share\\x"},
                         {"C:/a/b", "C:\\a\\b"},
                         {"rel/x", "rel\\x"}}) {
    EXPECT_EQ(NativePath(in), out) << in;
  }
  EXPECT_TRUE(FileNamesIgnoreCase() && PathSeparator() == '\\');
  EXPECT_EQ(LiteralPath("C:\\in\\a.txt"), "C:\\in\\a.txt");
  std::string cwd;
  ASSERT_TRUE(GetWorkingDirectory(&cwd).ok());
  const std::wstring base = Widen(cwd.back() == '\\' ? cwd : cwd + "\\");
  // A colon beyond the drive names a stream of a file: no path at all.
  for (auto [in, out] : {std::pair<const char*, std::wstring>{"C:\\a/b", L"\\\\?\\C:\\a\\b"},
                         {"C:\\a\\.\\b\\..\\c", L"\\\\?\\C:\\a\\c"},
                         {"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
                         {"\\\\?\\C:/x/./y", L"\\\\?\\C:\\x\\.\\y"},  // already final
                         {"rel/x", L"\\\\?\\" + base + L"rel\\x"},
                         {"C:\\\xC3\xA9t\xC3\xA9", L"\\\\?\\C:\\\u00E9t\u00E9"},
                         {"C:\\x:stream", L""},
                         {"\\\\?\\C:\\a\\x:$DATA", L""},
                         {"\\\\server\\share\\x:s", L""},
                         {"rel:x", L""}}) {
    EXPECT_TRUE(win32::LongPathW(in) == out) << in << " -> " << win32::Narrow(win32::LongPathW(in));
  }
  // Windows error codes and the kinds they are classified as.
  const std::pair<ErrorKind, std::vector<DWORD>> cases[] = {
      {kNotFound, {ERROR_FILE_NOT_FOUND}},
      {kPathNotFound, {ERROR_PATH_NOT_FOUND, ERROR_BAD_NET_NAME, ERROR_DIRECTORY}},
      {kExists, {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
      {kAccessDenied, {ERROR_WRITE_PROTECT}},
      {kSharing, {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION}},
      {kNotEmpty, {ERROR_DIR_NOT_EMPTY}},
      {kTimeout, {WAIT_TIMEOUT, ERROR_TIMEOUT}},
      {kAbandoned, {ERROR_ABANDONED_WAIT_0}},
      {kNotSupported, {ERROR_NOT_SAME_DEVICE}},
      {kEndOfFile, {ERROR_HANDLE_EOF}},
      {kInvalid, {ERROR_FILENAME_EXCED_RANGE, ERROR_NO_UNICODE_TRANSLATION}},
      {kOther, {ERROR_DISK_FULL}}};
  for (const auto& [kind, codes] : cases) {
    for (DWORD code : codes) {
      Status s = Status::FromNative(static_cast<int>(code));
      EXPECT_TRUE(s.kind() == kind && s.code() == static_cast<int>(code)) << code;
    }
  }
  EXPECT_TRUE(Status::FromNative(ERROR_SUCCESS).ok());
  std::string text = Status::FromNative(ERROR_FILE_NOT_FOUND).Text();
  EXPECT_TRUE(!text.empty() && text.back() != '.' && text.back() != '\n') << text;
  constexpr int kNoMessage = 0x2000ABCD;  // customer bit set: the system has no message
  EXPECT_EQ(Status(kOther, kNoMessage).Text(), "error " + std::to_string(kNoMessage));
}

TEST(FileWin32Test, NamesCompareWithoutCase) {
  TempDir dir;
  ASSERT_TRUE(WriteText(dir.Join("a.txt"), "abc").ok());
  File f;
  ASSERT_TRUE(f.Open(dir.Join("A.TXT"), OpenOptions()).ok());
  EXPECT_EQ(ReadAll(f), "abc");
  EXPECT_TRUE(f.Close().ok() &&
              f.Open(dir.Join("A.Txt"), {W, sR, Disposition::kCreateNew}).Is(kExists));
  // Renaming to a case variant of its own name changes the name, even without replacing.
  std::string current = "a.txt";
  for (auto [to, mode] :
       {std::pair{"A.TXT", RenameMode::kNoReplace}, {"a.Txt", RenameMode::kReplace}}) {
    ASSERT_TRUE(Rename(dir.Join(current), dir.Join(to), mode, true).ok()) << to;
    DirReader reader;
    DirEntry e;
    ASSERT_TRUE(reader.Open(dir.path()).ok() && reader.Next(&e));
    if (UnderWine() && e.name == current) {
      GTEST_SKIP() << "wine reports success for a rename to a case variant but keeps the name";
    }
    EXPECT_EQ(e.name, to);
    current = to;
  }
}

TEST(FileWin32Test, ShareModesDeleteSharingAndPathsBeyondMaxPath) {
  // The first opener's access and sharing, the second's, whether the second gets in.
  const std::tuple<unsigned, unsigned, unsigned, unsigned, bool> cases[] = {
      {R, sR, R, sR, true},
      {R, sR, W, sR | sW, false},  // the first does not share writing
      {W, sR, R, sR, false},       // the second does not share the first's writing
      {W, sR | sW, R, sR | sW, true},
      {R | W, sR | sW, R | W, sR | sW, true},
      {R, kShareNone, R, sR | sW | sD, false},
  };
  TempDir dir;
  std::string path = dir.Join("shared.txt");
  ASSERT_TRUE(WriteText(path, "x").ok());
  for (auto [access1, share1, access2, share2, bOk] : cases) {
    SCOPED_TRACE(::testing::Message()
                 << access1 << "/" << share1 << " " << access2 << "/" << share2);
    File f, g;
    ASSERT_TRUE(f.Open(path, OpenOptions{access1, share1}).ok());
    EXPECT_EQ(g.Open(path, OpenOptions{access2, share2}).kind(), bOk ? kNone : kSharing);
  }
  const std::string a = dir.Join("a.txt"), b = dir.Join("b.txt");
  ASSERT_TRUE(WriteText(a, "data").ok());
  File f, g;
  ASSERT_TRUE(f.Open(a, OpenOptions()).ok());
  EXPECT_TRUE(Rename(a, b, RenameMode::kNoReplace, false).Is(kSharing));
  EXPECT_TRUE(DeleteFile(a).Is(kSharing));
  ASSERT_TRUE(f.Close().ok() && f.Open(a, {R, sR | sD}).ok() &&
              Rename(a, b, RenameMode::kNoReplace, false).ok());
  EXPECT_EQ(ReadAll(f), "data");  // the handle follows the file
  EXPECT_TRUE(!FileExists(a) && FileExists(b));
  // Other openers of a file deleted on close need delete sharing; the last handle deletes.
  ASSERT_TRUE(f.Close().ok() &&
              f.Open(a, {R | W, sR | sW | sD, Disposition::kCreateNew, true}).ok() &&
              f.Write("temp", 4).ok());
  EXPECT_TRUE(g.Open(a, {R, sR | sW}).Is(kSharing));
  ASSERT_TRUE(g.Open(a, {R, sR | sW | sD}).ok());
  EXPECT_EQ(ReadAll(g), "temp");
  ASSERT_TRUE(f.Close().ok() && g.Close().ok());
  EXPECT_FALSE(FileExists(a));
  // Paths beyond MAX_PATH work end to end.
  std::string deep = dir.path();
  for (char c = 'a'; c < 'i'; ++c) deep += "\\" + std::string(50, c);
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(deep, &created).ok() && created.size() == 8 && FolderExists(deep));
  const std::string file = deep + "/file.txt", renamed = deep + "\\renamed.txt";
  ASSERT_TRUE(WriteText(file, "long").ok());
  DirReader reader;
  DirEntry e, info;
  ASSERT_TRUE(reader.Open(deep).ok() && reader.Next(&e) && GetFileInfo(file, &info).ok());
  EXPECT_TRUE(e.name == "file.txt" && e.size == 4u && info.size == 4u && !reader.Next(&e));
  reader.Close();
  ASSERT_TRUE(Rename(file, renamed, RenameMode::kNoReplace, true).ok() &&
              f.Open(renamed, OpenOptions()).ok());
  EXPECT_EQ(ReadAll(f), "long");
  ASSERT_TRUE(f.Close().ok() && DeleteFile(renamed).ok());
  for (size_t i = created.size(); i-- > 0;) EXPECT_TRUE(DeleteFolder(created[i]).ok()) << i;
  EXPECT_FALSE(FolderExists(created[0]));
}

TEST(FileWin32Test, ReadOnlyFileRefusesWritersAndDeletion) {
  TempDir dir;
  std::string path = dir.Join("ro.txt");
  ASSERT_TRUE(WriteText(path, "x").ok() && SetFileAttributes(path, kAttrReadOnly).ok());
  EXPECT_TRUE(DeleteFile(path).Is(kAccessDenied));
  Status s = File().Open(path, OpenOptions{W});
  ASSERT_TRUE(SetFileAttributes(path, kAttrNormal).ok() && DeleteFile(path).ok());
  if (s.ok() && UnderWine()) {
    GTEST_SKIP() << "wine keeps read-only as the Linux write bits, which root ignores";
  }
  EXPECT_TRUE(s.Is(kAccessDenied)) << s.code();
}

TEST(FileWin32Test, RenameToAnotherVolumeIsNotACopy) {
  // Under wine, Z:\dev\shm is a memory file system of its own; on Windows a folder on
  // another volume has to be named.
  const char* named = std::getenv("XEL_TEST_OTHER_VOLUME");
  std::string other = named ? named : "Z:\\dev\\shm";
  if (!FolderExists(other))
    GTEST_SKIP() << "no folder on a second volume: set XEL_TEST_OTHER_VOLUME";
  TempDir dir;
  std::string from = dir.Join("move.txt");
  std::string to = other + "\\xeltest-move-" + std::to_string(::GetCurrentProcessId()) + ".txt";
  ASSERT_TRUE(WriteText(from, "m").ok());
  Status s = Rename(from, to, RenameMode::kNoReplace, true);
  bool bCopied = FileExists(to);
  if (bCopied) (void)DeleteFile(to);
  EXPECT_TRUE(s.Is(kNotSupported) && !bCopied && FileExists(from)) << s.code();
}

TEST(SystemWin32Test, FoldersVariablesAndThreadsInWindowsForm) {
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
  EXPECT_EQ(std::pair(inner_id, thread.id()), std::pair(system_id, system_id));
  if (get_description == nullptr) GTEST_SKIP() << "this system has no thread descriptions";
  EXPECT_EQ(description, L"a-rather-long-thread-name \u20AC");
}

TEST(SystemWin32Test, ClusterNameOfANonMember) {
  std::string name = "stale", key = "stale";
  Status s = GetClusterName(&name);
  if (s.ok()) GTEST_SKIP() << "this machine is a member of cluster " << name;
  EXPECT_TRUE(s.Is(kNotFound) && GetClusterKey(&key).Is(kNotFound)) << s.code();  // nor a key
  EXPECT_EQ(name + key, "");
}

TEST(SystemWin32Test, EventLogKeepsTheReport) {
  const std::string text = "osal test " + std::to_string(::GetCurrentProcessId()) + " \xE2\x82\xAC";
  const uint32_t event_id = 0x40020007;  // information, category 2, event 7
  ASSERT_TRUE(ReportSystemEvent("XelOsalTest", 1, event_id, text).ok());
  HANDLE log = ::OpenEventLogW(nullptr, L"Application");
  std::vector<BYTE> buffer(64 * 1024);
  DWORD read = 0, needed = 0;
  // The newest records first: the one of source with text as its one string.
  const EVENTLOGRECORD* pFound = nullptr;
  bool bReadable = false;
  for (int batch = 0; log != nullptr && batch < 16 && pFound == nullptr &&
                      ::ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                      buffer.data(), buffer.size(), &read, &needed);
       ++batch) {
    bReadable = bReadable || read > 0;
    for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read && pFound == nullptr;) {
      auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      auto* first = reinterpret_cast<const wchar_t*>(buffer.data() + at + record->StringOffset);
      const bool bOurs =
          std::wstring_view(reinterpret_cast<const wchar_t*>(record + 1)) == L"XelOsalTest" &&
          record->NumStrings == 1 && Widen(text) == first;
      pFound = bOurs ? record : nullptr;
      at += record->Length;
    }
  }
  if (log != nullptr) ::CloseEventLog(log);
  if (!bReadable) GTEST_SKIP() << "the Application log cannot be read back (wine keeps none)";
  ASSERT_NE(pFound, nullptr) << "the report is not in the Application log";
  EXPECT_EQ(std::vector<DWORD>({pFound->EventID, pFound->EventCategory, pFound->EventType}),
            std::vector<DWORD>({event_id, 2, EVENTLOG_INFORMATION_TYPE}));
}

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

TEST(NamedObjectsWin32Test, KernelNamesCreatorsAccessAndOneWaitForAPeersEventAndDeath) {
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
  EXPECT_TRUE(clash.Create(base + "_Mutex", false).Is(kExists));
  EXPECT_TRUE(wrong_kind.Open(base + "_Event").Is(kInvalid));
  SharedMemory not_memory;
  EXPECT_TRUE(not_memory.Open(base + "_Mutex").Is(kInvalid));
  // The wait a Windows peer of the data link makes: the other side's event and mutex at once.
  const std::string peer = UniqueName("multi");
  NamedMutex peer_mutex;
  NamedEvent peer_event;
  ASSERT_TRUE(peer_mutex.Create(peer + "_Mutex").ok() &&
              peer_event.Create(peer + "_Event", false).ok());
  UniqueHandle raw_mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, Widen(peer + "_Mutex").c_str()));
  UniqueHandle raw_event(::OpenEventW(SYNCHRONIZE, FALSE, Widen(peer + "_Event").c_str()));
  ASSERT_TRUE(raw_mutex.IsValid() && raw_event.IsValid());
  ChildProcess child;
  ASSERT_TRUE(child.Start("hold_and_signal", {peer + "_Mutex", peer + "_Event"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000) && line == "locked") << line;
  const HANDLE both[2] = {raw_mutex.get(), raw_event.get()};
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
  child.Kill();
  EXPECT_EQ(::WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_ABANDONED_0);
  ASSERT_TRUE(::ReleaseMutex(raw_mutex.get()));
  ASSERT_TRUE(peer_mutex.Acquire(0).ok() && peer_mutex.Release().ok());
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::vector<uint32_t> ImpersonatingThreads() {
  std::vector<uint32_t> threads;
  EXPECT_TRUE(ListImpersonatingThreads(&threads).ok());
  return threads;
}

std::string ThreadUser() {
  wchar_t name[257];
  DWORD length = 257;
  return ::GetUserNameW(name, &length) ? win32::Narrow(std::wstring_view(name, length - 1)) : "";
}

bool HasThreadToken() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

// XEL_TEST_WINDOWS_ACCOUNT ("name", "name@domain" or "domain\name") and
// XEL_TEST_WINDOWS_PASSWORD name an account that may log on interactively.
TEST(LogonWin32Test, OnlyTheCallingThreadIsImpersonatedUntilRevertedRefusalsCarryTheCode) {
  ASSERT_THAT(ImpersonatingThreads(), IsEmpty());
  LogonToken token;
  ASSERT_TRUE(LogonProcessAccount(&token).ok());
  const std::string self = ThreadUser();
  EXPECT_EQ(token.UserName(), self);
  ASSERT_TRUE(ImpersonateLoggedOnUser(token).ok());
  EXPECT_TRUE(IsImpersonating() && HasThreadToken());
  // Other threads, also those started now, keep the process's identity.
  bool bOther = true;
  std::thread([&] { bOther = IsImpersonating() || HasThreadToken(); }).join();
  EXPECT_FALSE(bOther);
  EXPECT_THAT(ImpersonatingThreads(), ElementsAre(CurrentThreadId()));
  ASSERT_TRUE(RevertToSelf().ok());
  EXPECT_FALSE(IsImpersonating() || HasThreadToken());
  EXPECT_THAT(ImpersonatingThreads(), IsEmpty());
  EXPECT_TRUE(RevertToSelf().ok());  // nothing left to revert
  token.Close();
  token.Close();  // the handle is closed once, then forgotten
  EXPECT_TRUE(token.NativeHandle() == nullptr && ImpersonateLoggedOnUser(token).Is(kInvalid));
  EXPECT_TRUE(LogonUser("", "pw", "", &token).Is(kInvalid));
  EXPECT_TRUE(token.Resolve("Administrator").Is(kNotSupported));
  Status refused = LogonUser("xel-no-such-user-4711", "wrong", "", &token);
  if (refused.ok()) {
    // wine: every logon succeeds with the same dummy handle, which nothing accepts.
    EXPECT_EQ(ImpersonateLoggedOnUser(token).code(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(IsImpersonating());
    GTEST_SKIP() << "LogonUserW accepts any logon with a dummy token (wine)";
  }
  EXPECT_EQ(refused.code(), ERROR_LOGON_FAILURE);  // 1326
  EXPECT_TRUE(refused.Is(kAccessDenied) && token.NativeHandle() == nullptr);
  EXPECT_FALSE(token.IsValid() || LogonErrorText(refused.code()).empty());
  const std::string account = Environment("XEL_TEST_WINDOWS_ACCOUNT");
  if (account.empty()) GTEST_SKIP() << "XEL_TEST_WINDOWS_ACCOUNT is not set";
  ASSERT_TRUE(LogonUser(account, Environment("XEL_TEST_WINDOWS_PASSWORD"), "", &token).ok() &&
              ImpersonateLoggedOnUser(token).ok());
  const std::string impersonated = ThreadUser();
  std::string other;
  std::thread([&] { other = ThreadUser(); }).join();
  ASSERT_TRUE(RevertToSelf().ok());
  EXPECT_TRUE(account.find(impersonated) != std::string::npos && impersonated != self)
      << impersonated;
  EXPECT_EQ(std::vector({other, ThreadUser()}), std::vector({self, self}));
}

TEST(SecurityWin32Test, ReadsAccessListsAndTheSystemsRightsOfATrustee) {
  TempDir dir("xelrights");
  SecurityInfo info;
  uint32_t mask = 1;
  EXPECT_TRUE(info.GetEffectiveRights(kTrusteeCurrentUser, &mask).Is(kInvalid) && mask == 0u);
  EXPECT_TRUE(info.Read("").Is(kInvalid));
  EXPECT_EQ(info.Read(dir.Join("gone")).code(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(info.Read(dir.Join("gone/deeper")).code(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(info.Read(dir.path()).ok());
  Status rights = info.GetEffectiveRights(kTrusteeCurrentUser, &mask);
  if (rights.Is(kNotSupported)) GTEST_SKIP() << "GetEffectiveRightsFromAclW is a stub";
  // The creator of a folder in its own temporary folder holds every right.
  ASSERT_TRUE(rights.ok()) << rights.code();
  EXPECT_EQ(mask & 0xF0000u, 0xF0000u) << mask;
  EXPECT_TRUE(info.GetEffectiveRights("xel-no-such-user-4711", &mask).Is(kNotFound));
  // A folder whose protected access list lets everyone only read: DELETE, WRITE_DAC and
  // WRITE_OWNER are missing, for the current user as for any other.
  const std::string reader = dir.Join("reader");
  ASSERT_TRUE(CreateFolder(reader).ok());
  PSECURITY_DESCRIPTOR pDescriptor = nullptr;
  ASSERT_TRUE(
      ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FR;;;WD)(A;OICI;FA;;;OW)", SDDL_REVISION_1, &pDescriptor, nullptr) &&
      ::SetFileSecurityW(win32::LongPathW(reader).c_str(), DACL_SECURITY_INFORMATION, pDescriptor))
      << ::GetLastError();
  ::LocalFree(pDescriptor);
  ASSERT_TRUE(GetEffectiveRights(reader, kTrusteeCurrentUser, &mask).ok());
  EXPECT_TRUE((mask & 0xF0000u) != 0xF0000u && (mask & FILE_READ_DATA) != 0) << mask;
}

// XEL_TEST_SHARE ("\\server\share" with a folder "in" that the account may write),
// XEL_TEST_SHARE_USER and XEL_TEST_SHARE_PASSWORD name a share that this machine has not
// connected yet, and XEL_TEST_SHARE_OTHER_USER another account the server knows.
TEST(NetShareWin32Test, AddingReusingAndCancellingAShareConnection) {
  const std::string share = Environment("XEL_TEST_SHARE"),
                    user = Environment("XEL_TEST_SHARE_USER"),
                    password = Environment("XEL_TEST_SHARE_PASSWORD");
  const uint32_t notConnected = CancelShareConnection("\\\\127.0.0.1\\xel-not-connected");
  if (notConnected == kNetNoNetwork) GTEST_SKIP() << "no network provider (wine)";
  EXPECT_EQ(notConnected, kNetNotConnected);
  if (share.empty() || user.empty()) GTEST_SKIP() << "XEL_TEST_SHARE and its account are not set";
  ASSERT_EQ(AddShareConnection(share, user, password + "-wrong"), kNetLogonFailure);
  ASSERT_EQ(AddShareConnection(share, user, password), kNetOk);
  EXPECT_TRUE(IsShareConnected(share + "\\in"));
  EXPECT_EQ(AddShareConnection(share, user, password), kNetAlreadyAssigned);
  if (const std::string other = Environment("XEL_TEST_SHARE_OTHER_USER"); !other.empty()) {
    EXPECT_EQ(AddShareConnection(share, other, "pw"), kNetCredentialConflict);
  }
  {
    // The file calls reach the share through "\\?\UNC\"; an open file keeps it connected.
    File file;
    ASSERT_TRUE(file.Open(share + "\\in\\xel-open.txt",
                          OpenOptions{kAccessWrite, kShareRead, Disposition::kCreateAlways})
                    .ok());
    EXPECT_EQ(CancelShareConnection(share), kNetOpenFiles);
  }
  EXPECT_TRUE(DeleteFile(share + "\\in\\xel-open.txt").ok());
  EXPECT_EQ(CancelShareConnection(share), kNetOk);
  EXPECT_TRUE(!IsShareConnected(share) && CancelShareConnection(share) == kNetNotConnected);
}

}  // namespace
}  // namespace velmora::osal
