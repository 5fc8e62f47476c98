// Race of several claiming threads on one folder, with expired claims among the files: every
// file once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ClaimTestSupport.h"
#include "FileDetector.h"
#include "FileLocker.h"
#include "ImportPackage.h"
#include "osal/File.h"

namespace velmora::xelc {
namespace {

constexpr int kFiles = 2000;
constexpr int kExpired = 500;  // of kFiles, written as claims that ran out long ago
constexpr int kClaimers = 4;

// What one claimer did: the plain names it claimed, and the claims it could not finish.
struct ClaimLog {
  std::vector<std::string> claimed;
  int release_failures = 0;
  int lost_races = 0;         // candidates another claimer renamed first
  int unreadable_claims = 0;  // won claims whose file could not be opened right after
};

// Opens the claimed file as the package resolver does (others may read and write but not
// delete or rename it). A claimer that lost the race must not keep the winner out, not even
// for a moment: the claim would be offered without its content.
bool CanReadClaimedFile(const ImportPackage& package) {
  osal::OpenOptions options;
  options.access = osal::kAccessRead;
  options.share = osal::kShareRead | osal::kShareWrite;
  osal::File file;
  return file
      .Open(package.GetFoundFile().GetCurrentFileName(FileInfo::FullPath, false, true), options)
      .ok();
}

// Runs the import driver's two passes (unclaimed files, then expired claims) in a loop,
// claiming and releasing (deleting) every candidate it wins, until a round finds nothing.
ClaimLog ClaimUntilEmpty(const std::string& folder) {
  ClaimLog log;
  FileDetector detector;
  FileLocker locker;
  for (bool bFoundAny = true; bFoundAny;) {
    bFoundAny = false;
    for (int32_t mode : {FileDetector::kUnclaimedFiles, FileDetector::kExpiredClaims}) {
      ImportPackage package;
      if (!package.SetWatchedFolder(folder)) return log;
      package.SetFileSearchMask("*.dat");
      detector.Reset();
      detector.SetMode(mode);
      while (detector.FindNextCandidate(&package)) {
        bFoundAny = true;
        const bool bClaimed = package.GetFoundFileLockState() == FileInfo::Locked
                                  ? locker.UpdateLock(&package, false)
                                  : locker.Lock(&package);
        if (!bClaimed) {
          ++log.lost_races;
          continue;
        }
        log.claimed.push_back(package.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false));
        log.unreadable_claims += !CanReadClaimedFile(package);
        log.release_failures += !locker.Release(&package);
      }
    }
  }
  return log;
}

// kFiles files, the first kExpired of them as claims that ran out long ago.
void FillFolder(const std::string& folder) {
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i) + ".dat";
    if (i < kExpired) name += ".20200101000000.Old" + std::to_string(10 + i % 90) + "+03600.locked";
    ASSERT_TRUE(testing::WriteFile(folder + "/" + name, "x"));
  }
}

TEST(ClaimRaceTest, ThreadsClaimEachFileOnce) {
  testing::ScratchFolder dir;
  FillFolder(dir.path());
  std::vector<ClaimLog> logs(kClaimers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClaimers; ++i) {
    threads.emplace_back([&, i] { logs[i] = ClaimUntilEmpty(dir.path()); });
  }
  for (std::thread& t : threads) t.join();
  std::map<std::string, int> counts;
  ClaimLog sum;
  for (const ClaimLog& log : logs) {
    for (const std::string& name : log.claimed) ++counts[name];
    sum.release_failures += log.release_failures;
    sum.lost_races += log.lost_races;
    sum.unreadable_claims += log.unreadable_claims;
  }
  // How often claimers collided; shown, not checked, since it depends on scheduling.
  ::testing::Test::RecordProperty("lost_races", sum.lost_races);
  EXPECT_EQ(sum.release_failures, 0);
  EXPECT_EQ(sum.unreadable_claims, 0);
  EXPECT_EQ(counts.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(counts["f" + std::to_string(i) + ".dat"], 1) << i;
  EXPECT_THAT(testing::ListNames(dir.path()), ::testing::IsEmpty());
}

}  // namespace
}  // namespace velmora::xelc
