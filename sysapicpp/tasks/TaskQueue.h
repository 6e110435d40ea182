// Task queues of the expert framework.
//
//  - TaskQueue: the abstract queue; enqueue(task) keeps the queue's own copy (clone()), the
//    caller keeps its task. Nothing is reported back about a queued task.
//  - ThreadedTaskQueue<N>: runs tasks on N named worker threads of a tWorkQueue, starting them
//    in queue order, at most N at once. A throwing task never stops a worker (Task::safeRun).
//    Destruction runs every pending task, then joins the workers. The expert uses
//    ThreadedTaskQueue<2> with the name "qovorlixatomicsae::Worker".
//  - AutoTaskQueue: owns one queue and forwards to it until shut down; afterwards queued tasks
//    are dropped without a report.
//
// Lock order, for everything under sysapicpp/tasks:
//   AutoTaskQueue critical section  ->  queue mutex (tFastMutex)  ->  work queue wake-ups (leaves)
// No queue lock is held while a task runs, so a task may queue further tasks on any queue,
// including the one running it. AutoTaskQueue::shutdown detaches the queue under the critical
// section but destroys it (running the pending tasks, joining the workers) after releasing it,
// so a task that runs during shutdown and queues through the AutoTaskQueue does not deadlock:
// its task is dropped, as for any queue after shutdown.
#pragma once

#include <memory>

#include "qo/dsc/CqoCS.h"
#include "qoapal/quarks/synchronization/synchronization.h"
#include "sysapicpp/tasks/Task.h"
#include "sysapicpp/tasks/tWorkQueue.h"

namespace sysapicpp {

class TaskQueue {
 public:
  virtual ~TaskQueue();
  // Queues a copy of `task` (made with clone()). Throws std::bad_alloc when the copy cannot be
  // made; the task is then not queued.
  virtual void enqueue(const Task& task) = 0;

 protected:
  TaskQueue() = default;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;
};

// The unit the work queue stores: one owned task. Running it calls the task's safeRun() and then
// deletes the work item (and the task with it).
class TaskWorkItem final : public nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tWorkItemWrapper {
 public:
  explicit TaskWorkItem(std::unique_ptr<Task> task) noexcept : slot_(std::move(task)) {}
  ~TaskWorkItem() override;

  tWorkItemWrapper* execute() noexcept override;

 private:
  TaskSlot slot_;
};

// Throws qoerr::Exception built from a failed construction status.
void throwIfConstructionFailed(const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus& status);

template <unsigned WorkerCount>
class ThreadedTaskQueue final : public TaskQueue {
 public:
  // Creates the queue mutex (recursive, priority inheritance) and starts WorkerCount workers
  // named `threadName` (the kernel keeps its first 15 bytes; null: "qovorlixatomicsae") under
  // the normal time-sharing policy. Throws qoerr::Exception with -52003 (mutex) or -52008
  // (event or thread) when that fails; workers already started are stopped and joined first.
  explicit ThreadedTaskQueue(const char* threadName)
      : ThreadedTaskQueue(threadName, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus{}) {}
  // Runs every task still pending, then stops and joins the workers.
  ~ThreadedTaskQueue() override = default;

  void enqueue(const Task& task) override {
    auto item = std::make_unique<TaskWorkItem>(task.clone());
    // The work item deletes itself once it has run.
    workQueue_.enqueue(item.release());
  }

  // Workers started and not yet left (WorkerCount after a successful construction).
  unsigned runningWorkers() const noexcept { return workQueue_.runningWorkers(); }
  bool mutexUsesPriorityInheritance() const noexcept {
    return mutex_.mutex.usesPriorityInheritance();
  }

 private:
  // Created before the work queue exists; a failure is recorded, and nothing is started.
  struct QueueMutex {
    explicit QueueMutex(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status) noexcept {
      mutex.create(status);
    }
    nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tFastMutex mutex;
  };

  ThreadedTaskQueue(const char* threadName, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus&& status);

  QueueMutex mutex_;  // declared first: outlives the work queue that uses it
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tWorkQueue<nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tFastMutex,
                                                  WorkerCount>
      workQueue_;
};

template <unsigned WorkerCount>
ThreadedTaskQueue<WorkerCount>::ThreadedTaskQueue(
    const char* threadName, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus&& status)
    : mutex_(&status), workQueue_(&mutex_.mutex, 0, threadName, &status) {
  // Members are destroyed when this throws: the work queue stops and joins what it started.
  throwIfConstructionFailed(status);
}

extern template class ThreadedTaskQueue<2>;

class AutoTaskQueue final : public TaskQueue {
 public:
  // Attached to `queue` (owned); a null queue starts detached.
  explicit AutoTaskQueue(std::unique_ptr<TaskQueue> queue) noexcept;
  // Shuts down when still attached.
  ~AutoTaskQueue() override;

  // Attached: forwards to the queue (which keeps its own copy). Detached: drops the task.
  void enqueue(const Task& task) override;
  // Detaches the queue and destroys it: every task pending on it runs and its threads are
  // joined before this returns. Later calls (and later enqueues) do nothing.
  void shutdown();
  bool isAttached() const;

 private:
  mutable CqoCS lock_;
  std::unique_ptr<TaskQueue> queue_;  // null once shut down
};

}  // namespace sysapicpp
