// FileLocker: claims, renews and finishes claims on files of a watched folder by renaming.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::xelc {

class FileInfo;
class ImportPackage;

// Every change the folder import makes on disk in a watched folder goes through here.
//
// A file is claimed by renaming it in place to its lock name; since two renames of one
// source name cannot both succeed, the rename alone decides between pollers of this or
// other processes (or machines) sharing the folder. A rename that claims or renews a claim
// never replaces an existing file. The locker holds no state and no locks: create one per
// operation. Objects may be used from any thread; the package belongs to the caller's
// thread. Nothing throws: failures are false results (or access codes) with trace lines.
class FileLocker {
 public:
  // Access codes of CheckFolderAccess.
  enum AccessCode : int32_t {
    kAccessMissingArgument = 0,
    kAccessNoRead = 1,
    kAccessNoWrite = 2,
    kAccessNoRename = 3,
    kAccessNoDelete = 4,
    kAccessFull = 5,
  };

  FileLocker() = default;
  virtual ~FileLocker() = default;

  // Trace category "File_FileLocker".
  virtual const char* ClassName() const;

  // Tests create, write, rename, read and delete in the package's search folder with a
  // test file "testfile.bin" (created under its permanent lock name, renamed to a new
  // lock name, read back and released). Uses the package's found file. *pText receives
  // "Watched folder <folder>" and the outcome. Returns an AccessCode.
  int32_t CheckFolderAccess(ImportPackage* pPackage, std::string* pText);

  // Claims the package's found file (state NotLocked) by renaming it to a new lock name.
  // On success the state is Locked and the error flag is cleared; on failure the state is
  // NotLocked and the error flag is set.
  bool Lock(ImportPackage* pPackage);

  // Renames a Locked found file to a new lock name (bPermanently false: fresh time stamp
  // and random string, also used to take over an expired claim) or to its permanent lock
  // name (bPermanently true, state LockedPermanent). Sets the error flag on failure.
  bool UpdateLock(ImportPackage* pPackage, bool bPermanently);

  // Finishes a Locked claim: deletes XML-linked and triggered files, then deletes the
  // found file or, for a trigger file with a processed-trigger extension, renames it to
  // its processed name (replacing an older file of that name). Refused when the package's
  // error flag is set.
  bool Release(ImportPackage* pPackage);

  // Deletes one file, clearing its read-only attribute when it cannot be deleted as it is.
  bool DeleteFile(const std::string& path);
  // Removes a folder when it is empty (clearing its read-only attribute first).
  bool DeleteEmptyFolder(const std::string& folder);
  // Removes the folder and all its subfolders, deepest first, as long as they hold no
  // files. Stops at the first folder that cannot be removed.
  bool RemoveEmptyFolderTree(const std::string& folder);
  // Deletes the file when it lies inside the input base directory; when it lies in a
  // subfolder below the watched folder, the emptied first-level subfolder tree is removed
  // as well (never the watched folder itself). Returns the result of the delete.
  bool DeleteFileAndSubtree(ImportPackage* pPackage, const std::string& path);
  // As above for the file under its current name (FileInfo::GetCurrentFileName), with the
  // folder taken from the description rather than split off a path, so that a name read
  // from the disk is never split.
  bool DeleteFileAndSubtree(ImportPackage* pPackage, const FileInfo& file);

 private:
  // Clears path's read-only attribute when set; what ("file" or "folder") names it in the
  // trace when its attributes cannot be read.
  void ClearReadOnly(const std::string& path, const char* what);
  // The folder clean-up of DeleteFileAndSubtree for a file that lay in folder.
  void RemoveEmptiedSubtree(ImportPackage* pPackage, const std::string& folder);
};

}  // namespace velmora::xelc
