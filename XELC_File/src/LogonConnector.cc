// LogonConnector: makes a request's folder reachable under a configured account and checks its rights.
#include "LogonConnector.h"

#include "osal/File.h"
#include "osal/Security.h"
#include "util/Trace.h"

namespace velmora::xelc {

using util::General_60;
using util::General_80;
using util::General_Error;

LogonConnector::LogonConnector(NetConnectionsManager* pConnections)
    : M_pConnections(pConnections) {}

LogonConnector::~LogonConnector() = default;

const char* LogonConnector::ClassName() const { return "File_LogonConnector"; }

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
  // Share connections with an account are not part of this build; say so rather than
  // letting the request run on with the wrong rights.
  M_StatusText = "Net connection to share " + M_Folder + " with user@domain " + M_UserAtDomain +
                 " failed, connecting a share with an account is not available in this build";
  XEL_TRACE_OBJ(this, General_Error, "%s", M_StatusText.c_str());
  M_State = kStateFailed;
}

void LogonConnector::ConnectLocalFolder() {
  if (M_bImpersonating) {
    XEL_TRACE_OBJ(this, General_Error, "ConnectLocalFolder error: already impersonating");
    return;
  }
  // Logging an account on and impersonating it is not part of this build.
  M_StatusText = "Net connection to local folder " + M_Folder + " with user@domain " +
                 M_UserAtDomain + " failed, account logon is not available in this build";
  XEL_TRACE_OBJ(this, General_Error, "%s", M_StatusText.c_str());
  M_State = kStateFailed;
}

void LogonConnector::Revert() {
  if (!M_bImpersonating) return;
  // Nothing in this build starts an impersonation; the flag stays false.
  M_bImpersonating = false;
  M_State = kStateNone;
}

int32_t LogonConnector::Disconnect() {
  Revert();
  return M_State;
}

int32_t LogonConnector::CheckFolderPermission() {
  osal::DirEntry entry;
  osal::Status found = osal::GetFileInfo(M_Folder, &entry);
  if (!found.ok()) {
    M_StatusText = "GetNamedSecurityInfoW: on folder " + M_Folder +
                   " failed, error=" + std::to_string(found.code());
    XEL_TRACE_OBJ(this, General_Error, "%s", M_StatusText.c_str());
    M_State = kStateCheckFailed;
    return M_State;
  }
  std::string trustee = (M_bImpersonating || M_DomainBackslashUser.empty())
                            ? std::string(osal::kTrusteeCurrentUser)
                            : M_DomainBackslashUser;
  std::string text = "Permission check on folder " + M_Folder + " for user@domain " +
                     M_UserAtDomain;
  uint32_t mask = 0;
  osal::Status rights = osal::GetEffectiveRights(M_Folder, trustee, &mask);
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
