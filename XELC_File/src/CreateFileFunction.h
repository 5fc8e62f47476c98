// CreateFileFunction: the "CreateFile" server function, which writes a request's content to a
// file below the configured output folder.
#pragma once

#include "util/Result.h"
#include "xel/Configuration.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

class NetConnectionsManager;

// Serves one "CreateFile" request. config: the component's configuration (keys "Out/...").
// pNetConnections: the component's share connections, used when an account is configured
// (may be null: then no share can be connected). request: the request document with its
// cursor on the function element; it is read through copies and not moved.
//
// Returns the result of closing the written file, or a refusal (empty file name, a path
// outside the allowed folders). Other failures are thrown as util::Result, as server functions
// do; the runtime turns them into the call's result. Any impersonation begun for the request
// has ended when the call returns or throws. Runs on the calling thread only.
util::Result ExecuteCreateFile(const xel::Configuration& config,
                               NetConnectionsManager* pNetConnections,
                               const xel::XmlParser& request);

}  // namespace velmora::xelc
