// Synchronization primitives: the recursive priority-inheritance mutex and the event with
// automatic or manual reset and timed waits on the monotonic clock.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qoapal/quarks/synchronization/synchronization.h"

namespace {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
using apal::tEvent;
using apal::tFastMutex;
using apal::tFastMutexLock;
using apal::tStatus;

// Runs fn on a named helper thread and waits for it.
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

// ---------------------------------------------------------------------------------------------

TEST(FastMutexCreate, CreatesARecursivePriorityInheritanceMutex) {
  tFastMutex mutex;
  tStatus status;
  mutex.create(&status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(mutex.isCreated());
  EXPECT_TRUE(mutex.usesPriorityInheritance());
  mutex.lock();
  mutex.lock();  // recursive: the owner takes it again
  EXPECT_FALSE(onOtherThread([&] { return mutex.tryLock(); }));
  mutex.unlock();
  EXPECT_FALSE(onOtherThread([&] { return mutex.tryLock(); }));  // still held once
  mutex.unlock();
  EXPECT_TRUE(onOtherThread([&] {
    const bool taken = mutex.tryLock();
    if (taken) mutex.unlock();
    return taken;
  }));
}

TEST(FastMutexCreate, DoesNothingWhenTheStatusHoldsAnError) {
  tFastMutex mutex;
  tStatus status;
  status.setCode(-1, "x", "y", 1);
  mutex.create(&status);
  EXPECT_FALSE(mutex.isCreated());
  EXPECT_EQ(status.code, -1);
}

TEST(FastMutexCreate, AnUncreatedMutexStillExcludesAndRecurses) {
  tFastMutex mutex;
  mutex.lock();
  mutex.lock();
  EXPECT_FALSE(onOtherThread([&] { return mutex.tryLock(); }));
  mutex.unlock();
  mutex.unlock();
  EXPECT_TRUE(onOtherThread([&] {
    const bool taken = mutex.tryLock();
    if (taken) mutex.unlock();
    return taken;
  }));
}

TEST(FastMutexCreate, ADestroyedMutexStaysUsableAndCanBeCreatedAgain) {
  tFastMutex mutex;
  tStatus status;
  mutex.create(&status);
  mutex.lock();
  mutex.unlock();
  mutex.destroy();
  EXPECT_FALSE(mutex.isCreated());
  // Destroyed: usable again as a plain recursive mutex, and creatable again.
  mutex.lock();
  mutex.unlock();
  mutex.create(&status);
  EXPECT_TRUE(mutex.isCreated());
}

TEST(FastMutexExclusion, GuardsACounterAcrossThreads) {
  tFastMutex mutex;
  tStatus status;
  mutex.create(&status);
  ASSERT_EQ(status.code, 0);
  long counter = 0;  // deliberately not atomic: the mutex is what protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      pthread_setname_np(pthread_self(), "qo-test-mutex");
      for (int i = 0; i < 5000; ++i) {
        tFastMutexLock hold(mutex);
        tFastMutexLock again(mutex);  // nested on the same thread
        ++counter;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 20000);
}

// ---------------------------------------------------------------------------------------------

TEST(EventCreate, StartsUnsignaledOnTheMonotonicClock) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(event.isCreated());
  EXPECT_TRUE(event.isAutoReset());
  EXPECT_EQ(event.clock(), CLOCK_MONOTONIC);
  EXPECT_FALSE(event.waitFor(0));
}

TEST(EventCreate, DoesNothingWhenTheStatusHoldsAnError) {
  tEvent event;
  tStatus status;
  status.setCode(-5, "x", "y", 1);
  event.create(true, &status);
  EXPECT_FALSE(event.isCreated());
  EXPECT_EQ(status.code, -5);
}

TEST(EventCreate, AnUncreatedEventNeverBlocks) {
  tEvent event;
  event.set();
  EXPECT_FALSE(event.wait());
  EXPECT_FALSE(event.waitFor(1000));
}

TEST(EventCreate, DestroyAndCreateAgain) {
  tEvent event;
  tStatus status;
  event.create(false, &status);
  event.set();
  event.destroy();
  EXPECT_FALSE(event.isCreated());
  event.create(true, &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_FALSE(event.waitFor(0)) << "a re-created event starts unsignaled";
}

// ---------------------------------------------------------------------------------------------

TEST(EventAutoReset, SetTwiceBeforeAnyWaitLetsExactlyOneWaitThrough) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  ASSERT_EQ(status.code, 0);
  event.set();
  event.set();
  EXPECT_TRUE(event.waitFor(0));
  EXPECT_FALSE(event.waitFor(50)) << "the second set must not have been kept";
}

TEST(EventAutoReset, OneSetWakesOneOfTwoWaiters) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  ASSERT_EQ(status.code, 0);
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      pthread_setname_np(pthread_self(), "qo-test-waiter");
      ++waiting;
      if (event.waitFor(400)) ++woken;
    });
  }
  while (waiting.load() < 2) std::this_thread::yield();
  event.set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 1);
}

TEST(EventAutoReset, PlainWaitConsumesTheSignal) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  std::thread setter([&] {
    pthread_setname_np(pthread_self(), "qo-test-setter");
    event.set();
  });
  EXPECT_TRUE(event.wait());
  setter.join();
  EXPECT_FALSE(event.waitFor(0));
}

TEST(EventManualReset, OneSetWakesEveryWaiterAndStaysSignaled) {
  tEvent event;
  tStatus status;
  event.create(false, &status);
  ASSERT_EQ(status.code, 0);
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      pthread_setname_np(pthread_self(), "qo-test-waiter");
      ++waiting;
      if (event.wait()) ++woken;
    });
  }
  while (waiting.load() < 3) std::this_thread::yield();
  event.set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(event.waitFor(0));
  event.reset();
  EXPECT_FALSE(event.waitFor(10));
}

TEST(EventTimedWait, ReturnsFalseAfterTheTimeOut) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.waitFor(40));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(EventTimedWait, ASetDuringTheWaitEndsItWithTrue) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  std::thread setter([&] {
    pthread_setname_np(pthread_self(), "qo-test-setter");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.waitFor(10000));
  setter.join();
}

TEST(EventTimedWait, HugeTimeOutsDoNotOverflowIntoThePast) {
  tEvent event;
  tStatus status;
  event.create(false, &status);
  event.set();
  EXPECT_TRUE(event.waitFor(INT64_MAX));
  event.reset();
  std::thread setter([&] {
    pthread_setname_np(pthread_self(), "qo-test-setter");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.waitFor(INT64_MAX / 2)) << "an overflowed deadline would time out at once";
  setter.join();
}

TEST(EventTimedWait, NegativeTimeOutWaitsWithoutLimit) {
  tEvent event;
  tStatus status;
  event.create(true, &status);
  std::thread setter([&] {
    pthread_setname_np(pthread_self(), "qo-test-setter");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.waitFor(-1));
  setter.join();
}

}  // namespace
