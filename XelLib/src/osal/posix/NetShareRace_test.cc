// Claims over SMB from several machines: pollers on machines of their own (network
// namespaces) rename the same few files on one Samba share at once, round after round, and
// every rename reported as done must have left the file under that poller's name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "NetworkLab.h"
#include "SambaServer.h"
#include "osal/File.h"
#include "osal/NetShare.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::osal {
namespace {

namespace fs = std::filesystem;
using velmora::testing::ChildProcess;
using velmora::testing::NetworkLab;
using velmora::testing::SambaServer;

// Args: UNC folder, control folder, poller p, rounds, files. Each round waits for the control
// file "round-<r>", then claims every file "f<i>" as "f<i>.<p>" in the same order as every
// other poller, so that they collide as often as they can; says "W <i>" for each claim
// granted, "D" per round.
XEL_CHILD_MODE(race_poller) {
  if (args.size() != 5) return 2;
  const std::string& folder = args[0];
  const int rounds = std::atoi(args[3].c_str()), files = std::atoi(args[4].c_str());
  if (AddShareConnection(folder, SambaServer::kUser, SambaServer::kPassword) != kNetOk) return 3;
  velmora::testing::ChildSay("ready");
  for (int round = 0; round < rounds; ++round) {
    const std::string go = args[1] + "/round-" + std::to_string(round);
    while (::access(go.c_str(), F_OK) != 0) ::usleep(200);
    for (int f = 0; f < files; ++f) {
      const std::string file = folder + "\\f" + std::to_string(f);
      if (Rename(file, file + "." + args[2], RenameMode::kNoReplace, false).ok()) {
        velmora::testing::ChildSay("W " + std::to_string(f));
      }
    }
    velmora::testing::ChildSay("D");
  }
  return 0;
}

int EnvOr(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// At least 10 000 claims of 8 pollers on 2 machines, 20 files at a time: each file has
// exactly one winner. XEL_RACE_ROUNDS and XEL_RACE_POLLERS_PER_MACHINE make it longer.
TEST(NetShareRaceTest, EveryContestedClaimHasExactlyOneWinner) {
  constexpr int kMachines = 2, kFiles = 20;
  NetworkLab lab;
  SambaServer server;
  std::string why = lab.Start(1 + kMachines);
  if (!why.empty()) GTEST_SKIP() << "no network lab: " << why;
  lab.RunIn(0, [&] { why = server.Start(NetworkLab::Address(0)); });
  if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
  const std::string local = server.SharePath() + "/race", control = server.SharePath() + "/../c";
  fs::create_directories(control);
  fs::create_directories(local);
  fs::permissions(local, fs::perms::all);
  const int pollers = kMachines * EnvOr("XEL_RACE_POLLERS_PER_MACHINE", 4);
  const int rounds = EnvOr("XEL_RACE_ROUNDS", (10000 + pollers * kFiles - 1) / (pollers * kFiles));
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int p = 0; p < pollers; ++p) {
    children.push_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(lab.RunIn(1 + p % kMachines, [&] {
      children.back()->Start("race_poller", {server.Unc() + "\\race", control, std::to_string(p),
                                             std::to_string(rounds), std::to_string(kFiles)});
    }));
  }
  for (auto& child : children) {
    std::string line;
    ASSERT_TRUE(child->ReadLine(&line, 20000) && line == "ready") << "a poller did not connect";
  }
  int bad = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int f = 0; f < kFiles; ++f) std::ofstream(local + "/f" + std::to_string(f)) << round;
    std::ofstream(control + "/round-" + std::to_string(round)) << "go";
    std::map<int, std::vector<int>> winners;  // file -> pollers the share said yes to
    for (int p = 0; p < pollers; ++p) {
      for (std::string line; line != "D";) {
        ASSERT_TRUE(children[p]->ReadLine(&line, 60000)) << "poller " << p << " stopped";
        if (line[0] == 'W') winners[std::atoi(line.c_str() + 2)].push_back(p);
      }
    }
    // Each file must be under the name of its one winner.
    for (int f = 0; f < kFiles; ++f) {
      const std::string file = local + "/f" + std::to_string(f) + ".";
      bad += winners[f].size() != 1 || !fs::exists(file + std::to_string(winners[f][0]));
    }
    for (const auto& entry : fs::directory_iterator(local)) fs::remove(entry.path());
  }
  EXPECT_EQ(bad, 0) << "files of " << rounds << " rounds without exactly one winner holding them";
  for (auto& child : children) {
    int code = -1;
    EXPECT_TRUE(child->Wait(10000, &code) && code == 0);
  }
}

}  // namespace
}  // namespace velmora::osal
