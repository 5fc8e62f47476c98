// Tests of the stack dump and the list of active threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "TraceCapture.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::util {
namespace {

using testing::TraceCapture;

__attribute__((noinline)) void DumpFromNestedCall(int depth) {
  if (depth > 0) return DumpFromNestedCall(depth - 1);
  StackDump("nested", 256);
}

TEST(StackDumpTest, WritesFramesRawWordsWithinTheStackAndTheActiveThreads) {
  TraceCapture capture;
  DumpFromNestedCall(3);
  const std::vector<std::string>& l = capture.lines;
  ASSERT_GE(l.size(), 4u);
  EXPECT_TRUE(std::regex_match(
      l[0], std::regex(R"(Start of stack dump \(location=nested, Address=[0-9a-f]+\) requires )"
                       R"(FramePointer \(option: /Oy-\))")))
      << l[0];
  EXPECT_EQ(l[1], "Address:  FramePtr RetAddr  par1     par2 ");
  std::regex frame(R"((0x)?[0-9a-f]+: \S+ \S+( [0-9a-f]{8}){6})");
  EXPECT_TRUE(std::regex_match(l[2], frame)) << l[2];
  size_t empty = 0;
  while (empty < l.size() && !l[empty].empty()) ++empty;
  ASSERT_LT(empty + 1, l.size());
  EXPECT_TRUE(std::regex_match(
      l[empty + 1],
      std::regex(R"(Start of RAW Stack Dump \(location=nested, Address=.*, requested size=256\))")))
      << l[empty + 1];
  // 256 bytes are 64 words, eight per line.
  ASSERT_EQ(l.size() - empty - 2, 8u);
  EXPECT_TRUE(std::regex_match(l.back(), std::regex(R"((0x)?[0-9a-f]+:( [0-9a-f]{8}){8})")))
      << l.back();
  // A huge raw size stops at the top of the stack.
  StackDump("huge", 1 << 30);
  EXPECT_LT(l.size(), 1u << 20);
  StackDump(nullptr, -4);
  // Active threads show their name, id and local start time.
  osal::Event stop;
  osal::OsThread thread;
  ASSERT_TRUE(thread.Start("Dump Worker", [&] { (void)stop.Wait(10000); }).ok());
  ListActiveThreads(10);
  stop.Set();
  ASSERT_TRUE(thread.Join(5000).ok());
  const std::regex line(R"(Active Thread 'Dump Worker', ID=0x[0-9a-f]+, Started at \d{8} )"
                        R"(\d\d:\d\d:\d\d\.\d\d\d \(local-time\))");
  EXPECT_TRUE(std::any_of(capture.lines.begin(), capture.lines.end(),
                          [&](const std::string& text) { return std::regex_match(text, line); }));
  capture.lines.clear();
  ListActiveThreads(0);
  EXPECT_TRUE(capture.lines.empty());
}

}  // namespace
}  // namespace velmora::util
