// Tests of the file component: its table, "GetWorkingDir", stop, a schedule, the exported entry.
#include "FileComponent.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/File.h"
#include "osal/Library.h"
#include "osal/Process.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "xel/Application.h"
#include "xel/ConnectionPtp.h"
#include "xel/DataLinkIpc.h"
#include "xel/PluginApi.h"
#include "xel/SchedulerThread.h"
#include "xel/ServerThread.h"
#include "xel/Switch.h"

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
  // The standard library takes UTF-8 file names only as char8_t.
  const std::filesystem::path path(std::u8string(unusual.begin(), unusual.end()));
  std::filesystem::create_directory(path);
  ASSERT_TRUE(osal::SetWorkingDirectory(unusual).ok());
  const std::string answered = WorkingDirAnswer();
  ASSERT_TRUE(osal::SetWorkingDirectory(cwd).ok());
  const std::u8string expected = std::filesystem::canonical(path).u8string();
  EXPECT_EQ(answered, std::string(expected.begin(), expected.end()));
}

TEST_F(FileComponentTest, TableRoutesTheFourNamesExactly) {
  EXPECT_EQ(xel::ComponentInfo::Find("XelcFile"), FileComponentRegistration());
  EXPECT_EQ(xel::ComponentInfo::Find("xelcfile"), nullptr);
  Start();
  // Whatever each handler answers to an empty request, it is not the dispatcher's refusal.
  for (const char* name : {"CreateFile", "ReadFile", "poll"}) {
    Ref<XmlParser> answer = CallHook(std::string("<") + name + "/>");
    ASSERT_TRUE(answer) << name;
    if (Kind(*answer) == "Fault") {
      EXPECT_NE(At(*answer, "faultstring"), std::string("Function ") + name + " not supported");
    }
  }
  Ref<XmlParser> wrongCase = CallHook("<getworkingdir/>");
  ASSERT_TRUE(wrongCase);
  ASSERT_EQ(Kind(*wrongCase), "Fault");
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

// The application run against a master end in this process: greeting, "start", a call on a
// conversation the master opens, "GetState", "stop" and "terminate".
TEST(ApplicationRunTest, ServesTheMasterOverTheLinkUntilTerminate) {
  const std::string name = "apprun" + std::to_string(osal::CurrentProcessId());
  Ref<xel::DataLinkIpc> master = Ref<xel::DataLinkIpc>::Adopt(new xel::DataLinkIpc());
  xel::Switch::AttachLink(master.get());
  // The slave's greeting opens the master's conversation; keep it instead of serving it.
  std::mutex mutex;
  Ref<xel::ConnectionPtp> fromSlave;
  osal::Event accepted(true, false);
  master->SetDispatch([&](uint32_t hLink, xel::MessageBlock* block) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if ((block->M_Flags & xel::Flag_BegConnection) && !fromSlave) {
        Ref<xel::ConnectionPtp> conn = Ref<xel::ConnectionPtp>::Adopt(new xel::ConnectionPtp());
        if (conn->Accept(block).IsSuccess()) {
          fromSlave = conn;
          accepted.Set();
          return;
        }
      }
    }
    xel::Switch::Dispatch(hLink, block);
  });
  ASSERT_TRUE(master->Connect(name, true, 0, 40960, 40960).IsSuccess());

  int32_t runResult = 99;
  std::thread app([&] {
    const char* argv[] = {"host", name.c_str()};
    runResult = xel::Application::Run(2, argv);
  });
  auto exchange = [](xel::Connection* conn, const std::string& body) {
    Ref<XmlParser> request = testing::Request(body);
    EXPECT_TRUE(request->Send(conn, 10000).IsSuccess());
    Ref<XmlParser> answer = XmlParser::Create();
    EXPECT_TRUE(answer->Receive(conn, 10000).IsSuccess());
    EXPECT_TRUE(answer->GetMessage()->FetchAll().IsSuccess());
    return answer;
  };

  ASSERT_TRUE(accepted.Wait(10000).ok());
  Ref<XmlParser> greeting = XmlParser::Create();
  ASSERT_TRUE(greeting->Receive(fromSlave.get(), 10000).IsSuccess());
  EXPECT_EQ(Kind(*greeting), "Greeting");
  EXPECT_EQ(At(*greeting, "ProcessId"), std::to_string(osal::CurrentProcessId()));

  Ref<XmlParser> started = exchange(fromSlave.get(), StartBody("XelcFile", ""));
  EXPECT_EQ(Kind(*started), "ok");
  {
    Ref<xel::ConnectionPtp> call = Ref<xel::ConnectionPtp>::Adopt(new xel::ConnectionPtp());
    ASSERT_TRUE(call->Connect(master->GetHandle()).IsSuccess());
    Ref<XmlParser> wd = exchange(call.get(), "<GetWorkingDir/>");
    EXPECT_EQ(Kind(*wd), "WorkingDir");
  }
  Ref<XmlParser> state = exchange(fromSlave.get(), "<GetState><RunLevel>1</RunLevel></GetState>");
  EXPECT_EQ(Kind(*state), "ComponentInfo");
  EXPECT_EQ(At(*state, "ProcessId"), std::to_string(osal::CurrentProcessId()));
  EXPECT_EQ(Kind(*exchange(fromSlave.get(), "<stop/>")), "ok");
  EXPECT_EQ(Kind(*exchange(fromSlave.get(), "<terminate/>")), "ok");
  app.join();
  EXPECT_EQ(runResult, 0);

  fromSlave.Reset();
  master->Close(2000);
  EXPECT_TRUE(xel::ServerThread::WaitAllEnded(5000));
  osal::RemoveLeftoverNamedObjects(std::string(xel::DataLinkIpc::kNamePrefix) + "_" + name + "_");
}

// The plug-in library beside this test exports the entry under its plain C name.
TEST(PluginLibraryTest, ExportsXelEventWhichRunsWithoutALink) {
  const std::string self = osal::CurrentExecutablePath();
  const std::string lib =
      self.substr(0, self.find_last_of("/\\") + 1) + osal::SharedLibraryFileName("XelcFile");
  ASSERT_TRUE(osal::FileExists(lib)) << lib << " (build the XelcFile target)";
  osal::SharedLibrary library;
  ASSERT_TRUE(library.Load(lib).ok()) << library.error();
  auto entry = reinterpret_cast<xel::PluginApi::XelEventFunction>(library.Symbol("XelEvent"));
  ASSERT_NE(entry, nullptr) << library.error();
  const char* argv[] = {"host"};
  EXPECT_EQ(entry(xel::PluginApi::XelEventReason_Run, 1, argv, nullptr), 0);
  // The library stays loaded: its runtime's static objects live until the process ends.
  library.Keep();
}

}  // namespace
}  // namespace velmora::xelc
