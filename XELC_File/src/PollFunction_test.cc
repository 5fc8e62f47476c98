// Tests of the "poll" server function in-process: answer and confirmation, or none.
#include "PollFunction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "FileComponent.h"
#include "QueueConnection.h"
#include "xel/Application.h"
#include "xel/Component.h"
#include "xel/Message.h"

namespace velmora::xelc {
namespace {

using ::testing::ElementsAre;
using testing::ListNames;
using testing::ScratchFolder;
using testing::WriteFile;
using util::Ref;
using velmora::testing::QueueConnection;
using xel::XmlParser;

const std::regex kLock(R"(a\.pdf\.\d{14}\.[0-9A-Za-z_-]{5}\+03600\.locked)");

// The running component with a server thread in it, as the runtime makes one per
// conversation; the master's and the plug-in's ends of that conversation.
class PollFunctionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Named so that the linker takes the component from the static library.
    ASSERT_NE(FileComponentRegistration(), nullptr);
    Ref<XmlParser> started = velmora::testing::CallApp(velmora::testing::StartBody(
        "XelcFile", "<Folder><FolderInputBaseDirectory>" + M_Base.path() +
                        "</FolderInputBaseDirectory></Folder>"));
    ASSERT_TRUE(started);
    ASSERT_EQ(velmora::testing::Kind(*started), "ok")
        << velmora::testing::At(*started, "faultstring");
    Ref<xel::Component> component = xel::Application::RunningComponent();
    ASSERT_TRUE(component.HasObject());
    M_pThread =
        Ref<xel::ComponentThread>::Adopt(component->GetComponentInfo()->CreateServerThread());
    ASSERT_TRUE(M_pThread->AttachToComponent(component.get(), true).IsSuccess());
    ASSERT_TRUE(M_pThread->EnterComponent());
    QueueConnection::Pair(&M_Master, &M_Plugin);
  }
  void TearDown() override {
    if (M_pThread.HasObject()) M_pThread->LeaveComponent();
    M_pThread = nullptr;
    (void)velmora::testing::CallApp("<stop/>");
  }

  // Queues a message from the master (before the call: the queue connection never waits).
  void MasterSends(const std::string& body) {
    Ref<XmlParser> doc = velmora::testing::Request(body);
    ASSERT_TRUE(doc->GetMessage()->TxAllToConnection(&M_Master, 1000).IsSuccess());
  }
  util::Result Poll(const std::string& folder) {
    Ref<XmlParser> request = velmora::testing::Request(
        "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder>"
        "<WatchedPath>" +
        folder +
        "</WatchedPath><FileSearchMask>*.pdf</FileSearchMask>"
        "</folder></specific></poll>");
    try {
      return PollServerFunction(M_pThread.get(), &M_Plugin, request.get());
    } catch (const util::Result& thrown) {
      return thrown;
    }
  }
  // The kinds of the messages the plug-in sent, in order.
  std::vector<std::string> Answers() {
    std::vector<std::string> kinds;
    for (;;) {
      Ref<XmlParser> doc = XmlParser::Create();
      if (doc->Receive(&M_Master, 0).IsError()) break;
      kinds.push_back(velmora::testing::Kind(*doc));
      if (kinds.back() == "confirm-res")
        kinds.back() += ":" + velmora::testing::At(*doc, "status/Processed");
    }
    return kinds;
  }

  void ExpectClaimStays() {
    std::vector<std::string> names = ListNames(M_Base.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(std::regex_match(names[0], kLock)) << names[0];
  }

  ScratchFolder M_Base;
  Ref<xel::ComponentThread> M_pThread;
  QueueConnection M_Master;
  QueueConnection M_Plugin;
};

TEST_F(PollFunctionTest, ConfirmedClaimIsCompletedAndAnswered) {
  ASSERT_TRUE(WriteFile(M_Base / "a.pdf"));
  MasterSends("<confirm><general><Status>OK</Status></general></confirm>");
  EXPECT_TRUE(Poll(M_Base.path()).IsSuccess());
  EXPECT_THAT(Answers(), ElementsAre("poll-res", "confirm-res:YES"));
  EXPECT_TRUE(ListNames(M_Base.path()).empty());
  EXPECT_TRUE(M_pThread->M_b_conn_ptr_copied);
}

TEST_F(PollFunctionTest, WithoutConfirmationTheClaimStaysAndNothingMoreIsSent) {
  ASSERT_TRUE(WriteFile(M_Base / "a.pdf"));
  EXPECT_TRUE(Poll(M_Base.path()).IsSuccess());
  EXPECT_THAT(Answers(), ElementsAre("poll-res"));
  ExpectClaimStays();
}

TEST_F(PollFunctionTest, AnAnswerThatCannotBeSentFailsTheCallAndKeepsTheClaim) {
  ASSERT_TRUE(WriteFile(M_Base / "a.pdf"));
  M_Plugin.FailSendsAfter(0);
  util::Result r = Poll(M_Base.path());
  EXPECT_TRUE(r.IsError());
  EXPECT_EQ(r.Category(), util::ErrConnLost);
  ExpectClaimStays();
}

}  // namespace
}  // namespace velmora::xelc
