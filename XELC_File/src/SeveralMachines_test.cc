// Several machines (network namespaces) with xelmaster and the plug-in polling a Samba share
// that another machine serves: the server's rename is all that coordinates them.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "NetworkLab.h"
#include "PollEndToEndSupport.h"
#include "SambaServer.h"
#include "TempDir.h"
#include "osal/Process.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::tools::e2e {
namespace {

using velmora::testing::NetworkLab;
using velmora::testing::SambaServer;

// A lab of a file server (machine 0) and kMachines machines that poll its share.
class SeveralMachinesTest : public ::testing::Test {
 protected:
  static constexpr int kMachines = 4;

  void SetUp() override {
    std::string why = M_Lab.Start(1 + kMachines);
    if (!why.empty()) GTEST_SKIP() << "no network lab: " << why;
    M_Lab.RunIn(0, [&] { why = M_Server.Start(NetworkLab::Address(0)); });
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    fs::create_directories(Local());
    fs::permissions(Local(), fs::perms::all);
    // What every machine's xelmaster is given.
    std::ofstream(M_Work.Join("config.xml")) << ComponentConfig(M_Server.Unc());
    std::ofstream(M_Work.Join("poll.xml")) << DocumentToText(*PollRequest(
        M_Server.Unc() + "\\in", "*.dat", "", {SambaServer::kUser, SambaServer::kPassword}));
  }
  void TearDown() override {
    M_Masters.clear();
    M_Server.Stop();
    EXPECT_TRUE(M_Lab.Stop()) << "a network namespace of the lab was not removed";
  }

  // The watched folder on the server's disk.
  std::string Local() const { return M_Server.SharePath() + "/in"; }
  std::string Output(int machine) const { return M_Work.Join("out" + std::to_string(machine)); }

  // Starts xelmaster in poll mode on machine, draining the share into Output(machine) until a
  // poll finds nothing.
  void StartMaster(int machine) {
    fs::create_directories(Output(machine));
    osal::Process* process = M_Masters.emplace_back(std::make_unique<osal::Process>()).get();
    osal::ProcessOptions options;
    options.stdout_mode = osal::ChildOutput::kFile;  // a line per package
    options.stdout_file = M_Work.Join("master" + std::to_string(M_Masters.size()) + ".log");
    osal::Status status;
    ASSERT_TRUE(M_Lab.RunIn(machine, [&] {
      status = process->Start(XEL_MASTER_PATH,
                              {"--host", XEL_HOST_PATH, "--plugin", XEL_PLUGIN_PATH, "--config",
                               M_Work.Join("config.xml"), "--poll-request", M_Work.Join("poll.xml"),
                               "--output", Output(machine), "--until-empty", "--trace-level", "1"},
                              options);
    }));
    ASSERT_TRUE(status.ok()) << status.Text();
  }

  // Waits for every master started so far; each must end with exit code 0.
  void WaitForMasters() {
    for (auto& process : M_Masters) {
      ASSERT_TRUE(process->Wait(300000).ok()) << "xelmaster did not end";
      EXPECT_FALSE(process->exit().killed);
      EXPECT_EQ(process->exit().code, 0) << process->exit().Describe();
    }
    M_Masters.clear();
  }

  // What the machines received: file name to (machine, bytes); a name that came more than
  // once (a second file of one machine, "~2", or on two machines) counts as a duplicate.
  struct Received {
    std::map<std::string, std::pair<int, std::string>> files;
    int duplicates = 0;
    int machines = 0;  // that received anything
  };
  Received Collect() const {
    Received received;
    for (int m = 1; m <= kMachines; ++m) {
      const std::vector<std::string> names = ListNames(Output(m));
      received.machines += !names.empty();
      for (const std::string& name : names) {
        std::ifstream in(Output(m) + "/" + name, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string plain = name.substr(0, name.find('~'));
        received.duplicates += received.files.count(plain) != 0 || plain != name;
        received.files[plain] = {m, bytes.str()};
      }
    }
    return received;
  }

  NetworkLab M_Lab;
  SambaServer M_Server;
  velmora::testing::TempDir M_Work{"xelmachines"};
  std::vector<std::unique_ptr<osal::Process>> M_Masters;
};

// Four machines drain the share together: every file arrives exactly once, byte for byte, and
// the share is empty afterwards. Claims that expired before (lock names back-dated) are taken
// over and delivered under their own names.
TEST_F(SeveralMachinesTest, FourMachinesDrainTheShareExactlyOnce) {
  const char* env = std::getenv("XEL_MACHINES_FILES");
  std::map<std::string, std::string> expected =
      WriteNumberedFiles(Local(), env ? std::atoi(env) : 1000);
  for (const char* name : {"expired1.dat", "expired2.dat", "expired3.dat"}) {
    expected[name] = std::string("taken over: ") + name;
    WriteFile(Local() + "/" + name + ".20200101000000.Ab3_x+03600.locked", expected[name]);
  }
  for (int m = 1; m <= kMachines; ++m) StartMaster(m);
  WaitForMasters();

  const Received received = Collect();
  EXPECT_EQ(received.duplicates, 0);
  EXPECT_EQ(received.files.size(), expected.size());
  int wrong = 0;
  for (const auto& [name, bytes] : expected) {
    auto it = received.files.find(name);
    wrong += it == received.files.end() || it->second.second != bytes;
  }
  EXPECT_EQ(wrong, 0) << "files missing or not byte-identical";
  EXPECT_GT(received.machines, 1) << "the machines did not compete";
  const std::vector<std::string> left = ListNames(Local());
  EXPECT_TRUE(left.empty()) << left.size() << " entries left, such as " << left.front();
}

// A machine's plug-in process dies (SIGKILL) while it holds a claim: another machine leaves
// the file alone while the claim runs, takes it over once it has expired (its lock name
// back-dated) and delivers it exactly once.
TEST_F(SeveralMachinesTest, AClaimOfAKilledHostIsDeliveredOnceByAnotherMachine) {
  WriteFile(Local() + "/orphan.dat", "claimed by a host that died", 100);
  Offer offer;
  Result started, polled;
  ASSERT_TRUE(M_Lab.RunIn(1, [&] {
    // The master's end of the data link belongs to this thread: all of it runs here.
    Pair pair;
    started = pair.Start(M_Server.Unc(), 1);
    if (started.IsError()) return;
    polled = pair.Poll(*PollRequest(M_Server.Unc() + "\\in", "*.dat", "",
                                    {SambaServer::kUser, SambaServer::kPassword}),
                       &offer);
    ::kill(static_cast<pid_t>(pair.Session().HostProcessId()), SIGKILL);
    (void)pair.Finish();
  }));
  ASSERT_THAT(started, IsOk());
  ASSERT_THAT(polled, IsOk());
  ASSERT_TRUE(offer.Claimed()) << offer.status << " " << offer.text;
  const std::vector<std::string> names = ListNames(Local());
  ASSERT_EQ(names.size(), 1u);
  std::smatch lock;
  ASSERT_TRUE(std::regex_match(names[0], lock, kRunningLock)) << names[0];
  EXPECT_EQ(lock[1].str(), "orphan.dat");

  StartMaster(2);  // while the claim runs: nothing
  WaitForMasters();
  EXPECT_EQ(Collect().files.size(), 0u);
  EXPECT_EQ(ListNames(Local()), names);

  fs::rename(Local() + "/" + names[0],
             Local() + "/orphan.dat.20200101000000." + lock[2].str() + "+03600.locked");
  StartMaster(3);
  WaitForMasters();
  const Received received = Collect();
  ASSERT_EQ(received.files.size(), 1u);
  EXPECT_EQ(received.duplicates, 0);
  EXPECT_EQ(received.files.begin()->first, "orphan.dat");
  EXPECT_EQ(received.files.begin()->second,
            std::make_pair(3, std::string("claimed by a host that died")));
  EXPECT_TRUE(ListNames(Local()).empty());
}

}  // namespace
}  // namespace velmora::tools::e2e
