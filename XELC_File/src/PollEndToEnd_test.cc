// End-to-end tests of "poll": the real plug-in in host processes of their own, driven by
// masters over the real shared-memory link - claims, confirmations, competition, a crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "PollEndToEndSupport.h"
#include "TempDir.h"

namespace velmora::tools::e2e {
namespace {

class PollEndToEndTest : public ::testing::Test {
 protected:
  std::string Watched(const std::string& name = "in") {
    const std::string path = M_Base.Join(name);
    fs::create_directories(path);
    return path;
  }
  velmora::testing::TempDir M_Base{"xelpoll"};
};

TEST_F(PollEndToEndTest, OkDeletesTheClaimedFileAndErrorLeavesItClaimed) {
  const std::string in = Watched();
  std::string binary(70000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + 3);
  WriteFile(in + "/a.pdf", binary, 100);
  WriteFile(in + "/b.pdf", "bee", 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());

  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "a.pdf");
  EXPECT_TRUE(offer.parts[0].second == binary) << "content differs";
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_THAT(ListNames(in), ::testing::ElementsAre("b.pdf"));

  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "b.pdf");
  ASSERT_THAT(pair.Confirm("ERROR", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  std::vector<std::string> names = ListNames(in);
  ASSERT_EQ(names.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  EXPECT_EQ(m[1], "b.pdf");

  // Nothing left that is not claimed: the next poll finds nothing.
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  EXPECT_EQ(offer.text, "No file found");
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, ClosingTheConversationEndsThePollAtOnceAndKeepsTheClaim) {
  const std::string in = Watched();
  WriteFile(in + "/a.pdf", "a", 100);
  WriteFile(in + "/b.pdf", "b", 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 60), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  pair.Hangup();

  // The poll's server thread does not sit out its minute: it reports the lost
  // conversation right away.
  const auto t0 = std::chrono::steady_clock::now();
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
    for (const std::string& line : pair.Session().TraceLines()) {
      if (line.find("No confirmation of the poll") != std::string::npos) ended = true;
    }
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(ended);
  std::vector<std::string> names = ListNames(in);
  ASSERT_EQ(names.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  EXPECT_EQ(m[1], "a.pdf");
  EXPECT_EQ(names[1], "b.pdf");

  // The plug-in serves on: the next poll gets the next file.
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "b.pdf");
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, TriggerFilesBringTheirCompanions) {
  const std::string in = Watched();
  // Mode 3: the companions live in a subfolder named after the trigger file.
  fs::create_directory(in + "/order");
  WriteFile(in + "/order/x.pdf", "x", 80);
  WriteFile(in + "/order/y.tif", "y", 70);
  WriteFile(in + "/order.trg", "", 60);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  const std::string subfolderMode =
      "<FileDetectionMode><Mode>TRIGGER_SUBFOLDER</Mode>"
      "<TriggerChangeToExtension>done</TriggerChangeToExtension></FileDetectionMode>";
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.trg", subfolderMode), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 2u) << offer.text;
  EXPECT_EQ(offer.parts[0], std::make_pair(std::string("x.pdf"), std::string("x")));
  EXPECT_EQ(offer.parts[1], std::make_pair(std::string("y.tif"), std::string("y")));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  // The trigger is kept under its processed name; its emptied subfolder is gone.
  EXPECT_THAT(ListNames(in), ::testing::ElementsAre("order.done"));

  // Mode 2: the whole folder belongs to the trigger file.
  const std::string batch = Watched("batch");
  WriteFile(batch + "/p1.pdf", "1", 90);
  WriteFile(batch + "/p2.pdf", "2", 80);
  WriteFile(batch + "/go.trg", "", 10);
  ASSERT_THAT(pair.Poll(*PollRequest(batch, "*.trg",
                                     "<FileDetectionMode><Mode>TRIGGER_FOLDER</Mode>"
                                     "</FileDetectionMode>"),
                        &offer),
              IsOk());
  ASSERT_EQ(offer.parts.size(), 2u);
  EXPECT_EQ(offer.parts[0].first, "p1.pdf");
  EXPECT_EQ(offer.parts[1].first, "p2.pdf");
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  // Without a processed extension the trigger file is deleted with its companions.
  EXPECT_TRUE(ListNames(batch).empty());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, QvDescriptorCarriesItsLinkedFiles) {
  const std::string in = Watched();
  WriteFile(in + "/p1.tif", "page one", 100);
  WriteFile(in + "/p2.tif", "page two", 100);
  const std::string descriptor =
      "<ImportSession><Batch><Page ImportFileName=\"p1.tif\"/><page ImportFileName=\"p2.tif\"/>"
      "<Page ImportFileName=\"\"/></Batch></ImportSession>";
  WriteFile(in + "/d.xml", descriptor, 50);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(
      pair.Poll(*PollRequest(in, "*.xml", "<FileImportMode><Mode>4</Mode></FileImportMode>"),
                &offer),
      IsOk());
  ASSERT_EQ(offer.parts.size(), 3u) << offer.text << offer.diagnostics;
  EXPECT_EQ(offer.parts[0], std::make_pair(std::string("d.xml"), descriptor));
  EXPECT_EQ(offer.parts[1], std::make_pair(std::string("p1.tif"), std::string("page one")));
  EXPECT_EQ(offer.parts[2], std::make_pair(std::string("p2.tif"), std::string("page two")));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_TRUE(ListNames(in).empty());
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, ACompanionThatCannotBeOpenedIsReportedAndLeftOut) {
  const std::string in = Watched();
  WriteFile(in + "/order.pdf", "pdf", 80);
  // A link to itself: listed, but every open fails (whatever the process's rights).
  std::error_code ec;
  fs::create_symlink("order.tif", in + "/order.tif", ec);
  if (ec) GTEST_SKIP() << "no symbolic link can be made here: " << ec.message();
  WriteFile(in + "/order.trg", "", 60);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.trg",
                                     "<FileDetectionMode><Mode>TRIGGER_FILE</Mode>"
                                     "</FileDetectionMode>"),
                        &offer),
              IsOk());
  ASSERT_TRUE(offer.Claimed());
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].first, "order.pdf");
  EXPECT_THAT(offer.diagnostics, ::testing::HasSubstr("could not be opened for reading"));
  EXPECT_THAT(offer.diagnostics, ::testing::HasSubstr("order.tif"));
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_THAT(pair.Finish(), IsOk());
}

int FilesCount() {
  const char* env = std::getenv("XEL_POLL_E2E_FILES");
  return env ? std::atoi(env) : 300;
}

TEST_F(PollEndToEndTest, CompetingPluginsDeliverEveryFileExactlyOnce) {
  const std::string in = Watched();
  const auto files = WriteNumberedFiles(in, FilesCount());
  CompeteUntilEmpty(
      4, M_Base.path(), [&in] { return PollRequest(in, "*.dat"); }, files, in);
}

// The product is the 32-bit plug-in, and 64-bit ones may poll the same folder: two pairs of each
// word size drain one folder together (where the build of the other size stands beside this one).
TEST_F(PollEndToEndTest, PluginsOfBothWordSizesShareOneFolderExactlyOnce) {
  MasterOptions peer = Options(1);
  peer.M_HostPath = XEL_PEER_HOST_PATH;
  peer.M_PluginPath = XEL_PEER_PLUGIN_PATH;
  if (peer.M_HostPath.empty() || !fs::exists(peer.M_HostPath) || !fs::exists(peer.M_PluginPath)) {
    GTEST_SKIP() << "no build of the other word size beside this one (XEL_PEER_BUILD_DIR)";
  }
  const std::string in = Watched();
  const auto files = WriteNumberedFiles(in, 200);
  CompeteUntilEmpty({Options(1), Options(1), peer, peer}, M_Base.path(),
                    [&in] { return PollRequest(in, "*.dat"); }, files, in);
}

// Where a racer's rename can move a claimed file on (as over SMB), the first claimer's
// confirmation must not complete a file that is no longer under its own lock name.
TEST_F(PollEndToEndTest, ConfirmingAClaimWhoseFileMovedOnDeletesNothing) {
  const std::string in = Watched();
  WriteFile(in + "/a.pdf", "a", 100);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(in, "*.pdf"), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed());
  // The racer's running claim: the same time stamp, another random string.
  std::vector<std::string> names = ListNames(in);
  std::smatch m;
  ASSERT_EQ(names.size(), 1u);
  ASSERT_TRUE(std::regex_match(names[0], m, kRunningLock)) << names[0];
  const std::string other = names[0].substr(0, static_cast<size_t>(m.position(2))) + "Other" +
                            names[0].substr(static_cast<size_t>(m.position(2) + m.length(2)));
  fs::rename(in + "/" + names[0], in + "/" + other);

  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "NO");
  EXPECT_THAT(ListNames(in), ::testing::ElementsAre(other));
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(PollEndToEndTest, AClaimOfAKilledPluginComesBackOnceItsLockHasExpired) {
  const std::string in = Watched();
  const auto files = WriteNumberedFiles(in, 40);
  Pair victim;
  ASSERT_THAT(victim.Start(M_Base.path()), IsOk());
  Offer offer;
  ASSERT_THAT(victim.Poll(*PollRequest(in, "*.dat"), &offer), IsOk());
  ASSERT_EQ(offer.parts.size(), 1u);
  const std::string victimFile = offer.parts[0].first;
  ASSERT_TRUE(victim.Session().KillHost());
  (void)victim.Session().WaitForHost(5000);

  // The claim survives its plug-in. Move its time stamp an hour and more into the past
  // instead of waiting for the time-out.
  std::string lockName;
  for (const std::string& name : ListNames(in)) {
    std::smatch m;
    if (std::regex_match(name, m, kRunningLock)) {
      EXPECT_EQ(m[1], victimFile);
      lockName = name;
    }
  }
  ASSERT_FALSE(lockName.empty());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lockName, m, kRunningLock));
  fs::rename(in + "/" + lockName,
             in + "/" + victimFile + ".20000101000000." + m[2].str() + "+03600.locked");

  Pair survivor;
  ASSERT_THAT(survivor.Start(M_Base.path()), IsOk());
  Delivery delivery;
  int delivered = 0;
  PollUntilEmpty(
      &survivor, [&in] { return PollRequest(in, "*.dat"); }, files, &delivery, &delivered);
  EXPECT_EQ(delivery.failures, 0) << delivery.firstFailure;
  EXPECT_EQ(delivery.mismatches, 0);
  EXPECT_EQ(delivery.counts.size(), files.size());
  EXPECT_EQ(delivery.counts[victimFile], 1);
  EXPECT_TRUE(ListNames(in).empty());
  EXPECT_THAT(survivor.Finish(), IsOk());
  victim.Session().Close();
}

}  // namespace
}  // namespace velmora::tools::e2e
