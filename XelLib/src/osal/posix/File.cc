// POSIX files and folders: open with Windows dispositions and sharing, listing, rename, and
// the resolution of confined paths beneath their folder's descriptor.
#include "osal/File.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <utility>

#include "XelConfig.h"
#include "posix/NativePath.h"
#include "posix/NetShareFs.h"

#ifdef HAVE_OPENAT2
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

namespace velmora::osal {
namespace {

constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;  // 1970-01-01 in 100 ns

uint64_t ToFileTime(int64_t seconds, uint32_t nanoseconds) {
  int64_t ticks = seconds * 10000000ll + nanoseconds / 100;
  int64_t result = static_cast<int64_t>(kUnixEpochInFileTime) + ticks;
  return result < 0 ? 0 : static_cast<uint64_t>(result);
}

Status LastError() { return Status::FromNative(errno); }

// UNC paths ("//server/share/...") go to the connected network shares.
using netshare::IsUncPath;
netshare::ShareFile* AsShareFile(void* p) { return static_cast<netshare::ShareFile*>(p); }
netshare::ShareDir* AsShareDir(void* p) { return static_cast<netshare::ShareDir*>(p); }


std::string LastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  size_t begin = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(begin, end - begin);
}

bool IsNativeFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A missing file and a missing folder both give ENOENT on POSIX; Windows tells them
// apart, and callers (creating folders on demand) depend on the difference.
Status MissingStatus(const std::string& path, int err) {
  if (err == ENOENT && !IsNativeFolder(ParentOfNativePath(path))) {
    return Status(ErrorKind::kPathNotFound, err);
  }
  return Status::FromNative(err);
}

// Fills the attributes of entry from a stat of path relative to dir_fd; an empty path stats
// dir_fd itself. A link is followed unless flags holds AT_SYMLINK_NOFOLLOW; *pLink (when
// given) tells whether what was stat'ed is a link.
Status StatEntry(int dir_fd, const char* path, DirEntry* entry, int flags = 0,
                 bool* pLink = nullptr) {
  if (path[0] == '\0') flags |= AT_EMPTY_PATH;
#ifdef HAVE_STATX
  struct statx sx;
  // Only the fields used: a network file system need not fetch the rest.
  constexpr unsigned kMask =
      STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME;
  if (::statx(dir_fd, path, flags | AT_STATX_SYNC_AS_STAT, kMask, &sx) != 0) {
    return LastError();
  }
  if (pLink != nullptr) *pLink = S_ISLNK(sx.stx_mode);
  entry->is_folder = S_ISDIR(sx.stx_mode);
  entry->is_readonly = (sx.stx_mode & S_IWUSR) == 0;
  entry->size = entry->is_folder ? 0 : sx.stx_size;
  entry->last_write_time = ToFileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  if (sx.stx_mask & STATX_BTIME) {
    entry->creation_time = ToFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  } else {
    entry->creation_time = ToFileTime(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
  }
#else
  struct stat st;
  if (::fstatat(dir_fd, path, &st, flags) != 0) return LastError();
  if (pLink != nullptr) *pLink = S_ISLNK(st.st_mode);
  entry->is_folder = S_ISDIR(st.st_mode);
  entry->is_readonly = (st.st_mode & S_IWUSR) == 0;
  entry->size = entry->is_folder ? 0 : static_cast<uint64_t>(st.st_size);
  entry->last_write_time = ToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  entry->creation_time = ToFileTime(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
#endif
  return Status::Ok();
}

// Makes a rename or delete durable by syncing the folder that holds the entry.
Status SyncFolderOf(const std::string& path) {
  int fd = ::open(ParentOfNativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  Status status;
  if (::fsync(fd) != 0 && errno != EINVAL) status = LastError();
  ::close(fd);
  return status;
}

}  // namespace

// --- Confinement ---------------------------------------------------------------------------

// A descriptor of each confining folder (as folders() lists them), -1 until a call first
// resolves a path beneath it. A poll makes a dozen calls in its watched folder; opening the
// folder by its path for each would walk that path a dozen times.
struct FileConfinement::Held {
  std::vector<int> fds;
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

namespace {

// Without O_PATH a folder on the way must be readable to be opened; Linux has it.
#ifdef O_PATH
constexpr int kPathOnly = O_PATH;
#else
constexpr int kPathOnly = O_RDONLY;
#endif

// A link chain longer than this is taken for a loop, as the kernel does.
constexpr int kMaxLinks = 40;

// The refusal of a path that leaves its folder: the code openat2 gives for it.
Status Outside() { return Status(ErrorKind::kAccessDenied, EXDEV); }

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : M_Fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : M_Fd(std::exchange(other.M_Fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      M_Fd = std::exchange(other.M_Fd, -1);
    }
    return *this;
  }
  int get() const { return M_Fd; }
  int Release() { return std::exchange(M_Fd, -1); }
  void Reset() {
    if (M_Fd >= 0) ::close(std::exchange(M_Fd, -1));
  }

 private:
  int M_Fd = -1;
};

// The next component of a native path from *pPos on, skipping empty and "." ones (".." is
// one); false at the end.
bool NextComponent(std::string_view path, size_t* pPos, std::string_view* part) {
  while (*pPos <= path.size()) {
    size_t slash = path.find('/', *pPos);
    if (slash == std::string_view::npos) slash = path.size();
    *part = path.substr(*pPos, slash - *pPos);
    *pPos = slash + 1;
    if (!part->empty() && *part != ".") return true;
  }
  return false;
}

// The number of folder's components when they are the first ones of path, -1 otherwise;
// *pMore tells whether path has further components.
ptrdiff_t LeadingComponents(std::string_view path, std::string_view folder, bool* pMore) {
  size_t pathPos = 0;
  size_t folderPos = 0;
  std::string_view mine;
  std::string_view theirs;
  ptrdiff_t count = 0;
  while (NextComponent(folder, &folderPos, &theirs)) {
    if (!NextComponent(path, &pathPos, &mine) || mine != theirs) return -1;
    ++count;
  }
  *pMore = NextComponent(path, &pathPos, &mine);
  return count;
}

// The number of folder's components when they are the first ones of path and path has more;
// -1 otherwise.
ptrdiff_t LeadingComponents(std::string_view path, std::string_view folder) {
  bool more = false;
  const ptrdiff_t count = LeadingComponents(path, folder, &more);
  return more ? count : -1;
}

// The components of a native path; empty and "." components are dropped, ".." is kept.
std::vector<std::string> SplitNative(std::string_view path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(pos, slash - pos);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    pos = slash + 1;
  }
  return parts;
}

std::string JoinNative(const std::vector<std::string>& parts, size_t begin, size_t end) {
  std::string out;
  for (size_t i = begin; i < end; ++i) {
    if (!out.empty()) out.push_back('/');
    out += parts[i];
  }
  return out.empty() ? "." : out;
}

bool StartsWithParts(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
  if (prefix.size() > path.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (path[i] != prefix[i]) return false;
  }
  return true;
}

// A path that a confinement covers: its folder, the components below it (never none), and
// the confinement's other folders, into which an absolute link may lead as well.
struct ConfinedPath {
  std::string root;
  std::vector<std::string> below;
  LinkPolicy policy = LinkPolicy::kRefuse;
  const std::vector<std::string>* folders = nullptr;
  int* pRootFd = nullptr;  // the confinement's descriptor of root (-1: not open yet)
};

// root's descriptor, opened as configured (a link that names it is followed) at first use and
// kept by the confinement; -1 with errno set when it cannot be opened.
int RootFd(const ConfinedPath& path) {
  if (*path.pRootFd < 0) {
    *path.pRootFd = ::open(path.root.c_str(), kPathOnly | O_DIRECTORY | O_CLOEXEC);
  }
  return *path.pRootFd;
}

// The descriptor that the thread's confinement holds of native when native is one of its
// folders itself (opened at first use); -1 when it is none of them.
int HeldFolderFd(const std::string& native) {
  const FileConfinement* pConfinement = FileConfinement::Current();
  if (pConfinement == nullptr || IsUncPath(native)) return -1;
  const bool bAbsolute = !native.empty() && native[0] == '/';
  const std::vector<std::string>& folders = pConfinement->folders();
  for (size_t i = 0; i < folders.size(); ++i) {
    if (folders[i].empty() || (folders[i][0] == '/') != bAbsolute) continue;
    bool more = true;
    if (LeadingComponents(native, folders[i], &more) < 0 || more) continue;
    ConfinedPath path;
    path.root = folders[i];
    path.pRootFd = &pConfinement->held().fds[i];
    return RootFd(path);
  }
  return -1;
}

Status RootStatus() {
  return errno == ENOENT ? Status(ErrorKind::kPathNotFound, ENOENT) : LastError();
}

// Finds the folder of the thread's confinement that holds native (the outermost one, so that
// ".." may move anywhere inside it); false when none does, or when native names a folder.
bool FindConfinement(const std::string& native, ConfinedPath* out) {
  const FileConfinement* pConfinement = FileConfinement::Current();
  if (pConfinement == nullptr || IsUncPath(native)) return false;
  const bool bAbsolute = !native.empty() && native[0] == '/';
  ptrdiff_t best = -1;
  size_t index = 0;
  const std::vector<std::string>& folders = pConfinement->folders();
  for (size_t i = 0; i < folders.size(); ++i) {
    const std::string& folder = folders[i];
    if (folder.empty() || (folder[0] == '/') != bAbsolute) continue;
    const ptrdiff_t covered = LeadingComponents(native, folder);
    if (covered >= 0 && (best < 0 || covered < best)) {
      best = covered;
      index = i;
    }
  }
  if (best < 0) return false;
  out->root = folders[index];
  out->pRootFd = &pConfinement->held().fds[index];
  out->below.clear();
  size_t pos = 0;
  std::string_view part;
  for (ptrdiff_t skipped = 0; NextComponent(native, &pos, &part); ++skipped) {
    if (skipped >= best) out->below.emplace_back(part);
  }
  out->policy = pConfinement->policy();
  out->folders = &pConfinement->folders();
  return true;
}

// Forces the component walk instead of openat2 (tests exercise both).
std::atomic<bool> g_bWalkOnly{false};

#ifdef HAVE_OPENAT2
// The kernel, or a seccomp filter in front of it, may lack openat2 although the headers have
// it; one probe decides for the process.
bool Openat2Usable() {
  static const bool bUsable = [] {
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
    if (fd < 0) return false;
    ::close(static_cast<int>(fd));
    return true;
  }();
  return bUsable && !g_bWalkOnly.load(std::memory_order_relaxed);
}

int Openat2(int dir_fd, const std::string& path, int flags, mode_t mode, LinkPolicy policy) {
  struct open_how how = {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  if (policy == LinkPolicy::kRefuse) how.resolve |= RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dir_fd, path.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}
#else
bool Openat2Usable() { return false; }
int Openat2(int, const std::string&, int, mode_t, LinkPolicy) {
  errno = ENOSYS;
  return -1;
}
#endif

Status ReadLinkAt(int dir_fd, const std::string& name, std::string* target) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dir_fd, name.c_str(), buffer.data(), buffer.size());
    if (n < 0) return LastError();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      break;
    }
    if (buffer.size() > 65536) return Status::FromNative(ENAMETOOLONG);
    buffer.resize(buffer.size() * 2);
  }
  if (buffer.empty()) return Status::FromNative(ENOENT);
  *target = std::move(buffer);
  return Status::Ok();
}

// What a resolution ends with.
enum class Final {
  kOpen,     // open the object the path names
  kParent,   // open the folder that holds the last component; the component is not examined
  kFolders,  // every component is a folder; missing ones are made on the way
};

// Resolves a confined path one component at a time from the folder's descriptor: folders
// are opened without following links, ".." never climbs above the folder, and a link is
// refused or, under kFollowInside, replaced by its target's components. An absolute target
// must lie in one of the confinement's folders (by its configured or its real path); the walk
// goes on from there, within that folder.
class BeneathWalk {
  // A component still to resolve: given is its index in the path as given, -1 for one that a
  // link's target brought in.
  struct Part {
    std::string name;
    int given;
    int made = 0;  // times it was made (a racer may remove it again before it is opened)
  };

 public:
  BeneathWalk(const ConfinedPath& path, int root_fd)
      : M_Path(path), M_RootFd(root_fd), M_Root(path.root) {}

  // pCreated (Final::kFolders): receives the folders made, as paths below the confinement's
  // folder spelled like the path given.
  Status Run(Final final, int flags, mode_t mode, UniqueFd* pFd,
             std::vector<std::string>* pCreated = nullptr) {
    std::deque<Part> pending;
    for (size_t i = 0; i < M_Path.below.size(); ++i) {
      pending.push_back({M_Path.below[i], static_cast<int>(i), 0});
    }
    if (final == Final::kParent) pending.pop_back();
    while (!pending.empty()) {
      Part next = std::move(pending.front());
      pending.pop_front();
      const std::string& part = next.name;
      if (part == "..") {
        if (M_Stack.empty()) return Outside();
        M_Stack.pop_back();
        continue;
      }
      if (pending.empty() && final == Final::kOpen) {
        int fd = ::openat(Top(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 && !((flags & kPathOnly) && IsLink(fd))) {
          *pFd = UniqueFd(fd);
          return Status::Ok();
        }
        if (fd >= 0) {
          ::close(fd);
        } else if (errno != ELOOP) {
          // O_DIRECTORY on a link fails with ENOTDIR before O_NOFOLLOW is looked at.
          int err = errno;
          struct stat st;
          if (err != ENOTDIR || ::fstatat(Top(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
              !S_ISLNK(st.st_mode)) {
            return err == ENOENT ? Status(ErrorKind::kNotFound, ENOENT) : Status::FromNative(err);
          }
        }
        Status expanded = ExpandLink(part, &pending);
        if (!expanded.ok()) return expanded;
        continue;
      }
      int fd = ::openat(Top(), part.c_str(), kPathOnly | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        M_Stack.emplace_back(fd);
        continue;
      }
      int err = errno;
      if (err == ENOENT && final == Final::kFolders && next.given >= 0 && next.made++ < 3) {
        // A component of the path as given (never one a link named) is made where it is
        // missing, beneath the folder reached; then it is opened like any other.
        if (::mkdirat(Top(), part.c_str(), 0777) == 0) {
          if (pCreated) pCreated->push_back(M_Path.root + "/" + JoinNative(M_Path.below, 0,
                                                          static_cast<size_t>(next.given) + 1));
        } else if (errno != EEXIST) {
          return LastError();
        }
        pending.push_front(std::move(next));
        continue;
      }
      if (err == ENOENT) return Status(ErrorKind::kPathNotFound, ENOENT);
      if (err != ENOTDIR && err != ELOOP) return Status::FromNative(err);
      struct stat st;
      if (::fstatat(Top(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
        return Status(ErrorKind::kPathNotFound, ENOTDIR);  // a file where a folder should be
      }
      Status expanded = ExpandLink(part, &pending);
      if (!expanded.ok()) return expanded;
    }
    // The path ended in the folder reached last ("x/..", a link to a folder, or kFolders).
    int fd = ::openat(Top(), ".",
                      (final == Final::kOpen ? flags : kPathOnly | O_DIRECTORY) | O_CLOEXEC, mode);
    if (fd < 0) return LastError();
    *pFd = UniqueFd(fd);
    return Status::Ok();
  }

 private:
  int Top() const { return M_Stack.empty() ? M_RootFd : M_Stack.back().get(); }

  static bool IsLink(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
  }

  Status ExpandLink(const std::string& name, std::deque<Part>* pending) {
    if (M_Path.policy == LinkPolicy::kRefuse) return Outside();
    if (++M_Links > kMaxLinks) return Status::FromNative(ELOOP);
    std::string target;
    Status status = ReadLinkAt(Top(), name, &target);
    if (!status.ok()) return status;
    std::vector<std::string> parts = SplitNative(target);
    if (target[0] == '/') {
      Status entered = EnterFolderOf(&parts);
      if (!entered.ok()) return entered;
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending->push_front({*it, -1, 0});
    return Status::Ok();
  }


  // For an absolute link target: finds the confinement's folder it lies in, makes that
  // folder the one the walk continues (and may not climb out of), and leaves in *parts the
  // components below it.
  Status EnterFolderOf(std::vector<std::string>* parts) {
    for (const std::string& folder : *M_Path.folders) {
      if (folder.empty() || folder[0] != '/') continue;
      size_t skip = 0;
      if (!InFolder(*parts, folder, &skip)) continue;
      if (folder != M_Root) {
        UniqueFd fd(::open(folder.c_str(), kPathOnly | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) return LastError();
        M_OtherRoot = std::move(fd);
        M_RootFd = M_OtherRoot.get();
        M_Root = folder;
      }
      M_Stack.clear();
      parts->erase(parts->begin(), parts->begin() + static_cast<ptrdiff_t>(skip));
      return Status::Ok();
    }
    return Outside();
  }

  // Whether target begins with folder as configured or as its real path; *skip: the
  // components of that beginning.
  bool InFolder(const std::vector<std::string>& target, const std::string& folder, size_t* skip) {
    std::vector<std::string> configured = SplitNative(folder);
    if (StartsWithParts(target, configured)) {
      *skip = configured.size();
      return true;
    }
    auto known = M_RealFolders.find(folder);
    if (known == M_RealFolders.end()) {
      std::vector<std::string> real;
      if (char* resolved = ::realpath(folder.c_str(), nullptr)) {
        real = SplitNative(resolved);
        ::free(resolved);
      }
      known = M_RealFolders.emplace(folder, std::move(real)).first;
    }
    if (known->second.empty() || !StartsWithParts(target, known->second)) return false;
    *skip = known->second.size();
    return true;
  }

  const ConfinedPath& M_Path;
  int M_RootFd;
  std::string M_Root;       // the folder the walk is in now
  UniqueFd M_OtherRoot;     // its descriptor, once an absolute link led into another folder
  std::vector<UniqueFd> M_Stack;  // the folders below the root, innermost last
  int M_Links = 0;
  std::map<std::string, std::vector<std::string>> M_RealFolders;
};

// Resolves path beneath its folder. Final::kOpen opens what it names with flags (O_CLOEXEC
// added), following or refusing a link in the last component by the policy; Final::kParent
// opens the folder that holds the last component (*pName: that component).
Status ResolveConfined(const ConfinedPath& path, Final final, int flags, mode_t mode,
                       UniqueFd* pFd, std::string* pName = nullptr,
                       std::vector<std::string>* pCreated = nullptr) {
  if (final == Final::kParent) {
    // "x/.." names no entry that could be renamed, removed or created.
    if (path.below.back() == "..") return Status(ErrorKind::kInvalid, EINVAL);
    if (pName != nullptr) *pName = path.below.back();
  }
  const int rootFd = RootFd(path);
  if (rootFd < 0) return RootStatus();
  if (final == Final::kParent && path.below.size() == 1) {
    // An entry directly in the folder: the folder's own descriptor is the one wanted, with
    // nothing to resolve beneath it.
    const int fd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return LastError();
    *pFd = UniqueFd(fd);
    return Status::Ok();
  }

  if (Openat2Usable()) {
    // For kFolders: when the whole path exists there is nothing to make.
    const size_t end = path.below.size() - (final == Final::kParent ? 1 : 0);
    const int how = final == Final::kOpen ? flags : kPathOnly | O_DIRECTORY;
    int fd = Openat2(rootFd, JoinNative(path.below, 0, end), how, mode, path.policy);
    if (fd >= 0) {
      *pFd = UniqueFd(fd);
      return Status::Ok();
    }
    int err = errno;
    if (path.policy == LinkPolicy::kRefuse && (err == EXDEV || err == ELOOP)) return Outside();
    // EXDEV under kFollowInside may be an absolute link into the folder, which the walk
    // tells apart; EAGAIN is a rename racing the resolution.
    if (err != EXDEV && err != EAGAIN && !(final == Final::kFolders && err == ENOENT)) {
      if (err != ENOENT) return Status::FromNative(err);
      if (final == Final::kParent) return Status(ErrorKind::kPathNotFound, ENOENT);
      UniqueFd parent;
      return ResolveConfined(path, Final::kParent, 0, 0, &parent).ok()
                 ? Status(ErrorKind::kNotFound, ENOENT)
                 : Status(ErrorKind::kPathNotFound, ENOENT);
    }
  }
  return BeneathWalk(path, rootFd).Run(final, flags, mode, pFd, pCreated);
}

// An entry as the *at calls take it: a confined path's folder descriptor and last component,
// or AT_FDCWD and the whole path.
struct AtPath {
  UniqueFd dir;
  int dir_fd = AT_FDCWD;
  std::string name;
  bool confined = false;
};

Status ResolveEntry(const std::string& native, AtPath* out) {
  ConfinedPath path;
  if (!FindConfinement(native, &path)) {
    out->name = native;
    return Status::Ok();
  }
  out->confined = true;
  if (path.below.size() == 1 && path.below[0] != "..") {
    // An entry directly in the folder (every claim's rename and delete): the *at call takes
    // the confinement's own descriptor.
    out->dir_fd = RootFd(path);
    out->name = path.below[0];
    return out->dir_fd < 0 ? RootStatus() : Status::Ok();
  }
  Status status = ResolveConfined(path, Final::kParent, 0, 0, &out->dir, &out->name);
  out->dir_fd = out->dir.get();
  return status;
}

// A failure of an *at call on an entry: for a confined one the folder exists (it was opened),
// so ENOENT is about the entry itself.
Status EntryStatus(const AtPath& at, int err) {
  if (at.confined) return err == ENOENT ? Status(ErrorKind::kNotFound, err) : Status::FromNative(err);
  return MissingStatus(at.name, err);
}

// Opens what native names for its attributes: confined paths beneath their folder, others
// as they are.
Status OpenForAttributes(const std::string& native, UniqueFd* pFd) {
  ConfinedPath path;
  if (FindConfinement(native, &path)) {
    return ResolveConfined(path, Final::kOpen, kPathOnly, 0, pFd);
  }
  int fd = ::open(native.c_str(), kPathOnly | O_CLOEXEC);
  if (fd < 0) return MissingStatus(native, errno);
  *pFd = UniqueFd(fd);
  return Status::Ok();
}

// Removes the entry at a native path (a link itself, not what it leads to).
Status UnlinkNative(const std::string& native) {
  AtPath at;
  Status status = ResolveEntry(native, &at);
  if (!status.ok()) return status;
  if (::unlinkat(at.dir_fd, at.name.c_str(), 0) != 0) return EntryStatus(at, errno);
  return Status::Ok();
}

// The attributes of an entry directly in its confinement's folder (the claimed file, on every
// poll) from one stat beside the folder's descriptor: true when that tells all. A link, an
// entry that cannot be stat'ed and any other path are left to the resolution that follows
// links beneath the folder (false, *entry untouched).
bool StatEntryInFolder(const std::string& native, DirEntry* entry) {
  ConfinedPath confined;
  if (!FindConfinement(native, &confined) || confined.below.size() != 1 ||
      confined.below[0] == "..") {
    return false;
  }
  const int rootFd = RootFd(confined);
  DirEntry found;
  bool link = true;
  if (rootFd < 0 ||
      !StatEntry(rootFd, confined.below[0].c_str(), &found, AT_SYMLINK_NOFOLLOW, &link).ok() ||
      link) {
    return false;
  }
  found.is_link = false;
  found.name = LastComponent(native);
  *entry = std::move(found);
  return true;
}

// The attributes of what a native path leads to, and whether its last component is a link.
Status StatNative(const std::string& native, DirEntry* entry) {
  if (StatEntryInFolder(native, entry)) return Status::Ok();
  UniqueFd fd;
  Status status = OpenForAttributes(native, &fd);
  if (status.ok()) status = StatEntry(fd.get(), "", entry);
  if (!status.ok()) return status;
  AtPath at;
  struct stat st;
  entry->is_link = ResolveEntry(native, &at).ok() &&
                   ::fstatat(at.dir_fd, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISLNK(st.st_mode);
  entry->name = LastComponent(native);
  return Status::Ok();
}

// Rename that fails with EEXIST instead of replacing, for file systems without
// RENAME_NOREPLACE: link() refuses an existing target and is atomic.
Status RenameNoReplaceByLink(const AtPath& from, const AtPath& to) {
  if (::linkat(from.dir_fd, from.name.c_str(), to.dir_fd, to.name.c_str(), 0) == 0) {
    if (::unlinkat(from.dir_fd, from.name.c_str(), 0) != 0) {
      Status status = LastError();
      ::unlinkat(to.dir_fd, to.name.c_str(), 0);
      return status;
    }
    return Status::Ok();
  }
  int err = errno;
  struct stat src_st;
  if ((err == EPERM || err == EOPNOTSUPP || err == ENOSYS) &&
      ::fstatat(from.dir_fd, from.name.c_str(), &src_st, AT_SYMLINK_NOFOLLOW) == 0) {
    // Folders cannot be hard-linked, and some file systems (FAT, some FUSE) have no links
    // at all: a checked rename is the best they offer. It is not atomic against a target
    // created between the check and the rename.
    struct stat st;
    if (::fstatat(to.dir_fd, to.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      return Status(ErrorKind::kExists, EEXIST);
    }
    if (::renameat(from.dir_fd, from.name.c_str(), to.dir_fd, to.name.c_str()) != 0) {
      return LastError();
    }
    return Status::Ok();
  }
  return err == ENOENT ? EntryStatus(from, err) : Status::FromNative(err);
}

}  // namespace

std::string NativePath(std::string_view path) {
  std::string out;
  if (path.size() >= 8 && path.substr(0, 8) == "\\\\?\\UNC\\") {
    out = "//";
    path.remove_prefix(8);
  } else if (path.size() >= 4 && path.substr(0, 4) == "//?/") {
    // Marked by LiteralPath: already native, and a "\" in it belongs to a name.
    return std::string(path.substr(4));
  } else if (path.size() >= 4 && path.substr(0, 4) == "\\\\?\\") {
    path.remove_prefix(4);
  }
  const size_t start = out.size();
  out.append(path);
  std::replace(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), '\\', '/');
  return out;
}

char PathSeparator() { return '/'; }

std::string LiteralPath(std::string_view native_path) {
  if (native_path.find('\\') == std::string_view::npos) return std::string(native_path);
  std::string out = "//?/";
  out.append(native_path);
  return out;
}

bool FileNamesIgnoreCase() { return false; }

File::~File() { (void)Close(); }

File::File(File&& other) noexcept
    : M_Fd(std::exchange(other.M_Fd, -1)),
      M_bDeleteOnClose(std::exchange(other.M_bDeleteOnClose, false)),
      M_Path(std::move(other.M_Path)),
      M_pShareFile(std::exchange(other.M_pShareFile, nullptr)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    M_Fd = std::exchange(other.M_Fd, -1);
    M_bDeleteOnClose = std::exchange(other.M_bDeleteOnClose, false);
    M_Path = std::move(other.M_Path);
    M_pShareFile = std::exchange(other.M_pShareFile, nullptr);
  }
  return *this;
}

Status File::Open(std::string_view path, const OpenOptions& options) {
  if (IsOpen()) return Status(ErrorKind::kInvalid, EBUSY);
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  bool can_read = (options.access & kAccessRead) != 0;
  bool can_write = (options.access & kAccessWrite) != 0;
  if (!can_read && !can_write) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) {
    netshare::ShareFile* share_file = nullptr;
    Status status = netshare::OpenFile(native, options, &share_file);
    if (!status.ok()) return status;
    M_pShareFile = share_file;
    M_Path = std::move(native);
    return Status::Ok();
  }

  int flags = O_CLOEXEC | (can_read && can_write ? O_RDWR : can_write ? O_WRONLY : O_RDONLY);
  bool truncate = false;
  switch (options.disposition) {
    case Disposition::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case Disposition::kCreateAlways:
      flags |= O_CREAT;
      truncate = true;
      break;
    case Disposition::kOpenExisting:
      break;
    case Disposition::kOpenAlways:
      flags |= O_CREAT;
      break;
    case Disposition::kTruncateExisting:
      truncate = true;
      break;
    default:
      return Status(ErrorKind::kInvalid, EINVAL);
  }
  if (truncate && !can_write) return Status(ErrorKind::kInvalid, EINVAL);
  if (options.write_through) flags |= O_DSYNC;

  int fd;
  ConfinedPath confined;
  const bool bConfined = FindConfinement(native, &confined);
  if (bConfined) {
    UniqueFd opened;
    Status status = ResolveConfined(confined, Final::kOpen, flags, 0666, &opened);
    if (!status.ok()) return status;
    fd = opened.Release();
  } else {
    do {
      fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return MissingStatus(native, errno);
  }
  bool created_here = (flags & O_EXCL) != 0;

  auto fail = [&](Status status) {
    // Removed by name the way it was made: beneath its folder when confined.
    if (created_here) (void)UnlinkNative(native);
    ::close(fd);
    return status;
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(LastError());
  if (S_ISDIR(st.st_mode)) return fail(Status(ErrorKind::kAccessDenied, EISDIR));

  // Sharing is emulated with advisory locks, which bind only openers using this layer.
  int lock = 0;
  if ((options.share & (kShareRead | kShareWrite)) == 0) {
    lock = LOCK_EX;
  } else if (can_read && (options.share & kShareWrite) == 0) {
    lock = LOCK_SH;
  }
  if (lock != 0) {
    int rc;
    do {
      rc = ::flock(fd, lock | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int err = errno;
      return fail(err == EWOULDBLOCK ? Status(ErrorKind::kSharing, err) : Status::FromNative(err));
    }
  }
  // Truncate only after the sharing check, so a refused opener never damages the file.
  if (truncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) return fail(LastError());

  M_Fd = fd;
  M_bDeleteOnClose = options.delete_on_close;
  M_Path = std::move(native);
  return Status::Ok();
}

bool File::IsOpen() const { return M_Fd >= 0 || M_pShareFile != nullptr; }

bool File::MayBeDeletedWhileOpen() const { return M_Fd >= 0 && !M_bDeleteOnClose; }

Status File::Read(void* buffer, size_t size, size_t* read) {
  if (read) *read = 0;
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (read == nullptr || (buffer == nullptr && size != 0))
    return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pShareFile) return netshare::ReadFile(AsShareFile(M_pShareFile), buffer, size, read);
  ssize_t n;
  do {
    n = ::read(M_Fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return LastError();
  *read = static_cast<size_t>(n);
  return Status::Ok();
}

Status File::Write(const void* data, size_t size) {
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (data == nullptr && size != 0) return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pShareFile) return netshare::WriteFile(AsShareFile(M_pShareFile), data, size);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(M_Fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status File::Truncate(uint64_t length) {
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (length > static_cast<uint64_t>(INT64_MAX)) return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pShareFile) return netshare::TruncateFile(AsShareFile(M_pShareFile), length);
  if (::ftruncate(M_Fd, static_cast<off_t>(length)) != 0) return LastError();
  // Like setting the end of file on Windows: the position never stays beyond the end,
  // so the next write continues at the new end rather than leaving a hole.
  off_t pos = ::lseek(M_Fd, 0, SEEK_CUR);
  if (pos > static_cast<off_t>(length)) ::lseek(M_Fd, static_cast<off_t>(length), SEEK_SET);
  return Status::Ok();
}

Status File::Seek(uint64_t offset) {
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pShareFile) return netshare::SeekFile(AsShareFile(M_pShareFile), offset);
  if (::lseek(M_Fd, static_cast<off_t>(offset), SEEK_SET) < 0) return LastError();
  return Status::Ok();
}

Status File::Flush() {
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (M_pShareFile) return netshare::FlushFile(AsShareFile(M_pShareFile));
  if (::fsync(M_Fd) != 0) return LastError();
  return Status::Ok();
}

Status File::Size(uint64_t* size) const {
  if (!IsOpen()) return Status(ErrorKind::kInvalid, EBADF);
  if (size == nullptr) return Status(ErrorKind::kInvalid, EINVAL);
  if (M_pShareFile) return netshare::FileSize(AsShareFile(M_pShareFile), size);
  struct stat st;
  if (::fstat(M_Fd, &st) != 0) return LastError();
  *size = static_cast<uint64_t>(st.st_size);
  return Status::Ok();
}

Status File::Close() {
  if (M_pShareFile) {
    M_bDeleteOnClose = false;
    return netshare::CloseFile(AsShareFile(std::exchange(M_pShareFile, nullptr)));
  }
  if (M_Fd < 0) return Status::Ok();
  Status status;
  // Unlink before closing: the name is gone before the lock that guards it is released.
  if (M_bDeleteOnClose) status = UnlinkNative(M_Path);
  if (::close(M_Fd) != 0 && status.ok() && errno != EINTR) status = LastError();
  M_Fd = -1;
  M_bDeleteOnClose = false;
  return status;
}

namespace {

// An open folder listing: the folder's descriptor (owned) and the entries read from it that
// have not been handed out yet.
class Listing {
 public:
  // The descriptor's listing; nullptr (and errno) when it cannot be listed.
  static Listing* Adopt(int fd) {
#ifdef HAVE_GETDENTS64
    return new Listing(fd);
#else
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) return nullptr;
    return new Listing(dir);
#endif
  }
  ~Listing() {
#ifdef HAVE_GETDENTS64
    ::close(M_Fd);
#else
    ::closedir(M_pDir);
#endif
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  int fd() const {
#ifdef HAVE_GETDENTS64
    return M_Fd;
#else
    return ::dirfd(M_pDir);
#endif
  }

  // The next entry's name and type (DT_*); false at the end, with *pErr the error if any.
  bool Next(const char** pName, unsigned char* pType, int* pErr) {
    *pErr = 0;
#ifdef HAVE_GETDENTS64
    // Many entries per call, into our own buffer: no stream object, no lock per entry.
    if (M_Pos >= M_End) {
      const ssize_t n = ::getdents64(M_Fd, M_Buf, sizeof(M_Buf));
      if (n <= 0) {
        if (n < 0) *pErr = errno;
        return false;
      }
      M_Pos = 0;
      M_End = static_cast<size_t>(n);
    }
    const auto* d = reinterpret_cast<const struct dirent64*>(M_Buf + M_Pos);
    M_Pos += d->d_reclen;
#else
    errno = 0;
    const struct dirent* d = ::readdir(M_pDir);
    if (d == nullptr) {
      *pErr = errno;
      return false;
    }
#endif
    *pName = d->d_name;
    *pType = d->d_type;
    return true;
  }

 private:
#ifdef HAVE_GETDENTS64
  explicit Listing(int fd) : M_Fd(fd) {}
  int M_Fd;
  size_t M_Pos = 0;
  size_t M_End = 0;
  alignas(struct dirent64) char M_Buf[32768];
#else
  explicit Listing(DIR* dir) : M_pDir(dir) {}
  DIR* M_pDir;
#endif
};

}  // namespace

DirReader::~DirReader() { Close(); }

Status DirReader::Open(std::string_view folder) {
  Close();
  M_Folder = NativePath(folder);
  if (M_Folder.empty()) M_Folder = ".";
  if (IsUncPath(M_Folder)) {
    netshare::ShareDir* share_dir = nullptr;
    M_Status = netshare::OpenDir(M_Folder, &share_dir);
    M_pShareDir = share_dir;
    return M_Status;
  }
  UniqueFd fd;
  ConfinedPath confined;
  if (FindConfinement(M_Folder, &confined)) {
    M_Status = ResolveConfined(confined, Final::kOpen, O_RDONLY | O_DIRECTORY, 0, &fd);
    if (!M_Status.ok()) return M_Status;
  } else {
    // A folder of the thread's confinement is listed through the descriptor that the
    // confinement holds of it: the listing sees the very folder that the calls after it act
    // on, and the folder's path is walked once for both.
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
    const int held = HeldFolderFd(M_Folder);
    fd = UniqueFd(held >= 0 ? ::openat(held, ".", kFlags) : ::open(M_Folder.c_str(), kFlags));
    if (fd.get() < 0) {
      M_Status = MissingStatus(M_Folder, errno);
      return M_Status;
    }
  }
  Listing* listing = Listing::Adopt(fd.get());
  if (listing == nullptr) {
    M_Status = LastError();
    return M_Status;
  }
  (void)fd.Release();  // the listing owns it now
  M_pDir = listing;
  M_Status = Status::Ok();
  return M_Status;
}

bool DirReader::Next(DirEntry* entry, NameFilter filter, const void* context) {
  if (M_pShareDir != nullptr && entry != nullptr) {
    while (netshare::NextDirEntry(AsShareDir(M_pShareDir), entry, &M_Status)) {
      if (filter == nullptr || filter(context, entry->name)) return true;
    }
    return false;
  }
  auto* listing = static_cast<Listing*>(M_pDir);
  if (listing == nullptr || entry == nullptr) return false;
  for (;;) {
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    int err = 0;
    if (!listing->Next(&name, &type, &err)) {
      if (err != 0) M_Status = Status::FromNative(err);
      return false;
    }
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    if (filter != nullptr && !filter(context, name)) continue;
    // Field by field, so that the name's buffer is reused for the next entry.
    entry->name.assign(name);
    entry->is_folder = false;
    entry->is_link = false;
    entry->is_readonly = false;
    entry->size = 0;
    entry->last_write_time = 0;
    entry->creation_time = 0;
    if (type == DT_LNK) {
      entry->is_link = true;
    } else if (type == DT_UNKNOWN) {
      struct stat st;
      entry->is_link =
          ::fstatat(listing->fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    }
    Status status = StatEntry(listing->fd(), name, entry);
    if (!status.ok()) {
      if (status.Is(ErrorKind::kNotFound)) continue;  // removed while listing
      // A dangling link or an entry we may not stat: list it with what the listing knows.
      entry->is_folder = type == DT_DIR;
    }
    return true;
  }
}

void DirReader::Close() {
  if (M_pShareDir != nullptr) netshare::CloseDir(AsShareDir(std::exchange(M_pShareDir, nullptr)));
  delete static_cast<Listing*>(std::exchange(M_pDir, nullptr));
}

Status GetFileInfo(std::string_view path, DirEntry* entry) {
  if (entry == nullptr || path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  *entry = DirEntry();
  if (IsUncPath(native)) return netshare::GetInfo(native, entry);
  return StatNative(native, entry);
}

bool FileExists(std::string_view path) {
  DirEntry entry;
  return !path.empty() && GetFileInfo(path, &entry).ok() && !entry.is_folder;
}

bool FolderExists(std::string_view path) {
  DirEntry entry;
  return !path.empty() && GetFileInfo(path, &entry).ok() && entry.is_folder;
}

Status Rename(std::string_view from, std::string_view to, RenameMode mode, bool write_through) {
  if (from.empty() || to.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string src = NativePath(from);
  std::string dst = NativePath(to);
  if (IsUncPath(src)) return netshare::Rename(src, dst, mode);
  if (IsUncPath(dst)) return Status(ErrorKind::kNotSupported, EXDEV);
  // Both ends are entries: a link is renamed itself, never what it leads to.
  AtPath source, target;
  Status status = ResolveEntry(src, &source);
  if (status.ok()) status = ResolveEntry(dst, &target);
  if (!status.ok()) return status;
  auto missing = [&](int err) {
    return EntryStatus(::faccessat(source.dir_fd, source.name.c_str(), F_OK,
                                   AT_SYMLINK_NOFOLLOW) != 0
                           ? source
                           : target,
                       err);
  };
  if (mode == RenameMode::kReplace) {
    if (::renameat(source.dir_fd, source.name.c_str(), target.dir_fd, target.name.c_str()) != 0) {
      int err = errno;
      status = err == ENOENT ? missing(err) : Status::FromNative(err);
    }
  } else {
#ifdef HAVE_RENAMEAT2
    if (::renameat2(source.dir_fd, source.name.c_str(), target.dir_fd, target.name.c_str(),
                    RENAME_NOREPLACE) != 0) {
      int err = errno;
      if (err == EINVAL || err == ENOSYS) {
        status = RenameNoReplaceByLink(source, target);
      } else if (err == ENOENT) {
        status = missing(err);
      } else {
        status = Status::FromNative(err);
      }
    }
#else
    status = RenameNoReplaceByLink(source, target);
#endif
  }
  // Write-through matters where a move is more than one directory entry changing: on
  // Windows it only flushes moves that copy. A rename inside one folder is a single atomic
  // metadata update (the claim of the folder import), so it is not followed by a folder
  // fsync, which would cost a disk flush per claim. Moves between folders flush both
  // folders. The rename has happened either way, so a failed flush does not turn it into
  // a failure the caller would misread as "not renamed".
  if (status.ok() && write_through && ParentOfNativePath(src) != ParentOfNativePath(dst)) {
    (void)SyncFolderOf(dst);
    (void)SyncFolderOf(src);
  }
  return status;
}

Status DeleteFile(std::string_view path) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::Unlink(native);
  return UnlinkNative(native);
}

Status DeleteFolder(std::string_view path) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::RemoveFolder(native);
  AtPath at;
  Status status = ResolveEntry(native, &at);
  if (!status.ok()) return status;
  if (::unlinkat(at.dir_fd, at.name.c_str(), AT_REMOVEDIR) != 0) {
    int err = errno;
    if (err == EEXIST) err = ENOTEMPTY;  // POSIX allows either for a folder with entries
    return EntryStatus(at, err);
  }
  return Status::Ok();
}

Status CreateFolder(std::string_view path) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::MakeFolder(native);
  AtPath at;
  Status status = ResolveEntry(native, &at);
  if (!status.ok()) return status;
  if (::mkdirat(at.dir_fd, at.name.c_str(), 0777) != 0) {
    // A missing parent of a confined path fails in ResolveEntry already.
    return at.confined ? Status::FromNative(errno) : MissingStatus(native, errno);
  }
  return Status::Ok();
}

Status CreateFolders(std::string_view path, std::vector<std::string>* created) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (IsUncPath(native)) return netshare::MakeFolders(native, created);
  // Walk the components from the root outwards; each prefix ending at a separator is a folder.
  size_t pos = 0;
  while (pos <= native.size()) {
    size_t slash = native.find('/', pos);
    size_t end = slash == std::string::npos ? native.size() : slash;
    std::string prefix = native.substr(0, end);
    pos = end + 1;
    if (prefix.empty() || prefix == "." || prefix == ".." ||
        (prefix.size() > 1 && prefix.compare(prefix.size() - 2, 2, "/.") == 0) ||
        (prefix.size() > 2 && prefix.compare(prefix.size() - 3, 3, "/..") == 0) ||
        (end > 0 && native[end - 1] == '/')) {
      continue;  // the root, an empty component of "//", or "." / ".."
    }
    // From the first prefix inside a confining folder on, the rest is made beneath that
    // folder in one walk: existing folders must lead to folders inside it (a link to elsewhere
    // stops the walk before anything is made through it).
    ConfinedPath confined;
    if (FindConfinement(prefix, &confined) && FindConfinement(native, &confined)) {
      UniqueFd fd;
      Status status = ResolveConfined(confined, Final::kFolders, 0, 0, &fd, nullptr, created);
      return status.Is(ErrorKind::kAccessDenied) && !IsOutsideConfinement(status) &&
                     FolderExists(native)
                 ? Status::Ok()
                 : status;
    }
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      if (created) created->push_back(prefix);
      continue;
    }
    int err = errno;
    if (err == EEXIST || err == EACCES) {
      DirEntry entry;
      Status status = StatNative(prefix, &entry);
      if (status.ok() && entry.is_folder) continue;  // exists (perhaps without write access)
      if (err == EEXIST) return Status(ErrorKind::kPathNotFound, ENOTDIR);  // a file stands in the way
    }
    return Status::FromNative(err);
  }
  return Status::Ok();
}

Status GetFileAttributes(std::string_view path, uint32_t* attributes) {
  if (attributes == nullptr || path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::GetAttributes(native, attributes);
  DirEntry entry;
  if (!StatEntryInFolder(native, &entry)) {
    UniqueFd fd;
    Status status = OpenForAttributes(native, &fd);
    if (status.ok()) status = StatEntry(fd.get(), "", &entry);
    if (!status.ok()) return status;
  }
  uint32_t attr = 0;
  if (entry.is_folder) attr |= kAttrDirectory;
  if (entry.is_readonly) attr |= kAttrReadOnly;
  *attributes = attr == 0 ? kAttrNormal : attr;
  return Status::Ok();
}

Status SetFileAttributes(std::string_view path, uint32_t attributes) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::SetAttributes(native, attributes);
  UniqueFd fd;
  Status status = OpenForAttributes(native, &fd);
  if (!status.ok()) return status;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return LastError();
  mode_t mode = st.st_mode & 07777;
  // Read-only means nobody may write; clearing it gives the owner write access back.
  mode_t wanted =
      (attributes & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (wanted == mode) return Status::Ok();
  AtPath at;
  if (!ResolveEntry(native, &at).ok() || !at.confined) {
    if (::chmod(native.c_str(), wanted) != 0) return LastError();
    return Status::Ok();
  }
  // The descriptor names what was resolved beneath the folder; one opened only for its path
  // is changed through its name in /proc, which leads to that object whatever happens to
  // the path meanwhile.
  if (::fchmod(fd.get(), wanted) == 0) return Status::Ok();
  if (errno != EBADF) return LastError();
  std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
  if (::chmod(proc.c_str(), wanted) != 0) return LastError();
  return Status::Ok();
}

// --- Confinement ---------------------------------------------------------------------------

FileConfinement::FileConfinement(const std::vector<std::string>& folders, LinkPolicy policy)
    : M_Policy(policy), M_pHeld(std::make_unique<Held>()) {
  for (const std::string& folder : folders) {
    std::string native = NativePath(folder);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    if (!native.empty()) M_Folders.push_back(std::move(native));
  }
  M_pHeld->fds.assign(M_Folders.size(), -1);
  Enter();
}

FileConfinement::~FileConfinement() { Leave(); }

Status CheckConfined(std::string_view path) {
  ConfinedPath confined;
  if (path.empty() || !FindConfinement(NativePath(path), &confined)) return Status::Ok();
  UniqueFd fd;
  Status status = ResolveConfined(confined, Final::kOpen, kPathOnly, 0, &fd);
  if (status.Is(ErrorKind::kNotFound) || status.Is(ErrorKind::kPathNotFound)) return Status::Ok();
  return status;
}

bool IsOutsideConfinement(const Status& status) {
  return status.Is(ErrorKind::kAccessDenied) && status.code() == EXDEV;
}

// Makes confined paths resolve by the component walk even where openat2 works. For tests,
// which declare it themselves; not part of the layer's interface.
void UseBeneathWalkForTesting(bool walk) { g_bWalkOnly.store(walk, std::memory_order_relaxed); }

}  // namespace velmora::osal
