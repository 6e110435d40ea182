#include "sysapicpp/tasks/TaskQueue.h"

#include "qo/err/Exception.h"

namespace sysapicpp {

TaskQueue::~TaskQueue() = default;

TaskWorkItem::~TaskWorkItem() = default;

nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tWorkItemWrapper* TaskWorkItem::execute() noexcept {
  slot_.task().safeRun();
  delete this;
  return nullptr;
}

void throwIfConstructionFailed(const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus& status) {
  qoerr::throwIfFailed(status);
}

template class ThreadedTaskQueue<2>;

AutoTaskQueue::AutoTaskQueue(std::unique_ptr<TaskQueue> queue) noexcept
    : queue_(std::move(queue)) {}

AutoTaskQueue::~AutoTaskQueue() { shutdown(); }

void AutoTaskQueue::enqueue(const Task& task) {
  CqoCSLock lock(lock_);
  if (queue_) queue_->enqueue(task);
}

void AutoTaskQueue::shutdown() {
  std::unique_ptr<TaskQueue> detached;
  {
    CqoCSLock lock(lock_);
    detached = std::move(queue_);
  }
  // Destroyed outside the critical section: its pending tasks may still queue through us.
  detached.reset();
}

bool AutoTaskQueue::isAttached() const {
  CqoCSLock lock(lock_);
  return queue_ != nullptr;
}

}  // namespace sysapicpp
