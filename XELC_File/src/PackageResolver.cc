// PackageResolver: completes the import package of a claimed file (companions, XML links,
// attachments).
#include "PackageResolver.h"

#include <cerrno>
#include <string>
#include <vector>

#include "FileInfo.h"
#include "FolderIterator.h"
#include "ImportPackage.h"
#include "XmlProcessor.h"
#include "util/Trace.h"

namespace velmora::xelc {

const char* PackageResolver::ClassName() const { return "File_PackageResolver"; }

void PackageResolver::Resolve(ImportPackage* pPackage) {
  if (!pPackage) return;
  if (pPackage->GetTriggerMode() > 0) SearchTriggeredFiles(pPackage);
  if (pPackage->IsImportModeQvXml() || pPackage->IsImportModeCustomXml()) ProcessXml(pPackage);
  BuildAttachedFilesList(pPackage);
}

void PackageResolver::SearchTriggeredFiles(ImportPackage* pPackage) {
  const int32_t mode = pPackage->GetTriggerMode();
  // Folder and mask come from the trigger file's name before the claim, not its lock name.
  const std::string folder =
      pPackage->GetFoundFileTriggerSearchMask(mode, FileInfo::FolderOnly, false, false);
  const std::string mask =
      pPackage->GetFoundFileTriggerSearchMask(mode, FileInfo::NameOnly, false, false);
  XEL_TRACE_OBJ(this, util::General_60, "Searching triggered files in %s", folder.c_str());

  FolderIterator iterator;
  iterator.SetEntryType(FolderIterator::FilesOnly);
  iterator.SetSortOrder(FolderIterator::SortByModifiedDate);
  iterator.SetFolder(folder);
  iterator.SetFileSearchMasks(std::vector<std::string>{mask});
  // With XML import on, a descriptor among the companions must come first: it is the
  // candidate that ProcessXml examines.
  if (pPackage->IsImportModeQvXml() || pPackage->IsImportModeCustomXml()) {
    iterator.SetPreferredExtensions(pPackage->GetStructuredTypes());
  }

  errno = 0;
  FileInfo candidate;
  if (!iterator.Search() || !iterator.GetNextEntry(&candidate)) {
    XEL_TRACE_OBJ(this, util::General_60, "No triggered files found, error=%i", errno);
    return;
  }
  do {
    CheckTriggeredFile(pPackage, candidate);
  } while (iterator.GetNextEntry(&candidate));
}

void PackageResolver::CheckTriggeredFile(ImportPackage* pPackage, const FileInfo& candidate) {
  const std::string path = candidate.GetFileName(FileInfo::FullPath, false, false);
  const std::string trigger =
      pPackage->GetFoundFile().GetFileName(FileInfo::FullPath, false, false);
  if (path == trigger) {
    XEL_TRACE_OBJ(this, util::General_60, "Ignoring trigger file itself %s", path.c_str());
    return;
  }
  // Another poll's claim, or the trigger file itself under its lock name.
  if (ImportPackage::HasLockedExtension(path)) {
    XEL_TRACE_OBJ(this, util::General_60, "Ignoring locked file %s", path.c_str());
    return;
  }
  // False while no change-to extension is configured.
  if (pPackage->HasRenamedTriggerExtension(path)) {
    XEL_TRACE_OBJ(this, util::General_60, "Ignoring renamed (processed) trigger file %s",
                  path.c_str());
    return;
  }
  // The package checks containment in the input base directory and traces the addition.
  (void)pPackage->AddTriggeredFile(candidate);
}

void PackageResolver::ProcessXml(ImportPackage* pPackage) {
  const FileInfo* pDescriptor = nullptr;
  if (pPackage->GetTriggerMode() > 0) {
    const std::vector<FileInfo>& triggered = pPackage->GetTriggeredFiles();
    if (!triggered.empty()) pDescriptor = &triggered.front();
  } else {
    // The found file is claimed: it is read under its lock name but judged by its own name.
    pDescriptor = &pPackage->GetFoundFile();
  }
  std::string path;
  std::string name;
  if (pDescriptor != nullptr) {
    name = pDescriptor->GetFileName(FileInfo::NameOnly, false, false);
    // A name that the plain path cannot carry (a POSIX name with "\") is read through the
    // long form, which names exactly that file.
    const bool bLong = !FileInfo::NameFitsConnectorPath(name);
    path = pDescriptor->GetCurrentFileName(FileInfo::FullPath, false, bLong);
  }
  // With plain files allowed, only structured-type files can be descriptors; the others
  // travel as plain files.
  if (pPackage->IsImportModePlainFiles() && !pPackage->HasStructuredType(name)) return;
  XmlProcessor processor;
  processor.Process(path, pPackage);
}

void PackageResolver::BuildAttachedFilesList(ImportPackage* pPackage) {
  // Custom XML alone does not link files, so only QV XML import changes the order.
  const bool bTrigger = pPackage->GetTriggerMode() > 0;
  const bool bQvXml = pPackage->IsImportModeQvXml();
  const std::vector<FileInfo>& triggered = pPackage->GetTriggeredFiles();
  const std::vector<FileInfo>& linked = pPackage->GetXmlLinkedFiles();

  if (bTrigger && bQvXml) {
    XEL_TRACE_OBJ(this, util::General_60,
                  "Trigger and XML used, creating combined attached files list");
    if (triggered.empty()) return;
    // The descriptor (sorted first among the companions) leads, followed by the files it
    // links and then the remaining companions. The trigger file itself is never attached.
    (void)pPackage->AddAttachedFile(triggered.front());
    for (const FileInfo& file : linked) (void)pPackage->AddAttachedFile(file);
    for (size_t i = 1; i < triggered.size(); ++i) (void)pPackage->AddAttachedFile(triggered[i]);
  } else if (bTrigger) {
    XEL_TRACE_OBJ(this, util::General_60,
                  "Trigger used but not XML, attaching all triggered files");
    for (const FileInfo& file : triggered) (void)pPackage->AddAttachedFile(file);
  } else if (bQvXml) {
    XEL_TRACE_OBJ(this, util::General_60,
                  "XML used without trigger, attaching all XML linked files");
    (void)pPackage->AddAttachedFile(pPackage->GetFoundFile());
    for (const FileInfo& file : linked) (void)pPackage->AddAttachedFile(file);
  } else {
    XEL_TRACE_OBJ(this, util::General_60,
                  "No trigger and no XML used, attaching only the found file");
    (void)pPackage->AddAttachedFile(pPackage->GetFoundFile());
  }
}

}  // namespace velmora::xelc
