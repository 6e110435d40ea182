// Turns a notice into a task that a task-queue worker later hands to the synchronous handler, so
// the thread that noticed a change never waits for the host.
//
// The target handler must outlive every queued notice task (queued tasks hold a plain pointer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/tasks/Task.h"
#include "sysapicpp/tasks/TaskQueue.h"

namespace sysapicpp {

// What a queued notice carries: the handler that delivers it, the kind and its own copy of the
// names.
struct NotifyWorkItem {
  NotificationHandler* target;
  std::int32_t kind;
  std::vector<std::string> names;

  void operator()() { target->notify(kind, names); }
};

class AsyncNotificationHandler final : public NotificationHandler {
 public:
  // Neither the target nor the queue is owned.
  AsyncNotificationHandler(NotificationHandler* target, TaskQueue* queue) noexcept
      : target_(target), queue_(queue) {}

  using NotificationHandler::notify;
  // An empty list, or a target nobody listens to, queues nothing; otherwise one task is queued
  // that delivers the names through the target.
  void notify(std::int32_t kind, const std::vector<std::string>& names) override {
    if (names.empty()) return;
    if (!target_->isListening(kind, names)) return;
    queue_->enqueue(FunctorTask<NotifyWorkItem>(NotifyWorkItem{target_, kind, names}));
  }
  bool isListening(std::int32_t kind, const std::vector<std::string>& names) override {
    return target_->isListening(kind, names);
  }

 private:
  NotificationHandler* target_;
  TaskQueue* queue_;
};

}  // namespace sysapicpp
