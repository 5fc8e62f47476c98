// Network shares: process-wide connections to "\\server\share" with an account.
//
// - Windows: the system's own connections (WNetAddConnection2W, WNetCancelConnection2W);
//   the file operations of osal/File.h reach a UNC path ("\\?\UNC\server\share\...")
//   through the system's redirector, with the connection's credentials once it is made.
// - POSIX: a UNC path ("\\server\share\..." or, after NativePath, "//server/share/...") is
//   only reachable while its share is connected here; every file operation of osal/File.h on
//   such a path then runs over that connection (libsmbclient) with its credentials, and fails
//   with ErrorKind::kPathNotFound (native code ENOTCONN) while the share is not connected.
// The results are the Windows networking codes (on Windows the system's own), so that callers
// describe the outcome the same way on every platform. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::osal {

// Outcomes of AddShareConnection and CancelShareConnection (Windows error numbers).
enum NetShareCode : uint32_t {
  kNetOk = 0,
  kNetAccessDenied = 5,           // the account may not use the share
  kNetNotSupported = 50,          // the request is not supported
  kNetBadNetPath = 53,            // the server cannot be reached
  kNetUnexpectedError = 59,       // any other network failure
  kNetBadNetName = 67,            // no such share or folder, or not a "\\server\share" name
  kNetAlreadyAssigned = 85,       // connected already with the same account
  kNetCredentialConflict = 1219,  // connected already with another account
  kNetNoNetwork = 1222,           // no network provider is installed or started
  kNetNoSuchLogonSession = 1312,
  kNetLogonFailure = 1326,  // unknown user or wrong password
  kNetNotConnected = 2250,  // cancelling a share that is not connected
  kNetOpenFiles = 2401,     // cancelling without force while files are open on it
  kNetDeviceInUse = 2404,   // cancelling without force while folders are being listed
};

// Connects the share of remote ("\\server\share" optionally followed by a folder, which
// must exist) with user ("user", "user@domain" or "domain\user") and password. Returns
// kNetOk, or kNetAlreadyAssigned / kNetCredentialConflict when the share is connected
// already (the existing connection stays), or the failure. Windows: a deviceless, temporary
// connection (type RESOURCETYPE_ANY, no local name, CONNECT_TEMPORARY) with remote as given;
// an empty user stands for the caller's own credentials. POSIX: the account is checked by
// listing remote.
uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                            std::string_view password);

// Disconnects the share of remote (Windows: the connection made to remote as given, flags 0
// so that no user profile changes). Without force a share with open files (kNetOpenFiles) or
// open listings (kNetDeviceInUse) stays connected; with force it is dropped at once (POSIX:
// its open handles keep working until they are closed).
uint32_t CancelShareConnection(std::string_view remote, bool force = false);

// True while the share of remote is connected (Windows: a connection to that share is among
// those the system enumerates as connected).
bool IsShareConnected(std::string_view remote);

// TCP port of the servers that later connections use; 0 (the default) lets the client
// choose (445, then 139), unless the environment variable XEL_SMB_PORT names a port.
// Connections made before keep their port. Windows: no effect; the system's redirector
// chooses.
void SetShareClientPort(uint16_t port);

}  // namespace velmora::osal
