// Tests of child processes (start, exit code, output, working directory, kill, interrupt,
// processes taken on by id) and of shared libraries.
#include "osal/Process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "osal/Library.h"
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

XEL_CHILD_MODE(print_cwd) {
  std::string dir;
  testing::ChildSay(GetWorkingDirectory(&dir).ok() ? dir : "?");
  return 0;
}

XEL_CHILD_MODE(both_streams) {
  std::fputs("to out\n", stdout);
  std::fputs("to err\n", stderr);
  return 0;
}

XEL_CHILD_MODE(sleep_forever) {
  if (args.empty()) testing::ChildSay("ready");
  for (;;) SleepMs(1000);
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
  ProcessOptions o;
  o.stdout_mode = ChildOutput::kToStderr;
  if (!p.Start(CurrentExecutablePath(), {"--child=sleep_forever", "quiet"}, o).ok()) return 1;
  testing::ChildSay(std::to_string(p.id()));
  TerminateProcess(0);  // without the destructor, which would kill it
}

std::string Self() { return CurrentExecutablePath(); }

ProcessOptions Piped() {
  ProcessOptions o;
  o.stdout_mode = ChildOutput::kPipe;
  return o;
}

TEST(ProcessTest, ExitCodeAndDescription) {
  for (int code : {0, 3, 255}) {
    Process p;
    ASSERT_TRUE(p.Start(Self(), {"--child=exit_with", std::to_string(code)}).ok());
    EXPECT_NE(p.id(), 0u);
    ASSERT_TRUE(p.Wait(20000).ok());
    EXPECT_TRUE(p.HasEnded());
    EXPECT_FALSE(p.exit().killed);
    EXPECT_EQ(p.exit().code, code);
    EXPECT_EQ(p.exit().Describe(), "exited with code " + std::to_string(code));
  }
}

TEST(ProcessTest, ArgumentsArriveUnchangedAndOutputComesLineByLine) {
  // Blanks, quotes and backslashes in every position that the Windows command line's quoting
  // rules treat differently, an empty argument, and UTF-8.
  const std::vector<std::string> args = {"--child=echo_args",
                                         "plain",
                                         "",
                                         "two words",
                                         "tab\there",
                                         "say \"hi\"",
                                         "\"",
                                         "back\\slash",
                                         "end\\",
                                         "end\\\\",
                                         "\\\"",
                                         "a\\\\\"b",
                                         "\xC3\xBC\xE2\x82\xAC"};
  Process p;
  ASSERT_TRUE(p.Start(Self(), args, Piped()).ok());
  std::string line;
  for (size_t i = 1; i < args.size(); ++i) {
    ASSERT_TRUE(p.ReadLine(&line, 20000)) << i;
    EXPECT_EQ(line, "[" + args[i] + "]");
  }
  ASSERT_TRUE(p.ReadLine(&line, 20000));
  EXPECT_EQ(line, "last line without end");
  EXPECT_FALSE(p.ReadLine(&line, 20000));  // the output is closed
  ASSERT_TRUE(p.Wait(20000).ok());
  EXPECT_EQ(p.exit().code, 0);
}

TEST(ProcessTest, WorkingDirectoryAndOutputFiles) {
  testing::TempDir dir("xelproc");
  const std::string work = dir.Join("work dir");
  std::filesystem::create_directory(work);
  Process p, q;
  ProcessOptions o = Piped();
  o.working_dir = work;
  ASSERT_TRUE(q.Start(Self(), {"--child=print_cwd"}, o).ok());
  std::string line;
  ASSERT_TRUE(q.ReadLine(&line, 20000));
  EXPECT_TRUE(std::filesystem::equivalent(line, work)) << line;
  o.working_dir.clear();
  o.stdout_mode = ChildOutput::kFile;
  o.stdout_file = dir.Join("out.txt");
  o.stderr_file = dir.Join("err.txt");
  ASSERT_TRUE(p.Start(Self(), {"--child=both_streams"}, o).ok() && p.Wait(20000).ok());
  for (auto [file, text] : {std::pair{o.stdout_file, "to out\n"}, {o.stderr_file, "to err\n"}}) {
    std::ifstream in(file, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), {});
    std::erase(all, '\r');
    EXPECT_EQ(all, text);
  }
}

TEST(ProcessTest, StartFailuresAreClassified) {
  testing::TempDir dir("xelproc");
  std::ofstream(dir.Join("not-a-program")) << "plain text\n";
  for (auto [program, folder, kind] : {std::tuple{dir.Join("missing-program"), "", kNotFound},
                                       {dir.Join("not-a-program"), "", kAccessDenied},
                                       {Self(), "missing-folder", kNotFound}}) {
    SCOPED_TRACE(program + " in " + folder);
    Process p;
    ProcessOptions o;
    o.working_dir = *folder ? dir.Join(folder) : "";
    Status s = p.Start(program, {"--child=exit_with", "0"}, o);
    EXPECT_EQ(s.kind(), kind) << s.Text();
    EXPECT_FALSE(p.IsStarted());
  }
}

TEST(ProcessTest, KillEndsTheChildAndReadLineTimesOut) {
  Process p;
  ASSERT_TRUE(p.Start(Self(), {"--child=sleep_forever"}, Piped()).ok());
  std::string line;
  ASSERT_TRUE(p.ReadLine(&line, 20000));
  const uint64_t t0 = TickCountMs();
  EXPECT_FALSE(p.ReadLine(&line, 100));
  EXPECT_GE(TickCountMs() - t0, 90u);
  EXPECT_TRUE(p.Wait(50).Is(kTimeout));
  EXPECT_FALSE(p.HasEnded());
  ASSERT_TRUE(p.Kill().ok() && p.Wait(20000).ok());
  EXPECT_TRUE(p.exit().killed);
  EXPECT_NE(p.exit().Describe().find("killed"), std::string::npos);
  EXPECT_TRUE(p.Kill().ok());  // ended already
}

TEST(ProcessTest, InterruptReachesADetachedChild) {
  Process p;
  ProcessOptions o = Piped();
  o.detach_interrupt = true;
  ASSERT_TRUE(p.Start(Self(), {"--child=await_interrupt"}, o).ok());
  std::string line;
  ASSERT_TRUE(p.ReadLine(&line, 20000));
  Status s = p.Interrupt();
  if (s.Is(kNotSupported)) {
    GTEST_SKIP() << "the system cannot deliver the interrupt here: " << s.Text();
  }
  ASSERT_TRUE(s.ok()) << s.Text();
  ASSERT_TRUE(p.Wait(30000).ok());
  EXPECT_EQ(p.exit().Describe(), "exited with code 7");
}

TEST(ProcessTest, AnOrphanedGrandchildCanBeTakenOnByItsId) {
  ASSERT_TRUE(AdoptOrphanedDescendants().ok());
  testing::ChildProcess maker;
  ASSERT_TRUE(maker.Start("orphan_maker"));
  std::string line;
  ASSERT_TRUE(maker.ReadLine(&line, 20000));
  int code = -1;
  ASSERT_TRUE(maker.Wait(20000, &code));
  EXPECT_EQ(code, 0);

  Process orphan;
  ASSERT_TRUE(orphan.Attach(static_cast<uint32_t>(std::stoul(line))).ok());
  EXPECT_FALSE(orphan.HasEnded());
  ASSERT_TRUE(orphan.Kill().ok() && orphan.Wait(20000).ok());
  EXPECT_TRUE(orphan.exit().killed);
}

TEST(SharedLibraryTest, LoadsTheConnectorAndReportsWhatIsMissing) {
  testing::TempDir dir("xellib");
  SharedLibrary lib;
  EXPECT_EQ(lib.Load(dir.Join(SharedLibraryFileName("missing"))).kind(), kNotFound);
  EXPECT_FALSE(lib.error().empty());
  std::ofstream(dir.Join(SharedLibraryFileName("text"))) << "not a library\n";
  Status s = lib.Load(dir.Join(SharedLibraryFileName("text")));
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.kind(), kNotFound);
  EXPECT_FALSE(lib.error().empty());
  EXPECT_FALSE(lib.IsLoaded());

  // The connector's library of this build (build/XelLib/src/osal -> build/XELC_File).
  const std::filesystem::path plugin = std::filesystem::path(Self()).parent_path() / "../../.." /
                                       "XELC_File" / SharedLibraryFileName("XelcFile");
  if (!std::filesystem::exists(plugin)) GTEST_SKIP() << plugin.string() << " is not built";
  ASSERT_TRUE(lib.Load(plugin.string()).ok()) << lib.error();
  EXPECT_NE(lib.Symbol("XelEvent"), nullptr) << lib.error();
  EXPECT_EQ(lib.Symbol("NoSuchExport"), nullptr);
  EXPECT_NE(lib.error().find("NoSuchExport"), std::string::npos) << lib.error();
  // Its runtime may leave threads behind, as a host knows: it stays loaded.
  lib.Keep();
  EXPECT_FALSE(lib.IsLoaded());
}

}  // namespace
}  // namespace velmora::osal
