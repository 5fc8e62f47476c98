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
  M_Names.clear();
  M_bHeap = false;
  M_bSearched = false;
}

bool FolderIterator::Before(const Entry& a, const Entry& b) {
  if (a.M_bPreferred != b.M_bPreferred) return a.M_bPreferred;
  if (a.M_Key != b.M_Key) return a.M_Key < b.M_Key;
  return a.M_Listed < b.M_Listed;
}

bool FolderIterator::Search() {
  if (M_bSearched || M_Folder.empty()) return false;
  const std::string pattern = M_Folder + "*";
  XEL_TRACE_OBJ(this, util::General_60, "Searching contents of folder %s", pattern.c_str());

  M_Template = FileInfo();
  M_Template.SetPath(M_Folder);
  M_Template.SetValid(true);
  M_Template.SetLockState(FileInfo::NotLocked);
  M_Entries.clear();
  M_Names.clear();
  M_bHeap = false;
  M_NextIndex = 0;

  osal::DirReader reader;
  // A folder that cannot be listed is treated like an empty one; the caller decides what
  // that means, so no error is traced here.
  if (reader.Open(M_Folder).ok()) {
    // The directory reader leaves out "." and ".."; a Windows listing starts with them and
    // callers rely on them (an existing empty folder still lists its self entry), so they
    // are put back here and go through the same filters as every other entry.
    // Their times matter only where they can be kept (not for a search for files, which is
    // every poll's): only then is the folder looked at.
    osal::DirEntry self;
    osal::Status selfStatus = osal::Status(osal::ErrorKind::kNotFound, 0);
    if (M_EntryType != FilesOnly && !M_bSkipSelfAndParent) {
      selfStatus = osal::GetFileInfo(M_Folder, &self);
    }
    for (const char* name : {".", ".."}) {
      osal::DirEntry entry;
      entry.name = name;
      entry.is_folder = true;
      if (selfStatus.ok()) {
        entry.last_write_time = self.last_write_time;
        entry.creation_time = self.creation_time;
      }
      if (M_Entries.size() < kMaxEntries) CheckEntry(entry, false);
    }
    // The filters all have to pass, so a name that no mask matches can be dropped before its
    // attributes are read. With the entry trace on, each entry goes through the filters in
    // their order instead, so that it is reported by the first one that drops it.
    const bool bMasksFirst = !M_SearchMasks.empty() && !util::IsTraceEnabled(util::General_80);
    osal::DirReader::NameFilter filter = nullptr;
    if (bMasksFirst) {
      filter = [](const void* pSelf, std::string_view name) {
        return static_cast<const FolderIterator*>(pSelf)->MatchesMasks(name);
      };
    }
    osal::DirEntry entry;
    while (M_Entries.size() < kMaxEntries && reader.Next(&entry, filter, this)) {
      CheckEntry(entry, bMasksFirst);
    }
    if (M_Entries.size() >= kMaxEntries) {
      XEL_TRACE_OBJ(this, util::General_Error,
                    "Warning: Ignoring entries. Search result exceeds limit of %i.",
                    static_cast<int>(kMaxEntries));
    }
    reader.Close();
  }

  // The order is oldest first (by the chosen date), then the entries with a preferred
  // extension moved to the front, entries with equal keys in listing order. A caller
  // usually takes only the first entries, so they are drawn from a heap; only the dumps
  // need the whole list in order.
  const bool bDump = util::IsTraceEnabled(util::General_99);
  Dump("Dumping unsorted list");
  if (M_SortOrder == SortByModifiedDate || M_SortOrder == SortByCreatedDate) {
    XEL_TRACE_OBJ(this, util::General_80,
                  M_SortOrder == SortByModifiedDate ? "Sorting entries by modified date"
                                                    : "Sorting entries by created date");
    if (bDump) {
      std::sort(M_Entries.begin(), M_Entries.end(), [](const Entry& a, const Entry& b) {
        return a.M_Key != b.M_Key ? a.M_Key < b.M_Key : a.M_Listed < b.M_Listed;
      });
      Dump("Dumping presorted list");
    }
  }
  if (!M_PreferredExtensions.empty()) {
    XEL_TRACE_OBJ(this, util::General_80,
                  "Sorting entries with preferred extensions to top of the list");
  }
  if (bDump) {
    std::sort(M_Entries.begin(), M_Entries.end(), Before);
    Dump("Dumping sorted list");
  } else {
    std::make_heap(M_Entries.begin(), M_Entries.end(),
                   [](const Entry& a, const Entry& b) { return Before(b, a); });
    M_bHeap = true;
  }

  if (!M_Entries.empty()) {
    XEL_TRACE_OBJ(this, util::General_60, "Search returned %i matching entries",
                  static_cast<int>(M_Entries.size()));
    M_bSearched = true;
  }
  return M_bSearched;
}

bool FolderIterator::MatchesMasks(std::string_view name) const {
  if (M_SearchMasks.empty()) return true;
  for (const std::string& mask : M_SearchMasks) {
    if (util::MatchWildcard(mask, name)) return true;
  }
  return false;
}

void FolderIterator::CheckEntry(const osal::DirEntry& entry, bool bMasksChecked) {
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
  if (!bMasksChecked && !MatchesMasks(name)) {
    XEL_TRACE_OBJ(this, util::General_80, "Ignoring entry %s which did not match file search mask",
                  name.c_str());
    return;
  }
  if (entry.is_link) {
    FileInfo link(M_Template);
    link.SetFileName(name);
    if (osal::IsOutsideConfinement(
            osal::CheckConfined(link.GetFileName(FileInfo::FullPath, false, true)))) {
      // Its content lies outside the folders this thread may reach; claiming it would hand
      // that content (or, for a folder, its files) to the import.
      XEL_TRACE_OBJ(this, util::General_Error,
                    "Ignoring link %s: it leads outside of the allowed folders", name.c_str());
      return;
    }
  }
  Entry kept;
  kept.M_ModifiedTime = entry.last_write_time;
  kept.M_CreatedTime = entry.creation_time;
  kept.M_Key = M_SortOrder == SortByModifiedDate  ? entry.last_write_time
               : M_SortOrder == SortByCreatedDate ? entry.creation_time
                                                  : 0;
  kept.M_NameOffset = static_cast<uint32_t>(M_Names.size());
  kept.M_NameLength = static_cast<uint32_t>(name.size());
  kept.M_Listed = static_cast<uint32_t>(M_Entries.size());
  kept.M_bPreferred = HasPreferredExtension(name);
  M_Names.append(name);
  M_Entries.push_back(kept);
}

bool FolderIterator::HasPreferredExtension(std::string_view name) const {
  for (const std::string& ext : M_PreferredExtensions) {
    if (name.size() >= ext.size() &&
        util::CompareNoCase(name.substr(name.size() - ext.size()), ext) == 0) {
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
                  std::string(NameOf(M_Entries[i])).c_str());
  }
}

bool FolderIterator::GetNextEntry(FileInfo* out) {
  if (!M_bSearched || out == nullptr) return false;
  if (M_NextIndex >= M_Entries.size()) return false;
  size_t at = M_NextIndex;
  if (M_bHeap) {
    // The heap shrinks from the back; each popped entry lands just behind it.
    const auto end = M_Entries.end() - static_cast<std::ptrdiff_t>(M_NextIndex);
    std::pop_heap(M_Entries.begin(), end,
                  [](const Entry& a, const Entry& b) { return Before(b, a); });
    at = M_Entries.size() - 1 - M_NextIndex;
  }
  const Entry& entry = M_Entries[at];
  *out = M_Template;
  out->SetFileName(NameOf(entry));
  out->SetModifiedTime(entry.M_ModifiedTime);
  out->SetCreatedTime(entry.M_CreatedTime);
  ++M_NextIndex;
  XEL_TRACE_OBJ(this, util::General_80, "Returning entry %i of %i", static_cast<int>(M_NextIndex),
                static_cast<int>(M_Entries.size()));
  return true;
}

}  // namespace velmora::xelc
