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

namespace {

using velmora::osal::NamedEvent;
using velmora::osal::NamedMutex;
using velmora::osal::SharedMemory;
using velmora::testing::ChildSay;

// Child: takes the named mutex, says "locked", and holds it until it is killed.
XEL_CHILD_MODE(hold_mutex) {
  NamedMutex mutex;
  if (!mutex.Open(args.at(0)).ok() || !mutex.Acquire(5000).ok()) return 2;
  ChildSay("locked");
  velmora::testing::ChildWaitToBeKilled();
}

// Child: writes its second argument into the named shared memory.
XEL_CHILD_MODE(write_shm) {
  SharedMemory memory;
  if (!memory.Open(args.at(0)).ok() || memory.size() <= args.at(1).size()) return 2;
  std::memcpy(memory.data(), args.at(1).c_str(), args.at(1).size() + 1);
  return 0;
}

// Child: sets the named event once the parent is waiting.
XEL_CHILD_MODE(set_event) {
  NamedEvent event;
  if (!event.Open(args.at(0)).ok()) return 2;
  velmora::osal::SleepMs(30);
  return event.Set().ok() ? 0 : 3;
}

// Child: creates a memory, a mutex and an event under the given names, says "created" and
// waits to be killed, never closing them.
XEL_CHILD_MODE(create_and_die) {
  SharedMemory memory;
  NamedMutex mutex;
  NamedEvent event;
  if (!memory.Create(args.at(0) + "_Mem", 64).ok() || !mutex.Create(args.at(0) + "_Mutex").ok() ||
      !event.Create(args.at(0) + "_Event", false).ok()) {
    return 2;
  }
  ChildSay("created");
  velmora::testing::ChildWaitToBeKilled();
}

}  // namespace

namespace velmora::osal {
namespace {

using testing::ChildProcess;

std::string UniqueName(const char* what) {
  static std::atomic<int> counter{0};
  return "XelOsalTest_" + std::to_string(CurrentProcessId()) + "_" + what + "_" +
         std::to_string(++counter);
}

TEST(SharedMemoryTest, CreateOpenAndRemoveOnClose) {
  std::string name = UniqueName("mem");
  SharedMemory creator;
  ASSERT_TRUE(creator.Create(name, 4096).ok());
  EXPECT_EQ(creator.size(), 4096u);
  EXPECT_EQ(static_cast<const char*>(creator.data())[100], 0);  // zero-filled
  SharedMemory again;
  EXPECT_TRUE(again.Create(name, 4096).Is(ErrorKind::kExists));

  SharedMemory opener;
  ASSERT_TRUE(opener.Open(name).ok());
  EXPECT_GE(opener.size(), 4096u);
  std::strcpy(static_cast<char*>(creator.data()), "shared");
  EXPECT_STREQ(static_cast<const char*>(opener.data()), "shared");

  creator.Close();
  SharedMemory late;
  EXPECT_TRUE(late.Open(name).Is(ErrorKind::kNotFound));
  EXPECT_STREQ(static_cast<const char*>(opener.data()), "shared");  // mapping survives

  EXPECT_TRUE(late.Create("", 10).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(late.Create(name, 0).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(late.Open(std::string(300, 'x')).Is(ErrorKind::kInvalid));
  EXPECT_TRUE(late.Open(std::string("a\0b", 3)).Is(ErrorKind::kInvalid));
}

TEST(SharedMemoryTest, OpenerSeesAtLeastTheCreatedSize) {
  std::string name = UniqueName("odd");
  SharedMemory creator, opener;
  ASSERT_TRUE(creator.Create(name, 100).ok());
  ASSERT_TRUE(opener.Open(name).ok());
  EXPECT_GE(opener.size(), 100u);
  static_cast<char*>(opener.data())[99] = 'z';
  EXPECT_EQ(static_cast<const char*>(creator.data())[99], 'z');
}

TEST(SharedMemoryTest, SeparatorsInNamesAreAccepted) {
  // "Local\" is the namespace prefix every Windows account may create objects in.
  std::string name = "Local\\" + UniqueName("sep") + "/x";
  SharedMemory creator, opener;
  ASSERT_TRUE(creator.Create(name, 64).ok());
  ASSERT_TRUE(opener.Open(name).ok());
}

TEST(SharedMemoryTest, ChildWritesParentReads) {
  std::string name = UniqueName("child_mem");
  SharedMemory memory;
  ASSERT_TRUE(memory.Create(name, 256).ok());
  ChildProcess child;
  ASSERT_TRUE(child.Start("write_shm", {name, "written by child"}));
  int exit_code = -1;
  ASSERT_TRUE(child.Wait(10000, &exit_code));
  EXPECT_EQ(exit_code, 0);
  EXPECT_STREQ(static_cast<const char*>(memory.data()), "written by child");
}

TEST(SharedMemoryTest, ALiveCreatorKeepsItsNamesAKilledCreatorsNamesGo) {
  const std::string base = UniqueName("leftover");
  const std::string names[] = {base + "_Mem", base + "_Mutex", base + "_Event"};
  ChildProcess child;
  ASSERT_TRUE(child.Start("create_and_die", {base}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "created");

  SharedMemory memory;
  NamedMutex mutex;
  NamedEvent event;
  EXPECT_TRUE(memory.Create(names[0], 64).Is(ErrorKind::kExists));
  EXPECT_TRUE(mutex.Create(names[1]).Is(ErrorKind::kExists));
  EXPECT_TRUE(event.Create(names[2], false).Is(ErrorKind::kExists));
  EXPECT_EQ(RemoveLeftoverNamedObjects(base), 0);
  ASSERT_TRUE(memory.Open(names[0]).ok());
  ASSERT_TRUE(mutex.Open(names[1]).ok());
  ASSERT_TRUE(event.Open(names[2]).ok());
  EXPECT_FALSE(memory.RemoveNameIfAbandoned() || mutex.RemoveNameIfAbandoned() ||
               event.RemoveNameIfAbandoned())
      << "a live creator's name was removed";

  child.Kill();
  int exit_code = 0;
  ASSERT_TRUE(child.Wait(10000, &exit_code));
  // The openers that notice the death remove the names (POSIX); Windows drops them with the
  // last handle. Either way nobody finds them afterwards.
  (void)memory.RemoveNameIfAbandoned();
  (void)mutex.RemoveNameIfAbandoned();
  (void)event.RemoveNameIfAbandoned();
  memory.Close();
  mutex.Close();
  event.Close();
  EXPECT_TRUE(memory.Open(names[0]).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(mutex.Open(names[1]).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(event.Open(names[2]).Is(ErrorKind::kNotFound));

  // Without anyone to notice, the next creator of a name takes it over.
  ChildProcess second;
  ASSERT_TRUE(second.Start("create_and_die", {base}));
  ASSERT_TRUE(second.ReadLine(&line, 10000));
  second.Kill();
  ASSERT_TRUE(second.Wait(10000, &exit_code));
  EXPECT_TRUE(memory.Create(names[0], 64).ok());
  EXPECT_TRUE(mutex.Create(names[1]).ok());
  EXPECT_TRUE(event.Create(names[2], false).ok());
  EXPECT_EQ(RemoveLeftoverNamedObjects(base), 0) << "the new creator's names must stay";
  SharedMemory opener;
  EXPECT_TRUE(opener.Open(names[0]).ok());
}

TEST(SharedMemoryTest, OpenersLearnWhetherEveryAccountMayWrite) {
  for (bool any : {false, true}) {
    SCOPED_TRACE(any ? "every account" : "owner only");
    const std::string base = UniqueName("acl");
    ObjectAccess access;
    access.M_bAnyAccount = any;
    SharedMemory memory, memory_opener;
    NamedMutex mutex, mutex_opener;
    NamedEvent event, event_opener;
    ASSERT_TRUE(memory.Create(base + "_Mem", 64, access).ok());
    ASSERT_TRUE(mutex.Create(base + "_Mutex", false, access).ok());
    ASSERT_TRUE(event.Create(base + "_Event", false, false, access).ok());
    ASSERT_TRUE(memory_opener.Open(base + "_Mem").ok());
    ASSERT_TRUE(mutex_opener.Open(base + "_Mutex").ok());
    ASSERT_TRUE(event_opener.Open(base + "_Event").ok());
    EXPECT_EQ(memory_opener.AnyAccountMayWrite(), any);
    EXPECT_EQ(mutex_opener.AnyAccountMayWrite(), any);
    EXPECT_EQ(event_opener.AnyAccountMayWrite(), any);
  }
  ObjectAccess unknown;
  unknown.M_Group = "xel-no-such-group-" + std::to_string(CurrentProcessId());
  EXPECT_TRUE(CheckObjectAccess(unknown).Is(ErrorKind::kNotFound));
  SharedMemory memory;
  EXPECT_TRUE(memory.Create(UniqueName("badgroup"), 64, unknown).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(CheckObjectAccess(ObjectAccess()).ok());
}

TEST(NamedMutexTest, OwnershipTimeoutsAndRelease) {
  std::string name = UniqueName("mtx");
  NamedMutex owner;
  ASSERT_TRUE(owner.Create(name, true).ok());
  NamedMutex again;
  EXPECT_TRUE(again.Create(name).Is(ErrorKind::kExists));
  EXPECT_TRUE(owner.Acquire(0).Is(ErrorKind::kInvalid));  // not recursive

  NamedMutex other;
  ASSERT_TRUE(other.Open(name).ok());
  // Not recursive either through another object of the same name.
  EXPECT_TRUE(other.Acquire(0).Is(ErrorKind::kInvalid));
  Status s1, s2, s3, s4;
  std::thread t([&] {
    s1 = other.Acquire(0);
    uint64_t start = TickCountMs();
    s2 = other.Acquire(50);
    s3 = Status(TickCountMs() - start >= 45 ? ErrorKind::kNone : ErrorKind::kOther, 0);
    s4 = other.Release();  // not the owner
  });
  t.join();
  EXPECT_TRUE(s1.Is(ErrorKind::kTimeout));
  EXPECT_TRUE(s2.Is(ErrorKind::kTimeout));
  EXPECT_TRUE(s3.ok()) << "the timed wait returned early";
  EXPECT_TRUE(s4.Is(ErrorKind::kAccessDenied)) << s4.code();

  ASSERT_TRUE(owner.Release().ok());
  EXPECT_FALSE(owner.Release().ok());  // no longer the owner
  ASSERT_TRUE(other.Acquire(100).ok());
  ASSERT_TRUE(other.Release().ok());

  NamedMutex missing;
  EXPECT_TRUE(missing.Open(UniqueName("none")).Is(ErrorKind::kNotFound));
  EXPECT_TRUE(missing.Acquire(0).Is(ErrorKind::kInvalid));
}

TEST(NamedMutexTest, ClosingTheOwnerReleasesIt) {
  std::string name = UniqueName("mtx_close");
  NamedMutex waiter;
  {
    NamedMutex owner;
    ASSERT_TRUE(owner.Create(name, true).ok());
    ASSERT_TRUE(waiter.Open(name).ok());
  }
  // Another thread, so that this thread's ownership could not hide a missing release.
  Status taken;
  std::thread t([&] {
    taken = waiter.Acquire(0);
    if (taken.ok()) (void)waiter.Release();
  });
  t.join();
  EXPECT_TRUE(taken.ok()) << taken.code();
}

TEST(NamedMutexTest, ThreadEndingWhileOwningAbandonsIt) {
  std::string name = UniqueName("mtx_thread");
  NamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name).ok());
  NamedMutex in_thread;
  ASSERT_TRUE(in_thread.Open(name).ok());
  OsThread thread;
  Status taken;
  ASSERT_TRUE(thread.Start("owner", [&] { taken = in_thread.Acquire(1000); }).ok());
  ASSERT_TRUE(thread.Join().ok());
  ASSERT_TRUE(taken.ok());
  Status s = mutex.Acquire(1000);
  EXPECT_TRUE(s.Is(ErrorKind::kAbandoned)) << s.code();
  // The abandoned mutex was made consistent: it works normally afterwards.
  ASSERT_TRUE(mutex.Release().ok());
  ASSERT_TRUE(mutex.Acquire(0).ok());
  ASSERT_TRUE(mutex.Release().ok());
}

TEST(NamedMutexTest, KilledOwnerProcessIsReportedAsAbandoned) {
  std::string name = UniqueName("mtx_kill");
  NamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name).ok());
  ChildProcess child;
  ASSERT_TRUE(child.Start("hold_mutex", {name}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000));
  ASSERT_EQ(line, "locked");
  EXPECT_TRUE(mutex.Acquire(0).Is(ErrorKind::kTimeout));  // held by a live process

  child.Kill();
  uint64_t start = TickCountMs();
  Status s = mutex.Acquire(5000);
  EXPECT_TRUE(s.Is(ErrorKind::kAbandoned)) << s.code();
  EXPECT_LT(TickCountMs() - start, 5000u);
  ASSERT_TRUE(mutex.Release().ok());
  ASSERT_TRUE(mutex.Acquire(0).ok());  // usable again
  ASSERT_TRUE(mutex.Release().ok());
}

TEST(NamedEventTest, AutoAndManualReset) {
  std::string name = UniqueName("evt");
  NamedEvent automatic;
  ASSERT_TRUE(automatic.Create(name, false, true).ok());
  NamedEvent again;
  EXPECT_TRUE(again.Create(name, false).Is(ErrorKind::kExists));
  NamedEvent opened;
  ASSERT_TRUE(opened.Open(name).ok());
  EXPECT_TRUE(opened.Wait(0).ok());
  EXPECT_TRUE(automatic.Wait(0).Is(ErrorKind::kTimeout));  // consumed by the first wait
  uint64_t start = TickCountMs();
  EXPECT_TRUE(automatic.Wait(40).Is(ErrorKind::kTimeout));
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

  NamedEvent manual;
  ASSERT_TRUE(manual.Create(UniqueName("evt_manual"), true).ok());
  EXPECT_TRUE(manual.Wait(0).Is(ErrorKind::kTimeout));
  ASSERT_TRUE(manual.Set().ok());
  EXPECT_TRUE(manual.Wait(0).ok());
  EXPECT_TRUE(manual.Wait(0).ok());
  ASSERT_TRUE(manual.Reset().ok());
  EXPECT_TRUE(manual.Wait(0).Is(ErrorKind::kTimeout));

  NamedEvent closed;
  EXPECT_TRUE(closed.Set().Is(ErrorKind::kInvalid));
  EXPECT_TRUE(closed.Open(UniqueName("none")).Is(ErrorKind::kNotFound));
}

TEST(NamedEventTest, PingPongLosesNoWakeUp) {
  // Two threads, each with its own handle, bounce 500 signals; a lost wake-up would
  // stall one side until the 2 s time-out.
  std::string ping_name = UniqueName("ping"), pong_name = UniqueName("pong");
  NamedEvent ping, pong;
  ASSERT_TRUE(ping.Create(ping_name, false).ok());
  ASSERT_TRUE(pong.Create(pong_name, false).ok());
  constexpr int kRounds = 500;
  std::atomic<int> answered{0};
  std::thread peer([&] {
    NamedEvent in, out;
    if (!in.Open(ping_name).ok() || !out.Open(pong_name).ok()) return;
    for (int i = 0; i < kRounds; ++i) {
      if (!in.Wait(2000).ok() || !out.Set().ok()) return;
      ++answered;
    }
  });
  int round = 0;
  for (; round < kRounds; ++round) {
    ASSERT_TRUE(ping.Set().ok());
    if (!pong.Wait(2000).ok()) break;
  }
  peer.join();
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(answered.load(), kRounds);
}

TEST(NamedEventTest, EventSetByChildWakesParent) {
  std::string name = UniqueName("evt_child");
  NamedEvent event;
  ASSERT_TRUE(event.Create(name, false).ok());
  ChildProcess child;
  ASSERT_TRUE(child.Start("set_event", {name}));
  EXPECT_TRUE(event.Wait(10000).ok());
  int exit_code = -1;
  ASSERT_TRUE(child.Wait(10000, &exit_code));
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
}  // namespace velmora::osal
