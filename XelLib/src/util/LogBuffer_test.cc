// Tests of the shared trace buffer: in-process, and between a writer and a reader process.
#include "util/LogBuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string UniqueKey() {
  static int counter = 0;
  return "lbt" + std::to_string(osal::CurrentProcessId()) + "x" + std::to_string(++counter);
}

LogRecord Line(const char* text) {
  LogRecord r;
  r.format = text;
  return r;
}

// A fresh buffer as the platform's collector creates it, under M_Key.
class LogBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(LogBuffer::Create(M_Key, &M_pPlatform).IsSuccess()); }
  std::vector<std::string> Read() {
    std::vector<std::string> lines;
    EXPECT_TRUE(M_pPlatform->Read(&lines).IsSuccess());
    return lines;
  }
  const std::string M_Key = UniqueKey();
  Ref<LogBuffer> M_pPlatform;
};

// The child (run before main, see ChildProcess.h): args are the trace key and what to do.
XEL_CHILD_MODE(log_child) {
  const std::string key = args.at(0), what = args.at(1);
  Ref<LogBuffer> buffer;
  if (what == "collector_dies") {  // creates the buffer as a collector does, is killed
    if (LogBuffer::Create(key, &buffer).IsError()) return 2;
    testing::ChildSay("created");
    testing::ChildWaitToBeKilled();
  }
  if (OpenTraceKey(key).IsError()) return 2;
  if (what == "write_lines") {  // args[2] numbered lines, then the fatal writer ends it
    for (int i = 0; i < atoi(args.at(2).c_str()); ++i) TraceUnconditional("line %i", i);
    XEL_ASSERT_DIAG(what.empty(), "key");
    return 0;
  }
  // Two lines while the parent holds the mutex, one on "go", then dies holding the mutex.
  osal::NamedEvent go;
  osal::NamedMutex mutex;
  if (!go.Open("QUIRM8_" + key + "_Test_Go").ok()) return 3;
  TraceUnconditional("waits for the mutex");
  TraceUnconditional("waits briefly");
  testing::ChildSay("ready");
  if (!go.Wait(10000).ok()) return 4;
  TraceUnconditional("final");
  CloseTraceKey();
  if (!mutex.Open(LogBuffer::MutexName(key)).ok() || !mutex.Acquire(1000).ok()) return 5;
  osal::TerminateProcess(0);
}

TEST_F(LogBufferTest, LinesCarryTheSlotHeaderAndAFullBufferSkipsLines) {
  Ref<LogBuffer> plugin;
  ASSERT_TRUE(LogBuffer::Open(M_Key, &plugin).IsSuccess());
  EXPECT_EQ(M_pPlatform->Version() + LogBuffer::kTotalSize, 2u + 256256u);
  LogWriterBuffer writer(plugin->GetHandle());
  LogRecord first = Line("first");
  first.AddInt(4);
  first.AddText("Cat");
  writer.Write(first);
  osal::SetThreadTraceValue(0xabcd0042);
  writer.Write(Line("second"));
  osal::SetThreadTraceValue(0);
  writer.Write(Line(std::string(400, 'x').c_str()));
  EXPECT_TRUE(M_pPlatform->WaitForLines(0));  // set because the buffer was empty
  std::vector<std::string> lines = Read();
  ASSERT_EQ(lines.size(), 3u);
  char ids[32];
  snprintf(ids, sizeof ids, "%4.4x/%4.4x/", osal::CurrentProcessId(), osal::CurrentThreadId());
  std::regex head(R"(\d\d/\d\d:\d\d:\d\d\.\d\d\d \()" + std::string(ids) +
                  R"(0000\) \{4 "Cat"\} first)");
  EXPECT_TRUE(std::regex_match(lines[0], head)) << lines[0];
  EXPECT_THAT(lines[1], HasSubstr("/abcd) second"));
  EXPECT_EQ(lines[2].size(), 255u);  // cut to the slot
  // A full buffer is retried, then skipped and reported in the next line.
  for (uint32_t i = 0; i + 1 < LogBuffer::kSlotCount; ++i) writer.Write(Line("fill"));
  EXPECT_EQ(M_pPlatform->PendingLines(), LogBuffer::kSlotCount - 1);
  ASSERT_EQ(LogWriterBuffer::SkippedLines(), 0);
  auto start = std::chrono::steady_clock::now();
  writer.Write(Line("retried"));
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(5));  // 500 tries 10 ms apart
  EXPECT_EQ(LogWriterBuffer::SkippedLines(), 1);
  // While lines are being skipped a full buffer is not waited for.
  start = std::chrono::steady_clock::now();
  writer.Write(Line("skipped at once"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(LogWriterBuffer::SkippedLines(), 2);
  EXPECT_EQ(Read().size(), LogBuffer::kSlotCount - 1);
  writer.Write(Line("after"));
  writer.Write(Line("clean"));
  EXPECT_THAT(Read(), ElementsAre(HasSubstr(") {2 trace lines skipped} after"),
                                  ::testing::Not(HasSubstr("skipped"))));
  EXPECT_EQ(LogWriterBuffer::SkippedLines(), 0);
  // Once the buffer's handle is gone the writer finds nothing and writes nothing.
  plugin->Close();
  writer.Write(Line("lost"));
  EXPECT_EQ(M_pPlatform->PendingLines(), 0u);
}

// The plug-in still holding the buffer of a killed collector removes it with its trace key.
TEST(LogBufferCrossProcess, AKilledCollectorsBufferGoesWithThePlugin) {
  const std::string key = UniqueKey();
  testing::ChildProcess collector;
  ASSERT_TRUE(collector.Start("log_child", {key, "collector_dies"}));
  std::string line;
  ASSERT_TRUE(collector.ReadLine(&line, 10000));
  ASSERT_TRUE(OpenTraceKey(key).IsSuccess());
  Ref<LogBuffer> second;
  EXPECT_EQ(LogBuffer::Create(key, &second).Category(), ErrObjExist) << "the live one's";
  collector.Kill();
  ASSERT_TRUE(collector.Wait(10000, nullptr));
  TraceUnconditional("after the collector died");
  CloseTraceKey();
  osal::NamedMutex mutex;
  osal::SharedMemory memory;
  osal::NamedEvent event;
  EXPECT_TRUE(mutex.Open(LogBuffer::MutexName(key)).Is(osal::ErrorKind::kNotFound));
  EXPECT_TRUE(memory.Open(LogBuffer::MemoryName(key)).Is(osal::ErrorKind::kNotFound));
  EXPECT_TRUE(event.Open(LogBuffer::EventName(key)).Is(osal::ErrorKind::kNotFound));
}

// A buffer of another version, or none at all, is refused without keeping a handle; a trace
// key that cannot be opened leaves the writers as they were, one that can installs its own.
TEST_F(LogBufferTest, TraceKeyInstallsTheBufferWritersAndOtherVersionsAreRefused) {
  LogWriter* trace = GetLogWriter(LogChannelTrace);
  LogWriter* fatal = GetLogWriter(LogChannelFatal);
  osal::SharedMemory memory;
  ASSERT_TRUE(memory.Open(LogBuffer::MemoryName(M_Key)).ok());
  static_cast<uint32_t*>(memory.data())[0] = 3;
  for (const auto& [key, text] : {std::pair<std::string, std::string>{
                                      M_Key, "Invalid Version of LogBuffer 3 (Cat=ErrWrongFormat"},
                                  {UniqueKey(), "ErrObjNotExist"}}) {
    const int handles = HandleObject::UsedHandles();
    Ref<LogBuffer> plugin;
    EXPECT_THAT(LogBuffer::Open(key, &plugin).Text(4), HasSubstr(text));
    EXPECT_FALSE(plugin);
    EXPECT_EQ(HandleObject::UsedHandles(), handles) << key;
    EXPECT_TRUE(OpenTraceKey(key).IsError() && !IsTraceKeyOpen());
    EXPECT_EQ(GetLogWriter(LogChannelTrace), trace);
  }
  static_cast<uint32_t*>(memory.data())[0] = 2;
  ASSERT_TRUE(OpenTraceKey(M_Key).IsSuccess() && IsTraceKeyOpen());
  EXPECT_NE(GetLogWriter(LogChannelTrace), trace);
  EXPECT_NE(GetLogWriter(LogChannelFatal), fatal);
  EXPECT_TRUE(OpenTraceKey(M_Key).IsError());  // one key at a time
  TraceUnconditional("Sub-Process is running. Key=%s", "k_1");
  CloseTraceKey();
  EXPECT_EQ(GetLogWriter(LogChannelTrace), trace);
  EXPECT_EQ(GetLogWriter(LogChannelFatal), fatal);
  TraceUnconditional("after close");
  EXPECT_THAT(Read(), ElementsAre(HasSubstr(") Sub-Process is running. Key=k_1")));
  CloseTraceKey();  // closing twice is harmless
}

TEST_F(LogBufferTest, CrossProcessNothingIsLostAndTheFatalStopIsTraced) {
  const int kLines = 3000;
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("log_child", {M_Key, "write_lines", std::to_string(kLines)}));
  std::vector<std::string> lines;
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Reads once more after the child has ended, to drain what it wrote last.
  for (bool bExited = false; !bExited && std::chrono::steady_clock::now() < deadline;) {
    bExited = child.Wait(0, &status);
    M_pPlatform->WaitForLines(20);
    ASSERT_TRUE(M_pPlatform->Read(&lines).IsSuccess());
  }
  EXPECT_EQ(status, 1);
  ASSERT_GT(lines.size(), kLines + 5u);
  for (int i = 0; i < kLines; ++i)
    ASSERT_THAT(lines[i], ::testing::EndsWith(") line " + std::to_string(i)));
  EXPECT_THAT(
      lines[kLines],
      ::testing::AllOf(HasSubstr(") Assertion:\nFile=..\\src\\util\\LogBuffer_test.cc Line="),
                       HasSubstr("\nExp=what.empty()\nDiagnostic Value=key")));
  EXPECT_THAT(lines[kLines + 1], HasSubstr("Start of stack dump (location=Fatal Error"));
  EXPECT_THAT(lines, ::testing::Contains(HasSubstr("requested size=16384)")));
}

// A reader stalled on the mutex fails and the writer counts the lines it skips; the writer then
// dies holding the mutex, which the next read reports before reading on.
TEST_F(LogBufferTest, CrossProcessStalledReaderSkippedLinesAndAbandonedMutex) {
  osal::NamedEvent go;
  ASSERT_TRUE(go.Create("QUIRM8_" + M_Key + "_Test_Go", false).ok());
  osal::NamedMutex mutex;
  ASSERT_TRUE(mutex.Open(LogBuffer::MutexName(M_Key)).ok());
  ASSERT_TRUE(mutex.Acquire(1000).ok());  // the reader hangs inside the buffer
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("log_child", {M_Key, "stalled_reader"}));
  auto start = std::chrono::steady_clock::now();
  std::string said;
  ASSERT_TRUE(child.ReadLine(&said, 10000) && said == "ready");
  // 1000 ms for the first line, then only 10 ms while lines are being skipped.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
  std::vector<std::string> lines;  // a reader in another thread cannot take the mutex either
  std::thread([&] {
    Result r = M_pPlatform->Read(&lines, 20);
    EXPECT_EQ(r.ErrorText().rfind("Failed to lock Mutex. Error=", 0), 0u) << r.ErrorText();
  }).join();
  ASSERT_TRUE(mutex.Release().ok());
  (void)go.Set();
  int status = -1;
  EXPECT_TRUE(child.Wait(10000, &status) && status == 0);
  EXPECT_THAT(Read(), ElementsAre("Trace mutex has been abandoned",
                                  HasSubstr(") {2 trace lines skipped} final")));
  EXPECT_TRUE(Read().empty());
}

}  // namespace
}  // namespace velmora::util
