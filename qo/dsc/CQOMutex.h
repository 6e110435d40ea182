// CQOMutex: a plain (non-recursive) mutex plus the owning thread and an in-use flag. lock() takes
// the mutex, then records the owner and sets the flag; unlock() clears both, then releases.
//
// It can be constant-initialised (no constructor runs at load time), so a global instance is
// usable from any static initialiser and from any thread, and needs no destructor.
//
// Reference counts of host-visible objects do not use it: each object's count is an atomic
// compare-and-swap (sysapicpp/com/CQOComObject.h), which keeps every change indivisible without
// making all objects of the process contend on one lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <type_traits>

class CQOMutex {
 public:
  constexpr CQOMutex() noexcept = default;
  CQOMutex(const CQOMutex&) = delete;
  CQOMutex& operator=(const CQOMutex&) = delete;

  void lock() noexcept {
    mutex_.lock();
    owner_.store(pthread_self(), std::memory_order_relaxed);
    inUse_.store(true, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    owner_.store(0, std::memory_order_relaxed);
    inUse_.store(false, std::memory_order_relaxed);
    mutex_.unlock();
  }

  // Observers (diagnostics and tests); any thread may ask.
  bool inUse() const noexcept { return inUse_.load(std::memory_order_relaxed); }
  bool isHeldByCurrentThread() const noexcept {
    const pthread_t owner = owner_.load(std::memory_order_relaxed);
    return owner != 0 && pthread_equal(owner, pthread_self());
  }

 private:
  std::mutex mutex_;
  std::atomic<pthread_t> owner_{0};
  std::atomic<bool> inUse_{false};
};

// A CQOMutex needs no destructor, so a global instance stays valid until the very end.
static_assert(std::is_trivially_destructible_v<CQOMutex>);

// Holds a CQOMutex for the lifetime of the scope.
class CQOMutexLock {
 public:
  explicit CQOMutexLock(CQOMutex& m) noexcept : m_(m) { m_.lock(); }
  ~CQOMutexLock() { m_.unlock(); }
  CQOMutexLock(const CQOMutexLock&) = delete;
  CQOMutexLock& operator=(const CQOMutexLock&) = delete;

 private:
  CQOMutex& m_;
};
