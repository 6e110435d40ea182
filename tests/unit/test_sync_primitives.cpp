// Synchronization primitives: the recursive priority-inheritance mutex and the event with
// automatic or manual reset and timed waits on the monotonic clock.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qoapal/quarks/synchronization/synchronization.h"
#include "tests/unit/ThreadTestSupport.h"
#include "tests/common/PlatformNames.h"

namespace {

using apal::tEvent;
using apal::tFastMutex;
using apal::tFastMutexLock;
using apal::tStatus;

using threadtest::created;
using threadtest::freeForOthers;
using threadtest::onOtherThread;
using threadtest::setLater;

// Starts `count` named waiters, sets the event once all of them wait, and counts those `wait`
// saw signaled.
template <class Wait>
int wokenByOneSet(tEvent& event, int count, Wait wait) {
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < count; ++i) {
    waiters.emplace_back([&] {
      pthread_setname_np(pthread_self(), "qo-test-waiter");
      ++waiting;
      if (wait()) ++woken;
    });
  }
  while (waiting.load() < count) std::this_thread::yield();
  event.set();
  for (auto& t : waiters) t.join();
  return woken.load();
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
  EXPECT_TRUE(freeForOthers(mutex));
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
  EXPECT_TRUE(freeForOthers(mutex));
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
  threadtest::incrementOnThreads("qo-test-mutex", [&] {
    tFastMutexLock hold(mutex);
    tFastMutexLock again(mutex);  // nested on the same thread
    ++counter;
  });
  EXPECT_EQ(counter, 20000);
}

// ---------------------------------------------------------------------------------------------

TEST(EventCreate, StartsUnsignaledOnTheMonotonicClock) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
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
  ASSERT_TRUE(created(event, true));
  event.set();
  event.set();
  EXPECT_TRUE(event.waitFor(0));
  EXPECT_FALSE(event.waitFor(50)) << "the second set must not have been kept";
}

TEST(EventAutoReset, OneSetWakesOneOfTwoWaiters) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
  EXPECT_EQ(wokenByOneSet(event, 2, [&] { return event.waitFor(400); }), 1);
}

TEST(EventAutoReset, PlainWaitConsumesTheSignal) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
  std::thread setter = setLater(event, 0);
  EXPECT_TRUE(event.wait());
  setter.join();
  EXPECT_FALSE(event.waitFor(0));
}

TEST(EventManualReset, OneSetWakesEveryWaiterAndStaysSignaled) {
  tEvent event;
  ASSERT_TRUE(created(event, false));
  EXPECT_EQ(wokenByOneSet(event, 3, [&] { return event.wait(); }), 3);
  EXPECT_TRUE(event.waitFor(0));
  event.reset();
  EXPECT_FALSE(event.waitFor(10));
}

TEST(EventTimedWait, ReturnsFalseAfterTheTimeOut) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.waitFor(40));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(EventTimedWait, ASetDuringTheWaitEndsItWithTrue) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
  std::thread setter = setLater(event, 20);
  EXPECT_TRUE(event.waitFor(10000));
  setter.join();
}

TEST(EventTimedWait, HugeTimeOutsDoNotOverflowIntoThePast) {
  tEvent event;
  ASSERT_TRUE(created(event, false));
  event.set();
  EXPECT_TRUE(event.waitFor(INT64_MAX));
  event.reset();
  std::thread setter = setLater(event, 20);
  EXPECT_TRUE(event.waitFor(INT64_MAX / 2)) << "an overflowed deadline would time out at once";
  setter.join();
}

TEST(EventTimedWait, NegativeTimeOutWaitsWithoutLimit) {
  tEvent event;
  ASSERT_TRUE(created(event, true));
  std::thread setter = setLater(event, 20);
  EXPECT_TRUE(event.waitFor(-1));
  setter.join();
}

}  // namespace
