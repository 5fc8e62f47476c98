// Tests of reference counting, counted references and the handle table.
#include "util/SharedObject.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
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
    std::lock_guard<std::mutex> guard(M_Mutex);
    M_Lines.push_back(record.Render(false, false));
  }
  std::vector<std::string> LinesWith(const std::string& part = "") {
    std::lock_guard<std::mutex> guard(M_Mutex);
    std::vector<std::string> out;
    for (const std::string& line : M_Lines)
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  LogWriter* M_pPrevious;
  std::mutex M_Mutex;
  std::vector<std::string> M_Lines;
};

// In a death test's child: trace and fatal lines go to stderr for the expectation.
void RouteToStderr() {
  static struct : LogWriter {
    void Write(const LogRecord& record) override {
      fprintf(stderr, "%s\n", record.Render(false, true).c_str());
    }
  } writer;
  SetLogWriter(LogChannelFatal, &writer);
  SetLogWriter(LogChannelTrace, &writer);
}

// Counts its destruction in *pDestroyed when given.
struct Counted : SharedObject {
  explicit Counted(int* pDestroyed = nullptr) : M_pDestroyed(pDestroyed) {}
  const char* ClassName() const override { return "Counted"; }
  ~Counted() override { M_pDestroyed && ++*M_pDestroyed; }
  int* M_pDestroyed;
};
struct Reachable : HandleObject {
  const char* ClassName() const override { return "Reachable"; }
};
class OtherReachable : public HandleObject {};

TEST(SharedObjectTest, CountsAndCountedReferences) {
  const int live = SharedObject::LiveObjects(), refs = SharedObject::AdditionalRefs();
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
    EXPECT_TRUE(down.HasObject() && !base.Cast<Reachable>().HasObject());
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
    EXPECT_THAT(capture.LinesWith(),
                ElementsAre("Constructor", "AddRef Refcount=1", "Release Refcount=2",
                            "Release Refcount=1", "Destructor"));
  }
  EnableTraceId(SharedObj_Life, false);
  EnableTraceId(SharedObj_RefCount, false);
}

TEST(SharedObjectTest, CountsAcrossThreads) {
  const int live = SharedObject::LiveObjects(), refs = SharedObject::AdditionalRefs();
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
  for (uint32_t bad : {0u, h & 0xFFFF0000u, 0x10000u, uint32_t{HandleObject::kTableSize}, ~0u})
    EXPECT_FALSE(HandleObject::LookupHandle(bad).HasObject()) << bad;
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
  EXPECT_THAT(capture.LinesWith(),
              Contains("HandleObject::MakeHandle() failed to create a handle!"));

  for (Ref<Reachable>& obj : objects) obj->InvalidateHandle();
  EXPECT_EQ(HandleObject::UsedHandles(), 0);
  // Every hundredth handle more or less is reported: 99 increases, then 99 decreases.
  const auto reports = capture.LinesWith("Number of used handles has been ");
  ASSERT_EQ(reports.size(), 198u);
  for (const auto& [i, text] : {std::pair<size_t, const char*>{0, "increased from 0 to 100 (9899"},
                                {1, "increased from 100 to 200 (9799"},
                                {98, "increased from 9800 to 9900 (99"},
                                {99, "decreased from 9900 to 9800 (199"},
                                {197, "decreased from 100 to 0 (9999"}}) {
    EXPECT_EQ(reports[i],
              "Number of used handles has been " + std::string(text) + " free handles)");
  }
  // With entries free again, making a handle works.
  EXPECT_NE(extra->MakeHandle(), 0u);
  extra->InvalidateHandle();
  EnableTraceId(General_10, false);
}

TEST(HandleObjectTest, DestroyedWithAValidHandleCleansUp) {
  EnableTraceId(Trace_Always, true);
  const int live = SharedObject::LiveObjects(), refs = SharedObject::AdditionalRefs();
  const int used = HandleObject::UsedHandles();
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

TEST(SharedObjectDeathTest, MisusesAreFatalAssertions) {
  // Only what GoogleTest's simple regular expressions (Windows) and the POSIX ones share.
  EXPECT_DEATH(
      {
        RouteToStderr();
        Counted c;
        c.AddRef();  // destroyed while still referenced
      },
      "Destructor called with Refcount=2 \\(should be 1\\)\nAssertion:\n"
      "File=\\.\\.\\\\src\\\\util\\\\SharedObject\\.cc Line=.*\n"
      "Exp=M_RefCount == 1\nDiagnostic Value=2");
  EXPECT_DEATH(
      {
        RouteToStderr();
        Reachable r;
        r.InvalidateHandle();  // without a handle
      },
      "Exp=Index > 0");
}

}  // namespace
}  // namespace velmora::util
