// Tests of trace ids, record rendering, the writer table, the standard writer and the stack dump.
#include "util/Trace.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "LogWriters.h"
#include "TraceCapture.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TraceCapture;

TEST(LogRecordRender, TypedArgumentsPrefixesAndCuts) {
  LogRecord r;
  r.channel = LogChannelEvent;
  r.format = "plain %i%%";  // without an argument list the format is shown as it is
  r.AddText("src");
  r.AddInt(-42);
  r.AddHex(0xbeef);
  r.AddBinary("abc", 3);
  r.typed[r.typed_count++] = LogArg{-7, nullptr, 0};
  EXPECT_EQ(r.Render(true, true), "Event: {\"src\" -42 0xbeef {3 Bytes} !} plain %i%%");
  EXPECT_EQ(r.Render(false, false), "plain %i%%");
  r.channel = LogChannelConsole;
  EXPECT_EQ(r.Render(true, false), "plain %i%%");

  // The list ends at the first tag below -4095.
  LogRecord e;
  e.format = "x";
  EXPECT_EQ(e.Render(false, true), "x");
  e.AddInt(1);
  e.typed[e.typed_count++] = LogArg{LogArgEnd, nullptr, 0};
  e.AddInt(2);
  EXPECT_EQ(e.Render(true, true), "Trace: {1} x");
  char small[8];
  EXPECT_EQ(r.Render(small, sizeof small, true, true), 7u);
  EXPECT_STREQ(small, "{\"src\" ");
  for (int i = 0; i < 30; ++i) e.AddInt(i);
  EXPECT_EQ(e.typed_count, LogRecord::kMaxArgs);
  EXPECT_EQ(LogRecord::ChannelPrefix(1) + std::string("|") + LogRecord::ChannelPrefix(3),
            "RTrace: |Stop: ");
}

// Trace_Changes (threshold 0) shares id 16 with General_OtherOsal (120), which comes later.
TEST(TraceWrite, LevelsSwitchingGatedLinesConsoleMirrorAndTheWriterTable) {
  EXPECT_EQ(GetLogWriter(LogChannelTrace), &LogWriterStandard::Instance());
  TraceCapture capture;
  const std::tuple<int, uint32_t, bool> cases[] = {
      {-2, Trace_Always, false}, {-1, Trace_Always, true}, {0, 16, false},
      {120, 16, true},           {100, General_80, true},  {100, General_99, false}};
  for (const auto& [level, id, bEnabled] : cases) {
    SetMasterTraceLevel(level);
    EXPECT_EQ(IsTraceEnabled(id), bEnabled) << "level " << level << " id " << id;
  }
  EnableTraceId(4000, true);
  EXPECT_TRUE(IsTraceEnabled(4000 + kTraceIdCount));  // only the low 13 bits count
  EnableTraceId(4000, false);
  SetMasterTraceLevel(0);
  capture.lines.clear();
  SwitchAllTraceIds(true);
  EXPECT_TRUE(IsTraceEnabled(8191) && IsTraceEnabled(General_99));
  SwitchAllTraceIds(true);  // no change: no second line
  SwitchAllTraceIds(false);
  EXPECT_FALSE(IsTraceEnabled(Trace_Always) || IsTraceEnabled(8191));
  EXPECT_EQ(capture.lines,
            (std::vector<std::string>{"{16 \"Trace\"} Trace for all IDs will be enabled",
                                      "{16 \"Trace\"} Trace for all IDs will be disabled"}));
  SetMasterTraceLevel(60);  // also ConsoleOutput (1) and ConsoleTrace (10)
  capture.lines.clear();
  XEL_TRACE("File_ImportDriver", General_60, "found %s (%i)", "a.txt", 3);
  XEL_TRACE("File_ImportDriver", General_80, "not written %i", 1);
  struct Obj {
    const char* ClassName() const { return "File_Comp"; }
  } obj;
  XEL_TRACE_OBJ(&obj, General_Error, "obj %d", 7);
  TraceUnconditional("raw %s", "line");
  ::testing::internal::CaptureStdout();
  ConsolePrint("Progress %i^", 50);  // the caret suppresses the line end
  ConsolePrint("done");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Progress 50done\n");
  std::ostringstream object;
  object << "{\"File_Comp\" 0x" << std::hex << reinterpret_cast<uintptr_t>(&obj) << "} obj 7";
  EXPECT_EQ(capture.lines,
            (std::vector<std::string>{"{8 \"File_ImportDriver\"} found a.txt (3)", object.str(),
                                      "raw line", "{99 \"Console\"} Progress 50^",
                                      "{99 \"Console\"} done"}));
  EXPECT_EQ(std::vector<uint32_t>(capture.ids.end() - 5, capture.ids.end() - 2),
            (std::vector<uint32_t>{1, 1, 0}));
  SetMasterTraceLevel(0);
  ::testing::internal::CaptureStdout();
  ConsolePrintIds(ConsoleOutput, ConsoleTrace, "quiet");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  // A null writer restores the default; channels outside the table have none.
  EXPECT_EQ(SetLogWriter(LogChannelTrace, nullptr), &capture);
  EXPECT_EQ(GetLogWriter(LogChannelTrace), &LogWriterStandard::Instance());
  EXPECT_EQ(SetLogWriter(LogChannelCount, &capture), nullptr);
  EXPECT_EQ(GetLogWriter(-1), nullptr);
}

TEST(RelativeSourceName, TakesThePathFromSrcWithBackslashes) {
  const std::pair<const char*, const char*> cases[] = {
      {"/work/main/XelLib/src/xel/Component.cc", "..\\src\\xel\\Component.cc"},
      {"/a/src/b/XELC_File/src/FileComponent.cc", "..\\src\\FileComponent.cc"},
      {"src/x.cc", "..\\src\\x.cc"},
      {"/tmp/other/y.cc", "..\\y.cc"},
      {nullptr, ""}};
  for (const auto& [path, want] : cases) EXPECT_EQ(RelativeSourceName(path), want);
}

TEST(TraceAssertDeathTest, AssertionsAndUnknownChannelsWriteTheFatalRecordAndExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TraceCapture writer(LogChannelFatal, true);
  int zero = 0;
  // Patterns use only what GoogleTest's simple regular expressions (Windows) and the POSIX
  // ones have in common; the line is that of the assertion below.
  const std::string line = std::to_string(__LINE__ + 1);
  EXPECT_EXIT(XEL_ASSERT(zero == 1), ::testing::ExitedWithCode(1),
              "Assertion:\nFile=\\.\\.\\\\src\\\\util\\\\Trace_test\\.cc Line=" + line +
                  "\nExp=zero == 1 \n");
  EXPECT_EXIT(XEL_ASSERT_DIAG(zero == 1, "count=3"), ::testing::ExitedWithCode(1),
              "Diagnostic Value=count=3\n");
  EXPECT_EXIT(XEL_ASSERT_DIAG(zero == 1, nullptr), ::testing::ExitedWithCode(1),
              "Diagnostic Value=n/a\n");
  LogRecord r;
  r.channel = 7;
  r.format = "x";
  EXPECT_EXIT(WriteLogRecord(r), ::testing::ExitedWithCode(1), "Invalid Log Channel 7");
}

// Child mode (runs before main, see ChildProcess.h): the standard writer's fatal stop with
// args[0] as the trace file.
XEL_CHILD_MODE(standard_fatal) {
  if (args.empty()) return 2;
  trace_internal::SetStandardFatalDelayMs(0);
  SetTraceFile(args[0]);
  AssertionFailed("/x/src/a.cc", 7, "p != nullptr", nullptr);
}

class TraceFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetTraceFile("");
    std::remove(M_Path.c_str());
  }
  std::vector<std::string> Lines() {
    std::ifstream in(M_Path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  const std::string M_Path =
      osal::TempDirectory() + "xel_trace_test_" + std::to_string(osal::CurrentProcessId()) + ".log";
};

TEST_F(TraceFileTest, StandardWriterEmptiesTheFileAndPrefixesTimeAndThread) {
  std::ofstream(M_Path) << "left over\n";
  SetMasterTraceLevel(60);
  SetTraceFile(M_Path);
  XEL_TRACE("Cat", General_Info, "hello %i", 5);
  LogRecord event;
  event.channel = LogChannelEvent;
  event.format = "alert";
  event.AddText("Tirzel");
  LogWriterStandard::Instance().Write(event);
  SetMasterTraceLevel(0);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);  // "Set Master Trace to 0" is the third
  EXPECT_TRUE(std::regex_match(lines[0],
                               std::regex(R"(\[\d\d:\d\d:\d\d\.\d\d\d \d+\] \{4 "Cat"\} hello 5)")))
      << lines[0];
  EXPECT_THAT(lines[1], HasSubstr("] LogWriterStandard Event. Message={\"Tirzel\"} alert"));
  EXPECT_THAT(lines[2], HasSubstr("{1 \"Trace\"} Set Master Trace to 0"));
  // A file that cannot be opened takes nothing and fails nothing.
  SetTraceFile("/nonexistent-dir/x/trace.log");
  TraceUnconditional("goes nowhere");
  SetTraceFile(M_Path);
  TraceUnconditional("second");
  EXPECT_EQ(Lines().size(), 1u);
}

// The fatal stop ends the process: a child writes the file named here and prints the reason.
TEST_F(TraceFileTest, StandardFatalWritesReasonPrintsAndExits) {
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start("standard_fatal", {M_Path}));
  std::string blank, printed;  // the reason is printed after an empty line
  ASSERT_TRUE(child.ReadLine(&blank, 10000) && child.ReadLine(&printed, 10000));
  EXPECT_EQ(blank + "|" + printed, "|Fatal Error: Assertion:");
  int code = -1;
  EXPECT_TRUE(child.Wait(10000, &code) && code == 1);
  std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("LogWriterStandard Terminates Process. Reason=Assertion:"));
  EXPECT_EQ(lines[1], "File=..\\src\\a.cc Line=7");
}

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
  EXPECT_TRUE(std::regex_match(l[2], std::regex(R"((0x)?[0-9a-f]+: \S+ \S+( [0-9a-f]{8}){6})")))
      << l[2];
  const size_t raw = std::find(l.begin(), l.end(), "") - l.begin() + 1;
  ASSERT_LT(raw, l.size());
  EXPECT_TRUE(std::regex_match(
      l[raw],
      std::regex(R"(Start of RAW Stack Dump \(location=nested, Address=.*, requested size=256\))")))
      << l[raw];
  // 256 bytes are 64 words, eight per line.
  ASSERT_EQ(l.size() - raw - 1, 8u);
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
  EXPECT_TRUE(
      std::any_of(l.begin(), l.end(), [&](auto& text) { return std::regex_match(text, line); }));
  capture.lines.clear();
  ListActiveThreads(0);
  EXPECT_TRUE(l.empty());
}

}  // namespace
}  // namespace velmora::util
