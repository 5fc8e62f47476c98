// Tests of reference counting, counted references and the handle table.
#include "util/SharedObject.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/Trace.h"

namespace velmora::util {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Collects rendered trace lines (without typed arguments) while alive.
class TraceCapture : public LogWriter {
 public:
  TraceCapture() { M_pPrevious = SetLogWriter(LogChannelTrace, this); }
  ~TraceCapture() override { SetLogWriter(LogChannelTrace, M_pPrevious); }
  void Write(const LogRecord& record) override {
    char buffer[2048];
    record.Render(buffer, sizeof(buffer), false, false);
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Lines.push_back(buffer);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(M_Mutex);
    return M_Lines;
  }
  std::vector<std::string> LinesWith(const std::string& part) {
    std::vector<std::string> out;
    for (const std::string& line : Lines())
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  LogWriter* M_pPrevious;
  std::mutex M_Mutex;
  std::vector<std::string> M_Lines;
};

// In a death test's child: trace and fatal lines go to stderr for the expectation.
class ToStderr : public LogWriter {
 public:
  void Write(const LogRecord& record) override {
    char buffer[2048];
    record.Render(buffer, sizeof(buffer), false, true);
    fprintf(stderr, "%s\n", buffer);
  }
};
void RouteToStderr() {
  static ToStderr writer;
  SetLogWriter(LogChannelFatal, &writer);
  SetLogWriter(LogChannelTrace, &writer);
}

class Counted : public SharedObject {
 public:
  explicit Counted(int* destroyed = nullptr) : M_pDestroyed(destroyed) {}
  const char* ClassName() const override { return "Counted"; }
  ~Counted() override {
    if (M_pDestroyed) ++*M_pDestroyed;
  }

 private:
  int* M_pDestroyed;
};

class Reachable : public HandleObject {
 public:
  const char* ClassName() const override { return "Reachable"; }
};

class OtherReachable : public HandleObject {};

TEST(SharedObjectTest, CountsAndCountedReferences) {
  int live = SharedObject::LiveObjects();
  int refs = SharedObject::AdditionalRefs();
  int destroyed = 0;
  {
    Ref<Counted> a = Ref<Counted>::Adopt(new Counted(&destroyed));
    EXPECT_EQ(SharedObject::LiveObjects(), live + 1);
    EXPECT_EQ(a->RefCount(), 1);
    Ref<Counted> b = a;
    Ref<SharedObject> base = a;
    EXPECT_EQ(a->RefCount(), 3);
    EXPECT_EQ(SharedObject::AdditionalRefs(), refs + 2);
    Ref<Counted> down = base.Cast<Counted>();
    EXPECT_TRUE(down.HasObject());
    EXPECT_FALSE(base.Cast<Reachable>().HasObject());
    EXPECT_EQ(a->RefCount(), 4);
    b.Reset();
    EXPECT_FALSE(b.HasObject());
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(SharedObject::LiveObjects(), live);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
}

TEST(SharedObjectTest, LifeAndCountTraces) {
  EnableTraceId(SharedObj_Life, true);
  EnableTraceId(SharedObj_RefCount, true);
  {
    TraceCapture capture;
    Counted* p = new Counted();
    p->AddRef();
    p->Release();
    p->Release();
    EXPECT_THAT(capture.Lines(),
                ElementsAre("Constructor", "AddRef Refcount=1", "Release Refcount=2",
                            "Release Refcount=1", "Destructor"));
  }
  EnableTraceId(SharedObj_Life, false);
  EnableTraceId(SharedObj_RefCount, false);
}

TEST(SharedObjectTest, CountsAcrossThreads) {
  int live = SharedObject::LiveObjects();
  int refs = SharedObject::AdditionalRefs();
  int destroyed = 0;
  Ref<Counted> shared = Ref<Counted>::Adopt(new Counted(&destroyed));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared]() mutable {
      for (int i = 0; i < 20000; ++i) {
        Ref<Counted> copy = shared;
        Ref<SharedObject> base = copy;
      }
      shared.Reset();  // the threads' last references race with each other
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(shared->RefCount(), 1);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
  shared.Reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(SharedObject::LiveObjects(), live);

  // The last reference dropped concurrently: exactly one destruction.
  for (int round = 0; round < 200; ++round) {
    int gone = 0;
    Counted* p = new Counted(&gone);
    for (int i = 0; i < 3; ++i) p->AddRef();
    std::vector<std::thread> releasers;
    for (int i = 0; i < 4; ++i) releasers.emplace_back([p] { p->Release(); });
    for (std::thread& t : releasers) t.join();
    ASSERT_EQ(gone, 1);
  }
  EXPECT_EQ(SharedObject::LiveObjects(), live);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
}

TEST(SharedObjectDeathTest, DestroyedWhileStillReferenced) {
  EXPECT_DEATH(
      {
        RouteToStderr();
        Counted c;
        c.AddRef();
      },
      // Only what GoogleTest's simple regular expressions (Windows) and the POSIX ones share.
      "Destructor called with Refcount=2 \\(should be 1\\)\nAssertion:\n"
      "File=\\.\\.\\\\src\\\\util\\\\SharedObject\\.cc Line=.*\n"
      "Exp=M_RefCount == 1\nDiagnostic Value=2");
}

TEST(HandleObjectTest, MakeLookupAndInvalidate) {
  int used = HandleObject::UsedHandles();
  Ref<Reachable> obj = Ref<Reachable>::Adopt(new Reachable());
  uint32_t h = obj->MakeHandle();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(obj->MakeHandle(), h);  // made once
  EXPECT_EQ(obj->GetHandle(), h);
  EXPECT_EQ(obj->RefCount(), 2);  // the table's reference
  EXPECT_EQ(HandleObject::UsedHandles(), used + 1);
  {
    Ref<Reachable> found = HandleObject::Lookup<Reachable>(h);
    EXPECT_EQ(found.get(), obj.get());
    EXPECT_FALSE(HandleObject::Lookup<OtherReachable>(h).HasObject());
  }
  EXPECT_EQ(obj->RefCount(), 2);

  obj->InvalidateHandle();
  EXPECT_EQ(obj->GetHandle(), 0u);
  EXPECT_EQ(obj->RefCount(), 1);
  EXPECT_FALSE(HandleObject::LookupHandle(h).HasObject());
  EXPECT_EQ(HandleObject::UsedHandles(), used);

  // Handle 0, index 0 with any generation, and indexes beyond the table never resolve.
  EXPECT_FALSE(HandleObject::LookupHandle(0).HasObject());
  EXPECT_FALSE(HandleObject::LookupHandle(h & 0xFFFF0000u).HasObject());
  EXPECT_FALSE(HandleObject::LookupHandle(0x10000u).HasObject());
  EXPECT_FALSE(HandleObject::LookupHandle(HandleObject::kTableSize).HasObject());
  EXPECT_FALSE(HandleObject::LookupHandle(0xFFFFFFFFu).HasObject());
}

TEST(HandleObjectTest, StaleHandleStaysDeadAfterTheEntryIsReused) {
  Ref<Reachable> first = Ref<Reachable>::Adopt(new Reachable());
  uint32_t old_handle = first->MakeHandle();
  first->InvalidateHandle();

  // Walk the rotating cursor round the table until the same entry is handed out again.
  Ref<Reachable> second = Ref<Reachable>::Adopt(new Reachable());
  uint32_t new_handle = 0;
  for (int i = 0; i < HandleObject::kTableSize; ++i) {
    new_handle = second->MakeHandle();
    if ((new_handle & 0xFFFF) == (old_handle & 0xFFFF)) break;
    second->InvalidateHandle();
  }
  ASSERT_EQ(new_handle & 0xFFFF, old_handle & 0xFFFF);
  EXPECT_NE(new_handle, old_handle);
  EXPECT_FALSE(HandleObject::LookupHandle(old_handle).HasObject());
  EXPECT_EQ(HandleObject::LookupHandle(new_handle).get(), second.get());
  second->InvalidateHandle();
}

TEST(HandleObjectTest, FullTableAndUsageReports) {
  ASSERT_EQ(HandleObject::UsedHandles(), 0);
  EnableTraceId(General_10, true);
  EnableTraceId(Trace_Always, true);
  TraceCapture capture;
  std::vector<Ref<Reachable>> objects;
  for (int i = 0; i < HandleObject::kTableSize - 1; ++i) {
    objects.push_back(Ref<Reachable>::Adopt(new Reachable()));
    ASSERT_NE(objects.back()->MakeHandle(), 0u) << i;
  }
  EXPECT_EQ(HandleObject::UsedHandles(), 9999);
  Ref<Reachable> extra = Ref<Reachable>::Adopt(new Reachable());
  EXPECT_EQ(extra->MakeHandle(), 0u);
  EXPECT_EQ(extra->RefCount(), 1);
  EXPECT_THAT(capture.Lines(), Contains("HandleObject::MakeHandle() failed to create a handle!"));

  auto increased = capture.LinesWith("has been increased");
  ASSERT_EQ(increased.size(), 99u);
  EXPECT_EQ(increased[0],
            "Number of used handles has been increased from 0 to 100 (9899 free handles)");
  EXPECT_EQ(increased[1],
            "Number of used handles has been increased from 100 to 200 (9799 free handles)");
  EXPECT_EQ(increased[98],
            "Number of used handles has been increased from 9800 to 9900 (99 free handles)");

  for (Ref<Reachable>& obj : objects) obj->InvalidateHandle();
  EXPECT_EQ(HandleObject::UsedHandles(), 0);
  auto decreased = capture.LinesWith("has been decreased");
  ASSERT_EQ(decreased.size(), 99u);
  EXPECT_EQ(decreased[0],
            "Number of used handles has been decreased from 9900 to 9800 (199 free handles)");
  EXPECT_EQ(decreased[98],
            "Number of used handles has been decreased from 100 to 0 (9999 free handles)");
  // With entries free again, making a handle works.
  EXPECT_NE(extra->MakeHandle(), 0u);
  extra->InvalidateHandle();
  EnableTraceId(General_10, false);
}

TEST(HandleObjectTest, DestroyedWithAValidHandleCleansUp) {
  EnableTraceId(Trace_Always, true);
  int live = SharedObject::LiveObjects();
  int refs = SharedObject::AdditionalRefs();
  int used = HandleObject::UsedHandles();
  TraceCapture capture;
  Reachable* p = new Reachable();
  uint32_t h = p->MakeHandle();
  // One release too many: the table's reference is the one that destroys it.
  p->Release();
  p->Release();
  EXPECT_FALSE(HandleObject::LookupHandle(h).HasObject());
  EXPECT_EQ(HandleObject::UsedHandles(), used);
  EXPECT_EQ(SharedObject::LiveObjects(), live);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
  char expected[128];
  snprintf(expected, sizeof(expected), "WARNING: HandleObject (h=%x, p=%x", h,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
  EXPECT_THAT(capture.LinesWith("is destroyed with a valid Handle"),
              ElementsAre(HasSubstr(expected)));
}

TEST(HandleObjectDeathTest, InvalidateWithoutHandle) {
  EXPECT_DEATH(
      {
        RouteToStderr();
        Reachable r;
        r.InvalidateHandle();
      },
      "Exp=Index > 0");
}

}  // namespace
}  // namespace velmora::util
