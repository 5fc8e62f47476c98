// FileInfo: one file of the folder import, its lock-name fields and the names derived from them.
#include "FileInfo.h"

#include <cstdio>
#include <cstring>

#include "osal/File.h"
#include "osal/System.h"
#include "util/Text.h"
#include "util/TimeUTC.h"
#include "util/Trace.h"

namespace velmora::xelc {

namespace {

constexpr std::string_view kDigits = "1234567890";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// True when every character of text is one of allowed (exact, case matters).
bool AllOf(std::string_view text, std::string_view allowed) {
  for (char c : text) {
    if (allowed.find(c) == std::string_view::npos) return false;
  }
  return true;
}

// True where a name read from the disk may hold "\" as an ordinary character: on every
// platform whose own separator is another one. A path that ends in such a name is handed to
// the file functions in the marked native form (osal::LiteralPath), so that the name's "\"
// is never taken for a separator.
bool NamesMayHoldBackslash() { return osal::PathSeparator() != '\\'; }

// Cuts the extension (from the last ".") off a name; a name without a dot stays whole.
std::string_view CutExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

// True when name ends with tail, ignoring case. Empty tails never match.
bool EndsWithNoCase(std::string_view name, std::string_view tail) {
  if (tail.empty() || name.size() < tail.size()) return false;
  return util::CompareNoCase(name.substr(name.size() - tail.size()), tail) == 0;
}

// Collapses "segment\..\" pairs of a folder that ends with a separator. A ".." whose
// preceding segment is empty, is itself "." or "..", lies at the very start or would climb
// above a "\\server\share" root is left in place: the containment tests then reject the
// path, which is safer than guessing what the file system would make of it.
void CollapseParentReferences(std::string* path) {
  std::string& s = *path;
  const size_t uncRoot = GetUncRootLength(s);
  size_t from = 0;
  for (;;) {
    size_t idx = s.find("..", from);
    if (idx == std::string::npos) break;
    from = idx + 1;
    if (idx < 3 || !IsSeparator(s[idx - 1]) || idx + 2 >= s.size() || !IsSeparator(s[idx + 2])) {
      continue;
    }
    size_t last = s.find_last_of("\\/:", idx - 2);
    size_t segStart = last == std::string::npos ? 0 : last + 1;
    if (segStart == 0 || segStart >= idx - 1) continue;
    std::string_view segment(s.data() + segStart, idx - 1 - segStart);
    if (segment == "." || segment == "..") continue;
    if (uncRoot != 0 && segStart < uncRoot) continue;
    s.erase(segStart, idx + 3 - segStart);
    from = segStart;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Path helpers

size_t GetUncRootLength(std::string_view path) {
  if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') return 0;
  size_t first = path.find_first_of("\\/", 2);
  if (first == std::string_view::npos) return 0;
  size_t next = path.find_first_of("\\/", first + 1);
  return next == std::string_view::npos ? path.size() : next;
}

bool IsAbsolutePath(std::string_view path) {
  if (path.empty()) return false;
  if (IsSeparator(path[0])) return true;
  if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) return true;
  return GetUncRootLength(path) != 0;
}

bool PathStartsWith(std::string_view path, std::string_view prefix, bool bIgnoreCase) {
  if (path.size() < prefix.size()) return false;
  if (!bIgnoreCase) {
    // Byte by byte, both separators alike; only the folding of case needs copies.
    const auto unified = [](char c) { return c == '/' ? '\\' : c; };
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (unified(path[i]) != unified(prefix[i])) return false;
    }
    return true;
  }
  std::string head(path.substr(0, prefix.size()));
  std::string start(prefix);
  for (std::string* text : {&head, &start}) {
    for (char& c : *text) {
      if (c == '/') c = '\\';
    }
  }
  return util::CompareNoCase(head, start) == 0;
}

std::string AddLongPathPrefix(std::string_view path) {
  if (path.empty()) return std::string();
  // Already in long form: adding a second prefix would make a different (invalid) path.
  if (path.starts_with(FileInfo::kLongPathPrefix)) return std::string(path);
  if (GetUncRootLength(path) != 0) {
    std::string out(FileInfo::kLongPathPrefixUnc);
    out.append(path.substr(2));
    return out;
  }
  // A POSIX absolute path ("/tmp/x") has no long form; the prefix is only meaningful for
  // Windows drive and root paths, so "/..." is left alone like a relative path.
  if ((path.size() >= 3 && path[1] == ':' && path[2] == '\\') || path[0] == '\\') {
    std::string out(FileInfo::kLongPathPrefix);
    out.append(path);
    return out;
  }
  return std::string(path);
}

std::string RemoveLongPathPrefix(std::string_view path) {
  if (path.starts_with(FileInfo::kLongPathPrefixUnc)) {
    std::string out("\\\\");
    out.append(path.substr(FileInfo::kLongPathPrefixUnc.size()));
    return out;
  }
  if (path.starts_with(FileInfo::kLongPathPrefix)) {
    return std::string(path.substr(FileInfo::kLongPathPrefix.size()));
  }
  return std::string(path);
}

// ---------------------------------------------------------------------------------------
// FileInfo

const char* FileInfo::ClassName() const { return "File_FileInfo"; }

void FileInfo::SetFullPath(std::string_view path) {
  size_t pos = path.find_last_of("\\/:");
  if (pos == std::string_view::npos) {
    SetPath(std::string_view());
    M_FileName.assign(path);
  } else {
    // A drive-relative name ("C:a.txt") keeps its drive colon in the folder.
    SetPath(path.substr(0, path[pos] == ':' ? pos + 1 : pos));
    M_FileName.assign(path.substr(pos + 1));
  }
  M_Valid = true;
}

void FileInfo::SetPath(std::string_view folder) {
  size_t end = folder.size();
  while (end > 0 && IsSeparator(folder[end - 1])) --end;
  std::string s = RemoveLongPathPrefix(folder.substr(0, end));
  if (!s.empty()) {
    // The separator only bounds the last segment for the collapse and is removed again.
    s.push_back('\\');
    CollapseParentReferences(&s);
    s.pop_back();
  }
  M_Path = std::move(s);
  M_Valid = true;
}

void FileInfo::SetFileName(std::string_view name) {
  M_FileName.assign(name);
  M_Valid = true;
}

void FileInfo::SetTriggerChangeToExtension(std::string_view extension) {
  M_TriggerChangeToExtension.clear();
  if (!extension.empty() && extension[0] != '.') M_TriggerChangeToExtension.push_back('.');
  M_TriggerChangeToExtension.append(extension);
}

bool FileInfo::NameFitsConnectorPath(std::string_view name) {
  return !NamesMayHoldBackslash() || name.find('\\') == std::string_view::npos;
}

std::string FileInfo::GetPath(PathPart part, bool withSeparator, bool longPath) const {
  return JoinName(part, withSeparator, longPath, {});
}

std::string FileInfo::JoinName(PathPart part, bool withSeparator, bool longPath,
                               std::string_view tail) const {
  if (longPath && part != NameOnly && NamesMayHoldBackslash() &&
      tail.find('\\') != std::string_view::npos) {
    // The folder (whose "\" do separate) is made native first; the name stays as it is.
    std::string native = osal::NativePath(GetPath(part, withSeparator, false));
    native.append(tail);
    return osal::LiteralPath(native);
  }
  std::string out;
  if (part == NameOnly) {
    out.assign(tail);
    return out;
  }
  // Sized once for folder and name: a path is built for nearly every file call.
  const std::string longForm = longPath ? AddLongPathPrefix(M_Path) : std::string();
  const std::string_view folder = longPath ? std::string_view(longForm) : std::string_view(M_Path);
  out.reserve(folder.size() + 1 + tail.size());
  out.append(folder);
  if (withSeparator || part == FullPath) out.push_back(osal::PathSeparator());
  out.append(tail);
  return out;
}

std::string FileInfo::GetFileName(PathPart part, bool withSeparator, bool longPath) const {
  if (part == FolderOnly) return GetPath(part, withSeparator, longPath);
  return JoinName(part, withSeparator, longPath, M_FileName);
}

std::string FileInfo::GetLockedFileName(PathPart part, bool withSeparator, bool longPath) const {
  if (part == FolderOnly) return GetPath(part, withSeparator, longPath);
  std::string name = M_FileName;
  name.push_back('.');
  name.append(M_LockTimeStamp);
  name.push_back('.');
  name.append(M_LockRandomString);
  name.push_back('+');
  name.append(M_LockTimeOut);
  name.append(kLockExtension);
  return JoinName(part, withSeparator, longPath, name);
}

std::string FileInfo::GetRenamedTriggerFileName(PathPart part, bool withSeparator,
                                                bool longPath) const {
  if (part == FolderOnly) return GetPath(part, withSeparator, longPath);
  // The extension is searched in the name only, so that a dot in a folder name
  // ("C:\in.d\order") is never mistaken for the name's extension.
  std::string name(CutExtension(M_FileName));
  name.append(M_TriggerChangeToExtension);
  return JoinName(part, withSeparator, longPath, name);
}

std::string FileInfo::GetCurrentFileName(PathPart part, bool withSeparator, bool longPath) const {
  if (M_LockState >= Locked) return GetLockedFileName(part, withSeparator, longPath);
  if (M_TriggerRenamed) return GetRenamedTriggerFileName(part, withSeparator, longPath);
  return GetFileName(part, withSeparator, longPath);
}

std::string FileInfo::GetTriggerSearchMask(int32_t kind, PathPart part, bool withSeparator,
                                           bool longPath) const {
  std::string mask;
  std::string folder;
  switch (kind) {
    case 1: {
      size_t dot = M_FileName.rfind('.');
      mask = dot == std::string::npos ? M_FileName : M_FileName.substr(0, dot + 1);
      mask.push_back('*');
      folder = GetPath(FolderOnly, withSeparator || part == FullPath, longPath);
      break;
    }
    case 2:
      mask = "*";
      folder = GetPath(FolderOnly, withSeparator || part == FullPath, longPath);
      break;
    case 3: {
      mask = "*";
      std::string subfolder(CutExtension(M_FileName));
      if (withSeparator || part == FullPath) subfolder.push_back(osal::PathSeparator());
      folder = JoinName(FolderOnly, true, longPath, subfolder);
      break;
    }
    default:
      return std::string();
  }
  switch (part) {
    case NameOnly:
      return mask;
    case FolderOnly:
      return folder;
    default:
      return folder + mask;
  }
}

std::string FileInfo::MakeLockSearchMask(std::string_view mask) {
  std::string out(mask);
  out.append(".??????????????.?????+?????");
  out.append(kLockExtension);
  return out;
}

void FileInfo::GenerateLockTimeStamp() {
  util::TimeUTC now;
  now.SetToNow();
  char text[32] = {};
  size_t length = 0;
  util::Result r = now.WriteAsText(text, sizeof(text), &length);
  std::string stamp;
  if (r.IsSuccess()) {
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) {
      char c = text[i];
      if (c != '-' && c != 'T' && c != ':') stamp.push_back(c);
    }
  }
  if (stamp.size() > 14) stamp.resize(14);
  M_LockTimeStamp = std::move(stamp);
}

void FileInfo::GenerateLockRandomString() {
  // Eight bytes from the system's generator keep claims made in the same second apart,
  // within this process and across processes watching the same folder.
  uint8_t bytes[8];
  osal::RandomBytes(bytes, sizeof(bytes));
  std::string encoded = util::Base64Encode(bytes, sizeof(bytes));
  encoded.resize(5);
  for (char& c : encoded) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  M_LockRandomString = std::move(encoded);
}

void FileInfo::MakeNewLock() {
  GenerateLockTimeStamp();
  GenerateLockRandomString();
  SetLockTimeOut(kDefaultLockTimeOut);
  M_LockState = Locked;
}

void FileInfo::MakePermanentLock() {
  SetLockTimeOut(kPermanentLockTimeOut);
  SetLockTimeStamp(kPermanentLockTimeStamp);
  M_LockState = LockedPermanent;
}

bool FileInfo::HasLockedExtension(std::string_view name) {
  return EndsWithNoCase(name, kLockExtension);
}

bool FileInfo::HasRenamedTriggerExtension(std::string_view name) const {
  return EndsWithNoCase(name, M_TriggerChangeToExtension);
}

int32_t FileInfo::ParseLockedFileName(std::string_view name) {
  if (!HasLockedExtension(name)) {
    XEL_TRACE_OBJ(this, util::General_Error, "Locked extension not found");
    return 0;
  }
  SetFullPath(name);
  return ParseLockSuffix();
}

int32_t FileInfo::ParseLockedName(std::string_view name) {
  if (!HasLockedExtension(name)) {
    XEL_TRACE_OBJ(this, util::General_Error, "Locked extension not found");
    return 0;
  }
  SetFileName(name);
  return ParseLockSuffix();
}

int32_t FileInfo::ParseLockSuffix() {
  const std::string& fn = M_FileName;
  if (fn.size() < kLockSuffixLength) {
    // Too short to hold the suffix: there is no character where the separator belongs.
    XEL_TRACE_OBJ(this, util::General_Error, "Timestamp separator %s not correct", "");
    return 0;
  }
  const size_t p = fn.size() - kLockSuffixLength;
  std::string_view view(fn);
  if (view[p] != '.') {
    XEL_TRACE_OBJ(this, util::General_Error, "Timestamp separator %s not correct",
                  std::string(view.substr(p, 1)).c_str());
    return 0;
  }
  std::string_view stamp = view.substr(p + 1, 14);
  if (!AllOf(stamp, kDigits)) {
    XEL_TRACE_OBJ(this, util::General_Error, "Timestamp %s not numeric",
                  std::string(stamp).c_str());
    return 0;
  }
  if (view[p + 15] != '.') {
    XEL_TRACE_OBJ(this, util::General_Error, "Random string separator %s not correct",
                  std::string(view.substr(p + 15, 1)).c_str());
    return 0;
  }
  std::string_view random = view.substr(p + 16, 5);
  if (!AllOf(random, kBase64UrlAlphabet)) {
    XEL_TRACE_OBJ(this, util::General_Error, "Random string %s is not base64url encoded",
                  std::string(random).c_str());
    return 0;
  }
  if (view[p + 21] != '+') {
    XEL_TRACE_OBJ(this, util::General_Error, "Timeout separator %s not correct",
                  std::string(view.substr(p + 21, 1)).c_str());
    return 0;
  }
  std::string_view timeout = view.substr(p + 22, 5);
  if (!AllOf(timeout, kDigits)) {
    XEL_TRACE_OBJ(this, util::General_Error, "Timeout %s not numeric",
                  std::string(timeout).c_str());
    return 0;
  }

  std::string plain(view.substr(0, p));
  M_LockTimeStamp.assign(stamp);
  M_LockRandomString.assign(random);
  M_LockTimeOut.assign(timeout);
  M_FileName = std::move(plain);
  M_Valid = true;
  XEL_TRACE_OBJ(this, util::General_60, "ParseLockedFileName set M_FileName to %s",
                M_FileName.c_str());
  XEL_TRACE_OBJ(this, util::General_60, "ParseLockedFileName set M_LockTimeStamp to %s",
                M_LockTimeStamp.c_str());
  XEL_TRACE_OBJ(this, util::General_60, "ParseLockedFileName set M_LockRandomString to %s",
                M_LockRandomString.c_str());
  XEL_TRACE_OBJ(this, util::General_60, "ParseLockedFileName set M_LockTimeOut to %s",
                M_LockTimeOut.c_str());

  if (M_LockTimeStamp == kPermanentLockTimeStamp && M_LockTimeOut == kPermanentLockTimeOut) {
    XEL_TRACE_OBJ(this, util::General_60, "File is locked permanent");
    return 2;
  }
  return 1;
}

bool FileInfo::GetLockTimeStampAsTimeUTC(util::TimeUTC* out) const {
  if (out == nullptr || M_LockTimeStamp.size() != 14 || !AllOf(M_LockTimeStamp, kDigits)) {
    return false;
  }
  // YYYYMMDDhhmmss -> YYYY-MM-DDThh:mm:ss, the text form the time value reads.
  std::string text = M_LockTimeStamp;
  text.insert(12, 1, ':');
  text.insert(10, 1, ':');
  text.insert(8, 1, 'T');
  text.insert(6, 1, '-');
  text.insert(4, 1, '-');
  char buffer[51] = {};
  std::strncpy(buffer, text.c_str(), 50);
  XEL_TRACE_OBJ(this, util::General_80, "Converted lock timestamp from %s",
                M_LockTimeStamp.c_str());
  XEL_TRACE_OBJ(this, util::General_80, "Converted lock timestamp to %s", buffer);
  util::Result r = out->ReadFromText(buffer, std::strlen(buffer));
  if (r.IsError()) return false;
  XEL_TRACE_OBJ(this, util::General_80, "GetLockTimeStampAsTimeUTC successful");
  return true;
}

bool FileInfo::CheckTimedOut() const { return CheckTimedOutAt(osal::SystemTimeAsFileTime()); }

bool FileInfo::CheckTimedOutAt(uint64_t nowFileTime) const {
  int timeout = 0;
  if (std::sscanf(M_LockTimeOut.c_str(), "%d", &timeout) != 1) {
    XEL_TRACE_OBJ(this, util::General_Error, "CheckTimedOut could not scan timeout from string %s",
                  M_LockTimeOut.c_str());
    return false;
  }
  XEL_TRACE_OBJ(this, util::General_80, "Scanned M_LockTimeOut to integer: %i", timeout);

  const util::TimeUTC now(nowFileTime);
  util::TimeUTC lockTime;
  if (!GetLockTimeStampAsTimeUTC(&lockTime)) return false;

  XEL_TRACE_OBJ(this, util::General_80,
                "Adding timeout %i seconds to lock time %i to get expiry time", timeout,
                static_cast<int>(lockTime.SecondsSince2001()));
  // Added in file-time units; a negative time-out below the lock time clamps at 0.
  const int64_t delta = static_cast<int64_t>(timeout) * int64_t{10000000};
  uint64_t expiryValue = lockTime.GetValue();
  if (delta >= 0) {
    expiryValue += static_cast<uint64_t>(delta);
  } else {
    uint64_t sub = static_cast<uint64_t>(-delta);
    expiryValue = expiryValue > sub ? expiryValue - sub : 0;
  }
  const util::TimeUTC expiry(expiryValue);
  const uint32_t expirySeconds = expiry.SecondsSince2001();
  const uint32_t nowSeconds = now.SecondsSince2001();
  XEL_TRACE_OBJ(this, util::General_80, "Comparing expiry time %i to current time %i",
                static_cast<int>(expirySeconds), static_cast<int>(nowSeconds));
  if (expirySeconds > nowSeconds) {
    XEL_TRACE_OBJ(this, util::General_80, "Timeout not expired");
    return true;
  }
  XEL_TRACE_OBJ(this, util::General_80, "Timeout expired");
  return false;
}

}  // namespace velmora::xelc
