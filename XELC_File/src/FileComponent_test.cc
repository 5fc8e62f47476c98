// Tests of the file component: its table and serving a master over the link.
#include "FileComponent.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "xel/Application.h"
#include "xel/ConnectionPtp.h"
#include "xel/DataLinkIpc.h"
#include "xel/ServerThread.h"
#include "xel/Switch.h"

namespace velmora::xelc {
namespace {

using testing::At;
using testing::CallApp;
using testing::Kind;
using testing::StartBody;
using util::Ref;
using xel::XmlParser;

TEST(FileComponentTest, TableRoutesTheFourNamesExactly) {
  EXPECT_EQ(xel::ComponentInfo::Find("XelcFile"), FileComponentRegistration());
  EXPECT_EQ(xel::ComponentInfo::Find("xelcfile"), nullptr);
  util::SetMasterTraceLevel(100);
  Ref<XmlParser> started = CallApp(StartBody("XelcFile", ""));
  ASSERT_TRUE(started && Kind(*started) == "ok");
  // Whatever each handler answers to an empty request, it is not the dispatcher's refusal.
  for (const char* name : {"CreateFile", "ReadFile", "poll", "getworkingdir"}) {
    Ref<XmlParser> answer = testing::CallHook(std::string("<") + name + "/>");
    ASSERT_TRUE(answer) << name;
    const bool bRefused =
        Kind(*answer) == "Fault" &&
        At(*answer, "faultstring") == "Function " + std::string(name) + " not supported";
    EXPECT_EQ(bRefused, name[0] == 'g') << name;
  }
  (void)CallApp("<stop/>");
  util::SetMasterTraceLevel(0);
}

// The application run against a master end in this process: greeting, "start", a call on a
// conversation the master opens, "stop" and "terminate".
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

  EXPECT_EQ(Kind(*exchange(fromSlave.get(), StartBody("XelcFile", ""))), "ok");
  {
    Ref<xel::ConnectionPtp> call = Ref<xel::ConnectionPtp>::Adopt(new xel::ConnectionPtp());
    ASSERT_TRUE(call->Connect(master->GetHandle()).IsSuccess());
    EXPECT_EQ(Kind(*exchange(call.get(), "<GetWorkingDir/>")), "WorkingDir");
  }
  EXPECT_EQ(Kind(*exchange(fromSlave.get(), "<stop/>")), "ok");
  EXPECT_EQ(Kind(*exchange(fromSlave.get(), "<terminate/>")), "ok");
  app.join();
  EXPECT_EQ(runResult, 0);

  fromSlave.Reset();
  master->Close(2000);
  EXPECT_TRUE(xel::ServerThread::WaitAllEnded(5000));
  osal::RemoveLeftoverNamedObjects(std::string(xel::DataLinkIpc::kNamePrefix) + "_" + name + "_");
}

}  // namespace
}  // namespace velmora::xelc
