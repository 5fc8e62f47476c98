// End-to-end tests of the master's poll mode: the real plug-in in a host process of its own
// imports packages from watched folders; the master stores them and confirms them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MasterSession.h"
#include "PollMode.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/Process.h"

namespace velmora::tools {
namespace {

namespace fs = std::filesystem;
using util::Ref;
using util::Result;
using util::testing_matchers::IsOk;
using xel::XmlParser;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every file and folder below dir, relative, sorted.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    out.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string PollRequestText(const std::string& folder, const std::string& mask,
                            const std::string& extra = "") {
  return "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder>"
         "<WatchedPath>" +
         folder + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" + extra +
         "</folder></specific></poll>";
}

// An inbox with the three kinds of packages, each kind in a folder of its own (a poll
// request has one detection mode): the expected packages by folder, with the bytes.
class PollModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    M_Base = M_Dir.Join("inbox");
    M_Out = M_Dir.Join("received");
    fs::create_directories(M_Out);
    // A plain file larger than one read chunk of the plug-in, and an empty one.
    Add("plain/report.bin", RandomBytes(70000, 1));
    Add("plain/empty.txt", "");
    // A trigger file with two companions (same base name); the trigger is not attached.
    Add("trigger/order1.csv", "id;amount\n1;9.50\n");
    Add("trigger/order1.pdf", RandomBytes(5000, 2));
    WriteFile(M_Base + "/trigger/order1.trg", "");
    // A descriptor with two linked files in a subfolder.
    Add("descriptor/batch.xml",
        "<?xml version=\"1.0\"?><ImportSession><Page ImportFileName=\"pages/p1.txt\"/>"
        "<Page ImportFileName=\"pages/p2.tif\"/></ImportSession>");
    Add("descriptor/pages/p1.txt", "page one\n");
    Add("descriptor/pages/p2.tif", RandomBytes(3000, 3));
  }
  void Add(const std::string& rel, const std::string& bytes) {
    WriteFile(M_Base + "/" + rel, bytes);
    M_Expected[fs::path(rel).filename().string()] = bytes;
  }
  std::string Config() const {
    return "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + M_Base +
           "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"
           "</XelcFile></Code><Common><Name>pollmode</Name></Common></Component>";
  }
  std::vector<std::string> RequestTexts() const {
    return {PollRequestText(M_Base + "/plain", "*"),
            PollRequestText(M_Base + "/trigger", "*.trg",
                            "<FileDetectionMode><Mode>TRIGGER_FILE</Mode></FileDetectionMode>"),
            PollRequestText(M_Base + "/descriptor", "*.xml",
                            "<FileImportMode><Mode>4</Mode></FileImportMode>")};
  }
  void StartPlugin() {
    MasterOptions o;
    o.M_HostPath = XEL_HOST_PATH;
    o.M_PluginPath = XEL_PLUGIN_PATH;
    ASSERT_THAT(M_Session.Start(o), IsOk());
    Ref<XmlParser> answer;
    ASSERT_THAT(M_Session.SendStart(Config(), &answer), IsOk());
    ASSERT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  }
  // Polls request until it claims nothing; the outcomes of the claimed packages.
  std::vector<PollOutcome> Drain(PollClient& client, const std::string& text) {
    Ref<XmlParser> request;
    EXPECT_THAT(RequestFromText(text, ".", &request, nullptr), IsOk());
    std::vector<PollOutcome> packages;
    for (int i = 0; i < 10; ++i) {
      PollOutcome out;
      Result r = client.Poll(*request, &out);
      EXPECT_THAT(r, IsOk());
      if (r.IsError() || !out.M_bClaimed) {
        if (out.M_Status == "Fault" && out.M_Text.find("not available") != std::string::npos) {
          M_bPollMissing = true;
        } else {
          EXPECT_FALSE(out.M_bError) << out.M_Status << ": " << out.M_Text;
          EXPECT_EQ(out.M_Text, "No file found");
        }
        break;
      }
      packages.push_back(out);
    }
    return packages;
  }

  testing::TempDir M_Dir{"pollmode"};
  std::string M_Base, M_Out;
  std::map<std::string, std::string> M_Expected;  // received name -> bytes
  MasterSession M_Session;
  bool M_bPollMissing = false;
};

std::vector<std::string> Names(const PollOutcome& o) {
  std::vector<std::string> names;
  for (const PolledPart& p : o.M_Parts) names.push_back(p.M_Name);
  return names;
}

TEST_F(PollModeTest, DrainsPlainTriggerAndDescriptorPackagesByteIdentical) {
  StartPlugin();
  PollClient client(&M_Session, M_Out);
  const std::vector<std::string> requests = RequestTexts();
  std::vector<PollOutcome> plain = Drain(client, requests[0]);
  if (M_bPollMissing) GTEST_SKIP() << "\"poll\" is not available in this build of the plug-in";
  std::vector<PollOutcome> trigger = Drain(client, requests[1]);
  std::vector<PollOutcome> descriptor = Drain(client, requests[2]);

  // One package per plain file; the trigger's companions together; the descriptor first,
  // then its linked files in document order.
  ASSERT_EQ(plain.size(), 2u);
  ASSERT_EQ(trigger.size(), 1u);
  ASSERT_EQ(descriptor.size(), 1u);
  EXPECT_THAT(Names(trigger[0]), ::testing::UnorderedElementsAre("order1.csv", "order1.pdf"));
  EXPECT_THAT(Names(descriptor[0]), ::testing::ElementsAre("batch.xml", "p1.txt", "p2.tif"));
  for (const auto* group : {&plain, &trigger, &descriptor}) {
    for (const PollOutcome& o : *group) {
      EXPECT_TRUE(o.M_bConfirmed) << DescribePackage(o, 0, "");
      EXPECT_FALSE(o.M_bError) << DescribePackage(o, 0, "");
      EXPECT_FALSE(o.M_Correlation.empty());
    }
  }

  // Byte-identical files under their own names, nothing else in the output folder.
  std::vector<std::string> expectedNames;
  for (const auto& [name, bytes] : M_Expected) {
    expectedNames.push_back(name);
    EXPECT_EQ(ReadFile(M_Out + "/" + name), bytes) << name;
  }
  EXPECT_EQ(Listing(M_Out), expectedNames);
  // The confirmed files are gone from the inbox, the emptied subfolder with them.
  EXPECT_THAT(Listing(M_Base), ::testing::ElementsAre("descriptor", "plain", "trigger"));
}

TEST_F(PollModeTest, APartWithAnUnusableNameIsRefusedAndTheFileStaysClaimed) {
  StartPlugin();
  const std::string bad = std::string("bad") + '\x01' + "name.txt";
  WriteFile(M_Base + "/odd/" + bad, "x");
  if (!fs::exists(M_Base + "/odd/" + bad)) {
    GTEST_SKIP() << "the file system takes no control characters in names";
  }
  PollClient client(&M_Session, M_Out);
  Ref<XmlParser> request;
  ASSERT_THAT(RequestFromText(PollRequestText(M_Base + "/odd", "*"), ".", &request, nullptr),
              IsOk());
  PollOutcome out;
  ASSERT_THAT(client.Poll(*request, &out), IsOk());
  if (out.M_Status == "Fault") GTEST_SKIP() << "\"poll\" is not available: " << out.M_Text;
  ASSERT_TRUE(out.M_bClaimed);
  ASSERT_EQ(out.M_Parts.size(), 1u);
  EXPECT_THAT(out.M_Parts[0].M_Error, ::testing::HasSubstr("refused file name"));
  EXPECT_TRUE(out.M_bError);
  EXPECT_FALSE(out.M_bConfirmed);
  // Confirmed with "ERROR": the file keeps its lock name, nothing (not even a temporary
  // file) is left in the output folder.
  std::vector<std::string> left = Listing(M_Base + "/odd");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_THAT(left[0], ::testing::EndsWith(".locked"));
  EXPECT_TRUE(Listing(M_Out).empty());
}

TEST(PollModeNamesTest, ReceivedNamesLoseTheirFoldersAndUnsafeOnesAreRefused) {
  EXPECT_EQ(SafePartName("report.pdf"), "report.pdf");
  EXPECT_EQ(SafePartName("a/b/c.txt"), "c.txt");
  EXPECT_EQ(SafePartName("..\\..\\windows\\x.ini"), "x.ini");
  EXPECT_EQ(SafePartName("/etc/passwd"), "passwd");
  EXPECT_EQ(SafePartName("..name"), "..name");
  for (const char* bad : {"", ".", "..", "a/..", "a\\..", "dir/", "x\nz"}) {
    EXPECT_EQ(SafePartName(bad), "") << bad;
  }
}

// The xelmaster program in poll mode, as run.sh and a user run it.
class PollProgramTest : public PollModeTest {
 protected:
  // Starts xelmaster with args; standard output and error go to files of the test folder.
  // It does not get the console's Ctrl-C, so that Interrupt can reach it alone.
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
  // The exit code, or -1 when the program did not end within waitMs (it is killed then).
  static int WaitExit(osal::Process& master, uint32_t waitMs) {
    if (!master.Wait(waitMs).ok()) {
      (void)master.Kill();
      (void)master.Wait(osal::kInfinite);
      return -1;
    }
    return master.exit().killed ? -2 : master.exit().code;
  }
  std::vector<std::string> WriteRequests() {
    fs::create_directories(M_Dir.Join("cfg"));
    std::ofstream(M_Dir.Join("cfg/config.xml")) << Config();
    std::vector<std::string> args = {"--config", M_Dir.Join("cfg/config.xml"), "--output", M_Out};
    int i = 0;
    for (const std::string& text : RequestTexts()) {
      const std::string file = M_Dir.Join("cfg/poll" + std::to_string(++i) + ".xml");
      std::ofstream(file) << text;
      args.push_back("--poll-request");
      args.push_back(file);
    }
    return args;
  }
  std::string Out() { return ReadFile(M_Dir.Join("stdout.txt")); }
  std::string Err() { return ReadFile(M_Dir.Join("stderr.txt")); }
};

TEST_F(PollProgramTest, CountStopsEarlyAndUntilEmptyDrainsTheRest) {
  std::vector<std::string> args = WriteRequests();
  args.insert(args.end(), {"--count", "2"});
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, args));
  ASSERT_EQ(WaitExit(master, 20000), 0) << Err();
  if (Err().find("not available") != std::string::npos) GTEST_SKIP() << Err();
  // One line per package, in the order of the requests: a plain file, then the trigger.
  std::string out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_THAT(out, ::testing::HasSubstr("#2 " + M_Base + "/trigger: order1."));
  EXPECT_EQ(Listing(M_Out).size(), 3u);

  args = WriteRequests();
  args.push_back("--until-empty");
  ASSERT_TRUE(Spawn(&master, args));
  ASSERT_EQ(WaitExit(master, 20000), 0) << Err();
  out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;  // the rest: 2 packages
  EXPECT_THAT(out, ::testing::HasSubstr("batch.xml ("));
  EXPECT_EQ(Listing(M_Out).size(), M_Expected.size());
  EXPECT_THAT(Listing(M_Base), ::testing::ElementsAre("descriptor", "plain", "trigger"));
}

TEST_F(PollProgramTest, InterruptEndsThePluginCleanly) {
  std::vector<std::string> args = WriteRequests();
  args.insert(args.end(), {"--interval", "100"});
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, args));
  // Wait until the inbox is drained (the program polls on), then interrupt.
  for (int i = 0; i < 1000 && Listing(M_Out).size() < M_Expected.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (Err().find("not available") != std::string::npos) GTEST_SKIP() << Err();
  EXPECT_EQ(Listing(M_Out).size(), M_Expected.size());
  osal::Status s = master.Interrupt();
  if (s.Is(osal::ErrorKind::kNotSupported)) {
    GTEST_SKIP() << "the system cannot deliver the interrupt here: " << s.Text();
  }
  ASSERT_TRUE(s.ok()) << s.Text();
  EXPECT_EQ(WaitExit(master, 10000), 0) << Err();
  EXPECT_THAT(Err(), ::testing::HasSubstr("4 package(s)"));
  EXPECT_THAT(Err(), ::testing::HasSubstr("(interrupted)"));
  EXPECT_THAT(Err(), ::testing::Not(::testing::HasSubstr("process died")));
}

}  // namespace
}  // namespace velmora::tools
