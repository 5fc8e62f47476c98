// FileDetector: finds the next file of a watched folder that a poll may claim.
#pragma once

#include <cstdint>
#include <string>

#include "FolderIterator.h"

namespace velmora::xelc {

class ImportPackage;

// Lists the package's search folder once (files only, oldest modification first, the
// package's structured types in front) and hands out the entries that pass the claim
// rules one by one, writing each into the package as its found file.
//
// Mode 0 looks for files nobody has claimed; mode 1 for claims whose time-out has run
// out (the caller then takes them over with FileLocker::UpdateLock). The detector does
// not re-check the disk: a file claimed by someone else between listing and locking
// simply fails to lock, and the caller asks for the next candidate.
// One detector belongs to one poll and is used by one thread.
class FileDetector {
 public:
  // Codes of CheckWatchedFolder.
  enum FolderCode : int32_t {
    kFolderMissingArgument = 0,
    kFolderNotListable = 1,
    kFolderNoFiles = 2,
    kFolderHasFiles = 3,
  };
  enum Mode : int32_t { kUnclaimedFiles = 0, kExpiredClaims = 1 };

  FileDetector();
  virtual ~FileDetector();
  FileDetector(const FileDetector&) = delete;
  FileDetector& operator=(const FileDetector&) = delete;

  // Trace category "File_FileDetector".
  virtual const char* ClassName() const;

  // Files modified less than this many seconds ago are not offered (0: no limit).
  void SetMinimumAge(int32_t seconds) { M_MinimumAge = seconds; }
  // 0 unclaimed files; any other value expired claims.
  void SetMode(int32_t mode) { M_Mode = mode; }
  int32_t GetMode() const { return M_Mode; }

  // Tests whether the package's watched folder can be listed and holds a candidate for
  // the current mode and settings (the candidate is only probed, not claimed; the
  // detector is reset afterwards). *pText receives the message. Returns a FolderCode.
  int32_t CheckWatchedFolder(ImportPackage* pPackage, std::string* pText);

  // Writes the next candidate of the current listing into the package's found file and
  // returns true; lists the search folder first when no listing is active. Returns false
  // (found file not valid, lock state 0) when the listing holds no further candidate.
  bool FindNextCandidate(ImportPackage* pPackage);

  // Applies the claim rules of the current mode to one entry of the search folder; an
  // accepted entry becomes the package's found file (with its lock state). The entry's name
  // is taken as it was listed, never split at a separator.
  bool CheckCriteria(ImportPackage* pPackage, const FileInfo& entry);

  // Drops the listing: the next FindNextCandidate lists the folder again.
  void Reset();

 private:
  // False (with a trace line naming the file) when the import could not handle the file
  // whose plain name is name on this platform.
  bool CanImport(ImportPackage* pPackage, const std::string& name);

  FolderIterator M_Iterator;
  bool M_bActive = false;
  int32_t M_MinimumAge = 0;
  int32_t M_Mode = kUnclaimedFiles;
};

}  // namespace velmora::xelc
