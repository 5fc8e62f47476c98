// FolderIterator: lists one folder once, filters and orders its entries, hands them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FileInfo.h"

namespace velmora::osal {
struct DirEntry;
}

namespace velmora::xelc {

// Lists a folder, keeps the entries that pass the filters (kind of entry, self and parent
// entries, minimum age, file search masks, and for a link: that it leads nowhere outside the
// calling thread's osal::FileConfinement), orders them (oldest first by modification or
// creation date, then names with a preferred extension in front) and hands them out one by
// one as FileInfo values. Reads only; never changes anything on disk.
//
// Calling order: settings, Search, GetNextEntry until it returns false; Reset before
// searching the same object again. A folder that cannot be listed looks empty. At most
// kMaxEntries entries are kept. One object is used by one thread at a time.
class FolderIterator {
 public:
  // Which entries are kept.
  enum EntryType : int32_t { FoldersOnly = 0, FilesOnly = 1, FilesAndFolders = 2 };
  // Date order of the kept entries (oldest first).
  enum SortOrder : int32_t { NoSort = 0, SortByModifiedDate = 1, SortByCreatedDate = 2 };
  static constexpr size_t kMaxEntries = 10000;
  static constexpr size_t kMaxDumpLines = 100;

  FolderIterator() = default;
  virtual ~FolderIterator() = default;
  FolderIterator(const FolderIterator&) = delete;
  FolderIterator& operator=(const FolderIterator&) = delete;

  // Trace category "File_FolderIterator".
  virtual const char* ClassName() const;

  // The folder to list, kept with a trailing separator: the platform's own (C:\in becomes
  // C:\in\ on Windows, /data/in becomes /data/in/ on POSIX) unless it already ends in one or
  // in "\". No long-path prefix is added: the folder is listed as given.
  void SetFolder(std::string_view folder);
  const std::string& GetFolder() const { return M_Folder; }
  // Drop "." and ".." (default true).
  void SetSkipSelfAndParent(bool skip) { M_bSkipSelfAndParent = skip; }
  bool GetSkipSelfAndParent() const { return M_bSkipSelfAndParent; }
  // EntryType value; any value other than 0 and 1 keeps both kinds (default 2).
  void SetEntryType(int32_t type) { M_EntryType = type; }
  // SortOrder value (default 0, no date sort).
  void SetSortOrder(int32_t order) { M_SortOrder = order; }
  int32_t GetSortOrder() const { return M_SortOrder; }
  // When above 0, entries modified less than this many seconds ago are dropped.
  void SetMinimumAge(int32_t seconds) { M_MinimumAge = seconds; }
  int32_t GetMinimumAge() const { return M_MinimumAge; }
  // Names ending with one of these (ignoring case) are moved to the front. Copied.
  void SetPreferredExtensions(const std::vector<std::string>& extensions) {
    M_PreferredExtensions = extensions;
  }
  // When not empty, a name must match at least one mask (MatchWildcard). Copied.
  void SetFileSearchMasks(const std::vector<std::string>& masks) { M_SearchMasks = masks; }

  // Lists, filters and sorts; true when at least one entry was kept. Returns false at once
  // after a successful search (until Reset) or when no folder is set.
  bool Search();
  // Copies the next entry into *out and advances; false (out unchanged) before a
  // successful search or when all entries have been handed out.
  bool GetNextEntry(FileInfo* out);
  // Forgets the result (entries, position, searched flag); the settings are kept.
  void Reset();
  // Number of entries kept by the last search.
  size_t GetEntryCount() const { return M_Entries.size(); }

 private:
  // One kept entry: its name lies in M_Names, so that a listing allocates nothing per entry.
  struct Entry {
    uint64_t M_Key;  // the time the date order uses (0 without one)
    uint64_t M_ModifiedTime;
    uint64_t M_CreatedTime;
    uint32_t M_NameOffset;
    uint32_t M_NameLength;
    uint32_t M_Listed;  // position in the listing: equal keys keep the listing order
    bool M_bPreferred;
  };
  // a before b in the final order: preferred extension first, then oldest, then listed first.
  static bool Before(const Entry& a, const Entry& b);

  // Applies the filters to one listed entry (the masks unless bMasksChecked) and keeps it
  // when it passes.
  void CheckEntry(const osal::DirEntry& entry, bool bMasksChecked);
  // True when name matches one of the masks (or there are none).
  bool MatchesMasks(std::string_view name) const;
  // Traces heading and the first kMaxDumpLines names, only when General_99 is enabled.
  void Dump(const char* heading) const;
  bool HasPreferredExtension(std::string_view name) const;
  std::string_view NameOf(const Entry& entry) const {
    return std::string_view(M_Names).substr(entry.M_NameOffset, entry.M_NameLength);
  }

  bool M_bSkipSelfAndParent = true;
  int32_t M_EntryType = FilesAndFolders;
  int32_t M_SortOrder = NoSort;
  int32_t M_MinimumAge = 0;
  std::vector<std::string> M_PreferredExtensions;
  std::string M_Folder;
  std::vector<std::string> M_SearchMasks;

  // The kept entries. Handed out from a heap (M_bHeap: the next one is popped to the back)
  // so that a caller who takes only the first few pays no full sort; else in index order.
  std::vector<Entry> M_Entries;
  std::string M_Names;
  FileInfo M_Template;  // folder, valid, not locked: what every handed-out entry starts as
  bool M_bHeap = false;
  uint32_t M_NextIndex = 0;
  bool M_bSearched = false;
};

}  // namespace velmora::xelc
