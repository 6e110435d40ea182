// CqoCS: the library's recursive lock ("critical section") used by bags, caches, handlers and the
// delayed expert. A recursive operating-system mutex plus the owning thread and a recursion count.
//
// - lock(timeout) waits until the lock is taken; the timeout argument exists for callers that pass
//   one (always -1 in this library) and is not used. It reports whether the lock was taken; with a
//   working mutex that is always true.
// - unlock() by a thread that does not own the lock does nothing (the lock stays with its owner).
//   The owner's last unlock clears the owner.
// - On a real-time system (the file "/sys/kernel/realtime" exists and starts with '1', checked once
//   per process) the mutex uses the priority-inheritance protocol. If the system refuses that
//   protocol the lock falls back to a plain recursive mutex: it still excludes correctly, only
//   without priority inheritance.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

class CqoCS {
 public:
  // Uses priority inheritance when the system is a real-time one (decided once per process).
  CqoCS();
  // Explicit choice of the protocol; used by the default constructor and by tests.
  explicit CqoCS(bool priorityInheritance);
  ~CqoCS();

  CqoCS(const CqoCS&) = delete;
  CqoCS& operator=(const CqoCS&) = delete;

  // Waits until the lock is taken (the timeout is not used). True when the calling thread holds
  // the lock afterwards.
  bool lock(std::int32_t timeout = -1) noexcept;
  // Takes the lock only if that needs no waiting. True when the calling thread holds it afterwards.
  bool tryLock() noexcept;
  // Releases one level of the calling thread's hold; does nothing when the caller is not the owner.
  void unlock() noexcept;

  // True when the calling thread holds the lock.
  bool isHeldByCurrentThread() const noexcept;
  // Number of unmatched lock() calls of the owner; meaningful only to the owning thread.
  std::int32_t recursionCount() const noexcept;
  // True when the mutex was created with the priority-inheritance protocol.
  bool usesPriorityInheritance() const noexcept { return priorityInheritance_; }

 private:
  pthread_mutex_t mutex_;
  // Owner thread; 0 when the lock is free. Written only by the thread that holds the mutex, read by
  // any thread (unlock's owner check), hence atomic.
  std::atomic<pthread_t> owner_{0};
  std::int32_t count_ = 0;  // touched only by the owner
  bool priorityInheritance_ = false;
};

// Holds a CqoCS for the lifetime of the scope.
class CqoCSLock {
 public:
  explicit CqoCSLock(CqoCS& cs) noexcept : cs_(cs) { cs_.lock(-1); }
  ~CqoCSLock() { cs_.unlock(); }
  CqoCSLock(const CqoCSLock&) = delete;
  CqoCSLock& operator=(const CqoCSLock&) = delete;

 private:
  CqoCS& cs_;
};

namespace qo::dsc {
// Reads the real-time marker file at `path`: true when it exists and its first byte is '1'.
bool realtimeMarkerSet(const char* path) noexcept;
// The process-wide decision for "/sys/kernel/realtime", taken on first use (thread-safe).
bool systemIsRealtime() noexcept;
}  // namespace qo::dsc
