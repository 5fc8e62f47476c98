// LogonConnector: makes a request's folder reachable under a configured account
// and checks its rights.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "osal/Logon.h"

namespace velmora::xelc {

class NetConnectionsManager;

// The component's configuration key that names the authentication service for local
// logons (see SetLogonService); absent or empty: the platform's default.
inline constexpr const char* kLogonServiceKey = "Logon/Service";

// Makes the folder of one request reachable (a network share through the
// component's NetConnectionsManager, a local folder by logging the account on
// and impersonating it) and checks the account's effective rights on it. Every
// outcome is a state (States) and a status text that callers copy into their
// error reports; no operation throws.
//
// Without an account Connect goes on with the process's own rights. A local
// account is logged on through the system's authentication service (on Linux
// PAM, the service of SetLogonService or osal::kDefaultLogonService)
// and impersonated on the calling thread only, so Connect, the work on the
// folder and Disconnect must run on the same thread. Accounts are local: an
// empty domain or "." means the local account database; any other domain is
// handed on as "user@domain", the form directory-service modules accept.
//
// Lives for one request; not safe for concurrent use. The connections manager
// is not owned and may be null. Destroying a connector that still impersonates
// reverts the calling thread, so that an identity never outlives its request.
class LogonConnector {
 public:
  enum State : int32_t {
    kStateNone = 0,           // nothing done yet, or impersonation reverted
    kStateFailed = 1,         // connecting (or reverting) failed
    kStateUsable = 2,         // folder reachable (or no account given)
    kStateCheckFailed = 3,    // the permission check could not be made
    kStateRightsMissing = 4,  // permission check made: required rights missing
    kStateRightsPresent = 5,  // permission check made: required rights present
  };
  // DELETE, READ_CONTROL, WRITE_DAC and WRITE_OWNER.
  static constexpr uint32_t kRequiredMask = 0xF0000;

  explicit LogonConnector(NetConnectionsManager *pConnections);
  virtual ~LogonConnector();
  LogonConnector(const LogonConnector &) = delete;
  LogonConnector &operator=(const LogonConnector &) = delete;

  // Trace category "File_LogonConnector".
  virtual const char *ClassName() const;

  // Stores the folder; with bShareName and a network path the folder is cut to
  // its
  // "\\server\share" root.
  void SetFolder(std::string_view path, bool bShareName);
  // Splits "user@domain", "domain\user" or "user" and stores the derived names.
  void SetCredentials(std::string_view account, std::string_view password);
  // Cancel an existing connection to the share before adding it.
  void SetReconnect(bool bReconnect) { M_bReconnect = bReconnect; }
  // The authentication service that checks a local account's password (a PAM
  // service name on Linux; the requests take it from the component's configuration
  // key kLogonServiceKey); empty selects osal::kDefaultLogonService ("login").
  void SetLogonService(std::string_view service) { M_LogonService = service; }

  // Makes the folder reachable; returns the state (below 2: failure).
  int32_t Connect();
  // Compares the account's effective rights on the folder with kRequiredMask;
  // returns the state (5: rights present).
  int32_t CheckFolderPermission();
  // Ends an impersonation begun by Connect (on the thread that called Connect);
  // returns the state.
  int32_t Disconnect();

  std::string GetStatusText() const { return M_StatusText; }
  int32_t GetState() const { return M_State; }

  // Derived account names (for callers' messages and tests).
  const std::string &GetFolder() const { return M_Folder; }
  const std::string &GetUser() const { return M_User; }
  const std::string &GetDomain() const { return M_Domain; }
  const std::string &GetUserAtDomain() const { return M_UserAtDomain; }
  const std::string &GetDomainBackslashUser() const { return M_DomainBackslashUser; }
  bool IsImpersonating() const { return M_bImpersonating; }

  // Length of the "\\server\share" part of a network path; 0 for any other
  // path.
  static size_t GetShareNameLength(std::string_view path);

 private:
  // Connects a network share through the connections manager (state 2 or 1).
  void ConnectShare();
  // Logs the account on and impersonates it on the calling thread (state 2 or
  // 1).
  void ConnectLocalFolder();
  // Ends the impersonation (state 0, or 1 when reverting fails).
  void Revert();

  NetConnectionsManager *M_pConnections;
  std::string M_Folder;
  std::string M_User;
  std::string M_Domain;
  std::string M_UserAtDomain;
  std::string M_DomainBackslashUser;
  std::string M_Password;
  bool M_bReconnect = false;
  int32_t M_State = kStateNone;
  std::string M_StatusText;
  bool M_bImpersonating = false;
  osal::LogonToken M_LogonToken;  // the logged-on identity; closed when the
                                  // impersonation ends
  std::string M_LogonService;
};

}  // namespace velmora::xelc
