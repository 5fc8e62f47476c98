// Tests of the poll in-process on real folders: ImportDriver and the "poll" server function.
#include "ImportDriver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "ClaimTestSupport.h"
#include "FileComponent.h"
#include "PollFunction.h"
#include "QueueConnection.h"
#include "osal/File.h"
#include "xel/Application.h"
#include "xel/Component.h"
#include "xel/Configuration.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::ListNames;
using testing::ScratchFolder;
using testing::TraceCapture;
using testing::WriteFile;
using util::Ref;
using velmora::testing::QueueConnection;
using xel::XmlParser;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const std::regex kRunningLock(R"((.+)\.\d{14}\.[0-9A-Za-z_-]{5}\+03600\.locked)");

// The poll request with folder parameters (inside "specific/folder") and "general" elements.
Ref<XmlParser> PollRequest(const std::string& folderXml,
                           const std::string& generalXml = "<MaxRequested>1</MaxRequested>") {
  return velmora::testing::Request("<poll><general>" + generalXml + "</general><specific><folder>" +
                                   folderXml + "</folder></specific></poll>");
}

std::string Folder(const std::string& watched, const std::string& mask = "*",
                   const std::string& more = "") {
  return "<WatchedPath>" + watched + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" +
         more;
}

// The text at path below the answer's body element.
std::string At(XmlParser& doc, const char* path) {
  velmora::testing::Kind(doc);
  return velmora::testing::At(doc, path);
}

// The file name (with bContent the bytes) of the answer's part at index (0-based), or
// "<missing>".
std::string Part(XmlParser& answer, int index, bool bContent = false) {
  const std::string part = "message/body/message/content/part[" + std::to_string(index + 1) + "]/";
  if (!bContent) return At(answer, (part + "mime-header/content-disposition/@filename").c_str());
  velmora::testing::Kind(answer);
  XmlParser cursor(answer);
  util::Result r = cursor.MoveToPath((part + "content/binary").c_str());
  std::string bytes;
  char buffer[4096];
  while (r.IsSuccess()) {
    int got = 0;
    r = cursor.ReadBinary(buffer, sizeof(buffer), &got);
    if (r.IsError()) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (r.Category() != util::ErrMoreData) return bytes;
  }
  return bytes.empty() ? "<missing>" : bytes;
}

// One poll with its own driver; the answer stays readable after the driver is gone.
struct PollRun {
  explicit PollRun(const std::string& base = "", const std::string& more = "")
      : config(xel::Configuration::FromDocument(velmora::testing::XmlDoc(
            "<Folder><FolderInputBaseDirectory>" + base +
            "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes>" + more +
            "</Folder>"))),
        driver(nullptr) {
    EXPECT_TRUE(driver.Init(config.get()));
  }
  bool Poll(const Ref<XmlParser>& request) { return driver.Poll(request.get(), &answer); }
  bool Confirm(const std::string& status) {
    Ref<XmlParser> confirmation = velmora::testing::Request("<confirm><general><Status>" + status +
                                                            "</Status></general></confirm>");
    return driver.Confirm(confirmation.get(), &confirmAnswer);
  }
  Ref<xel::Configuration> config;
  ImportDriver driver;
  XmlParser answer;
  XmlParser confirmAnswer;
};

std::string LockedName(const std::string& folder, const std::string& plain) {
  for (const std::string& name : ListNames(folder)) {
    std::smatch m;
    if (std::regex_match(name, m, kRunningLock) && m[1] == plain) return name;
  }
  return "<none>";
}

// Each poll offers one file, the oldest, under a claim that only a confirmation starting with
// "o" (any case) completes; a confirmation without a claim is not found.
TEST(ImportDriverTest, OldestFileIsClaimedAndOnlyAnOkConfirmationEndsTheClaim) {
  const struct {
    const char* status;
    bool bGone;
  } kCases[] = {{"OK", true}, {"ok-but-lowercase", true}, {"ERROR", false}, {"", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.status);
    ScratchFolder dir;
    ASSERT_TRUE(WriteFile(dir / "old.pdf", "first bytes", 100));
    ASSERT_TRUE(WriteFile(dir / "new.pdf", "second", 10));
    PollRun run;
    EXPECT_TRUE(run.Poll(PollRequest(Folder(dir.path()), "<MaxRequested>5</MaxRequested>")));
    EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateClaimed);
    const std::string lock = LockedName(dir.path(), "old.pdf");
    EXPECT_THAT(ListNames(dir.path()), ElementsAre("new.pdf", lock));
    EXPECT_EQ(At(run.answer, "status/Status"), "OK");
    EXPECT_EQ(Part(run.answer, 0) + Part(run.answer, 1), "old.pdf<missing>");
    EXPECT_EQ(Part(run.answer, 0, true), "first bytes");
    EXPECT_EQ(At(run.answer, "message/internal/Correlation") + "+03600.locked", lock);
    EXPECT_EQ(At(run.answer, "message/specific/import/FileList/FilePath"),
              dir.path() + osal::PathSeparator() + "old.pdf");

    EXPECT_TRUE(run.Confirm(c.status));
    EXPECT_EQ(At(run.confirmAnswer, "status/Processed"), "YES");
    EXPECT_EQ(ListNames(dir.path()), (c.bGone ? Strings{"new.pdf"} : Strings{"new.pdf", lock}));
  }
  ScratchFolder empty;
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(Folder(empty.path()))));
  EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateAnswered);
  EXPECT_FALSE(run.Confirm("OK"));
  EXPECT_EQ(At(run.confirmAnswer, "status/Status"), "NOTFOUND");
}

TEST(ImportDriverTest, ExpiredClaimIsTakenOverAndRunningClaimIsNot) {
  ScratchFolder dir;
  // Claimed long ago by a poll that never confirmed: its lock has run out.
  const std::string expired = "a.pdf.20000101000000.Qk7_x+03600.locked";
  ASSERT_TRUE(WriteFile(dir / expired, "late"));
  TraceCapture trace("File_ImportDriver");
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path(), "*.pdf"))));
  EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateClaimed);
  EXPECT_EQ(trace.Count("Searching for files that are not locked"), 1);
  EXPECT_EQ(trace.Count("Searching for locked files that timed out"), 1);
  const std::string renewed = LockedName(dir.path(), "a.pdf");
  EXPECT_NE(renewed, expired);
  EXPECT_THAT(ListNames(dir.path()), ElementsAre(renewed));
  EXPECT_EQ(Part(run.answer, 0) + Part(run.answer, 0, true), "a.pdflate");

  // The next poll finds only a running claim: nothing.
  PollRun second;
  EXPECT_TRUE(second.Poll(PollRequest(Folder(dir.path(), "*.pdf"))));
  EXPECT_EQ(second.driver.GetPollState(), ImportDriver::kStateAnswered);
  EXPECT_EQ(At(second.answer, "status/Greeting"), "No file found");
  EXPECT_FALSE(second.answer.ExistsPath("/Envelope/Body/poll-res/message"));
  ASSERT_TRUE(run.Confirm("OK"));
  EXPECT_TRUE(ListNames(dir.path()).empty());
}

TEST(ImportDriverTest, MissingOrDisallowedParametersAnswerAnError) {
  ScratchFolder base;
  ScratchFolder outside;
  ASSERT_TRUE(WriteFile(outside / "a.pdf"));
  const std::string up = base.path() + "/../" + fs::path(outside.path()).filename().string();
  const std::string notAllowed =
      " is outside of configured FolderInputBaseDirectory. This is not allowed.";
  const struct {
    std::string folderXml;
    std::string error;
  } kCases[] = {
      {"<FileSearchMask>*</FileSearchMask>", "Missing parameter WatchedPath in poll request"},
      {"<WatchedPath>" + base.path() + "</WatchedPath>",
       "Missing parameter FileSearchMask in poll request"},
      {Folder(outside.path()), "Watched folder " + outside.path() + notAllowed},
      {Folder(up), "Watched folder " + up + notAllowed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.error);
    TraceCapture trace("File_ImportDriver");
    PollRun run(base.path());
    EXPECT_FALSE(run.Poll(PollRequest(c.folderXml)));
    EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateAnswered);
    EXPECT_EQ(At(run.answer, "status/Status"), "ERROR");
    EXPECT_EQ(At(run.answer, "status/ErrorString"), c.error);
    EXPECT_EQ(trace.Count(c.error), 1);
  }
  EXPECT_THAT(ListNames(outside.path()), ElementsAre("a.pdf"));

  // A number that is not one is refused rather than guessed.
  PollRun bad;
  EXPECT_FALSE(bad.Poll(PollRequest(Folder(base.path()), "<MaxRequested>lots</MaxRequested>")));
  EXPECT_THAT(At(bad.answer, "status/ErrorString"),
              HasSubstr("Invalid parameter MaxRequested in poll request"));

  PollRun noArgs;
  EXPECT_FALSE(noArgs.driver.Poll(nullptr, &noArgs.answer));
  EXPECT_FALSE(noArgs.driver.Confirm(nullptr, &noArgs.confirmAnswer));
  EXPECT_EQ(noArgs.driver.GetPollState(), ImportDriver::kStateNone);
  EXPECT_FALSE(ImportDriver(nullptr).Init(nullptr));
}

// A subfolder whose name holds "\" (an ordinary character on POSIX) cannot be part of the
// search folder's path: it is skipped with a line naming it, the others are searched.
TEST(ImportDriverTest, SubfoldersThatAPathCannotCarryAreSkipped) {
  if (osal::PathSeparator() == '\\') GTEST_SKIP() << "no name on this platform holds \"\\\"";
  ScratchFolder dir;
  fs::create_directory(dir / "x\\y");
  ASSERT_TRUE(WriteFile(dir / "x\\y/first.pdf", "f", 300));
  fs::create_directories(dir / "x/y");  // where the split name would lead
  ASSERT_TRUE(WriteFile(dir / "x/y/wrong.pdf", "w", 300));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  fs::create_directory(dir / "z");
  ASSERT_TRUE(WriteFile(dir / "z/z.pdf", "z", 100));
  TraceCapture trace("File_ImportDriver");
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(
      Folder(dir.path(), "*.pdf", "<SubfolderProcessing>SUBFOLDERS</SubfolderProcessing>"))));
  EXPECT_EQ(Part(run.answer, 0), "z.pdf");
  EXPECT_EQ(trace.Count("Ignoring subfolder x\\y: its name cannot be part of a folder path on "
                        "this platform"),
            1);
}

TEST(ImportDriverTest, DetectionModeValuesAreClassifiedByTheirCharacters) {
  const struct {
    const char* mode;
    int trigger;
    bool ageApplies;  // SecondsToAllow 30 read (time mode)
  } kCases[] = {{"TIME", 0, true},
                {"TRIGGER_FILE", 1, false},
                {"tRiGGER_FOLDER", 2, false},
                {"TRIGGER_SUBFOLDER", 3, false},
                {"TRIGGER_XX", 0, false},
                {"TRIGGER", 0, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mode);
    ScratchFolder dir;
    ASSERT_TRUE(WriteFile(dir / "young.pdf", "y", 5));
    PollRun run;
    ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path(), "*.pdf",
                                            std::string("<FileDetectionMode><Mode>") + c.mode +
                                                "</Mode><SecondsToAllow>30</SecondsToAllow>"
                                                "</FileDetectionMode>"))));
    EXPECT_EQ(run.driver.GetPackage().GetTriggerMode(), c.trigger);
    // A five-second-old file is too young only when the minimum age was applied.
    EXPECT_EQ(run.driver.GetPollState() == ImportDriver::kStateAnswered, c.ageApplies);
  }
}

// The answer leaves while it is built unless the configuration asks for it whole; a link that
// fails after blocks have left ends the poll without a confirmation and leaves the claim.
TEST(ImportDriverTest, AnswerLeavesWhileBuiltUnlessConfiguredWhole) {
  const struct {
    const char* config;
    int sendsBeforeFailure;
    int32_t state;
    bool bSentDuringPoll;
  } kCases[] = {
      {"", -1, ImportDriver::kStateClaimed, true},
      {"<StreamPollAnswer>false</StreamPollAnswer>", -1, ImportDriver::kStateClaimed, false},
      {"", 2, ImportDriver::kStateAborted, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.config + std::to_string(c.sendsBeforeFailure));
    ScratchFolder dir;
    ASSERT_TRUE(WriteFile(dir / "big.bin", std::string(100000, 'b'), 100));
    auto a = Ref<QueueConnection>::Adopt(new QueueConnection);
    auto b = Ref<QueueConnection>::Adopt(new QueueConnection);
    QueueConnection::Pair(a.get(), b.get());
    a->FailSendsAfter(c.sendsBeforeFailure);
    PollRun run("", c.config);
    run.driver.SetAnswerConnection(a.get(), 1000);
    run.Poll(PollRequest(Folder(dir.path())));
    EXPECT_EQ(run.driver.GetPollState(), c.state);
    EXPECT_EQ(b->Queue().empty(), !c.bSentDuringPoll);
    EXPECT_NE(LockedName(dir.path(), "big.bin"), "<none>");
    EXPECT_EQ(run.answer.GetMessage()->TxAllToConnection(a.get(), 1000).IsSuccess(),
              c.state == ImportDriver::kStateClaimed);
  }
}

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
    ASSERT_TRUE(WriteFile(M_Base / "a.pdf"));
  }
  void TearDown() override {
    if (M_pThread.HasObject()) M_pThread->LeaveComponent();
    M_pThread = nullptr;
    (void)velmora::testing::CallApp("<stop/>");
  }

  util::Result Poll(bool bConfirm) {
    // Queued before the call: the queue connection never waits.
    Ref<XmlParser> confirm =
        velmora::testing::Request("<confirm><general><Status>OK</Status></general></confirm>");
    EXPECT_TRUE(!bConfirm || confirm->GetMessage()->TxAllToConnection(&M_Master, 1000).IsSuccess());
    try {
      return PollServerFunction(M_pThread.get(), &M_Plugin,
                                PollRequest(Folder(M_Base.path(), "*.pdf")).get());
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
    EXPECT_THAT(ListNames(M_Base.path()), ElementsAre(LockedName(M_Base.path(), "a.pdf")));
  }

  ScratchFolder M_Base;
  Ref<xel::ComponentThread> M_pThread;
  QueueConnection M_Master;
  QueueConnection M_Plugin;
};

TEST_F(PollFunctionTest, ConfirmedClaimIsCompletedAndAnswered) {
  EXPECT_TRUE(Poll(true).IsSuccess());
  EXPECT_THAT(Answers(), ElementsAre("poll-res", "confirm-res:YES"));
  EXPECT_TRUE(ListNames(M_Base.path()).empty());
  EXPECT_TRUE(M_pThread->M_b_conn_ptr_copied);
}

TEST_F(PollFunctionTest, WithoutConfirmationTheClaimStaysAndNothingMoreIsSent) {
  EXPECT_TRUE(Poll(false).IsSuccess());
  EXPECT_THAT(Answers(), ElementsAre("poll-res"));
  ExpectClaimStays();
}

TEST_F(PollFunctionTest, AnAnswerThatCannotBeSentFailsTheCallAndKeepsTheClaim) {
  M_Plugin.FailSendsAfter(0);
  util::Result r = Poll(false);
  EXPECT_TRUE(r.IsError() && r.Category() == util::ErrConnLost) << r.Text();
  ExpectClaimStays();
}

}  // namespace
}  // namespace velmora::xelc
