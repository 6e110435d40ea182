// tWorkQueue: a FIFO of work items served by a fixed number of named worker threads.
//
//  - Items start in the order they were queued; each worker takes the first pending item, so
//    at most WorkerCount items run at once and they may finish in any order. No queue lock is
//    held while an item runs.
//  - Workers leave only when the pending list is empty and their stop flag is set, so every item
//    queued before destruction (or by an item running during destruction) is run before the
//    destructor returns.
//  - Every worker thread is named (through tThreadController) and joined: a leaving worker queues
//    its own exit item, whose execution joins that worker's thread. The other worker runs it;
//    the exit item of the last worker is run by the destructor.
//
// Waking workers: a worker that finds the list empty counts itself as asleep (under the queue
// mutex) and waits on the work-available semaphore. Whoever gives it something to do (an
// enqueue, a worker that leaves more items behind, a leaving worker, the destructor) takes one
// sleeper off that count under the mutex and releases the semaphore once after unlocking. So a
// wake-up is signalled only when a worker really sleeps and nobody has woken it yet (no system
// call while workers are busy), and no wake-up is ever lost: the semaphore counts them.
//
// Lock order: the queue mutex (a recursive priority-inheritance tFastMutex owned by the caller)
// guards the pending list, the worker list, the stop flags and the sleeper count. The semaphore
// and the all-exited event (leaves) are only signalled after it is released; it is never held
// while an item runs or while waiting. Taking it spins briefly on tryLock before blocking: it is
// held only for a few list operations, and a contended priority-inheritance mutex otherwise goes
// through the kernel on both lock and unlock.
//
// Failures of construction go into the caller's tStatus (codes of qoapal/status/tStatus.h);
// nothing throws. A queue whose construction failed still destroys cleanly: the workers that did
// start are stopped and joined.
#pragma once

#include <cstdint>
#include <new>
#include <semaphore>
#include <string>

#include "qoapal/component.h"
#include "qoapal/protons/thread/tThreadController.h"
#include "qoapal/quarks/synchronization/synchronization.h"
#include "qoapal/quarks/thread/iThread.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace workqueue {
inline constexpr char kSourceName[] = "tWorkQueue";
inline constexpr unsigned kLineNameCopy = 131;  // the thread name could not be copied
}  // namespace workqueue

// One unit of work stored in a tWorkQueue (an intrusive list node).
class tWorkItemWrapper {
 public:
  virtual ~tWorkItemWrapper() = default;

  // Runs the work on a worker thread, with no queue lock held. Returns the next item to run on
  // the same thread, or null. An item may delete itself here; the queue does not touch it again.
  virtual tWorkItemWrapper* execute() noexcept = 0;
  // Called under the queue mutex when the item is taken off the pending list.
  virtual void preRun() noexcept {}

  // True while the item is on a pending list.
  bool isLinked() const noexcept { return linked_; }

 protected:
  tWorkItemWrapper() noexcept = default;
  tWorkItemWrapper(const tWorkItemWrapper&) = delete;
  tWorkItemWrapper& operator=(const tWorkItemWrapper&) = delete;

 private:
  friend class tWorkItemList;
  tWorkItemWrapper* next_ = nullptr;
  bool linked_ = false;
};

// FIFO of work items; not synchronised (the queue's mutex guards it).
class tWorkItemList {
 public:
  bool isEmpty() const noexcept { return head_ == nullptr; }
  // Appends at the tail; an item already on a list is left where it is. True when appended.
  bool append(tWorkItemWrapper* item) noexcept {
    if (item == nullptr || item->linked_) return false;
    item->next_ = nullptr;
    item->linked_ = true;
    if (tail_ != nullptr) {
      tail_->next_ = item;
    } else {
      head_ = item;
    }
    tail_ = item;
    return true;
  }
  // Unlinks and returns the first item, or null when empty.
  tWorkItemWrapper* popFront() noexcept {
    tWorkItemWrapper* item = head_;
    if (item == nullptr) return nullptr;
    head_ = item->next_;
    if (head_ == nullptr) tail_ = nullptr;
    item->next_ = nullptr;
    item->linked_ = false;
    return item;
  }

 private:
  tWorkItemWrapper* head_ = nullptr;
  tWorkItemWrapper* tail_ = nullptr;
};

template <class tMutex, unsigned WorkerCount>
class tWorkQueue {
  static_assert(WorkerCount > 0, "a work queue needs at least one worker");

 public:
  // Creates the all-exited event (auto-reset) and starts the workers with
  // `priority` (<= 0: normal time-sharing) and `name` (null: the thread controller's default),
  // stopping at the first failure. Does nothing when *status already holds an error.
  // `mutex` must not be null, must be usable (created) and must outlive the queue.
  tWorkQueue(tMutex* mutex, int priority, const char* name, tStatus* status) noexcept
      : mutex_(mutex), priority_(priority) {
    if (status == nullptr || status->isFatal()) return;
    try {
      if (name != nullptr) name_ = name;
    } catch (const std::bad_alloc&) {
      status->setCode(nQOAPALS100::tStatus::kMemoryFull, kComponentName, workqueue::kSourceName,
                      workqueue::kLineNameCopy);
      return;
    }
    allExited_.create(true, status);
    for (tWorker& worker : workers_) {
      if (status->isFatal()) break;
      worker.queue = this;
      // Listed before it starts, so a worker always finds itself in the list when it leaves.
      {
        tLock lock(*this);
        worker.listed = true;
        ++listedWorkers_;
      }
      worker.thread.start(&worker, priority_, name != nullptr ? name_.c_str() : nullptr, status);
      if (!worker.thread.isJoinable()) {
        tLock lock(*this);
        worker.listed = false;
        --listedWorkers_;
      }
    }
  }

  // Stops the workers once the pending list is empty, waits until all have left and joins them.
  // Every item queued before (or while) the queue is destroyed runs first.
  ~tWorkQueue() {
    bool anyWorker;
    unsigned sleepers;
    {
      tLock lock(*this);
      for (tWorker& worker : workers_) {
        if (worker.listed) worker.stop = true;
      }
      anyWorker = listedWorkers_ > 0;
      sleepers = sleepingWorkers_;
      sleepingWorkers_ = 0;
    }
    if (anyWorker) {
      // Workers that are awake see their stop flag the next time they find the list empty.
      if (sleepers > 0) workAvailable_.release(static_cast<std::ptrdiff_t>(sleepers));
      allExited_.wait();
    }
    // Left over: the last worker's exit item, which joins that worker's thread.
    for (;;) {
      tWorkItemWrapper* item;
      {
        tLock lock(*this);
        item = pending_.popFront();
      }
      if (item == nullptr) break;
      while (item != nullptr) item = item->execute();
    }
    // Members go in reverse order: the workers' thread controllers (which would join anything
    // still joinable; nothing is, after the above) before the events the workers use.
  }

  tWorkQueue(const tWorkQueue&) = delete;
  tWorkQueue& operator=(const tWorkQueue&) = delete;

  // Appends `item` at the tail of the pending list (unless it is already on it) and wakes a
  // worker. The queue does not own the item; an item usually deletes itself in execute().
  void enqueue(tWorkItemWrapper* item) noexcept {
    bool wake;
    {
      tLock lock(*this);
      wake = pending_.append(item) && claimSleeper();
    }
    // A worker that is not asleep finds the item when it next looks at the list.
    if (wake) workAvailable_.release();
  }

  // Number of workers started and not yet left.
  unsigned runningWorkers() const noexcept {
    tLock lock(*this);
    return listedWorkers_;
  }
  int priority() const noexcept { return priority_; }
  const std::string& name() const noexcept { return name_; }

 private:
  // The queue mutex, taken the way the queue takes it (a short tryLock spin, then blocking).
  void lock() const noexcept {
    for (unsigned attempt = 0; attempt < kLockSpins; ++attempt) {
      if (mutex_->tryLock()) return;
      spinPause();
    }
    mutex_->lock();
  }
  void unlock() const noexcept { mutex_->unlock(); }

  // Holds the queue mutex for a scope (through lock()/unlock() above).
  class tLock {
   public:
    explicit tLock(const tWorkQueue& queue) noexcept : queue_(queue) { queue_.lock(); }
    ~tLock() { queue_.unlock(); }
    tLock(const tLock&) = delete;
    tLock& operator=(const tLock&) = delete;

   private:
    const tWorkQueue& queue_;
  };

  // Tries before blocking; a holder keeps the mutex for a few list operations only.
  static constexpr unsigned kLockSpins = 64;
  static void spinPause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  // Takes one sleeping worker off the count (the caller then releases the semaphore once, after
  // unlocking). False when no worker sleeps or every sleeper has already been woken. Called
  // with the queue mutex held.
  bool claimSleeper() noexcept {
    if (sleepingWorkers_ == 0) return false;
    --sleepingWorkers_;
    return true;
  }

  struct tWorker;

  // Queued by a leaving worker; running it joins that worker's thread.
  struct tExitItem final : tWorkItemWrapper {
    tWorker* worker = nullptr;
    tWorkItemWrapper* execute() noexcept override {
      worker->thread.join();
      return nullptr;
    }
  };

  struct tWorker final : iThread {
    tWorker() noexcept { exitItem.worker = this; }
    void run() override { queue->workerLoop(*this); }

    tWorkQueue* queue = nullptr;
    bool stop = false;    // guarded by the queue mutex
    bool listed = false;  // on the worker list; guarded by the queue mutex
    tExitItem exitItem;
    tThreadController thread;
  };

  void workerLoop(tWorker& self) noexcept {
    for (;;) {
      lock();
      if (pending_.isEmpty()) {
        if (self.stop) break;  // leaves with the mutex held
        // Counted under the same hold as the emptiness check, so an enqueue either is seen
        // here or sees this worker asleep and wakes it.
        ++sleepingWorkers_;
        unlock();
        workAvailable_.acquire();
        continue;
      }
      tWorkItemWrapper* item = pending_.popFront();
      item->preRun();
      const bool wakeAnother = !pending_.isEmpty() && claimSleeper();
      unlock();
      // Let a sleeping worker take the next item while this one runs.
      if (wakeAnother) workAvailable_.release();
      while (item != nullptr) item = item->execute();
    }
    self.listed = false;
    --listedWorkers_;
    const bool last = listedWorkers_ == 0;
    pending_.append(&self.exitItem);
    // The exit item joins this thread: a sleeping worker must wake to run it (and to leave).
    const bool wake = claimSleeper();
    unlock();
    if (wake) workAvailable_.release();
    if (last) allExited_.set();
  }

  tMutex* mutex_;  // not owned
  int priority_;
  std::string name_;
  // One release per wake-up owed to a sleeping worker (see claimSleeper).
  std::counting_semaphore<WorkerCount> workAvailable_{0};
  tEvent allExited_;
  tWorkItemList pending_;
  unsigned listedWorkers_ = 0;  // the worker list: workers started and not yet left
  // Workers that found the list empty and sleep (or are about to) on the semaphore, and that
  // nobody has woken yet. Guarded by the queue mutex.
  unsigned sleepingWorkers_ = 0;
  tWorker workers_[WorkerCount];
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
