// NetConnectionsManager: the network share connections the file component added itself.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "osal/Lock.h"

namespace velmora::xelc {

// Adds share connections for the whole process and remembers the ones that it added
// itself (each remote name once, ordered byte-wise) so that it can cancel exactly those
// when the component stops; connections that existed before are used but never recorded
// and so never cancelled. One manager belongs to the file component and is shared by all
// its requests: every add and cancel runs under the manager's lock.
class NetConnectionsManager {
 public:
  // Results of AddConnection and CancelConnection.
  enum Outcome : int32_t {
    kNoOutput = 0,  // no output text was given; nothing was done
    kFailed = 1,
    kUsable = 2,  // added or already present / cancelled or not there
  };

  // An empty set. Destroying the manager does not cancel connections.
  NetConnectionsManager();
  virtual ~NetConnectionsManager();
  NetConnectionsManager(const NetConnectionsManager&) = delete;
  NetConnectionsManager& operator=(const NetConnectionsManager&) = delete;

  // Trace category "NetConnectionsManager".
  virtual const char* ClassName() const;

  // Connects remote_name (used exactly as given) with user (user@domain form) and
  // password; with bReconnect an existing connection is cancelled first, and a failed
  // cancel ends the call with kFailed. *pOutput receives the attempt's message; a null
  // pOutput returns kNoOutput. Thread-safe.
  int32_t AddConnection(const std::string& remote_name, const std::string& user,
                        const std::string& password, bool bReconnect, std::string* pOutput);

  // Cancels the connection to remote_name without force (a share with open files stays
  // connected). *pOutput receives the message; a null pOutput returns kNoOutput.
  // Thread-safe.
  int32_t CancelConnection(const std::string& remote_name, std::string* pOutput);

  // Cancels every recorded connection (without force), tracing each outcome, and empties
  // the set whatever the outcomes. Called when the component stops. Thread-safe.
  void CancelAllConnections();

  // Number of recorded connections, and a copy of them. Thread-safe.
  size_t ConnectedShareCount() const;
  std::set<std::string> ConnectedShares() const;

 private:
  std::set<std::string> M_ConnectedShares;  // guarded by M_Lock
  mutable osal::Lock M_Lock;
};

}  // namespace velmora::xelc
