// Reference-counted objects, counted references and the process-wide handle table.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace velmora::util {

// Base of every reference-counted runtime object. The count is 1 at construction; the
// creator owns that reference. AddRef and Release are thread-safe.
class SharedObject {
 public:
  SharedObject();
  virtual const char* ClassName() const { return "SharedObject"; }
  virtual ~SharedObject();
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;

  void AddRef() const;
  // Destroys the object when the last reference goes.
  void Release() const;
  int RefCount() const { return M_RefCount.load(std::memory_order_relaxed); }

  // Process-wide counters for the status report.
  static int LiveObjects();
  static int AdditionalRefs();

 protected:
  // Drops one reference that is known not to be the last (the handle table's reference).
  void ReleaseNotLast() const;

  mutable std::atomic<int> M_RefCount{1};
};

// A counted reference: holds a pointer or nothing. Copying adds a reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  // Adopts a reference the caller already owns (for example a new object's first one).
  static Ref Adopt(T* p) {
    Ref r;
    r.M_p = p;
    return r;
  }
  // Takes an additional reference on p.
  explicit Ref(T* p) : M_p(p) {
    if (M_p) M_p->AddRef();
  }
  Ref(const Ref& o) : M_p(o.M_p) {
    if (M_p) M_p->AddRef();
  }
  Ref(Ref&& o) noexcept : M_p(std::exchange(o.M_p, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& o) : M_p(o.get()) {
    if (M_p) M_p->AddRef();
  }
  ~Ref() { Reset(); }
  Ref& operator=(const Ref& o) {
    Ref(o).Swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    Ref(std::move(o)).Swap(*this);
    return *this;
  }

  void Reset() {
    if (T* p = std::exchange(M_p, nullptr)) p->Release();
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(M_p, nullptr); }
  void Swap(Ref& o) noexcept { std::swap(M_p, o.M_p); }

  bool HasObject() const { return M_p != nullptr; }
  explicit operator bool() const { return M_p != nullptr; }
  T* get() const { return M_p; }
  T* operator->() const { return M_p; }
  T& operator*() const { return *M_p; }

  // Checked down-cast: a reference when the object is a U, empty otherwise.
  template <class U>
  Ref<U> Cast() const {
    return Ref<U>(dynamic_cast<U*>(M_p));
  }

 private:
  T* M_p = nullptr;
};

// An object that can be reached through a numeric handle from any thread. A handle is
// (generation << 16) | index into a table of 10000 entries; a stale handle resolves to
// nothing.
class HandleObject : public SharedObject {
 public:
  static constexpr int kTableSize = 10000;

  HandleObject();
  const char* ClassName() const override { return "HandleObject"; }
  ~HandleObject() override;

  // The object's handle, made on first use; 0 when the table is full. The table holds a
  // reference until InvalidateHandle. Thread-safe (table lock).
  uint32_t MakeHandle();
  uint32_t GetHandle() const { return M_Handle.load(std::memory_order_acquire); }
  // Removes the object from the table and drops the table's reference. The caller must hold
  // its own reference. Thread-safe (table lock).
  void InvalidateHandle();

  // A counted reference to the object holding handle h, or nothing.
  static Ref<HandleObject> LookupHandle(uint32_t h);
  template <class T>
  static Ref<T> Lookup(uint32_t h) {
    return LookupHandle(h).template Cast<T>();
  }
  // Number of handles in use.
  static int UsedHandles();

 private:
  std::atomic<uint32_t> M_Handle{0};
};

}  // namespace velmora::util
