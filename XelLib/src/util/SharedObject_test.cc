// Tests of reference counting, counted references and the handle table.
#include "util/SharedObject.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TraceCapture.h"

namespace velmora::util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TraceCapture;

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

TEST(SharedObjectTest, LifeAndCountTraces) {
  EnableTraceId(SharedObj_Life, true);
  EnableTraceId(SharedObj_RefCount, true);
  TraceCapture capture;
  capture.bWithArgs = false;
  Counted* p = new Counted();
  p->AddRef();
  p->Release();
  p->Release();
  EXPECT_THAT(capture.lines, ElementsAre("Constructor", "AddRef Refcount=1", "Release Refcount=2",
                                         "Release Refcount=1", "Destructor"));
  EnableTraceId(SharedObj_Life, false);
  EnableTraceId(SharedObj_RefCount, false);
}

// The threads' copies and last references race with each other: exactly one destruction.
TEST(SharedObjectTest, CountsAcrossThreads) {
  const int live = SharedObject::LiveObjects(), refs = SharedObject::AdditionalRefs();
  for (int round = 0; round < 200; ++round) {
    int destroyed = 0;
    Ref<Counted> shared = Ref<Counted>::Adopt(new Counted(&destroyed));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([shared]() mutable {
        for (int i = 0; i < 100; ++i) Ref<SharedObject> base = Ref<Counted>(shared);
        shared.Reset();
      });
    }
    shared.Reset();
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(destroyed, 1);
  }
  EXPECT_EQ(SharedObject::LiveObjects(), live);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
}

TEST(HandleObjectTest, MakeLookupInvalidateFullTableUsageReportsAndStaleHandles) {
  ASSERT_EQ(HandleObject::UsedHandles(), 0);
  EnableTraceId(General_10, true);
  EnableTraceId(Trace_Always, true);
  TraceCapture capture;
  capture.bWithArgs = false;
  std::vector<Ref<Reachable>> objects;
  std::vector<uint32_t> handles;
  for (int i = 0; i < HandleObject::kTableSize - 1; ++i) {
    objects.push_back(Ref<Reachable>::Adopt(new Reachable()));
    handles.push_back(objects.back()->MakeHandle());
    ASSERT_NE(handles.back(), 0u) << i;
  }
  EXPECT_EQ(HandleObject::UsedHandles(), 9999);
  EXPECT_EQ(objects[0]->MakeHandle(), handles[0]);  // made once
  EXPECT_EQ(HandleObject::Lookup<Reachable>(handles[0]).get(), objects[0].get());
  EXPECT_FALSE(HandleObject::Lookup<OtherReachable>(handles[0]).HasObject());
  EXPECT_EQ(objects[0]->RefCount(), 2);  // the table's reference
  Ref<Reachable> extra = Ref<Reachable>::Adopt(new Reachable());
  EXPECT_EQ(extra->MakeHandle(), 0u);
  EXPECT_EQ(extra->RefCount(), 1);
  EXPECT_THAT(capture.lines,
              ::testing::Contains("HandleObject::MakeHandle() failed to create a handle!"));
  for (Ref<Reachable>& obj : objects) obj->InvalidateHandle();
  EXPECT_EQ(HandleObject::UsedHandles(), 0);
  EXPECT_TRUE(objects[0]->GetHandle() == 0 && objects[0]->RefCount() == 1);
  // Every hundredth handle more or less is reported: 99 increases, then 99 decreases.
  const auto reports = capture.With("Number of used handles has been ");
  ASSERT_EQ(reports.size(), 198u);
  for (const auto& [i, text] : {std::pair<size_t, const char*>{0, "increased from 0 to 100 (9899"},
                                {197, "decreased from 100 to 0 (9999"}}) {
    EXPECT_EQ(reports[i],
              "Number of used handles has been " + std::string(text) + " free handles)");
  }
  // Every entry had been in use, so the one handed out now was someone's: that handle stays dead.
  EXPECT_NE(extra->MakeHandle(), 0u);
  for (uint32_t old : handles) EXPECT_FALSE(HandleObject::LookupHandle(old).HasObject()) << old;
  // Handle 0, index 0 with any generation, and indexes beyond the table never resolve.
  for (uint32_t bad :
       {0u, handles[0] & 0xFFFF0000u, 0x10000u, uint32_t{HandleObject::kTableSize}, ~0u})
    EXPECT_FALSE(HandleObject::LookupHandle(bad).HasObject()) << bad;
  extra->InvalidateHandle();
  EnableTraceId(General_10, false);
}

TEST(HandleObjectTest, DestroyedWithAValidHandleCleansUp) {
  EnableTraceId(Trace_Always, true);
  const int live = SharedObject::LiveObjects(), refs = SharedObject::AdditionalRefs();
  TraceCapture capture;
  Reachable* p = new Reachable();
  uint32_t h = p->MakeHandle();
  // One release too many: the table's reference is the one that destroys it.
  p->Release();
  p->Release();
  EXPECT_FALSE(HandleObject::LookupHandle(h).HasObject());
  EXPECT_EQ(HandleObject::UsedHandles(), 0);
  EXPECT_EQ(SharedObject::LiveObjects(), live);
  EXPECT_EQ(SharedObject::AdditionalRefs(), refs);
  char expected[128];
  snprintf(expected, sizeof(expected), "WARNING: HandleObject (h=%x, p=%x", h,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
  EXPECT_THAT(capture.With("is destroyed with a valid Handle"), ElementsAre(HasSubstr(expected)));
}

// The assertion's own form is checked with the trace; here only what these sites add.
TEST(SharedObjectDeathTest, MisusesAreFatalAssertions) {
  TraceCapture trace(LogChannelTrace, true), fatal(LogChannelFatal, true);
  EXPECT_DEATH(
      {
        Counted c;
        c.AddRef();  // destroyed while still referenced
      },
      "Destructor called with Refcount=2 \\(should be 1\\)");
  EXPECT_DEATH(Reachable().InvalidateHandle(), "Exp=Index > 0");
}

}  // namespace
}  // namespace velmora::util
