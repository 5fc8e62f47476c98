// NetConnectionsManager: the network share connections the file component added itself.
#include "NetConnectionsManager.h"

#include "util/Trace.h"

namespace velmora::xelc {

NetConnectionsManager::NetConnectionsManager() = default;

NetConnectionsManager::~NetConnectionsManager() = default;

const char* NetConnectionsManager::ClassName() const { return "NetConnectionsManager"; }

size_t NetConnectionsManager::ConnectedShareCount() const {
  osal::ScopedLock guard(M_Lock);
  return M_ConnectedShares.size();
}

uint32_t NetConnectionsManager::CancelNetConnection(const std::string& remote_name) {
  // This platform's operating-system layer offers no share-connection calls, so nothing can
  // have been added through it either; a name that reaches here is reported as not
  // cancellable rather than pretending success.
  (void)remote_name;
  return kErrorNotSupported;
}

void NetConnectionsManager::CancelAllConnections() {
  XEL_TRACE_OBJ(this, util::General_80, "Cancelling all network connections");
  osal::ScopedLock guard(M_Lock);
  for (const std::string& name : M_ConnectedShares) {
    const uint32_t code = CancelNetConnection(name);
    if (code == kNoError) {
      XEL_TRACE_OBJ(this, util::General_80, "Net connection to share %s successfully cancelled",
                    name.c_str());
    } else {
      XEL_TRACE_OBJ(this, util::General_Error,
                    "Net connection to share %s could not be cancelled, error=%u", name.c_str(),
                    code);
    }
  }
  M_ConnectedShares.clear();
}

}  // namespace velmora::xelc
