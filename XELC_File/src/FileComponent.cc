// FileComponent: the file connector's component, its description and its server functions.
#include "FileComponent.h"

#include <new>
#include <string>

#include "CreateFileFunction.h"
#include "ReadFileFunction.h"
#include "PollFunction.h"
#include "osal/System.h"
#include "util/Trace.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

using util::Result;
using xel::XmlParser;

namespace {

constexpr uint32_t kAnswerTimeoutMs = 10000;

const xel::ServerFunctionEntry kFileFunctions[] = {
    {nullptr, "CreateFile", &CreateFileFunction},
    {nullptr, "ReadFile", &ReadFileFunction},
    {nullptr, "GetWorkingDir", &GetWorkingDirFunction},
    {nullptr, "poll", &PollFunction},
    {nullptr, nullptr, nullptr},
};

// The component's description; constructing it registers the component with the runtime.
class FileComponentInfo : public xel::ComponentInfo {
 public:
  const char* Name() const override { return "XelcFile"; }
  const char* Version() const override { return "3.01.01"; }
  const xel::ServerFunctionEntry* FunctionList() const override { return kFileFunctions; }
  xel::Component* CreateComponent() const override { return new (std::nothrow) FileComponent(); }
};

const FileComponentInfo g_FileComponentInfo;

}  // namespace

const xel::ComponentInfo* FileComponentRegistration() { return &g_FileComponentInfo; }

FileComponent::FileComponent() : M_pNetConnections(std::make_unique<NetConnectionsManager>()) {}

FileComponent::~FileComponent() = default;

Result FileComponent::FinalConstruct() { return Result(); }

void FileComponent::OnShutdown() { M_pNetConnections->CancelAllConnections(); }

// --- Server functions ------------------------------------------------------------------

Result CreateFileFunction(xel::ComponentThread* pThread, xel::Connection*,
                          XmlParser* pFirstMessage) {
  auto* pComponent = static_cast<FileComponent*>(pThread->M_pComponent.get());
  return ExecuteCreateFile(*pThread->M_config, &pComponent->NetConnections(), *pFirstMessage);
}

Result ReadFileFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                        XmlParser* pFirstMessage) {
  return ExecuteReadFile(*pThread->M_config, pConn, *pFirstMessage);
}

Result PollFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                    XmlParser* pFirstMessage) {
  return PollServerFunction(pThread, pConn, pFirstMessage);
}

Result GetWorkingDirFunction(xel::ComponentThread*, xel::Connection* pConn, XmlParser*) {
  XmlParser answer;
  answer.BeginMessage(XmlParser::MsgType_Answer, nullptr, nullptr, "WorkingDir", nullptr)
      .ThrowIfError();
  std::string dir;
  if (!osal::GetWorkingDirectory(&dir).ok()) {
    Result::Connector(util::ErrNotAvailable, "The working directory cannot be read").ThrowIfError();
  }
  answer.WriteChars(dir.c_str(), static_cast<int64_t>(dir.size())).ThrowIfError();
  answer.CloseAll().ThrowIfError();
  answer.GetMessage()->TxAllToConnection(pConn, kAnswerTimeoutMs).ThrowIfError();
  return Result();
}

}  // namespace velmora::xelc
