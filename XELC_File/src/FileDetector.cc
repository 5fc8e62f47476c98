// FileDetector: finds the next file of a watched folder that a poll may claim.
#include "FileDetector.h"

#include <vector>

#include "FileInfo.h"
#include "ImportPackage.h"
#include "util/Trace.h"

namespace velmora::xelc {

using util::General_20;
using util::General_60;
using util::General_Error;

FileDetector::FileDetector() {
  M_Iterator.SetEntryType(FolderIterator::FilesOnly);
  M_Iterator.SetSortOrder(FolderIterator::SortByModifiedDate);
}

FileDetector::~FileDetector() { M_Iterator.Reset(); }

const char* FileDetector::ClassName() const { return "File_FileDetector"; }

void FileDetector::Reset() {
  M_Iterator.Reset();
  M_bActive = false;
}

int32_t FileDetector::CheckWatchedFolder(ImportPackage* pPackage, std::string* pText) {
  if (pPackage == nullptr || pText == nullptr) return kFolderMissingArgument;
  std::string folder = pPackage->GetWatchedFolder(false, false);
  XEL_TRACE_OBJ(this, General_60, "Checking existence of %s", folder.c_str());
  *pText = "Watched folder " + folder;

  // Any folder that can be listed holds at least its self and parent entries, so this
  // listing fails only for a folder that is missing or unreadable.
  FolderIterator probe;
  probe.SetSkipSelfAndParent(false);
  probe.SetEntryType(FolderIterator::FoldersOnly);
  probe.SetFolder(folder);
  probe.SetFileSearchMasks({"*"});
  if (!probe.Search()) {
    *pText += " failed to list contents";
    XEL_TRACE_OBJ(this, General_Error, "%s", pText->c_str());
    return kFolderNotListable;
  }

  // The candidate found here is only a probe: it is not claimed.
  int32_t code = kFolderNoFiles;
  if (FindNextCandidate(pPackage)) {
    *pText += " found. Contains files to import.";
    code = kFolderHasFiles;
  } else {
    *pText += " found. No files to import.";
  }
  XEL_TRACE_OBJ(this, General_60, "%s", pText->c_str());
  Reset();
  return code;
}

bool FileDetector::FindNextCandidate(ImportPackage* pPackage) {
  if (pPackage == nullptr) return false;
  if (!M_bActive) {
    std::vector<std::string> masks;
    if (M_Mode == kUnclaimedFiles) {
      masks = pPackage->GetFileSearchMasks();
      if (masks.empty()) masks.push_back("*");
    } else {
      masks = pPackage->GetLockSearchMasks();
    }
    M_Iterator.SetFileSearchMasks(masks);
    M_Iterator.SetFolder(pPackage->GetSearchFolder(false, false));
    M_Iterator.SetMinimumAge(M_MinimumAge);
    // Structured files (an import descriptor such as .xml) go first whatever the import
    // mode, so that a descriptor is claimed before the files it links.
    M_Iterator.SetPreferredExtensions(pPackage->GetStructuredTypes());
    (void)M_Iterator.Search();
    M_bActive = true;
  }

  bool bAccept = false;
  do {
    FileInfo entry;
    M_bActive = M_Iterator.GetNextEntry(&entry);
    if (M_bActive) {
      std::string name = entry.GetCurrentFileName(FileInfo::NameOnly, false, false);
      bAccept = CheckCriteria(pPackage, entry);
      if (bAccept) {
        XEL_TRACE_OBJ(this, General_20, "Found matching file %s", name.c_str());
        pPackage->SetFoundFileValid(true);
        pPackage->SetErrorOccurred(false);
      } else {
        XEL_TRACE_OBJ(this, General_60, "Found file %s did not match criteria. Get next file.",
                      name.c_str());
      }
    } else {
      XEL_TRACE_OBJ(this, General_60, "No (further) files found. Back to ImportDriver.");
      pPackage->SetFoundFileValid(false);
      pPackage->SetErrorOccurred(false);
      pPackage->SetFoundFileLockState(FileInfo::NotLocked);
    }
  } while (!bAccept && M_bActive);
  return bAccept;
}

bool FileDetector::CheckCriteria(ImportPackage* pPackage, const FileInfo& entry) {
  if (pPackage == nullptr) return false;
  const std::string name = entry.GetFileName(FileInfo::NameOnly, false, false);
  FileInfo& found = pPackage->GetFoundFile();

  if (M_Mode == kUnclaimedFiles) {
    if (ImportPackage::HasLockedExtension(name)) {
      XEL_TRACE_OBJ(this, General_60, "Ignoring locked file %s", name.c_str());
      return false;
    }
    if (pPackage->HasRenamedTriggerExtension(name)) {
      XEL_TRACE_OBJ(this, General_60, "Ignoring renamed (processed) trigger file %s", name.c_str());
      return false;
    }
    if (!CanImport(pPackage, name)) return false;
    // Folder and name are kept apart: the listed name is never split again.
    found.SetPath(pPackage->GetSearchFolder(false, false));
    found.SetFileName(name);
    found.SetTriggerRenamed(false);
    pPackage->SetFoundFileLockState(FileInfo::NotLocked);
    return true;
  }

  found.SetPath(pPackage->GetSearchFolder(false, false));
  int32_t result = found.ParseLockedName(name);
  found.SetValid(true);
  pPackage->SetFoundFileLockState(result);
  if (result == 0) {
    XEL_TRACE_OBJ(this, General_60, "Ignoring invalid locked file %s", name.c_str());
    return false;
  }
  if (result == FileInfo::LockedPermanent) {
    XEL_TRACE_OBJ(this, General_60, "Ignoring locked permanent file %s", name.c_str());
    return false;
  }
  if (pPackage->CheckFoundFileTimedOut()) {
    XEL_TRACE_OBJ(this, General_60, "Ignoring not timed-out locked file %s", name.c_str());
    return false;
  }
  if (!CanImport(pPackage, found.GetFileName(FileInfo::NameOnly, false, false))) {
    pPackage->SetFoundFileLockState(FileInfo::NotLocked);
    return false;
  }
  pPackage->SetFoundFileLockState(FileInfo::Locked);
  return true;
}

bool FileDetector::CanImport(ImportPackage* pPackage, const std::string& name) {
  // The companions of trigger mode 3 lie in a subfolder named after the trigger file; a
  // name that a folder path cannot carry on this platform would lead to another folder.
  if (pPackage->GetTriggerMode() == 3 && !FileInfo::NameFitsConnectorPath(name)) {
    XEL_TRACE_OBJ(this, General_Error,
                  "Ignoring file %s: its name cannot name the subfolder of its triggered files "
                  "on this platform",
                  name.c_str());
    return false;
  }
  return true;
}

}  // namespace velmora::xelc
