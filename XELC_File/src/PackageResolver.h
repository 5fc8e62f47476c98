// PackageResolver: completes the import package of a claimed file (companions, XML links,
// attachments).
#pragma once

namespace velmora::xelc {

class FileInfo;
class ImportPackage;

// Completes the import package of a file that has just been claimed, always in this order:
// 1. in trigger mode (1, 2 or 3) finds the companion files the trigger file stands for and
//    records them as the package's triggered files;
// 2. when custom or QV XML import is on, hands the descriptor candidate to an XmlProcessor;
// 3. fills the attached files list (the files the poll answer carries) in the order that
//    trigger mode and QV XML import decide.
// Failures (companion or link outside the input base directory, unreadable file, bad XML)
// end up in the package's content error; resolution always runs to the end.
// Stateless: the import driver makes one per claimed file. Works on the calling thread's
// package only and takes no locks.
class PackageResolver {
 public:
  PackageResolver() = default;
  virtual ~PackageResolver() = default;
  PackageResolver(const PackageResolver&) = delete;
  PackageResolver& operator=(const PackageResolver&) = delete;

  // Trace category "File_PackageResolver".
  virtual const char* ClassName() const;

  // Completes *pPackage in place; reports nothing to the caller. A null package is ignored.
  void Resolve(ImportPackage* pPackage);

  // --- Steps of Resolve, public so that their rules can be exercised one at a time -------

  // Lists the trigger file's companions (trigger mode 1, 2 or 3) and runs CheckTriggeredFile
  // on each, oldest first, structured types first when XML import is on.
  void SearchTriggeredFiles(ImportPackage* pPackage);
  // Adds candidate to the triggered files unless it is the trigger file itself, a claimed
  // file (".locked") or an already processed trigger file.
  void CheckTriggeredFile(ImportPackage* pPackage, const FileInfo& candidate);
  // Picks the descriptor candidate (first triggered file, or the found file without trigger
  // mode) and lets an XmlProcessor examine it, unless plain files are allowed and its name
  // is not of a structured type.
  void ProcessXml(ImportPackage* pPackage);
  // Fills the attached files list from the found, triggered and XML-linked files.
  void BuildAttachedFilesList(ImportPackage* pPackage);
};

}  // namespace velmora::xelc
