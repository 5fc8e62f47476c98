// PollFunction: the "poll" server function of the file component (folder import with confirmation).
#include "PollFunction.h"

#include "FileComponent.h"
#include "ImportDriver.h"
#include "util/Trace.h"
#include "xel/Component.h"
#include "xel/Connection.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xelc {

using util::Result;
using xel::XmlParser;

Result PollServerFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                          XmlParser* pFirstMessage) {
  // The call's frame is the runtime's contract with every server function: without it the
  // process state is broken, not the request.
  if (pThread == nullptr) util::AssertionFailed("XELC_File", 273, "pThread != NULL", nullptr);
  if (!pThread->M_pComponent.HasObject()) {
    util::AssertionFailed("XELC_File", 274, "pThread->M_pComponent != NULL", nullptr);
  }
  if (pFirstMessage == nullptr) {
    util::AssertionFailed("XELC_File", 275, "pFirstMessage != NULL", nullptr);
  }
  util::Ref<FileComponent> FileComponentPtr(
      dynamic_cast<FileComponent*>(pThread->M_pComponent.get()));
  if (!FileComponentPtr.HasObject()) {
    util::AssertionFailed("XELC_File", 277, "FileComponentPtr.HasObject()", nullptr);
  }
  if (pConn == nullptr) {
    Result::Connector(util::ErrLogicArgs, "poll needs the connection of its request")
        .ThrowIfError();
  }

  pFirstMessage->SetRxTimeout(kPollConfirmationTimeoutMs);
  {
    ImportDriver driver(&FileComponentPtr->NetConnections());
    XmlParser answer;
    (void)driver.Init(FileComponentPtr->Config().get());
    driver.SetAnswerConnection(pConn, kPollAnswerTimeoutMs);
    if (pThread->M_bRequestHeaderRead) driver.SetRequestHeader(pThread->M_pRequestCredentials);
    (void)driver.Poll(pFirstMessage, &answer);
    answer.GetMessage()->TxAllToConnection(pConn, kPollAnswerTimeoutMs).ThrowIfError();

    if (driver.GetPollState() == ImportDriver::kStateClaimed) {
      // The confirmation comes on this same conversation; the request must be complete
      // before its next message is taken from the connection.
      (void)pFirstMessage->GetMessage()->FetchAll();
      util::Ref<xel::Connection> conversation = pThread->TakeOverConnection(pConn);
      XmlParser confirmation;
      XmlParser confirmAnswer;
      Result r = confirmation.Receive(conversation.get(), kPollConfirmationTimeoutMs);
      if (r.IsSuccess()) r = confirmation.ReadHeader(nullptr, nullptr, nullptr, nullptr, nullptr);
      if (r.IsSuccess()) {
        (void)driver.Confirm(&confirmation, &confirmAnswer);
        confirmAnswer.GetMessage()
            ->TxAllToConnection(conversation.get(), kPollAnswerTimeoutMs)
            .ThrowIfError();
      } else {
        // The claim stays under its lock name; a later poll takes it over once the lock
        // has timed out.
        XEL_TRACE(FileComponentPtr->ClassName(), util::General_60,
                  "No confirmation of the poll: %s", r.Text().c_str());
      }
    }
  }
  return Result();
}

}  // namespace velmora::xelc
