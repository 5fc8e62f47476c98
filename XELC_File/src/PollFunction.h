// PollFunction: the "poll" server function of the file component (folder import with confirmation).
#pragma once

#include <cstdint>

#include "util/Result.h"

namespace velmora::xel {
class ComponentThread;
class Connection;
class XmlParser;
}  // namespace velmora::xel

namespace velmora::xelc {

// Time-outs of the poll conversation, in milliseconds.
inline constexpr uint32_t kPollAnswerTimeoutMs = 10000;        // sending each answer
inline constexpr uint32_t kPollConfirmationTimeoutMs = 60000;  // waiting for the confirmation

// Runs one folder import for the request pFirstMessage on pThread's file component: sends
// the "poll-res" answer on pConn and, when a file was claimed, waits on the same
// conversation for the platform's confirmation, lets the import finish the claim and sends
// "confirm-res". Without a confirmation (time-out, or the conversation was closed) the claim
// stays on disk until its lock times out. Import failures are reported in the answer; only
// a failure to send an answer is thrown (as a Result). Runs on the request's server thread;
// several polls may run at once.
util::Result PollServerFunction(xel::ComponentThread* pThread, xel::Connection* pConn,
                                xel::XmlParser* pFirstMessage);

}  // namespace velmora::xelc
