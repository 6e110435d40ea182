#include "sysapicpp/DeferredDestruction.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace sysapicpp {

namespace {

class tReaper {
 public:
  ~tReaper() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void defer(std::function<void()>& destroy) noexcept {
    try {
      std::unique_lock<std::mutex> guard(lock_);
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
      queue_.push_back(std::move(destroy));
      ++queued_;
      guard.unlock();
      wake_.notify_all();
    } catch (...) {
      if (destroy) destroy();
    }
  }

  void drain() noexcept {
    std::unique_lock<std::mutex> guard(lock_);
    const std::uint64_t target = queued_;
    done_.wait(guard, [&] { return finished_ >= target; });
  }

 private:
  void run() {
    pthread_setname_np(pthread_self(), "qovorlix::Reaper");
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      wake_.wait(guard, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      std::function<void()> destroy = std::move(queue_.front());
      queue_.pop_front();
      guard.unlock();
      try {
        destroy();
      } catch (...) {
      }
      destroy = nullptr;
      guard.lock();
      ++finished_;
      done_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<std::function<void()>> queue_;
  std::uint64_t queued_ = 0;
  std::uint64_t finished_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

tReaper& reaper() {
  static tReaper instance;
  return instance;
}

}  // namespace

void deferDestruction(std::function<void()> destroy) noexcept { reaper().defer(destroy); }

void drainDeferredDestructions() noexcept { reaper().drain(); }

}  // namespace sysapicpp
