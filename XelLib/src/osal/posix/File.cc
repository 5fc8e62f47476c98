// POSIX files and folders: open with Windows dispositions and sharing, listing, rename.
#include "osal/File.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "XelConfig.h"
#include "posix/NativePath.h"
#include "posix/NetShareFs.h"

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

// Fills the attributes of entry from a stat of path relative to dir_fd.
Status StatEntry(int dir_fd, const char* path, DirEntry* entry) {
#ifdef HAVE_STATX
  struct statx sx;
  if (::statx(dir_fd, path, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    return LastError();
  }
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
  if (::fstatat(dir_fd, path, &st, 0) != 0) return LastError();
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

// Rename that fails with EEXIST instead of replacing, for file systems without
// RENAME_NOREPLACE: link() refuses an existing target and is atomic.
Status RenameNoReplaceByLink(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0) {
      Status status = LastError();
      ::unlink(to.c_str());
      return status;
    }
    return Status::Ok();
  }
  int err = errno;
  struct stat src_st;
  if ((err == EPERM || err == EOPNOTSUPP || err == ENOSYS) && ::lstat(from.c_str(), &src_st) == 0) {
    // Folders cannot be hard-linked, and some file systems (FAT, some FUSE) have no links
    // at all: a checked rename is the best they offer. It is not atomic against a target
    // created between the check and the rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return Status(ErrorKind::kExists, EEXIST);
    if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
    return Status::Ok();
  }
  return err == ENOENT ? MissingStatus(from, err) : Status::FromNative(err);
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
  out.reserve(out.size() + path.size());
  for (char c : path) out.push_back(c == '\\' ? '/' : c);
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
  do {
    fd = ::open(native.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return MissingStatus(native, errno);
  bool created_here = (flags & O_EXCL) != 0;

  auto fail = [&](Status status) {
    if (created_here) ::unlink(native.c_str());
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
  if (M_bDeleteOnClose && ::unlink(M_Path.c_str()) != 0) status = LastError();
  if (::close(M_Fd) != 0 && status.ok() && errno != EINTR) status = LastError();
  M_Fd = -1;
  M_bDeleteOnClose = false;
  return status;
}

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
  DIR* dir = ::opendir(M_Folder.c_str());
  if (dir == nullptr) {
    M_Status = MissingStatus(M_Folder, errno);
    return M_Status;
  }
  M_pDir = dir;
  M_Status = Status::Ok();
  return M_Status;
}

bool DirReader::Next(DirEntry* entry) {
  if (M_pShareDir != nullptr && entry != nullptr) {
    return netshare::NextDirEntry(AsShareDir(M_pShareDir), entry, &M_Status);
  }
  DIR* dir = static_cast<DIR*>(M_pDir);
  if (dir == nullptr || entry == nullptr) return false;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      if (errno != 0) M_Status = LastError();
      return false;
    }
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    *entry = DirEntry();
    entry->name = name;
    Status status = StatEntry(::dirfd(dir), name, entry);
    if (!status.ok()) {
      if (status.Is(ErrorKind::kNotFound)) continue;  // removed while listing
      // A dangling link or an entry we may not stat: list it with what readdir knows.
      entry->is_folder = d->d_type == DT_DIR;
    }
    return true;
  }
}

void DirReader::Close() {
  if (M_pShareDir != nullptr) netshare::CloseDir(AsShareDir(std::exchange(M_pShareDir, nullptr)));
  if (M_pDir != nullptr) {
    ::closedir(static_cast<DIR*>(M_pDir));
    M_pDir = nullptr;
  }
}

Status GetFileInfo(std::string_view path, DirEntry* entry) {
  if (entry == nullptr || path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  *entry = DirEntry();
  if (IsUncPath(native)) return netshare::GetInfo(native, entry);
  Status status = StatEntry(AT_FDCWD, native.c_str(), entry);
  if (!status.ok()) return status.code() == ENOENT ? MissingStatus(native, ENOENT) : status;
  entry->name = LastComponent(native);
  return Status::Ok();
}

bool FileExists(std::string_view path) {
  std::string native = NativePath(path);
  if (IsUncPath(native)) {
    DirEntry entry;
    return netshare::GetInfo(native, &entry).ok() && !entry.is_folder;
  }
  struct stat st;
  return !path.empty() && ::stat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(std::string_view path) {
  std::string native = NativePath(path);
  if (IsUncPath(native)) {
    DirEntry entry;
    return netshare::GetInfo(native, &entry).ok() && entry.is_folder;
  }
  return !path.empty() && IsNativeFolder(NativePath(path));
}

Status Rename(std::string_view from, std::string_view to, RenameMode mode, bool write_through) {
  if (from.empty() || to.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string src = NativePath(from);
  std::string dst = NativePath(to);
  if (IsUncPath(src)) return netshare::Rename(src, dst, mode);
  if (IsUncPath(dst)) return Status(ErrorKind::kNotSupported, EXDEV);
  Status status;
  if (mode == RenameMode::kReplace) {
    if (::rename(src.c_str(), dst.c_str()) != 0) {
      int err = errno;
      status = err == ENOENT ? MissingStatus(::access(src.c_str(), F_OK) != 0 ? src : dst, err)
                             : Status::FromNative(err);
    }
  } else {
#ifdef HAVE_RENAMEAT2
    if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) != 0) {
      int err = errno;
      if (err == EINVAL || err == ENOSYS) {
        status = RenameNoReplaceByLink(src, dst);
      } else if (err == ENOENT) {
        status = MissingStatus(::access(src.c_str(), F_OK) != 0 ? src : dst, err);
      } else {
        status = Status::FromNative(err);
      }
    }
#else
    status = RenameNoReplaceByLink(src, dst);
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
  if (::unlink(native.c_str()) != 0) return MissingStatus(native, errno);
  return Status::Ok();
}

Status DeleteFolder(std::string_view path) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::RemoveFolder(native);
  if (::rmdir(native.c_str()) != 0) {
    int err = errno;
    if (err == EEXIST) err = ENOTEMPTY;  // POSIX allows either for a folder with entries
    return MissingStatus(native, err);
  }
  return Status::Ok();
}

Status CreateFolder(std::string_view path) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::MakeFolder(native);
  if (::mkdir(native.c_str(), 0777) != 0) return MissingStatus(native, errno);
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
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      if (created) created->push_back(prefix);
      continue;
    }
    int err = errno;
    if (err == EEXIST) {
      if (IsNativeFolder(prefix)) continue;
      return Status(ErrorKind::kPathNotFound, ENOTDIR);  // a file stands in the way
    }
    if (err == EACCES && IsNativeFolder(prefix))
      continue;  // may not write the parent, but it exists
    return Status::FromNative(err);
  }
  return Status::Ok();
}

Status GetFileAttributes(std::string_view path, uint32_t* attributes) {
  if (attributes == nullptr || path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::GetAttributes(native, attributes);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return MissingStatus(native, errno);
  uint32_t attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= kAttrDirectory;
  if ((st.st_mode & S_IWUSR) == 0) attr |= kAttrReadOnly;
  *attributes = attr == 0 ? kAttrNormal : attr;
  return Status::Ok();
}

Status SetFileAttributes(std::string_view path, uint32_t attributes) {
  if (path.empty()) return Status(ErrorKind::kInvalid, EINVAL);
  std::string native = NativePath(path);
  if (IsUncPath(native)) return netshare::SetAttributes(native, attributes);
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) return MissingStatus(native, errno);
  mode_t mode = st.st_mode & 07777;
  // Read-only means nobody may write; clearing it gives the owner write access back.
  mode_t wanted =
      (attributes & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (wanted != mode && ::chmod(native.c_str(), wanted) != 0) return LastError();
  return Status::Ok();
}

}  // namespace velmora::osal
