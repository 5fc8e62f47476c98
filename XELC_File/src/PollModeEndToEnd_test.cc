// End-to-end tests of the master's poll mode: xelmaster starts the real plug-in in a host
// process of its own, which imports packages from watched folders; the master stores them and
// confirms them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
using ::testing::HasSubstr;
using util::Ref;
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

// Every file and folder below dir, relative, sorted; the master's part files, which come and
// go while it receives, are left out.
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

// The line of text that holds what, or "" when none does.
std::string LineWith(const std::string& text, const std::string& what) {
  const size_t at = text.find(what);
  if (at == std::string::npos) return "";
  const size_t begin = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

std::string PollRequestText(const std::string& folder, const std::string& mask,
                            const std::string& extra = "") {
  return "<poll><general><MaxRequested>1</MaxRequested></general><specific><folder><WatchedPath>" +
         folder + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" + extra +
         "</folder></specific></poll>";
}

// An inbox with the three kinds of packages, each kind in a folder of its own (a poll request
// has one detection mode), a poll request for each, and the xelmaster program run on them.
class PollProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(M_Out);
    Add("plain/report.bin", RandomBytes(70000, 1));  // larger than one read chunk
    Add("plain/empty.txt", "");
    // A trigger file with two companions of its base name; the trigger itself is not sent.
    Add("trigger/order1.csv", "id;amount\n1;9.50\n");
    Add("trigger/order1.pdf", RandomBytes(5000, 2));
    WriteFile(M_Base + "/trigger/order1.trg", "");
    Add("descriptor/batch.xml",
        "<?xml version=\"1.0\"?><ImportSession><Page ImportFileName=\"pages/p1.txt\"/>"
        "<Page ImportFileName=\"pages/p2.tif\"/></ImportSession>");
    Add("descriptor/pages/p1.txt", "page one\n");
    Add("descriptor/pages/p2.tif", RandomBytes(3000, 3));
    WriteFile(M_Dir.Join("config.xml"),
              "<Component><Code><XelcFile><Folder><FolderInputBaseDirectory>" + M_Base +
                  "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes></Folder>"
                  "</XelcFile></Code></Component>");
    const std::string requests[] = {
        PollRequestText(M_Base + "/plain", "*"),
        PollRequestText(M_Base + "/trigger", "*.trg",
                        "<FileDetectionMode><Mode>TRIGGER_FILE</Mode></FileDetectionMode>"),
        PollRequestText(M_Base + "/descriptor", "*.xml",
                        "<FileImportMode><Mode>4</Mode></FileImportMode>")};
    for (int i = 0; i < 3; ++i) {
      WriteFile(M_Dir.Join("poll" + std::to_string(i) + ".xml"), requests[i]);
      M_Requests.insert(M_Requests.end(),
                        {"--poll-request", M_Dir.Join("poll" + std::to_string(i) + ".xml")});
    }
  }
  void Add(const std::string& rel, const std::string& bytes) {
    WriteFile(M_Base + "/" + rel, bytes);
    M_Expected[fs::path(rel).filename().string()] = bytes;
  }
  // Starts xelmaster on the configuration and output folder with more arguments, output and
  // errors to files, away from the console's Ctrl-C so that Interrupt reaches it alone.
  bool Spawn(osal::Process* pMaster, const std::vector<std::string>& more) {
    std::vector<std::string> args = {
        "--plugin", XEL_PLUGIN_PATH,          "--host",   XEL_HOST_PATH,
        "--config", M_Dir.Join("config.xml"), "--output", M_Out};
    args.insert(args.end(), more.begin(), more.end());
    osal::ProcessOptions o;
    o.stdout_mode = osal::ChildOutput::kFile;
    o.stdout_file = M_Dir.Join("stdout.txt");
    o.stderr_file = M_Dir.Join("stderr.txt");
    o.detach_interrupt = true;
    return pMaster->Start(XEL_MASTER_PATH, args, o).ok();
  }
  // The exit code; -1 when it did not end in time (killed then), -2 when it was killed.
  static int WaitExit(osal::Process& master, uint32_t waitMs = 20000) {
    if (!master.Wait(waitMs).ok()) {
      (void)master.Kill();
      (void)master.Wait(osal::kInfinite);
      return -1;
    }
    return master.exit().killed ? -2 : master.exit().code;
  }
  int Run(const std::vector<std::string>& more) {
    osal::Process master;
    return Spawn(&master, more) ? WaitExit(master) : -3;
  }
  std::vector<std::string> Requests(std::vector<std::string> more) {
    more.insert(more.begin(), M_Requests.begin(), M_Requests.end());
    return more;
  }
  std::string Out() { return ReadFile(M_Dir.Join("stdout.txt")); }
  std::string Err() { return ReadFile(M_Dir.Join("stderr.txt")); }

  testing::TempDir M_Dir{"pollmode"};
  const std::string M_Base = M_Dir.Join("inbox"), M_Out = M_Dir.Join("received");
  std::vector<std::string> M_Requests;            // the poll requests as arguments
  std::map<std::string, std::string> M_Expected;  // received name -> bytes
};

TEST_F(PollProgramTest, CountStopsEarlyAndUntilEmptyDeliversEveryPackageByteIdentical) {
  const std::string answers = M_Dir.Join("answers");
  ASSERT_EQ(Run(Requests({"--count", "2", "--answers", answers})), 0) << Err();
  if (Err().find("not available") != std::string::npos) GTEST_SKIP() << Err();
  // One line per package in the order of the requests: a plain file, then the trigger's two
  // companions together.
  std::string out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  const std::string trigger = LineWith(out, "#2 " + M_Base + "/trigger: order1.");
  EXPECT_THAT(trigger, HasSubstr("order1.csv ("));
  EXPECT_THAT(trigger, HasSubstr("order1.pdf ("));
  EXPECT_EQ(Listing(M_Out).size(), 3u);
  EXPECT_THAT(Listing(answers),
              ::testing::ElementsAre("001-start.xml", "002-poll-res.xml", "003-confirm-res.xml",
                                     "004-poll-res.xml", "005-confirm-res.xml"));
  EXPECT_THAT(ReadFile(answers + "/004-poll-res.xml"), HasSubstr("filename=\"order1."));
  EXPECT_THAT(ReadFile(answers + "/005-confirm-res.xml"), HasSubstr("<Processed>YES</Processed>"));

  ASSERT_EQ(Run(Requests({"--until-empty"})), 0) << Err();
  out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;  // the rest: 2 packages
  // The descriptor first, then its linked files in document order.
  const std::string descriptor = LineWith(out, "batch.xml (");
  EXPECT_LT(descriptor.find("batch.xml ("), descriptor.find("p1.txt (")) << descriptor;
  EXPECT_LT(descriptor.find("p1.txt ("), descriptor.find("p2.tif (")) << descriptor;
  EXPECT_NE(descriptor.find("p2.tif ("), std::string::npos) << descriptor;
  EXPECT_THAT(out, ::testing::Not(HasSubstr("NOT confirmed")));
  // Byte-identical files under their own names, nothing else; the confirmed ones are gone
  // from the inbox, the emptied subfolder with them.
  std::vector<std::string> names;
  for (const auto& [name, bytes] : M_Expected) {
    names.push_back(name);
    EXPECT_EQ(ReadFile(M_Out + "/" + name), bytes) << name;
  }
  EXPECT_EQ(Listing(M_Out), names);
  EXPECT_THAT(Listing(M_Base), ::testing::ElementsAre("descriptor", "plain", "trigger"));
}

TEST(PollModeNamesTest, ReceivedNamesLoseTheirFoldersAndUnsafeOnesAreRefused) {
  // "\" separates only where it is the platform's separator; on POSIX it is part of a name.
  const bool bBackslash = osal::PathSeparator() == '\\';
  const struct {
    const char* name;
    std::string safe;
  } cases[] = {
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
  for (const auto& c : cases) EXPECT_EQ(SafePartName(c.name), c.safe) << c.name;
}

// Names as POSIX allows them ("\", blanks, non-ASCII characters, ".locked" in the middle) are
// delivered once and byte-identical, with native paths (folder, "/", name) in the answers. A
// name the master cannot use is confirmed with "ERROR": its file keeps its lock name, and
// nothing, not even a temporary file, stays in the output folder.
TEST_F(PollProgramTest, NamesAsTheFileSystemAllowsAreDeliveredOrRefused) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name here holds \"\\\" or a control code";
  const std::string watched = M_Base + "/names", bad = std::string("bad") + '\x01' + "name.txt";
  const std::vector<std::string> names = {"a\\b.txt", "c d.txt", "x.pdf.locked.txt",
                                          "\xC3\xBC.txt"};
  std::multiset<std::string> expected;
  for (size_t i = 0; i < names.size(); ++i) {
    WriteFile(watched + "/" + names[i], RandomBytes(1000 + i, static_cast<unsigned>(i)));
    expected.insert(watched + "/" + names[i]);
  }
  WriteFile(watched + "/" + bad, "x");
  fs::create_directories(watched + "/a");  // where a split name would lead
  const std::string answers = M_Dir.Join("answers");
  ASSERT_EQ(Run({"--poll-folder", watched, "--until-empty", "--answers", answers}), 5)
      << Err() << Out();
  const std::string out = Out();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
  EXPECT_THAT(LineWith(out, "refused file name"), HasSubstr("NOT confirmed")) << out;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(ReadFile(M_Out + "/" + names[i]), RandomBytes(1000 + i, static_cast<unsigned>(i)))
        << names[i];
  }
  EXPECT_EQ(Listing(M_Out), names);
  const std::vector<std::string> left = Listing(watched);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0], "a");
  EXPECT_THAT(left[1], ::testing::EndsWith(".locked"));
  std::multiset<std::string> shown;
  const std::string b = "/Envelope/Body/poll-res/message/";
  for (const std::string& file : Listing(answers)) {
    if (file.find("poll-res") == std::string::npos) continue;
    Ref<XmlParser> doc = DocumentFromText(ReadFile(answers + "/" + file));
    std::string path, display;
    EXPECT_THAT(doc->ReadStringAtPath((b + "specific/import/FileList/FilePath").c_str(), &path),
                IsOk());
    EXPECT_THAT(doc->ReadStringAtPath(
                    (b + "body/message/mime-header/to/mailbox/displayname").c_str(), &display),
                IsOk());
    EXPECT_EQ(display, path);
    if (path.find("/bad") == std::string::npos) shown.insert(path);
  }
  EXPECT_EQ(shown, expected);
}

TEST_F(PollProgramTest, InterruptEndsThePluginCleanly) {
  osal::Process master;
  ASSERT_TRUE(Spawn(&master, Requests({"--interval", "100"})));
  // Interrupted once the inbox is drained, while the program polls on.
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
  EXPECT_THAT(Err(), HasSubstr("4 package(s)"));
  EXPECT_THAT(Err(), HasSubstr("(interrupted)"));
  EXPECT_THAT(Err(), ::testing::Not(HasSubstr("process died")));
}

}  // namespace
}  // namespace velmora::tools
