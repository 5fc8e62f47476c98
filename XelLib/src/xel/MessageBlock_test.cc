// Tests of block pooling, direct appending to messages, and base64 written across blocks.
#include "xel/MessageBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "util/Text.h"
#include "xel/Message.h"
#include "xel/XmlParser.h"

namespace velmora::xel {
namespace {

using util::Result;

TEST(MessageBlockPoolTest, ReusedBlocksAreClearedAndCountedOnlyWhileInUse) {
  const int live = MessageBlock::LiveBlocks();
  std::vector<MessageBlock*> blocks;
  for (int i = 0; i < 600; ++i) {  // more than one slab
    MessageBlock* b = MessageBlock::Allocate();
    ASSERT_NE(b, nullptr);
    b->M_Flags = Flag_BegMessage;
    b->M_Event = BlockEvent_Abort;
    b->M_Length = 17;
    b->M_Content[0] = static_cast<uint8_t>(i);
    blocks.push_back(b);
  }
  EXPECT_EQ(MessageBlock::LiveBlocks(), live + 600);
  // Distinct, non-overlapping blocks.
  for (size_t i = 0; i < blocks.size(); ++i)
    EXPECT_EQ(blocks[i]->M_Content[0], static_cast<uint8_t>(i));
  for (MessageBlock* b : blocks) MessageBlock::Free(b);
  EXPECT_EQ(MessageBlock::LiveBlocks(), live);
  MessageBlock* again = MessageBlock::Allocate();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->M_Flags, 0u);
  EXPECT_EQ(again->M_Event, uint32_t{BlockEvent_Data});
  EXPECT_EQ(again->M_Length, 0u);
  EXPECT_EQ(again->pNext, nullptr);
  MessageBlock::Free(again);
  MessageBlock::Free(nullptr);
  EXPECT_EQ(MessageBlock::LiveBlocks(), live);
}

TEST(MessageBlockPoolTest, ThreadsAllocateAndFreeEachOthersBlocks) {
  const int live = MessageBlock::LiveBlocks();
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<MessageBlock*> mine;
      for (int i = 0; i < kRounds; ++i) {
        MessageBlock* b = MessageBlock::Allocate();
        ASSERT_NE(b, nullptr);
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
  std::string model;
  ASSERT_TRUE(m->Append("abc", 3).IsSuccess());
  model = "abc";
  // Reservations never cross a block: fill up to the boundary and beyond.
  int64_t left = 9000;
  int round = 0;
  while (left > 0) {
    ASSERT_TRUE(m->ReserveAppend(static_cast<int32_t>(left), &p, &avail).IsSuccess());
    ASSERT_GT(avail, 0);
    ASSERT_LE(avail, static_cast<int32_t>(MessageBlock::BlockSize));
    for (int32_t i = 0; i < avail; ++i) p[i] = static_cast<uint8_t>('A' + (round + i) % 26);
    model.append(reinterpret_cast<const char*>(p), avail);
    m->CommitAppend(avail);
    left -= avail;
    ++round;
  }
  EXPECT_EQ(round, 3);  // 3997 bytes, then 4000, then the rest
  // A block linked for a reservation and then not used is removed again.
  ASSERT_TRUE(m->Append(std::string(4000 - model.size() % 4000, 'z').data(),
                        static_cast<int32_t>(4000 - model.size() % 4000))
                  .IsSuccess());
  model.append(4000 - model.size() % 4000, 'z');
  ASSERT_TRUE(m->ReserveAppend(5, &p, &avail).IsSuccess());
  m->CommitAppend(0);
  ASSERT_EQ(m->Size(), static_cast<int64_t>(model.size()));
  std::string back(model.size(), 0);
  ASSERT_TRUE(m->ReadExact(0, back.data(), static_cast<int32_t>(back.size())).IsSuccess());
  EXPECT_EQ(back, model);
  // Limits as for Append.
  EXPECT_TRUE(m->ReserveAppend(0, &p, &avail).IsError());
  Result r = m->ReserveAppend(static_cast<int32_t>(Message::kMaxSize), &p, &avail);
  EXPECT_EQ(r.Category(), util::ErrLogicLenMax);
  EXPECT_EQ(avail, 0);
}

TEST(XmlParserBase64Test, GroupsStraddlingBlocksAndOddCallSizesEncodeAsOneText) {
  std::string data(20000, 0);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 7));
  // Element names of different lengths shift the content against the block boundaries.
  for (const char* name : {"C", "Co", "Con", "Cont"}) {
    XmlParser doc;
    ASSERT_TRUE(doc.SetDataFormat(XmlParser::Format_XmlUtf8).IsSuccess());
    ASSERT_TRUE(doc.OpenElement(0, name).IsSuccess());
    const int sizes[] = {1, 2, 4000, 5, 2999, 7, 3001, 1};
    size_t off = 0;
    for (int i = 0; off < data.size(); ++i) {
      size_t n = std::min<size_t>(sizes[i % 8], data.size() - off);
      ASSERT_TRUE(doc.WriteBinary(data.data() + off, static_cast<int64_t>(n)).IsSuccess());
      off += n;
    }
    ASSERT_TRUE(doc.CloseAll().IsSuccess());
    Message& m = *doc.GetMessage();
    std::string text(static_cast<size_t>(m.Size()), 0);
    ASSERT_TRUE(m.ReadExact(0, text.data(), static_cast<int32_t>(text.size())).IsSuccess());
    EXPECT_EQ(text, std::string("<") + name + ">" + util::Base64Encode(data.data(), data.size()) +
                        "</" + name + ">");
    // Read back in pieces that cut groups.
    XmlParser reader(doc.MessageRef());
    ASSERT_TRUE(reader.MoveToPath(std::string("/").append(name).c_str()).IsSuccess());
    std::string back;
    char buf[1000];
    Result r;
    do {
      int len = 0;
      r = reader.ReadBinary(buf, sizeof(buf) - 1 - static_cast<int>(back.size() % 3), &len);
      ASSERT_FALSE(r.IsError()) << r.Text();
      back.append(buf, len);
    } while (r.Category() == util::ErrMoreData);
    EXPECT_EQ(back, data);
  }
}

}  // namespace
}  // namespace velmora::xel
