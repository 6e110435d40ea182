// Threads the unit tests start to look at a lock or an event from the outside: every one is
// named (a sanitizer's report and a debugger's thread list say whose it is) and joined.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <thread>
#include <vector>

#include "qoapal/quarks/synchronization/synchronization.h"

namespace threadtest {

// Runs `fn` on a named, joined thread and returns its result.
template <class Fn>
auto onOtherThread(Fn fn) {
  decltype(fn()) result{};
  std::thread t([&] {
    pthread_setname_np(pthread_self(), "qo-test-other");
    result = fn();
  });
  t.join();
  return result;
}

// Whether another thread can take `lock` (and it gives it back at once).
template <class Lock>
bool freeForOthers(Lock& lock) {
  return onOtherThread([&] {
    const bool taken = lock.tryLock();
    if (taken) lock.unlock();
    return taken;
  });
}

constexpr int kCountingThreads = 4;
constexpr int kIncrementsEach = 5000;

// kCountingThreads threads named `name` each call `increment` kIncrementsEach times: the lock
// the caller takes inside it is what keeps the count whole.
template <class Fn>
void incrementOnThreads(const char* name, Fn increment) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kCountingThreads; ++t) {
    threads.emplace_back([&] {
      pthread_setname_np(pthread_self(), name);
      for (int i = 0; i < kIncrementsEach; ++i) increment();
    });
  }
  for (auto& th : threads) th.join();
}

// Creates `event` (automatic or manual reset) and says whether the status stayed clear.
inline ::testing::AssertionResult created(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tEvent& event,
                                          bool autoReset) {
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus status;
  event.create(autoReset, &status);
  if (status.code == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "event creation set code " << status.code;
}

// A thread named `name` that sets `event` after `delayMs`; the caller joins it.
inline std::thread setLater(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tEvent& event, int delayMs,
                            const char* name = "qo-test-setter") {
  return std::thread([&event, delayMs, name] {
    pthread_setname_np(pthread_self(), name);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    event.set();
  });
}

}  // namespace threadtest
