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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MasterSession.h"
#include "PollMode.h"
#include "ResultMatchers.h"
#include "TempDir.h"
#include "osal/File.h"
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
  EXPECT_EQ(SafePartName("/etc/passwd"), "passwd");
  EXPECT_EQ(SafePartName("..name"), "..name");
  for (const char* bad : {"", ".", "..", "a/..", "dir/", "x\nz"}) {
    EXPECT_EQ(SafePartName(bad), "") << bad;
  }
  // "\" separates only where it is the platform's separator; on POSIX it is part of a name.
  const bool bBackslashSeparates = osal::PathSeparator() == '\\';
  EXPECT_EQ(SafePartName("..\\..\\windows\\x.ini"),
            bBackslashSeparates ? "x.ini" : "..\\..\\windows\\x.ini");
  EXPECT_EQ(SafePartName("a\\.."), bBackslashSeparates ? "" : "a\\..");
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
  const std::string answers = M_Dir.Join("answers");
  args.insert(args.end(), {"--count", "2", "--answers", answers});
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, args));
  ASSERT_EQ(WaitExit(master, 20000), 0) << Err();
  if (Err().find("not available") != std::string::npos) GTEST_SKIP() << Err();
  // One line per package, in the order of the requests: a plain file, then the trigger.
  std::string out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_THAT(out, ::testing::HasSubstr("#2 " + M_Base + "/trigger: order1."));
  EXPECT_EQ(Listing(M_Out).size(), 3u);
  // The answers of the start and of both packages, numbered in order.
  EXPECT_THAT(Listing(answers),
              ::testing::ElementsAre("001-start.xml", "002-poll-res.xml", "003-confirm-res.xml",
                                     "004-poll-res.xml", "005-confirm-res.xml"));
  EXPECT_THAT(ReadFile(answers + "/004-poll-res.xml"), ::testing::HasSubstr("filename=\"order1."));
  EXPECT_THAT(ReadFile(answers + "/005-confirm-res.xml"),
              ::testing::HasSubstr("<Processed>YES</Processed>"));

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

// Folder settings from an included file, named by an absolute href and by one relative to
// the configuration file's folder, are in force when the component runs: a poll outside the
// included base directory is refused, one inside claims a file.
TEST_F(PollProgramTest, StartConfigurationTakesFolderSettingsFromIncludes) {
  const std::string folderXml =
      "<Folder><FolderInputBaseDirectory>" + M_Base + "/plain</FolderInputBaseDirectory></Folder>";
  WriteFile(M_Dir.Join("elsewhere/folder.xml"), folderXml);
  WriteFile(M_Dir.Join("cfg/inc/folder.xml"), folderXml);
  const std::string outside = M_Base + "/trigger";
  WriteFile(M_Dir.Join("cfg/outside.xml"), PollRequestText(outside, "*"));
  WriteFile(M_Dir.Join("cfg/inside.xml"), PollRequestText(M_Base + "/plain", "*"));
  for (const std::string& href :
       {M_Dir.Join("elsewhere/folder.xml"), std::string("inc/folder.xml")}) {
    WriteFile(M_Dir.Join("cfg/config.xml"),
              "<Component><Code><XelcFile xmlns:xi='http://www.w3.org/2001/XInclude'>"
              "<xi:include href='" +
                  href +
                  "'/></XelcFile></Code>"
                  "<Common><Name>included</Name></Common></Component>");
    const std::string answers = M_Dir.Join(href.front() == 'i' ? "answers-rel" : "answers-abs");
    osal::Process master;
    ASSERT_TRUE(Spawn(
        &master, {"--config", M_Dir.Join("cfg/config.xml"), "--call", M_Dir.Join("cfg/outside.xml"),
                  "--call", M_Dir.Join("cfg/inside.xml"), "--answers", answers}));
    ASSERT_EQ(WaitExit(master, 20000), 0) << href << "\n" << Err();
    EXPECT_THAT(ReadFile(answers + "/002-poll.xml"),
                ::testing::HasSubstr("Watched folder " + outside +
                                     " is outside of configured FolderInputBaseDirectory. This "
                                     "is not allowed."))
        << href;
    EXPECT_THAT(ReadFile(answers + "/003-poll.xml"), ::testing::HasSubstr("<Status>OK</Status>"));
    EXPECT_THAT(ReadFile(answers + "/003-poll.xml"), ::testing::HasSubstr("filename="));
  }
}

// An include that cannot be read fails "start": the master names the file and the step and
// ends with its exit code for a plug-in that could not be started.
TEST_F(PollProgramTest, MissingIncludeFailsTheStart) {
  const std::string missing = M_Dir.Join("cfg/missing.xml");
  WriteFile(M_Dir.Join("cfg/config.xml"),
            "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + M_Base +
                "</FolderInputBaseDirectory></Folder></XelcFile></Code><Common>"
                "<xi:include xmlns:xi='http://www.w3.org/2001/XInclude' href='missing.xml'/>"
                "</Common></Component>");
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, {"--config", M_Dir.Join("cfg/config.xml"), "--poll-folder",
                              M_Base + "/plain", "--output", M_Out, "--until-empty"}));
  EXPECT_EQ(WaitExit(master, 20000), 2) << Err();
  EXPECT_THAT(Err(), ::testing::HasSubstr("\"start\" failed"));
  EXPECT_THAT(Err(), ::testing::HasSubstr("Configuration-file open"));
  EXPECT_THAT(Err(), ::testing::HasSubstr("missing.xml"));
  EXPECT_TRUE(Listing(M_Out).empty());
  EXPECT_EQ(Listing(M_Base + "/plain").size(), 2u);  // nothing was claimed
}

// On POSIX a name may hold "\", blanks, non-ASCII characters and ".locked" in its middle:
// every such file is delivered once and byte-identical, and the answers carry native paths
// (the connector joins folder and name with "/").
TEST_F(PollProgramTest, FilesNamedAsLinuxAllowsAreDeliveredWholeWithNativePaths) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  const std::string watched = M_Base + "/names";
  std::map<std::string, std::string> files;
  unsigned seed = 10;
  for (const char* name : {"a\\b.txt", "c d.txt", "\xC3\xBC.txt", "x.pdf.locked.txt"}) {
    files[name] = RandomBytes(1000 + seed, seed);
    ++seed;
    WriteFile(watched + "/" + name, files[name]);
  }
  fs::create_directories(watched + "/a");  // where a split name would lead
  const std::string answers = M_Dir.Join("answers");
  std::vector<std::string> args = WriteRequests();
  args.resize(2);  // the configuration only
  args.insert(args.end(),
              {"--poll-folder", watched, "--output", M_Out, "--until-empty", "--answers", answers});
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, args));
  ASSERT_EQ(WaitExit(master, 20000), 0) << Err() << Out();
  const std::string out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;

  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) {
    names.push_back(name);
    EXPECT_EQ(ReadFile(M_Out + "/" + name), bytes) << name;
  }
  EXPECT_EQ(Listing(M_Out), names);
  EXPECT_EQ(Listing(watched), std::vector<std::string>{"a"});

  // Each package's answer names its file by folder, "/", name.
  std::multiset<std::string> shown;
  for (const std::string& file : Listing(answers)) {
    if (file.find("poll-res") == std::string::npos) continue;
    Ref<XmlParser> doc = DocumentFromText(ReadFile(answers + "/" + file));
    std::string path, display;
    const char* b = "/Envelope/Body/poll-res/message/";
    EXPECT_THAT(doc->ReadStringAtPath(
                    (std::string(b) + "specific/import/FileList/FilePath").c_str(), &path),
                IsOk());
    EXPECT_THAT(
        doc->ReadStringAtPath(
            (std::string(b) + "body/message/mime-header/to/mailbox/displayname").c_str(), &display),
        IsOk());
    EXPECT_EQ(display, path);
    shown.insert(path);
  }
  std::multiset<std::string> expected;
  for (const std::string& name : names) expected.insert(watched + "/" + name);
  EXPECT_EQ(shown, expected);
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
