// File operations on connected network shares, used by the POSIX file layer for UNC paths.
//
// Paths here are native ("//server/share/folder/name"). A path whose share is not
// connected fails with ErrorKind::kPathNotFound and native code ENOTCONN. Handles are
// opaque and owned by the caller until closed; each keeps its share's connection alive.
#pragma once

#include <string>
#include <vector>

#include "osal/File.h"
#include "osal/Status.h"

namespace velmora::osal::netshare {

// True for a native path of the form "//server/...".
bool IsUncPath(const std::string& native);

struct ShareFile;
struct ShareDir;

Status OpenFile(const std::string& native, const OpenOptions& options, ShareFile** file);
Status ReadFile(ShareFile* file, void* buffer, size_t size, size_t* read);
Status WriteFile(ShareFile* file, const void* data, size_t size);
Status TruncateFile(ShareFile* file, uint64_t length);
Status SeekFile(ShareFile* file, uint64_t offset);
Status FlushFile(ShareFile* file);
Status FileSize(ShareFile* file, uint64_t* size);
// Closes and frees the handle (removing a delete-on-close file first).
Status CloseFile(ShareFile* file);

Status OpenDir(const std::string& native, ShareDir** dir);
// False at the end of the listing or on error (then *status is set).
bool NextDirEntry(ShareDir* dir, DirEntry* entry, Status* status);
void CloseDir(ShareDir* dir);

Status GetInfo(const std::string& native, DirEntry* entry);
Status Rename(const std::string& from, const std::string& to, RenameMode mode);
Status Unlink(const std::string& native);
Status RemoveFolder(const std::string& native);
Status MakeFolder(const std::string& native);
Status MakeFolders(const std::string& native, std::vector<std::string>* created);
Status GetAttributes(const std::string& native, uint32_t* attributes);
Status SetAttributes(const std::string& native, uint32_t attributes);

// The NT security descriptor of a file or folder, read from the server over the share's
// connection, in libsmbclient's text form ("REVISION:1,OWNER:...,ACL:who:type/flags/0xmask").
struct SecurityDescriptorText {
  std::string sids;   // accounts as SIDs
  std::string names;  // accounts as the server names them; empty if they could not be had
  std::string user;   // the user part of the account the share is connected with
};
// kNotSupported when the server cannot be asked: libsmbclient reads descriptors only
// together with a connection to the server's "IPC$" on the standard port (445, then 139),
// whatever port the share was connected on, so a share on another port is refused.
Status ReadSecurityDescriptor(const std::string& native, SecurityDescriptorText* out);

}  // namespace velmora::osal::netshare
