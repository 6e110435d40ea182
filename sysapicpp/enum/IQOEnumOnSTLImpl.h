// Enumerators handed to the host, over an immutable standard container. The enumerator that
// creates the list owns it; clones share it, and the list lives until the last enumerator reading
// it is destroyed (shared ownership), whichever of them the host releases first.
//
//   Next(count, items, fetched)
//     items null, or count other than 1 with fetched null: E_POINTER (nothing changes).
//     No list: E_FAIL. Otherwise copies up to `count` elements from the current position and
//     advances past them; *fetched (when given) receives the number copied. S_OK when `count`
//     elements were copied (also for count 0), S_FALSE when the end came first. When an element
//     cannot be copied (memory exhausted) the elements already copied by this call are freed and
//     nulled, *fetched is 0, the position does not move and the result is E_OUTOFMEMORY.
//   Skip(count)   No list: E_FAIL. Advances; S_FALSE when that would pass the end (the position
//                 then stops at the end), else S_OK.
//   Reset()       No list: E_FAIL. Back to the first element.
//   Clone(copy)   copy null: E_POINTER; *copy null first. No list: E_FAIL. A new enumerator over
//                 the same list at the same position, as Interface (one reference);
//                 E_OUTOFMEMORY when it cannot be made.
//
// Enumerators have no lock: each belongs to one caller at a time.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/CQOComPtr.h"

namespace sysapicpp {

// Copy policy of elements that are plain values.
template <class T>
struct QOEnumCopyValue {
  template <class Source>
  static bool copy(T& destination, const Source& source) noexcept {
    destination = static_cast<T>(source);
    return true;
  }
  static void destroy(T&) noexcept {}
};

// Derived: the concrete class (it is what CQOComObject<> is made of and what Clone creates).
// Interface: the host interface; Iid: its identity; T: the element type handed out; Copy: policy
// with copy(T&, const Container::value_type&) -> bool and destroy(T&).
template <class Derived, class Interface, const GUID& Iid, class T, class Copy, class Container>
class IQOEnumOnSTLImpl : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public Interface {
 public:
  using tContainer = Container;

  static std::array<CQOInterfaceEntry, 2> qoBuildInterfaceTable(Derived* self) noexcept {
    return {{qoInterfaceEntry<Interface>(Iid, self), kQoInterfaceTableEnd}};
  }

  // A new enumerator that owns `list` (moved in), positioned at its start, with one reference
  // for the caller. `out` null: E_POINTER; memory exhausted: E_OUTOFMEMORY (`list` untouched).
  static HRESULT create(Container&& list, Interface** out) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::shared_ptr<const Container> shared;
    try {
      shared = std::make_shared<const Container>(std::move(list));
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return createShared(std::move(shared), out);
  }

  // A new, empty enumerator object with count 0; never throws.
  static HRESULT newObject(CQOComObject<Derived>** obj) noexcept {
    try {
      return CQOComObject<Derived>::CreateInstance(obj);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  // A new enumerator reading `list` (shared, which may be null: an enumerator without a list).
  static HRESULT createShared(std::shared_ptr<const Container> list, Interface** out) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    tHeld obj;
    const HRESULT hr = newHeld(obj);
    if (hr < 0) return hr;
    obj->attach(std::move(list));
    *out = obj.detach();
    return S_OK;
  }

  HRESULT Next(unsigned count, T* items, unsigned* fetched) override {
    if (items == nullptr || (count != 1 && fetched == nullptr)) return E_POINTER;
    if (fetched != nullptr) *fetched = 0;
    if (!list_) return E_FAIL;
    unsigned n = 0;
    auto it = position_;
    const auto end = list_->end();
    for (; n < count && it != end; ++n, ++it) {
      if (!Copy::copy(items[n], *it)) {
        for (unsigned i = 0; i < n; ++i) Copy::destroy(items[i]);
        return E_OUTOFMEMORY;
      }
    }
    position_ = it;
    index_ += n;
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }

  HRESULT Skip(unsigned count) override {
    if (!list_) return E_FAIL;
    const std::size_t remaining = list_->size() - index_;
    if (count > remaining) {
      position_ = list_->end();
      index_ = list_->size();
      return S_FALSE;
    }
    std::advance(position_, count);
    index_ += count;
    return S_OK;
  }

  HRESULT Reset() override {
    if (!list_) return E_FAIL;
    position_ = list_->begin();
    index_ = 0;
    return S_OK;
  }

  HRESULT Clone(Interface** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = nullptr;
    if (!list_) return E_FAIL;
    tHeld obj;
    const HRESULT hr = newHeld(obj);
    if (hr < 0) return hr;
    obj->list_ = list_;
    obj->position_ = position_;
    obj->index_ = index_;
    *copy = obj.detach();
    return S_OK;
  }

  // Diagnostics and tests: the shared list (null when none) and the current position.
  const std::shared_ptr<const Container>& list() const noexcept { return list_; }
  std::size_t position() const noexcept { return index_; }

 protected:
  IQOEnumOnSTLImpl() noexcept = default;
  ~IQOEnumOnSTLImpl() = default;

 private:
  using tHeld = CQOComPtr<CQOComObject<Derived>>;

  // A new enumerator object held by its first reference, so that a path leaving before it is
  // handed out destroys it.
  static HRESULT newHeld(tHeld& held) noexcept {
    CQOComObject<Derived>* obj = nullptr;
    const HRESULT hr = newObject(&obj);
    if (hr < 0) return hr;
    held = tHeld::share(obj);
    return S_OK;
  }

  void attach(std::shared_ptr<const Container> list) noexcept {
    list_ = std::move(list);
    if (list_) position_ = list_->begin();
    index_ = 0;
  }

  std::shared_ptr<const Container> list_;
  typename Container::const_iterator position_{};
  std::size_t index_ = 0;
};

}  // namespace sysapicpp
