// Tests of the poll in-process: ImportDriver on real folders, the "poll" function, the answers.
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
#include "ConfirmResBuilder.h"
#include "FileComponent.h"
#include "PollFunction.h"
#include "PollResBuilder.h"
#include "QueueConnection.h"
#include "osal/File.h"
#include "util/ResultCode.h"
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
namespace vt = velmora::testing;
using Strings = std::vector<std::string>;

const std::regex kRunningLock(R"((.+)\.\d{14}\.[0-9A-Za-z_-]{5}\+03600\.locked)");

// The poll request with folder parameters (inside "specific/folder") and "general" elements.
Ref<XmlParser> PollRequest(const std::string& folderXml,
                           const std::string& generalXml = "<MaxRequested>1</MaxRequested>") {
  return vt::Request("<poll><general>" + generalXml + "</general><specific><folder>" + folderXml +
                     "</folder></specific></poll>");
}

std::string Folder(const std::string& watched, const std::string& mask = "*",
                   const std::string& more = "") {
  return "<WatchedPath>" + watched + "</WatchedPath><FileSearchMask>" + mask + "</FileSearchMask>" +
         more;
}

constexpr const char* kBody = "/Envelope/Body/poll-res";

// The text at path below the answer's body element.
std::string At(XmlParser& doc, const char* path) {
  vt::Kind(doc);
  return vt::At(doc, path);
}

// The whole binary content of the element at path.
std::string Binary(const XmlParser& doc, const std::string& path) {
  XmlParser at(doc);
  std::string out;
  std::vector<char> buf(30000);
  for (util::Result r = at.MoveToPath(path.c_str()); r.IsSuccess();) {
    int len = 0;
    r = at.ReadBinary(buf.data(), static_cast<int>(buf.size()), &len);
    out.append(buf.data(), static_cast<size_t>(len));
    EXPECT_TRUE(r.IsSuccess()) << path << ": " << r.Text();
    if (r.Category() != util::ErrMoreData) break;
  }
  return out;
}

std::string Part(int n) {
  return std::string(kBody) + "/message/body/message/content/part[" + std::to_string(n) + "]";
}

// The answer's parts as "file name=content;".
std::string Parts(const XmlParser& doc) {
  std::string out;
  for (int n = 1; doc.ExistsPath(Part(n).c_str()); ++n) {
    out += vt::At(doc, (Part(n) + "/mime-header/content-disposition/@filename").c_str()) + "=" +
           Binary(doc, Part(n) + "/content/binary") + ";";
  }
  return out;
}

// One poll with its own driver; the answer stays readable after the driver is gone.
struct PollRun {
  explicit PollRun(const std::string& base = "", const std::string& more = "")
      : config(xel::Configuration::FromDocument(
            vt::XmlDoc("<Folder><FolderInputBaseDirectory>" + base +
                       "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes>" + more +
                       "</Folder>"))),
        driver(nullptr) {
    EXPECT_TRUE(driver.Init(config.get()));
  }
  bool Poll(const Ref<XmlParser>& request) { return driver.Poll(request.get(), &answer); }
  bool Confirm(const std::string& status) {
    const std::string body =
        "<confirm><general><Status>" + status + "</Status></general></confirm>";
    return driver.Confirm(vt::Request(body).get(), &confirmAnswer);
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
    EXPECT_EQ(Parts(run.answer), "old.pdf=first bytes;");
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

TEST(ImportDriverTest, ExpiredClaimIsTakenOver) {
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
  EXPECT_EQ(Parts(run.answer), "a.pdf=late;");
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
  EXPECT_EQ(Parts(run.answer), "z.pdf=z;");
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
    Ref<XmlParser> started =
        vt::CallApp(vt::StartBody("XelcFile", "<Folder><FolderInputBaseDirectory>" + M_Base.path() +
                                                  "</FolderInputBaseDirectory></Folder>"));
    ASSERT_TRUE(started);
    ASSERT_EQ(vt::Kind(*started), "ok") << vt::At(*started, "faultstring");
    QueueConnection::Pair(&M_Master, &M_Plugin);
  }
  void TearDown() override {
    if (M_pThread.HasObject()) M_pThread->LeaveComponent();
    M_pThread = nullptr;
    (void)vt::CallApp("<stop/>");
  }
  // A fresh server thread: each takes over one conversation.
  void NewThread() {
    if (M_pThread.HasObject()) M_pThread->LeaveComponent();
    Ref<xel::Component> component = xel::Application::RunningComponent();
    ASSERT_TRUE(component.HasObject());
    M_pThread =
        Ref<xel::ComponentThread>::Adopt(component->GetComponentInfo()->CreateServerThread());
    ASSERT_TRUE(M_pThread->AttachToComponent(component.get(), true).IsSuccess());
    ASSERT_TRUE(M_pThread->EnterComponent());
  }
  ScratchFolder M_Base;
  Ref<xel::ComponentThread> M_pThread;
  QueueConnection M_Master;
  QueueConnection M_Plugin;
};

// Only a confirmation completes the claim; an answer that cannot be sent fails the call.
TEST_F(PollFunctionTest, AnswerAndConfirmationOverTheConversation) {
  const struct {
    bool bConfirm;
    int sends;  // before the plug-in's end fails, -1: never
    uint32_t category;
    Strings answers;  // kinds, a confirmation's with its Processed
  } kCases[] = {{false, -1, util::ErrNone, {"poll-res"}},
                {true, -1, util::ErrNone, {"poll-res", "confirm-res:YES"}},
                {false, 0, util::ErrConnLost, {}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.answers.size());
    for (const std::string& name : ListNames(M_Base.path())) fs::remove(M_Base / name);
    ASSERT_TRUE(WriteFile(M_Base / "a.pdf"));
    NewThread();
    M_Plugin.FailSendsAfter(c.sends);
    // Queued before the call: the queue connection never waits.
    Ref<XmlParser> confirm =
        vt::Request("<confirm><general><Status>OK</Status></general></confirm>");
    EXPECT_TRUE(!c.bConfirm ||
                confirm->GetMessage()->TxAllToConnection(&M_Master, 1000).IsSuccess());
    util::Result r;
    try {
      r = PollServerFunction(M_pThread.get(), &M_Plugin,
                             PollRequest(Folder(M_Base.path(), "*.pdf")).get());
    } catch (const util::Result& thrown) {
      r = thrown;
    }
    EXPECT_EQ(r.Category(), c.category) << r.Text();
    Strings kinds;
    for (Ref<XmlParser> doc = XmlParser::Create(); !doc->Receive(&M_Master, 0).IsError();
         doc = XmlParser::Create()) {
      kinds.push_back(vt::Kind(*doc));
      if (kinds.back() == "confirm-res") kinds.back() += ":" + vt::At(*doc, "status/Processed");
    }
    EXPECT_EQ(kinds, c.answers);
    EXPECT_EQ(ListNames(M_Base.path()),
              c.bConfirm ? Strings{} : Strings{LockedName(M_Base.path(), "a.pdf")});
    EXPECT_EQ(M_pThread->M_b_conn_ptr_copied, c.category == util::ErrNone);
  }
}

// The separator between a folder and a name in the answer: the platform's own.
const std::string S(1, osal::PathSeparator());

// Deterministic content that differs at every offset of a chunk.
std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// A builder that records the chunks it hands to the document and can fail one of them.
class RecordingBuilder : public PollResBuilder {
 public:
  std::vector<size_t> M_Chunks;
  int M_FailAtChunk = -1;

 protected:
  util::Result WriteContentChunk(const void* data, size_t size) override {
    M_Chunks.push_back(size);
    if (static_cast<int>(M_Chunks.size()) - 1 == M_FailAtChunk) {
      return util::Result::Fail(util::ErrResource, "message full");
    }
    return PollResBuilder::WriteContentChunk(data, size);
  }
};

// A claimed found file with companions in a temporary folder. The found file lies on disk
// under its lock name, as it does while claimed.
class PollResFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    M_Package.SetWatchedFolder(M_Dir.path());
    M_Package.SetFoundFileFullPath(M_Dir.path() + "\\report.pdf");
    M_Package.SetFoundFileValid(true);
    M_Package.SetFoundFileNewLock();
    M_Package.SetClaimed(true);
    M_Package.SetRootXmlPartNumber(4);
  }
  // Creates a file and attaches it: for an empty name the found file, under its lock name.
  void Attach(const std::string& name, const std::string& bytes) {
    FileInfo file;
    file.SetFullPath(M_Dir.path() + "\\" + name);
    if (name.empty()) file = M_Package.GetFoundFile();
    const std::string path = file.GetCurrentFileName(FileInfo::FullPath, false, false);
    ASSERT_TRUE(WriteFile(osal::NativePath(path), bytes));
    ASSERT_TRUE(M_Package.AddAttachedFile(file));
  }
  vt::TempDir M_Dir{"pollres"};
  ImportPackage M_Package;
  XmlParser M_Doc;
};

// The layout, content in chunks; a companion that cannot be opened is an empty part.
TEST_F(PollResFixture, LayoutChunksAndContentErrors) {
  const std::string big = Pattern(PollResBuilder::kReadBufferSize + 1, 1);
  Attach("", big);
  Attach("empty.txt", "");
  Attach("gone.txt", "vanishes");
  Attach("note.txt", "hello");
  ASSERT_TRUE(fs::remove(osal::NativePath(M_Dir.path() + "\\gone.txt")));
  RecordingBuilder builder;
  builder.SetMessage(&M_Doc);
  builder.SetGreeting("hi");
  ASSERT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(builder.GetContentErrorText(), "");
  // 65537 bytes go in two chunks; the empty file writes none.
  EXPECT_EQ(builder.M_Chunks, (std::vector<size_t>{65536, 1, 5}));
  const std::string b = kBody, m = b + "/message/", mh = m + "body/message/mime-header/";
  const FileInfo& found = M_Package.GetFoundFile();
  const std::string timeEnd = vt::At(M_Doc, (m + "general/TimeEnd").c_str());
  EXPECT_TRUE(std::regex_match(timeEnd, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")))
      << timeEnd;
  const std::string report = M_Dir.path() + S + "report.pdf";  // never the lock name
  for (const auto& [path, text] : std::vector<std::pair<std::string, std::string>>{
           {b + "/status/Status", "OK"},
           {b + "/status/Greeting", "hi"},
           {m + "internal/ConfirmTimeout", "1"},
           {m + "internal/ConfirmOptions", "1"},
           {m + "internal/Correlation",
            "report.pdf." + found.GetLockTimeStamp() + "." + found.GetLockRandomString()},
           {m + "general/Type", "3"},
           {m + "general/CommResult/ErrorCategory", "OK"},
           {m + "general/CommResult/ConnectionLevel", std::to_string(ImportPackage::kLevelClaimed)},
           {mh + "date", timeEnd},
           {m + "general/RootXml/PartNumber", "4"},
           {m + "specific/import/Folder", M_Dir.path()},
           {m + "specific/import/TriggerFileUsed", "0"},
           {m + "specific/import/FileList/FilePath[1]", report},
           {m + "specific/import/FileList/FilePath[4]", M_Dir.path() + S + "note.txt"},
           {mh + "to/mailbox/displayname", report},
           {mh + "to/mailbox/address", PollResBuilder::kOriginatorAddress},
           {mh + "content-type", "multipart/mixed"},
           {Part(1) + "/mime-header/content-disposition", "attachment"}}) {
    EXPECT_EQ(vt::At(M_Doc, path.c_str()), text) << path;
  }
  EXPECT_FALSE(M_Doc.ExistsPath((m + "general/ContentErrorLevel").c_str()));
  EXPECT_FALSE(M_Doc.ExistsPath((m + "body/message/TiffData").c_str()));
  EXPECT_TRUE(Parts(M_Doc) == "report.pdf=" + big + ";empty.txt=;gone.txt=;note.txt=hello;");
  // Content that cannot be encoded ends the build; the next build names every part but embeds
  // nothing and says why; the one after embeds again.
  const std::string current = found.GetCurrentFileName(FileInfo::FullPath, false, false);
  builder.M_Chunks.clear();
  builder.M_FailAtChunk = 1;
  EXPECT_EQ(builder.Build(M_Package), 2);
  EXPECT_EQ(builder.M_Chunks.size(), 2u);  // reading stops at the failed chunk
  EXPECT_EQ(builder.GetContentErrorText(),
            "Could not encode file " + current + " in poll-res message");
  EXPECT_FALSE(M_Doc.ExistsPath(Part(2).c_str()));
  builder.M_Chunks.clear();
  EXPECT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(builder.GetPreviousBuildResult(), 2);
  EXPECT_TRUE(builder.M_Chunks.empty());
  EXPECT_EQ(vt::At(M_Doc, (m + "general/ContentErrorLevel").c_str()), "2");
  EXPECT_EQ(Parts(M_Doc), "report.pdf=;empty.txt=;gone.txt=;note.txt=;");
  builder.M_FailAtChunk = -1;
  EXPECT_EQ(builder.Build(M_Package), 0);
  EXPECT_FALSE(M_Doc.ExistsPath((m + "general/ContentErrorLevel").c_str()));
  EXPECT_EQ(Binary(M_Doc, Part(4) + "/content/binary"), "hello");
  // A found file that cannot be opened ends the build.
  ASSERT_TRUE(fs::remove(osal::NativePath(current)));
  EXPECT_EQ(builder.Build(M_Package), 1);
  EXPECT_EQ(builder.GetContentErrorText(), "Could not open file " + current + " for reading");
  EXPECT_TRUE(M_Doc.ExistsPath(Part(1).c_str()));
  EXPECT_FALSE(M_Doc.ExistsPath(Part(2).c_str()));
  EXPECT_TRUE(M_Doc.ExistsPath((m + "body/TiffData").c_str()));
}

// The found file is read through the handle that attached it, and no build leaves that
// handle open (Windows would then refuse to rename or delete the file), not even a build of
// an answer that carries no content.
TEST_F(PollResFixture, NoBuildLeavesTheFoundFileOpen) {
  Attach("", "attached");
  const std::shared_ptr<osal::File>& held = M_Package.FirstAttachedHandle();
  ASSERT_TRUE(held && held->IsOpen());
  PollResBuilder failed;
  failed.SetMessage(&M_Doc);
  failed.SetStatus(1, "no luck");
  (void)failed.Build(M_Package);
  EXPECT_FALSE(held->IsOpen());
  Attach("note.txt", "hello");
  PollResBuilder builder;
  builder.SetMessage(&M_Doc);
  ASSERT_EQ(builder.Build(M_Package), 0);
  EXPECT_EQ(Parts(M_Doc), "report.pdf=attached;note.txt=hello;");
  EXPECT_FALSE(held->IsOpen());
}

// Given a connection, the answer's blocks leave while it is built: the blocks on the link are
// those of the whole answer sent afterwards (the time it names aside), and the builder holds
// only the unsent end. Content that fails once blocks have left gives the answer up there.
TEST_F(PollResFixture, StreamedAnswerIsTheWholeAnswerOnTheLink) {
  Attach("", Pattern(PollResBuilder::kReadBufferSize * 3 + 5, 3));
  Attach("note.txt", "hello");
  auto link = [&](bool bStream, int failAtChunk, int32_t result) {
    auto a = Ref<QueueConnection>::Adopt(new QueueConnection);
    auto b = Ref<QueueConnection>::Adopt(new QueueConnection);
    QueueConnection::Pair(a.get(), b.get());
    XmlParser doc;
    RecordingBuilder builder;
    builder.M_FailAtChunk = failAtChunk;
    builder.SetMessage(&doc);
    if (bStream) builder.SetStreamTarget(a.get(), 1000);
    EXPECT_EQ(builder.Build(M_Package), result);
    xel::Message& message = *doc.GetMessage();
    EXPECT_EQ(b->Queue().empty(), !bStream);
    EXPECT_LE(message.Size() - message.ReleasedUpTo(), bStream ? 8000 : 1 << 30);
    EXPECT_EQ(message.TxAllToConnection(a.get(), 1000).IsSuccess(), result == 0);
    std::string out;
    for (const xel::MessageBlock* block : b->Queue()) {
      out += std::to_string(block->M_Flags) + "/" + std::to_string(block->M_Event) + ":";
      out.append(reinterpret_cast<const char*>(block->M_Content), block->M_Length);
    }
    return std::regex_replace(out, std::regex(R"(\d{4}-\d\d-\d\dT[\d:.]{12})"), "T");
  };
  EXPECT_TRUE(link(true, -1, 0) == link(false, -1, 0));
  const std::string broken = link(true, 1, PollResBuilder::BuildStreamBroken);
  EXPECT_NE(broken.rfind("8/1:"), std::string::npos);  // ends with an abort block
}

TEST(ConfirmResBuilderTest, WritesOneLayoutPerStatus) {
  const struct {
    int32_t status;  // -1: none set
    const char* text;
    const char* expected;
  } cases[] = {{0, "ignored", "Processed=YES;"},
               {1, "File C:\\in\\a.pdf could not be deleted",
                "Processed=NO;ErrorString=File C:\\in\\a.pdf could not be deleted;"},
               {1, "", "Processed=NO;ErrorString=;"},
               {2, "why", "Status=UNKNOWN;ErrorString=why;"},
               {3, "not locked", "Status=NOTFOUND;ErrorString=not locked;"},
               {7, "odd", ""},
               {-1, "", "Status=UNKNOWN;ErrorString=;"}};
  XmlParser doc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ConfirmResBuilder builder;
    if (c.status >= 0) builder.SetResult(c.status, c.text);
    // Built twice into the same document: each build replaces the answer.
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    ASSERT_TRUE(builder.Build(&doc).IsSuccess());
    EXPECT_EQ(doc.GetDataFormat(), XmlParser::Format_Binary);
    EXPECT_EQ(vt::At(doc, "/Envelope/Header/type"), "2");
    // The children of "status" as "name=text;", in the order Processed, Status, ErrorString.
    const std::string status = "/Envelope/Body/confirm-res/status";
    EXPECT_TRUE(doc.ExistsPath(status.c_str()));
    std::string children;
    for (const char* name : {"Processed", "Status", "ErrorString"}) {
      const std::string text = vt::At(doc, (status + "/" + name).c_str());
      if (text != "<missing>") children += std::string(name) + "=" + text + ";";
    }
    EXPECT_EQ(children, c.expected);
  }
  EXPECT_EQ(ConfirmResBuilder().Build(nullptr).Category(), util::ErrLogicArgs);
}

}  // namespace
}  // namespace velmora::xelc
