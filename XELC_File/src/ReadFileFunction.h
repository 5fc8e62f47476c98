// ReadFileFunction: the "ReadFile" server function, which answers with the XML document of a
// file below the configured input folder.
#pragma once

#include "util/Result.h"
#include "xel/Configuration.h"
#include "xel/Connection.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

// Serves one "ReadFile" request. config: the component's configuration (keys "In/...").
// pConn: the connection the request arrived on; the answer (type 2, the file's document in its
// body) is sent on it by this function, or cancelled with the failure when building it fails.
// request: the request document with its cursor on the function element (not moved).
//
// Returns the result of building the answer, or a refusal (no input folder configured, a path
// outside it). Failures to open or parse the file are thrown as util::Result, as server
// functions do. No logon: the file is read with the process's own rights.
util::Result ExecuteReadFile(const xel::Configuration& config, xel::Connection* pConn,
                             const xel::XmlParser& request);

}  // namespace velmora::xelc
