// Tests of the file connection (input framing, output flags, abort, cleanup) and the fifo.
#include "xel/ConnectionFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../../testing/ResultMatchers.h"
#include "../../testing/TempDir.h"
#include "osal/File.h"
#include "xel/ConnectionFifo.h"

namespace velmora::xel {
namespace {

using ::testing::AllOf;
using util::HasCategory;
using util::HasText;
using util::IsError;
using util::IsOk;

// Reads a file that another handle may hold open. On Windows a delete-on-close file can be
// opened only by an opener that shares delete (and the writer's write) access.
std::string ReadFile(const std::string& path) {
  osal::File file;
  osal::OpenOptions options;
  options.share = osal::kShareRead | osal::kShareWrite | osal::kShareDelete;
  if (!file.Open(path, options).ok()) return "(not opened)";
  std::string content;
  char buffer[256];
  size_t read = 0;
  while (file.Read(buffer, sizeof buffer, &read).ok() && read > 0) content.append(buffer, read);
  return content;
}

MessageBlock* DataBlock(const std::string& content, uint32_t event = BlockEvent_Data,
                        uint32_t flags = 0) {
  MessageBlock* b = MessageBlock::Allocate();
  b->M_Event = event;
  b->M_Flags = flags;
  b->M_Length = static_cast<uint32_t>(content.size());
  content.copy(reinterpret_cast<char*>(b->M_Content), content.size());
  return b;
}

TEST(ConnectionFileInput, DeliversBlocksFlaggedFirstAndLastThenCloses) {
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;  // flags, length
  // Past the read-ahead buffer: 35 full blocks, the last one ending the message.
  Blocks large(35, {0, 4000});
  large.front().first = Flag_BegMessage;
  large.back().first = Flag_EndMessage;
  const std::pair<size_t, Blocks> cases[] = {
      {9000, {{Flag_BegMessage, 4000}, {0, 4000}, {Flag_EndMessage, 1000}}},
      {0, {{Flag_BegMessage | Flag_EndMessage, 0}}},
      {4000, {{Flag_BegMessage | Flag_EndMessage, 4000}}},
      {140000, large}};
  testing::TempDir dir;
  auto conn = util::Ref<ConnectionFile>::Adopt(new ConnectionFile);
  const int blocksBefore = MessageBlock::LiveBlocks();
  for (const auto& [size, expected] : cases) {
    SCOPED_TRACE(size);
    const std::string path = dir.Join("in" + std::to_string(size));
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    ASSERT_THAT(conn->OpenInput(path), IsOk());
    EXPECT_THAT(conn->OpenInput(path), HasText("Input File is already open"));
    // The first block of a file begins a message; a receiver that stops there does not take it.
    MessageBlock* b = nullptr;
    EXPECT_THAT(conn->Receive(0, true, &b), HasCategory(util::ErrCancelled));
    Blocks seen;
    for (bool last = false; !last;) {
      ASSERT_THAT(conn->Receive(0, false, &b), IsOk());
      seen.emplace_back(b->M_Flags, b->M_Length);
      last = b->M_Flags & Flag_EndMessage;
      MessageBlock::Free(b);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(conn->IsInputOpen());
    EXPECT_THAT(conn->Receive(0, false, &b),
                AllOf(HasCategory(util::ErrLogicState), HasText("Input File is not opened")));
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(MessageBlock::LiveBlocks(), blocksBefore);
  }
}

// Data is written, an abort truncates, other events are ignored and existing files kept;
// created folders go with a delete-on-close file or a failed open.
TEST(ConnectionFileOutput, WritesAbortTruncatesAndCreatedFoldersGo) {
  testing::TempDir dir;
  std::string path = dir.Join("out.txt");
  auto conn = util::Ref<ConnectionFile>::Adopt(new ConnectionFile);
  EXPECT_THAT(conn->Send(DataBlock("lost"), 0), HasText("Output File is not opened"));
  ASSERT_THAT(conn->OpenOutput(path, ConnectionFile::Output_Exclusive), IsOk());
  EXPECT_THAT(conn->OpenOutput(path, 0), HasText("Output File is already open"));
  EXPECT_THAT(conn->Send(DataBlock("hello "), 0), IsOk());
  EXPECT_THAT(conn->Send(DataBlock("ignored", 7), 0), IsOk());
  EXPECT_THAT(conn->Send(DataBlock("world"), 0), IsOk());
  ASSERT_THAT(conn->CloseOutput(), IsOk());
  EXPECT_EQ(ReadFile(path), "hello world");
  EXPECT_THAT(conn->OpenOutput(path, ConnectionFile::Output_Exclusive),
              AllOf(HasCategory(util::ErrObjExist), HasText("File " + path + " already exists")));
  EXPECT_FALSE(conn->IsOutputOpen());
  EXPECT_EQ(ReadFile(path), "hello world");
  // Replaced; an abort after data leaves an empty file, and later data starts at its beginning.
  ASSERT_THAT(conn->OpenOutput(path, ConnectionFile::Output_Replace), IsOk());
  EXPECT_THAT(conn->Send(DataBlock(std::string(3000, 'd')), 0), IsOk());
  EXPECT_THAT(conn->Send(DataBlock("why", BlockEvent_Abort), 0), IsOk());
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_THAT(conn->Send(DataBlock("again"), 0), IsOk());
  // Content gathered past the write buffer arrives whole and in order.
  std::string expected = "again";
  for (char c = 'a'; c <= 'z'; ++c) {
    EXPECT_THAT(conn->Send(DataBlock(std::string(3999, c)), 0), IsOk());
    expected += std::string(3999, c);
  }
  conn.Reset();  // destruction closes
  EXPECT_EQ(ReadFile(path), expected);
  path = dir.path() + "\\a\\b\\c\\out.txt";  // the connector's separators
  conn = util::Ref<ConnectionFile>::Adopt(new ConnectionFile);
  EXPECT_THAT(conn->OpenOutput(path, 0), HasText("Path not found."));
  EXPECT_FALSE(std::filesystem::exists(dir.Join("a")));
  ASSERT_THAT(conn->OpenOutput(path, ConnectionFile::Output_CreateFolders |
                                         ConnectionFile::Output_DeleteOnClose),
              IsOk());
  EXPECT_THAT(conn->Send(DataBlock("temp"), 0), IsOk());
  EXPECT_TRUE(std::filesystem::exists(dir.Join("a/b/c/out.txt")));
  ASSERT_THAT(conn->Close(), IsOk());
  EXPECT_FALSE(std::filesystem::exists(dir.Join("a")));
  EXPECT_TRUE(std::filesystem::exists(dir.path()));
  // A name ending in a separator: its folders can be made, but no file can be opened there.
  EXPECT_THAT(conn->OpenOutput(dir.Join("x/y/"), ConnectionFile::Output_CreateFolders), IsError());
  EXPECT_FALSE(std::filesystem::exists(dir.Join("x")));
  // Without delete-on-close the folders and the file stay.
  ASSERT_THAT(conn->OpenOutput(path, ConnectionFile::Output_CreateFolders), IsOk());
  ASSERT_THAT(conn->Close(), IsOk());
  EXPECT_TRUE(std::filesystem::exists(dir.Join("a/b/c/out.txt")));
}

TEST(ConnectionFifo, OrderStopAtNewMessageWaitingAndClose) {
  const int base = MessageBlock::LiveBlocks();
  auto fifo = util::Ref<ConnectionFifo>::Adopt(new ConnectionFifo());
  ASSERT_THAT(fifo->Send(DataBlock("a", BlockEvent_Data, Flag_BegMessage), 0), IsOk());
  ASSERT_THAT(fifo->Send(DataBlock("b", BlockEvent_Data, Flag_EndMessage), 0), IsOk());
  ASSERT_THAT(fifo->Send(DataBlock("c", BlockEvent_Data, Flag_BegMessage | Flag_EndMessage), 0),
              IsOk());
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
    (void)fifo->Send(DataBlock("d"), 0);
  });
  ASSERT_THAT(fifo->Receive(5000, false, &b), IsOk());
  EXPECT_EQ(b->M_Content[0], 'd');
  MessageBlock::Free(b);
  sender.join();
  EXPECT_THAT(fifo->Receive(20, false, &b), HasCategory(util::ErrTimeout));
  fifo->Close();
  EXPECT_THAT(fifo->Receive(5000, false, &b), HasCategory(util::ErrConnLost));
  EXPECT_THAT(fifo->Send(DataBlock("e"), 0), HasCategory(util::ErrConnLost));
  fifo.Reset();
  EXPECT_EQ(MessageBlock::LiveBlocks(), base);
}

}  // namespace
}  // namespace velmora::xel
