// End-to-end tests of the xelmaster program as users run it: it starts the real plug-in in a
// host process of its own, calls functions, and in poll mode stores and confirms packages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "MasterSession.h"
#include "PollMode.h"
#include "TempDir.h"
#include "osal/File.h"
#include "osal/Process.h"

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
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(".xelmaster-part", 0) == 0) continue;
    out.push_back(it->path().lexically_relative(dir).string());
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
  int Run(const std::vector<std::string>& args) {
    osal::Process master;
    return Spawn(&master, args) ? WaitExit(master) : -3;
  }
  // The arguments of a poll-mode run, then more.
  std::vector<std::string> Polling(std::vector<std::string> more) {
    more.insert(more.begin(),
                {"--config", M_Dir.Join("config.xml"), "--output", M_Out, "--poll-request",
                 M_Dir.Join("poll0.xml"), "--poll-request", M_Dir.Join("poll1.xml")});
    return more;
  }
  std::string Out() { return ReadFile(M_Dir.Join("stdout.txt")); }
  std::string Err() { return ReadFile(M_Dir.Join("stderr.txt")); }

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
  EXPECT_EQ(WaitExit(master, 10000), 0) << Err();
  EXPECT_THAT(Err(), HasSubstr("2 package(s)"));
  EXPECT_THAT(Err(), HasSubstr("(interrupted)"));
  EXPECT_THAT(Err(), ::testing::Not(HasSubstr("process died")));
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
    EXPECT_EQ(Run(run.args), run.exitCode) << Out() << Err();
    for (const std::string& text : run.shown) EXPECT_THAT(Out() + Err(), HasSubstr(text));
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
