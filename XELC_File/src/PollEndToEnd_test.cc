// End-to-end tests: the real plug-in in host processes of their own, driven by masters over the
// real shared-memory link: claims, competition, a crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "PollEndToEndSupport.h"
#include "TempDir.h"

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
