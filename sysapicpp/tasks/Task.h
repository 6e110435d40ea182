// Tasks: units of background work that the expert hands to its task queue (property refreshes,
// host notifications). A task never reports a result or an error to whoever queued it.
//
// Ownership: queues never share a caller's task. TaskQueue::enqueue makes its own copy with
// clone(), and the queue owns and deletes that copy; the caller keeps (and may reuse) its task.
// A task may therefore hold only state that is safe to copy: values, or handles whose copies
// share an object deliberately (reference-counted item handles, plain pointers to objects that
// outlive the queue).
#pragma once

#include <memory>
#include <utility>

namespace sysapicpp {

class Task {
 public:
  virtual ~Task();

  // An independent copy, owned by the caller.
  virtual std::unique_ptr<Task> clone() const = 0;
  // The work.
  virtual void run() = 0;
  // Calls run() and swallows every exception it throws (the library's own, any std::exception,
  // a thrown int, anything else): a failing task ends quietly and the thread that ran it goes
  // on. Only a thread cancellation's unwind passes through, as it must.
  virtual void safeRun();

 protected:
  Task() = default;
  Task(const Task&) = default;
  Task& operator=(const Task&) = default;
};

// A task that does nothing; what an empty task slot runs.
class NullTask final : public Task {
 public:
  NullTask() = default;
  std::unique_ptr<Task> clone() const override;
  void run() override {}
};

// A task that calls a copyable function object: run() calls functor(). The copy made by clone()
// copies the function object.
template <class Functor>
class FunctorTask final : public Task {
 public:
  explicit FunctorTask(Functor functor) : functor_(std::move(functor)) {}

  std::unique_ptr<Task> clone() const override { return std::make_unique<FunctorTask>(*this); }
  void run() override { functor_(); }

  const Functor& functor() const noexcept { return functor_; }

 private:
  Functor functor_;
};

// Holds one owned task, or none; with none it stands for a NullTask, so running an empty slot
// does nothing.
class TaskSlot {
 public:
  TaskSlot() noexcept = default;
  explicit TaskSlot(std::unique_ptr<Task> task) noexcept : task_(std::move(task)) {}

  Task& task() noexcept { return task_ ? *task_ : empty_; }
  bool isEmpty() const noexcept { return task_ == nullptr; }

 private:
  std::unique_ptr<Task> task_;
  NullTask empty_;
};

}  // namespace sysapicpp
