// ImportPackage: the settings, folders, found file and companion files of one poll's import.
#include "ImportPackage.h"

#include <cstring>

#include "osal/File.h"
#include "util/Text.h"
#include "util/Trace.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Prefix and equality tests for paths that decide whether a path may be touched at all.
//
// Windows file names ignore case, so comparing paths ignoring case is exact there. On a
// case-sensitive file system two paths that differ only in case name different folders:
// a test ignoring case would let base /data/in admit /data/IN, a folder outside the
// configured base. Path tests therefore follow the file system's own rule; names that are
// only matched against masks and extensions keep ignoring case everywhere.
// "\" and "/" both separate path components in this system, so they compare equal.
std::string UnifySeparators(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

bool PathStartsWith(std::string_view path, std::string_view prefix) {
  return xelc::PathStartsWith(path, prefix, osal::FileNamesIgnoreCase());
}

bool PathEquals(std::string_view a, std::string_view b) {
  const std::string ua = UnifySeparators(a);
  const std::string ub = UnifySeparators(b);
  if (osal::FileNamesIgnoreCase()) return util::CompareNoCase(ua, ub) == 0;
  return ua == ub;
}

bool EndsWithNoCase(std::string_view name, std::string_view tail) {
  if (tail.empty() || name.size() < tail.size()) return false;
  return util::CompareNoCase(name.substr(name.size() - tail.size()), tail) == 0;
}

}  // namespace

ImportPackage::ImportPackage() { M_CommResult.SetErrorCategory(util::CommOk); }

const char* ImportPackage::ClassName() const { return "File_ImportPackage"; }

std::string ImportPackage::NormaliseFolder(std::string_view path) {
  FileInfo folder;
  folder.SetPath(path);
  return folder.GetFileName(FileInfo::FolderOnly, false, false);
}

std::vector<std::string> ImportPackage::SplitList(std::string_view text, bool dotOnly) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = text.find_first_not_of(", \t", pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(", \t", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    if (item.size() < kMaxListItem && (!dotOnly || item[0] == '.')) items.emplace_back(item);
    pos = end;
  }
  return items;
}

// --- Settings ----------------------------------------------------------------------------

void ImportPackage::SetInputBaseDirectory(std::string_view path) {
  M_InputBaseDirectory.SetPath(path);
  M_InputBaseDirectory.SetValid(true);
}

void ImportPackage::SetStructuredTypes(std::string_view text) {
  M_StructuredTypes = SplitList(text, true);
}

void ImportPackage::SetFileSearchMask(std::string_view text) {
  M_SearchMasks = SplitList(text, false);
}

bool ImportPackage::SetWatchedFolder(std::string_view path) {
  FileInfo folder;
  folder.SetPath(path);
  folder.SetValid(true);
  if (!IsInsideInputBaseDirectory(folder.GetFileName(FileInfo::FolderOnly, false, false))) {
    return false;
  }
  M_WatchedFolder = folder;
  if (!M_SearchFolder.IsValid()) M_SearchFolder = folder;
  return true;
}

std::string ImportPackage::GetWatchedFolder(bool withSeparator, bool longPath) const {
  return M_WatchedFolder.GetFileName(FileInfo::FolderOnly, withSeparator, longPath);
}

bool ImportPackage::SetSearchFolder(std::string_view path) {
  FileInfo folder;
  folder.SetPath(path);
  folder.SetValid(true);
  if (!IsInsideInputBaseDirectory(folder.GetFileName(FileInfo::FolderOnly, false, false))) {
    return false;
  }
  M_SearchFolder = folder;
  return true;
}

std::string ImportPackage::GetSearchFolder(bool withSeparator, bool longPath) const {
  return M_SearchFolder.GetFileName(FileInfo::FolderOnly, withSeparator, longPath);
}

void ImportPackage::SetTriggerChangeToExtension(std::string_view extension) {
  M_FoundFile.SetTriggerChangeToExtension(extension);
}

std::string ImportPackage::GetTriggerChangeToExtension() const {
  return M_FoundFile.GetTriggerChangeToExtension();
}

// --- Found-file state --------------------------------------------------------------------

void ImportPackage::SetFoundFileValid(bool valid) {
  M_FoundFile.SetValid(valid);
  if (valid) M_CommResult.RaiseLevel(kLevelFound);
}

void ImportPackage::SetFoundFileLockState(int32_t state) {
  M_FoundFile.SetLockState(state);
  if (state >= FileInfo::Locked) M_CommResult.RaiseLevel(kLevelLocked);
}

void ImportPackage::SetClaimed(bool claimed) {
  M_bClaimed = claimed;
  if (claimed) M_CommResult.RaiseLevel(kLevelClaimed);
}

void ImportPackage::SetFoundFileFullPath(std::string_view path) { M_FoundFile.SetFullPath(path); }

void ImportPackage::TakeOverFoundFile(const FileInfo& entry) {
  // The processed-trigger extension is a setting of the poll, not of the entry.
  std::string extension = M_FoundFile.GetTriggerChangeToExtension();
  M_FoundFile = entry;
  M_FoundFile.SetTriggerChangeToExtension(extension);
}

std::vector<std::string> ImportPackage::GetLockSearchMasks() const {
  std::vector<std::string> masks;
  if (M_SearchMasks.empty()) {
    masks.push_back(FileInfo::MakeLockSearchMask("*"));
  } else {
    for (const std::string& mask : M_SearchMasks) {
      masks.push_back(FileInfo::MakeLockSearchMask(mask));
    }
  }
  return masks;
}

void ImportPackage::SetFoundFileNewLock() {
  M_FoundFile.MakeNewLock();
  SetFoundFileLockState(FileInfo::Locked);
}

void ImportPackage::SetFoundFilePermanentLock() {
  M_FoundFile.MakePermanentLock();
  SetFoundFileLockState(FileInfo::LockedPermanent);
}

bool ImportPackage::HasStructuredType(std::string_view name) const {
  for (const std::string& type : M_StructuredTypes) {
    if (EndsWithNoCase(name, type)) return true;
  }
  return false;
}

// --- Folder tests ------------------------------------------------------------------------

namespace {

// Calls visit with each folder of the base directories' text (one per line), a view that
// lasts for the call, until visit returns true; true when it did.
template <class Visit>
bool VisitBaseFolders(std::string_view baseText, Visit visit) {
  std::string unc;  // a folder that had the UNC form of the long-path prefix
  std::string_view rest(baseText);
  while (!rest.empty()) {
    size_t end = rest.find_first_of("\r\n");
    std::string_view folder = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (folder.size() >= ImportPackage::kMaxBaseFolder) continue;
    // Only the first line lost its long-path prefix in SetPath; candidates never carry one.
    if (folder.starts_with(FileInfo::kLongPathPrefixUnc)) {
      unc = RemoveLongPathPrefix(folder);
      folder = unc;
    } else if (folder.starts_with(FileInfo::kLongPathPrefix)) {
      folder.remove_prefix(FileInfo::kLongPathPrefix.size());
    }
    while (!folder.empty() && IsSeparator(folder.back())) folder.remove_suffix(1);
    // An empty line (or one made only of separators) names no folder; it must not admit
    // every path.
    if (!folder.empty() && visit(folder)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ImportPackage::BaseFolders() const {
  std::vector<std::string> folders;
  (void)VisitBaseFolders(M_InputBaseDirectory.GetFileName(FileInfo::FolderOnly, false, false),
                         [&folders](std::string_view folder) {
                           folders.emplace_back(folder);
                           return false;
                         });
  return folders;
}

std::vector<std::string> ImportPackage::GetConfiningFolders() const {
  if (M_InputBaseDirectory.IsValid() &&
      !M_InputBaseDirectory.GetFileName(FileInfo::FolderOnly, false, false).empty()) {
    return BaseFolders();
  }
  if (!M_WatchedFolder.IsValid()) return {};
  return {M_WatchedFolder.GetFileName(FileInfo::FolderOnly, false, false)};
}

bool ImportPackage::IsInsideInputBaseDirectory(std::string_view path) const {
  if (!M_InputBaseDirectory.IsValid()) return true;
  const std::string baseText = M_InputBaseDirectory.GetFileName(FileInfo::FolderOnly, false, false);
  if (baseText.empty()) return true;
  const std::string candidate = NormaliseFolder(path);
  return VisitBaseFolders(baseText, [&candidate](std::string_view base) {
    if (!PathStartsWith(candidate, base)) return false;
    // A ".." from the base's last character on could climb out of the base.
    if (candidate.find("..", base.size() - 1) != std::string::npos) return false;
    return candidate.size() <= base.size() || IsSeparator(candidate[base.size()]);
  });
}

bool ImportPackage::IsWatchedFolder(std::string_view path) const {
  return PathEquals(NormaliseFolder(path),
                    M_WatchedFolder.GetFileName(FileInfo::FolderOnly, false, false));
}

std::string ImportPackage::GetFirstLevelFolder(std::string_view path) const {
  const std::string candidate = NormaliseFolder(path);
  const std::string watched = M_WatchedFolder.GetFileName(FileInfo::FolderOnly, false, false);
  // Without a watched folder every path would "begin" with it.
  if (watched.empty() || !PathStartsWith(candidate, watched)) return std::string();
  if (candidate.size() == watched.size()) return candidate;
  // C:\input is not below C:\in: the watched folder must end at a separator, or a
  // neighbouring folder could be taken for a subfolder and removed.
  if (!IsSeparator(candidate[watched.size()])) return std::string();
  size_t pos = candidate.find_first_of("\\/", watched.size() + 1);
  if (pos == std::string::npos) return candidate;
  return candidate.substr(0, pos + 1);
}

// --- Adding files ------------------------------------------------------------------------

bool ImportPackage::AddTriggeredFile(const FileInfo& file) {
  std::string path = file.GetCurrentFileName(FileInfo::FullPath, false, false);
  // The name is checked as text and as the file system resolves it: a link among the
  // companions may lead out of the folders as well.
  if (!IsInsideInputBaseDirectory(path) ||
      osal::IsOutsideConfinement(
          osal::CheckConfined(file.GetCurrentFileName(FileInfo::FullPath, false, true)))) {
    std::string text = "File " + path + " is not in configured input base directory";
    SetContentError(text);
    XEL_TRACE_OBJ(this, util::General_Error, "%s", text.c_str());
    return false;
  }
  M_TriggeredFiles.push_back(file);
  XEL_TRACE_OBJ(this, util::General_80, "Added triggered file %s", path.c_str());
  return true;
}

bool ImportPackage::AddXmlLinkedFile(std::string_view descriptorPath, std::string_view linkedPath) {
  FileInfo linked;
  linked.SetFullPath(linkedPath);
  linked.SetValid(true);
  linked.SetLockState(FileInfo::NotLocked);
  linked.SetTriggerRenamed(false);
  // The link as written decides: a folder part such as "D:" (of "D:\b.pdf") loses its
  // separator in the FileInfo and would no longer look absolute.
  const std::string folder = linked.GetPath(FileInfo::FolderOnly, false, false);
  if (!IsAbsolutePath(linkedPath)) {
    // The descriptor is one of the package's own files: its folder is taken from there, as
    // its name (read from the disk) may hold a character that a split would take for a
    // separator. A path from elsewhere is split.
    FileInfo descriptor;
    const FileInfo* pDescriptor = FindFile(descriptorPath);
    if (pDescriptor == nullptr) {
      descriptor.SetFullPath(descriptorPath);
      pDescriptor = &descriptor;
    }
    linked.SetPath(pDescriptor->GetPath(FileInfo::FolderOnly, true, false) + folder);
  }
  if (!IsInsideInputBaseDirectory(linked.GetFileName(FileInfo::FullPath, false, false)) ||
      osal::IsOutsideConfinement(
          osal::CheckConfined(linked.GetFileName(FileInfo::FullPath, false, true)))) {
    std::string text =
        "File " + std::string(linkedPath) + " is not in configured input base directory";
    SetContentError(text);
    XEL_TRACE_OBJ(this, util::General_Error, "%s", text.c_str());
    return false;
  }
  M_XmlLinkedFiles.push_back(linked);
  XEL_TRACE_OBJ(this, util::General_80, "Added XML linked file %s",
                linked.GetCurrentFileName(FileInfo::FullPath, false, false).c_str());
  return true;
}

const FileInfo* ImportPackage::FindFile(std::string_view path) const {
  auto matches = [path](const FileInfo& file) {
    return file.GetCurrentFileName(FileInfo::FullPath, false, false) == path ||
           file.GetCurrentFileName(FileInfo::FullPath, false, true) == path;
  };
  if (M_FoundFile.IsValid() && matches(M_FoundFile)) return &M_FoundFile;
  for (const FileInfo& file : M_TriggeredFiles) {
    if (matches(file)) return &file;
  }
  return nullptr;
}

bool ImportPackage::AddAttachedFile(const FileInfo& file) {
  const std::string key = file.GetFileName(FileInfo::FullPath, false, false);
  const std::string path = file.GetCurrentFileName(FileInfo::FullPath, false, false);
  for (const FileInfo& attached : M_AttachedFiles) {
    // Exact comparison: the list guards against adding one FileInfo twice, not against
    // two spellings of a name.
    if (attached.GetFileName(FileInfo::FullPath, false, false) == key) {
      XEL_TRACE_OBJ(this, util::General_Error, "File %s is already in attached files list.",
                    path.c_str());
      return false;
    }
  }
  osal::File probe;
  osal::OpenOptions options;
  options.access = osal::kAccessRead;
  // Others may go on reading and writing, as with a plain fopen for reading.
  options.share = osal::kShareRead | osal::kShareWrite;
  options.disposition = osal::Disposition::kOpenExisting;
  // Opened through the long form, so that deep paths open on Windows as well.
  osal::Status status =
      probe.Open(file.GetCurrentFileName(FileInfo::FullPath, false, true), options);
  if (!status.ok()) {
    // A file that became a link to elsewhere since it was found is refused by the open.
    std::string text = osal::IsOutsideConfinement(status)
                           ? "File " + path + " is not in configured input base directory"
                           : "File " + path + " could not be opened for reading";
    SetContentError(text);
    XEL_TRACE_OBJ(this, util::General_Error, "%s", text.c_str());
    return false;
  }
  if (M_AttachedFiles.empty()) {
    M_pFirstAttached = std::make_shared<osal::File>(std::move(probe));
  } else {
    (void)probe.Close();
  }
  M_AttachedFiles.push_back(file);
  XEL_TRACE_OBJ(this, util::General_80, "Added attached file %s", path.c_str());
  return true;
}

void ImportPackage::SetContentError(const std::string& text) {
  const char* code = M_CommResult.ErrorCode();
  if (code != nullptr && code[0] != '\0' && std::strcmp(code, "0") != 0) return;
  M_CommResult.SetCode(util::CommInternal, M_CommResult.ConnectionLevel(), kContentErrorCode, "%s",
                       text.c_str());
}

// --- Answer support ----------------------------------------------------------------------

util::Result ImportPackage::WriteImportRecord(xel::XmlParser* pDocument) const {
  if (pDocument == nullptr) {
    return util::Result::Fail(util::ErrLogicArgs, "WriteImportRecord without a document");
  }
  // -1: the elements take the namespace of the enclosing "import" element.
  util::Result worst;
  const std::string folder = GetWatchedFolder(false, false);
  worst.KeepWorse(pDocument->WriteElement(-1, "Folder", folder.c_str()));
  worst.KeepWorse(pDocument->WriteElementInt(-1, "TriggerFileUsed", M_TriggerMode != 0 ? 1 : 0));
  worst.KeepWorse(pDocument->OpenElement(-1, "FileList"));
  if (M_TriggerMode != 0) {
    const std::string path = M_FoundFile.GetFileName(FileInfo::FullPath, false, false);
    worst.KeepWorse(pDocument->WriteElement(-1, "FilePath", path.c_str()));
  }
  for (const FileInfo& file : M_AttachedFiles) {
    const std::string path = file.GetFileName(FileInfo::FullPath, false, false);
    worst.KeepWorse(pDocument->WriteElement(-1, "FilePath", path.c_str()));
  }
  worst.KeepWorse(pDocument->CloseElement());
  return worst;
}

}  // namespace velmora::xelc
