// FolderIterator: lists one folder once, filters and orders its entries, hands them out.
#include "FolderIterator.h"

#include <algorithm>

#include "osal/File.h"
#include "osal/System.h"
#include "util/Text.h"
#include "util/Trace.h"

namespace velmora::xelc {

namespace {
constexpr uint64_t kTicksPerSecond = 10000000ull;
}  // namespace

const char* FolderIterator::ClassName() const { return "File_FolderIterator"; }

void FolderIterator::SetFolder(std::string_view folder) {
  M_Folder.assign(folder);
  // The platform's separator, as between a folder and its names everywhere; a "\" ends a
  // folder of the connector's form on every platform.
  const char separator = osal::PathSeparator();
  if (!M_Folder.empty() && M_Folder.back() != '\\' && M_Folder.back() != separator) {
    M_Folder.push_back(separator);
  }
}

void FolderIterator::Reset() {
  M_NextIndex = 0;
  M_Entries.clear();
  M_bSearched = false;
}

bool FolderIterator::Search() {
  if (M_bSearched || M_Folder.empty()) return false;
  const std::string pattern = M_Folder + "*";
  XEL_TRACE_OBJ(this, util::General_60, "Searching contents of folder %s", pattern.c_str());

  FileInfo folderTemplate;
  folderTemplate.SetPath(M_Folder);
  folderTemplate.SetValid(true);
  folderTemplate.SetLockState(FileInfo::NotLocked);

  M_Entries.clear();
  osal::DirReader reader;
  // A folder that cannot be listed is treated like an empty one; the caller decides what
  // that means, so no error is traced here.
  if (reader.Open(M_Folder).ok()) {
    // The directory reader leaves out "." and ".."; a Windows listing starts with them and
    // callers rely on them (an existing empty folder still lists its self entry), so they
    // are put back here and go through the same filters as every other entry.
    osal::DirEntry self;
    osal::Status selfStatus = osal::GetFileInfo(M_Folder, &self);
    for (const char* name : {".", ".."}) {
      osal::DirEntry entry;
      entry.name = name;
      entry.is_folder = true;
      if (selfStatus.ok()) {
        entry.last_write_time = self.last_write_time;
        entry.creation_time = self.creation_time;
      }
      if (M_Entries.size() < kMaxEntries) CheckEntry(entry, folderTemplate);
    }
    osal::DirEntry entry;
    while (M_Entries.size() < kMaxEntries && reader.Next(&entry)) {
      CheckEntry(entry, folderTemplate);
    }
    if (M_Entries.size() >= kMaxEntries) {
      XEL_TRACE_OBJ(this, util::General_Error,
                    "Warning: Ignoring entries. Search result exceeds limit of %i.",
                    static_cast<int>(kMaxEntries));
    }
    reader.Close();
  }

  Dump("Dumping unsorted list");
  // Order-preserving sorts: entries with equal keys keep the listing order.
  if (M_SortOrder == SortByModifiedDate) {
    XEL_TRACE_OBJ(this, util::General_80, "Sorting entries by modified date");
    std::stable_sort(M_Entries.begin(), M_Entries.end(), [](const FileInfo& a, const FileInfo& b) {
      return a.GetModifiedTime() < b.GetModifiedTime();
    });
    Dump("Dumping presorted list");
  } else if (M_SortOrder == SortByCreatedDate) {
    XEL_TRACE_OBJ(this, util::General_80, "Sorting entries by created date");
    std::stable_sort(M_Entries.begin(), M_Entries.end(), [](const FileInfo& a, const FileInfo& b) {
      return a.GetCreatedTime() < b.GetCreatedTime();
    });
    Dump("Dumping presorted list");
  }
  if (!M_PreferredExtensions.empty()) {
    XEL_TRACE_OBJ(this, util::General_80,
                  "Sorting entries with preferred extensions to top of the list");
    std::stable_partition(M_Entries.begin(), M_Entries.end(),
                          [this](const FileInfo& e) { return HasPreferredExtension(e); });
  }
  Dump("Dumping sorted list");

  if (!M_Entries.empty()) {
    XEL_TRACE_OBJ(this, util::General_60, "Search returned %i matching entries",
                  static_cast<int>(M_Entries.size()));
    M_bSearched = true;
  }
  return M_bSearched;
}

void FolderIterator::CheckEntry(const osal::DirEntry& entry, const FileInfo& folderTemplate) {
  const std::string& name = entry.name;
  XEL_TRACE_OBJ(this, util::General_80, "Checking entry %s", name.c_str());

  if (M_EntryType == FoldersOnly && !entry.is_folder) {
    XEL_TRACE_OBJ(this, util::General_80, "Ignoring file %s when looking for dirs", name.c_str());
    return;
  }
  if (M_EntryType == FilesOnly && entry.is_folder) {
    XEL_TRACE_OBJ(this, util::General_80, "Ignoring dir %s when looking for files", name.c_str());
    return;
  }
  if (M_bSkipSelfAndParent && (name == "." || name == "..")) {
    XEL_TRACE_OBJ(this, util::General_80, "Ignoring self or parent dir entry %s", name.c_str());
    return;
  }
  if (M_MinimumAge > 0) {
    const uint64_t now = osal::SystemTimeAsFileTime();
    if (now == 0) {
      XEL_TRACE_OBJ(this, util::General_Error, "Could not aquire system time");
      return;
    }
    // Kept when modified exactly the minimum age ago.
    if (entry.last_write_time + static_cast<uint64_t>(M_MinimumAge) * kTicksPerSecond > now) {
      XEL_TRACE_OBJ(this, util::General_80,
                    "Ignoring entry %s with modified date not older than %i seconds", name.c_str(),
                    M_MinimumAge);
      return;
    }
  }
  if (!M_SearchMasks.empty()) {
    bool matched = false;
    for (const std::string& mask : M_SearchMasks) {
      if (util::MatchWildcard(mask, name)) {
        matched = true;
        break;
      }
    }
    if (!matched) {
      XEL_TRACE_OBJ(this, util::General_80,
                    "Ignoring entry %s which did not match file search mask", name.c_str());
      return;
    }
  }

  FileInfo kept(folderTemplate);
  kept.SetFileName(name);
  if (entry.is_link &&
      osal::IsOutsideConfinement(
          osal::CheckConfined(kept.GetFileName(FileInfo::FullPath, false, true)))) {
    // Its content lies outside the folders this thread may reach; claiming it would hand that
    // content (or, for a folder, its files) to the import.
    XEL_TRACE_OBJ(this, util::General_Error,
                  "Ignoring link %s: it leads outside of the allowed folders", name.c_str());
    return;
  }
  kept.SetModifiedTime(entry.last_write_time);
  kept.SetCreatedTime(entry.creation_time);
  M_Entries.push_back(std::move(kept));
}

bool FolderIterator::HasPreferredExtension(const FileInfo& entry) const {
  const std::string name = entry.GetFileName(FileInfo::NameOnly, false, false);
  for (const std::string& ext : M_PreferredExtensions) {
    if (name.size() >= ext.size() &&
        util::CompareNoCase(std::string_view(name).substr(name.size() - ext.size()), ext) == 0) {
      return true;
    }
  }
  return false;
}

void FolderIterator::Dump(const char* heading) const {
  if (!util::IsTraceEnabled(util::General_99)) return;
  XEL_TRACE_OBJ(this, util::General_99, "%s", heading);
  const size_t count = std::min(M_Entries.size(), kMaxDumpLines);
  for (size_t i = 0; i < count; ++i) {
    XEL_TRACE_OBJ(this, util::General_99, "  [%i] %s", static_cast<int>(i),
                  M_Entries[i].GetCurrentFileName(FileInfo::NameOnly, false, false).c_str());
  }
}

bool FolderIterator::GetNextEntry(FileInfo* out) {
  if (!M_bSearched || out == nullptr) return false;
  if (M_NextIndex >= M_Entries.size()) return false;
  *out = M_Entries[M_NextIndex];
  ++M_NextIndex;
  XEL_TRACE_OBJ(this, util::General_80, "Returning entry %i of %i", static_cast<int>(M_NextIndex),
                static_cast<int>(M_Entries.size()));
  return true;
}

}  // namespace velmora::xelc
