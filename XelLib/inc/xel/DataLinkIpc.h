// DataLinkIpc: the data link over named shared memory, as master or as slave.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "osal/SharedMemory.h"
#include "xel/DataLink.h"

namespace velmora::xel {

// The shared-memory link between two processes on one machine: one block of named shared
// memory holding two ring buffers (one per direction), a named mutex per side that the
// side holds for its lifetime (the other side learns of its death through it) and a named
// event per side that it signals to wake the other. docs/datalink.md describes the names,
// layout and protocol. The master creates the objects, accessible to its own account and an
// optional group (SetObjectAccess); the slave opens them and refuses objects that every
// account may write. A side that notices the other's death removes the names the dead
// master left behind (POSIX). Received blocks are checked before use: a peer that writes
// anything into the ring ends the link, never this process.
//
// Send and Receive are called by the send and receive threads of DataLink only; a peer
// whose process ends is noticed within about one second.
class DataLinkIpc : public DataLink {
 public:
  // Fixed prefix of the named objects: "<prefix>_<link name>_Mem" and so on.
  static constexpr const char* kNamePrefix = "OSTREL_Tirzel";
  static constexpr uint32_t kVersion = 3;
  static constexpr uint32_t kHeaderSize = 1024;
  static constexpr uint32_t kQueueHeaderSize = 64;
  static constexpr uint32_t kBlockHeaderSize = 48;
  static constexpr uint32_t kMinBufferSize = 8128;
  static constexpr uint32_t kBlockMagic = 0x1ADAB10C;
  static constexpr uint32_t kWrapMarker = 0x7FFFFFFF;
  // Queue states.
  static constexpr uint32_t kQueueNoWriter = 0;
  static constexpr uint32_t kQueueConnected = 3;
  static constexpr uint32_t kQueueClosed = 512;
  // Longest single wait: a dead peer is noticed within about two of these.
  static constexpr uint32_t kWaitSliceMs = 400;

  DataLinkIpc();
  ~DataLinkIpc() override;
  const char* ClassName() const override { return "DataLinkIpc"; }

  // Who besides this account may open the objects the master creates (before Connect;
  // default: nobody).
  void SetObjectAccess(const osal::ObjectAccess& access) { M_Access = access; }

  // Buffer size actually used for a requested size (at least 8128, multiple of 4).
  static uint32_t EffectiveBufferSize(uint32_t requested);
  // The name of one of the link's objects, e.g. ObjectName("L1", "Mem").
  static std::string ObjectName(const std::string& linkName, const char* suffix);

 protected:
  util::Result ConnectLink(const std::string& name, bool bServer, uint32_t rxSize,
                           uint32_t txSize) override;
  util::Result Send(const MessageBlock* pBlock) override;
  bool TrySend(const MessageBlock* pBlock) override;
  util::Result Receive(MessageBlock* pBlock) override;
  void InterruptWaits() override;
  void CloseLink() override;

 private:
  // A view of one partition: its queue header words and its ring buffer.
  struct Queue {
    uint32_t* pHeader = nullptr;
    uint8_t* pRing = nullptr;
    uint32_t size = 0;
  };
  enum class WaitOutcome { kSignalled, kTimeout, kShutdown, kPeerGone };

  util::Result ConnectAsMaster(const std::string& name, uint32_t rxSize, uint32_t txSize);
  util::Result ConnectAsSlave(const std::string& name);
  util::Result OpenObjects(const std::string& name);
  util::Result ValidateLayout();
  // Closes the objects; the master keeps its own mutex between connection attempts.
  void CloseObjects(bool bKeepOwnMutex);
  // Waits one slice for the peer's event, the shutdown request or the peer's death.
  // Threads of this side share the peer's event through one waiter at a time, so a wake-up
  // meant for one of them is never swallowed by the other. generation is the value of
  // WaitGeneration() read before the caller last tested its condition.
  WaitOutcome WaitForPeer(uint64_t generation);
  uint64_t WaitGeneration();
  // True when the peer's mutex could be taken: its process has closed the link or died.
  bool ProbePeerGone();
  // Removes the names of the link's objects whose creator has ended (a dead master's).
  void RemoveAbandonedNames();

  osal::ObjectAccess M_Access;
  osal::SharedMemory M_Memory;
  osal::NamedMutex M_MutexM;
  osal::NamedMutex M_MutexS;
  osal::NamedEvent M_EventM;
  osal::NamedEvent M_EventS;
  osal::NamedMutex* M_pPeerMutex = nullptr;
  osal::NamedEvent* M_pOwnEvent = nullptr;   // signalled by this side
  osal::NamedEvent* M_pPeerEvent = nullptr;  // waited on by this side
  bool M_bServer = false;
  bool M_bOwnMutexHeld = false;
  uint8_t* M_pBase = nullptr;
  Queue M_WriteQueue;
  Queue M_ReadQueue;

  std::mutex M_WaitMutex;
  std::condition_variable M_WaitCond;
  uint64_t M_WaitGeneration = 0;
  bool M_bLeaderWaiting = false;
  std::atomic<bool> M_bShutdown{false};
  std::atomic<bool> M_bPeerGone{false};
};

}  // namespace velmora::xel
