// NetConnectionsManager: the network share connections the file component added itself.
#include "NetConnectionsManager.h"

#include "osal/AccountCalls.h"
#include "osal/NetShare.h"
#include "util/Trace.h"

namespace velmora::xelc {

using util::General_80;
using util::General_Error;

NetConnectionsManager::NetConnectionsManager() = default;

NetConnectionsManager::~NetConnectionsManager() = default;

const char* NetConnectionsManager::ClassName() const { return "NetConnectionsManager"; }

size_t NetConnectionsManager::ConnectedShareCount() const {
  osal::ScopedLock guard(M_Lock);
  return M_ConnectedShares.size();
}

std::set<std::string> NetConnectionsManager::ConnectedShares() const {
  osal::ScopedLock guard(M_Lock);
  return M_ConnectedShares;
}

int32_t NetConnectionsManager::AddConnection(const std::string& remote_name,
                                             const std::string& user, const std::string& password,
                                             bool bReconnect, std::string* pOutput) {
  if (pOutput == nullptr) return kNoOutput;
  osal::ScopedLock guard(M_Lock);
  // Fresh credentials replace a connection that may have been made with old ones; a
  // connection that cannot be dropped (files open on it) is not added over.
  if (bReconnect && CancelConnection(remote_name, pOutput) == kFailed) return kFailed;

  // A deviceless, temporary connection: nothing is remembered beyond this process.
  const uint32_t code =
      osal::AccountCalls::Current().AddShareConnection(remote_name, user, password);
  std::string text = "Net connection to share " + remote_name + " with user " + user;
  int32_t result = kUsable;
  switch (code) {
    case osal::kNetOk:
      text += " successfully added";
      XEL_TRACE_OBJ(this, General_80, "%s", text.c_str());
      M_ConnectedShares.insert(remote_name);
      break;
    case osal::kNetAlreadyAssigned:
      text += " already exists. Ignoring this error.";
      XEL_TRACE_OBJ(this, General_80, "%s", text.c_str());
      break;
    case osal::kNetCredentialConflict:
      text += " already exists with different credentials. Ignoring this error.";
      XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
      break;
    default:
      text += " could not be added, error=" + std::to_string(code);
      XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
      result = kFailed;
      break;
  }
  *pOutput = text;
  return result;
}

int32_t NetConnectionsManager::CancelConnection(const std::string& remote_name,
                                                std::string* pOutput) {
  if (pOutput == nullptr) return kNoOutput;
  osal::ScopedLock guard(M_Lock);  // recursive: AddConnection calls this holding it
  const uint32_t code =
      osal::AccountCalls::Current().CancelShareConnection(remote_name, /*bForce=*/false);
  std::string text = "Net connection to share " + remote_name;
  int32_t result = kUsable;
  bool gone = true;
  switch (code) {
    case osal::kNetOk:
      text += " successfully cancelled";
      break;
    case osal::kNetNotConnected:
      text += " could not be cancelled (not connected). Ignoring this error.";
      break;
    case osal::kNetNoSuchLogonSession:
      text += " could not be cancelled (no such logon session). Ignoring this error.";
      break;
    case osal::kNetDeviceInUse:
      text += " could not be cancelled (device in use)";
      result = kFailed;
      break;
    case osal::kNetOpenFiles:
      text += " could not be cancelled (open files)";
      result = kFailed;
      break;
    default:
      text += " could not be cancelled, error=" + std::to_string(code);
      result = kFailed;
      break;
  }
  if (result == kFailed) {
    gone = false;
    XEL_TRACE_OBJ(this, General_Error, "%s", text.c_str());
  } else {
    XEL_TRACE_OBJ(this, General_80, "%s", text.c_str());
  }
  if (gone) M_ConnectedShares.erase(remote_name);
  *pOutput = text;
  return result;
}

void NetConnectionsManager::CancelAllConnections() {
  XEL_TRACE_OBJ(this, General_80, "Cancelling all network connections");
  osal::ScopedLock guard(M_Lock);
  osal::AccountCalls& calls = osal::AccountCalls::Current();
  for (const std::string& name : M_ConnectedShares) {
    const uint32_t code = calls.CancelShareConnection(name, /*bForce=*/false);
    if (code == osal::kNetOk) {
      XEL_TRACE_OBJ(this, General_80, "Net connection to share %s successfully cancelled",
                    name.c_str());
    } else {
      XEL_TRACE_OBJ(this, General_Error,
                    "Net connection to share %s could not be cancelled, error=%u", name.c_str(),
                    code);
    }
  }
  M_ConnectedShares.clear();
}

}  // namespace velmora::xelc
