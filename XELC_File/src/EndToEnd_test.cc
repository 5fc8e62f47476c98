// End-to-end tests: the real plug-in library in a host process of its own, driven by the
// master over the real shared-memory link, and the xelmaster program as users run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MasterSession.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/Process.h"

namespace velmora::tools {
namespace {

using ::testing::HasSubstr;
using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::IsError;
using util::testing_matchers::IsOk;
using xel::XmlParser;

std::string Text(const XmlParser& doc, const char* path) {
  std::string s;
  return doc.ReadStringAtPath(path, &s).IsSuccess() ? s : "<missing " + std::string(path) + ">";
}

Ref<XmlParser> Request(const std::string& xml) {
  Ref<XmlParser> doc;
  EXPECT_THAT(RequestFromText(xml, ".", &doc, nullptr), IsOk()) << xml;
  return doc;
}

void StartPlugin(MasterSession* pSession, const std::string& workingDir = "") {
  MasterOptions o;
  o.M_HostPath = XEL_HOST_PATH;
  o.M_PluginPath = XEL_PLUGIN_PATH;
  o.M_TraceLevel = 10;
  o.M_WorkingDir = workingDir;
  ASSERT_THAT(pSession->Start(o), IsOk());
  EXPECT_EQ(static_cast<uint32_t>(pSession->GreetedProcessId()), pSession->HostProcessId());
  Ref<XmlParser> answer;
  ASSERT_THAT(pSession->SendStart("<Component><Code><XelcFile/></Code></Component>", &answer),
              IsOk());
  ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
}

TEST(EndToEndTest, ServesOverTheLinkFromItsWorkingDirAndEndsWithExitCodeZero) {
  testing::TempDir dir("xele2e");
  const std::string work = dir.Join("Arbeitsverzeichnis-\xC3\xBC\xC3\x9F-\xE6\x97\xA5\xE6\x9C\xAC");
  std::filesystem::create_directory(PathOf(work));
  MasterSession session;
  StartPlugin(&session, work);
  Ref<XmlParser> answer;
  ASSERT_THAT(
      session.Call(*Request("<GetWorkingDir xmlns=\"" + std::string(xel::kNsXelMessage) + "\"/>"),
                   &answer),
      IsOk());
  const std::u8string canonical = std::filesystem::canonical(PathOf(work)).u8string();
  EXPECT_EQ(Text(*answer, "/Envelope/Body/WorkingDir"),
            std::string(canonical.begin(), canonical.end()));
  ASSERT_THAT(session.AppFunction("GetState", &answer, 0), IsOk());
  EXPECT_EQ(Text(*answer, "/Envelope/Body/ComponentInfo/ProcessId"),
            std::to_string(session.GreetedProcessId()));

  // A notice is never answered: the master gives up in time and the plug-in serves on.
  const auto t0 = std::chrono::steady_clock::now();
  Result r = session.Call(*Request("<NoSuchFunction xmlns:xel=\"" + std::string(kNsXelMasterTool) +
                                   "\" xel:type=\"0\"/>"),
                          &answer, 1500);
  EXPECT_TRUE(r.IsClass(util::ErrTimeout) || r.IsClass(util::ErrConnLost)) << r.Text();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3000));

  Ref<XmlParser> stop, terminate;
  EXPECT_THAT(session.Finish(&stop, &terminate), IsOk());
  ASSERT_TRUE(stop && terminate);
  EXPECT_EQ(AnswerKind(*stop), "ok");
  EXPECT_EQ(AnswerKind(*terminate), "ok");
  EXPECT_EQ(session.Exit().Describe(), "exited with code 0");
}

TEST(EndToEndTest, ADeadPluginIsReportedWithinTwoSeconds) {
  MasterSession session;
  StartPlugin(&session);
  ASSERT_TRUE(session.KillHost());
  const auto t0 = std::chrono::steady_clock::now();
  Ref<XmlParser> answer;
  Result r = session.AppFunction("GetState", &answer, 0, 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_THAT(r, HasCategory(util::ErrStopped));
  EXPECT_THAT(r.ErrorText(), HasSubstr("plug-in process has gone (killed"));
  EXPECT_FALSE(session.LinkAlive());
}

// The master's request files: the function element alone or the envelope around it, with the
// master's own markup for the message kind and for file contents.
TEST(MasterRequestTest, RequestFilesAreEncodedAsTheMasterSendsThem) {
  testing::TempDir dir("xelreq");
  const std::string bytes = std::string("\x00\x01\xFF", 3) + "binary\r\n";
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
  EXPECT_EQ(DocumentToText(*doc).find(ns), std::string::npos);  // the master's markup stays

  // A whole envelope travels as written; the kind comes from its header.
  ASSERT_THAT(RequestFromText(DocumentToText(*doc), ".", &doc, &function), IsOk());
  EXPECT_EQ(function, "CreateFile");
  ASSERT_THAT(
      RequestFromText("<poll xmlns:xel=\"" + ns + "\" xel:type=\"0\"/>", ".", &doc, nullptr),
      IsOk());
  AnswerKind(*doc, &type);
  EXPECT_EQ(type, 0);
  EXPECT_THAT(RequestFromText("<a><b xel:file=\"missing.bin\" xmlns:xel=\"" + ns + "\"/></a>",
                              dir.path(), &doc, nullptr),
              HasCategory(util::ErrObjNotExist));
  EXPECT_THAT(RequestFromText("not xml", ".", &doc, nullptr), IsError());
  EXPECT_THAT(RequestFromText("<a xmlns:xel=\"" + ns + "\" xel:type=\"x\"/>", ".", &doc, nullptr),
              HasCategory(util::ErrLogicArgs));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The xelmaster program as run.sh and a user run it: its exit code and what it prints.
TEST(MasterProgramTest, RunsExamplesAndReportsFailuresByExitCode) {
  testing::TempDir dir("xelmaster");
  const std::string ex = XEL_EXAMPLES_DIR;
  std::ofstream(dir.Join("notice.xml"))
      << "<GetState xmlns:xel=\"" << kNsXelMasterTool << "\" xel:type=\"0\"/>";
  std::ofstream(dir.Join("outside.xml"))
      << "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>"
      << dir.path()
      << "</WatchedPath><FileSearchMask>*</FileSearchMask></folder></specific></poll>";
  std::ofstream(dir.Join("broken.xml"))
      << "<Component><Code><XelcFile/></Code><Common><xi:include "
         "xmlns:xi='http://www.w3.org/2001/XInclude' href='missing.xml'/></Common></Component>";
  std::filesystem::create_directory(dir.Join("watched"));
  std::ofstream(dir.Join("watched/keep.txt")) << "x";
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> shown;
  } runs[] = {
      {{"--config", ex + "/xelcfile-config.xml", "--call", ex + "/GetWorkingDir.xml", "--call",
        ex + "/NoSuchFunction.xml", "--state", "--answers", dir.Join("answers"), "--trace-file",
        dir.Join("trace.txt")},
       0,
       {"<WorkingDir>", "Function NoSuchFunction not supported", "ComponentInfo"}},
      {{"--config", ex + "/xelcfile-config.xml", "--timeout", "1000", "--call",
        dir.Join("notice.xml")},
       3,
       {}},
      // The folder settings come from the example's relative include.
      {{"--config", ex + "/include-config.xml", "--call", dir.Join("outside.xml")},
       0,
       {"is outside of configured FolderInputBaseDirectory"}},
      {{"--plugin", dir.Join("none.so")}, 2, {}},
      {{"--config", dir.Join("broken.xml"), "--poll-folder", dir.Join("watched"), "--output",
        dir.Join("out"), "--until-empty"},
       2,
       {"\"start\" failed", "Configuration-file open", "missing.xml"}},
      {{"--call", dir.Join("missing.xml")}, 1, {}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args.back());
    std::vector<std::string> args = {"--plugin", XEL_PLUGIN_PATH, "--host", XEL_HOST_PATH};
    args.insert(args.end(), run.args.begin(), run.args.end());
    osal::ProcessOptions o;
    o.stdout_mode = osal::ChildOutput::kFile;
    o.stdout_file = dir.Join("stdout.txt");
    o.stderr_file = dir.Join("stderr.txt");
    osal::Process master;
    ASSERT_TRUE(master.Start(XEL_MASTER_PATH, args, o).ok());
    ASSERT_TRUE(master.Wait(120000).ok());
    const std::string out = ReadFile(o.stdout_file) + ReadFile(o.stderr_file);
    EXPECT_EQ(master.exit().killed ? -1 : master.exit().code, run.exitCode) << out;
    for (const std::string& text : run.shown) EXPECT_THAT(out, HasSubstr(text));
  }
  EXPECT_TRUE(std::filesystem::exists(dir.Join("answers/002-GetWorkingDir.xml")));
  EXPECT_TRUE(std::filesystem::exists(dir.Join("answers/004-GetState.xml")));
  EXPECT_THAT(ReadFile(dir.Join("trace.txt")), HasSubstr("Sub-Process is running. Key="));
  EXPECT_TRUE(std::filesystem::exists(dir.Join("watched/keep.txt")));  // nothing was claimed
}

}  // namespace
}  // namespace velmora::tools
