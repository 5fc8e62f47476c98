// Tests of message blocks and content (positions, limits, sharing, reservations) and framing.
#include "xel/Message.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QueueConnection.h"
#include "xel/Connection.h"

namespace velmora::xel {
namespace {

using testing::QueueConnection;
using util::Result;

std::string Pattern(size_t n, int seed = 0) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return s;
}

std::string ReadAll(Message& m) {
  std::string out(static_cast<size_t>(m.Size()), 0);
  int32_t got = 0;
  EXPECT_TRUE(m.Read(0, out.data(), static_cast<int32_t>(out.size()), &got).IsSuccess());
  out.resize(got);
  return out;
}

TEST(MessageTest, RandomEditsMatchAStringModel) {
  const int live = MessageBlock::LiveBlocks();
  auto m = util::Ref<Message>::Adopt(new Message);
  std::string model;
  std::mt19937 rng(42);
  for (int step = 0; step < 400; ++step) {
    if (rng() % 3 < 2) {
      const size_t pos = rng() % (model.size() + 1);
      const std::string data = Pattern(rng() % 9000, step);
      ASSERT_TRUE(m->Insert(pos, data.data(), static_cast<int32_t>(data.size())).IsSuccess());
      model.insert(pos, data);
    } else if (!model.empty()) {
      const size_t pos = rng() % model.size(), n = rng() % 7000;
      ASSERT_TRUE(m->Delete(pos, n).IsSuccess());
      model.erase(pos, n);
    }
    ASSERT_EQ(m->Size(), static_cast<int64_t>(model.size()));
    if (model.empty()) continue;
    // A read across whatever blocks lie around a random position.
    const size_t pos = rng() % model.size();
    char buf[9000];
    int32_t got = 0;
    ASSERT_TRUE(m->Read(pos, buf, sizeof(buf), &got).IsSuccess());
    ASSERT_EQ(std::string(buf, got), model.substr(pos, sizeof(buf)));
  }
  EXPECT_EQ(ReadAll(*m), model);
  m.Reset();
  EXPECT_EQ(MessageBlock::LiveBlocks(), live);
}

TEST(MessageTest, LimitAndPositionTexts) {
  Message m;
  const std::string d = Pattern(10);
  char buf[20];
  ASSERT_TRUE(m.Append(d.data(), 10).IsSuccess());
  EXPECT_EQ(m.Insert(11, d.data(), 1).Category(), util::ErrLogicArgs);
  // The size limit is checked before any byte is touched.
  const std::pair<Result, const char*> cases[] = {
      {m.Insert(11, d.data(), 1), "Message insert position 11 is not within message size 10"},
      {m.Insert(-1, d.data(), 1), "Bad message insert position -1 or size 1"},
      {m.Insert(0, d.data(), -5), "Bad message insert position 0 or size -5"},
      {m.Insert(4, d.data(), static_cast<int32_t>(Message::kMaxSize - 9)),
       "Maximum internal Buffer Size (1073741824) exceeded during attempt to insert 1073741815 "
       "Bytes at 4."},
      {m.ReadExact(5, buf, 6), "Failed to read 6 bytes from message at position 5"}};
  for (const auto& [r, text] : cases) EXPECT_EQ(r.ErrorText(), text);
  EXPECT_TRUE(m.ReadExact(5, buf, 5).IsSuccess());
}

TEST(MessageTest, CopiesShareContentAndReleasedDataIsRefused) {
  auto m = util::Ref<Message>::Adopt(new Message);
  const std::string d = Pattern(10000);
  ASSERT_TRUE(m->Append(d.data(), 10000).IsSuccess());
  util::Ref<Message> copy = m->Copy();
  EXPECT_TRUE(m->IsMaster());
  EXPECT_FALSE(copy->IsMaster());
  ASSERT_TRUE(m->Append("xyz", 3).IsSuccess());
  EXPECT_EQ(copy->Size(), 10003);
  m.Reset();  // the copy keeps the content alive
  EXPECT_EQ(ReadAll(*copy), d + "xyz");
  copy->ReleaseUpTo(8500);  // frees the blocks wholly before 8500: [0, 8000)
  EXPECT_EQ(copy->ReleasedUpTo(), 8000);
  char buf[4];
  EXPECT_EQ(copy->ReadExact(100, buf, 4).ErrorText(),
            "Cant move to pos 100 because data up to 8000 has been released");
  EXPECT_TRUE(copy->ReadExact(8000, buf, 4).IsSuccess());
  EXPECT_EQ(std::string(buf, 4), d.substr(8000, 4));
}

// Threads free each other's blocks through the pool; a reused block comes back cleared.
TEST(MessageBlockPoolTest, ThreadsAllocateAndFreeEachOthersBlocks) {
  const int live = MessageBlock::LiveBlocks();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<MessageBlock*> mine;
      for (int i = 0; i < 2000; ++i) {
        MessageBlock* b = MessageBlock::Allocate();
        ASSERT_TRUE(b->M_Flags == 0 && b->M_Length == 0 && b->pNext == nullptr);
        b->M_Flags = Flag_BegMessage;
        b->M_Length = 17;
        b->M_Content[0] = static_cast<uint8_t>(t);
        mine.push_back(b);
        if (mine.size() > 50) {
          for (MessageBlock* m : mine) ASSERT_EQ(m->M_Content[0], static_cast<uint8_t>(t));
          for (MessageBlock* m : mine) MessageBlock::Free(m);
          mine.clear();
        }
      }
      for (MessageBlock* m : mine) MessageBlock::Free(m);
    });
  }
  for (auto& th : threads) th.join();
  MessageBlock::Free(nullptr);
  EXPECT_EQ(MessageBlock::LiveBlocks(), live);
}

TEST(MessageReserveTest, DirectAppendsFillBlocksAndEmptyReservationsLeaveNoTrace) {
  util::Ref<Message> m = util::Ref<Message>::Adopt(new Message);
  uint8_t* p = nullptr;
  int32_t avail = 0;
  // Nothing committed on an empty message: still empty, appending works afterwards.
  ASSERT_TRUE(m->ReserveAppend(10, &p, &avail).IsSuccess());
  EXPECT_EQ(avail, 10);
  m->CommitAppend(0);
  EXPECT_EQ(m->Size(), 0);
  ASSERT_TRUE(m->Append("abc", 3).IsSuccess());
  std::string model = "abc";
  // Reservations never cross a block: 3997 bytes, then 4000, then the rest.
  for (int64_t left = 9000; left > 0; left -= avail) {
    ASSERT_TRUE(m->ReserveAppend(static_cast<int32_t>(left), &p, &avail).IsSuccess());
    ASSERT_EQ(avail, std::min<int64_t>(left, MessageBlock::BlockSize - model.size() % 4000));
    for (int32_t i = 0; i < avail; ++i) p[i] = static_cast<uint8_t>('A' + (left + i) % 26);
    model.append(reinterpret_cast<const char*>(p), avail);
    m->CommitAppend(avail);
  }
  // A block linked for a reservation on a full block and then not used is removed again.
  const std::string fill(4000 - model.size() % 4000, 'z');
  ASSERT_TRUE(m->Append(fill.data(), static_cast<int32_t>(fill.size())).IsSuccess());
  model += fill;
  ASSERT_TRUE(m->ReserveAppend(5, &p, &avail).IsSuccess());
  m->CommitAppend(0);
  EXPECT_EQ(ReadAll(*m), model);
  // Limits as for Append.
  EXPECT_TRUE(m->ReserveAppend(0, &p, &avail).IsError());
  EXPECT_EQ(m->ReserveAppend(static_cast<int32_t>(Message::kMaxSize), &p, &avail).Category(),
            util::ErrLogicLenMax);
  EXPECT_EQ(avail, 0);
}

// Two connected in-memory connections; Send puts a message of n pattern bytes on the first.
struct FramingTest : ::testing::Test {
  void SetUp() override { QueueConnection::Pair(M_pA.get(), M_pB.get()); }
  void Send(int32_t n) {
    Message out;
    EXPECT_TRUE(out.Append(Pattern(n).data(), n).IsSuccess());
    EXPECT_TRUE(out.TxAllToConnection(M_pA.get(), 1000).IsSuccess());
  }
  util::Ref<QueueConnection> M_pA = util::Ref<QueueConnection>::Adopt(new QueueConnection);
  util::Ref<QueueConnection> M_pB = util::Ref<QueueConnection>::Adopt(new QueueConnection);
};

// A message is cut into blocks flagged first and last; the receiver fetches the rest lazily,
// or at once with a fetch size.
TEST_F(FramingTest, BlocksCarryTheMessageFlagsAndTheRestIsFetchedLazily) {
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;  // flags, length
  const std::pair<int32_t, Blocks> cases[] = {
      {4000, {{Flag_BegMessage | Flag_EndMessage, 4000}}},
      {10001, {{Flag_BegMessage, 4000}, {0, 4000}, {Flag_EndMessage, 2001}}}};
  for (const auto& [size, expected] : cases) {
    SCOPED_TRACE(size);
    Message out, in, all;
    const std::string d = Pattern(size);
    // Built with an insert so blocks are not all full: sending repacks them.
    ASSERT_TRUE(out.Append(d.data() + 10, size - 10).IsSuccess());
    ASSERT_TRUE(out.Insert(0, d.data(), 10).IsSuccess());
    out.SetTraceTag(77);
    ASSERT_TRUE(out.TxAllToConnection(M_pA.get(), 1000).IsSuccess());
    EXPECT_TRUE(M_pA->IsMessageSent());
    Blocks seen;
    for (MessageBlock* b : M_pB->Queue()) {
      seen.emplace_back(b->M_Flags, b->M_Length);
      EXPECT_EQ(b->M_TraceTag, 77u);
    }
    EXPECT_EQ(seen, expected);
    M_pB->Queue().push_front(MessageBlock::Allocate());  // a stray block before is dropped
    ASSERT_TRUE(in.RxNextMessage(M_pB.get(), 0).IsSuccess());
    EXPECT_EQ(in.Size(), 4000);
    EXPECT_EQ(in.IsComplete(), size == 4000);
    EXPECT_EQ(M_pB->IsInUseAsSource(), size != 4000);
    char buf[10];
    ASSERT_TRUE(in.ReadExact(size - 10, buf, 10).IsSuccess());
    EXPECT_EQ(std::string(buf, 10), d.substr(size - 10));
    EXPECT_TRUE(in.IsComplete());
    EXPECT_FALSE(M_pB->IsInUseAsSource());
    Send(size);
    ASSERT_TRUE(all.RxNextMessage(M_pB.get(), 100, 0x7fffffff).IsSuccess());
    EXPECT_TRUE(all.IsComplete());
    EXPECT_EQ(all.Size(), size);
  }
}

TEST_F(FramingTest, FailedSendsAndAnAbortBeforeDataEndTheReceive) {
  Message m;
  Result r = m.TxAllToConnection(M_pA.get(), 1000);
  EXPECT_EQ(r.Category(), util::ErrEmpty);
  EXPECT_EQ(r.ErrorText(), "Tried to send an empty message");
  EXPECT_TRUE(M_pB->Queue().empty());
  const Result why = Result::Fail(util::ErrObjNotExist, "file vanished");
  ASSERT_TRUE(Message::TxAbort(M_pA.get(), why, 1000, false).IsSuccess());
  r = m.RxNextMessage(M_pB.get(), 0);
  EXPECT_EQ(r.Category(), util::ErrCancelled);
  EXPECT_EQ(r.ErrorText(), "Message has been aborted by sender with Error (" + why.Text() + ")");
  EXPECT_EQ(m.RxError().Code(), why.Code());
  EXPECT_EQ(m.RxError().ErrorText(), "file vanished");
  // A peer that goes mid-message fails the send, which then does not count as sent.
  M_pA->FailSendsAfter(1);
  Message out;
  ASSERT_TRUE(out.Append(Pattern(12000).data(), 12000).IsSuccess());
  EXPECT_EQ(out.TxAllToConnection(M_pA.get(), 1000).Category(), util::ErrConnLost);
  EXPECT_FALSE(M_pA->IsMessageSent());
}

TEST_F(FramingTest, AbortOrBrokenConnectionDuringFetchSetsRxError) {
  for (bool abort : {true, false}) {  // the broken connection last: it stays broken
    SCOPED_TRACE(abort ? "abort" : "broken connection");
    Send(6000);
    // The last block is replaced by an abort, or never comes.
    MessageBlock::Free(M_pB->Queue().back());
    M_pB->Queue().pop_back();
    if (abort) {
      ASSERT_TRUE(Message::TxAbort(M_pA.get(), Result::Fail(util::ErrTimeout, "slow disk"), 1000)
                      .IsSuccess());
    } else {
      M_pA->Close();
    }
    Message in;
    char buf[100];
    ASSERT_TRUE(in.RxNextMessage(M_pB.get(), 0).IsSuccess());
    const uint32_t want = abort ? util::ErrTimeout : util::ErrConnLost;
    EXPECT_EQ(in.ReadExact(5900, buf, 100).Category(), want);
    EXPECT_EQ(in.RxError().Category(), want);
    if (abort) {
      EXPECT_EQ(in.RxError().ErrorText(), "slow disk");
      EXPECT_TRUE(in.IsComplete());
    }
  }
}

}  // namespace
}  // namespace velmora::xel
