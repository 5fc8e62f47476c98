// Race of several claiming threads on one folder, with expired claims among the files: every
// file once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
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

// What the claimers did together.
struct Tally {
  std::mutex mutex;
  std::map<std::string, int> claimed;  // plain name: how often
  std::atomic<int> release_failures{0};
  std::atomic<int> lost_races{0};         // candidates another claimer renamed first
  std::atomic<int> unreadable_claims{0};  // won claims whose file could not be opened right after
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
void ClaimUntilEmpty(const std::string& folder, Tally* pTally) {
  FileDetector detector;
  FileLocker locker;
  for (bool bFoundAny = true; bFoundAny;) {
    bFoundAny = false;
    for (int32_t mode : {FileDetector::kUnclaimedFiles, FileDetector::kExpiredClaims}) {
      ImportPackage package;
      if (!package.SetWatchedFolder(folder)) return;
      package.SetFileSearchMask("*.dat");
      detector.Reset();
      detector.SetMode(mode);
      while (detector.FindNextCandidate(&package)) {
        bFoundAny = true;
        const bool bClaimed = package.GetFoundFileLockState() == FileInfo::Locked
                                  ? locker.UpdateLock(&package, false)
                                  : locker.Lock(&package);
        if (!bClaimed) {
          ++pTally->lost_races;
          continue;
        }
        {
          std::lock_guard<std::mutex> guard(pTally->mutex);
          ++pTally->claimed[package.GetFoundFile().GetFileName(FileInfo::NameOnly, false, false)];
        }
        pTally->unreadable_claims += !CanReadClaimedFile(package);
        pTally->release_failures += !locker.Release(&package);
      }
    }
  }
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
  Tally tally;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClaimers; ++i) threads.emplace_back(ClaimUntilEmpty, dir.path(), &tally);
  for (std::thread& t : threads) t.join();
  // How often claimers collided; shown, not checked, since it depends on scheduling.
  ::testing::Test::RecordProperty("lost_races", tally.lost_races);
  EXPECT_EQ(tally.release_failures, 0);
  EXPECT_EQ(tally.unreadable_claims, 0);
  EXPECT_EQ(tally.claimed.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(tally.claimed["f" + std::to_string(i) + ".dat"], 1) << i;
  EXPECT_THAT(testing::ListNames(dir.path()), ::testing::IsEmpty());
}

}  // namespace
}  // namespace velmora::xelc
