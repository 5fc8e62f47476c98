// Claims over SMB from several machines: pollers on machines of their own (network
// namespaces) rename the same few files on one Samba share at once, round after round, and
// every rename reported as done must have left the file under that poller's name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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
using velmora::testing::ChildSay;
using velmora::testing::NetworkLab;
using velmora::testing::SambaServer;

std::string FileName(int i) { return "f" + std::to_string(100 + i).substr(1) + ".dat"; }

// "<name>.<poller>.locked": the name poller p claims a file as.
std::string LockName(int file, int poller) {
  return FileName(file) + "." + std::to_string(poller) + ".locked";
}

// A poller: connects the share (args: UNC folder, control folder, poller number, rounds,
// files per round), then for each round waits for the control file "round-<r>" and tries to
// claim every file of the round in the same order as every other poller, which makes them
// collide as often as they can. It reports "W <file>" for every claim the share granted and
// "D <round>" at the end of a round.
XEL_CHILD_MODE(race_poller) {
  if (args.size() != 5) return 2;
  const std::string folder = args[0], control = args[1];
  const int poller = std::atoi(args[2].c_str());
  const int rounds = std::atoi(args[3].c_str()), files = std::atoi(args[4].c_str());
  if (AddShareConnection(folder, SambaServer::kUser, SambaServer::kPassword) != kNetOk) return 3;
  ChildSay("ready");
  for (int round = 0; round < rounds; ++round) {
    const std::string go = control + "/round-" + std::to_string(round);
    while (::access(go.c_str(), F_OK) != 0) ::usleep(200);
    for (int f = 0; f < files; ++f) {
      Status s = Rename(folder + "\\" + FileName(f), folder + "\\" + LockName(f, poller),
                        RenameMode::kNoReplace, false);
      if (s.ok()) ChildSay("W " + std::to_string(f));
    }
    ChildSay("D " + std::to_string(round));
  }
  return 0;
}

int EnvOr(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

class NetShareRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = M_Lab.Start(1 + kMachines);
    if (!why.empty()) GTEST_SKIP() << "no network lab: " << why;
    M_Lab.RunIn(0, [&] { why = M_Server.Start(NetworkLab::Address(0)); });
    if (!why.empty()) GTEST_SKIP() << "Samba server not available: " << why;
    M_Local = M_Server.SharePath() + "/race";
    fs::create_directories(M_Local);
    fs::permissions(M_Local, fs::perms::all);
    M_Control = M_Server.SharePath() + "/../control";
    fs::create_directories(M_Control);
  }
  void TearDown() override {
    M_Pollers.clear();
    M_Server.Stop();
    M_Lab.Stop();
  }
  static constexpr int kMachines = 2;
  NetworkLab M_Lab;
  SambaServer M_Server;
  std::string M_Local, M_Control;
  std::vector<std::unique_ptr<ChildProcess>> M_Pollers;
};

// At least 10 000 claims of 8 pollers on 2 machines, 20 files at a time: no file is claimed
// twice and none is lost. XEL_RACE_ROUNDS and XEL_RACE_POLLERS_PER_MACHINE make it longer.
TEST_F(NetShareRaceTest, EveryContestedClaimHasExactlyOneWinner) {
  const int pollers = kMachines * EnvOr("XEL_RACE_POLLERS_PER_MACHINE", 4), files = 20;
  const int rounds = EnvOr("XEL_RACE_ROUNDS", (10000 + pollers * files - 1) / (pollers * files));
  const std::string unc = M_Server.Unc() + "\\race";
  for (int p = 0; p < pollers; ++p) {
    M_Pollers.push_back(std::make_unique<ChildProcess>());
    ChildProcess* child = M_Pollers.back().get();
    ASSERT_TRUE(M_Lab.RunIn(1 + p % kMachines, [&] {
      child->Start("race_poller", {unc, M_Control, std::to_string(p), std::to_string(rounds),
                                   std::to_string(files)});
    }));
  }
  for (auto& child : M_Pollers) {
    std::string line;
    ASSERT_TRUE(child->ReadLine(&line, 20000) && line == "ready") << "a poller did not connect";
  }
  int claims = 0, duplicates = 0, lost = 0, elsewhere = 0;
  std::string firstProblem;
  const auto t0 = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (int f = 0; f < files; ++f) {
      std::ofstream(M_Local + "/" + FileName(f)) << "round " << round << " file " << f;
    }
    std::ofstream(M_Control + "/round-" + std::to_string(round)) << "go";
    std::map<int, std::vector<int>> winners;  // file -> pollers the share said yes to
    for (int p = 0; p < pollers; ++p) {
      for (;;) {
        std::string line;
        ASSERT_TRUE(M_Pollers[p]->ReadLine(&line, 60000)) << "poller " << p << " stopped";
        if (line[0] == 'D') break;
        winners[std::atoi(line.c_str() + 2)].push_back(p);
      }
    }
    claims += pollers * files;
    // Each file must be under the name of its one winner, with its own content.
    for (int f = 0; f < files; ++f) {
      const std::vector<int>& won = winners[f];
      duplicates += won.size() > 1;
      int found = 0;
      for (int p : won) {
        std::ifstream in(M_Local + "/" + LockName(f, p));
        std::stringstream content;
        content << in.rdbuf();
        const bool bThere =
            in && content.str() == "round " + std::to_string(round) + " file " + std::to_string(f);
        found += bThere;
        elsewhere += !bThere;
        if (!bThere && firstProblem.empty()) {
          firstProblem = "round " + std::to_string(round) + ": poller " + std::to_string(p) +
                         " was told it claimed " + FileName(f) + ", but its file is not there";
        }
      }
      lost += found == 0;
    }
    fs::remove_all(M_Local);
    fs::create_directories(M_Local);
    fs::permissions(M_Local, fs::perms::all);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf(
      "%d claims by %d pollers on %d machines in %d rounds of %d files: %d files claimed "
      "twice, %d lost, %d claims reported that left the file elsewhere, %.1f s\n",
      claims, pollers, kMachines, rounds, files, duplicates, lost, elsewhere, seconds);
  EXPECT_EQ(duplicates, 0) << firstProblem;
  EXPECT_EQ(lost, 0) << firstProblem;
  EXPECT_EQ(elsewhere, 0) << firstProblem;
  for (auto& child : M_Pollers) {
    int code = -1;
    EXPECT_TRUE(child->Wait(10000, &code));
    EXPECT_EQ(code, 0);
  }
}

}  // namespace
}  // namespace velmora::osal
