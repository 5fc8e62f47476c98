// Tests of the in-process first-in-first-out connection.
#include "xel/ConnectionFifo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ResultMatchers.h"

namespace velmora::xel {
namespace {

using util::testing_matchers::HasCategory;
using util::testing_matchers::IsOk;

MessageBlock* Block(uint32_t flags, char c) {
  MessageBlock* b = MessageBlock::Allocate();
  b->M_Flags = flags;
  b->M_Length = 1;
  b->M_Content[0] = static_cast<uint8_t>(c);
  return b;
}

TEST(ConnectionFifo, OrderStopAtNewMessageWaitingAndClose) {
  const int base = MessageBlock::LiveBlocks();
  auto fifo = util::Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  ASSERT_THAT(fifo->Send(Block(Flag_BegMessage, 'a'), 0), IsOk());
  ASSERT_THAT(fifo->Send(Block(Flag_EndMessage, 'b'), 0), IsOk());
  ASSERT_THAT(fifo->Send(Block(Flag_BegMessage | Flag_EndMessage, 'c'), 0), IsOk());
  MessageBlock* b = nullptr;
  EXPECT_THAT(fifo->Receive(0, true, &b), HasCategory(util::ErrCancelled));
  EXPECT_EQ(b, nullptr);
  for (char expected : {'a', 'b'}) {
    ASSERT_THAT(fifo->Receive(0, expected == 'b', &b), IsOk());
    EXPECT_EQ(b->M_Content[0], expected);
    MessageBlock::Free(b);
  }
  EXPECT_THAT(fifo->Receive(0, true, &b), HasCategory(util::ErrCancelled));
  EXPECT_EQ(fifo->QueuedBlocks(), 1);
  fifo->Clear();  // as the destructor does with unread blocks
  // A receiver waits for a block sent by another thread.
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    (void)fifo->Send(Block(0, 'd'), 0);
  });
  ASSERT_THAT(fifo->Receive(5000, false, &b), IsOk());
  EXPECT_EQ(b->M_Content[0], 'd');
  MessageBlock::Free(b);
  sender.join();
  EXPECT_THAT(fifo->Receive(20, false, &b), HasCategory(util::ErrTimeout));
  fifo->Close();
  EXPECT_THAT(fifo->Receive(5000, false, &b), HasCategory(util::ErrConnLost));
  EXPECT_THAT(fifo->Send(Block(0, 'e'), 0), HasCategory(util::ErrConnLost));
  fifo.Reset();
  EXPECT_EQ(MessageBlock::LiveBlocks(), base);
}

}  // namespace
}  // namespace velmora::xel
