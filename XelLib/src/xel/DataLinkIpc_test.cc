// Tests of the shared-memory data link: ring rules, header checks, transfer between
// processes and detection of a dead peer.
#include "xel/DataLinkIpc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "ResultMatchers.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "xel/ConnectionFifo.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ::testing::EndsWith;
using util::IsOk;
using util::Ref;
using util::Result;
using velmora::testing::ChildProcess;

constexpr uint32_t kBufferSize = 40960;

std::string UniqueLinkName() {
  static std::atomic<int> counter{0};
  return "lt" + std::to_string(osal::CurrentProcessId()) + "_" + std::to_string(++counter);
}

// The named objects of a link.
struct LinkObjects {
  osal::SharedMemory memory;
  osal::NamedMutex mutexM, mutexS;
  osal::NamedEvent eventM, eventS;
  // Whether any of them can still be opened by name.
  bool OpenAny(const std::string& link) {
    auto on = [&](const char* suffix) { return DataLinkIpc::ObjectName(link, suffix); };
    return memory.Open(on("Mem")).ok() | mutexM.Open(on("MutexM")).ok() |
           mutexS.Open(on("MutexS")).ok() | eventM.Open(on("EventM")).ok() |
           eventS.Open(on("EventS")).ok();
  }
};

void Fill(MessageBlock* p, uint32_t length, uint32_t seed) {
  p->M_Length = length;
  p->M_Channel = 0x80000000u + seed;
  p->M_Flags = seed & 0xF;
  p->M_Event = 0;
  p->M_S = seed * 3;
  p->M_A = seed * 5;
  p->M_TraceTag = seed ^ 0x5A5A;
  for (uint32_t i = 0; i < length; ++i) p->M_Content[i] = static_cast<uint8_t>(seed * 31 + i * 7);
}

// Whether the block is what Fill(length, seed) made.
bool Matches(const MessageBlock* p, uint32_t length, uint32_t seed) {
  MessageBlock e;
  Fill(&e, length, seed);
  // From M_S on, the header and the content are what the peer sent; M_hLink is the receiver's.
  const size_t n = offsetof(MessageBlock, M_Content) - offsetof(MessageBlock, M_S) + length;
  return p->M_Flags == e.M_Flags && p->M_Channel == e.M_Channel &&
         std::memcmp(&p->M_S, &e.M_S, n) == 0;
}

// A fifo collects the blocks a link dispatches; Take gives the next or nullptr.
using Inbox = Ref<ConnectionFifo>;
Inbox NewInbox() { return Inbox::Adopt(new ConnectionFifo()); }
MessageBlock* Take(const Inbox& inbox, uint32_t timeoutMs) {
  MessageBlock* p = nullptr;
  (void)inbox->Receive(timeoutMs, false, &p);
  return p;
}

// Gives the tests the transport operations without the worker threads.
class RawLink : public DataLinkIpc {
 public:
  using DataLinkIpc::ConnectLink;
  using DataLinkIpc::Receive;
  using DataLinkIpc::Send;
};

Ref<DataLinkIpc> NewLink() { return Ref<DataLinkIpc>::Adopt(new DataLinkIpc()); }

Result Connect(DataLinkIpc* pLink, const std::string& name, bool bMaster, int timeoutMs = 0) {
  return pLink->Connect(name, bMaster, timeoutMs, kBufferSize, kBufferSize);
}

// Child: master or slave that sends every received block straight back, says "ready" once
// connected, and waits to be killed.
XEL_CHILD_MODE(link_echo) {
  const bool bMaster = args.at(1) == "master";
  Ref<DataLinkIpc> link = NewLink();
  DataLinkIpc* pLink = link.get();
  link->SetDispatch([pLink](uint32_t, MessageBlock* p) {
    if (pLink->QueueBlock(p).IsError()) MessageBlock::Free(p);
  });
  if (Connect(pLink, args.at(0), bMaster, bMaster ? 0 : 5000).IsError()) return 2;
  velmora::testing::ChildSay("ready");
  velmora::testing::ChildWaitToBeKilled();
}

// Blocks of every size travel to a child and back. A killed peer is noticed within two seconds
// and the survivor's close leaves no object; the names of a master killed without a slave are
// taken over by the next master.
TEST(DataLinkIpcCrossProcess, EchoThenAKilledPeerIsNoticedAndItsNamesGoOrAreTakenOver) {
  for (int row : {0, 1, 2}) {  // master killed, slave killed after the echo, master killed alone
    SCOPED_TRACE(row);
    const std::string name = UniqueLinkName();
    Inbox inbox = NewInbox();
    Ref<DataLinkIpc> link = NewLink();
    link->SetDispatch([&inbox](uint32_t, MessageBlock* p) { (void)inbox->Send(p, 0); });
    ChildProcess child;
    Result res = row != 1 ? Result() : Connect(link.get(), name, true);
    std::string line;
    ASSERT_TRUE(child.Start("link_echo", {name, row != 1 ? "master" : "slave"}));
    ASSERT_TRUE(child.ReadLine(&line, 10000) && line == "ready");
    if (row != 1) {
      Ref<DataLinkIpc> second = NewLink();
      EXPECT_EQ(Connect(second.get(), name, true).Category(), util::ErrObjExist)
          << "a live master's link must stay its own";
      second->Close();
    }
    if (row == 0) res = Connect(link.get(), name, false);
    ASSERT_THAT(res, IsOk());
    // Every size from 0 to 4000: the rings wrap many times at every alignment.
    for (uint32_t len = 0; row == 1 && len <= MessageBlock::BlockSize; ++len) {
      MessageBlock* p = MessageBlock::Allocate();
      Fill(p, len, len);
      ASSERT_THAT(link->QueueBlock(p), IsOk());
    }
    for (uint32_t len = 0; row == 1 && len <= MessageBlock::BlockSize; ++len) {
      MessageBlock* p = Take(inbox, 10000);
      ASSERT_NE(p, nullptr) << "echo of block " << len << " missing";
      const bool bSame = Matches(p, len, len) && p->M_hLink == link->GetHandle();
      MessageBlock::Free(p);
      ASSERT_TRUE(bSame) << "block " << len << " differs";
    }
    EXPECT_FALSE(link->WaitForLinkDown(0));
    child.Kill();
    const auto start = steady_clock::now();
    if (row == 2) {
      ASSERT_TRUE(child.Wait(5000, nullptr));
      ASSERT_THAT(Connect(link.get(), name, true), IsOk());
      Ref<DataLinkIpc> slave = NewLink();
      EXPECT_THAT(Connect(slave.get(), name, false), IsOk());
      slave->Close();  // before the objects are counted: the close, not the last release, ends them
    } else {
      EXPECT_TRUE(link->WaitForLinkDown(2000));
    }
    link->Close();
    EXPECT_FALSE(LinkObjects().OpenAny(name));
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
  }
}

// A slave is refused without a master within its time-out, while another slave is connected,
// and when every account may write the link. A refused link stays down.
TEST(DataLinkIpcConnect, SlaveIsRefused) {
  struct Case {
    bool bMaster, bOtherSlave, bAnyAccount;
    uint32_t timeoutMs, category;
    const char* text;
  } const cases[] = {
      {false, false, false, 300, util::ErrObjNotExist, ""},
      {true, true, false, 0, util::ErrObjSharing,
       "DataLinkIpc::ConnectAsSlave Failed to own mutex - another slave is connected"},
      {true, false, true, 0, util::ErrPermission, "may be written by any account - link refused"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.category);
    const std::string name = UniqueLinkName();
    Ref<DataLinkIpc> master = NewLink(), other = NewLink(), slave = NewLink();
    osal::ObjectAccess access;
    access.M_bAnyAccount = c.bAnyAccount;
    master->SetObjectAccess(access);
    ASSERT_TRUE(!c.bMaster || Connect(master.get(), name, true).IsSuccess());
    ASSERT_TRUE(!c.bOtherSlave || Connect(other.get(), name, false).IsSuccess());
    const auto start = steady_clock::now();
    Result res, again;
    std::thread([&] {  // another thread: a mutex owner's own thread would not be refused
      res = Connect(slave.get(), name, false, c.timeoutMs);
      again = Connect(slave.get(), name, false);
    })
        .join();
    EXPECT_GE(steady_clock::now() - start, milliseconds(c.timeoutMs));
    EXPECT_EQ(res.Category(), c.category) << res.Text();
    EXPECT_THAT(res.ErrorText(), EndsWith(c.text));
    EXPECT_EQ(slave->State(), DataLink::LinkState_Down);
    EXPECT_EQ(again.Category(), util::ErrLogicState);
    slave->Close();
    EXPECT_EQ(other->IsConnected(), c.bOtherSlave);
    // Closed, so that the link's names go with it.
    other->Close();
    master->Close();
  }
}

TEST(DataLinkIpcConnect, BlocksQueuedBeforeCloseStillArriveAndTheDownHandlerRunsOnce) {
  const std::string name = UniqueLinkName();
  Ref<DataLinkIpc> master = NewLink(), slave = NewLink();
  ASSERT_THAT(Connect(master.get(), name, true), IsOk());
  Inbox inbox = NewInbox();
  std::atomic<int> downCalls{0};
  slave->SetDispatch([&inbox](uint32_t, MessageBlock* p) { (void)inbox->Send(p, 0); });
  slave->SetDownHandler([&downCalls](DataLink*) { ++downCalls; });
  ASSERT_THAT(Connect(slave.get(), name, false), IsOk());
  constexpr uint32_t kCount = 200;  // far more than the ring holds
  for (uint32_t i = 0; i < kCount; ++i) {
    MessageBlock* p = MessageBlock::Allocate();
    Fill(p, 4000, i);
    ASSERT_THAT(master->QueueBlock(p), IsOk());
  }
  master->Close();
  MessageBlock* pLate = MessageBlock::Allocate();
  EXPECT_EQ(master->QueueBlock(pLate).Category(), util::ErrObjLost);
  MessageBlock::Free(pLate);
  for (uint32_t i = 0; i < kCount; ++i) {
    MessageBlock* p = Take(inbox, 5000);
    ASSERT_NE(p, nullptr) << "block " << i << " lost in the close";
    EXPECT_TRUE(Matches(p, 4000, i)) << i;
    MessageBlock::Free(p);
  }
  EXPECT_TRUE(slave->WaitForLinkDown(2000));
  slave->Close();
  EXPECT_EQ(downCalls.load(), 1);
  EXPECT_EQ(slave->State(), DataLink::LinkState_Down);
}

// The slave is shown a header of our making, in objects made by hand.
TEST(DataLinkIpcConnect, SlaveChecksTheHeaderInOrder) {
  const std::string name = UniqueLinkName();
  auto on = [&](const char* suffix) { return DataLinkIpc::ObjectName(name, suffix); };
  LinkObjects made;
  ASSERT_TRUE(
      made.memory.Create(on("Mem"), 4096).ok() && made.mutexM.Create(on("MutexM"), true).ok() &&
      made.mutexS.Create(on("MutexS"), false).ok() &&
      made.eventM.Create(on("EventM"), false).ok() && made.eventS.Create(on("EventS"), false).ok());
  auto connectSlave = [&] { return Connect(NewLink().get(), name, false); };
  uint32_t* w = static_cast<uint32_t*>(made.memory.data());
  struct Case {
    std::function<void()> change;
    uint32_t category;
    const char* text;
  };
  const Case cases[] = {
      {[&] { w[0] = 2; }, util::ErrWrongFormat, "IPC Buffer: Wrong version 2"},
      {[&] { w[0] = 3, w[2] = 1000; }, util::ErrWrongFormat, "IPC Buffer: Invalid size 1000"},
      {[&] { w[2] = 4096; }, util::ErrBusy, "IPC Buffer: Not initialized by master"},
      {[&] { w[5] = 1, w[4] = 1; }, util::ErrWrongFormat,
       "IPC Buffer: 1 partiations detected (>= 2 expected)"},
      {[&] { w[4] = 2, w[16] = 5; }, util::ErrWrongFormat, "IPC Buffer: bad Id 5 of partition 0"},
      {[&] { w[16] = 2, w[24] = 2; }, util::ErrWrongFormat, "IPC Buffer: bad Id 2 of partition 1"},
      // Partitions pointing outside the memory are refused, not followed.
      {[&] {
         w[24] = 1, w[18] = 1024, w[20] = 1536, w[26] = 2560, w[28] = 4096;
         for (uint32_t off : {1024u, 2560u}) w[off / 4] = 64, w[off / 4 + 2] = 1024;
       },
       util::ErrWrongFormat, "IPC Buffer: bad layout of partition 1"},
      {[&] { w[28] = 1536; }, util::ErrStopped, "Server has been stopped/not started (state=0)"},
      {[&] { w[2560 / 4 + 1] = 3, w[1024 / 4 + 1] = 3; }, util::ErrLogicState,
       "Wrong state 3 - Slave already was connected"},
  };
  for (const Case& c : cases) {
    c.change();
    Result res = connectSlave();
    EXPECT_EQ(res.Category(), c.category) << res.Text();
    EXPECT_EQ(res.ErrorText(), c.text);
  }
  // With the slave's queue free again the same header is accepted.
  w[1024 / 4 + 1] = 0;
  EXPECT_THAT(connectSlave(), IsOk());
}

// A master and a slave in this process, driven by hand without worker threads.
class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = UniqueLinkName();
    ASSERT_THAT(M_Master.ConnectLink(name, true, 8128, 8128), IsOk());
    ASSERT_THAT(M_Slave.ConnectLink(name, false, 0, 0), IsOk());
    ASSERT_TRUE(M_Memory.Open(DataLinkIpc::ObjectName(name, "Mem")).ok());
  }
  // The master's write queue: partition 1, after the slave's 8192 bytes at 1024.
  uint32_t* Queue() {
    return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(M_Memory.data()) + 1024 + 8192);
  }
  Result SendFilled(uint32_t length, uint32_t seed) {
    MessageBlock block;
    Fill(&block, length, seed);
    return M_Master.Send(&block);
  }
  std::string ReceiveExpect(uint32_t length, uint32_t seed) {
    MessageBlock block;
    Result res = M_Slave.Receive(&block);
    return res.IsError() ? res.Text() : Matches(&block, length, seed) ? "" : "block differs";
  }

  RawLink M_Master, M_Slave;
  osal::SharedMemory M_Memory;
};

// A block that would end exactly at the read index after wrapping would make a full ring look
// empty: with three 2048-byte blocks in the 8128-byte ring, the fourth waits.
TEST_F(RingTest, BlockThatWouldFillTheRingWaitsThenWrapsToTheStart) {
  ASSERT_THAT(SendFilled(2000, 1), IsOk());
  ASSERT_THAT(SendFilled(2000, 2), IsOk());
  ASSERT_EQ(ReceiveExpect(2000, 1), "");
  ASSERT_THAT(SendFilled(2000, 3), IsOk());
  EXPECT_EQ(Queue()[3], 6144u);
  std::atomic<bool> bSent{false};
  std::thread writer([&] {
    EXPECT_THAT(SendFilled(2000, 4), IsOk());
    bSent = true;
  });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(bSent.load());
  EXPECT_EQ(Queue()[5], 1u) << "writer-waiting flag";
  EXPECT_EQ(ReceiveExpect(2000, 2), "");  // frees the start; wakes the writer
  writer.join();
  EXPECT_EQ(Queue()[3], 2048u) << "the fourth block went to the start";
  EXPECT_EQ(Queue()[5], 0u);
  EXPECT_EQ(ReceiveExpect(2000, 3), "");
  EXPECT_EQ(ReceiveExpect(2000, 4), "");  // across the wrap marker
}

TEST_F(RingTest, MalformedBlocksAreRefusedWithTheirTexts) {
  ASSERT_THAT(SendFilled(4000, 9), IsOk());
  EXPECT_EQ(ReceiveExpect(4000, 9), "");
  uint32_t* q = Queue();
  const uint32_t at = q[3];  // 4048; the ring holds 8128 bytes
  struct Case {
    uint32_t magic, size, offset, length;
    uint32_t published;  // write index the peer publishes
    uint32_t readIndex;  // the slave's read index, as the peer leaves it
    const char* text;
  };
  const Case cases[] = {
      {0x12345678, 64, 48, 0, at + 64, at, "Block with bad id 0x12345678 received"},
      {0x1ADAB10C, 64, 40, 0, at + 64, at, "Block with bad data offset 40 received"},
      {0x1ADAB10C, 64, 48, 20, at + 64, at, "Block with bad size (64 < 48+20) received"},
      {0x1ADAB10C, 48 + 4004, 48, 4001, 0, at, "Block with invalid content len 4001 received"},
      {0x1ADAB10C, 4084, 48, 0, 0, at,
       "Block at 4048 with size 4084 runs past the ring (size 8128, write index 0)"},
      {0x1ADAB10C, 1000, 48, 0, at + 64, at,
       "Block at 4048 with size 1000 runs past the ring (size 8128, write index 4112)"},
      {0x1ADAB10C, 64, 48, 0, at + 16, at,
       "Block at 4048 with size 48 runs past the ring (size 8128, write index 4064)"},
      // A wrap marker with nothing written at the start would send the reader round forever.
      {0x7FFFFFFF, 64, 48, 0, at + 64, at,
       "Wrap marker at 4048 received while the write index is 4112"},
      {0x7FFFFFFF, 64, 48, 0, 8, 0, "Wrap marker at 0 received while the write index is 8"},
      {0x1ADAB10C, 64, 48, 0, at + 64, at + 2,
       "Bad ring index (write 4112, read 4050) in the read queue"},
  };
  for (const Case& c : cases) {
    uint32_t* b = q + 16 + c.readIndex / 4;
    b[0] = c.magic, b[1] = c.size, b[2] = c.offset, b[6] = c.length;
    q[4] = c.readIndex;
    q[3] = c.published;
    MessageBlock received;
    Result res = M_Slave.Receive(&received);
    EXPECT_EQ(res.Category(), util::ErrIntern);
    EXPECT_EQ(res.ErrorText(), c.text);
    q[3] = q[4] = at;
  }
}

}  // namespace
}  // namespace velmora::xel
