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
#include "osal/System.h"

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

// A local folder that only a test account may use; the plug-in logs the account on through
// the PAM service its configuration names.
class LocalLogonEndToEndTest : public ::testing::Test {
 protected:
  static constexpr const char* kPassword = "E2e-Secret-7";
  void SetUp() override {
    if (!M_Account.ok()) GTEST_SKIP() << M_Account.Reason();
    if (!M_Service.ok()) GTEST_SKIP() << M_Service.Reason();
    const passwd* pw = ::getpwnam(M_Account.Name().c_str());
    ASSERT_NE(pw, nullptr);
    M_Uid = pw->pw_uid;
    M_Gid = pw->pw_gid;
    ::chmod(M_Base.path().c_str(), 0755);
    fs::create_directories(In());
    ASSERT_EQ(::chown(In().c_str(), M_Uid, M_Gid), 0);
    ::chmod(In().c_str(), 0700);
  }
  std::string In() const { return M_Base.Join("in"); }

  velmora::testing::TestAccount M_Account{kPassword};
  velmora::testing::TestPamService M_Service;
  velmora::testing::TempDir M_Base{"xellogon"};
  uid_t M_Uid = 0;
  gid_t M_Gid = 0;
};

// A poll runs as its request's account and "CreateFile" as the configured one, whose password
// is stored encrypted (decrypted at "start" with the key file); only the request's thread runs
// as the account, and only until the request ends, confirmed or not. Another key in the key
// file: the configuration cannot be decrypted and nothing starts.
TEST_F(LocalLogonEndToEndTest, OnlyTheRequestsThreadRunsAsTheAccountAndOnlyUntilItEnds) {
  for (const auto& [name, age] : {std::pair<std::string, int>{"a.dat", 100}, {"b.dat", 50}}) {
    WriteFile(In() + "/" + name, "for the account", age);
    ASSERT_EQ(::chown((In() + "/" + name).c_str(), M_Uid, M_Gid), 0);
  }
  const std::string keyFile = M_Base.Join("xel.key");
  ASSERT_TRUE(osal::WriteOwnerOnlyFile(keyFile, "logon key 1\n").ok());
  std::string password;
  ASSERT_THAT(xel::XmlEncryptContent(1, "logon key 1", kPassword, &password), IsOk());
  const std::string config =
      "<Logon><Service>" + M_Service.Name() + "</Service></Logon><Encryption><KeyFile>" + keyFile +
      "</KeyFile></Encryption><Out><Directory>" + In() + "/</Directory><Credentials><User>" +
      M_Account.Name() + "</User><Password>" + password + "</Password></Credentials></Out>";
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 1, config), IsOk());
  const auto host = static_cast<pid_t>(pair.Session().HostProcessId());
  ASSERT_TRUE(IdentityBackSoon(pair));
  const auto poll = [&] { return PollRequest(In(), "*.dat", "", {M_Account.Name(), kPassword}); };

  Offer offer;
  ASSERT_THAT(pair.Poll(*poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.status << " " << offer.text;
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].second, "for the account");
  // The poll waits for its confirmation as the account; every other thread keeps the
  // process's identity.
  EXPECT_EQ(ThreadsRunningAs(M_Uid, host), 1);
  EXPECT_GT(ThreadsRunningAs(::geteuid(), host), 1);
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_EQ(ListNames(In()), std::vector<std::string>{"b.dat"});
  EXPECT_TRUE(IdentityBackSoon(pair));
  ASSERT_THAT(pair.Poll(*poll(), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  pair.Hangup();
  EXPECT_TRUE(IdentityBackSoon(pair));

  Ref<XmlParser> answer;
  ASSERT_THAT(pair.Session().Call(*Document("<CreateFile><Opt><FileName>order9</FileName></Opt>"
                                            "<Data><order no=\"7\"/></Data></CreateFile>"),
                                  &answer, 20000),
              IsOk());
  EXPECT_EQ(AnswerKind(*answer), "ok") << DocumentToText(*answer);
  EXPECT_EQ(velmora::testing::FileOwner(In() + "/order9.xml"), static_cast<long>(M_Uid));
  EXPECT_TRUE(IdentityBackSoon(pair));
  EXPECT_THAT(pair.Finish(), IsOk());

  ASSERT_TRUE(osal::WriteOwnerOnlyFile(keyFile, "another key\n").ok());
  Pair refused;
  Result r = refused.Start(M_Base.path(), 1, config);
  EXPECT_NE(r.Text().find("decryption failed"), std::string::npos) << r.Text();
  (void)refused.Finish();
}

}  // namespace
}  // namespace velmora::tools::e2e
