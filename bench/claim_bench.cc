// Folder listing and file claiming of the folder import, next to the bare system calls.
//
// Listing: FolderIterator over 10000 files (8000 match "*.dat", 2000 do not), sorted by
// modification date, against opendir/readdir plus fstatat of every entry.
// Claiming: FileDetector plus FileLocker::Lock until a folder of 10000 files is claimed,
// against renameat2(RENAME_NOREPLACE) of the same names, with and without the folder
// fsync that a write-through rename costs.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FileDetector.h"
#include "FileLocker.h"
#include "FolderIterator.h"
#include "ImportPackage.h"

namespace {

namespace fs = std::filesystem;
using velmora::xelc::FileDetector;
using velmora::xelc::FileInfo;
using velmora::xelc::FileLocker;
using velmora::xelc::FolderIterator;
using velmora::xelc::ImportPackage;

constexpr int kFiles = 10000;

std::string MakeFolder(const char* tag) {
  std::string pattern =
      (fs::temp_directory_path() / (std::string("xelc_bench_") + tag + "_XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Names f00000.dat ... ; every fifth gets ".tmp" instead (filtered out by "*.dat").
std::string FileName(int i, bool withFiltered) {
  char name[32];
  snprintf(name, sizeof name, "f%05d.%s", i, withFiltered && i % 5 == 4 ? "tmp" : "dat");
  return name;
}

void Fill(const std::string& folder, bool withFiltered) {
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(folder + "/" + FileName(i, withFiltered)) << "x";
  }
}

// The listing folder, made once per process and removed at exit.
const std::string& ListingFolder() {
  static const std::string folder = [] {
    std::string f = MakeFolder("list");
    Fill(f, true);
    std::atexit([] { fs::remove_all(ListingFolder()); });
    return f;
  }();
  return folder;
}

void BM_FolderIterator_MaskDateSort(benchmark::State& state) {
  const std::string& folder = ListingFolder();
  size_t kept = 0;
  for (auto _ : state) {
    FolderIterator iterator;
    iterator.SetEntryType(FolderIterator::FilesOnly);
    iterator.SetSortOrder(FolderIterator::SortByModifiedDate);
    iterator.SetFileSearchMasks({"*.dat"});
    iterator.SetFolder(folder);
    iterator.Search();
    kept = iterator.GetEntryCount();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_FolderIterator_MaskDateSort)->Unit(benchmark::kMillisecond);

void BM_Bare_ReaddirStat(benchmark::State& state) {
  const std::string& folder = ListingFolder();
  for (auto _ : state) {
    DIR* dir = ::opendir(folder.c_str());
    int fd = ::dirfd(dir);
    size_t files = 0;
    while (struct dirent* entry = ::readdir(dir)) {
      struct stat st;
      if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        ++files;
      }
    }
    ::closedir(dir);
    benchmark::DoNotOptimize(files);
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_Bare_ReaddirStat)->Unit(benchmark::kMillisecond);

// One iteration claims a whole fresh folder of kFiles files (setup and clean-up untimed).
void BM_Claim_DetectorLocker(benchmark::State& state) {
  int64_t claims = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string folder = MakeFolder("claim");
    Fill(folder, false);
    state.ResumeTiming();

    ImportPackage package;
    package.SetWatchedFolder(folder);
    package.SetFileSearchMask("*.dat");
    FileDetector detector;
    FileLocker locker;
    while (detector.FindNextCandidate(&package)) {
      if (locker.Lock(&package)) ++claims;
    }

    state.PauseTiming();
    fs::remove_all(folder);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(claims);
}
BENCHMARK(BM_Claim_DetectorLocker)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The bare renames of the same claims; with state.range(0) the folder is synced after each
// rename, as a write-through rename does.
void BM_Bare_RenameNoReplace(benchmark::State& state) {
  const bool bSync = state.range(0) != 0;
  int64_t renames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string folder = MakeFolder("rename");
    Fill(folder, false);
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    std::vector<std::string> from, to;
    for (int i = 0; i < kFiles; ++i) {
      from.push_back(FileName(i, false));
      to.push_back(from.back() + ".20261204045539.Qk7_x+03600.locked");
    }
    state.ResumeTiming();

    for (int i = 0; i < kFiles; ++i) {
      if (::renameat2(dirFd, from[i].c_str(), dirFd, to[i].c_str(), RENAME_NOREPLACE) == 0) {
        ++renames;
        if (bSync) ::fsync(dirFd);
      }
    }

    state.PauseTiming();
    ::close(dirFd);
    fs::remove_all(folder);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(renames);
}
BENCHMARK(BM_Bare_RenameNoReplace)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
