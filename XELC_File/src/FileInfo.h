// FileInfo: one file of the folder import, its lock-name fields and the names derived from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/TimeUTC.h"

namespace velmora::xelc {

// Path helpers for the connector's Windows path form ("C:\x", "\\server\share\x",
// "\\?\C:\x", "\\?\UNC\server\share\x"); POSIX absolute paths ("/tmp/x") are accepted too.
// All are pure functions and thread-safe.

// Puts the long-path prefix in front of an absolute path: "\\?\UNC\" for a network path,
// "\\?\" for a drive path or a path starting with "\". Empty, relative and POSIX ("/...")
// paths are returned unchanged.
std::string AddLongPathPrefix(std::string_view path);
// Removes a leading "\\?\" ("\\?\UNC\x" becomes "\\x"); other paths are returned unchanged.
std::string RemoveLongPathPrefix(std::string_view path);
// Length of the "\\server\share" root of a network path, 0 when the path is not one.
size_t GetUncRootLength(std::string_view path);
// True for "\x", "/x", "C:\x", "C:/x" and network paths.
bool IsAbsolutePath(std::string_view path);
// True when path begins with prefix, "\" and "/" counting as the same character (both
// separate in the connector's paths); case is ignored when bIgnoreCase. Only the characters
// are compared: whether a component ends there is the caller's question.
bool PathStartsWith(std::string_view path, std::string_view prefix, bool bIgnoreCase);

// A copyable value that carries one file through an import: its folder, its plain name,
// its times, its lock-name fields and its lock state. It never touches the disk.
// Not thread-safe: a FileInfo belongs to one poll at a time.
//
// The lock name of a file is its plain name followed by a 34-character suffix:
//   "." time stamp (14 digits, UTC YYYYMMDDhhmmss) "." random string (5 base64url
//   characters) "+" time-out (5 digits, seconds) ".locked"
// e.g. report.pdf.20261204045539.Qk7_x+03600.locked. A permanent lock carries the time
// stamp "99999999999999" and the time-out "99999".
class FileInfo {
 public:
  // Lock state of the file (M_LockState).
  enum LockState : int32_t { NotLocked = 0, Locked = 1, LockedPermanent = 2 };
  // What a path accessor returns.
  enum PathPart : int32_t {
    NameOnly = 0,    // the name, no folder
    FolderOnly = 1,  // the folder, no name
    FullPath = 2,    // folder, separator, name
  };

  static constexpr std::string_view kLongPathPrefix = "\\\\?\\";
  static constexpr std::string_view kLongPathPrefixUnc = "\\\\?\\UNC\\";
  static constexpr std::string_view kLockExtension = ".locked";
  static constexpr std::string_view kDefaultLockTimeOut = "03600";
  static constexpr std::string_view kPermanentLockTimeOut = "99999";
  static constexpr std::string_view kPermanentLockTimeStamp = "99999999999999";
  static constexpr std::string_view kBase64UrlAlphabet =
      "1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
  // Length of the lock suffix behind the plain name.
  static constexpr size_t kLockSuffixLength = 34;

  FileInfo() = default;
  virtual ~FileInfo() = default;
  FileInfo(const FileInfo&) = default;
  FileInfo& operator=(const FileInfo&) = default;

  // Trace category "File_FileInfo".
  virtual const char* ClassName() const;

  // --- Assigning a file ---------------------------------------------------------------

  // Splits path at its last "\", "/" or ":"; the name goes to M_FileName unchanged, the
  // folder through SetPath. Sets M_Valid. Meant for paths from requests and configuration:
  // a name read from the disk is stored with SetFileName, so that it is never split.
  void SetFullPath(std::string_view path);
  // Normalises and stores the folder: trailing separators and a long-path prefix are
  // removed, "segment\.." pairs are collapsed. Sets M_Valid.
  void SetPath(std::string_view folder);
  // Stores the name (without folder) unchanged. Sets M_Valid.
  void SetFileName(std::string_view name);

  void SetValid(bool valid) { M_Valid = valid; }
  bool IsValid() const { return M_Valid; }
  // State values are those of LockState. Callers holding an ImportPackage use its
  // SetFoundFileLockState instead, which also raises the connection level.
  void SetLockState(int32_t state) { M_LockState = state; }
  int32_t GetLockState() const { return M_LockState; }
  // True when the file is a trigger file whose name on disk is its processed name.
  void SetTriggerRenamed(bool renamed) { M_TriggerRenamed = renamed; }
  bool IsTriggerRenamed() const { return M_TriggerRenamed; }
  // Times are file times: 100-ns units since 1601-01-01 UTC.
  void SetModifiedTime(uint64_t time) { M_ModifiedTime = time; }
  uint64_t GetModifiedTime() const { return M_ModifiedTime; }
  void SetCreatedTime(uint64_t time) { M_CreatedTime = time; }
  uint64_t GetCreatedTime() const { return M_CreatedTime; }
  void SetLockTimeStamp(std::string_view stamp) { M_LockTimeStamp = stamp; }
  std::string GetLockTimeStamp() const { return M_LockTimeStamp; }
  void SetLockRandomString(std::string_view random) { M_LockRandomString = random; }
  std::string GetLockRandomString() const { return M_LockRandomString; }
  void SetLockTimeOut(std::string_view timeout) { M_LockTimeOut = timeout; }
  std::string GetLockTimeOut() const { return M_LockTimeOut; }
  // Stores the extension of a processed trigger file; a "." is put in front when the
  // extension is not empty and lacks it ("done" becomes ".done").
  void SetTriggerChangeToExtension(std::string_view extension);
  std::string GetTriggerChangeToExtension() const { return M_TriggerChangeToExtension; }

  // --- Path accessors: each returns a new string --------------------------------------
  //
  // The separator put between the folder and the name is the platform's own
  // (osal::PathSeparator: "\" on Windows, "/" on POSIX); the folder keeps the separators it
  // was given. The name is never split again: on POSIX a "\" in it is an ordinary character,
  // and the long form (longPath) of a path that ends in such a name is the marked native path
  // of osal::LiteralPath, which the file functions take as it is.

  // False when a path of the connector's form, where "\" separates, cannot carry name (read
  // from the disk): on POSIX a name that holds "\". Such a name reaches the disk only through
  // the long form of the accessors, and cannot stand as a folder in a path of this class.
  static bool NameFitsConnectorPath(std::string_view name);

  // Empty for NameOnly; else M_Path (with the long-path prefix when longPath), followed by
  // the separator when withSeparator or part is FullPath.
  std::string GetPath(PathPart part, bool withSeparator, bool longPath) const;
  // GetPath followed by M_FileName unless part is FolderOnly.
  std::string GetFileName(PathPart part, bool withSeparator, bool longPath) const;
  // GetPath followed by the lock name unless part is FolderOnly.
  std::string GetLockedFileName(PathPart part, bool withSeparator, bool longPath) const;
  // GetFileName with the last extension replaced by M_TriggerChangeToExtension
  // (order.trg with ".done" gives order.done).
  std::string GetRenamedTriggerFileName(PathPart part, bool withSeparator, bool longPath) const;
  // The name the file carries on disk now: the lock name when locked, else the processed
  // trigger name when M_TriggerRenamed, else the plain name.
  std::string GetCurrentFileName(PathPart part, bool withSeparator, bool longPath) const;
  // Search masks for the companions of a trigger file. kind 1: same base name (name
  // "order.*", folder the file's folder); kind 2: whole folder (name "*"); kind 3: subfolder
  // named after the file (name "*", folder M_Path\order). NameOnly gives the mask,
  // FolderOnly the folder, FullPath both. Any other kind gives an empty string.
  std::string GetTriggerSearchMask(int32_t kind, PathPart part, bool withSeparator,
                                   bool longPath) const;

  // --- Lock names ---------------------------------------------------------------------

  // mask ".??????????????.?????+?????.locked": matches the lock names of files that match
  // mask ("*.pdf" gives "*.pdf.??????????????.?????+?????.locked").
  static std::string MakeLockSearchMask(std::string_view mask);
  // Sets M_LockTimeStamp from the current UTC time (YYYYMMDDhhmmss).
  void GenerateLockTimeStamp();
  // Sets M_LockRandomString to 5 new base64url characters.
  void GenerateLockRandomString();
  // A new claim: new time stamp and random string, time-out "03600", state Locked.
  void MakeNewLock();
  // A permanent claim: time stamp "99999999999999", time-out "99999", random string kept,
  // state LockedPermanent.
  void MakePermanentLock();
  // True when name ends with ".locked", ignoring case.
  static bool HasLockedExtension(std::string_view name);
  // True when a processed-trigger extension is set and name ends with it, ignoring case.
  bool HasRenamedTriggerExtension(std::string_view name) const;
  // Parses a lock name (with or without folder). Returns 0 (not a lock name), 1 (lock) or
  // 2 (permanent lock). On success M_Path, M_FileName (the plain name) and the three lock
  // fields are filled. M_LockState is left alone: the caller stores the result.
  int32_t ParseLockedFileName(std::string_view name);
  // As ParseLockedFileName for a name read from the disk: the name is never split at a
  // separator, and M_Path is left as it is.
  int32_t ParseLockedName(std::string_view name);
  // Converts M_LockTimeStamp into *out. False when out is null or the stamp is not 14 digits.
  bool GetLockTimeStampAsTimeUTC(util::TimeUTC* out) const;
  // True while the lock is still running (lock time + time-out lies after now); false when
  // it has expired or cannot be evaluated.
  bool CheckTimedOut() const;
  // As CheckTimedOut, with "now" given as a file time (for deterministic callers and tests).
  bool CheckTimedOutAt(uint64_t nowFileTime) const;

 private:
  // GetPath followed by tail (a name as read from the disk, or a name and a separator).
  std::string JoinName(PathPart part, bool withSeparator, bool longPath,
                       std::string_view tail) const;
  // Checks and splits the lock suffix of M_FileName (ParseLockedFileName from step 2 on).
  int32_t ParseLockSuffix();

  bool M_Valid = false;
  int32_t M_LockState = NotLocked;
  bool M_TriggerRenamed = false;
  std::string M_Path;
  std::string M_FileName;
  uint64_t M_ModifiedTime = 0;
  uint64_t M_CreatedTime = 0;
  std::string M_LockTimeStamp;
  std::string M_LockRandomString;
  std::string M_LockTimeOut{kDefaultLockTimeOut};
  std::string M_TriggerChangeToExtension;
};

}  // namespace velmora::xelc
