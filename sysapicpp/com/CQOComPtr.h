// An owning interface pointer: holds one reference of a reference-counted object (or none) and
// releases it when it is replaced or goes out of scope.
//
//   CQOComPtr<ImxSysEnumPropertyTag> tags;
//   if (bag->GetTags(tags.out()) < 0) return ...;     // the operation's reference is adopted
//   CQOComPtr<ImxSysPropertyBag> held(bagFromAnOperation);  // adopts that reference too
//   CQOComPtr<IUnknown> sink = CQOComPtr<IUnknown>::share(hostSink);  // adds a reference
//   *hostOut = held.detach();                          // hands the reference on
//
// A copy adds a reference of its own; a move hands the one reference over. The old reference is
// released only after the new pointer is in place, so a Release that calls back into code
// reading the holder (a host sink, an object's clean-up) finds the new value, never a pointer
// to a released object.
//
// The object may be the host's (a notification sink, a bag or an image the host passed in),
// reached through its function table as the host declares it: no C++ object of this library, so
// the sanitizer's C++ type check of virtual calls (vptr) is left out of the two calls made here.
#pragma once

#include <cstddef>
#include <utility>

namespace sysapicpp {

template <class I>
class CQOComPtr {
 public:
  CQOComPtr() noexcept = default;
  CQOComPtr(std::nullptr_t) noexcept {}
  // Adopts a reference the caller owns (one an operation handed out).
  explicit CQOComPtr(I* owned) noexcept : p_(owned) {}
  // Takes a reference of its own on `p` (null: none).
  __attribute__((no_sanitize("vptr"))) static CQOComPtr share(I* p) noexcept {
    if (p != nullptr) p->AddRef();
    return CQOComPtr(p);
  }

  CQOComPtr(const CQOComPtr& other) noexcept : CQOComPtr(share(other.p_)) {}
  CQOComPtr(CQOComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  CQOComPtr& operator=(const CQOComPtr& other) noexcept {
    // The new reference first: assigning a pointer to itself keeps the object alive.
    reset(share(other.p_).detach());
    return *this;
  }
  CQOComPtr& operator=(CQOComPtr&& other) noexcept {
    if (this != &other) reset(other.detach());
    return *this;
  }
  ~CQOComPtr() { reset(); }

  // Adopts `owned` (null: holds none); the previous reference is released afterwards.
  __attribute__((no_sanitize("vptr"))) void reset(I* owned = nullptr) noexcept {
    I* old = std::exchange(p_, owned);
    if (old != nullptr) old->Release();
  }
  // Gives the reference up to the caller.
  [[nodiscard]] I* detach() noexcept { return std::exchange(p_, nullptr); }
  // Where an operation stores the reference it hands out; the one held so far is released first.
  I** out() noexcept {
    reset();
    return &p_;
  }

  I* get() const noexcept { return p_; }
  I* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const CQOComPtr& ptr, std::nullptr_t) noexcept { return !ptr; }

 private:
  I* p_ = nullptr;
};

}  // namespace sysapicpp
