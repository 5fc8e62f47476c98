// Tests of the application runtime: entry and run, the application functions, dispatch
// through server-function tables, the receive hook, alerts, counters and schedulers.
#include "xel/Application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppTestSupport.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/System.h"
#include "util/LogBuffer.h"
#include "util/Trace.h"
#include "xel/PluginApi.h"
#include "xel/SchedulerThread.h"

namespace velmora::xel {
namespace {

using testing::At;
using testing::CallApp;
using testing::CallHook;
using ::testing::HasSubstr;
using testing::Kind;
using testing::LogCapture;
using testing::StartBody;
using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::HasText;
using util::testing_matchers::IsOk;

std::atomic<int> g_Shutdowns{0};
std::atomic<int> g_Ticks{0};
std::atomic<int> g_ClientRuns{0};
std::atomic<const char*> g_LastHandler{""};
Ref<Connection> g_pKept;

class TestComponent : public Component {
 public:
  const char* ClassName() const override { return "Test_Comp"; }
  Result FinalConstruct() override {
    if (Config()->GetBool("refuse", false)) return Result::Fail(util::ErrBadConfig, "refused");
    SetProgress(50, "half %s", "way");
    return Result();
  }
  void OnShutdown() override { ++g_Shutdowns; }
};

class CountingClient : public ComponentThread {
 public:
  int Run() override {
    ++g_ClientRuns;
    return -1;
  }
};

Result Handler(const char* name) {
  g_LastHandler.store(name);
  return Result();
}
Result QualifiedA(ComponentThread*, Connection*, XmlParser*) { return Handler("A"); }
Result AnyQ(ComponentThread*, Connection*, XmlParser*) { return Handler("any"); }
Result Throws(ComponentThread*, Connection*, XmlParser*) {
  Result::Fail(util::ErrTemp, "thrown on purpose").ThrowIfError();
  return Result();
}
Result Keeps(ComponentThread* pThread, Connection* pConn, XmlParser*) {
  g_pKept = pThread->TakeOverConnection(pConn);
  return Result();
}
Result Leaks(ComponentThread*, Connection* pConn, XmlParser*) {
  pConn->AddRef();
  return Result();
}
// Answers "Tick" three times, then "Done"; tells whether the request carried a previous
// answer below "Previous".
Result Tick(ComponentThread*, Connection* pConn, XmlParser* pMsg) {
  const int n = ++g_Ticks;
  XmlParser answer;
  Result r = answer.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr,
                                 n <= 3 ? "Tick" : "Done", nullptr);
  if (r.IsSuccess()) r = answer.WriteElementInt(-1, "n", n);
  if (r.IsSuccess()) {
    r = answer.WriteElementInt(-1, "carried", pMsg->ExistsPath("Previous/Envelope") ? 1 : 0);
  }
  if (r.IsSuccess()) r = answer.Send(pConn, 10000);
  return r;
}

const ServerFunctionEntry kTestFunctions[] = {
    {"urn:a", "q", &QualifiedA}, {nullptr, "q", &AnyQ},       {"urn:a", "only", &QualifiedA},
    {nullptr, "throw", &Throws}, {nullptr, "keep", &Keeps},   {nullptr, "leak", &Leaks},
    {nullptr, "tick", &Tick},    {nullptr, nullptr, nullptr},
};

class TestComponentInfo : public ComponentInfo {
 public:
  const char* Name() const override { return "RtTestComp"; }
  const ServerFunctionEntry* FunctionList() const override { return kTestFunctions; }
  Component* CreateComponent() const override { return new TestComponent(); }
  ComponentThread* CreateClientThread() const override { return new CountingClient(); }
};
const TestComponentInfo g_TestInfo;

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    util::SetMasterTraceLevel(60);
    g_Shutdowns = 0;
    g_Ticks = 0;
    g_ClientRuns = 0;
    g_LastHandler.store("");
  }
  void TearDown() override {
    (void)CallApp("<stop/>");
    g_pKept.Reset();
    util::SetMasterTraceLevel(0);
  }
  static void Start(const std::string& config = "", const std::string& common = "<Name>N1</Name>") {
    Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
    Ref<XmlParser> start = testing::Request(StartBody("RtTestComp", config, common));
    ASSERT_THAT(Application::CallServerFunction(fifo.get(), start.get()), IsOk());
    Ref<XmlParser> answer = testing::TakeAnswer(fifo.get());  // the progress notice
    ASSERT_TRUE(answer);
    ASSERT_EQ(Kind(*answer), "CallProgress");
    answer = testing::TakeAnswer(fifo.get());
    ASSERT_TRUE(answer);
    ASSERT_EQ(Kind(*answer), "ok");
  }
  static std::string FaultString(const std::string& body, int type = 1, bool viaHook = false) {
    Ref<XmlParser> answer = viaHook ? CallHook(body, type) : CallApp(body, type);
    if (!answer) return "<no answer>";
    if (Kind(*answer) != "Fault") return "<" + Kind(*answer) + ">";
    return At(*answer, "faultstring") + "|" + At(*answer, "faultcode");
  }
};

TEST_F(ApplicationTest, RunWithoutLinkNameOnlyTracesAndLinkFailureEndsWithMinusOne) {
  LogCapture trace(util::LogChannelTrace);
  const char* argv1[] = {"host"};
  EXPECT_EQ(Application::Run(1, argv1), 0);
  EXPECT_EQ(trace.Matching("Starting XEL Application").size(), 1u);

  const std::string link = "nolink" + std::to_string(osal::CurrentProcessId());
  const char* argv3[] = {"host", link.c_str(), "10"};
  EXPECT_EQ(Application::Run(3, argv3), -1);
  EXPECT_EQ(util::GetMasterTraceLevel(), 10);
  auto failed = trace.Matching("ERROR: Application failed. (diag=%i, res=%s)");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_THAT(failed[0], HasSubstr("(diag=1, res="));
}

TEST_F(ApplicationTest, EntryFallsBackToATraceFileInTheTemporaryFolder) {
  testing::TempDir dir;
  const char* oldTmp = std::getenv("TMP");
  const std::string saved = oldTmp ? oldTmp : "";
  ASSERT_TRUE(osal::SetEnvironmentVariable("TMP", dir.path()).ok());
  const std::string arg1 = "nokey" + std::to_string(osal::CurrentProcessId()) + "_abcdefghijKLMNOP";
  const char* argv[] = {"host", arg1.c_str(), "10"};
  PluginApi::ParBuffer par;
  EXPECT_EQ(PluginApi::XelEvent(PluginApi::XelEventReason_Run, 3, argv, &par), -1);
  if (oldTmp)
    (void)osal::SetEnvironmentVariable("TMP", saved);
  else
    (void)osal::UnsetEnvironmentVariable("TMP");

  std::ifstream in(dir.path() + "/Ostrel_Tirzelabcdefghij.log");
  ASSERT_TRUE(in.good());
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_THAT(content.str(), HasSubstr("Failed to open Trace Key nokey"));
  EXPECT_THAT(content.str(), HasSubstr("Sub-Process is running. Key=" + arg1));
  EXPECT_THAT(content.str(), HasSubstr("ERROR: Application failed. (diag=1"));
  EXPECT_FALSE(util::IsTraceKeyOpen());
}

TEST_F(ApplicationTest, UnknownFunctionsAreRefusedAndOnlyRequestsAreAnswered) {
  Result r;
  EXPECT_EQ(FaultString("<nosuch/>"), "Function nosuch not supported|s:Client");
  Ref<XmlParser> ok = CallApp("<returnOk/>", 1, &r);
  ASSERT_TRUE(ok);
  EXPECT_EQ(Kind(*ok), "ok");
  // Notices and messages without a type get no answer, whatever the result.
  EXPECT_FALSE(CallApp("<nosuch/>", 0, &r));
  EXPECT_THAT(r, HasText("Function nosuch not supported"));
  EXPECT_FALSE(CallApp("<returnOk/>", -1, &r));
  EXPECT_THAT(r, IsOk());
  // Names are matched exactly, case included.
  EXPECT_EQ(FaultString("<ReturnOk/>"), "Function ReturnOk not supported|s:Client");

  // A document that is no envelope is refused with an empty function name.
  Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  Ref<XmlParser> notEnvelope = testing::XmlDoc("<start/>");
  r = Application::CallServerFunction(fifo.get(), notEnvelope.get());
  EXPECT_THAT(r, HasCategory(util::ErrLogicArgs));
  EXPECT_THAT(r, HasText("Function  not supported"));
  EXPECT_EQ(fifo->QueuedBlocks(), 0);
}

TEST_F(ApplicationTest, StartFailuresAndTheLifecycle) {
  EXPECT_EQ(FaultString(StartBody("Nope", "")), "Component Nope does not exist|s:Server");
  EXPECT_FALSE(Application::RunningComponent());
  // A failing FinalConstruct ends the start; nothing runs afterwards.
  EXPECT_EQ(FaultString(StartBody("RtTestComp", "<refuse>true</refuse>")), "refused|s:Client");
  EXPECT_FALSE(Application::RunningComponent());
  const int handles = util::HandleObject::UsedHandles();

  LogCapture trace(util::LogChannelTrace);
  Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  Ref<XmlParser> start = testing::Request(StartBody(
      "RtTestComp", "<x>1</x>", "<Name>N1</Name><Threads><Client><Min>2</Min></Client></Threads>"));
  ASSERT_THAT(Application::CallServerFunction(fifo.get(), start.get()), IsOk());
  // The progress notice of FinalConstruct comes before the answer.
  Ref<XmlParser> progress = testing::TakeAnswer(fifo.get());
  ASSERT_TRUE(progress);
  EXPECT_EQ(Kind(*progress), "CallProgress");
  EXPECT_EQ(At(*progress, "PercentCompleted"), "50");
  EXPECT_EQ(At(*progress, "Info"), "half way");
  Ref<XmlParser> answer = testing::TakeAnswer(fifo.get());
  ASSERT_TRUE(answer);
  EXPECT_EQ(Kind(*answer), "ok");

  Ref<Component> comp = Application::RunningComponent();
  ASSERT_TRUE(comp);
  EXPECT_EQ(comp->GetState(), Component::State_Running);
  EXPECT_EQ(comp->GetName(), "N1");
  EXPECT_EQ(comp->GetSolutionShortName(), "Solution1");
  EXPECT_EQ(comp->GetMasterProcessId(), 4711);
  EXPECT_EQ(comp->Config()->GetInt("x", 0), 1);
  EXPECT_EQ(comp->GetInfo(), "half way");
  EXPECT_EQ(util::HandleObject::UsedHandles(), handles + 1);
  for (int i = 0; i < 500 && g_ClientRuns < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(g_ClientRuns.load(), 2);
  // SetProgress outside FinalConstruct sends nothing.
  comp->SetProgress(80, "late");
  EXPECT_EQ(trace.Matching("ERROR: SetProgress is called outside").size(), 1u);

  EXPECT_EQ(FaultString(StartBody("RtTestComp", "")),
            "The component has been already started|s:Server");

  ASSERT_TRUE(CallApp("<stop/>"));
  EXPECT_EQ(g_Shutdowns.load(), 1);
  EXPECT_EQ(comp->GetState(), Component::State_Stopping);
  EXPECT_FALSE(Application::RunningComponent());
  EXPECT_EQ(trace.Matching("After Component::OnShutdown()").size(), 1u);
  // A second stop succeeds and does nothing.
  Ref<XmlParser> again = CallApp("<stop/>");
  ASSERT_TRUE(again);
  EXPECT_EQ(Kind(*again), "ok");
  EXPECT_EQ(g_Shutdowns.load(), 1);
  EXPECT_EQ(util::HandleObject::UsedHandles(), handles);
}

// Both configuration subtrees of "start" may pull in further files. Relative hrefs are taken
// from the request's "Process/IncludeBase", or from the working directory without one.
TEST_F(ApplicationTest, StartResolvesIncludesOfBothSubtreesBeforeTheComponentReadsThem) {
  testing::TempDir dir;
  std::ofstream(dir.Join("code.xml")) << "<Inc><y>2</y></Inc>";
  std::ofstream(dir.Join("name.xml")) << "<Name>FromInclude</Name>";
  std::ofstream(dir.Join("refuse.xml")) << "<refuse>true</refuse>";
  const std::string xi = "xmlns:xi='http://www.w3.org/2001/XInclude'";
  auto body = [&](const std::string& base, const std::string& code, const std::string& common) {
    std::string text = StartBody("RtTestComp", code, common);
    if (!base.empty()) {
      text.replace(text.find("<Process>"), 9, "<Process><IncludeBase>" + base + "</IncludeBase>");
    }
    return text;
  };
  // The included key decides FinalConstruct: it must be in place before the component runs.
  EXPECT_EQ(FaultString(body(dir.path(), "<xi:include " + xi + " href='refuse.xml'/>", "")),
            "refused|s:Client");

  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Ref<XmlParser> answer =
      CallApp(body("", "<x>1</x><xi:include " + xi + " href='" + dir.Join("code.xml") + "'/>",
                   "<xi:include " + xi + " href='name.xml'/>"),
              1);
  std::filesystem::current_path(previous);
  ASSERT_TRUE(answer);  // the progress notice of FinalConstruct
  Ref<Component> comp = Application::RunningComponent();
  ASSERT_TRUE(comp) << Kind(*answer);
  EXPECT_EQ(comp->Config()->GetInt("x", 0), 1);
  EXPECT_EQ(comp->Config()->GetInt("Inc/y", 0), 2);
  EXPECT_EQ(comp->GetName(), "FromInclude");
}

// An include that cannot be read or parsed ends "start" with the failing step and the file.
TEST_F(ApplicationTest, StartFailsOnAnIncludeThatCannotBeReadOrParsed) {
  testing::TempDir dir;
  std::ofstream(dir.Join("broken.xml")) << "<open><never-closed></open>";
  const std::string xi = "xmlns:xi='http://www.w3.org/2001/XInclude'";
  struct Case {
    std::string file;
    const char* step;
    bool inCommon;
  } cases[] = {
      {dir.Join("missing.xml"), "Configuration-file open", false},
      {dir.Join("missing.xml"), "Configuration-file open", true},
      {dir.Join("broken.xml"), "Configuration-file read all", false},
  };
  for (const Case& c : cases) {
    const std::string include = "<xi:include " + xi + " href='" + c.file + "'/>";
    const std::string fault = FaultString(StartBody("RtTestComp", c.inCommon ? "" : include,
                                                    c.inCommon ? include : "<Name>N</Name>"));
    EXPECT_THAT(fault, HasSubstr(c.step)) << c.file;
    EXPECT_THAT(fault, HasSubstr(c.file));
    EXPECT_FALSE(Application::RunningComponent()) << fault;
  }
}

TEST_F(ApplicationTest, ReceiveHookDispatchesByNameAndQualifier) {
  // Without a component only "returnOk" is served.
  Ref<XmlParser> idle = CallHook("<returnOk/>");
  ASSERT_TRUE(idle);
  EXPECT_EQ(Kind(*idle), "ok");
  EXPECT_EQ(FaultString("<q/>", 1, true), "Function q not supported|s:Client");

  Start();
  ASSERT_TRUE(CallHook("<q xmlns=\"urn:a\"/>"));
  EXPECT_STREQ(g_LastHandler.load(), "A");
  ASSERT_TRUE(CallHook("<q xmlns=\"urn:b\"/>"));
  EXPECT_STREQ(g_LastHandler.load(), "any");
  EXPECT_EQ(FaultString("<only xmlns=\"urn:b\"/>", 1, true),
            "Function only not supported|s:Client");
  EXPECT_EQ(FaultString("<Q/>", 1, true), "Function Q not supported|s:Client");
  EXPECT_EQ(FaultString("<throw/>", 1, true), "thrown on purpose|s:Server");
  EXPECT_EQ(FaultString("<returnOk/>", 1, true), "Function returnOk not supported|s:Client");

  // A handler that takes over the connection keeps its reference without complaint.
  Ref<XmlParser> kept = CallHook("<keep/>");
  ASSERT_TRUE(kept);
  EXPECT_EQ(Kind(*kept), "ok");
  EXPECT_TRUE(g_pKept);
  EXPECT_EQ(Application::RunningComponent()->ActiveServerCalls(), 0);

  // A stopping component serves nothing and answers nothing.
  Application::RunningComponent()->SetState(Component::State_Stopping);
  EXPECT_FALSE(CallHook("<q/>"));
}

TEST_F(ApplicationTest, LeakedConnectionReferenceIsAFatalAssertion) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  Start();
  EXPECT_EXIT(
      {
        // Writes the fatal record where the test can see it, without the standard wait.
        struct StderrWriter : util::LogWriter {
          void Write(const util::LogRecord& record) override {
            std::fprintf(stderr, "%s\n", record.Render(false, false).c_str());
          }
        } writer;
        util::SetLogWriter(util::LogChannelFatal, &writer);
        (void)CallHook("<leak/>");
      },
      ::testing::ExitedWithCode(1),
      "Bad reference count 2 != 1 of connection after return from server function leak");
}

TEST_F(ApplicationTest, AlertsGoToTheEventLogOncePerChangeAndIntoTheStatusReport) {
  Start();
  Ref<Component> comp = Application::RunningComponent();
  LogCapture events(util::LogChannelEvent);
  LogCapture trace(util::LogChannelTrace);
  util::EnableTraceId(util::LogMessages, true);
  util::EnableTraceId(util::AlertWithoutMsg, false);
  comp->Alert("disk", AlertLevel_Red, 7, "only %i MB left", 5);
  comp->Alert("disk", AlertLevel_Red, 7, "only %i MB left", 4);
  EXPECT_EQ(events.Count(), 1u);
  comp->Alert("disk", AlertLevel_Green, 8, "fine again");
  EXPECT_EQ(events.Count(), 2u);
  comp->Alert("net", AlertLevel_Yellow, -1, "never logged");
  EXPECT_EQ(events.Count(), 2u);
  auto logged = events.Matching("%s");
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_THAT(logged[0], HasSubstr("\"Solution1\" \"N1\" \"disk\" \"Tirzel "));
  EXPECT_THAT(logged[0], HasSubstr("only 5 MB left"));
  EXPECT_EQ(trace.Matching("AlertMsg").size(), 2u);
  EXPECT_EQ(trace.Matching("AlertNoMsg").size(), 0u);
  util::EnableTraceId(util::AlertWithoutMsg, true);
  comp->Alert("disk", AlertLevel_Green, 9, "still fine");
  EXPECT_EQ(trace.Matching("AlertNoMsg").size(), 1u);

  comp->SetCounter("calls", 3);
  EXPECT_EQ(comp->AddToCounter("calls", 2), 5);
  EXPECT_EQ(comp->AddToCounter("fresh", 1, 10), 11);
  int64_t v = 0;
  EXPECT_FALSE(comp->GetCounter("none", &v));

  Ref<XmlParser> state = CallApp("<GetState><RunLevel>3</RunLevel></GetState>");
  ASSERT_TRUE(state);
  ASSERT_EQ(Kind(*state), "ComponentInfo");
  EXPECT_EQ(state->GetNamespace(), kNsXelMaster);
  EXPECT_EQ(comp->GetRunLevel(), 3);
  EXPECT_EQ(At(*state, "ProcessId"), std::to_string(osal::CurrentProcessId()));
  EXPECT_EQ(At(*state, "Alerts/NumberOfAlerts"), "2");
  EXPECT_EQ(At(*state, "Alerts/Alert[1]/@name"), "disk");
  EXPECT_EQ(At(*state, "Alerts/Alert[1]/Level"), "green");
  EXPECT_EQ(At(*state, "Alerts/Alert[1]/LastId"), "9");
  EXPECT_EQ(At(*state, "Alerts/Alert[2]/@name"), "net");
  EXPECT_EQ(At(*state, "Alerts/Alert[2]/Level"), "yellow");
  EXPECT_EQ(At(*state, "Counters/calls"), "5");
  EXPECT_EQ(At(*state, "Counters/fresh"), "11");
  EXPECT_EQ(At(*state, "Resources/Handles"), std::to_string(util::HandleObject::UsedHandles()));
  EXPECT_NE(At(*state, "Resources/Objects"), "<missing>");
  EXPECT_NE(At(*state, "Resources/AdditionalRefs"), "<missing>");
  EXPECT_NE(At(*state, "Resources/MsgBlocks"), "<missing>");
  EXPECT_FALSE(state->ExistsPath("Scheduler"));

  // Without a run level the report is still made; the omission is traced.
  util::EnableTraceId(util::General_Error, true);
  Ref<XmlParser> noLevel = CallApp("<GetState/>");
  ASSERT_TRUE(noLevel);
  EXPECT_EQ(Kind(*noLevel), "ComponentInfo");
  EXPECT_EQ(trace.Matching("Location=%s; result=%s").size(), 1u);
}

TEST_F(ApplicationTest, GetStateWithoutComponentIsAnEmptyComponentInfo) {
  Ref<XmlParser> state = CallApp("<GetState><RunLevel>1</RunLevel></GetState>");
  ASSERT_TRUE(state);
  EXPECT_EQ(Kind(*state), "ComponentInfo");
  EXPECT_FALSE(state->ExistsPath("ProcessId"));
}

TEST_F(ApplicationTest, TerminateSetsTheStopFlag) {
  EXPECT_FALSE(Application::IsStopRequested());
  ASSERT_TRUE(CallApp("<terminate/>"));
  EXPECT_TRUE(Application::IsStopRequested());
}

// Takes about five seconds: the scheduler's first call comes after its fixed first delay.
TEST_F(ApplicationTest, SchedulerCountsAnswersCarriesThePreviousOneAndStopsOnAnUnlistedKind) {
  const std::string request = testing::EnvelopeText("<tick><Previous/></tick>");
  Start(
      "<schedule><name>S0</name><insert_last_response_xpath>tick/Previous"
      "</insert_last_response_xpath><request>" +
      request +
      "</request>"
      "<response_delay><Tick>0</Tick></response_delay></schedule>"
      "<Schedulers><schedule><name>NoRequest</name></schedule></Schedulers>");
  Ref<Component> comp = Application::RunningComponent();
  auto schedulers = comp->Schedulers();
  ASSERT_EQ(schedulers.size(), 2u);
  // A schedule without a request ends before its first wait and is not reported.
  ASSERT_TRUE(schedulers[1]->Join(3000));
  EXPECT_EQ(schedulers[1]->MainState(), SchedulerThread::MainState_Constructed);
  ASSERT_TRUE(schedulers[0]->Join(15000));
  EXPECT_EQ(g_Ticks.load(), 4);
  EXPECT_EQ(schedulers[0]->MainState(), SchedulerThread::MainState_Stopped);
  EXPECT_EQ(schedulers[0]->Action(), "Scheduler has been stopped");

  Ref<XmlParser> state = CallApp("<GetState><RunLevel>0</RunLevel></GetState>");
  ASSERT_TRUE(state);
  ASSERT_EQ(Kind(*state), "ComponentInfo");
  EXPECT_EQ(At(*state, "Scheduler/Name"), "S0");
  EXPECT_EQ(At(*state, "Scheduler/MainState"), "2");
  EXPECT_EQ(At(*state, "Scheduler/Active"), "0");
  EXPECT_EQ(At(*state, "Scheduler/Action"), "Scheduler has been stopped");
  EXPECT_EQ(At(*state, "Scheduler/Statistics/Tick"), "3");
  EXPECT_EQ(At(*state, "Scheduler/Statistics/Done"), "1");
  EXPECT_EQ(At(*state, "Scheduler/LastResponse/Envelope/Body/Done/n"), "4");
  // Every request after the first carried the previous answer.
  EXPECT_EQ(At(*state, "Scheduler/LastResponse/Envelope/Body/Done/carried"), "1");
  EXPECT_FALSE(state->ExistsPath("Scheduler[2]"));
}

}  // namespace
}  // namespace velmora::xel
