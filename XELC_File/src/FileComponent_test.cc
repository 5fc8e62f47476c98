// Tests of the file component: its registration and table, "GetWorkingDir", the functions
// not yet available, stopping, a schedule, and the plug-in library's exported entry.
#include "FileComponent.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "AppTestSupport.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/System.h"
#include "xel/Application.h"
#include "xel/PluginApi.h"
#include "xel/SchedulerThread.h"

namespace velmora::xelc {
namespace {

using testing::At;
using testing::CallApp;
using testing::CallHook;
using testing::Kind;
using testing::LogCapture;
using testing::StartBody;
using util::Ref;
using xel::XmlParser;

class FileComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { util::SetMasterTraceLevel(100); }
  void TearDown() override {
    (void)CallApp("<stop/>");
    util::SetMasterTraceLevel(0);
  }
  static void Start(const std::string& config = "") {
    Ref<XmlParser> answer = CallApp(StartBody("XelcFile", config));
    ASSERT_TRUE(answer);
    ASSERT_EQ(Kind(*answer), "ok");
  }
  static std::string WorkingDirAnswer() {
    Ref<XmlParser> answer = CallHook("<GetWorkingDir/>");
    if (!answer) return "<no answer>";
    if (Kind(*answer) != "WorkingDir") return "<" + Kind(*answer) + ">";
    std::string dir;
    return answer->ReadString(&dir).IsSuccess() ? dir : "<unreadable>";
  }
};

TEST_F(FileComponentTest, RegistrationAndTable) {
  const xel::ComponentInfo* info = xel::ComponentInfo::Find("XelcFile");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info, FileComponentRegistration());
  EXPECT_STREQ(info->Version(), "3.01.01");
  const char* expected[] = {"CreateFile", "ReadFile", "GetWorkingDir", "poll"};
  const xel::ServerFunctionEntry* row = info->FunctionList();
  for (const char* name : expected) {
    ASSERT_NE(row->name, nullptr);
    EXPECT_STREQ(row->name, name);
    EXPECT_EQ(row->qualifier, nullptr);
    EXPECT_NE(row->handler, nullptr);
    ++row;
  }
  EXPECT_EQ(row->name, nullptr);
  EXPECT_EQ(xel::ComponentInfo::Find("xelcfile"), nullptr);
}

TEST_F(FileComponentTest, GetWorkingDirAnswersTheCurrentDirectoryInUtf8) {
  Start();
  Ref<xel::Component> comp = xel::Application::RunningComponent();
  ASSERT_TRUE(comp);
  EXPECT_STREQ(comp->ClassName(), "File_Comp");
  std::string cwd;
  ASSERT_TRUE(osal::GetWorkingDirectory(&cwd).ok());
  EXPECT_EQ(WorkingDirAnswer(), cwd);

  testing::TempDir dir;
  const std::string unusual = dir.Join("W\xC3\xB6rk \xE2\x82\xAC");  // "Wörk €"
  std::filesystem::create_directory(unusual);
  ASSERT_EQ(::chdir(unusual.c_str()), 0);
  const std::string answered = WorkingDirAnswer();
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  EXPECT_EQ(answered, std::filesystem::canonical(unusual).string());
}

TEST_F(FileComponentTest, FunctionsNotInThisBuildAnswerWithAClearError) {
  Start();
  for (const char* name : {"CreateFile", "ReadFile", "poll"}) {
    Ref<XmlParser> answer = CallHook(std::string("<") + name + "/>");
    ASSERT_TRUE(answer) << name;
    ASSERT_EQ(Kind(*answer), "Fault") << name;
    EXPECT_EQ(At(*answer, "faultstring"),
              std::string("Function ") + name + " is not available in this build");
    int32_t code = 0;
    ASSERT_TRUE(answer->ReadIntAtPath("detail/result/code", &code).IsSuccess());
    EXPECT_EQ(util::ResultCodeCategory(static_cast<util::ResultCode>(code)),
              util::ErrNotImplemented);
  }
  Ref<XmlParser> wrongCase = CallHook("<getworkingdir/>");
  ASSERT_TRUE(wrongCase);
  EXPECT_EQ(At(*wrongCase, "faultstring"), "Function getworkingdir not supported");
}

TEST_F(FileComponentTest, StopCancelsNetworkConnectionsOnceAndTwiceIsHarmless) {
  Start();
  Ref<xel::Component> comp = xel::Application::RunningComponent();
  auto* file = dynamic_cast<FileComponent*>(comp.get());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->NetConnections().ConnectedShareCount(), 0u);
  LogCapture trace(util::LogChannelTrace);
  ASSERT_TRUE(CallApp("<stop/>"));
  ASSERT_TRUE(CallApp("<stop/>"));
  EXPECT_EQ(trace.Matching("Cancelling all network connections").size(), 1u);
  EXPECT_EQ(comp->GetState(), xel::Component::State_Stopping);
  EXPECT_EQ(WorkingDirAnswer(), "<Fault>");  // no component: only "returnOk" is served
}

// Takes about five seconds: the scheduler's first call comes after its fixed first delay.
TEST_F(FileComponentTest, ScheduleCallsGetWorkingDirAndReportsIt) {
  const std::string request = testing::EnvelopeText("<GetWorkingDir/>");
  Start("<schedule><name>wd</name><request>" + request + "</request></schedule>");
  Ref<xel::Component> comp = xel::Application::RunningComponent();
  auto schedulers = comp->Schedulers();
  ASSERT_EQ(schedulers.size(), 1u);
  ASSERT_TRUE(schedulers[0]->Join(15000));
  // No "response_delay/WorkingDir": the schedule ends after its one call.
  EXPECT_EQ(schedulers[0]->MainState(), xel::SchedulerThread::MainState_Stopped);

  std::string cwd;
  ASSERT_TRUE(osal::GetWorkingDirectory(&cwd).ok());
  Ref<XmlParser> state = CallApp("<GetState><RunLevel>0</RunLevel></GetState>");
  ASSERT_TRUE(state);
  ASSERT_EQ(Kind(*state), "ComponentInfo");
  EXPECT_EQ(At(*state, "Scheduler/Name"), "wd");
  EXPECT_EQ(At(*state, "Scheduler/Statistics/WorkingDir"), "1");
  EXPECT_EQ(At(*state, "Scheduler/LastResponse/Envelope/Body/WorkingDir"), cwd);
}

// The plug-in library beside this test exports the entry under its plain C name.
TEST(PluginLibraryTest, ExportsXelEventWhichRunsWithoutALink) {
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string lib = (self.parent_path() / "libXelcFile.so").string();
  ASSERT_TRUE(std::filesystem::exists(lib)) << lib << " (build the XelcFile target)";
  void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto entry = reinterpret_cast<xel::PluginApi::XelEventFunction>(::dlsym(handle, "XelEvent"));
  ASSERT_NE(entry, nullptr);
  const char* argv[] = {"host"};
  EXPECT_EQ(entry(xel::PluginApi::XelEventReason_Run, 1, argv, nullptr), 0);
  // The library stays loaded: its runtime's static objects live until the process ends.
}

}  // namespace
}  // namespace velmora::xelc
