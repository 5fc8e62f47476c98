// FileLocker: claims, renews and finishes claims on files of a watched folder by renaming.
#include "FileLocker.h"

#include <vector>

#include "FileInfo.h"
#include "FolderIterator.h"
#include "ImportPackage.h"
#include "osal/File.h"
#include "util/Trace.h"

namespace velmora::xelc {

namespace {

using util::General_10;
using util::General_60;
using util::General_Error;

constexpr FileInfo::PathPart kName = FileInfo::NameOnly;
constexpr FileInfo::PathPart kFull = FileInfo::FullPath;

// Size of the access test file; its content does not matter.
constexpr size_t kTestFileSize = 2048;
constexpr char kTestFileName[] = "testfile.bin";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Renames with write-through. Claims and renewals must never replace an existing file:
// an existing target means the name is taken, and replacing it would destroy someone's
// claim or file.
osal::Status RenameFile(const std::string& from, const std::string& to, bool bReplace) {
  return osal::Rename(from, to,
                      bReplace ? osal::RenameMode::kReplace : osal::RenameMode::kNoReplace,
                      /*write_through=*/true);
}

}  // namespace

const char* FileLocker::ClassName() const { return "File_FileLocker"; }

int32_t FileLocker::CheckFolderAccess(ImportPackage* pPackage, std::string* pText) {
  if (pPackage == nullptr || pText == nullptr) return kAccessMissingArgument;
  std::string folder = pPackage->GetWatchedFolder(false, false);
  *pText = "Watched folder " + folder;
  XEL_TRACE_OBJ(this, General_60, "Checking write access of %s", folder.c_str());

  // The test file is created under its permanent lock name, so that no other poller ever
  // takes it for a file to import, even when this check is interrupted.
  FileInfo& found = pPackage->GetFoundFile();
  found.SetPath(pPackage->GetSearchFolder(false, false));
  found.SetFileName(kTestFileName);
  pPackage->SetFoundFilePermanentLock();
  std::string permanentName = found.GetLockedFileName(kFull, true, true);

  bool bWritten = false;
  {
    osal::File file;
    osal::OpenOptions options;
    options.access = osal::kAccessWrite;
    options.share = osal::kShareRead | osal::kShareWrite | osal::kShareDelete;
    options.disposition = osal::Disposition::kCreateAlways;
    if (file.Open(permanentName, options).ok()) {
      std::vector<char> content(kTestFileSize, 'x');
      bWritten = file.Write(content.data(), content.size()).ok();
      (void)file.Close();
    }
  }
  if (!bWritten) {
    *pText += " allows no write access.";
    XEL_TRACE_OBJ(this, General_Error, "%s", pText->c_str());
    return kAccessNoWrite;
  }
  XEL_TRACE_OBJ(this, General_60, "Created and written testfile %s",
                found.GetLockedFileName(kName, false, false).c_str());

  pPackage->SetFoundFileNewLock();
  std::string lockName = found.GetLockedFileName(kFull, true, true);
  osal::Status status = RenameFile(permanentName, lockName, false);
  if (!status.ok()) {
    *pText += " allows no file rename.";
    XEL_TRACE_OBJ(this, General_Error, "Could not lock testfile as %s, error=%i",
                  found.GetLockedFileName(kName, false, false).c_str(), status.code());
    return kAccessNoRename;
  }
  pPackage->SetFoundFileLockState(FileInfo::Locked);
  XEL_TRACE_OBJ(this, General_60, "Locked testfile as %s",
                found.GetLockedFileName(kName, false, false).c_str());

  bool bRead = false;
  {
    osal::File file;
    osal::OpenOptions options;
    options.access = osal::kAccessRead;
    options.share = osal::kShareRead | osal::kShareWrite | osal::kShareDelete;
    options.disposition = osal::Disposition::kOpenExisting;
    if (file.Open(lockName, options).ok()) {
      std::vector<char> content(kTestFileSize);
      size_t read = 0;
      bRead = file.Read(content.data(), content.size(), &read).ok() && read > 0;
      (void)file.Close();
    }
  }
  if (!bRead) {
    *pText += " allows no read access.";
    XEL_TRACE_OBJ(this, General_Error, "%s", pText->c_str());
    return kAccessNoRead;
  }
  XEL_TRACE_OBJ(this, General_60, "Read from testfile %s",
                found.GetLockedFileName(kName, false, false).c_str());

  // Without an extension the release deletes the test file instead of keeping it under a
  // processed-trigger name.
  pPackage->SetTriggerChangeToExtension("");
  if (!Release(pPackage)) {
    *pText += " allows no file delete.";
    XEL_TRACE_OBJ(this, General_Error, "%s", pText->c_str());
    return kAccessNoDelete;
  }
  *pText += " is fully accessible.";
  XEL_TRACE_OBJ(this, General_60, "%s", pText->c_str());
  return kAccessFull;
}

bool FileLocker::Lock(ImportPackage* pPackage) {
  if (pPackage == nullptr) return false;
  FileInfo& found = pPackage->GetFoundFile();
  if (!pPackage->IsFoundFileValid()) {
    XEL_TRACE_OBJ(this, General_Error, "Cannot lock file %s (not found)",
                  found.GetCurrentFileName(kName, false, false).c_str());
    return false;
  }
  if (pPackage->GetFoundFileLockState() > FileInfo::NotLocked) {
    XEL_TRACE_OBJ(this, General_Error, "Cannot lock file %s (already locked)",
                  found.GetCurrentFileName(kName, false, false).c_str());
    return false;
  }
  pPackage->SetFoundFileNewLock();
  osal::Status status = RenameFile(found.GetFileName(kFull, true, true),
                                   found.GetLockedFileName(kFull, true, true), false);
  if (status.ok()) {
    XEL_TRACE_OBJ(this, General_10, "Locked file as %s",
                  found.GetLockedFileName(kName, false, false).c_str());
    pPackage->SetFoundFileLockState(FileInfo::Locked);
    pPackage->SetErrorOccurred(false);
    return true;
  }
  // Typically another poller renamed the file first: the plain name is gone.
  XEL_TRACE_OBJ(this, General_Error, "Could not lock file as %s, error=%i",
                found.GetLockedFileName(kName, false, false).c_str(), status.code());
  XEL_TRACE_OBJ(this, General_Error, "Original file name %s",
                found.GetFileName(kName, false, false).c_str());
  pPackage->SetFoundFileLockState(FileInfo::NotLocked);
  pPackage->SetErrorOccurred(true);
  return false;
}

bool FileLocker::UpdateLock(ImportPackage* pPackage, bool bPermanently) {
  if (pPackage == nullptr) return false;
  FileInfo& found = pPackage->GetFoundFile();
  if (!pPackage->IsFoundFileValid()) {
    XEL_TRACE_OBJ(this, General_Error, "Cannot update lock on file %s (not found)",
                  found.GetLockedFileName(kName, false, false).c_str());
    return false;
  }
  // A permanent lock is final: it is never renewed, so it is never released either.
  if (pPackage->GetFoundFileLockState() != FileInfo::Locked) {
    XEL_TRACE_OBJ(this, General_Error, "Cannot update lock on file %s (file not locked)",
                  found.GetLockedFileName(kName, false, false).c_str());
    return false;
  }
  std::string oldName = found.GetLockedFileName(kFull, true, true);
  if (bPermanently) {
    XEL_TRACE_OBJ(this, General_60, "Locking permanently");
    pPackage->SetFoundFilePermanentLock();
  } else {
    pPackage->SetFoundFileNewLock();
  }
  osal::Status status = RenameFile(oldName, found.GetLockedFileName(kFull, true, true), false);
  if (status.ok()) {
    XEL_TRACE_OBJ(this, General_10, "Updated lock on file as %s",
                  found.GetLockedFileName(kName, false, false).c_str());
    return true;
  }
  XEL_TRACE_OBJ(this, General_Error, "Could not update lock on file as %s, error=%i",
                found.GetLockedFileName(kName, false, false).c_str(), status.code());
  XEL_TRACE_OBJ(this, General_Error, "Original file name %s", oldName.c_str());
  pPackage->SetErrorOccurred(true);
  return false;
}

bool FileLocker::Release(ImportPackage* pPackage) {
  if (pPackage == nullptr) return false;
  FileInfo& found = pPackage->GetFoundFile();
  if (pPackage->GetFoundFileLockState() != FileInfo::Locked) {
    XEL_TRACE_OBJ(this, General_Error, "Cannot release file %s (not locked or locked permanently)",
                  found.GetLockedFileName(kName, false, false).c_str());
    return false;
  }
  if (pPackage->HasErrorOccurred()) {
    XEL_TRACE_OBJ(this, General_Error, "Will not release file %s (import or lock error ocurred)",
                  found.GetLockedFileName(kName, false, false).c_str());
    return false;
  }

  // Companions go first; a failure to delete one does not keep the claimed file.
  if (pPackage->IsImportModeQvXml()) {
    for (const FileInfo& linked : pPackage->GetXmlLinkedFiles()) {
      (void)DeleteFileAndSubtree(pPackage, linked);
    }
  }
  if (pPackage->GetTriggerMode() > 0) {
    const auto& triggered = pPackage->GetTriggeredFiles();
    for (const FileInfo& file : triggered) {
      (void)DeleteFile(file.GetCurrentFileName(kFull, true, true));
    }
    // The first companion is gone by now; this call is made for the clean-up of the
    // subfolder it lay in.
    if (!triggered.empty()) (void)DeleteFileAndSubtree(pPackage, triggered.front());
  }

  std::string lockName = found.GetLockedFileName(kFull, true, true);
  if (pPackage->GetTriggerMode() > 0 && !found.GetTriggerChangeToExtension().empty()) {
    // A processed trigger file is kept under its processed name; a file of that name left
    // by an earlier import of the same trigger is replaced.
    std::string processed = found.GetRenamedTriggerFileName(kFull, true, true);
    if (RenameFile(lockName, processed, true).ok()) {
      XEL_TRACE_OBJ(this, General_60, "Renamed trigger file to %s",
                    found.GetRenamedTriggerFileName(kName, false, false).c_str());
      pPackage->SetFoundFileLockState(FileInfo::NotLocked);
      found.SetTriggerRenamed(true);
      return true;
    }
    std::string text = "Could not rename locked trigger file " +
                       found.GetLockedFileName(kName, false, false) + " to " +
                       found.GetRenamedTriggerFileName(kName, false, false);
    XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
    pPackage->SetContentError(text);
    pPackage->SetErrorOccurred(true);
    return false;
  }

  if (DeleteFileAndSubtree(pPackage, found)) {
    pPackage->SetFoundFileLockState(FileInfo::NotLocked);
    return true;
  }
  std::string text = "Could not remove locked file " + found.GetLockedFileName(kFull, true, false);
  XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
  pPackage->SetContentError(text);
  pPackage->SetErrorOccurred(true);
  return false;
}

bool FileLocker::DeleteFile(const std::string& path) {
  // Most files go at the first attempt; the attributes are looked at only when one does not
  // (a read-only file cannot be deleted on Windows and on a share).
  osal::Status status = osal::DeleteFile(path);
  if (!status.ok()) {
    ClearReadOnly(path, "file");
    status = osal::DeleteFile(path);
  }
  if (status.ok()) {
    XEL_TRACE_OBJ(this, General_60, "Deleted file %s", path.c_str());
    return true;
  }
  XEL_TRACE_OBJ(this, General_Error, "Could not delete file %s, error=%i", path.c_str(),
                status.code());
  return false;
}

void FileLocker::ClearReadOnly(const std::string& path, const char* what) {
  uint32_t attributes = 0;
  const osal::Status status = osal::GetFileAttributes(path, &attributes);
  if (!status.ok()) {
    XEL_TRACE_OBJ(this, General_Error, "Could not read attributes of %s %s, error=%i", what,
                  path.c_str(), status.code());
    return;
  }
  if ((attributes & osal::kAttrReadOnly) != 0) {
    (void)osal::SetFileAttributes(path, attributes & ~static_cast<uint32_t>(osal::kAttrReadOnly));
  }
}

bool FileLocker::DeleteEmptyFolder(const std::string& folder) {
  ClearReadOnly(folder, "folder");
  const osal::Status status = osal::DeleteFolder(folder);
  if (status.ok()) {
    XEL_TRACE_OBJ(this, General_60, "Deleted empty folder %s", folder.c_str());
    return true;
  }
  XEL_TRACE_OBJ(this, General_Error, "Could not delete folder %s, error=%i", folder.c_str(),
                status.code());
  return false;
}

bool FileLocker::RemoveEmptyFolderTree(const std::string& folder) {
  bool ok = true;
  FolderIterator iterator;
  iterator.SetEntryType(FolderIterator::FoldersOnly);
  iterator.SetSortOrder(FolderIterator::SortByCreatedDate);
  iterator.SetFolder(folder);
  (void)iterator.Search();
  FileInfo entry;
  while (ok && iterator.GetNextEntry(&entry)) {
    ok = RemoveEmptyFolderTree(entry.GetFileName(kFull, true, true));
  }
  if (ok) ok = DeleteEmptyFolder(folder);
  return ok;
}

bool FileLocker::DeleteFileAndSubtree(ImportPackage* pPackage, const std::string& path) {
  if (pPackage == nullptr || !pPackage->IsInsideInputBaseDirectory(path)) return false;
  bool result = DeleteFile(path);
  FileInfo file;
  file.SetFullPath(path);
  RemoveEmptiedSubtree(pPackage, file.GetPath(FileInfo::FolderOnly, false, false));
  return result;
}

bool FileLocker::DeleteFileAndSubtree(ImportPackage* pPackage, const FileInfo& file) {
  if (pPackage == nullptr) return false;
  // The file is deleted under its name on disk now, and its folder is taken from the
  // description: a "\" that a POSIX name holds never leads to another folder. So only the
  // folder is judged as text; the name is an entry of it, whatever it looks like ("..\x" on
  // Linux), and the deletion removes that entry and nothing it might lead to.
  if (!pPackage->IsInsideInputBaseDirectory(file.GetPath(FileInfo::FolderOnly, false, false))) {
    return false;
  }
  bool result = DeleteFile(file.GetCurrentFileName(kFull, true, true));
  RemoveEmptiedSubtree(pPackage, file.GetPath(FileInfo::FolderOnly, false, false));
  return result;
}

void FileLocker::RemoveEmptiedSubtree(ImportPackage* pPackage, const std::string& folder) {
  // Only a file in a subfolder below the watched folder leaves a folder to clean up; the
  // watched folder itself always stays, even when empty.
  std::string watched = pPackage->GetWatchedFolder(false, false);
  if (!watched.empty() && folder.size() > watched.size() && IsSeparator(folder[watched.size()]) &&
      !pPackage->IsWatchedFolder(folder)) {
    std::string firstLevel = pPackage->GetFirstLevelFolder(folder);
    if (!firstLevel.empty() && !pPackage->IsWatchedFolder(firstLevel)) {
      XEL_TRACE_OBJ(this, General_60, "Trying to remove watched folder subtree %s",
                    firstLevel.c_str());
      (void)RemoveEmptyFolderTree(firstLevel);
    }
  }
}

}  // namespace velmora::xelc
