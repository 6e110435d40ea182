// Task queue: throughput of no-op tasks (tasks per second, batches of 1000 queued and waited for)
// and the latency from enqueue to the start of the task (counters p50_ns and p99_ns over all
// iterations, one task in flight at a time, so each measurement includes reaching an idle worker).
// Baseline in the same run: a plain two-thread queue (std::mutex, std::condition_variable,
// std::deque of std::function) doing the same work, i.e. what a minimal hand-written queue costs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sysapicpp/tasks/Task.h"
#include "sysapicpp/tasks/TaskQueue.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 1000;

// Baseline: two worker threads over a locked deque of std::function.
class PlainQueue {
 public:
  PlainQueue() {
    for (auto& t : threads_) t = std::thread([this] { loop(); });
  }
  ~PlainQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
  }
  void enqueue(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stop_ || !pending_.empty(); });
        if (pending_.empty()) return;
        fn = std::move(pending_.front());
        pending_.pop_front();
      }
      fn();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> pending_;
  bool stop_ = false;
  std::thread threads_[2];
};

// Counts finished tasks; the benchmark thread waits for a target count.
struct Done {
  std::atomic<std::int64_t> count{0};
  void add() {
    count.fetch_add(1, std::memory_order_release);
    count.notify_one();
  }
  void waitFor(std::int64_t target) {
    for (std::int64_t seen = count.load(std::memory_order_acquire); seen < target;
         seen = count.load(std::memory_order_acquire)) {
      count.wait(seen, std::memory_order_acquire);
    }
  }
};

struct NoOp {
  Done* done;
  void operator()() const { done->add(); }
};

// Records the time from enqueue to start.
struct Stamp {
  Clock::time_point queued;
  std::vector<std::int64_t>* latencies;
  Done* done;
  void operator()() const {
    latencies->push_back(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - queued).count());
    done->add();
  }
};

void reportLatencies(benchmark::State& state, std::vector<std::int64_t>& latencies) {
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    std::size_t i = static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1));
    return static_cast<double>(latencies[i]);
  };
  state.counters["p50_ns"] = at(0.5);
  state.counters["p99_ns"] = at(0.99);
}

void BM_TaskQueueThroughput(benchmark::State& state) {
  sysapicpp::ThreadedTaskQueue<2> queue("qo-bench");
  Done done;
  const sysapicpp::FunctorTask<NoOp> task(NoOp{&done});
  std::int64_t target = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue.enqueue(task);
    target += kBatch;
    done.waitFor(target);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TaskQueueThroughput)->UseRealTime();

void BM_PlainQueueThroughput_Baseline(benchmark::State& state) {
  PlainQueue queue;
  Done done;
  std::int64_t target = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue.enqueue(NoOp{&done});
    target += kBatch;
    done.waitFor(target);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PlainQueueThroughput_Baseline)->UseRealTime();

void BM_TaskQueueEnqueueToStart(benchmark::State& state) {
  sysapicpp::ThreadedTaskQueue<2> queue("qo-bench");
  Done done;
  std::vector<std::int64_t> latencies;
  latencies.reserve(1 << 20);
  std::int64_t target = 0;
  for (auto _ : state) {
    // Only one task is in flight, so the vector is written by one worker at a time; the
    // completion count orders the writes.
    queue.enqueue(sysapicpp::FunctorTask<Stamp>(Stamp{Clock::now(), &latencies, &done}));
    done.waitFor(++target);
  }
  reportLatencies(state, latencies);
}
BENCHMARK(BM_TaskQueueEnqueueToStart)->UseRealTime();

void BM_PlainQueueEnqueueToStart_Baseline(benchmark::State& state) {
  PlainQueue queue;
  Done done;
  std::vector<std::int64_t> latencies;
  latencies.reserve(1 << 20);
  std::int64_t target = 0;
  for (auto _ : state) {
    queue.enqueue(Stamp{Clock::now(), &latencies, &done});
    done.waitFor(++target);
  }
  reportLatencies(state, latencies);
}
BENCHMARK(BM_PlainQueueEnqueueToStart_Baseline)->UseRealTime();

}  // namespace
