// Tests of the in-process first-in-first-out connection.
#include "xel/ConnectionFifo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "ResultMatchers.h"
#include "xel/Message.h"

namespace velmora::xel {
namespace {

using util::Ref;
using util::testing_matchers::HasCategory;
using util::testing_matchers::IsOk;

MessageBlock* Block(uint32_t flags, char c) {
  MessageBlock* b = MessageBlock::Allocate();
  b->M_Flags = flags;
  b->M_Length = 1;
  b->M_Content[0] = static_cast<uint8_t>(c);
  return b;
}

TEST(ConnectionFifo, AnswerSentDuringTheCallIsReadAfterIt) {
  const int base = MessageBlock::LiveBlocks();
  {
    Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
    Ref<Message> answer = Ref<Message>::Adopt(new Message());
    const std::string text(9001, 'z');
    ASSERT_THAT(answer->Append(text.data(), static_cast<int32_t>(text.size())), IsOk());
    ASSERT_THAT(answer->TxAllToConnection(fifo.get(), 1000), IsOk());
    EXPECT_TRUE(fifo->IsMessageSent());
    EXPECT_EQ(fifo->QueuedBlocks(), 3);
    Ref<Message> read = Ref<Message>::Adopt(new Message());
    ASSERT_THAT(read->RxNextMessage(fifo.get(), 0), IsOk());
    ASSERT_THAT(read->FetchAll(), IsOk());
    EXPECT_EQ(read->Size(), 9001);
    EXPECT_TRUE(read->IsComplete());
    EXPECT_THAT(read->RxNextMessage(fifo.get(), 0), HasCategory(util::ErrTimeout));
    // Unread blocks go with the connection.
    ASSERT_THAT(fifo->Send(Block(Flag_BegMessage, 'x'), 0), IsOk());
  }
  EXPECT_EQ(MessageBlock::LiveBlocks(), base);
}

TEST(ConnectionFifo, OrderStopAtNewMessageWaitingAndClose) {
  Ref<ConnectionFifo> fifo = Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
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
  fifo->Clear();
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
}

}  // namespace
}  // namespace velmora::xel
