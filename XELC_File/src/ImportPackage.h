// ImportPackage: the settings, folders, found file and companion files of one poll's import.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FileInfo.h"
#include "osal/File.h"
#include "util/CommResult.h"
#include "util/Result.h"

namespace velmora::xel {
class XmlParser;
}

namespace velmora::xelc {

// The data of one poll's import: the settings from the request and the configuration, the
// input base directory, the watched and search folders, the found file with its claim, the
// files that belong with it, and the communication result reported in the answer.
//
// The package enforces the input base directory: no watched folder, search folder,
// companion or linked file outside it enters the package. It is a value type (copies copy
// every field, lists included); it touches the disk only in AddAttachedFile, which opens a
// file to see that it can be read. Not thread-safe: a package belongs to one poll.
class ImportPackage {
 public:
  // Bits of the import mode.
  enum ImportModeBit : int32_t {
    ImportPlainFiles = 1,
    ImportCustomXml = 2,
    ImportQvXml = 4,
  };
  // Connection levels the package reports as the import progresses.
  static constexpr int32_t kLevelFound = 50;
  static constexpr int32_t kLevelLocked = 70;
  static constexpr int32_t kLevelClaimed = 80;
  // Error code of a content error (SetContentError).
  static constexpr int32_t kContentErrorCode = 50000;
  // List items of this many bytes or more are dropped.
  static constexpr size_t kMaxListItem = 256;
  // Base folders of this many bytes or more are skipped.
  static constexpr size_t kMaxBaseFolder = 1023;

  // Empty lists, all numbers 0, flags false; communication result category OK (1),
  // level 0, no code, no diagnostics.
  ImportPackage();
  virtual ~ImportPackage() = default;
  ImportPackage(const ImportPackage&) = default;
  ImportPackage& operator=(const ImportPackage&) = default;

  // Trace category "File_ImportPackage".
  virtual const char* ClassName() const;

  // --- Settings (import driver) --------------------------------------------------------

  // Stores the folder (normalised) and marks the base directory configured, even when the
  // path is empty. Several base folders may be given, separated by CR/LF.
  void SetInputBaseDirectory(std::string_view path);
  const FileInfo& GetInputBaseDirectory() const { return M_InputBaseDirectory; }
  // Splits at commas and blanks; keeps items beginning with "." (shorter than 256 bytes).
  void SetStructuredTypes(std::string_view text);
  const std::vector<std::string>& GetStructuredTypes() const { return M_StructuredTypes; }
  // Splits at commas and blanks; keeps items shorter than 256 bytes.
  void SetFileSearchMask(std::string_view text);
  const std::vector<std::string>& GetFileSearchMasks() const { return M_SearchMasks; }

  // Sets the watched folder when it lies inside the input base directory (false otherwise,
  // nothing changed). The search folder is set too while it is not yet valid.
  bool SetWatchedFolder(std::string_view path);
  // The watched folder (FolderOnly), with separator and/or long-path prefix on request.
  std::string GetWatchedFolder(bool withSeparator, bool longPath) const;
  const FileInfo& GetWatchedFolderInfo() const { return M_WatchedFolder; }
  // Sets the folder being searched (the watched folder or a first-level subfolder) when it
  // lies inside the input base directory; false otherwise, nothing changed.
  bool SetSearchFolder(std::string_view path);
  // The search folder (FolderOnly), with separator and/or long-path prefix on request.
  std::string GetSearchFolder(bool withSeparator, bool longPath) const;
  const FileInfo& GetSearchFolderInfo() const { return M_SearchFolder; }

  // 0 watched folder only, 1 first-level subfolders only, 2 both.
  void SetSubfolderMode(int32_t mode) { M_SubfolderMode = mode; }
  int32_t GetSubfolderMode() const { return M_SubfolderMode; }
  // 0 no trigger file; 1 same base name, 2 whole folder, 3 subfolder named after the file.
  void SetTriggerMode(int32_t mode) { M_TriggerMode = mode; }
  int32_t GetTriggerMode() const { return M_TriggerMode; }
  // Bit set of ImportModeBit.
  void SetImportMode(int32_t mode) { M_ImportMode = mode; }
  int32_t GetImportMode() const { return M_ImportMode; }
  bool IsImportModePlainFiles() const { return (M_ImportMode & ImportPlainFiles) != 0; }
  bool IsImportModeCustomXml() const { return (M_ImportMode & ImportCustomXml) != 0; }
  bool IsImportModeQvXml() const { return (M_ImportMode & ImportQvXml) != 0; }
  void SetXmlState(int32_t state) { M_XmlState = state; }
  int32_t GetXmlState() const { return M_XmlState; }
  void SetRootXmlPartNumber(int32_t number) { M_RootXmlPartNumber = number; }
  int32_t GetRootXmlPartNumber() const { return M_RootXmlPartNumber; }
  // Stores the processed-trigger extension in the found file ("done" becomes ".done").
  void SetTriggerChangeToExtension(std::string_view extension);
  std::string GetTriggerChangeToExtension() const;

  // --- Found-file state (detector, locker, driver) --------------------------------------

  // The found file's M_Valid; true raises the connection level to 50.
  void SetFoundFileValid(bool valid);
  bool IsFoundFileValid() const { return M_FoundFile.IsValid(); }
  // The found file's lock state (FileInfo::LockState); 1 or more raises the level to 70.
  void SetFoundFileLockState(int32_t state);
  int32_t GetFoundFileLockState() const { return M_FoundFile.GetLockState(); }
  // An import or lock error occurred for the found file; a locker does not release it.
  void SetErrorOccurred(bool occurred) { M_bErrorOccurred = occurred; }
  bool HasErrorOccurred() const { return M_bErrorOccurred; }
  // The found file is claimed and offered; true raises the level to 80.
  void SetClaimed(bool claimed);
  bool IsClaimed() const { return M_bClaimed; }

  // The found file. Change its lock state through SetFoundFileLockState (or the lock
  // operations below) so that the connection level follows.
  FileInfo& GetFoundFile() { return M_FoundFile; }
  const FileInfo& GetFoundFile() const { return M_FoundFile; }
  const std::vector<FileInfo>& GetTriggeredFiles() const { return M_TriggeredFiles; }
  const std::vector<FileInfo>& GetXmlLinkedFiles() const { return M_XmlLinkedFiles; }
  const std::vector<FileInfo>& GetAttachedFiles() const { return M_AttachedFiles; }
  // The first attached file as AddAttachedFile opened it, for the answer to read from
  // instead of opening it once more; closed once the answer has taken it (copies of the
  // package share it).
  const std::shared_ptr<osal::File>& FirstAttachedHandle() const { return M_pFirstAttached; }
  util::CommResult& GetCommResult() { return M_CommResult; }
  const util::CommResult& GetCommResult() const { return M_CommResult; }

  // --- Forwarding operations on the found file (FileInfo) --------------------------------

  // The found file's SetFullPath (marks it valid in the FileInfo; the connection level
  // follows only SetFoundFileValid).
  void SetFoundFileFullPath(std::string_view path);
  // Takes over a folder entry as the found file, keeping the processed-trigger extension.
  void TakeOverFoundFile(const FileInfo& entry);
  // The lock search mask of each search mask ("*" when there is none).
  std::vector<std::string> GetLockSearchMasks() const;
  // New time stamp and random string on the found file (no state change).
  void GenerateFoundFileLockTimeStamp() { M_FoundFile.GenerateLockTimeStamp(); }
  void GenerateFoundFileLockRandomString() { M_FoundFile.GenerateLockRandomString(); }
  // New claim: time stamp, random string, time-out "03600", state 1 (level 70).
  void SetFoundFileNewLock();
  // Permanent claim: time stamp of nines, time-out "99999", random string kept, state 2.
  void SetFoundFilePermanentLock();
  // The found file's ParseLockedFileName: 0 invalid, 1 lock, 2 permanent lock. The caller
  // stores the result with SetFoundFileLockState.
  int32_t ParseFoundFileLockedName(std::string_view name) {
    return M_FoundFile.ParseLockedFileName(name);
  }
  // The found file's CheckTimedOut: true while its claim is still running.
  bool CheckFoundFileTimedOut() const { return M_FoundFile.CheckTimedOut(); }
  // The found file's trigger search mask (FileInfo::GetTriggerSearchMask).
  std::string GetFoundFileTriggerSearchMask(int32_t kind, FileInfo::PathPart part,
                                            bool withSeparator, bool longPath) const {
    return M_FoundFile.GetTriggerSearchMask(kind, part, withSeparator, longPath);
  }
  // True when name ends with ".locked" (ignoring case).
  static bool HasLockedExtension(std::string_view name) {
    return FileInfo::HasLockedExtension(name);
  }
  // True when name ends with the processed-trigger extension (ignoring case).
  bool HasRenamedTriggerExtension(std::string_view name) const {
    return M_FoundFile.HasRenamedTriggerExtension(name);
  }
  // True when name ends with one of the structured types, ignoring case.
  bool HasStructuredType(std::string_view name) const;

  // --- Folder tests ------------------------------------------------------------------

  // True when the folder path lies inside (one of) the input base directory folder(s), or
  // no base directory is configured. A ".." behind the base rejects the path.
  bool IsInsideInputBaseDirectory(std::string_view path) const;
  // The folders that the file system may not lead out of while this package's files are
  // listed, claimed, read and completed: the input base directory's folders, or the watched
  // folder when no base directory is configured. For osal::FileConfinement.
  std::vector<std::string> GetConfiningFolders() const;
  // True when the path, normalised as a folder, is the watched folder.
  bool IsWatchedFolder(std::string_view path) const;
  // The first-level subfolder of the watched folder that holds path, with a trailing
  // separator ("C:\in\a\b" gives "C:\in\a\" for watched folder C:\in); the whole path when
  // it is a first-level subfolder itself; empty when path is not below the watched folder.
  std::string GetFirstLevelFolder(std::string_view path) const;

  // --- Adding files (resolver, XML processor) ----------------------------------------

  // Appends a trigger companion when its current full path lies inside the input base
  // directory, and a link there leads no further than the thread's file confinement allows
  // (osal::CheckConfined); otherwise records a content error. Returns true when added.
  bool AddTriggeredFile(const FileInfo& file);
  // Appends the file linked from the descriptor at descriptorPath (the current full path,
  // short or long, of the found file or a triggered file; any other path is split at its
  // last separator); a relative link is taken relative to the descriptor's folder. Outside the
  // input base directory, or behind a link that leads out of the thread's file confinement,
  // a content error is recorded instead. Returns true when added.
  bool AddXmlLinkedFile(std::string_view descriptorPath, std::string_view linkedPath);
  // Appends a file to the answer's attachments when it is not already there (same plain
  // full path, case included) and can be opened for reading; an unreadable file records a
  // content error. Returns true when added.
  bool AddAttachedFile(const FileInfo& file);
  // Records the first content error of the poll in the communication result (category 2,
  // code 50000, diagnostics text); later calls change nothing.
  void SetContentError(const std::string& text);

  // --- Answer support (poll answer builder) --------------------------------------------

  // Writes at the document's current position (inside "import"): "Folder" (the watched
  // folder), "TriggerFileUsed" (1 or 0) and "FileList" with one "FilePath" for the found
  // file when a trigger mode is set and one per attached file, all plain full paths (never
  // lock names). Returns the worst of the write results; ErrLogicArgs without a document.
  util::Result WriteImportRecord(xel::XmlParser* pDocument) const;

 private:
  // The found file or the triggered file whose current full path (short or long form) is
  // path; null when there is none.
  const FileInfo* FindFile(std::string_view path) const;
  // Normalises path as a folder (SetPath, then the FolderOnly text).
  static std::string NormaliseFolder(std::string_view path);
  // The folders of the input base directory (split at CR and LF, without long-path prefix and
  // trailing separators; blank and overlong lines left out).
  std::vector<std::string> BaseFolders() const;
  // Splits at commas and blanks; drops items of kMaxListItem bytes or more, and items not
  // beginning with "." when dotOnly.
  static std::vector<std::string> SplitList(std::string_view text, bool dotOnly);

  FileInfo M_InputBaseDirectory;
  std::vector<std::string> M_StructuredTypes;
  std::vector<std::string> M_SearchMasks;
  FileInfo M_WatchedFolder;
  FileInfo M_SearchFolder;
  int32_t M_SubfolderMode = 0;
  int32_t M_TriggerMode = 0;
  int32_t M_ImportMode = 0;
  int32_t M_XmlState = 0;
  bool M_bErrorOccurred = false;
  bool M_bClaimed = false;
  int32_t M_RootXmlPartNumber = 0;
  util::CommResult M_CommResult;
  FileInfo M_FoundFile;
  std::vector<FileInfo> M_TriggeredFiles;
  std::vector<FileInfo> M_XmlLinkedFiles;
  std::vector<FileInfo> M_AttachedFiles;
  std::shared_ptr<osal::File> M_pFirstAttached;
};

}  // namespace velmora::xelc
