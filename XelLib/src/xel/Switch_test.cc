// Tests of conversations over a shared-memory link pair in one process: the switch, end
// points, point-to-point connections and server threads.
#include "xel/Switch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "ResultMatchers.h"
#include "osal/SharedMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"
#include "util/Trace.h"
#include "xel/ConnectionPtp.h"
#include "xel/DataLinkIpc.h"
#include "xel/EndPoint.h"
#include "xel/Message.h"
#include "xel/ServerThread.h"

namespace velmora::xel {

// Declared here only: lowers the bound of unread bytes in all conversations (0 restores it).
void SetQueuedBytesAllLimitForTesting(int64_t limit);

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using util::Ref;
using util::Result;
using util::testing_matchers::HasCategory;
using util::testing_matchers::HasText;
using util::testing_matchers::IsOk;

constexpr uint32_t kBufferSize = 40960;

std::string ContentOf(Message* m) {
  EXPECT_THAT(m->FetchAll(), IsOk());
  std::string s(static_cast<size_t>(m->Size()), '\0');
  EXPECT_TRUE(s.empty() || m->ReadExact(0, s.data(), static_cast<int32_t>(s.size())).IsSuccess());
  return s;
}

Result SendText(Connection* conn, const std::string& content) {
  Ref<Message> m = Ref<Message>::Adopt(new Message());
  EXPECT_THAT(m->Append(content.data(), static_cast<int32_t>(content.size())), IsOk());
  return m->TxAllToConnection(conn, 10000);
}

MessageBlock* Block(uint32_t flags, uint32_t channel = 0, uint32_t length = 0) {
  MessageBlock* p = MessageBlock::Allocate();
  p->M_Flags = flags;
  p->M_Channel = channel;
  p->M_Length = length;
  return p;
}

// The next whole message on conn, or the receive's failure as "<text>".
std::string ReceiveText(Connection* conn, uint32_t timeoutMs = 5000) {
  Ref<Message> m = Ref<Message>::Adopt(new Message());
  Result r = m->RxNextMessage(conn, timeoutMs);
  return r.IsSuccess() ? ContentOf(m.get()) : "<" + r.Text(4) + ">";
}

// A connected master/slave link pair in this process; server threads serve the
// conversations that either side opens.
class LinkPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    M_Name = "sw" + std::to_string(osal::CurrentProcessId()) + "_" + std::to_string(++counter);
    M_BaseBlocks = MessageBlock::LiveBlocks();
    Switch::AttachLink(M_pMaster.get());
    Switch::AttachLink(M_pSlave.get());
    ASSERT_THAT(M_pMaster->Connect(M_Name, true, 0, kBufferSize, kBufferSize), IsOk());
    ASSERT_THAT(M_pSlave->Connect(M_Name, false, 0, kBufferSize, kBufferSize), IsOk());
  }
  void TearDown() override {
    M_pClient.Reset();
    M_pSlave->Close(2000);
    M_pMaster->Close(2000);
    EXPECT_TRUE(ServerThread::WaitAllEnded(5000));
    ServerThread::SetServerFunction(nullptr);
    EXPECT_EQ(Switch::RegisteredEndPoints(), 0);
    EXPECT_EQ(MessageBlock::LiveBlocks(), M_BaseBlocks);
    osal::RemoveLeftoverNamedObjects(std::string(DataLinkIpc::kNamePrefix) + "_" + M_Name + "_");
  }
  // A client conversation on the master's side of the pair.
  ConnectionPtp* NewClient() {
    M_pClient = Ref<ConnectionPtp>::Adopt(new ConnectionPtp());
    EXPECT_THAT(M_pClient->Connect(M_pMaster->GetHandle()), IsOk());
    return M_pClient.get();
  }

  std::string M_Name;
  int M_BaseBlocks = 0;
  Ref<DataLinkIpc> M_pMaster = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
  Ref<DataLinkIpc> M_pSlave = Ref<DataLinkIpc>::Adopt(new DataLinkIpc());
  Ref<ConnectionPtp> M_pClient;
};

// Unserved without a server function; else served on the conversation, even when its first
// message comes late, and closed by the server's return.
TEST_F(LinkPairTest, ServerThreadAnswersOnTheConversationThenClosesIt) {
  ASSERT_THAT(SendText(NewClient(), "anyone?"), IsOk());
  EXPECT_THAT(ReceiveText(M_pClient.get()), HasSubstr("Cat=ErrConnLost"));
  util::EnableTraceId(util::Trace_Always, true);
  testing::LogCapture capture(util::LogChannelTrace);
  ConnectionPtp* client = NewClient();
  const uint32_t channel = client->Channel();
  ServerThread::SetServerFunction([&](Connection* conn, Message* request) {
    auto* ptp = dynamic_cast<ConnectionPtp*>(conn);
    EXPECT_TRUE(ptp && ptp->Channel() == (channel ^ 1u) && ptp->Link() == M_pSlave->GetHandle());
    EXPECT_THAT(SendText(conn, "echo:" + ContentOf(request)), IsOk());
    EXPECT_TRUE(conn->IsMessageSent());
  });
  EXPECT_EQ(channel & 0x80000001u, 0x80000000u);
  EXPECT_EQ(client->EpState(), EndPoint::EpState_Connecting);
  // Opened with an empty block that begins no message; the request follows after a while.
  ASSERT_THAT(client->Send(MessageBlock::Allocate(), 1000), IsOk());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A request of three blocks: the rest is fetched while the server reads it.
  const std::string request(9000, 'q');
  ASSERT_THAT(SendText(client, request), IsOk());
  EXPECT_EQ(client->EpState(), EndPoint::EpState_Connected);
  // A receive that stops at a new message leaves the answer queued.
  MessageBlock* b = nullptr;
  for (int i = 0; i < 500 && client->QueuedBlocks() < 1; ++i) osal::SleepMs(5);
  EXPECT_THAT(client->Receive(0, true, &b), HasCategory(util::ErrCancelled));
  EXPECT_EQ(ReceiveText(client), "echo:" + request);
  EXPECT_EQ(capture.Matching("Retry with 5s timeout!").size(), 1u);
  // The server's return closed the conversation: the close block arrives, then the loss.
  EXPECT_THAT(ReceiveText(client), HasSubstr("Cat=ErrConnLost"));
  EXPECT_FALSE(client->IsConnected());
  EXPECT_EQ(client->QueuedBlocks(), 0);
  EXPECT_THAT(SendText(client, "late"), HasCategory(util::ErrConnLost));
}

TEST_F(LinkPairTest, LinkDownEndsWaitingReceiversOnBothSides) {
  // One conversation waits on each link; the slave's link is then closed.
  auto onSlave = Ref<ConnectionPtp>::Adopt(new ConnectionPtp());
  ASSERT_THAT(onSlave->Connect(M_pSlave->GetHandle()), IsOk());
  ConnectionPtp* onMaster = NewClient();
  auto wait = [](ConnectionPtp* c) {
    MessageBlock* b = nullptr;
    EXPECT_THAT(c->Receive(20000, false, &b), HasCategory(util::ErrConnLost));
    MessageBlock::Free(b);
  };
  std::thread t1(wait, onSlave.get()), t2(wait, onMaster);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  M_pSlave->Close(2000);
  t1.join();
  t2.join();
  // Well inside the 20 s receive: the link's down notice ends the waits.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// With every thread busy and the waiting line full, one more conversation is refused and
// closed at once: its peer learns it without waiting for an answer that never comes.
TEST_F(LinkPairTest, AConversationBeyondTheBoundIsClosedAtOnce) {
  osal::Event release(true, false);
  std::atomic<int> served{0};
  ServerThread::SetServerFunction([&](Connection*, Message*) {
    ++served;
    (void)release.Wait(60000);
  });
  // Whatever the outcome, the served ones are let go and ended before the event goes.
  struct Release {
    osal::Event* pEvent;
    ~Release() {
      pEvent->Set();
      EXPECT_TRUE(ServerThread::WaitAllEnded(20000));
    }
  } const releaseAtEnd{&release};
  std::vector<Ref<ConnectionPtp>> clients;
  for (int i = 0; i < Switch::kMaxServerThreads + Switch::kMaxWaitingConversations; ++i) {
    clients.push_back(Ref<ConnectionPtp>::Adopt(new ConnectionPtp()));
    ASSERT_THAT(clients.back()->Connect(M_pMaster->GetHandle()), IsOk());
    ASSERT_THAT(SendText(clients.back().get(), "wait"), IsOk());
  }
  const int bound = Switch::kMaxServerThreads + Switch::kMaxWaitingConversations;
  const auto full = [&] {
    return served == Switch::kMaxServerThreads && ServerThread::LiveCount() == bound;
  };
  for (int i = 0; i < 1000 && !full(); ++i) osal::SleepMs(10);
  ASSERT_TRUE(full()) << served << " served, " << ServerThread::LiveCount() << " live";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(ReceiveText(NewClient(), 0), HasSubstr("Cat=ErrTimeout"));
  ASSERT_THAT(SendText(M_pClient.get(), "one too many"), IsOk());
  EXPECT_THAT(ReceiveText(M_pClient.get(), 10000), HasSubstr("Cat=ErrConnLost"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Peers that send far more than their readers take: a conversation is refused once a whole
// message of the largest size waits unread in it, or once its block would take the unread
// blocks of all conversations beyond their bound (lowered here); the blocks that follow are
// dropped, the other conversations keep theirs, and the memory comes back. The second case
// runs twice, so that bytes read or dropped in the first round are seen to have left the
// count.
TEST(DefaultEndPoint, PeersFarAheadOfTheirReadersHaveTheConversationRefused) {
  util::EnableTraceId(util::General_Warning, true);
  struct Case {
    int64_t limitAll;          // 0: the default
    std::vector<int64_t> sent;  // blocks after the first one, per conversation in order
    std::vector<int> taken;     // blocks the readers find afterwards, sorted
    bool bAll;                  // refused by the bound of all conversations
    size_t dropped;             // blocks that came after the refusal
  };
  const int64_t own = ConnectionPtp::kMaxQueuedBytes / MessageBlock::BlockSize + 10;
  const int64_t limit = 10 * MessageBlock::BlockSize;  // 6 + 4 blocks, the first ones aside
  const Case cases[] = {{0, {own - 1}, {0}, false, 8},
                        {limit, {6, 10}, {0, 6}, true, 5},
                        {limit, {6, 10}, {0, 6}, true, 5}};
  uint32_t channel = 0x24680;
  for (const Case& c : cases) {
    const int base = MessageBlock::LiveBlocks();
    testing::LogCapture capture(util::LogChannelTrace);
    SetQueuedBytesAllLimitForTesting(c.limitAll);
    osal::Event release(true, false);
    std::atomic<int> entered{0};
    std::mutex mutex;
    std::vector<int> taken;
    ServerThread::SetServerFunction([&](Connection* pConn, Message*) {
      ++entered;
      (void)release.Wait(60000);
      MessageBlock* p = nullptr;
      int n = 0;
      for (; pConn->Receive(0, false, &p).IsSuccess(); ++n) MessageBlock::Free(p);
      std::lock_guard<std::mutex> lock(mutex);
      taken.push_back(n);
    });
    const uint32_t hLink = 0x5A5A;  // no link behind it: the refusal's close goes nowhere
    for (size_t k = 0; k < c.sent.size(); ++k, channel += 2) {
      Switch::Dispatch(hLink, Block(Flag_BegConnection | Flag_BegMessage, channel,
                                    MessageBlock::BlockSize));
      // The server holds the first block before the others come.
      for (int i = 0; i < 1000 && entered.load() == static_cast<int>(k); ++i) osal::SleepMs(10);
      ASSERT_EQ(entered.load(), static_cast<int>(k) + 1);
      for (int64_t i = 0; i < c.sent[k]; ++i) {
        Switch::Dispatch(hLink, Block(0, channel, MessageBlock::BlockSize));
      }
    }
    release.Set();
    ASSERT_TRUE(ServerThread::WaitAllEnded(10000));
    ServerThread::SetServerFunction(nullptr);
    SetQueuedBytesAllLimitForTesting(0);
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(taken, c.taken) << "the refused conversation's blocks were kept, or others lost";
    EXPECT_EQ(capture.Matching("refused: more than").size(), 1u);
    EXPECT_EQ(capture.Matching("in all conversations").size(), c.bAll ? 1u : 0u);
    EXPECT_EQ(capture.Matching("BegConnection Flag is not set").size(), c.dropped);
    EXPECT_EQ(MessageBlock::LiveBlocks(), base);
  }
}

// All threads busy and the waiting line full: conversations in the line that their peer has
// closed with nothing to serve make room for a new one; those that hold a request stay.
TEST(DefaultEndPoint, ClosedWaitingConversationsMakeRoomForNewOnes) {
  util::EnableTraceId(util::General_Error, true);
  const int base = MessageBlock::LiveBlocks();
  testing::LogCapture capture(util::LogChannelTrace);
  osal::Event release(true, false);
  std::atomic<int> served{0};
  ServerThread::SetServerFunction([&](Connection*, Message*) {
    ++served;
    (void)release.Wait(60000);
  });
  const uint32_t hLink = 0x5A5B;  // no link behind it: answers and closes go nowhere
  uint32_t channel = 0x13570;
  const auto open = [&](uint32_t length) {
    channel += 2;
    const uint32_t message = length ? Flag_BegMessage | Flag_EndMessage : 0;
    Switch::Dispatch(hLink, Block(Flag_BegConnection | message, channel, length));
    return channel;
  };
  for (int i = 0; i < Switch::kMaxServerThreads; ++i) (void)open(10);
  for (int i = 0; i < 500 && served < Switch::kMaxServerThreads; ++i) osal::SleepMs(10);
  ASSERT_EQ(served.load(), Switch::kMaxServerThreads);
  // The line fills with conversations opened empty and with requests; the peer closes all.
  std::vector<uint32_t> waiting;
  for (int i = 0; i < Switch::kMaxWaitingConversations; ++i) {
    waiting.push_back(open(i % 2 ? 10 : 0));
  }
  for (uint32_t c : waiting) Switch::Dispatch(hLink, Block(Flag_EndConnection, c));
  const uint32_t late = open(10);
  EXPECT_TRUE(capture.Matching("cant start Thread").empty()) << "refused " << std::hex << late;
  release.Set();
  ASSERT_TRUE(ServerThread::WaitAllEnded(20000));
  ServerThread::SetServerFunction(nullptr);
  // The busy ones, the closed requests and the late one were served; the empty ones dropped.
  EXPECT_EQ(served.load(), Switch::kMaxServerThreads + Switch::kMaxWaitingConversations / 2 + 1);
  EXPECT_EQ(Switch::RegisteredEndPoints(), 0);
  EXPECT_EQ(MessageBlock::LiveBlocks(), base);
}

TEST(EndPointTable, KeysChannelsErrorsAndDroppedBlocks) {
  const uint32_t c1 = EndPoint::NewClientChannel(), c2 = EndPoint::NewClientChannel();
  EXPECT_GE(c1, 0x80000002u);
  EXPECT_EQ(c2 - c1, 2u);
  EndPoint a, b, c;
  EXPECT_THAT(a.EpConnect(0, 7, EndPoint::EpState_Connected),
              AllOf(HasText("EpInternalConnect"), HasCategory(util::ErrIntern)));
  const int before = Switch::RegisteredEndPoints();
  ASSERT_THAT(a.EpConnect(0x55, 7, EndPoint::EpState_Connected), IsOk());
  EXPECT_THAT(b.EpConnect(0x55, 7, EndPoint::EpState_Connected),
              AllOf(HasCategory(util::ErrObjExist), HasText("is already connected to 55/7")));
  // Same bucket (channel + link equal), different key: both live in one chain.
  EXPECT_EQ(Switch::BucketOf(8, 0x54), Switch::BucketOf(7, 0x55));
  ASSERT_THAT(b.EpConnect(0x54, 8, EndPoint::EpState_Connected), IsOk());
  ASSERT_THAT(c.EpConnect(0x55 + Switch::kBuckets, 7, EndPoint::EpState_Connecting), IsOk());
  EXPECT_EQ(Switch::RegisteredEndPoints(), before + 3);
  // The link handle resolves to nothing: the block is refused (and freed, as all below).
  const int blocks = MessageBlock::LiveBlocks();
  EXPECT_THAT(a.Send(MessageBlock::Allocate()), HasCategory(util::ErrObjLost));
  // A block for b is handed to it; an end-of-conversation block ends it.
  Switch::Dispatch(0x54, Block(Flag_EndConnection, 8));
  EXPECT_EQ(b.State(), EndPoint::EpState_Disconnected);
  EXPECT_EQ(b.LastDisconnectReason(), EndPoint::Reason_Remote);
  EXPECT_THAT(b.Send(MessageBlock::Allocate()), HasCategory(util::ErrLogicState));
  Switch::LinkDown(0x55);
  EXPECT_EQ(a.State(), EndPoint::EpState_Disconnected);
  EXPECT_EQ(a.LastDisconnectReason(), EndPoint::Reason_LinkDown);
  EXPECT_EQ(c.State(), EndPoint::EpState_Connecting);
  c.Disconnect();
  EXPECT_EQ(Switch::RegisteredEndPoints(), before);
  // Blocks that reach no end point and open no conversation are dropped with a trace.
  util::EnableTraceId(util::General_OtherXEL_Int, true);
  util::EnableTraceId(util::General_Warning, true);
  const int threads = ServerThread::LiveCount();
  testing::LogCapture capture(util::LogChannelTrace);
  Switch::Dispatch(0x4711, Block(Flag_EndConnection, 0x80000123));
  Switch::Dispatch(0x4711, Block(Flag_BegMessage | Flag_EndConnection, 0, 5));
  auto lines = capture.Matching("BegConnection Flag is not set");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(
      lines[0],
      AllOf(StartsWith("{" + std::to_string(util::General_OtherXEL_Int) + " \"Default EndPoint\"}"),
            HasSubstr("Flag=0x2, len=0, VirtChan=0x80000123"), HasSubstr("from Link 4711")));
  EXPECT_THAT(lines[1], StartsWith("{" + std::to_string(util::General_Warning) + " "));
  EXPECT_EQ(MessageBlock::LiveBlocks(), blocks);
  EXPECT_EQ(ServerThread::LiveCount(), threads);
}

}  // namespace
}  // namespace velmora::xel
