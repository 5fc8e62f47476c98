// FileComponent: the file connector's component, its registration and its server functions.
#pragma once

#include <memory>

#include "NetConnectionsManager.h"
#include "util/Result.h"
#include "xel/Component.h"

namespace velmora::xelc {

// The one component of the connector ("XelcFile"). Owns the network connections manager
// that every request shares, so that share connections outlive the requests that made
// them; stopping the component cancels them. Thread-safe like its base.
class FileComponent : public xel::Component {
 public:
  FileComponent();
  // Trace category "File_Comp".
  const char* ClassName() const override { return "File_Comp"; }
  ~FileComponent() override;
  // Nothing to prepare: succeeds.
  util::Result FinalConstruct() override;
  // Cancels the network connections this component added.
  void OnShutdown() override;

  // The manager shared by all requests (lives as long as the component).
  NetConnectionsManager& NetConnections() { return *M_pNetConnections; }

 private:
  std::unique_ptr<NetConnectionsManager> M_pNetConnections;
};

// The component's description as registered with the runtime (a static object of this
// library). The plug-in's entry refers to it so that linking keeps the registration.
const xel::ComponentInfo* FileComponentRegistration();

// The server functions of the component's table (pThread->M_pComponent is the component).
util::Result CreateFileFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                                xel::XmlParser* pFirstMessage);
util::Result ReadFileFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                              xel::XmlParser* pFirstMessage);
// Answers (type 2, body element "WorkingDir") with the process's working directory, UTF-8.
util::Result GetWorkingDirFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                                   xel::XmlParser* pFirstMessage);
util::Result PollFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                          xel::XmlParser* pFirstMessage);

}  // namespace velmora::xelc
