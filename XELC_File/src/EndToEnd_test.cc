// End-to-end tests: the real plug-in library in a host process of its own, driven by the
// master over the real shared-memory link, as the platform drives it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "MasterSession.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/Process.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "util/LogBuffer.h"
#include "xel/DataLinkIpc.h"

namespace velmora::tools {
namespace {

using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::IsError;
using util::testing_matchers::IsOk;
using xel::XmlParser;

constexpr const char* kFileConfig =
    "<Component><Code><XelcFile/></Code><Common><Name>e2e</Name></Common></Component>";

MasterOptions DefaultOptions() {
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  o.M_TraceLevel = 10;
  return o;
}

std::string Text(const XmlParser& doc, const char* path) {
  std::string s;
  Result r = doc.ReadStringAtPath(path, &s);
  return r.IsSuccess() ? s : "<missing " + std::string(path) + ">";
}

Ref<XmlParser> Request(const std::string& xml) {
  Ref<XmlParser> doc;
  std::string function;
  Result r = RequestFromText(xml, ".", &doc, &function);
  EXPECT_THAT(r, IsOk()) << xml;
  return doc;
}

// Removes the named objects a killed master leaves behind (its link's and trace key's).
void RemoveSharedObjects(const std::string& linkName) {
  osal::RemoveLeftoverNamedObjects(std::string(xel::DataLinkIpc::kNamePrefix) + "_" + linkName +
                                   "_");
  const std::string key = linkName.substr(0, linkName.find('_'));
  for (const std::string& name : {util::LogBuffer::MutexName(key), util::LogBuffer::MemoryName(key),
                                  util::LogBuffer::EventName(key)}) {
    osal::RemoveLeftoverNamedObjects(name);
  }
}

class EndToEndTest : public ::testing::Test {
 protected:
  void StartPlugin(const std::string& workingDir = "") {
    MasterOptions o = DefaultOptions();
    o.M_WorkingDir = workingDir;
    ASSERT_THAT(M_Session.Start(o), IsOk());
    EXPECT_EQ(static_cast<uint32_t>(M_Session.GreetedProcessId()), M_Session.HostProcessId());
  }
  void StartComponent(const std::string& config = kFileConfig) {
    Ref<XmlParser> answer;
    ASSERT_THAT(M_Session.SendStart(config, &answer), IsOk());
    ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  }
  void FinishCleanly() {
    Ref<XmlParser> stop, terminate;
    EXPECT_THAT(M_Session.Finish(&stop, &terminate), IsOk());
    ASSERT_TRUE(stop && terminate);
    EXPECT_EQ(AnswerKind(*stop), "ok");
    EXPECT_EQ(AnswerKind(*terminate), "ok");
    EXPECT_EQ(M_Session.Exit().Describe(), "exited with code 0");
  }

  MasterSession M_Session;
};

TEST_F(EndToEndTest, WorkingDirStateStopTwiceAndTerminate) {
  // A working directory whose name is not ASCII comes back as the same UTF-8 text.
  testing::TempDir dir("xele2e");
  const std::string work = dir.Join("Arbeitsverzeichnis-\xC3\xBC\xC3\x9F-\xE6\x97\xA5\xE6\x9C\xAC");
  std::filesystem::create_directory(PathOf(work));
  StartPlugin(work);
  StartComponent();

  Ref<XmlParser> answer;
  ASSERT_THAT(
      M_Session.Call(*Request("<GetWorkingDir xmlns=\"" + std::string(xel::kNsXelMessage) + "\"/>"),
                     &answer),
      IsOk());
  EXPECT_EQ(AnswerKind(*answer), "WorkingDir");
  const std::u8string canonical = std::filesystem::canonical(PathOf(work)).u8string();
  EXPECT_EQ(Text(*answer, "/Envelope/Body/WorkingDir"),
            std::string(canonical.begin(), canonical.end()));

  ASSERT_THAT(M_Session.AppFunction("GetState", &answer, 0), IsOk());
  EXPECT_EQ(AnswerKind(*answer), "ComponentInfo");
  EXPECT_EQ(Text(*answer, "/Envelope/Body/ComponentInfo/ProcessId"),
            std::to_string(M_Session.GreetedProcessId()));
  EXPECT_TRUE(answer->ExistsPath("/Envelope/Body/ComponentInfo/Info"));
  EXPECT_TRUE(answer->ExistsPath("/Envelope/Body/ComponentInfo/Resources/MsgBlocks"));
  EXPECT_FALSE(answer->ExistsPath("/Envelope/Body/ComponentInfo/Scheduler"));

  // The second "stop" finds no component and still succeeds.
  ASSERT_THAT(M_Session.AppFunction("stop", &answer), IsOk());
  EXPECT_EQ(AnswerKind(*answer), "ok");
  // A stopped component serves nothing: the idle table refuses the call.
  ASSERT_THAT(M_Session.Call(*Request("<GetWorkingDir/>"), &answer, 5000), IsOk());
  EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultstring"),
            "Function GetWorkingDir not supported");
  FinishCleanly();
}

TEST_F(EndToEndTest, UnknownFunctionsAreRefusedAndNoticesGetNoAnswer) {
  StartPlugin();
  StartComponent();
  Ref<XmlParser> answer;
  // Names are matched exactly, case included.
  for (const char* name : {"NoSuchFunction", "getworkingdir"}) {
    SCOPED_TRACE(name);
    ASSERT_THAT(M_Session.Call(*Request("<" + std::string(name) + "/>"), &answer, 5000), IsOk());
    EXPECT_EQ(AnswerKind(*answer), "Fault");
    EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultcode"), "s:Client");
    EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultstring"),
              "Function " + std::string(name) + " not supported");
  }

  // A notice (kind 0) is served but never answered; the master gives up in time and the
  // plug-in goes on serving.
  const auto t0 = std::chrono::steady_clock::now();
  Result r = M_Session.Call(*Request("<NoSuchFunction xmlns:xel=\"" +
                                     std::string(kNsXelMasterTool) + "\" xel:type=\"0\"/>"),
                            &answer, 1500);
  EXPECT_TRUE(r.IsClass(util::ErrTimeout) || r.IsClass(util::ErrConnLost)) << r.Text();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3000));
  ASSERT_THAT(M_Session.Call(*Request("<GetWorkingDir/>"), &answer, 5000), IsOk());
  EXPECT_EQ(AnswerKind(*answer), "WorkingDir");
  FinishCleanly();
}

TEST_F(EndToEndTest, StartOfAnUnknownComponentFailsAndASecondStartIsRefused) {
  StartPlugin();
  Ref<XmlParser> answer;
  ASSERT_THAT(M_Session.SendStart("<NoSuchComponent/>", &answer), IsOk());
  EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultstring"),
            "Component NoSuchComponent does not exist");
  StartComponent("<XelcFile/>");
  ASSERT_THAT(M_Session.SendStart(kFileConfig, &answer), IsOk());
  EXPECT_EQ(Text(*answer, "/Envelope/Body/Fault/faultstring"),
            "The component has been already started");
  FinishCleanly();
}

TEST_F(EndToEndTest, ScheduleRunsByItsOwnConfigurationAndReportsStatistics) {
  StartPlugin();
  StartComponent(
      "<XelcFile><schedule><name>wd</name><request>"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header>"
      "<t:type xmlns:t=\"http://velmora.net/XMLSchema/2004/xel\">1</t:type></s:Header>"
      "<s:Body><GetWorkingDir/></s:Body></s:Envelope></request>"
      "<response_delay><WorkingDir>0</WorkingDir></response_delay></schedule></XelcFile>");
  // The schedule's first call comes after its fixed first delay of 5 s.
  Ref<XmlParser> state;
  int count = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (count < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_THAT(M_Session.AppFunction("GetState", &state, 0), IsOk());
    std::string text = Text(*state, "/Envelope/Body/ComponentInfo/Scheduler/Statistics/WorkingDir");
    count = std::atoi(text.c_str());
  }
  ASSERT_GE(count, 3) << DocumentToText(*state);
  EXPECT_EQ(Text(*state, "/Envelope/Body/ComponentInfo/Scheduler/Name"), "wd");
  EXPECT_EQ(Text(*state, "/Envelope/Body/ComponentInfo/Scheduler/MainState"), "1");
  EXPECT_TRUE(state->ExistsPath(
      "/Envelope/Body/ComponentInfo/Scheduler/LastResponse/Envelope/Body/WorkingDir"));
  FinishCleanly();
}

TEST_F(EndToEndTest, ADeadPluginIsReportedWithinTwoSeconds) {
  StartPlugin();
  StartComponent();
  ASSERT_TRUE(M_Session.KillHost());
  const auto t0 = std::chrono::steady_clock::now();
  Ref<XmlParser> answer;
  Result r = M_Session.AppFunction("GetState", &answer, 0, 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_THAT(r, HasCategory(util::ErrStopped));
  EXPECT_THAT(r.ErrorText(), ::testing::HasSubstr("plug-in process has gone (killed"));
  EXPECT_FALSE(M_Session.LinkAlive());
}

// A master in a process of its own: starts the plug-in, tells the parent the host's pid,
// then waits to be killed.
XEL_CHILD_MODE(master) {
  MasterSession session;
  MasterOptions o = DefaultOptions();
  o.M_LinkName = args.empty() ? "" : args[0];
  if (session.Start(o).IsError()) return 1;
  velmora::testing::ChildSay(std::to_string(session.HostProcessId()));
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(EndToEndProcessTest, PluginReturnsWithinTwoSecondsWhenTheMasterIsKilled) {
  // The host outlives its master; this process takes it on to wait for it.
  ASSERT_TRUE(osal::AdoptOrphanedDescendants().ok());
  const std::string link = "XK" + std::to_string(osal::CurrentProcessId()) + "_killed";
  velmora::testing::ChildProcess master;
  ASSERT_TRUE(master.Start("master", {link}));
  std::string line;
  ASSERT_TRUE(master.ReadLine(&line, 15000));
  const uint32_t hostId = static_cast<uint32_t>(std::stoul(line));
  ASSERT_GT(hostId, 0u);

  master.Kill();
  int code = 0;
  ASSERT_TRUE(master.Wait(5000, &code));
  osal::Process host;
  ASSERT_TRUE(host.Attach(hostId).ok());
  const auto t0 = std::chrono::steady_clock::now();
  const bool ended = host.Wait(5000).ok();
  const auto took = std::chrono::steady_clock::now() - t0;
  RemoveSharedObjects(link);
  ASSERT_TRUE(ended);
  EXPECT_LT(took, std::chrono::milliseconds(2000));
  // The entry returned (an ended application, not a crash).
  EXPECT_FALSE(host.exit().killed) << host.exit().Describe();
}

// The master's request files: the function element alone, the envelope around it, its own
// markup for the message kind and for file contents.
TEST(MasterRequestTest, RequestFilesAreEncodedAsTheMasterSendsThem) {
  testing::TempDir dir("xelreq");
  const std::string bytes(
      "\x00\x01\xFF"
      "binary\r\n",
      11);
  std::ofstream(dir.Join("data.bin"), std::ios::binary) << bytes;
  const std::string ns = kNsXelMasterTool;
  Ref<XmlParser> doc;
  std::string function;
  ASSERT_THAT(RequestFromText("<CreateFile xmlns:xel=\"" + ns +
                                  "\" a=\"1\"><name>x.bin</name>"
                                  "<content xel:file=\"data.bin\">ignored<sub/></content>"
                                  "<after>2</after></CreateFile>",
                              dir.path(), &doc, &function),
              IsOk());
  EXPECT_EQ(function, "CreateFile");
  EXPECT_EQ(doc->GetDataFormat(), XmlParser::Format_Binary);
  int type = -1;
  AnswerKind(*doc, &type);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(Text(*doc, "/Envelope/Body/CreateFile/@a"), "1");
  EXPECT_EQ(Text(*doc, "/Envelope/Body/CreateFile/after"), "2");
  EXPECT_FALSE(doc->ExistsPath("/Envelope/Body/CreateFile/content/sub"));
  XmlParser content(*doc);
  ASSERT_THAT(content.MoveToPath("/Envelope/Body/CreateFile/content"), IsOk());
  std::string got(64, '\0');
  int len = 0;
  ASSERT_THAT(content.ReadBinary(got.data(), static_cast<int>(got.size()), &len), IsOk());
  EXPECT_EQ(got.substr(0, static_cast<size_t>(len)), bytes);
  // The master's own attributes never reach the plug-in.
  EXPECT_EQ(DocumentToText(*doc).find(ns), std::string::npos);

  // A whole envelope travels as written; the kind comes from its header.
  ASSERT_THAT(RequestFromText(DocumentToText(*doc), ".", &doc, &function), IsOk());
  EXPECT_EQ(function, "CreateFile");
  ASSERT_THAT(
      RequestFromText("<poll xmlns:xel=\"" + ns + "\" xel:type=\"0\"/>", ".", &doc, &function),
      IsOk());
  AnswerKind(*doc, &type);
  EXPECT_EQ(type, 0);

  EXPECT_THAT(RequestFromText("<a><b xel:file=\"missing.bin\" xmlns:xel=\"" + ns + "\"/></a>",
                              dir.path(), &doc, &function),
              HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(RequestFromText("not xml", ".", &doc, &function), IsError());
  EXPECT_THAT(RequestFromText("<a xmlns:xel=\"" + ns + "\" xel:type=\"x\"/>", ".", &doc, &function),
              HasCategory(util::ErrLogicArgs));
}

// The xelmaster program itself, as run.sh and a user run it: its standard output, and its
// exit code in *pExit (-1 when it did not end in time). Its standard error is dropped.
std::string RunMaster(const std::vector<std::string>& args, const std::string& scratch,
                      int* pExit) {
  osal::Process master;
  osal::ProcessOptions o;
  o.stdout_mode = osal::ChildOutput::kFile;
  o.stdout_file = scratch + "/stdout.txt";
  o.stderr_file = scratch + "/stderr.txt";
  *pExit = -1;
  if (!master.Start(XEL_MASTER_PATH, args, o).ok()) return "";
  if (master.Wait(120000).ok() && !master.exit().killed) *pExit = master.exit().code;
  std::ifstream in(o.stdout_file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(MasterProgramTest, RunsTheExamplesAndReportsFailuresByExitCode) {
  testing::TempDir dir("xelmaster");
  const std::vector<std::string> master = {"--plugin", XEL_PLUGIN_PATH, "--host", XEL_HOST_PATH};
  auto with = [&master](std::vector<std::string> more) {
    more.insert(more.begin(), master.begin(), master.end());
    return more;
  };
  const std::string ex = XEL_EXAMPLES_DIR;
  int rc = -1;
  std::string out =
      RunMaster(with({"--config", ex + "/xelcfile-config.xml", "--call", ex + "/GetWorkingDir.xml",
                      "--call", ex + "/NoSuchFunction.xml", "--state", "--answers",
                      dir.Join("answers"), "--trace-file", dir.Join("trace.txt")}),
                dir.path(), &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_THAT(out, ::testing::HasSubstr("<WorkingDir>"));
  EXPECT_THAT(out, ::testing::HasSubstr("Function NoSuchFunction not supported"));
  EXPECT_THAT(out, ::testing::HasSubstr("ComponentInfo"));
  EXPECT_TRUE(std::filesystem::exists(dir.Join("answers/002-GetWorkingDir.xml")));
  EXPECT_TRUE(std::filesystem::exists(dir.Join("answers/004-GetState.xml")));
  std::ifstream trace(dir.Join("trace.txt"));
  std::string traceText((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
  EXPECT_THAT(traceText, ::testing::HasSubstr("Sub-Process is running. Key="));

  // A call that gets no answer (a notice) is reported by exit code 3.
  std::ofstream(dir.Join("notice.xml"))
      << "<GetState xmlns:xel=\"" << kNsXelMasterTool << "\" xel:type=\"0\"/>";
  RunMaster(with({"--config", ex + "/xelcfile-config.xml", "--timeout", "1000", "--call",
                  dir.Join("notice.xml")}),
            dir.path(), &rc);
  EXPECT_EQ(rc, 3);
  // A plug-in that cannot be loaded: exit code 2, without hanging.
  RunMaster(with({"--plugin", dir.Join("none.so")}), dir.path(), &rc);
  EXPECT_EQ(rc, 2);
  RunMaster({"--call", dir.Join("missing.xml")}, dir.path(), &rc);
  EXPECT_EQ(rc, 1);
}

// The example whose folder settings come from an included file starts the component, and
// the included base directory is in force.
TEST(MasterProgramTest, ExampleConfigurationWithAnIncludeStarts) {
  testing::TempDir dir("xelmaster");
  const std::string ex = XEL_EXAMPLES_DIR;
  std::ofstream(dir.Join("outside.xml"))
      << "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder>"
         "<WatchedPath>"
      << dir.path()
      << "</WatchedPath><FileSearchMask>*</FileSearchMask>"
         "</folder></specific></poll>";
  int rc = -1;
  const std::string out =
      RunMaster({"--plugin", XEL_PLUGIN_PATH, "--host", XEL_HOST_PATH, "--config",
                 ex + "/include-config.xml", "--call", dir.Join("outside.xml")},
                dir.path(), &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_THAT(out, ::testing::HasSubstr("is outside of configured FolderInputBaseDirectory"));
}

}  // namespace
}  // namespace velmora::tools
