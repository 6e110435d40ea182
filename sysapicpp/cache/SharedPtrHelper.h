// SharedPtrHelper<T>: a reference-counted handle to one heap object, safe to copy and release
// from any thread (the count is atomic). The object is deleted (through the type it was created
// with) when the last handle lets go. Item caches, factories and tasks share items through it;
// lookups copy handles, never items.
//
// A handle itself is a plain value: two threads may each use their own copy at the same time,
// but one handle object must not be assigned on one thread while another reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace sysapicpp {

namespace detail {

// The shared count block. Its first two operations are add-reference and release.
class tSharedHolderBase {
 public:
  void addRef() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    // acq_rel: every use of the object by other handles happens before its deletion.
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }
  std::uint32_t count() const noexcept { return count_.load(std::memory_order_acquire); }

 protected:
  tSharedHolderBase() noexcept = default;
  virtual ~tSharedHolderBase() = default;
  // Deletes the object and this block.
  virtual void destroy() noexcept = 0;

 private:
  std::atomic<std::uint32_t> count_{1};
};

template <class U>
class tSharedHolder final : public tSharedHolderBase {
 public:
  explicit tSharedHolder(U* object) noexcept : object_(object) {}

 private:
  ~tSharedHolder() override { delete object_; }
  void destroy() noexcept override { delete this; }
  U* object_;
};

}  // namespace detail

template <class T>
class SharedPtrHelper {
 public:
  SharedPtrHelper() noexcept = default;
  SharedPtrHelper(std::nullptr_t) noexcept {}  // NOLINT: an empty handle
  // Takes ownership of `object` (may be null: an empty handle). If the count block cannot be
  // allocated the object is deleted and std::bad_alloc propagates.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  explicit SharedPtrHelper(U* object) {
    if (object == nullptr) return;
    std::unique_ptr<U> guard(object);
    holder_ = new detail::tSharedHolder<U>(object);
    guard.release();
    object_ = object;
  }

  SharedPtrHelper(const SharedPtrHelper& other) noexcept
      : object_(other.object_), holder_(other.holder_) {
    if (holder_ != nullptr) holder_->addRef();
  }
  SharedPtrHelper(SharedPtrHelper&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)),
        holder_(std::exchange(other.holder_, nullptr)) {}
  // A handle to a derived type converts to a handle to its base, sharing the count.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  SharedPtrHelper(const SharedPtrHelper<U>& other) noexcept  // NOLINT: implicit upcast
      : object_(other.object_), holder_(other.holder_) {
    if (holder_ != nullptr) holder_->addRef();
  }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  SharedPtrHelper(SharedPtrHelper<U>&& other) noexcept  // NOLINT: implicit upcast
      : object_(std::exchange(other.object_, nullptr)),
        holder_(std::exchange(other.holder_, nullptr)) {}

  SharedPtrHelper& operator=(const SharedPtrHelper& other) noexcept {
    SharedPtrHelper(other).swap(*this);
    return *this;
  }
  SharedPtrHelper& operator=(SharedPtrHelper&& other) noexcept {
    SharedPtrHelper(std::move(other)).swap(*this);
    return *this;
  }

  ~SharedPtrHelper() {
    if (holder_ != nullptr) holder_->release();
  }

  void reset() noexcept { SharedPtrHelper().swap(*this); }
  void swap(SharedPtrHelper& other) noexcept {
    std::swap(object_, other.object_);
    std::swap(holder_, other.holder_);
  }

  T* get() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  T* operator->() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Number of handles sharing the object (0 for an empty handle); a snapshot.
  std::uint32_t useCount() const noexcept { return holder_ != nullptr ? holder_->count() : 0; }

  friend bool operator==(const SharedPtrHelper& a, const SharedPtrHelper& b) noexcept {
    return a.object_ == b.object_;
  }

 private:
  template <class>
  friend class SharedPtrHelper;

  T* object_ = nullptr;
  detail::tSharedHolderBase* holder_ = nullptr;
};

// Creates a T with `args` and returns the first handle to it.
template <class T, class... Args>
SharedPtrHelper<T> makeSharedPtrHelper(Args&&... args) {
  return SharedPtrHelper<T>(new T(std::forward<Args>(args)...));
}

}  // namespace sysapicpp
