// Threaded task queue and auto task queue: start order, at most two tasks at once, throwing
// tasks, shutdown with pending tasks, worker names and joins, the detached auto queue.
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qoapal/quarks/thread/thread.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/tasks/Task.h"
#include "sysapicpp/tasks/TaskQueue.h"
#include "tests/common/PlatformNames.h"

namespace {

using sysapicpp::AutoTaskQueue;
using sysapicpp::FunctorTask;
using sysapicpp::NullTask;
using sysapicpp::Task;
using sysapicpp::TaskQueue;
using sysapicpp::ThreadedTaskQueue;

using namespace std::chrono_literals;
// Only a guard against hanging a broken build; correct code never comes near it.
constexpr auto kPatience = 20s;

// Shared record of what tasks did; tasks are cloned, so they refer to it by pointer.
class Journal {
 public:
  void started(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back(id);
    ++running_;
    maxRunning_ = std::max(maxRunning_, running_);
    changed_.notify_all();
  }
  void finished(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    finishes_.push_back(id);
    changed_.notify_all();
  }
  // Blocks the calling task until open(id).
  void waitOpen(int id) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return open_.count(id) != 0; });
  }
  void open(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.insert(id);
    changed_.notify_all();
  }
  bool waitStarts(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return starts_.size() >= count; });
  }
  bool waitFinishes(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return finishes_.size() >= count; });
  }
  std::vector<int> starts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }
  std::vector<int> finishes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finishes_;
  }
  int maxRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxRunning_;
  }
  void note(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    notes_.push_back(std::move(text));
  }
  std::vector<std::string> notes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> starts_;
  std::vector<int> finishes_;
  std::set<int> open_;
  std::vector<std::string> notes_;
  int running_ = 0;
  int maxRunning_ = 0;
};

// Records its start, optionally waits to be let through, records its end.
struct Step {
  Journal* journal;
  int id;
  bool gated;
  void operator()() const {
    journal->started(id);
    if (gated) journal->waitOpen(id);
    journal->finished(id);
  }
};
using StepTask = FunctorTask<Step>;

// Runs a function; the function object is shared between copies.
struct Call {
  std::shared_ptr<std::function<void()>> fn;
  void operator()() const { (*fn)(); }
};
FunctorTask<Call> callTask(std::function<void()> fn) {
  return FunctorTask<Call>(Call{std::make_shared<std::function<void()>>(std::move(fn))});
}

std::string currentName() {
  char name[apal::thread::kKernelNameLength + 1];
  apal::thread::currentThreadName(name);
  return name;
}

// Names of this process's threads.
std::vector<std::string> threadNames() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::size_t countThreadsNamed(const std::string& name) {
  auto names = threadNames();
  return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

// ---------------------------------------------------------------------------------------------

TEST(TaskQueueOrder, TenTasksQueuedAtOnceAllRunStartingInQueueOrder) {
  Journal journal;
  {
    ThreadedTaskQueue<2> queue("qo-order");
    for (int i = 0; i < 10; ++i) queue.enqueue(StepTask(Step{&journal, i, false}));
    ASSERT_TRUE(journal.waitFinishes(10));
  }
  auto finishes = journal.finishes();
  std::sort(finishes.begin(), finishes.end());
  EXPECT_EQ(finishes, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_LE(journal.maxRunning(), 2);
}

// Held tasks make the order exact: while the two running tasks are held, nothing else starts,
// and each release lets exactly the next queued task start, whichever of the two ends first.
TEST(TaskQueueOrder, HeldTasksStartStrictlyInQueueOrderAtMostTwoAtATime) {
  Journal journal;
  ThreadedTaskQueue<2> queue("qo-order");
  for (int i = 0; i < 10; ++i) queue.enqueue(StepTask(Step{&journal, i, true}));

  ASSERT_TRUE(journal.waitStarts(2));
  std::this_thread::sleep_for(50ms);  // a third task would have started by now
  auto starts = journal.starts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(std::set<int>(starts.begin(), starts.end()), (std::set<int>{0, 1}));

  // Release the newer of the two running tasks first, then the older, alternately.
  const int releases[] = {1, 0, 2, 3, 5, 4, 6, 7, 9, 8};
  for (std::size_t k = 0; k < 10; ++k) {
    journal.open(releases[k]);
    ASSERT_TRUE(journal.waitFinishes(k + 1));
    const std::size_t expectStarts = std::min<std::size_t>(k + 3, 10);
    ASSERT_TRUE(journal.waitStarts(expectStarts));
    starts = journal.starts();
    ASSERT_EQ(starts.size(), expectStarts) << "after releasing " << releases[k];
    // The tasks started so far are exactly the first ones queued.
    std::vector<int> sorted = starts;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) EXPECT_EQ(sorted[i], static_cast<int>(i));
  }
  // Apart from the first pair (taken by two workers at once), starts follow queue order.
  starts = journal.starts();
  for (std::size_t i = 3; i < starts.size(); ++i) EXPECT_EQ(starts[i], static_cast<int>(i));
  EXPECT_EQ(journal.maxRunning(), 2);
}

TEST(TaskQueueOrder, TheQueueRunsItsOwnCopyAndTheCallerKeepsItsTask) {
  Journal journal;
  StepTask task(Step{&journal, 5, false});
  {
    ThreadedTaskQueue<2> queue("qo-copy");
    queue.enqueue(task);
    queue.enqueue(task);  // the same task object queued twice: two copies
  }
  EXPECT_EQ(journal.finishes(), (std::vector<int>{5, 5}));
  task.run();  // still the caller's, still usable
  EXPECT_EQ(journal.finishes().size(), 3u);
}

TEST(TaskQueueOrder, ATaskMayQueueFurtherTasksOnItsOwnQueue) {
  Journal journal;
  {
    ThreadedTaskQueue<2> queue("qo-nested");
    ThreadedTaskQueue<2>* q = &queue;
    queue.enqueue(callTask([&journal, q] {
      journal.note("outer");
      q->enqueue(StepTask(Step{&journal, 1, false}));
    }));
    ASSERT_TRUE(journal.waitFinishes(1));
  }
  EXPECT_EQ(journal.notes(), std::vector<std::string>{"outer"});
  EXPECT_EQ(journal.finishes(), std::vector<int>{1});
}

// ---------------------------------------------------------------------------------------------

struct ThrowingStep {
  Journal* journal;
  int id;
  int kind;
  void operator()() const {
    journal->started(id);
    journal->finished(id);
    switch (kind % 4) {
      case 0:
        throw sysapicpp::UnexpectedException(sysapicpp::tRaiseContext{"test", 1, nullptr});
      case 1:
        throw std::logic_error("task failed");
      case 2:
        throw -5;
      default:
        throw 'x';
    }
  }
};

TEST(TaskQueueThrowingTask, TheNextTaskStillRuns) {
  Journal journal;
  {
    ThreadedTaskQueue<2> queue("qo-throw");
    queue.enqueue(FunctorTask<ThrowingStep>(ThrowingStep{&journal, 0, 1}));
    queue.enqueue(StepTask(Step{&journal, 1, false}));
    ASSERT_TRUE(journal.waitFinishes(2));
  }
  auto finishes = journal.finishes();
  std::sort(finishes.begin(), finishes.end());
  EXPECT_EQ(finishes, (std::vector<int>{0, 1}));
}

TEST(TaskQueueThrowingTask, BothWorkersSurviveManyThrowingTasks) {
  Journal journal;
  ThreadedTaskQueue<2> queue("qo-throw");
  for (int i = 0; i < 20; ++i)
    queue.enqueue(FunctorTask<ThrowingStep>(ThrowingStep{&journal, i, i}));
  ASSERT_TRUE(journal.waitFinishes(20));
  EXPECT_EQ(queue.runningWorkers(), 2u);
  // Two held tasks run at the same time: both workers are still serving the queue.
  queue.enqueue(StepTask(Step{&journal, 100, true}));
  queue.enqueue(StepTask(Step{&journal, 101, true}));
  ASSERT_TRUE(journal.waitStarts(22));
  auto starts = journal.starts();
  EXPECT_EQ(std::set<int>(starts.end() - 2, starts.end()), (std::set<int>{100, 101}));
  journal.open(100);
  journal.open(101);
  ASSERT_TRUE(journal.waitFinishes(22));
}

// ---------------------------------------------------------------------------------------------

// Workers that went idle are woken once per task that needs them: after each pause (workers
// still spinning, just asleep, long asleep) two held tasks must run at the same time, whether the
// caller queues both or the first queues the second from inside. A lost or merged wake-up
// leaves the second task pending behind the first, and the round times out.
TEST(TaskQueueWakeUp, TwoHeldTasksQueuedAfterAnIdlePauseRunAtOnce) {
  const struct {
    const char* name;
    std::chrono::microseconds pause;
    bool secondQueuedByFirst;
  } rows[] = {
      {"no pause, both by the caller", 0us, false},
      {"short pause, both by the caller", 200us, false},
      {"long pause, both by the caller", 20ms, false},
      {"no pause, second by the first", 0us, true},
      {"long pause, second by the first", 20ms, true},
  };
  for (const auto& row : rows) {
    Journal journal;
    ThreadedTaskQueue<2> queue("qo-wake");
    ThreadedTaskQueue<2>* q = &queue;
    for (int round = 0; round < 20; ++round) {
      const int first = 2 * round, second = 2 * round + 1;
      std::this_thread::sleep_for(row.pause);
      if (row.secondQueuedByFirst) {
        queue.enqueue(callTask([&journal, q, first, second] {
          q->enqueue(StepTask(Step{&journal, second, true}));
          Step{&journal, first, true}();
        }));
      } else {
        queue.enqueue(StepTask(Step{&journal, first, true}));
        queue.enqueue(StepTask(Step{&journal, second, true}));
      }
      ASSERT_TRUE(journal.waitStarts(static_cast<std::size_t>(second) + 1))
          << row.name << ", round " << round;
      journal.open(first);
      journal.open(second);
      ASSERT_TRUE(journal.waitFinishes(static_cast<std::size_t>(second) + 1))
          << row.name << ", round " << round;
    }
    EXPECT_EQ(journal.maxRunning(), 2) << row.name;
  }
}

// ---------------------------------------------------------------------------------------------

TEST(TaskQueueShutdown, DestructionRunsThreePendingTasksBeforeReturning) {
  Journal journal;
  auto queue = std::make_unique<ThreadedTaskQueue<2>>("qo-shutdown");
  // Both workers held, so the next three stay pending.
  queue->enqueue(StepTask(Step{&journal, 0, true}));
  queue->enqueue(StepTask(Step{&journal, 1, true}));
  ASSERT_TRUE(journal.waitStarts(2));
  for (int i = 2; i < 5; ++i) queue->enqueue(StepTask(Step{&journal, i, false}));
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(journal.starts().size(), 2u);  // still pending

  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    journal.open(0);
    journal.open(1);
  });
  queue.reset();  // returns only when everything queued has run
  releaser.join();

  auto finishes = journal.finishes();
  ASSERT_EQ(finishes.size(), 5u);
  std::sort(finishes.begin(), finishes.end());
  EXPECT_EQ(finishes, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(TaskQueueShutdown, TasksQueuedByRunningTasksDuringDestructionAlsoRun) {
  Journal journal;
  auto queue = std::make_unique<ThreadedTaskQueue<2>>("qo-shutdown");
  ThreadedTaskQueue<2>* q = queue.get();
  queue->enqueue(callTask([&journal, q] {
    journal.waitOpen(-1);
    for (int i = 0; i < 3; ++i) q->enqueue(StepTask(Step{&journal, i, false}));
  }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    journal.open(-1);
  });
  queue.reset();
  releaser.join();
  EXPECT_EQ(journal.finishes().size(), 3u);
}

TEST(TaskQueueShutdown, AnIdleQueueShutsDownAndJoinsBothWorkers) {
  const std::string name = "qo-join-check";
  {
    ThreadedTaskQueue<2> queue(name.c_str());
    EXPECT_EQ(queue.runningWorkers(), 2u);
    // A new thread names itself; give both a moment to get that far.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (countThreadsNamed(name) < 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(countThreadsNamed(name), 2u);
  }
  // Joined threads are gone from the process.
  EXPECT_EQ(countThreadsNamed(name), 0u);
}

TEST(TaskQueueShutdown, RepeatedConstructionAndDestructionLeavesNoThreads) {
  const std::string name = "qo-churn";
  std::atomic<int> runs{0};
  int queued = 0;
  for (int round = 0; round < 25; ++round) {
    ThreadedTaskQueue<2> queue(name.c_str());
    for (int i = 0; i < round % 4; ++i, ++queued) queue.enqueue(callTask([&runs] { ++runs; }));
  }
  EXPECT_EQ(queued, 36);
  EXPECT_EQ(runs.load(), queued);
  EXPECT_EQ(countThreadsNamed(name), 0u);
}

// ---------------------------------------------------------------------------------------------

TEST(TaskQueueWorkerThreads, TasksRunOnTwoWorkersNamedAfterTheQueue) {
  Journal journal;
  std::mutex mutex;
  std::set<pthread_t> threads;
  std::set<std::string> names;
  std::set<int> policies;
  {
    ThreadedTaskQueue<2> queue("qovorlixatomicsae::Worker");
    // Two held tasks force both workers to take one each.
    for (int i = 0; i < 2; ++i) {
      queue.enqueue(callTask([&, i] {
        {
          std::lock_guard<std::mutex> lock(mutex);
          threads.insert(pthread_self());
          names.insert(currentName());
          int policy = -1;
          sched_param parameter{};
          pthread_getschedparam(pthread_self(), &policy, &parameter);
          policies.insert(policy);
        }
        journal.started(i);
        journal.waitOpen(i);
        journal.finished(i);
      }));
    }
    ASSERT_TRUE(journal.waitStarts(2));
    journal.open(0);
    journal.open(1);
  }
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_FALSE(threads.count(pthread_self()));
  // The kernel keeps the first 15 bytes of "qovorlixatomicsae::Worker".
  EXPECT_EQ(names, std::set<std::string>{"qovorlixatomics"});
  EXPECT_EQ(policies, std::set<int>{SCHED_OTHER});
}

TEST(TaskQueueWorkerThreads, NullNameUsesTheComponentName) {
  std::string name;
  {
    ThreadedTaskQueue<2> queue(nullptr);
    queue.enqueue(callTask([&name] { name = currentName(); }));
  }
  EXPECT_EQ(name, "qovorlixatomics");
}

// ---------------------------------------------------------------------------------------------

// A queue that records what it is given, to see what AutoTaskQueue forwards.
class RecordingQueue final : public TaskQueue {
 public:
  explicit RecordingQueue(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~RecordingQueue() override { ++*destroyed_; }
  void enqueue(const Task& task) override { tasks.push_back(task.clone()); }
  std::vector<std::unique_ptr<Task>> tasks;

 private:
  std::atomic<int>* destroyed_;
};

TEST(AutoTaskQueueForwarding, ForwardsCopiesWhileAttached) {
  std::atomic<int> destroyed{0};
  auto owned = std::make_unique<RecordingQueue>(&destroyed);
  RecordingQueue* inner = owned.get();
  AutoTaskQueue queue(std::move(owned));
  EXPECT_TRUE(queue.isAttached());
  Journal journal;
  StepTask task(Step{&journal, 4, false});
  queue.enqueue(task);
  ASSERT_EQ(inner->tasks.size(), 1u);
  EXPECT_NE(inner->tasks[0].get(), static_cast<Task*>(&task));
  inner->tasks[0]->run();
  EXPECT_EQ(journal.finishes(), std::vector<int>{4});
  queue.shutdown();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(AutoTaskQueueDetached, ATaskQueuedAfterShutdownNeverRunsAndRaisesNothing) {
  Journal journal;
  AutoTaskQueue queue(std::make_unique<ThreadedTaskQueue<2>>("qo-auto"));
  queue.shutdown();
  EXPECT_FALSE(queue.isAttached());
  EXPECT_NO_THROW(queue.enqueue(StepTask(Step{&journal, 1, false})));
  EXPECT_NO_THROW(queue.shutdown());  // a second shutdown does nothing
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(journal.starts().empty());
  EXPECT_EQ(countThreadsNamed("qo-auto"), 0u);
}

TEST(AutoTaskQueueDetached, ANullQueueStartsDetached) {
  AutoTaskQueue queue(nullptr);
  EXPECT_FALSE(queue.isAttached());
  EXPECT_NO_THROW(queue.enqueue(NullTask()));
}

TEST(AutoTaskQueueShutdown, ShutdownRunsPendingTasksAndJoinsTheWorkers) {
  Journal journal;
  AutoTaskQueue queue(std::make_unique<ThreadedTaskQueue<2>>("qo-auto-down"));
  queue.enqueue(StepTask(Step{&journal, 0, true}));
  queue.enqueue(StepTask(Step{&journal, 1, true}));
  ASSERT_TRUE(journal.waitStarts(2));
  queue.enqueue(StepTask(Step{&journal, 2, false}));
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    journal.open(0);
    journal.open(1);
  });
  queue.shutdown();
  releaser.join();
  EXPECT_EQ(journal.finishes().size(), 3u);
  EXPECT_EQ(countThreadsNamed("qo-auto-down"), 0u);
}

// A task running while the queue shuts down may still queue through the auto queue: it must
// neither deadlock (shutdown waits for that task) nor reach the queue being destroyed.
TEST(AutoTaskQueueShutdown, ATaskQueuingThroughTheAutoQueueDuringShutdownIsDropped) {
  Journal journal;
  AutoTaskQueue queue(std::make_unique<ThreadedTaskQueue<2>>("qo-auto-re"));
  AutoTaskQueue* q = &queue;
  queue.enqueue(callTask([&journal, q] {
    journal.started(0);
    journal.waitOpen(0);
    q->enqueue(StepTask(Step{&journal, 1, false}));
    journal.finished(0);
  }));
  ASSERT_TRUE(journal.waitStarts(1));
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    journal.open(0);
  });
  queue.shutdown();
  releaser.join();
  EXPECT_EQ(journal.finishes(), std::vector<int>{0});
}

TEST(AutoTaskQueueShutdown, EnqueueRacingShutdownNeverRunsATaskAfterShutdownReturns) {
  for (int round = 0; round < 10; ++round) {
    std::atomic<int> runs{0};
    std::atomic<bool> go{false};
    AutoTaskQueue queue(std::make_unique<ThreadedTaskQueue<2>>("qo-auto-race"));
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
      producers.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 200; ++i) queue.enqueue(callTask([&runs] { ++runs; }));
      });
    }
    go = true;
    std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    queue.shutdown();
    const int afterShutdown = runs.load();
    for (auto& t : producers) t.join();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(runs.load(), afterShutdown) << "round " << round;
    EXPECT_LE(afterShutdown, 400);
  }
}

}  // namespace
