// Tests of network shares: connecting with credentials, file operations over SMB, and claims
// that pollers on machines of their own (network namespaces) race for on one share.
#include "osal/NetShare.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "ChildProcess.h"
#include "NetworkLab.h"
#include "SambaServer.h"
#include "osal/File.h"

XEL_SMBCLIENT_LEAK_SUPPRESSION()

namespace velmora::osal {
namespace {

namespace fs = std::filesystem;
using velmora::testing::ChildProcess;
using velmora::testing::NetworkLab;
using velmora::testing::SambaServer;
using enum ErrorKind;

std::string ReadLocal(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

using NetShareServerTest = velmora::testing::SambaServerTest;

TEST_F(NetShareServerTest, ConnectsWithTheRightAccountOnlyAndRunsFileOperations) {
  const std::string root = SambaServer::UncRoot(), path = root + "\\in\\a.txt";
  // Not connected yet: paths below the share fail clearly.
  File file;
  DirReader reader;
  EXPECT_EQ(file.Open(path, OpenOptions{}).kind(), kPathNotFound);
  EXPECT_EQ(reader.Open(root).code(), ENOTCONN);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(DeleteFile(path).code(), ENOTCONN);
  EXPECT_EQ(AddShareConnection("\\\\server-only", "u", "p"), kNetBadNetName);
  EXPECT_EQ(AddShareConnection("C:\\local", "u", "p"), kNetBadNetName);
  EXPECT_EQ(AddShareConnection(root, SambaServer::kUser, "wrong"), kNetLogonFailure);
  EXPECT_FALSE(IsShareConnected(root));
  EXPECT_EQ(AddShareConnection(root + "\\missing", SambaServer::kUser, SambaServer::kPassword),
            kNetBadNetName);
  EXPECT_EQ(AddShareConnection(root, SambaServer::kUser, SambaServer::kPassword), kNetOk);
  EXPECT_TRUE(IsShareConnected(root));
  // Share names ignore case, and a folder below the share is the same connection.
  EXPECT_EQ(
      AddShareConnection("\\\\127.0.0.1\\XELTEST", SambaServer::kUser, SambaServer::kPassword),
      kNetAlreadyAssigned);
  EXPECT_EQ(AddShareConnection(root, std::string(SambaServer::kUser) + "@XELTEST", "other"),
            kNetCredentialConflict);
  const std::string local = M_Server.SharePath();
  std::vector<std::string> created;
  ASSERT_TRUE(CreateFolders(root + "\\in\\sub", &created).ok());
  EXPECT_EQ(created,
            (std::vector<std::string>{"//127.0.0.1/xeltest/in", "//127.0.0.1/xeltest/in/sub"}));
  EXPECT_EQ(CreateFolder(root + "\\in").kind(), kExists);
  // Create, write, read back, truncate; the long-path form reaches the same file.
  const std::string a = root + "\\in\\a 100%.txt";
  {
    File file;
    OpenOptions options{kAccessRead | kAccessWrite, kShareRead, Disposition::kCreateNew};
    uint64_t size = 0;
    ASSERT_TRUE(file.Open(a, options).ok() && file.Write("hello share", 11).ok() &&
                file.Size(&size).ok() && file.Truncate(5).ok() && file.Flush().ok());
    EXPECT_EQ(size, 11u);
    // Files open: the share is not dropped without force.
    EXPECT_EQ(CancelShareConnection(root), kNetOpenFiles);
    ASSERT_TRUE(file.Close().ok());
  }
  EXPECT_EQ(ReadLocal(local + "/in/a 100%.txt"), "hello");
  {
    File again, file;
    EXPECT_EQ(again.Open(a, OpenOptions{kAccessWrite, kShareRead, Disposition::kCreateNew}).kind(),
              kExists);
    ASSERT_TRUE(file.Open("\\\\?\\UNC\\127.0.0.1\\xeltest\\in\\a 100%.txt", OpenOptions{}).ok());
    char buffer[16];
    size_t read = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof buffer, &read).ok());
    EXPECT_EQ(std::string(buffer, read), "hello");
  }
  File missing;
  EXPECT_EQ(missing.Open(root + "\\in\\nope.txt", OpenOptions{}).kind(), kNotFound);
  EXPECT_EQ(missing.Open(root + "\\nofolder\\nope.txt", OpenOptions{}).kind(), kPathNotFound);
  // Rename without replace refuses an existing target and leaves both files alone.
  const std::string b = root + "\\in\\b.txt";
  {
    File file;
    ASSERT_TRUE(
        file.Open(b, OpenOptions{kAccessWrite, kShareRead, Disposition::kCreateAlways}).ok() &&
        file.Write("B", 1).ok());
  }
  EXPECT_EQ(Rename(a, b, RenameMode::kNoReplace, false).kind(), kExists);
  EXPECT_EQ(ReadLocal(local + "/in/b.txt"), "B");
  EXPECT_TRUE(FileExists(a));
  const std::string c = root + "\\in\\c.txt";
  ASSERT_TRUE(Rename(a, c, RenameMode::kNoReplace, false).ok());
  EXPECT_FALSE(FileExists(a));
  // A claimed file's attributes come from the claim until the file is changed here; a
  // read-only file is not deleted.
  uint32_t before = 0, during = 0, after = 0;
  ASSERT_TRUE(GetFileAttributes(c, &before).ok() && SetFileAttributes(c, kAttrReadOnly).ok() &&
              GetFileAttributes(c, &during).ok());
  EXPECT_EQ(DeleteFile(c).kind(), kAccessDenied);
  ASSERT_TRUE(SetFileAttributes(c, kAttrNormal).ok() && GetFileAttributes(c, &after).ok());
  EXPECT_EQ(std::vector({before, during, after}),
            std::vector<uint32_t>({kAttrNormal, kAttrReadOnly, kAttrNormal}));
  // A folder is not opened as a file, also not by an exclusive create.
  for (Disposition disposition : {Disposition::kOpenExisting, Disposition::kCreateNew}) {
    File folder;
    EXPECT_EQ(
        folder.Open(root + "\\in\\sub", OpenOptions{kAccessRead, kShareRead, disposition}).kind(),
        kAccessDenied);
  }
  EXPECT_EQ(Rename(a, c, RenameMode::kNoReplace, false).kind(), kNotFound);
  ASSERT_TRUE(Rename(c, b, RenameMode::kReplace, false).ok());
  EXPECT_EQ(ReadLocal(local + "/in/b.txt"), "hello");
  EXPECT_EQ(Rename(b, "/tmp/b.txt", RenameMode::kReplace, false).kind(), kNotSupported);
  {
    DirReader reader;
    ASSERT_TRUE(reader.Open(root + "\\in").ok());
    EXPECT_EQ(CancelShareConnection(root), kNetDeviceInUse);  // while listing
    std::vector<std::string> names;
    DirEntry entry;
    while (reader.Next(&entry)) {
      names.push_back(entry.name + (entry.is_folder ? "/" : std::to_string(entry.size)));
      EXPECT_GT(entry.last_write_time, 116444736000000000ull);  // after 1970
    }
    EXPECT_TRUE(reader.status().ok());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"b.txt5", "sub/"}));
  }
  uint32_t attributes = 0;
  ASSERT_TRUE(GetFileAttributes(root + "\\in", &attributes).ok());
  EXPECT_EQ(attributes, kAttrDirectory);
  // Deleting: files, then folders once empty; delete-on-close.
  EXPECT_EQ(DeleteFolder(root + "\\in").kind(), kNotEmpty);
  ASSERT_TRUE(DeleteFile(b).ok());
  EXPECT_EQ(DeleteFile(b).kind(), kNotFound);
  {
    File temp;
    OpenOptions options{kAccessWrite, kShareNone, Disposition::kCreateNew};
    options.delete_on_close = true;
    ASSERT_TRUE(temp.Open(root + "\\in\\sub\\t.tmp", options).ok());
  }
  EXPECT_FALSE(FileExists(root + "\\in\\sub\\t.tmp"));
  ASSERT_TRUE(DeleteFolder(root + "\\in\\sub").ok() && DeleteFolder(root + "\\in").ok());
  EXPECT_EQ(CancelShareConnection(root), kNetOk);
  EXPECT_FALSE(IsShareConnected(root));
  EXPECT_EQ(CancelShareConnection(root), kNetNotConnected);
  EXPECT_EQ(CreateFolder(root + "\\x").code(), ENOTCONN);
}

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
  const std::string why = StartLabWithServer(lab, server, 1 + kMachines);
  if (!why.empty()) GTEST_SKIP() << why;
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
