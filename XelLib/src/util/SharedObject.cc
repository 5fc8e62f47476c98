// Reference counting of runtime objects and the process-wide handle table.
#include "util/SharedObject.h"

#include <cstdio>
#include <vector>

#include "osal/Lock.h"
#include "util/Trace.h"

namespace velmora::util {

namespace {

std::atomic<int> g_LiveObjects{0};
std::atomic<int> g_AdditionalRefs{0};

}  // namespace

// ---------------------------------------------------------------------------------------------
// SharedObject

SharedObject::SharedObject() {
  g_LiveObjects.fetch_add(1, std::memory_order_relaxed);
  XEL_TRACE_OBJ(this, SharedObj_Life, "Constructor");
}

SharedObject::~SharedObject() {
  // Only the release of the last reference (count 1) or the end of a scope that owns the
  // object may destroy it; any other count means a reference still points here.
  int count = M_RefCount.load(std::memory_order_acquire);
  if (count != 1) {
    XEL_TRACE_OBJ(this, Trace_Always, "Destructor called with Refcount=%i (should be 1)", count);
    char diag[16];
    snprintf(diag, sizeof(diag), "%i", count);
    XEL_ASSERT_DIAG(M_RefCount == 1, diag);
  }
  XEL_TRACE_OBJ(this, SharedObj_Life, "Destructor");
  g_LiveObjects.fetch_sub(1, std::memory_order_relaxed);
}

void SharedObject::AddRef() const {
  XEL_TRACE_OBJ(this, SharedObj_RefCount, "AddRef Refcount=%i",
                M_RefCount.load(std::memory_order_relaxed));
  g_AdditionalRefs.fetch_add(1, std::memory_order_relaxed);
  M_RefCount.fetch_add(1, std::memory_order_relaxed);
}

void SharedObject::Release() const {
  XEL_TRACE_OBJ(this, SharedObj_RefCount, "Release Refcount=%i",
                M_RefCount.load(std::memory_order_relaxed));
  // The test for the last reference and the decrement are one step: the count stays 1 for
  // the destructor, which checks it.
  int count = M_RefCount.load(std::memory_order_acquire);
  for (;;) {
    if (count == 1) {
      delete this;
      return;
    }
    if (M_RefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      g_AdditionalRefs.fetch_sub(1, std::memory_order_relaxed);
      return;
    }
  }
}

void SharedObject::ReleaseNotLast() const {
  XEL_TRACE_OBJ(this, SharedObj_RefCount, "Release Refcount=%i",
                M_RefCount.load(std::memory_order_relaxed));
  M_RefCount.fetch_sub(1, std::memory_order_acq_rel);
  g_AdditionalRefs.fetch_sub(1, std::memory_order_relaxed);
}

int SharedObject::LiveObjects() { return g_LiveObjects.load(std::memory_order_relaxed); }

int SharedObject::AdditionalRefs() { return g_AdditionalRefs.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------------
// Handle table

namespace {

struct HandleEntry {
  uint32_t M_handle = 0;
  HandleObject* pObject = nullptr;
  uint16_t generation = 0;
};

// Report the used count in steps of this size so that a leak of handles shows in the trace
// without one line per handle.
constexpr int kReportStep = 100;

// Constructed on first use and never destroyed: objects may release handles during static
// destruction.
struct HandleTable {
  osal::Lock lock{"HandleTable"};
  std::vector<HandleEntry> entries = std::vector<HandleEntry>(HandleObject::kTableSize);
  int cursor = 1;
  int used = 0;
  int last_reported = 0;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable();
  return *table;
}

}  // namespace

HandleObject::HandleObject() = default;

HandleObject::~HandleObject() {
  uint32_t handle = M_Handle.load(std::memory_order_acquire);
  if (handle == 0) return;
  // The table still points here. Take the table's view of the object (a reference that
  // balances the table's own, which InvalidateHandle drops) so that the base destructor
  // finds the count it expects.
  Ref<HandleObject> self = LookupHandle(handle);
  XEL_TRACE_OBJ(this, Trace_Always,
                "WARNING: HandleObject (h=%x, p=%x, RefCount=%i) is destroyed with a valid Handle",
                handle, static_cast<unsigned>(reinterpret_cast<uintptr_t>(self.get())),
                M_RefCount.load(std::memory_order_relaxed));
  if (self) {
    InvalidateHandle();
    self.Detach();
  } else {
    M_Handle.store(0, std::memory_order_release);
  }
}

uint32_t HandleObject::MakeHandle() {
  HandleTable& table = Table();
  uint32_t handle = 0;
  {
    osal::ScopedLock guard(table.lock);
    handle = M_Handle.load(std::memory_order_acquire);
    if (handle == 0) {
      for (int tried = 0; handle == 0 && tried < kTableSize; ++tried) {
        HandleEntry& entry = table.entries[table.cursor];
        if (entry.M_handle == 0) {
          ++entry.generation;
          handle =
              (static_cast<uint32_t>(entry.generation) << 16) | static_cast<uint32_t>(table.cursor);
          entry.M_handle = handle;
          entry.pObject = this;
          M_Handle.store(handle, std::memory_order_release);
          AddRef();
        }
        if (++table.cursor >= kTableSize) table.cursor = 1;
      }
      if (handle != 0) {
        ++table.used;
        if (table.used - table.last_reported >= kReportStep) {
          XEL_TRACE_OBJ(this, General_10,
                        "Number of used handles has been increased from %i to %i (%i free "
                        "handles)",
                        table.last_reported, table.used, kTableSize - table.used - 1);
          table.last_reported = table.used;
        }
      } else {
        XEL_TRACE_OBJ(this, Trace_Always, "HandleObject::MakeHandle() failed to create a handle!");
      }
    }
  }
  XEL_TRACE_OBJ(this, SharedObj_RefCount, "HandleObject::MakeHandle() returned Handle 0x%x",
                handle);
  return handle;
}

void HandleObject::InvalidateHandle() {
  HandleTable& table = Table();
  std::vector<HandleEntry>& GLOBAL_HandleTab = table.entries;
  osal::ScopedLock guard(table.lock);
  XEL_TRACE_OBJ(this, SharedObj_RefCount, "HandleObject::InvalidateHandle() destroy Handle 0x%x",
                M_Handle.load(std::memory_order_relaxed));
  uint32_t Index = M_Handle.load(std::memory_order_acquire) & 0xFFFFu;
  XEL_ASSERT(Index > 0);
  XEL_ASSERT(GLOBAL_HandleTab.size());
  XEL_ASSERT(Index < GLOBAL_HandleTab.size());
  XEL_ASSERT(GLOBAL_HandleTab[Index].M_handle == M_Handle);
  M_Handle.store(0, std::memory_order_release);
  GLOBAL_HandleTab[Index].M_handle = 0;
  GLOBAL_HandleTab[Index].pObject = nullptr;
  // The caller holds its own reference, so the table's reference is never the last one.
  ReleaseNotLast();
  XEL_ASSERT(M_RefCount > 0);
  --table.used;
  if (table.last_reported - table.used >= kReportStep) {
    XEL_TRACE_OBJ(this, General_10,
                  "Number of used handles has been decreased from %i to %i (%i free handles)",
                  table.last_reported, table.used, kTableSize - table.used - 1);
    table.last_reported = table.used;
  }
}

Ref<HandleObject> HandleObject::LookupHandle(uint32_t h) {
  uint32_t index = h & 0xFFFFu;
  if (index == 0 || index >= static_cast<uint32_t>(kTableSize)) return Ref<HandleObject>();
  HandleTable& table = Table();
  osal::ScopedLock guard(table.lock);
  const HandleEntry& entry = table.entries[index];
  if (entry.M_handle != h || entry.pObject == nullptr) return Ref<HandleObject>();
  // The reference is taken under the lock so the object cannot go away in between.
  return Ref<HandleObject>(entry.pObject);
}

int HandleObject::UsedHandles() {
  HandleTable& table = Table();
  osal::ScopedLock guard(table.lock);
  return table.used;
}

}  // namespace velmora::util
