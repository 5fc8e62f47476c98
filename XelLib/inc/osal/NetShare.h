// Network shares: process-wide connections to "\\server\share" with an account.
//
// A UNC path ("\\server\share\..." or, after NativePath, "//server/share/...") is only
// reachable while its share is connected here; every file operation of osal/File.h on such
// a path then runs over that connection with its credentials, and fails with
// ErrorKind::kPathNotFound (native code ENOTCONN) while the share is not connected.
// The results are the Windows networking codes, so that callers describe the outcome the
// same way on every platform. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::osal {

// Outcomes of AddShareConnection and CancelShareConnection (Windows error numbers).
enum NetShareCode : uint32_t {
  kNetOk = 0,
  kNetAccessDenied = 5,           // the account may not use the share
  kNetNotSupported = 50,          // this platform's layer cannot connect shares (yet)
  kNetBadNetPath = 53,            // the server cannot be reached
  kNetUnexpectedError = 59,       // any other network failure
  kNetBadNetName = 67,            // no such share or folder, or not a "\\server\share" name
  kNetAlreadyAssigned = 85,       // connected already with the same account
  kNetCredentialConflict = 1219,  // connected already with another account
  kNetNoSuchLogonSession = 1312,
  kNetLogonFailure = 1326,  // unknown user or wrong password
  kNetNotConnected = 2250,  // cancelling a share that is not connected
  kNetOpenFiles = 2401,     // cancelling without force while files are open on it
  kNetDeviceInUse = 2404,   // cancelling without force while folders are being listed
};

// Connects the share of remote ("\\server\share" optionally followed by a folder, which
// must exist) with user ("user", "user@domain" or "domain\user") and password. The
// account is checked by listing remote. Returns kNetOk, or kNetAlreadyAssigned /
// kNetCredentialConflict when the share is connected already (the existing connection
// stays), or the failure.
uint32_t AddShareConnection(std::string_view remote, std::string_view user,
                            std::string_view password);

// Disconnects the share of remote. Without force a share with open files
// (kNetOpenFiles) or open listings (kNetDeviceInUse) stays connected; with force it is
// dropped at once and its open handles keep working until they are closed.
uint32_t CancelShareConnection(std::string_view remote, bool force = false);

// True while the share of remote is connected.
bool IsShareConnected(std::string_view remote);

// TCP port of the servers that later connections use; 0 (the default) lets the client
// choose (445, then 139), unless the environment variable XEL_SMB_PORT names a port.
// Connections made before keep their port.
void SetShareClientPort(uint16_t port);

}  // namespace velmora::osal
