// Files and folders: open, read, write, list, rename, delete, attributes, and the confinement
// of a thread's file calls to folders.
//
// Paths reach this layer in the connector's Windows form: UTF-8, "\" and "/" both
// separate components, and a long-path prefix ("\\?\", "\\?\UNC\") is removed before
// the path is used on POSIX. On Windows every path is made absolute and used with the prefix,
// so that paths longer than 260 characters work. All functions are thread-safe; a File
// object belongs to one thread. Every function that takes a path obeys the calling thread's
// FileConfinement (below).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "osal/Status.h"

namespace velmora::osal {

// Converts a path in the connector's form to the platform's native form
// (on POSIX: prefix removed, "\" turned into "/"; "\\server\share\x" stays a UNC path
// and is only reachable through a connected network share; on Windows: prefix removed and
// "/" turned into "\", so "\\?\UNC\server\x" becomes "\\server\x").
std::string NativePath(std::string_view path);
// A POSIX path marked by LiteralPath ("//?/...") only loses its mark.

// The separator this platform puts between a folder and a name read from it: '/' on POSIX,
// '\' on Windows. A name read from a POSIX folder may hold "\" as an ordinary character; a
// path that ends in such a name reaches this layer through LiteralPath.
char PathSeparator();

// Marks native_path (in the native form NativePath returns, every name as it is on disk) so
// that the functions of this layer use it unchanged. On POSIX a path that holds a "\" gets the
// long-path prefix in the native spelling, "//?/", in front; NativePath then removes the mark
// and leaves every "\" inside the names. Any other path, and every path on Windows (where no
// name holds a separator), is returned as it is.
std::string LiteralPath(std::string_view native_path);

// True when the platform's file names ignore case (Windows), false where two names
// that differ only in case are different files (Linux). Path containment tests honour this.
bool FileNamesIgnoreCase();

// How Open treats an existing or missing file (the Windows creation dispositions).
enum class Disposition {
  kCreateNew,         // create; fail with kExists when the file exists
  kCreateAlways,      // create or truncate
  kOpenExisting,      // fail with kNotFound when missing
  kOpenAlways,        // open or create
  kTruncateExisting,  // open and truncate; fail when missing
};

enum FileAccess : unsigned { kAccessRead = 1, kAccessWrite = 2 };

// Sharing allowed to other openers while this handle is open (Windows FILE_SHARE_*).
// On POSIX, a file opened with kShareNone takes an exclusive advisory lock (flock), and
// a file opened for reading with no write sharing takes a shared lock; a conflicting
// opener of this layer gets ErrorKind::kSharing. The locks are advisory: they bind only
// openers that use this layer (or flock), not other programs. On Windows the modes are the
// system's own and bind every opener, in both directions: a second opener must share the
// access the first one has, and the first must share the access the second asks for.
enum FileShare : unsigned { kShareNone = 0, kShareRead = 1, kShareWrite = 2, kShareDelete = 4 };

struct OpenOptions {
  unsigned access = kAccessRead;
  unsigned share = kShareRead;
  Disposition disposition = Disposition::kOpenExisting;
  // The file is removed when the handle is closed (on Windows: when the last handle to it
  // is closed; other openers need kShareDelete while this handle is open).
  bool delete_on_close = false;
  bool write_through = false;  // data reaches the disk before Write returns
};

// An open file. Movable, not copyable; closes on destruction.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  Status Open(std::string_view path, const OpenOptions& options);
  bool IsOpen() const;
  // Reads up to size bytes; *read == 0 with Ok status means end of file.
  Status Read(void* buffer, size_t size, size_t* read);
  // Writes all size bytes or fails.
  Status Write(const void* data, size_t size);
  Status Truncate(uint64_t length);
  Status Seek(uint64_t offset);
  Status Flush();
  Status Size(uint64_t* size) const;
  // Closes the handle; a delete-on-close file is removed here.
  Status Close();
  // True when the file may be renamed or deleted while this handle stays open: a local file
  // on POSIX. The last close of a deleted file frees its pages and blocks, which takes time in
  // proportion to its size, so a holder can keep it open across the deletion and pay for that
  // afterwards. False on Windows, which refuses to delete a file open without shared
  // deletion and keeps the name of one open with it until the last handle closes, and for a
  // file on a network share, whose server does the same.
  bool MayBeDeletedWhileOpen() const;
  const std::string& path() const { return M_Path; }

 private:
  int M_Fd = -1;
  bool M_bDeleteOnClose = false;
  std::string M_Path;  // native path, for delete-on-close
  // POSIX: the open file on a network share instead of M_Fd. Windows: the file's HANDLE
  // (M_Fd stays unused).
  void* M_pShareFile = nullptr;
};

// File times are 64-bit counts of 100-ns units since 1601-01-01 UTC.
struct DirEntry {
  std::string name;  // UTF-8 name without folder
  bool is_folder = false;  // of what a link leads to, where it leads anywhere
  // A symbolic link, junction or other reparse point: the entry is not where its content is.
  bool is_link = false;
  bool is_readonly = false;
  uint64_t size = 0;
  uint64_t last_write_time = 0;
  uint64_t creation_time = 0;  // birth time where the file system has it, else ctime
};

// Lists a folder. "." and ".." are not returned.
class DirReader {
 public:
  DirReader() = default;
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  Status Open(std::string_view folder);
  // Decides on the name alone whether an entry is wanted (context is Next's).
  using NameFilter = bool (*)(const void* context, std::string_view name);
  // Returns false at the end of the listing (or on error: see status()). With a filter, an
  // entry whose name it rejects is passed over before its attributes are read, which in a
  // large folder saves a stat per unwanted entry. entry->name keeps its storage from call
  // to call.
  bool Next(DirEntry* entry, NameFilter filter = nullptr, const void* context = nullptr);
  Status status() const { return M_Status; }
  void Close();

 private:
  void* M_pDir = nullptr;       // the open listing (DIR on POSIX, the search state on Windows)
  void* M_pShareDir = nullptr;  // the listing of a network share folder instead of M_pDir
  std::string M_Folder;
  Status M_Status;
};

// Reads one entry's attributes (name is the last path component).
Status GetFileInfo(std::string_view path, DirEntry* entry);
bool FileExists(std::string_view path);
bool FolderExists(std::string_view path);

// Renames; kReplace overwrites an existing target, kNoReplace fails with kExists.
// Both are atomic within one folder; neither copies across volumes (kNotSupported).
// write_through flushes the folders of a move between folders on POSIX, a rename within one
// folder is not flushed; on Windows it is MOVEFILE_WRITE_THROUGH.
enum class RenameMode { kNoReplace, kReplace };
Status Rename(std::string_view from, std::string_view to, RenameMode mode, bool write_through);

Status DeleteFile(std::string_view path);
// Removes an empty folder; a folder with entries fails with kNotEmpty.
Status DeleteFolder(std::string_view path);
// Creates one folder; an existing one fails with kExists.
Status CreateFolder(std::string_view path);
// Creates every missing folder of path. The folders made are appended to *created
// (outermost first) so that a caller can remove them again.
Status CreateFolders(std::string_view path, std::vector<std::string>* created);

// Windows attribute bits this layer understands.
enum FileAttributes : uint32_t {
  kAttrReadOnly = 0x1,
  kAttrDirectory = 0x10,
  kAttrNormal = 0x80,
};
// Read-only maps to the absence of the owner's write bit on POSIX, where only the bits
// above are reported. On Windows the attributes are the file system's own bits both ways
// (archive, hidden and others may be set too), and a read-only file cannot be deleted
// (DeleteFile fails with kAccessDenied) until the attribute is cleared.
Status GetFileAttributes(std::string_view path, uint32_t* attributes);
Status SetFileAttributes(std::string_view path, uint32_t attributes);

// --- Confinement ------------------------------------------------------------------------
//
// Tests on the text of a path cannot see what the file system makes of it: a symbolic link,
// junction or other reparse point below an allowed folder can lead anywhere. A FileConfinement
// makes every function of this header, on the thread that holds it, resolve a path that lies
// (as text) in one of its folders the way the file system does, step by step, and refuse it
// when a step leaves that folder. The refusal is a status for which IsOutsideConfinement is
// true; nothing is then created, written, renamed or deleted, and no file outside is opened.
//
// - The folders themselves are trusted as configured: the way to a folder (and a folder that
//   is itself a link) is not examined, and a path naming just the folder is used as it is.
// - Paths that lie in none of the folders are not affected (trace files, configuration).
// - Rename, DeleteFile and DeleteFolder act on the entry itself, never on what a link leads
//   to; a link's target is followed only to open, list or read attributes.
// - Paths on network shares ("\\server\share\...") are left to the share's own checks.
// - Hard links cannot be told from the file they name and are not refused.
//
// POSIX: each path is resolved beneath a descriptor of the folder (openat2 with
// RESOLVE_BENEATH where the kernel has it, else a walk that opens one component at a time
// without following links). Windows: the folders on the way are held open without delete
// sharing, so that none can be renamed or replaced meanwhile; each is checked for reparse
// points, and the final path of every handle (GetFinalPathNameByHandleW) must lie in the
// folder's own final path.

// How a link below a confining folder is treated.
enum class LinkPolicy {
  kRefuse,        // any link below the folder refuses the path, wherever it leads
  kFollowInside,  // links are followed while every step stays in the folder
};

// Confines the file calls of the constructing thread while it lives. folders: the folders in
// this layer's path form (empty entries are ignored). A path is resolved from the outermost
// folder that holds it, and may not climb out of that one; under kFollowInside a link whose
// absolute target lies in another of the folders leads there. Confinements nest: the
// innermost one applies, and the destructor restores the one before. Create and destroy on
// the same thread, in stack order; not copyable. While it lives, the system layer may keep
// the folders open (a descriptor each on POSIX, opened at first use), so that the calls of
// one scope resolve from the same folders and need not find them again.
class FileConfinement {
 public:
  FileConfinement(const std::vector<std::string>& folders, LinkPolicy policy);
  ~FileConfinement();
  FileConfinement(const FileConfinement&) = delete;
  FileConfinement& operator=(const FileConfinement&) = delete;

  // The folders in native form, without trailing separators.
  const std::vector<std::string>& folders() const { return M_Folders; }
  LinkPolicy policy() const { return M_Policy; }
  // The confinement in force on the calling thread, or null.
  static const FileConfinement* Current();

  // What the system layer keeps for the folders; its own type on each system.
  struct Held;
  Held& held() const { return *M_pHeld; }

 private:
  // Makes this the thread's confinement, inside the one in force; Leave undoes it, also
  // when this one ends before one started after it.
  void Enter();
  void Leave();

  std::vector<std::string> M_Folders;
  LinkPolicy M_Policy;
  const FileConfinement* M_pOuter = nullptr;
  std::unique_ptr<Held> M_pHeld;
};

// Resolves path as far as it exists under the calling thread's confinement without changing
// anything: a status for which IsOutsideConfinement is true when a step leaves the confining
// folder (a link leading out of it, or any link under kRefuse), Ok when it stays inside, when
// a missing component ends the resolution before any such step, or when no confinement
// covers path; other failures (a loop of links, no access) as they are.
Status CheckConfined(std::string_view path);

// True for the refusal of a path that leaves its confining folder.
bool IsOutsideConfinement(const Status& status);

}  // namespace velmora::osal
