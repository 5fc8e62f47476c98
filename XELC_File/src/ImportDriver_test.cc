// Tests of ImportDriver on real folders: parameters, status checks, claims, confirmations.
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
#include "QueueConnection.h"
#include "osal/File.h"
#include "osal/Security.h"
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
using xel::XmlParser;
namespace fs = std::filesystem;

const std::regex kRunningLock(R"((.+)\.\d{14}\.[0-9A-Za-z_-]{5}\+03600\.locked)");

// The poll request with the given folder parameters (inside "specific/folder") and
// "general" elements.
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

Ref<XmlParser> Confirmation(const std::string& status) {
  return velmora::testing::Request("<confirm><general><Status>" + status +
                                   "</Status></general></confirm>");
}

Ref<xel::Configuration> Config(const std::string& base, const std::string& more = "") {
  return xel::Configuration::FromDocument(velmora::testing::XmlDoc(
      "<Folder><FolderInputBaseDirectory>" + base +
      "</FolderInputBaseDirectory><StructuredTypes>.xml</StructuredTypes>" + more + "</Folder>"));
}

// The answer's body element name; leaves the cursor on it for At().
std::string Kind(XmlParser& doc) { return velmora::testing::Kind(doc); }
std::string At(XmlParser& doc, const char* path) {
  Kind(doc);
  return velmora::testing::At(doc, path);
}

// The bytes of the answer's part at index (0-based), or "<missing>".
std::string PartContent(XmlParser& answer, int index) {
  Kind(answer);
  XmlParser cursor(answer);
  std::string path =
      "message/body/message/content/part[" + std::to_string(index + 1) + "]/content/binary";
  if (!cursor.MoveToPath(path.c_str()).IsSuccess()) return "<missing>";
  std::string bytes;
  char buffer[4096];
  for (;;) {
    int got = 0;
    util::Result r = cursor.ReadBinary(buffer, sizeof(buffer), &got);
    if (r.IsError()) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (r.Category() != util::ErrMoreData) break;
  }
  return bytes;
}

std::string PartName(XmlParser& answer, int index) {
  std::string path = "message/body/message/content/part[" + std::to_string(index + 1) +
                     "]/mime-header/content-disposition/@filename";
  return At(answer, path.c_str());
}

// One poll with its own driver; the answer stays readable after the driver is gone.
struct PollRun {
  explicit PollRun(const std::string& base = "", const std::string& more = "") : driver(nullptr) {
    config = Config(base, more);
    EXPECT_TRUE(driver.Init(config.get()));
  }
  bool Poll(const Ref<XmlParser>& request) { return driver.Poll(request.get(), &answer); }
  bool Confirm(const std::string& status) {
    Ref<XmlParser> confirmation = Confirmation(status);
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

TEST(ImportDriverTest, PlainFileIsClaimedOfferedAndGoneAfterOk) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "old.pdf", "first bytes", 100));
  ASSERT_TRUE(WriteFile(dir / "new.pdf", "second", 10));

  // MaxRequested 5: still exactly one file per poll, the oldest.
  PollRun run;
  EXPECT_TRUE(run.Poll(PollRequest(Folder(dir.path()), "<MaxRequested>5</MaxRequested>")));
  EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateClaimed);
  const std::string lock = LockedName(dir.path(), "old.pdf");
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("new.pdf", lock));

  ASSERT_EQ(Kind(run.answer), "poll-res");
  EXPECT_EQ(At(run.answer, "status/Status"), "OK");
  EXPECT_EQ(PartName(run.answer, 0), "old.pdf");
  EXPECT_EQ(PartContent(run.answer, 0), "first bytes");
  EXPECT_EQ(PartName(run.answer, 1), "<missing>");
  // The correlation names the plain file and its claim.
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(lock, m, std::regex(R"(old\.pdf\.(\d{14})\.(.{5})\+03600\.locked)")));
  EXPECT_EQ(At(run.answer, "message/internal/Correlation"),
            "old.pdf." + m[1].str() + "." + m[2].str());
  EXPECT_EQ(At(run.answer, "message/specific/import/FileList/FilePath"),
            dir.path() + osal::PathSeparator() + "old.pdf");

  EXPECT_TRUE(run.Confirm("OK"));
  ASSERT_EQ(Kind(run.confirmAnswer), "confirm-res");
  EXPECT_EQ(At(run.confirmAnswer, "status/Processed"), "YES");
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("new.pdf"));
}

TEST(ImportDriverTest, ConfirmationOtherThanOkLeavesTheClaimAndStillAnswersProcessed) {
  for (const char* status : {"ERROR", "", "failed", "ok-but-lowercase"}) {
    ScratchFolder dir;
    ASSERT_TRUE(WriteFile(dir / "a.pdf"));
    PollRun run;
    ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path()))));
    const std::string lock = LockedName(dir.path(), "a.pdf");
    bool ok = run.Confirm(status);
    EXPECT_TRUE(ok) << status;
    EXPECT_EQ(At(run.confirmAnswer, "status/Processed"), "YES") << status;
    if (status[0] == 'o') {
      EXPECT_TRUE(ListNames(dir.path()).empty()) << status;  // "o..." completes, any case
    } else {
      EXPECT_THAT(ListNames(dir.path()), ElementsAre(lock)) << status;
    }
  }
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
  EXPECT_NE(renewed, "<none>");
  EXPECT_THAT(ListNames(dir.path()), ElementsAre(renewed));
  EXPECT_EQ(PartName(run.answer, 0), "a.pdf");
  EXPECT_EQ(PartContent(run.answer, 0), "late");

  // The next poll finds only a running claim: nothing.
  PollRun second;
  EXPECT_TRUE(second.Poll(PollRequest(Folder(dir.path(), "*.pdf"))));
  EXPECT_EQ(second.driver.GetPollState(), ImportDriver::kStateAnswered);
  EXPECT_EQ(At(second.answer, "status/Status"), "OK");
  EXPECT_EQ(At(second.answer, "status/Greeting"), "No file found");
  EXPECT_FALSE(second.answer.ExistsPath("/Envelope/Body/poll-res/message"));

  ASSERT_TRUE(run.Confirm("OK"));
  EXPECT_TRUE(ListNames(dir.path()).empty());
}

TEST(ImportDriverTest, StatusCheckClaimsNothing) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "a.pdf"));
  // Intensity 1 also reads the folder's rights, which not every platform layer provides.
  uint32_t mask = 0;
  const bool bRightsReadable =
      !osal::GetEffectiveRights(dir.path(), osal::kTrusteeCurrentUser, &mask)
           .Is(osal::ErrorKind::kNotSupported);
  std::vector<const char*> intensities = {"0"};
  if (bRightsReadable) intensities.push_back("1");
  for (const char* intensity : intensities) {
    PollRun run;
    EXPECT_TRUE(
        run.Poll(PollRequest(Folder(dir.path()), std::string("<MaxRequested>0</MaxRequested>"
                                                             "<StatusCheckIntensity>") +
                                                     intensity + "</StatusCheckIntensity>")));
    EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateAnswered);
    EXPECT_EQ(At(run.answer, "status/Status"), "OK") << At(run.answer, "status/ErrorString");
    EXPECT_EQ(At(run.answer, "status/Greeting"),
              "Watched folder " + dir.path() + " found. Contains files to import.");
    // Neither the probe nor the access test leaves anything behind.
    EXPECT_THAT(ListNames(dir.path()), ElementsAre("a.pdf")) << intensity;
    EXPECT_FALSE(run.driver.GetPackage().IsFoundFileValid());
  }

  ScratchFolder empty;
  PollRun none;
  EXPECT_TRUE(none.Poll(PollRequest(Folder(empty.path()), "<MaxRequested>0</MaxRequested>")));
  EXPECT_EQ(At(none.answer, "status/Greeting"),
            "Watched folder " + empty.path() + " found. No files to import.");

  // A folder that cannot be listed fails the check, which is not a poll error.
  PollRun missing;
  const std::string gone = dir / "gone";
  EXPECT_TRUE(missing.Poll(PollRequest(Folder(gone), "<MaxRequested>0</MaxRequested>")));
  EXPECT_EQ(missing.driver.GetPollState(), ImportDriver::kStateAnswered);
  EXPECT_EQ(At(missing.answer, "status/Status"), "ERROR");
  EXPECT_EQ(At(missing.answer, "status/ErrorString"),
            "Watched folder " + gone + " failed to list contents");
  if (!bRightsReadable) {
    GTEST_SKIP() << "intensity 1 not checked: the folder's effective rights cannot be read "
                    "here (osal::GetEffectiveRights answers kNotSupported)";
  }
}

TEST(ImportDriverTest, MissingOrDisallowedParametersAnswerAnError) {
  ScratchFolder base;
  ScratchFolder outside;
  ASSERT_TRUE(WriteFile(outside / "a.pdf"));
  struct Case {
    std::string folderXml;
    std::string error;
  } cases[] = {
      {"<FileSearchMask>*</FileSearchMask>", "Missing parameter WatchedPath in poll request"},
      {"<WatchedPath>" + base.path() + "</WatchedPath>",
       "Missing parameter FileSearchMask in poll request"},
      {Folder(outside.path()), "Watched folder " + outside.path() +
                                   " is outside of configured FolderInputBaseDirectory. This "
                                   "is not allowed."},
      {Folder(base.path() + "/../" + fs::path(outside.path()).filename().string()),
       "Watched folder " + base.path() + "/../" + fs::path(outside.path()).filename().string() +
           " is outside of configured FolderInputBaseDirectory. This is not allowed."},
  };
  for (const Case& c : cases) {
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

TEST(ImportDriverTest, SubfolderModesChooseWhereToSearch) {
  // watched/w.pdf (newest), watched/old/o.pdf in the subfolder created first,
  // watched/young/y.pdf, and watched/old/deeper/d.pdf on the second level.
  auto make = [](ScratchFolder& dir, bool withWatchedFile) {
    fs::create_directory(dir / "old");
    fs::create_directory(dir / "old/deeper");
    ASSERT_TRUE(WriteFile(dir / "old/deeper/d.pdf", "d", 500));
    ASSERT_TRUE(WriteFile(dir / "old/o.pdf", "o", 300));
    // Creation times come from a coarse clock: keep the two folders apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fs::create_directory(dir / "young");
    ASSERT_TRUE(WriteFile(dir / "young/y.pdf", "y", 400));
    if (withWatchedFile) {
      ASSERT_TRUE(WriteFile(dir / "w.pdf", "w", 10));
    }
  };
  struct Case {
    const char* mode;
    bool withWatchedFile;
    const char* claimed;  // plain name offered, or "" for none
  } cases[] = {
      {"WATCHED", true, "w.pdf"},    {"", true, "w.pdf"},   {"whatever", false, ""},
      {"SUBFOLDERS", true, "o.pdf"}, {"s", false, "o.pdf"}, {"BOTH", true, "w.pdf"},
      {"both", false, "o.pdf"},
  };
  for (const Case& c : cases) {
    ScratchFolder dir;
    make(dir, c.withWatchedFile);
    PollRun run;
    ASSERT_TRUE(run.Poll(PollRequest(
        Folder(dir.path(), "*.pdf",
               std::string("<SubfolderProcessing>") + c.mode + "</SubfolderProcessing>"))));
    if (*c.claimed == '\0') {
      EXPECT_EQ(At(run.answer, "status/Greeting"), "No file found") << c.mode;
    } else {
      EXPECT_EQ(PartName(run.answer, 0), c.claimed) << c.mode;
    }
  }

  // The subfolders, one poll after another, and never the second level: an emptied
  // subfolder is removed on confirmation, the watched folder stays.
  ScratchFolder dir;
  make(dir, false);
  std::vector<std::string> offered;
  for (int i = 0; i < 3; ++i) {
    PollRun run;
    ASSERT_TRUE(run.Poll(PollRequest(
        Folder(dir.path(), "*.pdf", "<SubfolderProcessing>SUBFOLDERS</SubfolderProcessing>"))));
    offered.push_back(PartName(run.answer, 0));
    if (run.driver.GetPollState() == ImportDriver::kStateClaimed) {
      EXPECT_TRUE(run.Confirm("OK"));
    }
  }
  EXPECT_THAT(offered, ElementsAre("o.pdf", "y.pdf", "<missing>"));
  EXPECT_TRUE(fs::exists(dir / "old/deeper/d.pdf"));
  EXPECT_FALSE(fs::exists(dir / "young"));
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
  EXPECT_EQ(PartName(run.answer, 0), "z.pdf");
  EXPECT_EQ(trace.Count("Ignoring subfolder x\\y: its name cannot be part of a folder path on "
                        "this platform"),
            1);
}

TEST(ImportDriverTest, TriggerFileBringsItsCompanionsAndIsRenamedWhenConfirmed) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "order.pdf", "pdf", 50));
  ASSERT_TRUE(WriteFile(dir / "order.txt", "txt", 40));
  ASSERT_TRUE(WriteFile(dir / "other.pdf", "not mine", 45));
  ASSERT_TRUE(WriteFile(dir / "order.trg", "", 30));
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path(), "*.trg",
                                          "<FileDetectionMode><Mode>TRIGGER_FILE</Mode>"
                                          "<TriggerChangeToExtension>done"
                                          "</TriggerChangeToExtension></FileDetectionMode>"))));
  ASSERT_EQ(run.driver.GetPollState(), ImportDriver::kStateClaimed);
  EXPECT_EQ(run.driver.GetPackage().GetTriggerMode(), 1);
  EXPECT_EQ(At(run.answer, "message/specific/import/TriggerFileUsed"), "1");
  std::vector<std::string> parts;
  for (int i = 0; PartName(run.answer, i) != "<missing>"; ++i) {
    parts.push_back(PartName(run.answer, i));
  }
  EXPECT_THAT(parts, ::testing::UnorderedElementsAre("order.pdf", "order.txt"));

  ASSERT_TRUE(run.Confirm("OK"));
  EXPECT_THAT(ListNames(dir.path()), ElementsAre("order.done", "other.pdf"));

  // The processed trigger file is never offered again.
  PollRun again;
  ASSERT_TRUE(again.Poll(PollRequest(Folder(dir.path(), "*",
                                            "<FileDetectionMode><Mode>TRIGGER_FILE</Mode>"
                                            "<TriggerChangeToExtension>.done"
                                            "</TriggerChangeToExtension></FileDetectionMode>"))));
  // A trigger file without companions is claimed and answered without parts.
  EXPECT_EQ(again.driver.GetPollState(), ImportDriver::kStateClaimed);
  EXPECT_NE(LockedName(dir.path(), "other.pdf"), "<none>");
  EXPECT_EQ(PartName(again.answer, 0), "<missing>");
}

TEST(ImportDriverTest, DetectionModeValuesAreClassifiedByTheirCharacters) {
  ScratchFolder dir;
  ASSERT_TRUE(WriteFile(dir / "young.pdf", "y", 5));
  struct Case {
    const char* mode;
    int trigger;
    bool ageApplies;  // SecondsToAllow 30 read (time mode)
  } cases[] = {
      {"TIME", 0, true},
      {"TRIGGER_FILE", 1, false},
      {"tRiGGER_FOLDER", 2, false},
      {"TRIGGER_SUBFOLDER", 3, false},
      {"TRIGGER_XX", 0, false},
      {"TRIGGER", 0, true},
  };
  for (const Case& c : cases) {
    PollRun run;
    ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path(), "*.pdf",
                                            std::string("<FileDetectionMode><Mode>") + c.mode +
                                                "</Mode><SecondsToAllow>30</SecondsToAllow>"
                                                "</FileDetectionMode>"))));
    EXPECT_EQ(run.driver.GetPackage().GetTriggerMode(), c.trigger) << c.mode;
    // A five-second-old file is too young only when the minimum age was applied.
    EXPECT_EQ(run.driver.GetPollState() == ImportDriver::kStateAnswered, c.ageApplies) << c.mode;
    if (run.driver.GetPollState() == ImportDriver::kStateClaimed) {
      ASSERT_TRUE(run.Confirm("ERROR"));
      fs::rename(dir / LockedName(dir.path(), "young.pdf"), dir / "young.pdf");
      fs::last_write_time(dir / "young.pdf",
                          fs::file_time_type::clock::now() - std::chrono::seconds(5));
    }
  }
}

TEST(ImportDriverTest, ConfirmationWithoutAClaimIsNotFound) {
  ScratchFolder dir;
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path()))));
  EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateAnswered);
  EXPECT_FALSE(run.Confirm("OK"));
  EXPECT_EQ(At(run.confirmAnswer, "status/Status"), "NOTFOUND");
}

// Another opener that shares nothing but deleting (so renames still work) keeps every other
// opener out where sharing modes bind all openers. Returns false where they do not.
bool HoldWithoutReadSharing(const std::string& path, osal::File* pHolder) {
  osal::OpenOptions hold;
  hold.access = osal::kAccessRead;
  hold.share = osal::kShareDelete;
  if (!WriteFile(path) || !pHolder->Open(path, hold).ok()) return false;
  osal::File reader;
  osal::OpenOptions read;
  read.share = osal::kShareRead | osal::kShareWrite;  // as the connector opens its files
  if (reader.Open(path, read).ok()) {
    (void)pHolder->Close();
    (void)osal::DeleteFile(path);
    return false;
  }
  return true;
}

TEST(ImportDriverTest, UnreadableClaimIsStillClaimedButAnsweredWithoutContent) {
  ScratchFolder dir;
  // A link to itself can be listed and renamed, never opened (whatever the rights). Where
  // there are no symbolic links, a file held by another opener serves instead.
  std::error_code ec;
  fs::create_symlink("a.pdf", dir / "a.pdf", ec);
  osal::File holder;
  if (ec && !HoldWithoutReadSharing(dir / "a.pdf", &holder)) {
    GTEST_SKIP() << "no way to make an unreadable file here: no symbolic links (" << ec.message()
                 << ") and other openers are not kept out";
  }
  PollRun run;
  ASSERT_TRUE(run.Poll(PollRequest(Folder(dir.path()))));
  // Deleting the claim on confirmation must not wait for the holder's handle.
  (void)holder.Close();
  EXPECT_EQ(run.driver.GetPollState(), ImportDriver::kStateClaimed);
  EXPECT_EQ(At(run.answer, "status/Status"), "OK");
  EXPECT_FALSE(run.answer.ExistsPath("/Envelope/Body/poll-res/message"));
  EXPECT_THAT(run.driver.GetPackage().GetCommResult().Diagnostics(),
              HasSubstr("could not be opened for reading"));
  EXPECT_NE(LockedName(dir.path(), "a.pdf"), "<none>");
  ASSERT_TRUE(run.Confirm("OK"));
  EXPECT_TRUE(ListNames(dir.path()).empty());
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
    auto a = Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
    auto b = Ref<velmora::testing::QueueConnection>::Adopt(new velmora::testing::QueueConnection);
    velmora::testing::QueueConnection::Pair(a.get(), b.get());
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

}  // namespace
}  // namespace velmora::xelc
