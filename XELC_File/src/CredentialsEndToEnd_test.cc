// End-to-end tests of polls that carry an account: folders on an SMB share (a private Samba
// server on the loopback address) and local folders reached by logging a test account on,
// all through the real plug-in in host processes of their own.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PollEndToEndSupport.h"
#include "SambaServer.h"
#include "SmbStandardPortRelay.h"
#include "TempDir.h"
#include "TestAccount.h"
#include "osal/System.h"

namespace velmora::tools::e2e {
namespace {

using velmora::testing::SambaServer;

// How often a line holding text was traced.
int CountLines(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

// Waits up to 5 s for every thread of the process to run as uid again: a request lets go of
// its account as it ends, just after its last answer has left.
bool AllThreadsRunAsSoon(uid_t uid, pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!velmora::testing::AllThreadsRunAs(uid, pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// How many threads of process pid run with the effective user id uid. (An impersonating
// thread keeps its real and saved ids, so that it can switch back.)
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

// Sends a "CreateFile" that writes <Data> as fileName.xml below the configured output folder
// and returns the kind of its answer ("ok" on success) or the fault text.
std::string CreateFile(Pair* pPair, const std::string& fileName) {
  Ref<XmlParser> request, answer;
  Result r = RequestFromText("<CreateFile><Opt><FileName>" + fileName +
                                 "</FileName></Opt><Data><order no=\"7\"/></Data></CreateFile>",
                             ".", &request, nullptr);
  if (r.IsSuccess()) r = pPair->Session().Call(*request, &answer, 20000);
  if (r.IsError()) return r.Text();
  const std::string kind = AnswerKind(*answer);
  return kind == "ok" ? kind : DocumentToText(*answer);
}

// The configuration section of "CreateFile" with an account.
std::string OutConfig(const std::string& directory, const Account& account) {
  return "<Out><Directory>" + directory + "</Directory><Credentials><User>" + account.user +
         "</User><Password>" + account.password + "</Password></Credentials></Out>";
}

class ShareEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = M_Server.Start();
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    // The plug-in's host processes inherit the environment.
    ::setenv("XEL_SMB_PORT", std::to_string(M_Server.port()).c_str(), 1);
    fs::create_directories(Local());
    fs::permissions(Local(), fs::perms::all);
  }
  void TearDown() override {
    ::unsetenv("XEL_SMB_PORT");
    M_Server.Stop();
  }
  // The watched folder on the local disk and as the plug-in sees it.
  std::string Local() const { return M_Server.SharePath() + "/in"; }
  static std::string Unc() { return SambaServer::UncRoot() + "\\in"; }
  static Account ShareAccount(const std::string& password = SambaServer::kPassword) {
    return {SambaServer::kUser, password};
  }
  Ref<XmlParser> Poll(const Account& account) const { return PollRequest(Unc(), "*.dat", "", account); }

  SambaServer M_Server;
};

TEST_F(ShareEndToEndTest, PollsClaimAndCompleteFilesOnTheShareWithTheRequestsAccount) {
  WriteFile(Local() + "/a.dat", "first file", 100);
  WriteFile(Local() + "/b.dat", std::string(200000, 'b'), 50);
  Pair pair;
  ASSERT_THAT(pair.Start(SambaServer::UncRoot(), 100), IsOk());

  for (const auto& [name, size] : {std::pair<std::string, size_t>{"a.dat", 10}, {"b.dat", 200000}}) {
    Offer offer;
    ASSERT_THAT(pair.Poll(*Poll(ShareAccount()), &offer), IsOk());
    ASSERT_TRUE(offer.Claimed()) << offer.status << " " << offer.text;
    ASSERT_EQ(offer.parts.size(), 1u);
    EXPECT_EQ(offer.parts[0].first, name);
    EXPECT_EQ(offer.parts[0].second.size(), size);
    // The claim is a rename on the server: the plain name is gone while the poll waits.
    std::vector<std::string> names = ListNames(Local());
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0);
    std::string processed;
    ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
    EXPECT_EQ(processed, "YES");
  }
  EXPECT_TRUE(ListNames(Local()).empty());
  Offer offer;
  ASSERT_THAT(pair.Poll(*Poll(ShareAccount()), &offer), IsOk());
  EXPECT_EQ(offer.text, "No file found");
  pair.Hangup();
  ASSERT_THAT(pair.Finish(), IsOk());

  // The first poll added the connection, the later ones found it; "stop" cancelled the one
  // connection the component had recorded.
  const std::vector<std::string> trace = pair.Session().TraceLines();
  const std::string connection =
      "Net connection to share " + Unc() + " with user " + SambaServer::kUser;
  EXPECT_EQ(CountLines(trace, connection + " successfully added"), 1);
  EXPECT_EQ(CountLines(trace, connection + " already exists. Ignoring this error."), 2);
  EXPECT_EQ(CountLines(trace, "Cancelling all network connections"), 1);
  EXPECT_EQ(CountLines(trace, "Net connection to share " + Unc() + " successfully cancelled"), 1);
}

TEST_F(ShareEndToEndTest, AWrongPasswordEndsThePollWithTheSharesTextAndLeavesTheFile) {
  WriteFile(Local() + "/a.dat", "waiting");
  Pair pair;
  ASSERT_THAT(pair.Start(SambaServer::UncRoot(), 100), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*Poll(ShareAccount("not-the-password")), &offer), IsOk());
  EXPECT_EQ(offer.status, "ERROR");
  EXPECT_EQ(offer.text, "Net connection to share " + Unc() + " with user " + SambaServer::kUser +
                            " could not be added, error=1326");
  EXPECT_TRUE(offer.parts.empty());
  EXPECT_EQ(ListNames(Local()), std::vector<std::string>{"a.dat"});

  // Without an account the share is not connected, and a folder that cannot be listed
  // offers nothing.
  ASSERT_THAT(pair.Poll(*Poll(Account{}), &offer), IsOk());
  EXPECT_EQ(offer.text, "No file found");
  EXPECT_EQ(ListNames(Local()), std::vector<std::string>{"a.dat"});

  // The plug-in serves on, and the right password gets the file.
  ASSERT_THAT(pair.Poll(*Poll(ShareAccount()), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_TRUE(ListNames(Local()).empty());
  EXPECT_THAT(pair.Finish(), IsOk());
}

// "CreateFile" connects the share of its output folder (the share name only) with the
// configured account; the server writes the file as that account.
TEST_F(ShareEndToEndTest, CreateFileWritesOnTheShareWithTheConfiguredAccount) {
  const std::string local = M_Server.SharePath() + "/out";
  fs::create_directories(local);
  fs::permissions(local, fs::perms::all);
  Pair pair;
  ASSERT_THAT(pair.Start(SambaServer::UncRoot(), 100,
                         OutConfig(SambaServer::UncRoot() + "\\out\\", ShareAccount())),
              IsOk());
  EXPECT_EQ(CreateFile(&pair, "order7"), "ok");
  EXPECT_EQ(CreateFile(&pair, "order8"), "ok");
  ASSERT_THAT(pair.Finish(), IsOk());

  const passwd* pw = ::getpwnam(SambaServer::kUser);
  ASSERT_NE(pw, nullptr);
  for (const char* name : {"/order7.xml", "/order8.xml"}) {
    EXPECT_EQ(velmora::testing::FileOwner(local + name), static_cast<long>(pw->pw_uid)) << name;
  }
  const std::vector<std::string> trace = pair.Session().TraceLines();
  const std::string connection = "Net connection to share " + SambaServer::UncRoot() +
                                 " with user " + SambaServer::kUser;
  EXPECT_EQ(CountLines(trace, connection + " successfully added"), 1);
  EXPECT_EQ(CountLines(trace, connection + " already exists. Ignoring this error."), 1);
  EXPECT_EQ(CountLines(trace, "Net connection to share " + SambaServer::UncRoot() +
                                  " successfully cancelled"),
            1);

  // A wrong password fails the request with the share's text and writes nothing.
  Pair refused;
  ASSERT_THAT(refused.Start(SambaServer::UncRoot(), 1,
                            OutConfig(SambaServer::UncRoot() + "\\out\\", ShareAccount("bad"))),
              IsOk());
  const std::string fault = CreateFile(&refused, "order9");
  EXPECT_NE(fault.find("Failed to login user " + std::string(SambaServer::kUser) +
                       " (Net connection to share " + SambaServer::UncRoot() + " with user " +
                       SambaServer::kUser + " could not be added, error=1326)"),
            std::string::npos)
      << fault;
  EXPECT_FALSE(fs::exists(local + "/order9.xml"));
  EXPECT_THAT(refused.Finish(), IsOk());
}

// A status check of intensity 1 on a share folder also compares the account's rights on it,
// as the server states them in the folder's security descriptor. (The client reads
// descriptors over the standard port only, so the server is reached through a relay there.)
TEST_F(ShareEndToEndTest, AThoroughStatusCheckAsksTheServerForTheAccountsRights) {
  velmora::testing::SmbStandardPortRelay relay;
  const std::string why = relay.Start(M_Server.port());
  if (!why.empty()) GTEST_SKIP() << "no relay on the standard port: " << why;
  ::setenv("XEL_SMB_PORT", "445", 1);
  const passwd* pw = ::getpwnam(SambaServer::kUser);
  ASSERT_NE(pw, nullptr);
  ASSERT_EQ(::chown(Local().c_str(), pw->pw_uid, pw->pw_gid), 0);
  const std::string root = relay.UncRoot(SambaServer::kShare);
  const std::string folder = root + "\\in";
  Pair pair;
  ASSERT_THAT(pair.Start(root, 60), IsOk());
  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(folder, "*.dat", "", ShareAccount(),
                                     "<MaxRequested>0</MaxRequested>"
                                     "<StatusCheckIntensity>1</StatusCheckIntensity>"),
                        &offer),
              IsOk());
  EXPECT_EQ(offer.status, "OK") << offer.text;
  pair.Hangup();
  ASSERT_THAT(pair.Finish(), IsOk());
  EXPECT_EQ(CountLines(pair.Session().TraceLines(),
                       "Permission check on folder " + folder + " for user@domain " +
                           SambaServer::kUser + ": ok, effective-mask="),
            1);
}

int ShareFilesCount() {
  const char* env = std::getenv("XEL_SHARE_E2E_FILES");
  return env ? std::atoi(env) : 500;
}

// Four plug-in processes, each with its own connection to the share, compete for the files;
// the server's rename is what decides each claim.
TEST_F(ShareEndToEndTest, FourPairsDeliverEveryFileOfTheShareExactlyOnce) {
  const auto files = WriteNumberedFiles(Local(), ShareFilesCount());
  CompeteUntilEmpty(
      4, SambaServer::UncRoot(), [this] { return Poll(ShareAccount()); }, files, Local());
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
  void WriteOwnedFile(const std::string& name, const std::string& content, int age) {
    WriteFile(In() + "/" + name, content, age);
    ASSERT_EQ(::chown((In() + "/" + name).c_str(), M_Uid, M_Gid), 0);
  }
  Account LocalAccount(const std::string& password = kPassword) const {
    return {M_Account.Name(), password};
  }
  std::string Config() const { return "<Logon><Service>" + M_Service.Name() + "</Service></Logon>"; }

  velmora::testing::TestAccount M_Account{kPassword};
  velmora::testing::TestPamService M_Service;
  velmora::testing::TempDir M_Base{"xellogon"};
  uid_t M_Uid = 0;
  gid_t M_Gid = 0;
};

TEST_F(LocalLogonEndToEndTest, OnlyThePollsThreadRunsAsTheAccountAndOnlyUntilTheRequestEnds) {
  WriteOwnedFile("a.dat", "for the account", 100);
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 1, Config()), IsOk());
  const pid_t host = static_cast<pid_t>(pair.Session().HostProcessId());
  ASSERT_TRUE(AllThreadsRunAsSoon(::geteuid(), host));

  Offer offer;
  ASSERT_THAT(pair.Poll(*PollRequest(In(), "*.dat", "", LocalAccount()), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.status << " " << offer.text;
  ASSERT_EQ(offer.parts.size(), 1u);
  EXPECT_EQ(offer.parts[0].second, "for the account");
  // The poll waits for its confirmation as the account; every other thread of the plug-in
  // keeps the process's identity.
  EXPECT_EQ(ThreadsRunningAs(M_Uid, host), 1);
  EXPECT_GT(ThreadsRunningAs(::geteuid(), host), 1);
  std::string processed;
  ASSERT_THAT(pair.Confirm("OK", &processed), IsOk());
  EXPECT_EQ(processed, "YES");
  EXPECT_TRUE(ListNames(In()).empty());
  EXPECT_TRUE(AllThreadsRunAsSoon(::geteuid(), host));

  // A failed logon: the share texts of a local folder, and no identity left behind.
  WriteOwnedFile("b.dat", "still here", 50);
  ASSERT_THAT(pair.Poll(*PollRequest(In(), "*.dat", "", LocalAccount("wrong")), &offer), IsOk());
  EXPECT_EQ(offer.status, "ERROR");
  EXPECT_EQ(offer.text.rfind("Net connection to local folder " + In() + " with user@domain " +
                                 M_Account.Name() + " failed, LogonUser() error=",
                             0),
            0u)
      << offer.text;
  EXPECT_TRUE(AllThreadsRunAsSoon(::geteuid(), host));

  // A conversation that ends without a confirmation also gives the identity back.
  ASSERT_THAT(pair.Poll(*PollRequest(In(), "*.dat", "", LocalAccount()), &offer), IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.text;
  pair.Hangup();
  EXPECT_TRUE(AllThreadsRunAsSoon(::geteuid(), host));
  EXPECT_THAT(pair.Finish(), IsOk());
}

TEST_F(LocalLogonEndToEndTest, CreateFileWritesAsTheAccountAndGivesTheIdentityBack) {
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 1, Config() + OutConfig(In() + "/", LocalAccount())),
              IsOk());
  EXPECT_EQ(CreateFile(&pair, "order7"), "ok");
  EXPECT_EQ(velmora::testing::FileOwner(In() + "/order7.xml"), static_cast<long>(M_Uid));
  EXPECT_TRUE(
      AllThreadsRunAsSoon(::geteuid(), static_cast<pid_t>(pair.Session().HostProcessId())));
  EXPECT_THAT(pair.Finish(), IsOk());

  Pair refused;
  ASSERT_THAT(refused.Start(M_Base.path(), 1,
                            Config() + OutConfig(In() + "/", LocalAccount("wrong"))),
              IsOk());
  const std::string fault = CreateFile(&refused, "order8");
  EXPECT_NE(fault.find("Failed to login user " + M_Account.Name() +
                       " (Net connection to local folder "),
            std::string::npos)
      << fault;
  EXPECT_FALSE(fs::exists(In() + "/order8.xml"));
  EXPECT_TRUE(
      AllThreadsRunAsSoon(::geteuid(), static_cast<pid_t>(refused.Session().HostProcessId())));
  EXPECT_THAT(refused.Finish(), IsOk());
}

TEST_F(LocalLogonEndToEndTest, CreateFileLogsOnWithAPasswordStoredEncrypted) {
  const std::string keyFile = M_Base.Join("xel.key");
  ASSERT_TRUE(osal::WriteOwnerOnlyFile(keyFile, "logon key 1\n").ok());
  std::string password;
  ASSERT_THAT(xel::XmlEncryptContent(1, "logon key 1", kPassword, &password), IsOk());
  const std::string config = Config() + "<Encryption><KeyFile>" + keyFile +
                             "</KeyFile></Encryption><Out><Directory>" + In() +
                             "/</Directory><Credentials><User>" + M_Account.Name() +
                             "</User><Password>" + password + "</Password></Credentials></Out>";
  Pair pair;
  ASSERT_THAT(pair.Start(M_Base.path(), 1, config), IsOk());
  EXPECT_EQ(CreateFile(&pair, "order9"), "ok");
  EXPECT_EQ(velmora::testing::FileOwner(In() + "/order9.xml"), static_cast<long>(M_Uid));
  EXPECT_THAT(pair.Finish(), IsOk());

  // Another key in the key file: the configuration cannot be decrypted and nothing starts.
  ASSERT_TRUE(osal::WriteOwnerOnlyFile(keyFile, "another key\n").ok());
  Pair refused;
  Result r = refused.Start(M_Base.path(), 1, config);
  EXPECT_NE(r.Text().find("decryption failed"), std::string::npos) << r.Text();
  (void)refused.Finish();
}

}  // namespace
}  // namespace velmora::tools::e2e
