// Tests of the application runtime: entry and run, the application functions, dispatch
// through server-function tables, the receive hook, alerts, counters and schedulers.
#include "xel/Application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

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
using testing::LogCapture;
using testing::StartBody;
using util::Ref;
using util::Result;
using util::testing_matchers::HasText;

std::atomic<int> g_Shutdowns{0}, g_Ticks{0}, g_ClientRuns{0};
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
  g_LastHandler = name;
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
// Answers "Tick" three times, then "Done"; tells whether the request carried a previous answer.
Result Tick(ComponentThread*, Connection* pConn, XmlParser* pMsg) {
  const int n = ++g_Ticks;
  XmlParser answer;
  Result r = answer.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr,
                                 n <= 3 ? "Tick" : "Done", nullptr);
  if (r.IsSuccess()) r = answer.WriteElementInt(-1, "n", n);
  if (r.IsSuccess()) {
    r = answer.WriteElementInt(-1, "carried", pMsg->ExistsPath("Previous/Envelope") ? 1 : 0);
  }
  return r.IsSuccess() ? answer.Send(pConn, 10000) : r;
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

// "<no answer>", the answer's kind, or for a fault "faultstring|faultcode".
std::string Show(const Ref<XmlParser>& answer) {
  if (!answer) return "<no answer>";
  const std::string kind = testing::Kind(*answer);
  return kind == "Fault" ? At(*answer, "faultstring") + "|" + At(*answer, "faultcode") : kind;
}

// Checks the "path=text;..." pairs of want, their paths below prefix.
void ExpectAt(const XmlParser& doc, const std::string& prefix, const std::string& want) {
  std::istringstream in(want);
  for (std::string item; std::getline(in, item, ';');) {
    const size_t eq = item.find('=');
    EXPECT_EQ(At(doc, (prefix + item.substr(0, eq)).c_str()), item.substr(eq + 1)) << item;
  }
}

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    util::SetMasterTraceLevel(60);
    g_Shutdowns = g_Ticks = g_ClientRuns = 0;
    g_LastHandler = "";
  }
  void TearDown() override {
    (void)CallApp("<stop/>");
    g_pKept.Reset();
    util::SetMasterTraceLevel(0);
  }
  // Starts the test component; FinalConstruct's progress notice comes before the answer.
  static void Start(const std::string& config = "", const std::string& common = "<Name>N1</Name>") {
    Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
    Ref<XmlParser> start = testing::Request(StartBody("RtTestComp", config, common));
    ASSERT_THAT(Application::CallServerFunction(fifo.get(), start.get()),
                util::testing_matchers::IsOk());
    Ref<XmlParser> progress = testing::TakeAnswer(fifo.get());
    ASSERT_EQ(Show(progress), "CallProgress");
    ExpectAt(*progress, "", "PercentCompleted=50;Info=half way");
    ASSERT_EQ(Show(testing::TakeAnswer(fifo.get())), "ok");
  }
};

TEST_F(ApplicationTest, EntryFallsBackToATraceFileInTheTemporaryFolder) {
  testing::TempDir dir;
  const char* oldTmp = std::getenv("TMP");
  const std::string saved = oldTmp ? oldTmp : "";
  ASSERT_TRUE(osal::SetEnvironmentVariable("TMP", dir.path()).ok());
  const std::string arg1 = "nokey" + std::to_string(osal::CurrentProcessId()) + "_abcdefghijKLMNOP";
  const char* argv[] = {"host", arg1.c_str(), "10"};
  PluginApi::ParBuffer par;
  EXPECT_EQ(PluginApi::XelEvent(PluginApi::XelEventReason_Run, 3, argv, &par), -1);
  (void)(oldTmp ? osal::SetEnvironmentVariable("TMP", saved)
                : osal::UnsetEnvironmentVariable("TMP"));

  std::stringstream content;
  content << std::ifstream(dir.path() + "/Ostrel_Tirzelabcdefghij.log").rdbuf();
  EXPECT_THAT(content.str(), ::testing::AllOf(HasSubstr("Failed to open Trace Key nokey"),
                                              HasSubstr("Sub-Process is running. Key=" + arg1),
                                              HasSubstr("ERROR: Application failed. (diag=1")));
  EXPECT_FALSE(util::IsTraceKeyOpen());
}

TEST_F(ApplicationTest, StartFailuresAndTheLifecycle) {
  // A failing FinalConstruct ends the start like an unknown component: nothing runs afterwards.
  EXPECT_EQ(Show(CallApp(StartBody("Nope", ""))), "Component Nope does not exist|s:Server");
  EXPECT_FALSE(Application::RunningComponent());
  EXPECT_EQ(Show(CallApp(StartBody("RtTestComp", "<refuse>true</refuse>"))), "refused|s:Client");
  EXPECT_FALSE(Application::RunningComponent());
  const int handles = util::HandleObject::UsedHandles();

  LogCapture trace(util::LogChannelTrace);
  Start("<x>1</x>", "<Name>N1</Name><Threads><Client><Min>2</Min></Client></Threads>");
  Ref<Component> comp = Application::RunningComponent();
  ASSERT_TRUE(comp);
  EXPECT_EQ(comp->GetState(), Component::State_Running);
  EXPECT_EQ(comp->GetName() + "|" + comp->GetSolutionShortName() + "|" + comp->GetInfo(),
            "N1|Solution1|half way");
  EXPECT_EQ(comp->GetMasterProcessId(), 4711);
  EXPECT_EQ(comp->Config()->GetInt("x", 0), 1);
  EXPECT_EQ(util::HandleObject::UsedHandles(), handles + 1);
  for (int i = 0; i < 500 && g_ClientRuns < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(g_ClientRuns.load(), 2);
  comp->SetProgress(80, "late");  // outside FinalConstruct: sends nothing
  EXPECT_EQ(trace.Matching("ERROR: SetProgress is called outside").size(), 1u);
  EXPECT_EQ(Show(CallApp(StartBody("RtTestComp", ""))),
            "The component has been already started|s:Server");

  EXPECT_EQ(Show(CallApp("<stop/>")), "ok");
  EXPECT_EQ(comp->GetState(), Component::State_Stopping);
  EXPECT_FALSE(Application::RunningComponent());
  EXPECT_EQ(trace.Matching("After Component::OnShutdown()").size(), 1u);
  EXPECT_EQ(Show(CallApp("<stop/>")), "ok");  // a second stop does nothing
  EXPECT_EQ(g_Shutdowns.load(), 1);
  EXPECT_EQ(util::HandleObject::UsedHandles(), handles);
}

// Relative hrefs in either configuration subtree are taken from "Process/IncludeBase", or from
// the working directory without one; an unreadable include ends "start" naming step and file.
TEST_F(ApplicationTest, StartResolvesIncludesOfBothSubtreesBeforeTheComponentReadsThem) {
  testing::TempDir dir;
  std::ofstream(dir.Join("code.xml")) << "<Inc><y>2</y></Inc>";
  std::ofstream(dir.Join("name.xml")) << "<Name>FromInclude</Name>";
  std::ofstream(dir.Join("refuse.xml")) << "<refuse>true</refuse>";
  std::ofstream(dir.Join("broken.xml")) << "<open><never-closed></open>";
  auto inc = [](const std::string& href) {
    return "<xi:include xmlns:xi='http://www.w3.org/2001/XInclude' href='" + href + "'/>";
  };
  // The included key decides FinalConstruct: it must be in place before the component runs.
  std::string body = StartBody("RtTestComp", inc("refuse.xml"), "");
  body.replace(body.find("<Process>"), 9, "<Process><IncludeBase>" + dir.path() + "</IncludeBase>");
  EXPECT_EQ(Show(CallApp(body)), "refused|s:Client");

  const std::tuple<std::string, const char*, bool> failures[] = {
      {dir.Join("missing.xml"), "Configuration-file open", false},
      {dir.Join("missing.xml"), "Configuration-file open", true},
      {dir.Join("broken.xml"), "Configuration-file read all", false}};
  for (const auto& [file, step, bInCommon] : failures) {
    SCOPED_TRACE(file);
    const std::string fault = Show(CallApp(StartBody("RtTestComp", bInCommon ? "" : inc(file),
                                                     bInCommon ? inc(file) : "<Name>N</Name>")));
    EXPECT_THAT(fault, ::testing::AllOf(HasSubstr(step), HasSubstr(file)));
    EXPECT_FALSE(Application::RunningComponent());
  }

  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Ref<XmlParser> answer =
      CallApp(StartBody("RtTestComp", "<x>1</x>" + inc(dir.Join("code.xml")), inc("name.xml")));
  std::filesystem::current_path(previous);
  Ref<Component> comp = Application::RunningComponent();
  ASSERT_TRUE(comp) << Show(answer);
  EXPECT_EQ(comp->Config()->GetInt("x", 0), 1);
  EXPECT_EQ(comp->Config()->GetInt("Inc/y", 0), 2);
  EXPECT_EQ(comp->GetName(), "FromInclude");
}

// Without a component only "returnOk" is served; notices (type 0) and messages without a type
// (-1) get no answer, whatever the result. With one, its table decides by name and namespace.
TEST_F(ApplicationTest, DispatchByNameQualifierAndMessageType) {
  struct {
    const char* body;
    int type;
    bool bHook, bStarted;
    const char *answer, *result, *handler;  // result nullptr: success
  } const cases[] = {
      {"<nosuch/>", 1, false, false, "Function nosuch not supported|s:Client", "not supported"},
      {"<returnOk/>", 1, false, false, "ok", nullptr},
      {"<nosuch/>", 0, false, false, "<no answer>", "Function nosuch not supported"},
      {"<returnOk/>", -1, false, false, "<no answer>", nullptr},
      {"<ReturnOk/>", 1, false, false, "Function ReturnOk not supported|s:Client", "supported"},
      {"<returnOk/>", 1, true, false, "ok", nullptr},
      {"<q/>", 1, true, false, "Function q not supported|s:Client", nullptr},
      {"<q xmlns=\"urn:a\"/>", 1, true, true, "ok", nullptr, "A"},
      {"<q xmlns=\"urn:b\"/>", 1, true, true, "ok", nullptr, "any"},
      {"<only xmlns=\"urn:b\"/>", 1, true, true, "Function only not supported|s:Client", nullptr},
      {"<Q/>", 1, true, true, "Function Q not supported|s:Client", nullptr},
      {"<throw/>", 1, true, true, "thrown on purpose|s:Server", nullptr},
      {"<returnOk/>", 1, true, true, "Function returnOk not supported|s:Client", nullptr},
      // A handler that takes over the connection keeps its reference without complaint.
      {"<keep/>", 1, true, true, "ok", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + " type " + std::to_string(c.type));
    if (c.bStarted && !Application::RunningComponent()) Start();
    g_LastHandler = "";
    Result r;
    EXPECT_EQ(Show(c.bHook ? CallHook(c.body, c.type) : CallApp(c.body, c.type, &r)), c.answer);
    EXPECT_STREQ(g_LastHandler.load(), c.handler ? c.handler : "");
    EXPECT_THAT(r, HasText(c.result ? c.result : "OK"));  // hook calls leave r at success
  }
  EXPECT_TRUE(g_pKept);
  EXPECT_EQ(Application::RunningComponent()->ActiveServerCalls(), 0);
  // A stopping component serves nothing and answers nothing.
  Application::RunningComponent()->SetState(Component::State_Stopping);
  EXPECT_EQ(Show(CallHook("<q/>")), "<no answer>");
  // A document that is no envelope is refused with an empty function name.
  Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  Result r = Application::CallServerFunction(fifo.get(), testing::XmlDoc("<start/>").get());
  EXPECT_THAT(r, util::testing_matchers::HasCategory(util::ErrLogicArgs));
  EXPECT_THAT(r, HasText("Function  not supported"));
  EXPECT_EQ(fifo->QueuedBlocks(), 0);
}

TEST_F(ApplicationTest, LeakedConnectionReferenceIsAFatalAssertion) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  Start();
  EXPECT_EXIT(
      {
        testing::FatalRecordsToStderr();
        (void)CallHook("<leak/>");
      },
      ::testing::ExitedWithCode(1),
      "Bad reference count 2 != 1 of connection after return from server function leak");
}

TEST_F(ApplicationTest, AlertsOncePerChangeTheStatusReportAndTerminate) {
  // Without a component the report is an empty ComponentInfo.
  Ref<XmlParser> empty = CallApp("<GetState><RunLevel>1</RunLevel></GetState>");
  EXPECT_EQ(Show(empty), "ComponentInfo");
  EXPECT_FALSE(empty && empty->ExistsPath("ProcessId"));

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
  comp->Alert("net", AlertLevel_Yellow, -1, "never logged");
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
  ASSERT_EQ(Show(state), "ComponentInfo");
  EXPECT_EQ(state->GetNamespace(), kNsXelMaster);
  EXPECT_EQ(comp->GetRunLevel(), 3);
  ExpectAt(*state, "",
           "ProcessId=" + std::to_string(osal::CurrentProcessId()) +
               ";Resources/Handles=" + std::to_string(util::HandleObject::UsedHandles()) +
               ";Counters/calls=5;Counters/fresh=11");
  ExpectAt(*state, "Alerts/",
           "NumberOfAlerts=2;Alert[1]/@name=disk;Alert[1]/Level=green;"
           "Alert[1]/LastId=9;Alert[2]/@name=net;Alert[2]/Level=yellow");
  for (const char* path : {"Resources/Objects", "Resources/AdditionalRefs", "Resources/MsgBlocks"})
    EXPECT_TRUE(state->ExistsPath(path)) << path;
  EXPECT_FALSE(state->ExistsPath("Scheduler"));

  // Without a run level the report is still made; the omission is traced.
  util::EnableTraceId(util::General_Error, true);
  EXPECT_EQ(Show(CallApp("<GetState/>")), "ComponentInfo");
  EXPECT_EQ(trace.Matching("Location=%s; result=%s").size(), 1u);
  EXPECT_FALSE(Application::IsStopRequested());
  EXPECT_EQ(Show(CallApp("<terminate/>")), "ok");
  EXPECT_TRUE(Application::IsStopRequested());
}

// Takes about five seconds: the scheduler's first call comes after its fixed first delay.
TEST_F(ApplicationTest, SchedulerCountsAnswersCarriesThePreviousOneAndStopsOnAnUnlistedKind) {
  Start(
      "<schedule><name>S0</name><insert_last_response_xpath>tick/Previous"
      "</insert_last_response_xpath><request>" +
      testing::EnvelopeText("<tick><Previous/></tick>") +
      "</request><response_delay><Tick>0</Tick></response_delay></schedule>"
      "<Schedulers><schedule><name>NoRequest</name></schedule></Schedulers>");
  auto schedulers = Application::RunningComponent()->Schedulers();
  ASSERT_EQ(schedulers.size(), 2u);
  // A schedule without a request ends before its first wait and is not reported.
  ASSERT_TRUE(schedulers[1]->Join(3000));
  EXPECT_EQ(schedulers[1]->MainState(), SchedulerThread::MainState_Constructed);
  ASSERT_TRUE(schedulers[0]->Join(15000));
  EXPECT_EQ(g_Ticks.load(), 4);
  EXPECT_EQ(schedulers[0]->MainState(), SchedulerThread::MainState_Stopped);
  EXPECT_EQ(schedulers[0]->Action(), "Scheduler has been stopped");

  Ref<XmlParser> state = CallApp("<GetState><RunLevel>0</RunLevel></GetState>");
  ASSERT_EQ(Show(state), "ComponentInfo");
  // "carried": every request after the first carried the previous answer.
  ExpectAt(*state, "Scheduler/",
           "Name=S0;MainState=2;Active=0;Action=Scheduler has been stopped;"
           "Statistics/Tick=3;Statistics/Done=1;LastResponse/Envelope/Body/Done/n=4;"
           "LastResponse/Envelope/Body/Done/carried=1");
  EXPECT_FALSE(state->ExistsPath("Scheduler[2]"));
}

}  // namespace
}  // namespace velmora::xel
