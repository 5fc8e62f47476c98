// Tests of block pooling across threads and of appending directly into a message's blocks.
#include "xel/MessageBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "xel/Message.h"

namespace velmora::xel {
namespace {

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
  std::string back(model.size(), 0);
  ASSERT_EQ(m->Size(), static_cast<int64_t>(model.size()));
  ASSERT_TRUE(m->ReadExact(0, back.data(), static_cast<int32_t>(back.size())).IsSuccess());
  EXPECT_EQ(back, model);
  // Limits as for Append.
  EXPECT_TRUE(m->ReserveAppend(0, &p, &avail).IsError());
  EXPECT_EQ(m->ReserveAppend(static_cast<int32_t>(Message::kMaxSize), &p, &avail).Category(),
            util::ErrLogicLenMax);
  EXPECT_EQ(avail, 0);
}

}  // namespace
}  // namespace velmora::xel
