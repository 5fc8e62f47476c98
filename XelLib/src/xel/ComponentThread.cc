// ComponentThread: one caller inside a component (an incoming call or a client cycle).
#include "util/Trace.h"
#include "xel/Component.h"

namespace velmora::xel {

using util::Ref;
using util::Result;

ComponentThread::ComponentThread() = default;

ComponentThread::~ComponentThread() {
  // A thread object that is dropped while still inside leaves the component, so that the
  // active-call counts stay right even when a caller forgot it.
  if (M_bIsActive) LeaveComponent();
}

Result ComponentThread::Init() { return Result(); }
bool ComponentThread::Test() { return false; }
int ComponentThread::Run() { return -1; }
void ComponentThread::Exit() {}

Result ComponentThread::AttachToComponent(Component* pComponent, bool bIsServer) {
  if (!pComponent) return Result::Fail(util::ErrLogicArgs, "no component to attach to");
  M_pComponent = Ref<Component>(pComponent);
  M_bIsServer = bIsServer;
  M_b_conn_ptr_copied = false;
  if (!pComponent->Config()) return Result();
  M_config = Ref<Configuration>::Adopt(new Configuration());
  return M_config->Share(*pComponent->Config());
}

bool ComponentThread::EnterComponent() {
  if (!M_pComponent || M_bIsActive) return M_bIsActive;
  M_bIsActive = M_pComponent->Enter(M_bIsServer);
  return M_bIsActive;
}

void ComponentThread::LeaveComponent() {
  if (!M_bIsActive) return;
  M_pComponent->Leave(M_bIsServer);
  M_bIsActive = false;
}

Result ComponentThread::CallServerFunction(Connection* pConn, XmlParser* pFirstMessage) {
  XEL_ASSERT(M_pComponent.HasObject());
  ComponentInfo* pInfo = M_pComponent->GetComponentInfo();
  const ServerFunctionEntry* pFunList = pInfo ? pInfo->FunctionList() : nullptr;
  // Every call starts without a taken-over connection; the handler may take it once.
  M_b_conn_ptr_copied = false;
  return xel::CallServerFunction(pFunList, this, pConn, pFirstMessage, M_pComponent->ClassName());
}

Ref<Connection> ComponentThread::TakeOverConnection(Connection* p_src_conn) {
  XEL_ASSERT(p_src_conn != 0);
  XEL_ASSERT(this->M_bIsServer);
  XEL_ASSERT(this->M_bIsActive);
  XEL_ASSERT(this->M_b_conn_ptr_copied == false);
  M_b_conn_ptr_copied = true;
  return Ref<Connection>(p_src_conn);
}

}  // namespace velmora::xel
