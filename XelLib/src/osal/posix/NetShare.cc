// Network shares over SMB (libsmbclient): connections with credentials and file operations.
#include "osal/NetShare.h"

#include <errno.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "posix/NetShareFs.h"

namespace velmora::osal {
namespace {

constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;  // 1970-01-01 in 100 ns

uint64_t ToFileTime(const struct timespec& ts) {
  int64_t ticks = static_cast<int64_t>(ts.tv_sec) * 10000000ll + ts.tv_nsec / 100;
  int64_t result = static_cast<int64_t>(kUnixEpochInFileTime) + ticks;
  return result < 0 ? 0 : static_cast<uint64_t>(result);
}

// One connected share: its own client context, bound to the share's credentials.
// A libsmbclient context is not thread-safe, so every call on it holds M_Mutex.
struct Share {
  std::string M_Account;  // as given to AddShareConnection, for comparing credentials
  std::string M_User;
  std::string M_Domain;
  std::string M_Password;
  std::string M_UrlRoot;  // "smb://server/share"
  SMBCCTX* M_pContext = nullptr;
  std::mutex M_Mutex;
  std::atomic<int> M_OpenFiles{0};
  std::atomic<int> M_OpenDirs{0};
  // The folders whose listing is in progress (URL to the folder's own "." entry, which the
  // server sent with the listing); guarded by M_Mutex.
  std::multimap<std::string, DirEntry> M_ListedFolders;
  // The attributes of files this process has just claimed (URL to kAttr... bits), from
  // the claim's own look at the file; the oldest are forgotten past kClaimedMax. Guarded by
  // M_Mutex.
  std::map<std::string, uint32_t> M_Claimed;
  std::deque<std::string> M_ClaimedOrder;

  ~Share() {
    if (M_pContext != nullptr) smbc_free_context(M_pContext, 1);
  }
};

// The connected shares by "server/share" in lower case (share names ignore case).
std::mutex g_RegistryMutex;
std::map<std::string, std::shared_ptr<Share>>& Registry() {
  static auto* registry = new std::map<std::string, std::shared_ptr<Share>>();
  return *registry;
}
std::atomic<uint16_t> g_Port{0};

// The port chosen with SetShareClientPort, else XEL_SMB_PORT from the environment (so that a
// host process can be pointed at a server on another port without code), else 0.
uint16_t ClientPort() {
  if (uint16_t port = g_Port.load()) return port;
  static const uint16_t fromEnvironment = [] {
    const char* text = std::getenv("XEL_SMB_PORT");
    if (text == nullptr || *text == '\0') return uint16_t{0};
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value > 0 && value < 65536) ? static_cast<uint16_t>(value)
                                                        : uint16_t{0};
  }();
  return fromEnvironment;
}

// A native UNC path split into its share key, its URL and its server and share names.
struct UncPath {
  std::string key;  // "server/share", lower case
  std::string server;
  std::string share;
  std::string rest;  // below the share, without leading "/"; may be empty
};

bool SplitUnc(std::string_view native, UncPath* out) {
  if (native.size() < 3 || native[0] != '/' || native[1] != '/' || native[2] == '/') return false;
  native.remove_prefix(2);
  size_t slash = native.find('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  out->server = std::string(native.substr(0, slash));
  native.remove_prefix(slash + 1);
  slash = native.find('/');
  out->share = std::string(native.substr(0, slash));
  if (out->share.empty()) return false;
  out->rest =
      slash == std::string_view::npos ? std::string() : std::string(native.substr(slash + 1));
  while (!out->rest.empty() && out->rest.back() == '/') out->rest.pop_back();
  out->key = out->server + "/" + out->share;
  for (char& c : out->key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return true;
}

// Percent-encodes a path component list for an smb:// URL ("/" kept).
std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string UrlOf(const std::string& url_root, const std::string& rest) {
  return rest.empty() ? url_root : url_root + "/" + UrlEncode(rest);
}

std::string NativeUncOf(std::string_view remote) {
  std::string out;
  if (remote.size() >= 8 && (remote.substr(0, 8) == "\\\\?\\UNC\\")) {
    out = "//";
    remote.remove_prefix(8);
  }
  for (char c : remote) out.push_back(c == '\\' ? '/' : c);
  return out;
}

void AuthWithContext(SMBCCTX* context, const char* /*server*/, const char* /*share*/,
                     char* workgroup, int workgroup_len, char* user, int user_len, char* password,
                     int password_len) {
  const Share* share = static_cast<const Share*>(smbc_getOptionUserData(context));
  if (share == nullptr) return;
  if (!share->M_Domain.empty()) snprintf(workgroup, workgroup_len, "%s", share->M_Domain.c_str());
  snprintf(user, user_len, "%s", share->M_User.c_str());
  snprintf(password, password_len, "%s", share->M_Password.c_str());
}

uint32_t ConnectCode(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return kNetLogonFailure;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
      return kNetBadNetName;
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ETIMEDOUT:
    case ENOTCONN:
      return kNetBadNetPath;
    default:
      return kNetUnexpectedError;
  }
}

// Splits "user@domain" or "domain\user" (the forms the connector's accounts take).
void SplitAccount(std::string_view account, std::string* user, std::string* domain) {
  size_t at = account.find('@');
  size_t backslash = account.find('\\');
  if (at != std::string_view::npos) {
    *user = std::string(account.substr(0, at));
    *domain = std::string(account.substr(at + 1));
  } else if (backslash != std::string_view::npos) {
    *domain = std::string(account.substr(0, backslash));
    *user = std::string(account.substr(backslash + 1));
  } else {
    *user = std::string(account);
    domain->clear();
  }
}

std::shared_ptr<Share> FindShare(const std::string& key) {
  std::lock_guard<std::mutex> guard(g_RegistryMutex);
  auto it = Registry().find(key);
  return it == Registry().end() ? nullptr : it->second;
}

Status NotConnected() { return Status(ErrorKind::kPathNotFound, ENOTCONN); }

// The share and URL of a native path, or the "not connected" status.
Status Resolve(const std::string& native, std::shared_ptr<Share>* share, std::string* url,
               UncPath* parts = nullptr) {
  UncPath local;
  UncPath& unc = parts ? *parts : local;
  if (!SplitUnc(native, &unc)) return Status(ErrorKind::kInvalid, EINVAL);
  *share = FindShare(unc.key);
  if (*share == nullptr) return NotConnected();
  *url = UrlOf((*share)->M_UrlRoot, unc.rest);
  return Status::Ok();
}

std::string ParentUrl(const std::string& url, const std::string& root) {
  size_t slash = url.rfind('/');
  if (url.size() <= root.size() || slash == std::string::npos || slash < root.size()) return root;
  return url.substr(0, slash);
}

// Caller holds share.M_Mutex.
bool IsFolderLocked(Share& share, const std::string& url) {
  struct stat st;
  return smbc_getFunctionStat(share.M_pContext)(share.M_pContext, url.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

// Like the local layer: a missing entry whose folder is missing too is "path not found".
// Caller holds share.M_Mutex.
Status ErrorStatusLocked(Share& share, const std::string& url, int err) {
  if (err == ENOENT && !IsFolderLocked(share, ParentUrl(url, share.M_UrlRoot))) {
    return Status(ErrorKind::kPathNotFound, err);
  }
  return Status::FromNative(err);
}

// How long an open waits out other clients' opens of the same file (sharing violations):
// about a second.
constexpr int kSharingViolationAttempts = 200;
constexpr useconds_t kSharingViolationWaitUs = 5000;

// How many claimed files' attributes a share remembers.
constexpr size_t kClaimedMax = 64;

// Forgets what the claim of url told. Caller holds share.M_Mutex.
void ForgetClaimedLocked(Share& share, const std::string& url) { share.M_Claimed.erase(url); }

// Remembers the attributes of a file just claimed, as GetAttributes gives them: the claim's
// delete asks for them. Caller holds share.M_Mutex.
void RememberClaimedLocked(Share& share, const std::string& url, uint32_t attributes) {
  share.M_Claimed[url] = attributes;
  share.M_ClaimedOrder.push_back(url);
  while (share.M_ClaimedOrder.size() > kClaimedMax) {
    // An entry may be forgotten already, or belong to a newer claim of the same name.
    const std::string& oldest = share.M_ClaimedOrder.front();
    if (std::count(share.M_ClaimedOrder.begin(), share.M_ClaimedOrder.end(), oldest) == 1) {
      share.M_Claimed.erase(oldest);
    }
    share.M_ClaimedOrder.pop_front();
  }
}

// Whether a rename that the server reported as done left the file under our new name.
//
// An SMB2 rename opens the source by name and then renames that open file. Two clients that
// open the same source before either of them renames it both succeed, and the file ends up
// under the name the later one chose: the earlier one believes it renamed a file that has
// moved on. libsmbclient cannot rename through a handle of its own, so the claim is checked
// afterwards, in two looks at the new name:
//  1. An open without sharing. The server refuses it with a sharing violation while another
//     open of the file exists (another client's rename holds one), which is waited out, and
//     says "not found" once the file has moved on.
//  2. Right after that, a plain look-up of the name: under load, another client's rename
//     that had been under way was seen to land while the first look was being granted.
// Only a file found under our name twice counts as claimed. docs/network-shares.md has the
// measurements behind this.
// Caller holds share.M_Mutex (the context's share mode is changed for the open).
bool StillUnderNewNameLocked(Share& share, const std::string& url) {
  SMBCCTX* ctx = share.M_pContext;
  const smbc_share_mode previous = smbc_getOptionOpenShareMode(ctx);
  smbc_setOptionOpenShareMode(ctx, SMBC_SHAREMODE_DENY_ALL);
  bool owned = true;
  for (int attempt = 0; attempt < kSharingViolationAttempts; ++attempt) {
    SMBCFILE* file = smbc_getFunctionOpen(ctx)(ctx, url.c_str(), O_RDONLY, 0);
    if (file != nullptr) {
      smbc_getFunctionClose(ctx)(ctx, file);
      break;
    }
    if (errno == ENOENT) {
      owned = false;
      break;
    }
    // Anything but a sharing violation (a folder, no read right) cannot tell us more; the
    // server did report the rename as done.
    if (errno != EBUSY) break;
    ::usleep(kSharingViolationWaitUs);
  }
  smbc_setOptionOpenShareMode(ctx, previous);
  if (!owned) return false;
  struct stat st;
  if (smbc_getFunctionStat(ctx)(ctx, url.c_str(), &st) != 0) return errno != ENOENT;
  // The client maps the DOS read-only attribute to the absence of write bits.
  const uint32_t attributes = (S_ISDIR(st.st_mode) ? uint32_t{kAttrDirectory} : 0u) |
                              ((st.st_mode & S_IWUSR) == 0 ? uint32_t{kAttrReadOnly} : 0u);
  RememberClaimedLocked(share, url, attributes == 0 ? uint32_t{kAttrNormal} : attributes);
  return true;
}

void FillEntry(const struct stat& st, DirEntry* entry) {
  entry->is_folder = S_ISDIR(st.st_mode);
  // The client maps the DOS read-only attribute to the absence of write bits.
  entry->is_readonly = (st.st_mode & S_IWUSR) == 0;
  entry->size = entry->is_folder ? 0 : static_cast<uint64_t>(st.st_size);
  entry->last_write_time = ToFileTime(st.st_mtim);
  entry->creation_time = ToFileTime(st.st_ctim);
}

}  // namespace

uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                            std::string_view password) {
  UncPath unc;
  if (!SplitUnc(NativeUncOf(remote), &unc)) return kNetBadNetName;
  const std::string account(user);
  // Adds are serialised as a whole so that two callers never both connect one share.
  static std::mutex add_mutex;
  std::lock_guard<std::mutex> add_guard(add_mutex);
  if (std::shared_ptr<Share> existing = FindShare(unc.key)) {
    return existing->M_Account == account && existing->M_Password == password
               ? kNetAlreadyAssigned
               : kNetCredentialConflict;
  }
  auto share = std::make_shared<Share>();
  share->M_Account = account;
  SplitAccount(user, &share->M_User, &share->M_Domain);
  share->M_Password = std::string(password);
  share->M_UrlRoot = "smb://" + UrlEncode(unc.server) + "/" + UrlEncode(unc.share);
  SMBCCTX* context = smbc_new_context();
  if (context == nullptr) return kNetUnexpectedError;
  smbc_setDebug(context, 0);
  smbc_setOptionUserData(context, share.get());
  smbc_setFunctionAuthDataWithContext(context, AuthWithContext);
  // A refused password must fail, not fall back to a guest session.
  smbc_setOptionNoAutoAnonymousLogin(context, 1);
  smbc_setOptionUseKerberos(context, 0);
  smbc_setOptionFallbackAfterKerberos(context, 1);
  smbc_setOptionUseCCache(context, 0);
  if (uint16_t port = ClientPort()) smbc_setPort(context, port);
  if (smbc_init_context(context) == nullptr) {
    smbc_free_context(context, 1);
    return kNetUnexpectedError;
  }
  share->M_pContext = context;
  // Listing the remote folder logs the account on and proves that the folder exists.
  SMBCFILE* dir =
      smbc_getFunctionOpendir(context)(context, UrlOf(share->M_UrlRoot, unc.rest).c_str());
  if (dir == nullptr) return ConnectCode(errno);
  smbc_getFunctionClosedir(context)(context, dir);
  std::lock_guard<std::mutex> guard(g_RegistryMutex);
  Registry()[unc.key] = std::move(share);
  return kNetOk;
}

uint32_t CancelShareConnection(std::string_view remote, bool force) {
  UncPath unc;
  if (!SplitUnc(NativeUncOf(remote), &unc)) return kNetNotConnected;
  std::shared_ptr<Share> dropped;
  std::lock_guard<std::mutex> guard(g_RegistryMutex);
  auto it = Registry().find(unc.key);
  if (it == Registry().end()) return kNetNotConnected;
  if (!force) {
    // An open that is starting right now may not be counted yet; it holds its own
    // reference to the connection, so dropping the share does not break it either.
    if (it->second->M_OpenFiles.load() > 0) return kNetOpenFiles;
    if (it->second->M_OpenDirs.load() > 0) return kNetDeviceInUse;
  }
  dropped = std::move(it->second);
  Registry().erase(it);
  return kNetOk;
}

bool IsShareConnected(std::string_view remote) {
  UncPath unc;
  return SplitUnc(NativeUncOf(remote), &unc) && FindShare(unc.key) != nullptr;
}

void SetShareClientPort(uint16_t port) { g_Port.store(port); }

namespace netshare {

struct ShareFile {
  std::shared_ptr<Share> share;
  SMBCFILE* file = nullptr;
  std::string url;
  bool delete_on_close = false;
};

struct ShareDir {
  std::shared_ptr<Share> share;
  std::string url;
  std::vector<DirEntry> entries;  // the listing without "." and ".."
  size_t next = 0;
  Status status;  // how the listing ended
  std::multimap<std::string, DirEntry>::iterator listed;
  bool has_listed = false;
};

// Runs op(share, context, url) for the UNC path native under its share's lock.
template <typename Op>
Status OnShareLocked(const std::string& native, Op op) {
  std::shared_ptr<Share> share;
  std::string url;
  Status status = Resolve(native, &share, &url);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  return op(*share, share->M_pContext, url);
}

bool IsUncPath(const std::string& native) {
  return native.size() >= 3 && native[0] == '/' && native[1] == '/' && native[2] != '/';
}

Status OpenFile(const std::string& native, const OpenOptions& options, ShareFile** out) {
  *out = nullptr;
  std::shared_ptr<Share> share;
  std::string url;
  Status status = Resolve(native, &share, &url);
  if (!status.ok()) return status;
  bool can_read = (options.access & kAccessRead) != 0;
  bool can_write = (options.access & kAccessWrite) != 0;
  int flags = can_read && can_write ? O_RDWR : can_write ? O_WRONLY : O_RDONLY;
  switch (options.disposition) {
    case Disposition::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case Disposition::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case Disposition::kOpenExisting:
      break;
    case Disposition::kOpenAlways:
      flags |= O_CREAT;
      break;
    case Disposition::kTruncateExisting:
      flags |= O_TRUNC;
      break;
    default:
      return Status(ErrorKind::kInvalid, EINVAL);
  }
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  SMBCCTX* ctx = share->M_pContext;
  // libsmbclient opens deny-none: the sharing modes of options are not enforced on shares.
  // Other clients' renames hold the file open for a moment (see StillUnderNewNameLocked), so
  // a sharing violation is waited out for a short while instead of failing the open.
  SMBCFILE* file = nullptr;
  for (int attempt = 0; attempt < kSharingViolationAttempts; ++attempt) {
    file = smbc_getFunctionOpen(ctx)(ctx, url.c_str(), flags, 0666);
    if (file != nullptr || errno != EBUSY) break;
    ::usleep(kSharingViolationWaitUs);
  }
  if (file == nullptr) {
    int err = errno;
    // The server refuses to open a folder as a file (EISDIR); an exclusive create reports
    // an existing folder as an existing name. Windows refuses both as "access denied".
    struct stat st;
    if (err == EISDIR || (err == EEXIST && smbc_getFunctionStat(ctx)(ctx, url.c_str(), &st) == 0 &&
                          S_ISDIR(st.st_mode))) {
      return Status(ErrorKind::kAccessDenied, EISDIR);
    }
    return ErrorStatusLocked(*share, url, err);
  }
  auto* handle = new ShareFile{share, file, url, options.delete_on_close};
  share->M_OpenFiles.fetch_add(1);
  *out = handle;
  return Status::Ok();
}

Status ReadFile(ShareFile* file, void* buffer, size_t size, size_t* read) {
  std::lock_guard<std::mutex> guard(file->share->M_Mutex);
  SMBCCTX* ctx = file->share->M_pContext;
  ssize_t n = smbc_getFunctionRead(ctx)(ctx, file->file, buffer, size);
  if (n < 0) return Status::FromNative(errno);
  *read = static_cast<size_t>(n);
  return Status::Ok();
}

Status WriteFile(ShareFile* file, const void* data, size_t size) {
  std::lock_guard<std::mutex> guard(file->share->M_Mutex);
  SMBCCTX* ctx = file->share->M_pContext;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = smbc_getFunctionWrite(ctx)(ctx, file->file, p, size);
    if (n < 0) return Status::FromNative(errno);
    if (n == 0) return Status(ErrorKind::kOther, EIO);
    p += n;
    size -= static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status TruncateFile(ShareFile* file, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return Status(ErrorKind::kInvalid, EINVAL);
  std::lock_guard<std::mutex> guard(file->share->M_Mutex);
  SMBCCTX* ctx = file->share->M_pContext;
  if (smbc_getFunctionFtruncate(ctx)(ctx, file->file, static_cast<off_t>(length)) != 0) {
    return Status::FromNative(errno);
  }
  // As locally: the position never stays beyond the new end.
  off_t pos = smbc_getFunctionLseek(ctx)(ctx, file->file, 0, SEEK_CUR);
  if (pos > static_cast<off_t>(length)) {
    smbc_getFunctionLseek(ctx)(ctx, file->file, static_cast<off_t>(length), SEEK_SET);
  }
  return Status::Ok();
}

Status SeekFile(ShareFile* file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Status(ErrorKind::kInvalid, EINVAL);
  std::lock_guard<std::mutex> guard(file->share->M_Mutex);
  SMBCCTX* ctx = file->share->M_pContext;
  if (smbc_getFunctionLseek(ctx)(ctx, file->file, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return Status::FromNative(errno);
  }
  return Status::Ok();
}

Status FlushFile(ShareFile* file) {
  // Every write above is a request the server has answered before it returned, so no data
  // waits in this process. libsmbclient has no flush request that would make the server
  // write its cache to disk; the server's own "strict sync" setting decides that.
  (void)file;
  return Status::Ok();
}

Status FileSize(ShareFile* file, uint64_t* size) {
  std::lock_guard<std::mutex> guard(file->share->M_Mutex);
  SMBCCTX* ctx = file->share->M_pContext;
  struct stat st;
  if (smbc_getFunctionFstat(ctx)(ctx, file->file, &st) != 0) return Status::FromNative(errno);
  *size = static_cast<uint64_t>(st.st_size);
  return Status::Ok();
}

Status CloseFile(ShareFile* file) {
  std::unique_ptr<ShareFile> owner(file);
  Status status;
  {
    std::lock_guard<std::mutex> guard(file->share->M_Mutex);
    SMBCCTX* ctx = file->share->M_pContext;
    if (smbc_getFunctionClose(ctx)(ctx, file->file) != 0) status = Status::FromNative(errno);
    // SMB has no unlink of an open handle through this client: remove right after closing.
    if (file->delete_on_close && smbc_getFunctionUnlink(ctx)(ctx, file->url.c_str()) != 0 &&
        status.ok()) {
      status = Status::FromNative(errno);
    }
  }
  file->share->M_OpenFiles.fetch_sub(1);
  return status;
}

namespace {

DirEntry EntryOf(const libsmb_file_info& info) {
  DirEntry entry;
  entry.name = info.name;
  entry.is_folder = (info.attrs & kAttrDirectory) != 0;
  entry.is_readonly = (info.attrs & kAttrReadOnly) != 0;
  entry.size = entry.is_folder ? 0 : info.size;
  entry.last_write_time = ToFileTime(info.mtime_ts);
  entry.creation_time = ToFileTime(info.btime_ts);
  return entry;
}

}  // namespace

// libsmbclient fetches the whole listing from the server when the folder is opened, and its
// reads only walk that copy: the listing is taken over at once, and the client's copy freed.
Status OpenDir(const std::string& native, ShareDir** out) {
  *out = nullptr;
  std::shared_ptr<Share> share;
  std::string url;
  Status status = Resolve(native, &share, &url);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  SMBCCTX* ctx = share->M_pContext;
  SMBCFILE* dir = smbc_getFunctionOpendir(ctx)(ctx, url.c_str());
  if (dir == nullptr) return ErrorStatusLocked(*share, url, errno);
  auto handle = std::make_unique<ShareDir>();
  handle->share = share;
  handle->url = url;
  for (;;) {
    errno = 0;
    struct stat st;
    const struct libsmb_file_info* info = smbc_getFunctionReaddirPlus2(ctx)(ctx, dir, &st);
    if (info == nullptr) {
      if (errno != 0 && errno != ENOENT) handle->status = Status::FromNative(errno);
      break;
    }
    const char* name = info->name;
    if (name == nullptr || (name[0] == '.' && name[1] == '.' && name[2] == 0)) continue;
    if (name[0] == '.' && name[1] == 0) {
      // The folder itself, as the server saw it for this listing: GetInfo of the folder is
      // answered from it while the listing is in progress.
      if (!handle->has_listed) {
        handle->listed = share->M_ListedFolders.emplace(url, EntryOf(*info));
        handle->has_listed = true;
      }
      continue;
    }
    handle->entries.push_back(EntryOf(*info));
  }
  smbc_getFunctionClosedir(ctx)(ctx, dir);
  share->M_OpenDirs.fetch_add(1);
  *out = handle.release();
  return Status::Ok();
}

bool NextDirEntry(ShareDir* dir, DirEntry* entry, Status* status) {
  if (dir->next < dir->entries.size()) {
    *entry = std::move(dir->entries[dir->next++]);
    return true;
  }
  if (!dir->status.ok()) *status = dir->status;
  return false;
}

void CloseDir(ShareDir* dir) {
  std::unique_ptr<ShareDir> owner(dir);
  if (dir->has_listed) {
    std::lock_guard<std::mutex> guard(dir->share->M_Mutex);
    dir->share->M_ListedFolders.erase(dir->listed);
  }
  dir->share->M_OpenDirs.fetch_sub(1);
}

Status GetInfo(const std::string& native, DirEntry* entry) {
  std::shared_ptr<Share> share;
  std::string url;
  UncPath unc;
  Status status = Resolve(native, &share, &url, &unc);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  // A folder whose listing is in progress: the listing has told about it already.
  auto listed = share->M_ListedFolders.find(url);
  if (listed != share->M_ListedFolders.end()) {
    *entry = listed->second;
  } else {
    struct stat st;
    if (smbc_getFunctionStat(share->M_pContext)(share->M_pContext, url.c_str(), &st) != 0) {
      return ErrorStatusLocked(*share, url, errno);
    }
    FillEntry(st, entry);
  }
  size_t slash = unc.rest.rfind('/');
  entry->name = unc.rest.empty()             ? unc.share
                : slash == std::string::npos ? unc.rest
                                             : unc.rest.substr(slash + 1);
  return Status::Ok();
}

Status Rename(const std::string& from, const std::string& to, RenameMode mode) {
  std::shared_ptr<Share> share, to_share;
  std::string src, dst;
  Status status = Resolve(from, &share, &src);
  if (!status.ok()) return status;
  if (!IsUncPath(to)) return Status(ErrorKind::kNotSupported, EXDEV);
  status = Resolve(to, &to_share, &dst);
  if (!status.ok()) return status;
  if (to_share != share) return Status(ErrorKind::kNotSupported, EXDEV);
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  SMBCCTX* ctx = share->M_pContext;
  if (mode == RenameMode::kNoReplace) {
    // libsmbclient's rename always replaces: when the server refuses because the target
    // exists, the client deletes the target and renames again. The only guard available
    // is this check, atomic against every user of this connection (the share's lock is
    // held) but not against another client creating the target in between.
    struct stat st;
    if (smbc_getFunctionStat(ctx)(ctx, dst.c_str(), &st) == 0) {
      // As a local rename: a missing source is reported before an existing target.
      if (smbc_getFunctionStat(ctx)(ctx, src.c_str(), &st) != 0) {
        return ErrorStatusLocked(*share, src, errno);
      }
      return Status(ErrorKind::kExists, EEXIST);
    }
  }
  if (smbc_getFunctionRename(ctx)(ctx, src.c_str(), ctx, dst.c_str()) != 0) {
    int err = errno;
    struct stat st;
    bool source_there = smbc_getFunctionStat(ctx)(ctx, src.c_str(), &st) == 0;
    return ErrorStatusLocked(*share, source_there ? dst : src, err);
  }
  // A rename without replace claims a name (the folder import's locks): another client
  // renaming the same source at the same moment must not leave both believing they won.
  // The loser is told that the source was gone, which is what it was in effect.
  ForgetClaimedLocked(*share, src);
  ForgetClaimedLocked(*share, dst);
  if (mode == RenameMode::kNoReplace && !StillUnderNewNameLocked(*share, dst)) {
    return Status(ErrorKind::kNotFound, ENOENT);
  }
  return Status::Ok();
}

Status Unlink(const std::string& native) {
  return OnShareLocked(native, [](Share& share, SMBCCTX* ctx, const std::string& url) {
    ForgetClaimedLocked(share, url);
    if (smbc_getFunctionUnlink(ctx)(ctx, url.c_str()) == 0) return Status::Ok();
    int err = errno;
    struct stat st;
    // The client reports a read-only file as an invalid argument; Windows says "denied".
    if (err == EINVAL && smbc_getFunctionStat(ctx)(ctx, url.c_str(), &st) == 0 &&
        (st.st_mode & S_IWUSR) == 0) {
      err = EACCES;
    }
    return ErrorStatusLocked(share, url, err);
  });
}

Status RemoveFolder(const std::string& native) {
  return OnShareLocked(native, [](Share& share, SMBCCTX* ctx, const std::string& url) {
    if (smbc_getFunctionRmdir(ctx)(ctx, url.c_str()) == 0) return Status::Ok();
    return ErrorStatusLocked(share, url, errno == EEXIST ? ENOTEMPTY : errno);
  });
}

Status MakeFolder(const std::string& native) {
  return OnShareLocked(native, [](Share& share, SMBCCTX* ctx, const std::string& url) {
    if (smbc_getFunctionMkdir(ctx)(ctx, url.c_str(), 0777) == 0) return Status::Ok();
    return ErrorStatusLocked(share, url, errno);
  });
}

Status MakeFolders(const std::string& native, std::vector<std::string>* created) {
  std::shared_ptr<Share> share;
  std::string url;
  UncPath unc;
  Status status = Resolve(native, &share, &url, &unc);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  SMBCCTX* ctx = share->M_pContext;
  const std::string base = "//" + unc.server + "/" + unc.share;
  size_t pos = 0;
  while (pos < unc.rest.size()) {
    size_t slash = unc.rest.find('/', pos);
    size_t end = slash == std::string::npos ? unc.rest.size() : slash;
    std::string prefix = unc.rest.substr(0, end);
    std::string component = unc.rest.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return Status(ErrorKind::kInvalid, EINVAL);
    std::string folder_url = UrlOf(share->M_UrlRoot, prefix);
    if (smbc_getFunctionMkdir(ctx)(ctx, folder_url.c_str(), 0777) == 0) {
      if (created) created->push_back(base + "/" + prefix);
      continue;
    }
    int err = errno;
    if (IsFolderLocked(*share, folder_url)) continue;
    if (err == EEXIST) return Status(ErrorKind::kPathNotFound, ENOTDIR);  // a file is in the way
    return Status::FromNative(err);
  }
  return Status::Ok();
}

Status GetAttributes(const std::string& native, uint32_t* attributes) {
  DirEntry entry;
  {
    // A file this process has just claimed: the claim looked at it already.
    std::shared_ptr<Share> share;
    std::string url;
    if (Resolve(native, &share, &url).ok()) {
      std::lock_guard<std::mutex> guard(share->M_Mutex);
      auto claimed = share->M_Claimed.find(url);
      if (claimed != share->M_Claimed.end()) {
        *attributes = claimed->second;
        return Status::Ok();
      }
    }
  }
  Status status = GetInfo(native, &entry);
  if (!status.ok()) return status;
  uint32_t attr = (entry.is_folder ? uint32_t{kAttrDirectory} : 0u) |
                  (entry.is_readonly ? uint32_t{kAttrReadOnly} : 0u);
  *attributes = attr == 0 ? kAttrNormal : attr;
  return Status::Ok();
}

Status SetAttributes(const std::string& native, uint32_t attributes) {
  DirEntry entry;
  Status status = GetInfo(native, &entry);
  if (!status.ok()) return status;
  std::shared_ptr<Share> share;
  std::string url;
  status = Resolve(native, &share, &url);
  if (!status.ok()) return status;
  // The share keeps DOS attributes; only read-only is set or cleared here. The client
  // passes "normal" (0x80) on as "no change", so a plain file gets "archive" (0x20).
  constexpr uint32_t kDosArchive = 0x20;
  uint32_t dos = (entry.is_folder ? uint32_t{kAttrDirectory} : 0u) | (attributes & kAttrReadOnly);
  if (dos == 0) dos = kDosArchive;
  char value[16];
  int len = snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(dos));
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  ForgetClaimedLocked(*share, url);
  if (smbc_getFunctionSetxattr(share->M_pContext)(share->M_pContext, url.c_str(),
                                                  "system.dos_attr.mode", value,
                                                  static_cast<size_t>(len), 0) != 0) {
    return Status::FromNative(errno);
  }
  return Status::Ok();
}

namespace {

// One extended attribute as text. Caller holds share.M_Mutex. libsmbclient answers 0 on
// success (not the length) and ERANGE when the text does not fit; its size query answers 0
// too, so the buffer grows until the text fits. A text that ends exactly at the buffer's
// end loses its last character without an error, so a text filling the buffer is read
// again with a larger one as well.
Status GetXattrLocked(Share& share, const std::string& url, const char* name, std::string* text) {
  SMBCCTX* ctx = share.M_pContext;
  constexpr size_t kLimit = 4u << 20;
  for (size_t size = 4096; size <= kLimit; size *= 4) {
    std::string buffer(size, '\0');
    errno = 0;
    if (smbc_getFunctionGetxattr(ctx)(ctx, url.c_str(), name, buffer.data(), size) < 0) {
      if (errno == ERANGE) continue;
      if (errno == ENOENT) return ErrorStatusLocked(share, url, errno);
      // No data at all: the "IPC$" connection the descriptor needs could not be made.
      if (errno == ENODATA || errno == ENOTSUP) return Status(ErrorKind::kNotSupported, errno);
      return Status::FromNative(errno);
    }
    size_t length = strnlen(buffer.data(), size);
    if (length + 1 >= size) continue;
    text->assign(buffer.data(), length);
    return Status::Ok();
  }
  return Status(ErrorKind::kOther, E2BIG);
}

}  // namespace

Status ReadSecurityDescriptor(const std::string& native, SecurityDescriptorText* out) {
  *out = SecurityDescriptorText();
  std::shared_ptr<Share> share;
  std::string url;
  Status status = Resolve(native, &share, &url);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> guard(share->M_Mutex);
  // The descriptor comes over the share's connection, but the client also insists on a
  // second connection to the server's "IPC$" (for name lookups, even when SIDs are asked
  // for), which it always makes on the standard port. For a share on another port that
  // would reach another server, if any, so it is not tried.
  int port = smbc_getPort(share->M_pContext);
  if (port != 0 && port != 445) return Status(ErrorKind::kNotSupported, ENOTSUP);
  out->user = share->M_User;
  status = GetXattrLocked(*share, url, "system.nt_sec_desc.*", &out->sids);
  if (!status.ok()) return status;
  // Names are a second lookup on the server; without them the SIDs still decide.
  if (!GetXattrLocked(*share, url, "system.nt_sec_desc.*+", &out->names).ok()) out->names.clear();
  return Status::Ok();
}

}  // namespace netshare
}  // namespace velmora::osal
