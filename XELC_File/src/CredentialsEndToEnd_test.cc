// End-to-end tests of requests that carry an account, through the real plug-in in host
// processes of their own: folders on an SMB share (a private Samba server on the loopback
// address) and local folders reached by logging a test account on.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PollEndToEndSupport.h"
#include "SambaServer.h"
#include "TempDir.h"
#include "TestAccount.h"

namespace velmora::tools::e2e {
namespace {

using velmora::testing::SambaServer;

// Waits up to 5 s for every thread of the host to run as this process again: a request lets
// go of its account as it ends, just after its last answer has left.
bool IdentityBackSoon(Pair& pair) {
  const auto pid = static_cast<pid_t>(pair.Session().HostProcessId());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!velmora::testing::AllThreadsRunAs(::geteuid(), pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// How many threads of process pid run with the effective user id uid (an impersonating
// thread keeps its real and saved ids, so that it can switch back).
int ThreadsRunningAs(uid_t uid, pid_t pid) {
  int count = 0;
  for (const std::string& line : velmora::testing::ThreadUidLines(pid)) {
    std::istringstream fields(line.substr(4));  // "Uid:" real, effective, saved, file system
    long real = -1, effective = -1;
    fields >> real >> effective;
    count += effective == static_cast<long>(uid);
  }
  return count;
}

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

// A poll with an account reads a local folder that only that account may use (logged on
// through the PAM service the configuration names): only the poll's thread of the host runs as
// the account, and only until the request ends, confirmed or not.
TEST(LocalLogonEndToEndTest, OnlyThePollsThreadRunsAsTheAccountAndOnlyUntilTheRequestEnds) {
  const char* kPassword = "E2e-Secret-7";
  velmora::testing::TestAccount account(kPassword);
  velmora::testing::TestPamService service;
  if (!account.ok()) GTEST_SKIP() << account.Reason();
  if (!service.ok()) GTEST_SKIP() << service.Reason();
  const passwd* pw = ::getpwnam(account.Name().c_str());
  ASSERT_NE(pw, nullptr);
  const uid_t uid = pw->pw_uid;
  velmora::testing::TempDir base("xellogon");
  const std::string in = base.Join("in");
  ::chmod(base.path().c_str(), 0755);
  fs::create_directories(in);
  ::chmod(in.c_str(), 0700);
  WriteFile(in + "/a.dat", "for the account", 100);
  WriteFile(in + "/b.dat", "for the account", 50);
  for (const std::string& path : {in, in + "/a.dat", in + "/b.dat"}) {
    ASSERT_EQ(::chown(path.c_str(), uid, pw->pw_gid), 0);
  }
  Pair pair;
  ASSERT_THAT(
      pair.Start(base.path(), 1, "<Logon><Service>" + service.Name() + "</Service></Logon>"),
      IsOk());
  const auto host = static_cast<pid_t>(pair.Session().HostProcessId());
  ASSERT_TRUE(IdentityBackSoon(pair));
  const auto poll = [&] { return PollRequest(in, "*.dat", "", {account.Name(), kPassword}); };
  Offer offer;
  ASSERT_THAT(pair.Poll(*poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.status << " " << offer.text;
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].second, "for the account");
  // The poll waits for its confirmation as the account; every other thread keeps the
  // process's identity.
  EXPECT_EQ(ThreadsRunningAs(uid, host), 1);
  EXPECT_GT(ThreadsRunningAs(::geteuid(), host), 1);
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_EQ(ListNames(in), std::vector<std::string>{"b.dat"});
  EXPECT_TRUE(IdentityBackSoon(pair));
  ASSERT_THAT(pair.Poll(*poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  pair.Hangup();
  EXPECT_TRUE(IdentityBackSoon(pair));
  EXPECT_THAT(pair.Finish(), IsOk());
}

}  // namespace
}  // namespace velmora::tools::e2e
