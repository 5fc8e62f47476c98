// End-to-end tests: the real plug-in in host processes of their own, driven by masters over the
// real shared-memory link (claims, competition, a crash), and the xelmaster program as users run
// it: calls, and in poll mode packages stored and confirmed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "PollEndToEndSupport.h"
#include "PollMode.h"
#include "TempDir.h"
#include "osal/File.h"
#include "osal/Process.h"

namespace velmora::tools::e2e {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Matches;
using util::testing_matchers::HasCategory;

class PollEndToEndTest : public ::testing::Test {
 protected:
  PollEndToEndTest() { fs::create_directories(M_In); }
  Ref<XmlParser> Poll() const { return PollRequest(M_In, "*.dat"); }

  velmora::testing::TempDir M_Base{"xelpoll"};
  const std::string M_In = M_Base.Join("in");
};

// Four pairs drain one folder together. The product is the 32-bit plug-in and 64-bit ones may
// poll the same folder: where a build of the other word size stands beside this one
// (XEL_PEER_BUILD_DIR), two of the pairs are of that size.
TEST_F(PollEndToEndTest, CompetingPluginsDeliverEveryFileExactlyOnce) {
  MasterOptions peer = Options(1);
  peer.M_HostPath = XEL_PEER_HOST_PATH;
  peer.M_PluginPath = XEL_PEER_PLUGIN_PATH;
  if (peer.M_HostPath.empty() || !fs::exists(peer.M_HostPath) || !fs::exists(peer.M_PluginPath)) {
    peer = Options(1);
  }
  const char* env = std::getenv("XEL_POLL_E2E_FILES");
  const auto files = WriteNumberedFiles(M_In, env ? std::atoi(env) : 300);
  CompeteUntilEmpty(
      {Options(1), Options(1), peer, peer}, M_Base.path(), [this] { return Poll(); }, files, M_In);
}

// A conversation closed before its confirmation ends the poll at once (its thread does not sit
// out its minute) and keeps the claim; where a racer's rename moved a claimed file on (as over
// SMB), the first claimer's confirmation completes nothing.
TEST_F(PollEndToEndTest, AClaimThatIsNotConfirmedOrMovedOnIsKept) {
  WriteFile(M_In + "/a.dat", "a", 100);
  WriteFile(M_In + "/b.dat", "b", 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 60), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*Poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  pair.Hangup();
  bool bEnded = false;
  for (int i = 0; i < 250 && !bEnded; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bEnded =
        Matches(Contains(HasSubstr("No confirmation of the poll")))(pair.Session().TraceLines());
  }
  EXPECT_TRUE(bEnded);
  std::vector<std::string> names = ListNames(M_In);
  std::smatch m;
  ASSERT_EQ(names.size(), 2u);
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  EXPECT_EQ(m[1], "a.dat");

  ASSERT_THAT(pair.Poll(*Poll(), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "b.dat");
  names = ListNames(M_In);
  ASSERT_TRUE(std::regex_match(names[1], m, kRunningLock)) << names[1];
  const std::string other =
      names[1].substr(0, static_cast<size_t>(m.position(2))) + "Other+03600.locked";
  fs::rename(M_In + "/" + names[1], M_In + "/" + other);
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "NO");
  EXPECT_THAT(ListNames(M_In), ::testing::ElementsAre(names[0], other));
  EXPECT_THAT(pair.Finish(), IsOk());
}

// A killed plug-in is reported at once; its claim outlives it, is left alone while it runs and
// is delivered by another plug-in once it has expired (back-dated instead of waiting an hour).
TEST_F(PollEndToEndTest, AKilledPluginIsReportedAndItsClaimIsTakenOverOnceExpired) {
  WriteFile(M_In + "/a.dat", "claimed by a plug-in that died", 100);
  Pair victim, survivor;
  ASSERT_THAT(victim.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(victim.Poll(*Poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  ASSERT_TRUE(victim.Session().KillHost());
  const auto t0 = std::chrono::steady_clock::now();
  Ref<XmlParser> answer;
  Result r = victim.Session().AppFunction("GetState", &answer, 0, 10000);
  // Reported, not sat out: well below the call's own time limit even on a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(6000));
  EXPECT_THAT(r, HasCategory(util::ErrStopped));
  EXPECT_THAT(r.ErrorText(), HasSubstr("plug-in process has gone (killed"));
  EXPECT_FALSE(victim.Session().LinkAlive());

  ASSERT_THAT(survivor.Start(M_Base.path()), IsOk());
  ASSERT_THAT(survivor.Poll(*Poll(), &offer), IsOk());
  EXPECT_EQ(offer.text, "No file found");
  const std::vector<std::string> names = ListNames(M_In);
  std::smatch m;
  ASSERT_EQ(names.size(), 1u);
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  fs::rename(M_In + "/" + names[0], M_In + "/a.dat.20000101000000." + m[2].str() + "+03600.locked");
  ASSERT_THAT(survivor.Poll(*Poll(), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].second, "claimed by a plug-in that died");
  std::string processed;
  ASSERT_THAT(survivor.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_TRUE(ListNames(M_In).empty());
  EXPECT_THAT(survivor.Finish(), IsOk());
  victim.Session().Close();
}

}  // namespace
}  // namespace velmora::tools::e2e

namespace velmora::tools {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::string s;
  ReadWholeFile(path, &s, nullptr);
  return s;
}

// Every file and folder below dir, relative, sorted, without the master's part files.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().filename().string().rfind(".xelmaster-part", 0) == 0) continue;
    out.push_back(e.path().lexically_relative(dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string PollRequestText(const std::string& folder, const std::string& mask,
                            const std::string& extra = "") {
  return "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>" +
         folder + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" + extra +
         "</folder></specific></poll>";
}

// An inbox with a plain file and a trigger file with two companions (the trigger itself is not
// sent), a poll request for each, and the xelmaster program run on them.
class PollProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Add("plain/report.bin", std::string(70000, '\x9c'));  // larger than one read chunk
    Add("trigger/order1.csv", "id;amount\n1;9.50\n");
    Add("trigger/order1.pdf", std::string(5000, '\0'));
    WriteFile(M_Base + "/trigger/order1.trg", "");
    WriteFile(M_Dir.Join("config.xml"),
              "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + M_Base +
                  "</FolderInputBaseDirectory></Folder></XelcFile></Code></Component>");
    WriteFile(M_Dir.Join("poll0.xml"), PollRequestText(M_Base + "/plain", "*"));
    WriteFile(M_Dir.Join("poll1.xml"),
              PollRequestText(M_Base + "/trigger", "*.trg",
                              "<FileDetectionMode><Mode>TRIGGER_FILE</Mode></FileDetectionMode>"));
    fs::create_directories(M_Out);
  }
  void Add(const std::string& rel, const std::string& bytes) {
    WriteFile(M_Base + "/" + rel, bytes);
    M_Expected[fs::path(rel).filename().string()] = bytes;
  }
  // Starts xelmaster with args, output and errors to files, away from the console's Ctrl-C so
  // that Interrupt reaches it alone.
  bool Spawn(osal::Process* pMaster, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--plugin", XEL_PLUGIN_PATH, "--host", XEL_HOST_PATH};
    all.insert(all.end(), args.begin(), args.end());
    osal::ProcessOptions o;
    o.stdout_mode = osal::ChildOutput::kFile;
    o.stdout_file = M_Dir.Join("stdout.txt");
    o.stderr_file = M_Dir.Join("stderr.txt");
    o.detach_interrupt = true;
    return pMaster->Start(XEL_MASTER_PATH, all, o).ok();
  }
  // The exit code; -1 when it did not end in time (killed then), -2 when it was killed.
  static int WaitExit(osal::Process& master, uint32_t waitMs = 60000) {
    if (!master.Wait(waitMs).ok()) {
      (void)master.Kill();
      (void)master.Wait(osal::kInfinite);
      return -1;
    }
    return master.exit().killed ? -2 : master.exit().code;
  }
  // The arguments of a poll-mode run, then more.
  std::vector<std::string> Polling(std::vector<std::string> more) {
    more.insert(more.begin(),
                {"--config", M_Dir.Join("config.xml"), "--output", M_Out, "--poll-request",
                 M_Dir.Join("poll0.xml"), "--poll-request", M_Dir.Join("poll1.xml")});
    return more;
  }
  std::string Out() {
    return ReadFile(M_Dir.Join("stdout.txt")) + ReadFile(M_Dir.Join("stderr.txt"));
  }

  testing::TempDir M_Dir{"pollmode"};
  const std::string M_Base = M_Dir.Join("inbox"), M_Out = M_Dir.Join("received");
  std::map<std::string, std::string> M_Expected;  // received name -> bytes
};

// Polling on until interrupted: every package is stored byte-identical under its own name and
// gone from the inbox, and the plug-in ends cleanly.
TEST_F(PollProgramTest, InterruptEndsThePluginCleanly) {
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, Polling({"--interval", "100"})));
  for (int i = 0;
       i < 1000 && (Listing(M_Out).size() < M_Expected.size() || Listing(M_Base).size() > 2); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::string> names;
  for (const auto& [name, bytes] : M_Expected) {
    names.push_back(name);
    EXPECT_EQ(ReadFile(M_Out + "/" + name), bytes) << name;
  }
  EXPECT_EQ(Listing(M_Out), names);
  EXPECT_THAT(Listing(M_Base), ::testing::ElementsAre("plain", "trigger"));
  osal::Status s = master.Interrupt();
  if (s.Is(osal::ErrorKind::kNotSupported)) GTEST_SKIP() << "no interrupt here: " << s.Text();
  ASSERT_TRUE(s.ok()) << s.Text();
  EXPECT_EQ(WaitExit(master, 10000), 0) << Out();
  EXPECT_THAT(Out(), ::testing::AllOf(HasSubstr("2 package(s)"), HasSubstr("(interrupted)"),
                                      ::testing::Not(HasSubstr("process died"))));
}

// Its exit code and what it prints, for the examples and for each kind of failure.
TEST_F(PollProgramTest, RunsExamplesAndReportsFailuresByExitCode) {
  const std::string ex = XEL_EXAMPLES_DIR, answers = M_Dir.Join("answers");
  WriteFile(M_Dir.Join("notice.xml"),
            "<GetState xmlns:xel=\"" + std::string(kNsXelMasterTool) + "\" xel:type=\"0\"/>");
  WriteFile(M_Dir.Join("outside.xml"), PollRequestText(M_Dir.path(), "*"));
  WriteFile(M_Dir.Join("broken.xml"),
            "<Component><Code><XelcFile/></Code><Common><xi:include xmlns:xi='http://www.w3.org/"
            "2001/XInclude' href='missing.xml'/></Common></Component>");
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> shown;
  } runs[] = {
      {{"--config", ex + "/xelcfile-config.xml", "--call", ex + "/GetWorkingDir.xml", "--call",
        ex + "/NoSuchFunction.xml", "--state", "--answers", answers, "--trace-file",
        M_Dir.Join("trace.txt")},
       0,
       {"<WorkingDir>", "Function NoSuchFunction not supported", "ComponentInfo"}},
      {{"--config", ex + "/xelcfile-config.xml", "--timeout", "1000", "--call",
        M_Dir.Join("notice.xml")},
       3,
       {}},
      // The folder settings come from the example's relative include.
      {{"--config", ex + "/include-config.xml", "--call", M_Dir.Join("outside.xml")},
       0,
       {"is outside of configured FolderInputBaseDirectory"}},
      {{"--plugin", M_Dir.Join("none.so")}, 2, {}},
      {{"--config", M_Dir.Join("broken.xml"), "--poll-folder", M_Base + "/plain", "--output", M_Out,
        "--until-empty"},
       2,
       {"\"start\" failed", "Configuration-file open", "missing.xml"}},
      {{"--call", M_Dir.Join("missing.xml")}, 1, {}},
      {Polling({"--count", "1"}), 0, {"#1 " + M_Base + "/plain: report.bin ("}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args.back());
    osal::Process master;
    EXPECT_EQ(Spawn(&master, run.args) ? WaitExit(master) : -3, run.exitCode) << Out();
    for (const std::string& text : run.shown) EXPECT_THAT(Out(), HasSubstr(text));
  }
  EXPECT_TRUE(fs::exists(answers + "/002-GetWorkingDir.xml"));
  EXPECT_TRUE(fs::exists(answers + "/004-GetState.xml"));
  EXPECT_THAT(ReadFile(M_Dir.Join("trace.txt")), HasSubstr("Sub-Process is running. Key="));
  EXPECT_THAT(Listing(M_Out), ::testing::ElementsAre("report.bin"));
}

TEST(PollModeNamesTest, ReceivedNamesLoseTheirFoldersAndUnsafeOnesAreRefused) {
  // "\" separates only where it is the platform's separator; on POSIX it is part of a name.
  const bool bBackslash = osal::PathSeparator() == '\\';
  const std::pair<const char*, std::string> cases[] = {
      {"report.pdf", "report.pdf"},
      {"a/b/c.txt", "c.txt"},
      {"/etc/passwd", "passwd"},
      {"..name", "..name"},
      {"", ""},
      {".", ""},
      {"..", ""},
      {"a/..", ""},
      {"dir/", ""},
      {"x\nz", ""},
      {"..\\..\\windows\\x.ini", bBackslash ? "x.ini" : "..\\..\\windows\\x.ini"},
      {"a\\..", bBackslash ? "" : "a\\.."},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(SafePartName(name), safe) << name;
}

}  // namespace
}  // namespace velmora::tools
