// Tests of named shared memory, mutexes and events, in-process and across processes.
#include "osal/SharedMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ChildProcess.h"
#include "osal/System.h"
#include "osal/Thread.h"
#include "osal/WaitHandle.h"

namespace velmora::osal {
namespace {

using testing::ChildProcess;
using testing::ChildSay;
using enum ErrorKind;
using Kinds = std::vector<ErrorKind>;

// One object of each kind, named base + "_Mem", "_Mutex" and "_Event".
struct Objects {
  SharedMemory memory;
  NamedMutex mutex;
  NamedEvent event;
  Kinds Create(const std::string& base, const ObjectAccess& access = {}) {
    return {memory.Create(base + "_Mem", 64, access).kind(),
            mutex.Create(base + "_Mutex", false, access).kind(),
            event.Create(base + "_Event", false, false, access).kind()};
  }
  Kinds Open(const std::string& base) {
    return {memory.Open(base + "_Mem").kind(), mutex.Open(base + "_Mutex").kind(),
            event.Open(base + "_Event").kind()};
  }
  bool RemoveNamesIfAbandoned() {
    const bool bMemory = memory.RemoveNameIfAbandoned(), bMutex = mutex.RemoveNameIfAbandoned();
    return event.RemoveNameIfAbandoned() || bMemory || bMutex;
  }
  void Close() {
    memory.Close();
    mutex.Close();
    event.Close();
  }
};
const Kinds kAllOk(3, kNone), kAllExist(3, kExists), kAllMissing(3, kNotFound);

// Takes the named mutex, says "locked", and holds it until it is killed.
XEL_CHILD_MODE(hold_mutex) {
  NamedMutex mutex;
  if (!mutex.Open(args.at(0)).ok() || !mutex.Acquire(5000).ok()) return 2;
  ChildSay("locked");
  testing::ChildWaitToBeKilled();
}

XEL_CHILD_MODE(write_shm) {
  SharedMemory memory;
  if (!memory.Open(args.at(0)).ok() || memory.size() <= args.at(1).size()) return 2;
  std::memcpy(memory.data(), args.at(1).c_str(), args.at(1).size() + 1);
  return 0;
}

// Sets the named event once the parent is waiting.
XEL_CHILD_MODE(set_event) {
  NamedEvent event;
  if (!event.Open(args.at(0)).ok()) return 2;
  SleepMs(30);
  return event.Set().ok() ? 0 : 3;
}

// Creates one object of each kind, says "created" and waits to be killed, never closing them.
XEL_CHILD_MODE(create_and_die) {
  Objects objects;
  if (objects.Create(args.at(0)) != kAllOk) return 2;
  ChildSay("created");
  testing::ChildWaitToBeKilled();
}

std::string UniqueName(const char* what) {
  static std::atomic<int> counter{0};
  return "XelOsalTest_" + std::to_string(CurrentProcessId()) + "_" + what + "_" +
         std::to_string(++counter);
}

// Starts a child and waits for its first line, which must be expected.
void StartChild(ChildProcess& child, const char* mode, const std::vector<std::string>& args,
                const char* expected) {
  ASSERT_TRUE(child.Start(mode, args));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, expected);
}

int EndChild(ChildProcess& child, bool bKill) {
  if (bKill) child.Kill();
  int exit_code = -1;
  EXPECT_TRUE(child.Wait(10000, &exit_code));
  return exit_code;
}

TEST(SharedMemoryTest, CreateOpenAndRemoveOnClose) {
  // "Local\" is the namespace prefix every Windows account may create objects in.
  for (auto [name, size] : {std::pair{UniqueName("mem"), 4096},
                            {UniqueName("odd"), 100},
                            {"Local\\" + UniqueName("sep") + "/x", 64}}) {
    SCOPED_TRACE(name);
    SharedMemory creator, again, opener, late;
    ASSERT_TRUE(creator.Create(name, size).ok());
    EXPECT_EQ(creator.size(), size_t(size));
    EXPECT_EQ(static_cast<const char*>(creator.data())[size - 1], 0);  // zero-filled
    EXPECT_EQ(again.Create(name, size).kind(), kExists);
    ASSERT_TRUE(opener.Open(name).ok());
    EXPECT_GE(opener.size(), size_t(size));
    std::strcpy(static_cast<char*>(creator.data()), "shared");
    static_cast<char*>(opener.data())[size - 1] = 'z';
    EXPECT_STREQ(static_cast<const char*>(opener.data()), "shared");
    EXPECT_EQ(static_cast<const char*>(creator.data())[size - 1], 'z');
    creator.Close();
    EXPECT_EQ(late.Open(name).kind(), kNotFound);
    EXPECT_STREQ(static_cast<const char*>(opener.data()), "shared");  // mapping survives
  }
  SharedMemory bad;
  EXPECT_EQ(bad.Create("", 10).kind(), kInvalid);
  EXPECT_EQ(bad.Create(UniqueName("zero"), 0).kind(), kInvalid);
  EXPECT_EQ(bad.Open(std::string(300, 'x')).kind(), kInvalid);
  EXPECT_EQ(bad.Open(std::string("a\0b", 3)).kind(), kInvalid);
}

TEST(SharedMemoryTest, ChildWritesParentReads) {
  const std::string name = UniqueName("child_mem");
  SharedMemory memory;
  ASSERT_TRUE(memory.Create(name, 256).ok());
  ChildProcess child;
  ASSERT_TRUE(child.Start("write_shm", {name, "written by child"}));
  EXPECT_EQ(EndChild(child, false), 0);
  EXPECT_STREQ(static_cast<const char*>(memory.data()), "written by child");
}

TEST(SharedMemoryTest, ALiveCreatorKeepsItsNamesAKilledCreatorsNamesGo) {
  const std::string base = UniqueName("leftover");
  ChildProcess child, second;
  StartChild(child, "create_and_die", {base}, "created");
  Objects objects;
  EXPECT_EQ(objects.Create(base), kAllExist);
  EXPECT_EQ(RemoveLeftoverNamedObjects(base), 0);
  ASSERT_EQ(objects.Open(base), kAllOk);
  EXPECT_FALSE(objects.RemoveNamesIfAbandoned()) << "a live creator's name was removed";
  EndChild(child, true);
  // The openers that notice the death remove the names (POSIX); Windows drops them with the
  // last handle. Either way nobody finds them afterwards.
  (void)objects.RemoveNamesIfAbandoned();
  objects.Close();
  EXPECT_EQ(objects.Open(base), kAllMissing);
  // Without anyone to notice, the next creator of a name takes it over.
  StartChild(second, "create_and_die", {base}, "created");
  EndChild(second, true);
  EXPECT_EQ(objects.Create(base), kAllOk);
  EXPECT_EQ(RemoveLeftoverNamedObjects(base), 0) << "the new creator's names must stay";
  SharedMemory opener;
  EXPECT_TRUE(opener.Open(base + "_Mem").ok());
}

TEST(SharedMemoryTest, OpenersLearnWhetherEveryAccountMayWrite) {
  for (bool bAny : {false, true}) {
    SCOPED_TRACE(bAny ? "every account" : "owner only");
    const std::string base = UniqueName("acl");
    ObjectAccess access;
    access.M_bAnyAccount = bAny;
    Objects creator, opener;
    ASSERT_EQ(creator.Create(base, access), kAllOk);
    ASSERT_EQ(opener.Open(base), kAllOk);
    EXPECT_EQ(opener.memory.AnyAccountMayWrite(), bAny);
    EXPECT_EQ(opener.mutex.AnyAccountMayWrite(), bAny);
    EXPECT_EQ(opener.event.AnyAccountMayWrite(), bAny);
  }
  ObjectAccess unknown;
  unknown.M_Group = "xel-no-such-group-" + std::to_string(CurrentProcessId());
  EXPECT_EQ(CheckObjectAccess(unknown).kind(), kNotFound);
  SharedMemory memory;
  EXPECT_EQ(memory.Create(UniqueName("badgroup"), 64, unknown).kind(), kNotFound);
  EXPECT_TRUE(CheckObjectAccess(ObjectAccess()).ok());
}

TEST(NamedMutexTest, OwnershipTimeoutsAndRelease) {
  const std::string name = UniqueName("mtx");
  NamedMutex owner, again, other, missing;
  ASSERT_TRUE(owner.Create(name, true).ok());
  EXPECT_EQ(again.Create(name).kind(), kExists);
  EXPECT_EQ(owner.Acquire(0).kind(), kInvalid);  // not recursive
  ASSERT_TRUE(other.Open(name).ok());
  // Not recursive either through another object of the same name.
  EXPECT_EQ(other.Acquire(0).kind(), kInvalid);
  Status s1, s2, s4;
  uint64_t waited = 0;
  std::thread([&] {
    s1 = other.Acquire(0);
    const uint64_t start = TickCountMs();
    s2 = other.Acquire(50);
    waited = TickCountMs() - start;
    s4 = other.Release();  // not the owner
  }).join();
  EXPECT_EQ(s1.kind(), kTimeout);
  EXPECT_EQ(s2.kind(), kTimeout);
  EXPECT_GE(waited, 45u) << "the timed wait returned early";
  EXPECT_EQ(s4.kind(), kAccessDenied) << s4.code();
  ASSERT_TRUE(owner.Release().ok());
  EXPECT_FALSE(owner.Release().ok());  // no longer the owner
  ASSERT_TRUE(other.Acquire(100).ok() && other.Release().ok());
  EXPECT_EQ(missing.Open(UniqueName("none")).kind(), kNotFound);
  EXPECT_EQ(missing.Acquire(0).kind(), kInvalid);
}

TEST(NamedMutexTest, ClosingTheOwnerReleasesIt) {
  const std::string name = UniqueName("mtx_close");
  NamedMutex waiter;
  {
    NamedMutex owner;
    ASSERT_TRUE(owner.Create(name, true).ok() && waiter.Open(name).ok());
  }
  // Another thread, so that this thread's ownership could not hide a missing release.
  Status taken;
  std::thread([&] {
    taken = waiter.Acquire(0);
    if (taken.ok()) (void)waiter.Release();
  }).join();
  EXPECT_TRUE(taken.ok()) << taken.code();
}

// An owner that ends without releasing, a thread or a killed process, abandons the mutex; it
// is made consistent and works normally afterwards.
TEST(NamedMutexTest, AnOwnerEndingWhileOwningAbandonsIt) {
  for (bool bProcess : {false, true}) {
    SCOPED_TRACE(bProcess ? "process" : "thread");
    const std::string name = UniqueName("mtx_abandon");
    NamedMutex mutex, in_thread;
    ASSERT_TRUE(mutex.Create(name).ok());
    ChildProcess child;
    if (bProcess) {
      StartChild(child, "hold_mutex", {name}, "locked");
      EXPECT_EQ(mutex.Acquire(0).kind(), kTimeout);  // held by a live process
      child.Kill();
    } else {
      ASSERT_TRUE(in_thread.Open(name).ok());
      OsThread thread;
      Status taken;
      ASSERT_TRUE(thread.Start("owner", [&] { taken = in_thread.Acquire(1000); }).ok() &&
                  thread.Join().ok() && taken.ok());
    }
    const uint64_t start = TickCountMs();
    Status s = mutex.Acquire(5000);
    EXPECT_EQ(s.kind(), kAbandoned) << s.code();
    EXPECT_LT(TickCountMs() - start, 5000u);
    ASSERT_TRUE(mutex.Release().ok() && mutex.Acquire(0).ok() && mutex.Release().ok());
  }
}

TEST(NamedEventTest, AutoAndManualReset) {
  const std::string name = UniqueName("evt");
  NamedEvent automatic, again, opened, manual, closed;
  ASSERT_TRUE(automatic.Create(name, false, true).ok());
  EXPECT_EQ(again.Create(name, false).kind(), kExists);
  ASSERT_TRUE(opened.Open(name).ok());
  EXPECT_TRUE(opened.Wait(0).ok());
  EXPECT_EQ(automatic.Wait(0).kind(), kTimeout);  // consumed by the first wait
  const uint64_t start = TickCountMs();
  EXPECT_EQ(automatic.Wait(40).kind(), kTimeout);
  EXPECT_GE(TickCountMs() - start, 39u);
  // One Set wakes exactly one of two waiters.
  std::atomic<int> woken{0};
  std::thread w1([&] { woken += opened.Wait(300).ok(); });
  std::thread w2([&] { woken += automatic.Wait(300).ok(); });
  SleepMs(30);
  ASSERT_TRUE(automatic.Set().ok());
  w1.join();
  w2.join();
  EXPECT_EQ(woken.load(), 1);
  ASSERT_TRUE(manual.Create(UniqueName("evt_manual"), true).ok());
  EXPECT_EQ(manual.Wait(0).kind(), kTimeout);
  ASSERT_TRUE(manual.Set().ok());
  EXPECT_TRUE(manual.Wait(0).ok());
  EXPECT_TRUE(manual.Wait(0).ok());
  ASSERT_TRUE(manual.Reset().ok());
  EXPECT_EQ(manual.Wait(0).kind(), kTimeout);
  EXPECT_EQ(closed.Set().kind(), kInvalid);
  EXPECT_EQ(closed.Open(UniqueName("none")).kind(), kNotFound);
}

// Two threads, each with its own handle, bounce 500 signals; a lost wake-up would stall one
// side until the 2 s time-out.
TEST(NamedEventTest, PingPongLosesNoWakeUp) {
  const std::string ping_name = UniqueName("ping"), pong_name = UniqueName("pong");
  NamedEvent ping, pong;
  ASSERT_TRUE(ping.Create(ping_name, false).ok() && pong.Create(pong_name, false).ok());
  constexpr int kRounds = 500;
  std::atomic<int> answered{0};
  std::thread peer([&] {
    NamedEvent in, out;
    if (!in.Open(ping_name).ok() || !out.Open(pong_name).ok()) return;
    for (int i = 0; i < kRounds && in.Wait(2000).ok() && out.Set().ok(); ++i) ++answered;
  });
  int round = 0;
  for (; round < kRounds && ping.Set().ok() && pong.Wait(2000).ok(); ++round) {
  }
  peer.join();
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(answered.load(), kRounds);
}

TEST(NamedEventTest, EventSetByChildWakesParent) {
  const std::string name = UniqueName("evt_child");
  NamedEvent event;
  ASSERT_TRUE(event.Create(name, false).ok());
  ChildProcess child;
  ASSERT_TRUE(child.Start("set_event", {name}));
  EXPECT_TRUE(event.Wait(10000).ok());
  EXPECT_EQ(EndChild(child, false), 0);
}

}  // namespace
}  // namespace velmora::osal
