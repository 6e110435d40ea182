// Synchronization primitives of the platform layer: a recursive priority-inheritance mutex
// (tFastMutex, the lock of the work queue and of the guard and event mutexes) and an event
// (tEvent) with manual or automatic reset whose timed waits run on CLOCK_MONOTONIC. Failures
// of creation are reported into the caller's tStatus (source "quarks/synchronization");
// nothing throws.
//
// Lock order: every lock in this file is a leaf. The event holds its own mutex only inside
// set/reset/wait/waitFor and calls nothing while holding it, so an event may be set or waited
// on while the caller holds any other lock (waiting while holding a lock that the setter needs
// is the caller's deadlock, as always). A tFastMutex is recursive: the owner may take it again;
// callers that nest several tFastMutexes document their order where they declare them.
//
// Lifetime: create() and destroy() belong to the owner and are not safe against concurrent use
// of the same object (create before sharing, destroy after every other thread is done with it).
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace synchronization {
inline constexpr char kSourceName[] = "quarks/synchronization";
inline constexpr unsigned kLineMutexCreate = 588;   // mutex attributes or mutex refused
inline constexpr unsigned kLineEventCreate = 1352;  // condition variable refused
}  // namespace synchronization

// A recursive mutex with the priority-inheritance protocol.
//
// Before create() (and after destroy()) the object is a plain recursive mutex without priority
// inheritance, so a lock()/unlock() on an object whose creation failed still excludes and
// never touches an uninitialised system object.
class tFastMutex {
 public:
  tFastMutex() noexcept = default;
  ~tFastMutex();  // destroys the system mutex if it was created
  tFastMutex(const tFastMutex&) = delete;
  tFastMutex& operator=(const tFastMutex&) = delete;

  // Creates the system mutex: recursive, priority inheritance. -52003 (line 588) when the
  // attributes, the recursive type or the mutex itself are refused. Does nothing when *status
  // holds an error or the mutex is already created.
  void create(tStatus* status) noexcept;
  void lock() noexcept;
  bool tryLock() noexcept;  // true when the calling thread holds the mutex afterwards
  void unlock() noexcept;
  // Destroys the system mutex if created. No thread may hold it (as for any system mutex); if
  // the system refuses because it is held, it stays created and usable.
  void destroy() noexcept;

  bool isCreated() const noexcept { return created_; }
  // True when the system accepted the priority-inheritance protocol at creation.
  bool usesPriorityInheritance() const noexcept { return priorityInheritance_; }

 private:
  pthread_mutex_t mutex_ = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  bool created_ = false;
  bool priorityInheritance_ = false;

  friend class tEvent;
};

// Holds a tFastMutex for the lifetime of the scope.
class tFastMutexLock {
 public:
  explicit tFastMutexLock(tFastMutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
  ~tFastMutexLock() { mutex_.unlock(); }
  tFastMutexLock(const tFastMutexLock&) = delete;
  tFastMutexLock& operator=(const tFastMutexLock&) = delete;

 private:
  tFastMutex& mutex_;
};

// An event: a flag with a condition variable. set() raises the flag and wakes one waiter
// (auto-reset) or every waiter (manual reset); a wait returns once the flag is raised, and with
// auto-reset lowers it again, so one set() lets exactly one wait through. Safe for any number
// of setters and waiters once created.
//
// An event that was never created (or whose creation failed) ignores set() and reset(), and its
// waits return false at once instead of blocking forever.
class tEvent {
 public:
  tEvent() noexcept = default;
  ~tEvent();  // destroys what was created; no thread may be waiting
  tEvent(const tEvent&) = delete;
  tEvent& operator=(const tEvent&) = delete;

  // Creates the condition variable (on CLOCK_MONOTONIC; with default attributes if the clock
  // cannot be chosen) and the event's mutex. -52008 (line 1352) when the condition variable is
  // refused, -52003 (line 588) when the mutex is. Starts unsignaled. Does nothing when *status
  // holds an error or the event is already created.
  void create(bool autoReset, tStatus* status) noexcept;
  void set() noexcept;
  // Lowers the flag (a manual-reset event stays signaled until reset).
  void reset() noexcept;
  // Waits until signaled. True when the event was signaled (false only for an event that was
  // not created, or if the system's wait fails).
  bool wait() noexcept;
  // Waits at most timeoutMs milliseconds (negative: no limit) measured on the event's clock.
  // True when signaled (and, with auto-reset, consumed); false on time-out.
  bool waitFor(std::int64_t timeoutMs) noexcept;
  void destroy() noexcept;

  bool isCreated() const noexcept { return eventCreated_; }
  bool isAutoReset() const noexcept { return autoReset_; }
  // The clock timed waits are measured on: CLOCK_MONOTONIC unless the system refused it.
  clockid_t clock() const noexcept { return clock_; }

 private:
  pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
  tFastMutex mutex_;
  bool mutexCreated_ = false;
  bool autoReset_ = false;
  bool signaled_ = false;
  bool eventCreated_ = false;
  clockid_t clock_ = CLOCK_MONOTONIC;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
