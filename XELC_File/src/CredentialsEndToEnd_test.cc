// End-to-end tests of polls that carry an account, through the real plug-in in host processes
// of their own, of a folder on an SMB share (a private Samba server on the loopback address).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "PollEndToEndSupport.h"
#include "SambaServer.h"

namespace velmora::tools::e2e {
namespace {

using velmora::testing::SambaServer;

// Polls of a folder on the share carry the share's account.
class ShareEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = M_Server.Start();
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    ::setenv("XEL_SMB_PORT", std::to_string(M_Server.port()).c_str(), 1);  // for the hosts
    fs::create_directories(Local());
    fs::permissions(Local(), fs::perms::all);
  }
  void TearDown() override { ::unsetenv("XEL_SMB_PORT"); }
  std::string Local() const { return M_Server.SharePath() + "/in"; }
  static Ref<XmlParser> Poll(const std::string& password = SambaServer::kPassword) {
    return PollRequest(SambaServer::UncRoot() + "\\in", "*.dat", "",
                       {SambaServer::kUser, password});
  }

  SambaServer M_Server;
};

// A wrong password ends the poll with the share's text. Four plug-in processes, each with its
// own connection to the share, compete for the files (one of them larger than the link's
// buffer): the server's rename is what decides each claim.
TEST_F(ShareEndToEndTest, FourPairsDeliverEveryFileOfTheShareExactlyOnce) {
  Pair pair;
  ASSERT_THAT(pair.Start(SambaServer::UncRoot(), 1), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*Poll("not-the-password"), &offer), IsOk());
  EXPECT_EQ(offer.status + " " + offer.text,
            "ERROR Net connection to share " + SambaServer::UncRoot() + "\\in with user " +
                SambaServer::kUser + " could not be added, error=1326");
  EXPECT_THAT(pair.Finish(), IsOk());
  const char* env = std::getenv("XEL_SHARE_E2E_FILES");
  auto files = WriteNumberedFiles(Local(), env ? std::atoi(env) : 500);
  files["big.dat"] = std::string(200000, 'b');
  WriteFile(Local() + "/big.dat", files["big.dat"]);
  CompeteUntilEmpty(
      std::vector<MasterOptions>(4, Options(1)), SambaServer::UncRoot(), [] { return Poll(); },
      files, Local());
}

}  // namespace
}  // namespace velmora::tools::e2e
