// Several machines (network namespaces) with xelmaster and the plug-in polling a Samba share
// that another machine serves: the server's rename is all that coordinates them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

constexpr int kMachines = 4;  // that poll the share of machine 0

// Four machines drain the share together: every file arrives exactly once, byte for byte, and
// the share is empty afterwards. Claims that expired before (lock names back-dated) are taken
// over and delivered under their own names.
TEST(SeveralMachinesTest, FourMachinesDrainTheShareExactlyOnce) {
  NetworkLab lab;
  SambaServer server;
  const std::string why = StartLabWithServer(lab, server, 1 + kMachines);
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string local = server.SharePath() + "/in";
  fs::create_directories(local);
  fs::permissions(local, fs::perms::all);
  const char* env = std::getenv("XEL_MACHINES_FILES");
  std::map<std::string, std::string> expected =
      WriteNumberedFiles(local, env ? std::atoi(env) : 1000);
  for (const char* name : {"expired1.dat", "expired2.dat", "expired3.dat"}) {
    expected[name] = std::string("taken over: ") + name;
    WriteFile(local + "/" + name + ".20200101000000.Ab3_x+03600.locked", expected[name]);
  }
  velmora::testing::TempDir work("xelmachines");
  std::ofstream(work.Join("config.xml")) << ComponentConfig(server.Unc());
  std::ofstream(work.Join("poll.xml")) << DocumentToText(*PollRequest(
      server.Unc() + "\\in", "*.dat", "", {SambaServer::kUser, SambaServer::kPassword}));

  // xelmaster in poll mode on each machine, draining the share into a folder of its own.
  std::vector<std::unique_ptr<osal::Process>> masters;
  for (int m = 1; m <= kMachines; ++m) {
    const std::string out = work.Join("out" + std::to_string(m));
    fs::create_directories(out);
    osal::Process* pMaster = masters.emplace_back(std::make_unique<osal::Process>()).get();
    osal::Status status;
    ASSERT_TRUE(lab.RunIn(m, [&] {
      status =
          pMaster->Start(XEL_MASTER_PATH,
                         {"--host", XEL_HOST_PATH, "--plugin", XEL_PLUGIN_PATH, "--config",
                          work.Join("config.xml"), "--poll-request", work.Join("poll.xml"),
                          "--output", out, "--until-empty", "--trace-level", "1"},
                         {.stdout_mode = osal::ChildOutput::kFile, .stdout_file = out + ".log"});
    }));
    ASSERT_TRUE(status.ok()) << status.Text();
  }
  int machines = 0;  // that received anything
  std::map<std::string, int> counts;
  for (int m = 1; m <= kMachines; ++m) {
    ASSERT_TRUE(masters[m - 1]->Wait(300000).ok()) << "xelmaster did not end";
    EXPECT_EQ(masters[m - 1]->exit().Describe(), "exited with code 0");
    const std::string out = work.Join("out" + std::to_string(m));
    machines += !ListNames(out).empty();
    // A second file of one name on one machine comes as "name~2".
    for (const std::string& name : ListNames(out)) {
      std::string bytes;
      ReadWholeFile(out + "/" + name, &bytes, nullptr);
      counts[name] += expected.count(name) != 0 && expected[name] == bytes ? 1 : 100;
    }
  }
  EXPECT_EQ(counts.size(), expected.size());
  EXPECT_EQ(std::count_if(counts.begin(), counts.end(), [](auto& c) { return c.second != 1; }), 0)
      << "files duplicated, unknown or not byte-identical";
  EXPECT_GT(machines, 1) << "the machines did not compete";
  EXPECT_EQ(ListNames(local), std::vector<std::string>()) << "entries left on the share";
  masters.clear();
  server.Stop();
  EXPECT_TRUE(lab.Stop()) << "a network namespace of the lab was not removed";
}

}  // namespace
}  // namespace velmora::tools::e2e
