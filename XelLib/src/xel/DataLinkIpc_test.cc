// Tests of the shared-memory data link: ring rules, header checks, transfer between
// processes and detection of a dead peer.
#include "xel/DataLinkIpc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "ResultMatchers.h"
#include "osal/Logon.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "xel/MessageBlock.h"

namespace velmora::xel {
namespace {

using util::IsOk;
using util::Ref;
using util::Result;
using velmora::testing::ChildProcess;
using velmora::testing::ChildSay;

constexpr uint32_t kBufferSize = 40960;
constexpr uint32_t kReadyEvent = 7;

std::string UniqueLinkName(const char* tag) {
  static std::atomic<int> counter{0};
  return std::string("lt") + tag + std::to_string(osal::CurrentProcessId()) + "_" +
         std::to_string(++counter);
}

// The link's objects that can still be opened by name ("" when none can).
std::string OpenableObjects(const std::string& linkName) {
  std::string found;
  for (const char* suffix : {"Mem", "MutexM", "MutexS", "EventM", "EventS"}) {
    const std::string name = DataLinkIpc::ObjectName(linkName, suffix);
    osal::SharedMemory memory;
    osal::NamedMutex mutex;
    osal::NamedEvent event;
    const bool bOpened = suffix[0] == 'M' && suffix[1] == 'e'     ? memory.Open(name).ok()
                         : std::string(suffix).find("Mutex") == 0 ? mutex.Open(name).ok()
                                                                  : event.Open(name).ok();
    if (bOpened) found += std::string(found.empty() ? "" : " ") + suffix;
  }
  return found;
}

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

// Empty when the block is what Fill(length, seed) made, else what differs.
std::string Mismatch(const MessageBlock* p, uint32_t length, uint32_t seed) {
  MessageBlock expected;
  Fill(&expected, length, seed);
  if (p->M_Length != length) return "length " + std::to_string(p->M_Length);
  if (p->M_Channel != expected.M_Channel || p->M_Flags != expected.M_Flags ||
      p->M_S != expected.M_S || p->M_A != expected.M_A || p->M_TraceTag != expected.M_TraceTag ||
      p->M_Event != 0) {
    return "header fields";
  }
  if (std::memcmp(p->M_Content, expected.M_Content, length) != 0) return "content";
  return "";
}

// Collects the blocks a link hands to its dispatch function.
class Inbox {
 public:
  void Put(MessageBlock* p) {
    std::lock_guard<std::mutex> lock(M_Mutex);
    M_Blocks.push_back(p);
    M_Cond.notify_one();
  }
  MessageBlock* Take(int timeoutMs) {
    std::unique_lock<std::mutex> lock(M_Mutex);
    if (!M_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return !M_Blocks.empty(); })) {
      return nullptr;
    }
    MessageBlock* p = M_Blocks.front();
    M_Blocks.pop_front();
    return p;
  }
  ~Inbox() {
    for (MessageBlock* p : M_Blocks) MessageBlock::Free(p);
  }

 private:
  std::mutex M_Mutex;
  std::condition_variable M_Cond;
  std::deque<MessageBlock*> M_Blocks;
};

// Gives the tests the transport operations without the worker threads.
class RawLink : public DataLinkIpc {
 public:
  using DataLinkIpc::ConnectLink;
  using DataLinkIpc::InterruptWaits;
  using DataLinkIpc::Receive;
  using DataLinkIpc::Send;
};

Ref<DataLinkIpc> NewLink() { return Ref<DataLinkIpc>::Adopt(new DataLinkIpc()); }

Result SendReady(DataLinkIpc* pLink) {
  MessageBlock* p = MessageBlock::Allocate();
  p->M_Event = kReadyEvent;
  Result res = pLink->QueueBlock(p);
  if (res.IsError()) MessageBlock::Free(p);
  return res;
}

// Child: slave that sends every received block straight back, until the master goes.
XEL_CHILD_MODE(link_echo_slave) {
  Ref<DataLinkIpc> link = NewLink();
  DataLinkIpc* pLink = link.get();
  link->SetDispatch([pLink](uint32_t, MessageBlock* p) {
    if (pLink->QueueBlock(p).IsError()) MessageBlock::Free(p);
  });
  if (link->Connect(args.at(0), false, 5000, kBufferSize, kBufferSize).IsError()) return 2;
  if (SendReady(pLink).IsError()) return 3;
  const bool bDown = link->WaitForLinkDown(30000);
  link->Close();
  return bDown ? 0 : 4;
}

// Child: master or slave that connects, says so and waits to be killed.
XEL_CHILD_MODE(link_hold) {
  const bool bMaster = args.at(1) == "master";
  Ref<DataLinkIpc> link = NewLink();
  if (link->Connect(args.at(0), bMaster, bMaster ? 0 : 5000, kBufferSize, kBufferSize).IsError()) {
    return 2;
  }
  ChildSay("ready");
  velmora::testing::ChildWaitToBeKilled();
}

TEST(DataLinkIpcCrossProcess, BlocksOfEverySizeTravelBothWaysWithContentAndOrder) {
  const std::string name = UniqueLinkName("echo");
  Inbox inbox;
  Ref<DataLinkIpc> link = NewLink();
  link->SetDispatch([&inbox](uint32_t, MessageBlock* p) { inbox.Put(p); });
  ASSERT_THAT(link->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
  ChildProcess child;
  ASSERT_TRUE(child.Start("link_echo_slave", {name}));

  MessageBlock* pReady = inbox.Take(10000);
  ASSERT_NE(pReady, nullptr) << "the slave did not connect";
  EXPECT_EQ(pReady->M_Event, kReadyEvent);
  EXPECT_EQ(pReady->M_hLink, link->GetHandle());
  MessageBlock::Free(pReady);

  // Every size from 0 to 4000: the rings wrap many times at every alignment.
  constexpr uint32_t kSizes = MessageBlock::BlockSize + 1;
  for (uint32_t len = 0; len < kSizes; ++len) {
    MessageBlock* p = MessageBlock::Allocate();
    Fill(p, len, len);
    ASSERT_THAT(link->QueueBlock(p), IsOk());
  }
  for (uint32_t len = 0; len < kSizes; ++len) {
    MessageBlock* p = inbox.Take(10000);
    ASSERT_NE(p, nullptr) << "echo of block " << len << " missing";
    const std::string diff = Mismatch(p, len, len);
    MessageBlock::Free(p);
    ASSERT_EQ(diff, "") << "block " << len;
  }

  link->Close();
  int status = 0;
  ASSERT_TRUE(child.Wait(5000, &status)) << "the slave did not notice the close";
  EXPECT_EQ(status, 0);
}

TEST(DataLinkIpcCrossProcess, SlaveReportsKilledMasterWithinTwoSeconds) {
  const std::string name = UniqueLinkName("km");
  ChildProcess child;
  ASSERT_TRUE(child.Start("link_hold", {name, "master"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "ready");
  Ref<DataLinkIpc> link = NewLink();
  ASSERT_THAT(link->Connect(name, false, 0, kBufferSize, kBufferSize), IsOk());
  EXPECT_FALSE(link->WaitForLinkDown(0));

  child.Kill();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(link->WaitForLinkDown(2000));
  const auto noticed = std::chrono::steady_clock::now();
  EXPECT_LT(noticed - start, std::chrono::milliseconds(2000));
  // The dead master's objects go with the slave that noticed (POSIX removes the names at
  // once, Windows with the last handle): nothing is left for the next master to trip on.
  link->Close();
  EXPECT_EQ(OpenableObjects(name), "");
  EXPECT_LT(std::chrono::steady_clock::now() - noticed, std::chrono::milliseconds(1000));
}

TEST(DataLinkIpcCrossProcess, NextMasterTakesOverTheNamesOfAKilledOne) {
  const std::string name = UniqueLinkName("take");
  ChildProcess child;
  ASSERT_TRUE(child.Start("link_hold", {name, "master"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "ready");
  Ref<DataLinkIpc> second = NewLink();
  EXPECT_EQ(second->Connect(name, true, 0, kBufferSize, kBufferSize).Category(), util::ErrObjExist)
      << "a live master's link must stay its own";
  second->Close();

  child.Kill();
  int status = 0;
  ASSERT_TRUE(child.Wait(5000, &status));
  Ref<DataLinkIpc> master = NewLink();
  ASSERT_THAT(master->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
  Ref<DataLinkIpc> slave = NewLink();
  EXPECT_THAT(slave->Connect(name, false, 0, kBufferSize, kBufferSize), IsOk());
  slave->Close();
  master->Close();
  EXPECT_EQ(OpenableObjects(name), "");
}

TEST(DataLinkIpcCrossProcess, MasterReportsKilledSlaveWithinTwoSeconds) {
  const std::string name = UniqueLinkName("ks");
  Ref<DataLinkIpc> link = NewLink();
  ASSERT_THAT(link->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
  ChildProcess child;
  ASSERT_TRUE(child.Start("link_hold", {name, "slave"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "ready");
  EXPECT_FALSE(link->WaitForLinkDown(0));

  child.Kill();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(link->WaitForLinkDown(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  link->Close();
}

TEST(DataLinkIpcConnect, SecondSlaveIsRefused) {
  const std::string name = UniqueLinkName("two");
  Ref<DataLinkIpc> master = NewLink();
  ASSERT_THAT(master->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
  Ref<DataLinkIpc> slave = NewLink();
  ASSERT_THAT(slave->Connect(name, false, 0, kBufferSize, kBufferSize), IsOk());

  Result second;
  std::thread([&] {
    Ref<DataLinkIpc> other = NewLink();
    second = other->Connect(name, false, 0, kBufferSize, kBufferSize);
    other->Close();
  }).join();
  EXPECT_EQ(second.Category(), util::ErrObjSharing);
  EXPECT_EQ(second.ErrorText(),
            "DataLinkIpc::ConnectAsSlave Failed to own mutex - another slave is connected");
  EXPECT_TRUE(slave->IsConnected());

  // The first slave's close reaches the master promptly (state 512, mutex released).
  slave->Close();
  EXPECT_TRUE(master->WaitForLinkDown(2000));
  master->Close();
}

TEST(DataLinkIpcConnect, BlocksQueuedBeforeCloseStillArriveAndTheDownHandlerRunsOnce) {
  const std::string name = UniqueLinkName("flush");
  Ref<DataLinkIpc> master = NewLink();
  ASSERT_THAT(master->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
  Inbox inbox;
  std::atomic<int> downCalls{0};
  Ref<DataLinkIpc> slave = NewLink();
  slave->SetDispatch([&inbox](uint32_t, MessageBlock* p) { inbox.Put(p); });
  slave->SetDownHandler([&downCalls](DataLink*) { ++downCalls; });
  ASSERT_THAT(slave->Connect(name, false, 0, kBufferSize, kBufferSize), IsOk());
  const uint32_t hMaster = master->GetHandle();
  EXPECT_EQ(util::HandleObject::Lookup<DataLinkIpc>(hMaster).get(), master.get());

  constexpr uint32_t kCount = 200;  // far more than the ring holds
  for (uint32_t i = 0; i < kCount; ++i) {
    MessageBlock* p = MessageBlock::Allocate();
    Fill(p, 4000, i);
    ASSERT_THAT(master->QueueBlock(p), IsOk());
  }
  master->Close();
  EXPECT_FALSE(util::HandleObject::Lookup<DataLinkIpc>(hMaster).HasObject());
  MessageBlock* pLate = MessageBlock::Allocate();
  EXPECT_EQ(master->QueueBlock(pLate).Category(), util::ErrObjLost);
  MessageBlock::Free(pLate);

  for (uint32_t i = 0; i < kCount; ++i) {
    MessageBlock* p = inbox.Take(5000);
    ASSERT_NE(p, nullptr) << "block " << i << " lost in the close";
    EXPECT_EQ(Mismatch(p, 4000, i), "") << i;
    MessageBlock::Free(p);
  }
  EXPECT_TRUE(slave->WaitForLinkDown(2000));
  slave->Close();
  EXPECT_EQ(downCalls.load(), 1);
  EXPECT_EQ(slave->State(), DataLink::LinkState_Down);
}

TEST(DataLinkIpcConnect, SlaveWithoutMasterFailsAfterItsTimeOut) {
  Ref<DataLinkIpc> slave = NewLink();
  const auto start = std::chrono::steady_clock::now();
  Result res = slave->Connect(UniqueLinkName("none"), false, 300, kBufferSize, kBufferSize);
  EXPECT_EQ(res.Category(), util::ErrObjNotExist) << res.Text();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(slave->State(), DataLink::LinkState_Down);
  // A link is connected once; a failed one stays down.
  EXPECT_EQ(slave->Connect("x", false, 0, kBufferSize, kBufferSize).Category(),
            util::ErrLogicState);
  slave->Close();
}

TEST(DataLinkIpcConnect, SlaveRefusesALinkThatEveryAccountMayWrite) {
  for (bool bAny : {false, true}) {
    const std::string name = UniqueLinkName("acl");
    Ref<DataLinkIpc> master = NewLink();
    osal::ObjectAccess access;
    access.M_bAnyAccount = bAny;
    master->SetObjectAccess(access);
    ASSERT_THAT(master->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
    Ref<DataLinkIpc> slave = NewLink();
    Result res = slave->Connect(name, false, 0, kBufferSize, kBufferSize);
    slave->Close();
    master->Close();
    if (bAny) {
      EXPECT_EQ(res.Category(), util::ErrPermission);
      EXPECT_EQ(res.ErrorText(), "IPC Buffer: " + DataLinkIpc::ObjectName(name, "Mem") +
                                     " may be written by any account - link refused");
    } else {
      EXPECT_THAT(res, IsOk());
    }
  }
}

TEST(DataLinkIpcConnect, AnotherAccountReachesTheLinkOnlyThroughItsGroup) {
  // An account that exists on every Linux system and owns nothing here.
  osal::LogonToken other;
  const osal::Status resolved = other.Resolve("nobody");
  if (!resolved.ok()) {
    GTEST_SKIP() << "no token for another account without a logon here (" << resolved.Text()
                 << "); Windows needs a password, and wine does not enforce access lists";
  }
  for (bool bGroup : {false, true}) {
    SCOPED_TRACE(bGroup ? "with the account's group" : "owner only");
    const std::string name = UniqueLinkName("acc");
    Ref<DataLinkIpc> master = NewLink();
    osal::ObjectAccess access;
    if (bGroup) access.M_Group = std::to_string(other.Gid());
    master->SetObjectAccess(access);
    ASSERT_THAT(master->Connect(name, true, 0, kBufferSize, kBufferSize), IsOk());
    Result res;
    std::string openable = "-";
    std::thread([&] {
      osal::ScopedImpersonation as(other);
      if (!as.status().ok()) {
        res = Result::Fail(util::ErrPermission, "cannot impersonate (%s)",
                           as.status().Text().c_str());
        return;
      }
      openable = OpenableObjects(name);
      Ref<DataLinkIpc> slave = NewLink();
      res = slave->Connect(name, false, 0, kBufferSize, kBufferSize);
      slave->Close();
    }).join();
    master->Close();
    if (res.ErrorText().rfind("cannot impersonate", 0) == 0) GTEST_SKIP() << res.ErrorText();
    if (bGroup) {
      EXPECT_THAT(res, IsOk());
      EXPECT_EQ(openable, "Mem MutexM MutexS EventM EventS");
    } else {
      EXPECT_EQ(res.Category(), util::ErrPermission) << res.Text();
      EXPECT_EQ(openable, "") << "another account could open these while the link was up";
    }
  }
}

// Builds the named objects of a link by hand, to show the slave a header of our making.
class HandMadeLink {
 public:
  explicit HandMadeLink(const std::string& name) : M_Name(name) {
    EXPECT_TRUE(M_Memory.Create(DataLinkIpc::ObjectName(name, "Mem"), 4096).ok());
    EXPECT_TRUE(M_MutexM.Create(DataLinkIpc::ObjectName(name, "MutexM"), true).ok());
    EXPECT_TRUE(M_MutexS.Create(DataLinkIpc::ObjectName(name, "MutexS"), false).ok());
    EXPECT_TRUE(M_EventM.Create(DataLinkIpc::ObjectName(name, "EventM"), false).ok());
    EXPECT_TRUE(M_EventS.Create(DataLinkIpc::ObjectName(name, "EventS"), false).ok());
  }
  uint32_t* words() { return static_cast<uint32_t*>(M_Memory.data()); }
  Result ConnectSlave() {
    Ref<DataLinkIpc> slave = NewLink();
    Result res = slave->Connect(M_Name, false, 0, kBufferSize, kBufferSize);
    slave->Close();
    return res;
  }

 private:
  std::string M_Name;
  osal::SharedMemory M_Memory;
  osal::NamedMutex M_MutexM;
  osal::NamedMutex M_MutexS;
  osal::NamedEvent M_EventM;
  osal::NamedEvent M_EventS;
};

TEST(DataLinkIpcConnect, SlaveChecksTheHeaderInOrder) {
  HandMadeLink made(UniqueLinkName("hdr"));
  uint32_t* w = made.words();
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
    Result res = made.ConnectSlave();
    EXPECT_EQ(res.Category(), c.category) << res.Text();
    EXPECT_EQ(res.ErrorText(), c.text);
  }
  // With the slave's queue free again the same header is accepted.
  w[1024 / 4 + 1] = 0;
  EXPECT_THAT(made.ConnectSlave(), IsOk());
}

// A master and a slave in this process, driven by hand without worker threads.
class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    M_Name = UniqueLinkName("ring");
    ASSERT_THAT(M_Master.ConnectLink(M_Name, true, 8128, 8128), IsOk());
    ASSERT_THAT(M_Slave.ConnectLink(M_Name, false, 0, 0), IsOk());
    ASSERT_TRUE(M_Memory.Open(DataLinkIpc::ObjectName(M_Name, "Mem")).ok());
  }
  // Partition 1: the master's write queue, read by the slave.
  uint32_t* MasterQueue() {
    return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(M_Memory.data()) + 1024 + 8128 + 64);
  }
  Result SendFilled(uint32_t length, uint32_t seed) {
    MessageBlock block;
    Fill(&block, length, seed);
    return M_Master.Send(&block);
  }
  std::string ReceiveExpect(uint32_t length, uint32_t seed) {
    MessageBlock block;
    Result res = M_Slave.Receive(&block);
    if (res.IsError()) return res.Text();
    return Mismatch(&block, length, seed);
  }

  std::string M_Name;
  RawLink M_Master;
  RawLink M_Slave;
  osal::SharedMemory M_Memory;
};

TEST_F(RingTest, BlockThatWouldFillTheRingWaitsThenWrapsToTheStart) {
  // 2048-byte blocks in an 8128-byte ring: three fit; the fourth would end exactly at
  // the read index after wrapping, which would make a full ring look empty.
  ASSERT_THAT(SendFilled(2000, 1), IsOk());
  ASSERT_THAT(SendFilled(2000, 2), IsOk());
  ASSERT_EQ(ReceiveExpect(2000, 1), "");
  ASSERT_THAT(SendFilled(2000, 3), IsOk());
  EXPECT_EQ(MasterQueue()[3], 6144u);

  std::atomic<bool> bSent{false};
  std::thread writer([&] {
    EXPECT_THAT(SendFilled(2000, 4), IsOk());
    bSent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(bSent.load());
  EXPECT_EQ(MasterQueue()[5], 1u) << "writer-waiting flag";

  EXPECT_EQ(ReceiveExpect(2000, 2), "");  // frees the start; wakes the writer
  writer.join();
  EXPECT_EQ(MasterQueue()[3], 2048u) << "the fourth block went to the start";
  EXPECT_EQ(MasterQueue()[5], 0u);
  EXPECT_EQ(ReceiveExpect(2000, 3), "");
  EXPECT_EQ(ReceiveExpect(2000, 4), "");  // across the wrap marker
}

TEST_F(RingTest, MalformedBlocksAreRefusedWithTheirTexts) {
  ASSERT_THAT(SendFilled(4000, 9), IsOk());
  EXPECT_EQ(ReceiveExpect(4000, 9), "");
  uint32_t* q = MasterQueue();
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

TEST_F(RingTest, SendWithoutPeerAndAfterItsCloseFails) {
  RawLink lone;
  const std::string name = UniqueLinkName("lone");
  ASSERT_THAT(lone.ConnectLink(name, true, kBufferSize, kBufferSize), IsOk());
  MessageBlock block;
  Fill(&block, 10, 1);
  Result res = lone.Send(&block);
  EXPECT_EQ(res.Category(), util::ErrObjLost);
  EXPECT_EQ(res.ErrorText(), "Remote side is not connected (state=0)");

  // A closed slave: the master's receive learns it at once, its send is refused.
  M_Slave.Close();
  MessageBlock received;
  const auto start = std::chrono::steady_clock::now();
  res = M_Master.Receive(&received);
  EXPECT_EQ(res.ErrorText(), "Process has been shutdown");
  EXPECT_EQ(res.Category(), util::ErrStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(M_Master.Send(&block).ErrorText(), "Remote side is not connected (state=512)");
}

TEST_F(RingTest, InterruptEndsBlockedReceive) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    M_Slave.InterruptWaits();
  });
  MessageBlock received;
  Result res = M_Slave.Receive(&received);
  stopper.join();
  EXPECT_EQ(res.ErrorText(), "Shutdown requested");
  EXPECT_EQ(res.Category(), util::ErrStopPending);
  // The slave's write queue (partition 0) is marked as closed for the master.
  EXPECT_EQ(reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(M_Memory.data()) + 1024)[1], 512u);
}

}  // namespace
}  // namespace velmora::xel
