// LogonConnector: makes a request's folder reachable under a configured account
// and checks its rights.
#include "LogonConnector.h"


#include "NetConnectionsManager.h"
#include "osal/AccountCalls.h"
#include "osal/Security.h"
#include "util/Trace.h"

namespace velmora::xelc {

using util::General_60;
using util::General_80;
using util::General_Error;

LogonConnector::LogonConnector(NetConnectionsManager *pConnections)
    : M_pConnections(pConnections) {}

LogonConnector::~LogonConnector() {
  // Callers disconnect before they let go of the connector; should one not, the
  // thread must still not go on serving other requests under the account.
  if (M_bImpersonating) {
    XEL_TRACE_OBJ(this, General_Error, "Impersonation of user@domain %s was not ended, reverting",
                  M_UserAtDomain.c_str());
    Revert();
  }
  M_LogonToken.Close();
}

const char *LogonConnector::ClassName() const { return "File_LogonConnector"; }

size_t LogonConnector::GetShareNameLength(std::string_view path) {
  if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return 0;
  size_t serverEnd = path.find_first_of("\\/", 2);
  if (serverEnd == std::string_view::npos) return 0;
  size_t shareEnd = path.find_first_of("\\/", serverEnd + 1);
  return shareEnd == std::string_view::npos ? path.size() : shareEnd;
}

void LogonConnector::SetFolder(std::string_view path, bool bShareName) {
  M_Folder = path;
  size_t length = bShareName ? GetShareNameLength(path) : 0;
  if (length > 0) {
    M_Folder = path.substr(0, length);
    XEL_TRACE_OBJ(this, General_80, "Converted path %s to share-name %s (truncated at %i)",
                  std::string(path).c_str(), M_Folder.c_str(), static_cast<int>(length));
  }
}

void LogonConnector::SetCredentials(std::string_view account, std::string_view password) {
  size_t at = account.find('@');
  size_t backslash = account.find('\\');
  if (at != std::string_view::npos) {
    M_User = account.substr(0, at);
    M_Domain = account.substr(at + 1);
  } else if (backslash != std::string_view::npos) {
    M_Domain = account.substr(0, backslash);
    M_User = account.substr(backslash + 1);
  } else {
    M_User = account;
    M_Domain.clear();
  }
  if (M_Domain.empty()) {
    M_UserAtDomain = M_User;
    M_DomainBackslashUser = M_User;
  } else {
    M_UserAtDomain = M_User + "@" + M_Domain;
    M_DomainBackslashUser = M_Domain + "\\" + M_User;
  }
  XEL_TRACE_OBJ(this, General_80, "Initialized with username@domain %s", M_UserAtDomain.c_str());
  M_Password = password;
}

int32_t LogonConnector::Connect() {
  if (M_UserAtDomain.empty()) {
    XEL_TRACE_OBJ(this, General_Error, "Warning: no account specified to connect to folder %s",
                  M_Folder.c_str());
    M_State = kStateUsable;
    return M_State;
  }
  if (GetShareNameLength(M_Folder) > 0) {
    ConnectShare();
  } else {
    ConnectLocalFolder();
  }
  return M_State;
}

void LogonConnector::ConnectShare() {
  if (M_pConnections == nullptr) return;
  int32_t result = M_pConnections->AddConnection(M_Folder, M_UserAtDomain, M_Password, M_bReconnect,
                                                 &M_StatusText);
  M_State = result == NetConnectionsManager::kUsable ? kStateUsable : kStateFailed;
}

void LogonConnector::ConnectLocalFolder() {
  if (M_bImpersonating) {
    XEL_TRACE_OBJ(this, General_Error, "ConnectLocalFolder error: already impersonating");
    return;
  }
  std::string text =
      "Net connection to local folder " + M_Folder + " with user@domain " + M_UserAtDomain;
  // The local account database is the domain "."; other domains go to the
  // authentication service in the "user@domain" form.
  std::string account = (M_Domain.empty() || M_Domain == ".") ? M_User : M_UserAtDomain;
  // An empty service name selects the operating-system layer's default.
  osal::AccountCalls &calls = osal::AccountCalls::Current();
  osal::Status logon = calls.LogonUser(account, M_Password, M_LogonService, &M_LogonToken);
  if (!logon.ok()) {
    text += " failed, LogonUser() error=" + std::to_string(logon.code());
    XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
    M_State = kStateFailed;
  } else {
    osal::Status impersonated = calls.ImpersonateLoggedOnUser(M_LogonToken);
    if (!impersonated.ok()) {
      text += " failed, ImpersonateLoggedOnUser() error=" + std::to_string(impersonated.code());
      XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
      M_State = kStateFailed;
      M_LogonToken.Close();
    } else {
      text += " successfull";
      XEL_TRACE_OBJ(this, General_80, "%s", text.c_str());
      M_State = kStateUsable;
      M_bImpersonating = true;
    }
  }
  M_StatusText = text;
}

void LogonConnector::Revert() {
  if (!M_bImpersonating) return;
  std::string text = "Reverting impersonation of user@domain " + M_UserAtDomain;
  osal::Status reverted = osal::AccountCalls::Current().RevertToSelf();
  if (!reverted.ok()) {
    text += " failed, error=" + std::to_string(reverted.code());
    XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
    M_State = kStateFailed;
  } else {
    text += " successfull";
    XEL_TRACE_OBJ(this, General_80, "%s", text.c_str());
    M_State = kStateNone;
    M_bImpersonating = false;
  }
  // The identity is given up either way; closing twice does nothing.
  M_LogonToken.Close();
}

int32_t LogonConnector::Disconnect() {
  Revert();
  return M_State;
}

int32_t LogonConnector::CheckFolderPermission() {
  osal::AccountCalls &calls = osal::AccountCalls::Current();
  osal::SecurityInfo info;
  osal::Status read = calls.ReadSecurity(M_Folder, &info);
  if (!read.ok()) {
    M_StatusText = "GetNamedSecurityInfoW: on folder " + M_Folder +
                   " failed, error=" + std::to_string(read.code());
    XEL_TRACE_OBJ(this, General_Error, "%s", M_StatusText.c_str());
    M_State = kStateCheckFailed;
    return M_State;
  }
  std::string trustee = (M_bImpersonating || M_DomainBackslashUser.empty())
                            ? std::string(osal::kTrusteeCurrentUser)
                            : M_DomainBackslashUser;
  std::string text =
      "Permission check on folder " + M_Folder + " for user@domain " + M_UserAtDomain;
  uint32_t mask = 0;
  osal::Status rights = calls.GetEffectiveRights(info, trustee, &mask);
  if (!rights.ok()) {
    text += " failed, GetEffectiveRightsFromAcl() error=" + std::to_string(rights.code());
    XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
    M_State = kStateCheckFailed;
  } else {
    if ((mask & kRequiredMask) == kRequiredMask) {
      text += ": ok";
      M_State = kStateRightsPresent;
    } else {
      text += ": not ok";
      M_State = kStateRightsMissing;
    }
    text += ", effective-mask=" + std::to_string(mask) +
            ", required-mask=" + std::to_string(kRequiredMask);
    XEL_TRACE_OBJ(this, General_60, "%s", text.c_str());
  }
  M_StatusText = text;
  return M_State;
}

}  // namespace velmora::xelc
