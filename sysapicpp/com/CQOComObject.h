// The object template of every host-visible object: a reference count, an identity table and the
// IUnknown operations.
//
//   class CFoo : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public IFoo { ... };
//   CQOComObject<CFoo>* obj = nullptr;
//   HRESULT hr = CQOComObject<CFoo>::CreateInstance(&obj);   // count 0
//   obj->AddRef();                                            // count 1, owned by the caller
//
// A class T used with CQOComObject provides
//   static std::array<CQOInterfaceEntry, N> qoBuildInterfaceTable(T* self);
// returning its identity rows in order (made with qoInterfaceEntry<Interface>(iid, self)) ended by
// kQoInterfaceTableEnd. The first row must name an interface; it also answers IUnknown. The table
// is built once per class, from the first object asked, so interface bases must be non-virtual
// (their offsets are then the same in every object of the class). Classes with several interface
// bases derive virtually from the root so that every interface sub-object reaches one count.
//
// Reference counts: every change is one indivisible atomic compare-and-swap on the object's own
// count (no lock is taken; two threads on one object contend only on its cache line). The count
// never goes below zero and never wraps:
//  - Release when the count is already below 1 changes nothing and returns the count unchanged;
//  - AddRef when the count is negative (0xFFFFFFFF as the host sees -1) or at its maximum changes
//    nothing and returns the count unchanged.
// So a caller's misuse can leak an object but never frees it twice or brings it back to life.
//
// Destruction: the Release that brings the count to 0 leaves it parked at 1 and claims the
// object's one-shot "destroying" flag, then deletes the object. Class-specific clean-up that may
// call back into the object belongs in T::FinalRelease() (optional), which runs first, while the
// object is still complete (its IUnknown operations still work); T's destructor and members
// follow. AddRef/Release pairs made by clean-up code move the count between 1 and 2; a Release
// that would bring it to 0 again during clean-up is refused, so destruction is never entered
// twice.
#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <tuple>
#include <utility>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/com/types.h"
#include "sysapicpp/interfaces/IUnknown.h"

// Threading model tag: no per-object lock; counts are atomic.
struct CQOComMultiThreadModelNoCS {};

// One row of a class's identity table. A row with a null identity ends the table.
struct CQOInterfaceEntry {
  const GUID* iid;
  std::ptrdiff_t offset;  // byte offset of the interface sub-object from the start of the object
};

inline constexpr CQOInterfaceEntry kQoInterfaceTableEnd{nullptr, 0};

// The row for interface `Interface` of the live object `self`.
template <class Interface, class T>
CQOInterfaceEntry qoInterfaceEntry(const GUID& iid, T* self) noexcept {
  Interface* sub = self;
  return {&iid, reinterpret_cast<char*>(sub) - reinterpret_cast<char*>(self)};
}

class CQOComObjectRootBase {
 public:
  // The current count (diagnostics and tests).
  std::int32_t refCount() const noexcept { return m_dwRef.load(std::memory_order_acquire); }

 protected:
  CQOComObjectRootBase() noexcept = default;
  ~CQOComObjectRootBase() = default;
  CQOComObjectRootBase(const CQOComObjectRootBase&) = delete;
  CQOComObjectRootBase& operator=(const CQOComObjectRootBase&) = delete;

  std::atomic<std::int32_t> m_dwRef{0};
  std::atomic<bool> m_destroying{false};  // set once, by the Release that starts destruction
};
static_assert(std::atomic<std::int32_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

template <class ThreadModel>
class CQOComObjectRootEx;

template <>
class CQOComObjectRootEx<CQOComMultiThreadModelNoCS> : public CQOComObjectRootBase {
 public:
  ULONG InternalAddRef() noexcept {
    std::int32_t c = m_dwRef.load(std::memory_order_relaxed);
    do {
      if (c < 0 || c == std::numeric_limits<std::int32_t>::max()) return static_cast<ULONG>(c);
    } while (!m_dwRef.compare_exchange_weak(c, c + 1, std::memory_order_relaxed));
    return static_cast<ULONG>(c + 1);
  }

  // Lowers the count. `destroy` becomes true when this call brought the count to zero: the count
  // is then parked at 1 and the caller must destroy the object.
  ULONG InternalRelease(bool& destroy) noexcept {
    destroy = false;
    // Acquire: whoever destroys the object sees every write made under the other references.
    std::int32_t c = m_dwRef.load(std::memory_order_acquire);
    for (;;) {
      if (c < 1) return static_cast<ULONG>(c);
      if (c == 1) {
        // The last reference: claim destruction once; the count stays 1 for the clean-up. A
        // second claim (an unbalanced Release during clean-up) is refused.
        bool expected = false;
        if (!m_destroying.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
          return 1;
        destroy = true;
        return 0;
      }
      if (m_dwRef.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel,
                                        std::memory_order_acquire))
        return static_cast<ULONG>(c - 1);
    }
  }

  // Marks an object that was never handed out as being destroyed (count 1), before deleting it.
  void InternalBeginDestruction() noexcept {
    m_dwRef.store(1, std::memory_order_relaxed);
    m_destroying.store(true, std::memory_order_release);
  }

 protected:
  CQOComObjectRootEx() noexcept = default;
  ~CQOComObjectRootEx() = default;
};

template <class T>
class CQOComObject final : public T {
 public:
  template <class... Args>
  explicit CQOComObject(Args&&... args) : T(std::forward<Args>(args)...) {}

  // Creates an object with count 0 (the caller adds the first reference). Memory exhaustion gives
  // E_OUTOFMEMORY; a failing FinalConstruct() of T (when T has one) gives its code. Other
  // exceptions of the constructors propagate.
  template <class... Args>
  static HRESULT CreateInstance(CQOComObject** out, Args&&... args) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    CQOComObject* obj = nullptr;
    try {
      obj = new CQOComObject(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if constexpr (requires(T & t) {
                    { t.FinalConstruct() } -> std::convertible_to<HRESULT>;
                  }) {
      HRESULT hr = E_FAIL;
      try {
        hr = obj->FinalConstruct();
      } catch (...) {
        obj->destroyUnshared();
        throw;
      }
      if (hr < 0) {
        obj->destroyUnshared();
        return hr;
      }
    }
    *out = obj;
    return S_OK;
  }

  HRESULT QueryInterface(const GUID* iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == nullptr) return E_POINTER;
    const auto& table = interfaceTable();
    // A class whose first row names no interface answers nothing.
    if (table[0].iid == nullptr) return E_UNEXPECTED;
    const CQOInterfaceEntry* row = nullptr;
    if (qoIsIUnknownIdentity(*iid)) {
      row = &table[0];
    } else {
      for (const CQOInterfaceEntry& r : table) {
        if (r.iid == nullptr) break;
        if (*r.iid == *iid) {
          row = &r;
          break;
        }
      }
    }
    if (row == nullptr) return E_NOINTERFACE;
    auto* sub =
        reinterpret_cast<IUnknown*>(reinterpret_cast<char*>(static_cast<T*>(this)) + row->offset);
    sub->AddRef();
    *out = sub;
    return S_OK;
  }

  ULONG AddRef() override { return this->InternalAddRef(); }

  ULONG Release() override {
    bool destroy = false;
    const ULONG count = this->InternalRelease(destroy);
    if (destroy) {
      // A class that owns threads may move its destruction off the calling thread (the last
      // reference released by a host call-back running on one of those threads).
      if constexpr (requires(std::function<void()> f) {
                      { T::deferFinalDestruction(std::move(f)) } -> std::same_as<bool>;
                    }) {
        if (T::deferFinalDestruction([self = this] { delete self; })) return count;
      }
      delete this;
    }
    return count;
  }

 private:
  ~CQOComObject() {
    if constexpr (requires(T & t) { t.FinalRelease(); }) this->FinalRelease();
  }

  void destroyUnshared() noexcept {
    this->InternalBeginDestruction();
    delete this;
  }

  using tInterfaceTable = decltype(T::qoBuildInterfaceTable(std::declval<T*>()));
  static_assert(std::tuple_size_v<tInterfaceTable> >= 1);

  const tInterfaceTable& interfaceTable() noexcept {
    static const tInterfaceTable table = T::qoBuildInterfaceTable(static_cast<T*>(this));
    return table;
  }
};
