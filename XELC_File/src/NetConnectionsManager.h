// NetConnectionsManager: the network share connections the file component added itself.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "osal/Lock.h"

namespace velmora::xelc {

// Remembers the share connections that this component added (each remote name once,
// ordered byte-wise) so that it can cancel exactly those when it stops; connections that
// existed before are never recorded and so never cancelled. One manager belongs to the
// file component and is shared by all its requests: every operation runs under the
// manager's lock.
class NetConnectionsManager {
 public:
  // Operating-system result codes the manager distinguishes.
  static constexpr uint32_t kNoError = 0;
  static constexpr uint32_t kErrorNotSupported = 50;

  // An empty set. Destroying the manager does not cancel connections.
  NetConnectionsManager();
  virtual ~NetConnectionsManager();
  NetConnectionsManager(const NetConnectionsManager&) = delete;
  NetConnectionsManager& operator=(const NetConnectionsManager&) = delete;

  // Trace category "NetConnectionsManager".
  virtual const char* ClassName() const;

  // Cancels every recorded connection (without force), tracing each outcome, and empties
  // the set whatever the outcomes. Called when the component stops. Thread-safe.
  void CancelAllConnections();

  // Number of recorded connections. Thread-safe.
  size_t ConnectedShareCount() const;

 private:
  // Cancels one deviceless connection to remote_name; the operating system's result code.
  static uint32_t CancelNetConnection(const std::string& remote_name);

  std::set<std::string> M_ConnectedShares;  // guarded by M_Lock
  mutable osal::Lock M_Lock;
};

}  // namespace velmora::xelc
