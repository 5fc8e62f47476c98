// Tests of named shared memory, mutexes and events, in-process and across processes.
#include "osal/SharedMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ChildProcess.h"
#include "osal/System.h"

namespace velmora::osal {
namespace {

using testing::ChildProcess;
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
const Kinds kAllOk(3, kNone);

// Creates the objects of a base name, or opens them when they exist, takes the mutex, writes
// args[1] into the memory, sets the event, says "ready" and waits to be killed, never closing them.
XEL_CHILD_MODE(hold_objects) {
  Objects objects;
  if (objects.Open(args.at(0)) != kAllOk && objects.Create(args.at(0)) != kAllOk) return 2;
  if (!objects.mutex.Acquire(5000).ok()) return 3;
  std::strcpy(static_cast<char*>(objects.memory.data()), args.at(1).c_str());
  if (!objects.event.Set().ok()) return 4;
  testing::ChildSay("ready");
  testing::ChildWaitToBeKilled();
}

std::string UniqueName(const char* what) {
  static std::atomic<int> counter{0};
  return "XelOsalTest_" + std::to_string(CurrentProcessId()) + "_" + what + "_" +
         std::to_string(++counter);
}

// Starts a child holding the objects of base and, when bKill, kills it once it holds them.
void HoldInChild(ChildProcess& child, const std::string& base, bool bKill) {
  ASSERT_TRUE(child.Start("hold_objects", {base, "written by child"}));
  std::string line;
  ASSERT_TRUE(child.ReadLine(&line, 10000) && line == "ready");
  if (bKill) child.Kill();
  ASSERT_TRUE(!bKill || child.Wait(10000, nullptr));
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

// A child's writes and event reach the parent; a live creator keeps its names, a killed one
// abandons its mutex and its names go.
TEST(SharedMemoryTest, ChildSharesTheObjectsAndAKilledCreatorsNamesGo) {
  const std::string base = UniqueName("leftover");
  ChildProcess child, second;
  HoldInChild(child, base, false);
  Objects objects;
  EXPECT_EQ(objects.Create(base), Kinds(3, kExists));
  EXPECT_EQ(RemoveLeftoverNamedObjects(base), 0);
  ASSERT_EQ(objects.Open(base), kAllOk);
  EXPECT_TRUE(objects.event.Wait(10000).ok());
  EXPECT_STREQ(static_cast<const char*>(objects.memory.data()), "written by child");
  EXPECT_FALSE(objects.RemoveNamesIfAbandoned()) << "a live creator's name was removed";
  child.Kill();
  ASSERT_TRUE(child.Wait(10000, nullptr));
  // The killed owner abandoned the mutex; it is made consistent and works normally afterwards.
  const uint64_t start = TickCountMs();
  EXPECT_EQ(objects.mutex.Acquire(5000).kind(), kAbandoned);
  EXPECT_LT(TickCountMs() - start, 5000u);
  ASSERT_TRUE(objects.mutex.Release().ok() && objects.mutex.Acquire(0).ok());
  ASSERT_TRUE(objects.mutex.Release().ok());
  // The openers that notice the death remove the names (POSIX); Windows drops them with the
  // last handle. Either way nobody finds them afterwards.
  (void)objects.RemoveNamesIfAbandoned();
  objects.Close();
  EXPECT_EQ(objects.Open(base), Kinds(3, kNotFound));
  // Without anyone to notice, the next creator of a name takes it over.
  HoldInChild(second, base, true);
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

// Another thread's handle, so that this thread's ownership could not hide a missing release.
TEST(NamedMutexTest, OwnershipTimeoutsReleaseCloseAndAbandon) {
  const std::string name = UniqueName("mtx");
  NamedMutex owner, again, other, missing;
  ASSERT_TRUE(owner.Create(name, true).ok());
  EXPECT_EQ(again.Create(name).kind(), kExists);
  EXPECT_EQ(owner.Acquire(0).kind(), kInvalid);  // not recursive
  ASSERT_TRUE(other.Open(name).ok() && again.Open(name).ok());
  EXPECT_EQ(other.Acquire(0).kind(), kInvalid);  // nor through another object of the name
  std::thread([&] {
    EXPECT_EQ(other.Acquire(0).kind(), kTimeout);
    const uint64_t start = TickCountMs();
    EXPECT_EQ(other.Acquire(50).kind(), kTimeout);
    EXPECT_GE(TickCountMs() - start, 45u) << "the timed wait returned early";
    const Status released = other.Release();
    EXPECT_EQ(released.kind(), kAccessDenied) << released.code();  // not the owner
  }).join();
  ASSERT_TRUE(owner.Release().ok());
  EXPECT_FALSE(owner.Release().ok());  // no longer the owner
  ASSERT_TRUE(other.Acquire(100).ok() && other.Release().ok());
  // Closing an owner releases the mutex; a thread that ends owning it abandons it.
  ASSERT_TRUE(owner.Acquire(0).ok());
  owner.Close();
  std::thread([&] { EXPECT_TRUE(other.Acquire(0).ok()); }).join();
  EXPECT_EQ(again.Acquire(5000).kind(), kAbandoned);
  ASSERT_TRUE(again.Release().ok() && again.Acquire(0).ok() && again.Release().ok());
  EXPECT_EQ(missing.Open(UniqueName("none")).kind(), kNotFound);
  EXPECT_EQ(missing.Acquire(0).kind(), kInvalid);
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
  EXPECT_TRUE(manual.Wait(0).ok() && manual.Wait(0).ok());
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
  std::thread peer([&] {
    NamedEvent in, out;
    if (!in.Open(ping_name).ok() || !out.Open(pong_name).ok()) return;
    for (int i = 0; i < 500 && in.Wait(2000).ok(); ++i) (void)out.Set();
  });
  int round = 0;
  while (round < 500 && ping.Set().ok() && pong.Wait(2000).ok()) ++round;
  peer.join();
  EXPECT_EQ(round, 500);
}

}  // namespace
}  // namespace velmora::osal
