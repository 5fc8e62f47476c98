// Tests of child processes, their peak memory, processes taken on by id, and shared libraries.
#include "osal/Process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "osal/Library.h"
#include "osal/ProcessMemory.h"
#include "osal/System.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

using enum ErrorKind;

// Child modes (run before main, see ChildProcess.h).
XEL_CHILD_MODE(exit_with) { return std::stoi(args.at(0)); }

XEL_CHILD_MODE(echo_args) {
  for (const std::string& a : args) testing::ChildSay("[" + a + "]");
  std::fputs("last line without end", stdout);
  return 0;
}

XEL_CHILD_MODE(cwd_and_streams) {
  std::string dir;
  std::fputs((GetWorkingDirectory(&dir).ok() ? dir : "?").c_str(), stdout);
  std::fputs("to err\n", stderr);
  return 0;
}

// Touches (and frees) the megabytes it is given, says "ready" and waits to be killed.
XEL_CHILD_MODE(wait_to_be_killed) {
  {
    std::vector<char> block(std::stoul(args.at(0)) << 20);
    std::memset(block.data(), 1, block.size());
  }
  testing::ChildSay("ready");
  testing::ChildWaitToBeKilled();
}

std::atomic<bool> g_bInterrupted{false};
XEL_CHILD_MODE(await_interrupt) {
  OnInterruptRequest([] { g_bInterrupted.store(true); });
  testing::ChildSay("ready");
  for (int i = 0; i < 2000 && !g_bInterrupted.load(); ++i) SleepMs(10);
  return g_bInterrupted.load() ? 7 : 1;
}

// Starts a grandchild and ends before it, leaving it orphaned.
XEL_CHILD_MODE(orphan_maker) {
  Process p;
  const ProcessOptions o = {.stdout_mode = ChildOutput::kToStderr};
  if (!p.Start(CurrentExecutablePath(), {"--child=wait_to_be_killed", "0"}, o).ok()) return 1;
  testing::ChildSay(std::to_string(p.id()));
  TerminateProcess(0);  // without the destructor, which would kill it
}

std::string Self() { return CurrentExecutablePath(); }

const ProcessOptions kPiped = {.stdout_mode = ChildOutput::kPipe};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), {});
  std::erase(all, '\r');
  return all;
}

TEST(ProcessTest, ExitCodesKillTimeOutsAndPeakMemory) {
  for (int code : {0, 3, 255}) {
    Process p;
    ASSERT_TRUE(p.Start(Self(), {"--child=exit_with", std::to_string(code)}).ok() &&
                p.Wait(20000).ok());
    EXPECT_TRUE(p.id() != 0 && p.HasEnded() && !p.exit().killed && p.exit().code == code);
    EXPECT_EQ(p.exit().Describe(), "exited with code " + std::to_string(code));
  }
  Process p;
  std::string line;
  uint64_t peak = 0;
  ASSERT_TRUE(p.Start(Self(), {"--child=wait_to_be_killed", "96"}, kPiped).ok() &&
              p.ReadLine(&line, 20000) && PeakResidentMemory(p.id(), &peak).ok());
  // The peak counts memory the child has freed already.
  EXPECT_TRUE(peak >= (96u << 20) && peak < (160u << 20)) << peak;
  const uint64_t t0 = TickCountMs();
  EXPECT_FALSE(p.ReadLine(&line, 100));
  EXPECT_GE(TickCountMs() - t0, 90u);
  EXPECT_TRUE(p.Wait(50).Is(kTimeout) && !p.HasEnded());
  ASSERT_TRUE(p.Kill().ok() && p.Wait(20000).ok());
  EXPECT_TRUE(p.exit().killed && p.exit().Describe().find("killed") != std::string::npos);
  EXPECT_TRUE(p.Kill().ok());  // ended already
  EXPECT_FALSE(PeakResidentMemory(p.id(), &peak).ok());
}

TEST(ProcessTest, ArgumentsArriveUnchangedAndOutputComesLineByLine) {
  // Blanks, quotes and backslashes where the Windows command line's quoting treats them
  // differently, an empty argument, and UTF-8.
  const std::vector<std::string> args = {
      "--child=echo_args", "plain", "",        "two words", "tab\there", "say \"hi\"", "\"",
      "back\\slash",       "end\\", "end\\\\", "\\\"",      "a\\\\\"b",  "\xC3\xBC"};
  Process p;
  ASSERT_TRUE(p.Start(Self(), args, kPiped).ok());
  std::string line;
  for (size_t i = 1; i < args.size(); ++i) {
    ASSERT_TRUE(p.ReadLine(&line, 20000)) << i;
    EXPECT_EQ(line, "[" + args[i] + "]");
  }
  ASSERT_TRUE(p.ReadLine(&line, 20000));
  EXPECT_EQ(line, "last line without end");
  EXPECT_FALSE(p.ReadLine(&line, 20000));  // the output is closed
  EXPECT_TRUE(p.Wait(20000).ok() && p.exit().code == 0);
}

TEST(ProcessTest, WorkingDirectoryOutputFilesAndStartFailures) {
  testing::TempDir dir("xelproc");
  const ProcessOptions o = {.working_dir = dir.Join("work dir"),
                            .stdout_mode = ChildOutput::kFile,
                            .stdout_file = dir.Join("out.txt"),
                            .stderr_file = dir.Join("err.txt")};
  std::filesystem::create_directory(o.working_dir);
  Process p;
  ASSERT_TRUE(p.Start(Self(), {"--child=cwd_and_streams"}, o).ok() && p.Wait(20000).ok());
  EXPECT_TRUE(std::filesystem::equivalent(ReadFile(o.stdout_file), o.working_dir));
  EXPECT_EQ(ReadFile(o.stderr_file), "to err\n");
  std::ofstream(dir.Join("not-a-program")) << "plain text\n";
  for (auto [program, folder, kind] : {std::tuple{dir.Join("missing-program"), "", kNotFound},
                                       {dir.Join("not-a-program"), "", kAccessDenied},
                                       {Self(), "missing-folder", kNotFound}}) {
    SCOPED_TRACE(program + " in " + folder);
    Process q;
    Status s = q.Start(program, {"--child=exit_with", "0"}, {.working_dir = dir.Join(folder)});
    EXPECT_TRUE(s.Is(kind) && !q.IsStarted()) << s.Text();
  }
}

TEST(ProcessTest, InterruptReachesADetachedChild) {
  Process p;
  const ProcessOptions o = {.stdout_mode = ChildOutput::kPipe, .detach_interrupt = true};
  std::string line;
  ASSERT_TRUE(p.Start(Self(), {"--child=await_interrupt"}, o).ok() && p.ReadLine(&line, 20000));
  Status s = p.Interrupt();
  if (s.Is(kNotSupported)) GTEST_SKIP() << "the system cannot deliver the interrupt: " << s.Text();
  ASSERT_TRUE(s.ok() && p.Wait(30000).ok()) << s.Text();
  EXPECT_EQ(p.exit().Describe(), "exited with code 7");
}

TEST(ProcessTest, AnOrphanedGrandchildCanBeTakenOnByItsId) {
  ASSERT_TRUE(AdoptOrphanedDescendants().ok());
  testing::ChildProcess maker;
  std::string line;
  int code = -1;
  ASSERT_TRUE(maker.Start("orphan_maker") && maker.ReadLine(&line, 20000) &&
              maker.Wait(20000, &code) && code == 0);
  Process orphan;
  ASSERT_TRUE(orphan.Attach(static_cast<uint32_t>(std::stoul(line))).ok() && !orphan.HasEnded());
  EXPECT_TRUE(orphan.Kill().ok() && orphan.Wait(20000).ok() && orphan.exit().killed);
}

TEST(SharedLibraryTest, LoadsTheConnectorAndReportsWhatIsMissing) {
  testing::TempDir dir("xellib");
  SharedLibrary lib;
  EXPECT_TRUE(lib.Load(dir.Join(SharedLibraryFileName("missing"))).Is(kNotFound) &&
              !lib.error().empty());
  std::ofstream(dir.Join(SharedLibraryFileName("text"))) << "not a library\n";
  Status s = lib.Load(dir.Join(SharedLibraryFileName("text")));
  EXPECT_TRUE(!s.ok() && s.kind() != kNotFound && !lib.error().empty() && !lib.IsLoaded());
  // The connector's library of this build (build/XelLib/src/osal -> build/XELC_File).
  const std::filesystem::path plugin = std::filesystem::path(Self()).parent_path() / "../../.." /
                                       "XELC_File" / SharedLibraryFileName("XelcFile");
  if (!std::filesystem::exists(plugin)) GTEST_SKIP() << plugin.string() << " is not built";
  ASSERT_TRUE(lib.Load(plugin.string()).ok()) << lib.error();
  EXPECT_NE(lib.Symbol("XelEvent"), nullptr) << lib.error();
  EXPECT_TRUE(lib.Symbol("NoSuchExport") == nullptr &&
              lib.error().find("NoSuchExport") != std::string::npos)
      << lib.error();
  // Its runtime may leave threads behind, as a host knows: it stays loaded.
  lib.Keep();
  EXPECT_FALSE(lib.IsLoaded());
}

}  // namespace
}  // namespace velmora::osal
