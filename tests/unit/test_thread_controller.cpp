// Thread controller: starting, naming, scheduling class, the one-thread-at-a-time rule,
// joining, and what destruction does with a thread that still runs.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qoapal/protons/thread/tThreadController.h"
#include "qoapal/quarks/synchronization/synchronization.h"
#include "qoapal/quarks/thread/iThread.h"
#include "qoapal/quarks/thread/thread.h"
#include "qoapal/trace/qosdbg.h"
#include "tests/unit/ThreadTestSupport.h"
#include "tests/common/PlatformNames.h"

namespace {

using apal::iThread;
using apal::tEvent;
using apal::tStatus;
using apal::tThreadController;

// A body running a function on the started thread.
class FunctionBody : public iThread {
 public:
  explicit FunctionBody(std::function<void()> fn) : fn_(std::move(fn)) {}
  void run() override { fn_(); }

 private:
  std::function<void()> fn_;
};

// What a thread observes about itself.
struct Observed {
  std::string name;
  int policy = -1;
  int priority = -1;
};

Observed observeSelf() {
  Observed o;
  char name[apal::thread::kKernelNameLength + 1];
  apal::thread::currentThreadName(name);
  o.name = name;
  sched_param parameter{};
  pthread_getschedparam(pthread_self(), &o.policy, &parameter);
  o.priority = parameter.sched_priority;
  return o;
}

// Starts a body that records what it observes, joins, and returns the observation.
Observed runAndObserve(int priority, const char* name, tStatus& status) {
  Observed seen;
  FunctionBody body([&] { seen = observeSelf(); });
  tThreadController controller;
  controller.start(&body, priority, name, &status);
  controller.join();
  return seen;
}

std::string policyName(int policy) {
  switch (policy) {
    case SCHED_OTHER:
      return "SCHED_OTHER";
    case SCHED_RR:
      return "SCHED_RR";
    case SCHED_FIFO:
      return "SCHED_FIFO";
    default:
      return std::to_string(policy);
  }
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerStart, RunsTheBodyOnceOnANewNamedThread) {
  std::atomic<int> runs{0};
  std::atomic<bool> otherThread{false};
  const pthread_t starter = pthread_self();
  std::string name;
  FunctionBody body([&] {
    ++runs;
    otherThread = !pthread_equal(pthread_self(), starter);
    name = observeSelf().name;
  });
  tThreadController controller;
  tStatus status;
  controller.start(&body, 0, "qo-test-body", &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(controller.isRunning());
  EXPECT_TRUE(controller.isJoinable());
  controller.join();
  EXPECT_FALSE(controller.isRunning());
  EXPECT_FALSE(controller.isJoinable());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_TRUE(otherThread.load());
  EXPECT_EQ(name, "qo-test-body");
}

TEST(ThreadControllerStart, TwoArgumentFormUsesTheComponentNameAndDefaultScheduling) {
  Observed seen;
  FunctionBody body([&] { seen = observeSelf(); });
  tThreadController controller;
  tStatus status;
  controller.start(&body, &status);
  controller.join();
  ASSERT_EQ(status.code, 0);
  // "qovorlixatomicsae" is 17 bytes; the kernel keeps 15.
  EXPECT_EQ(seen.name, "qovorlixatomics");
  EXPECT_EQ(seen.policy, SCHED_OTHER);
}

TEST(ThreadControllerStart, DoesNothingWhenTheStatusHoldsAnError) {
  std::atomic<int> runs{0};
  FunctionBody body([&] { ++runs; });
  tThreadController controller;
  tStatus status;
  status.setCode(-1234, "x", "y", 1);
  controller.start(&body, 0, "qo-test", &status);
  controller.join();
  EXPECT_EQ(status.code, -1234);
  EXPECT_FALSE(controller.isJoinable());
  EXPECT_EQ(runs.load(), 0);
}

TEST(ThreadControllerStart, NullBodyIsRefused) {
  tThreadController controller;
  tStatus status;
  controller.start(nullptr, 0, "qo-test", &status);
  EXPECT_EQ(status.code, -52005);
  EXPECT_STREQ(status.file, "tThreadController");
  EXPECT_FALSE(controller.isJoinable());
}

TEST(ThreadControllerStart, AWarningInTheStatusDoesNotPreventTheStart) {
  std::atomic<int> runs{0};
  FunctionBody body([&] { ++runs; });
  tThreadController controller;
  tStatus status;
  status.setCode(7, "x", "y", 1);
  controller.start(&body, &status);
  controller.join();
  EXPECT_EQ(status.code, 7);
  EXPECT_EQ(runs.load(), 1);
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerSecondStart, SetsAlreadyRunningAndLeavesTheRunningThreadAlone) {
  tEvent release;
  ASSERT_TRUE(threadtest::created(release, false));
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  FunctionBody body([&] {
    ++runs;
    release.wait();
    finished = true;
  });
  tThreadController controller;
  tStatus first;
  controller.start(&body, 0, "qo-test-first", &first);
  ASSERT_EQ(first.code, 0);
  const pthread_t id = controller.threadId();

  tStatus second;
  FunctionBody other([&] { runs += 100; });
  controller.start(&other, 0, "qo-test-second", &second);
  EXPECT_EQ(second.code, -52016);
  EXPECT_STREQ(second.component, "qovorlixa");
  EXPECT_STREQ(second.file, "tThreadController");
  EXPECT_EQ(second.line, 56u);
  EXPECT_TRUE(controller.isRunning());
  EXPECT_TRUE(pthread_equal(controller.threadId(), id));
  EXPECT_FALSE(finished.load());

  release.set();
  controller.join();
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(runs.load(), 1);
}

TEST(ThreadControllerSecondStart, ReportsEvenWhenTheStatusHoldsAWarning) {
  tEvent release;
  tStatus setup;
  release.create(false, &setup);
  FunctionBody body([&] { release.wait(); });
  tThreadController controller;
  controller.start(&body, &setup);
  ASSERT_EQ(setup.code, 0);
  tStatus second;
  second.setCode(3, "x", "y", 1);
  controller.start(&body, &second);
  EXPECT_EQ(second.code, -52016);
  release.set();
  controller.join();
}

TEST(ThreadControllerSecondStart, AfterAJoinTheControllerStartsAgain) {
  std::atomic<int> runs{0};
  FunctionBody body([&] { ++runs; });
  tThreadController controller;
  for (int i = 0; i < 3; ++i) {
    tStatus status;
    controller.start(&body, &status);
    ASSERT_EQ(status.code, 0) << "run " << i;
    controller.join();
  }
  EXPECT_EQ(runs.load(), 3);
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerScheduling, PriorityZeroRunsUnderSchedOther) {
  tStatus status;
  const Observed seen = runAndObserve(0, "qo-test-other", status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(policyName(seen.policy), "SCHED_OTHER");
  EXPECT_EQ(seen.priority, 0);
}

TEST(ThreadControllerScheduling, NegativePriorityRunsUnderSchedOther) {
  tStatus status;
  const Observed seen = runAndObserve(-5, "qo-test-neg", status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(policyName(seen.policy), "SCHED_OTHER");
  EXPECT_EQ(seen.priority, 0);
}

TEST(ThreadControllerScheduling, PriorityTenRunsUnderRoundRobinPriorityTen) {
  tStatus status;
  const Observed seen = runAndObserve(10, "qo-test-rr", status);
  ASSERT_EQ(status.code, 0) << "the system refused a SCHED_RR thread of priority 10 (file "
                            << status.file << ", line " << status.line
                            << "); this test needs root and real-time scheduling";
  EXPECT_EQ(policyName(seen.policy), "SCHED_RR");
  EXPECT_EQ(seen.priority, 10);
}

TEST(ThreadControllerScheduling, SchedulingIsExplicitNotInheritedFromTheStarter) {
  // Start from a SCHED_RR thread: the new priority-0 thread must still be SCHED_OTHER.
  Observed seen;
  tStatus status;
  int starterPolicy = -1;
  std::thread starter([&] {
    pthread_setname_np(pthread_self(), "qo-test-start");
    sched_param parameter{};
    parameter.sched_priority = 5;
    if (pthread_setschedparam(pthread_self(), SCHED_RR, &parameter) != 0) return;
    sched_param now{};
    pthread_getschedparam(pthread_self(), &starterPolicy, &now);
    seen = runAndObserve(0, "qo-test-expl", status);
  });
  starter.join();
  ASSERT_EQ(starterPolicy, SCHED_RR) << "could not make the starting thread SCHED_RR";
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(policyName(seen.policy), "SCHED_OTHER");
}

TEST(ThreadControllerScheduling, AnImpossiblePriorityIsReportedNotStarted) {
  std::atomic<int> runs{0};
  FunctionBody body([&] { ++runs; });
  tThreadController controller;
  tStatus status;
  controller.start(&body, 100, "qo-test-bad", &status);  // SCHED_RR stops at 99
  controller.join();
  EXPECT_EQ(status.code, -52008);
  EXPECT_STREQ(status.file, "quarks/thread");
  EXPECT_EQ(status.line, 632u);
  EXPECT_FALSE(controller.isJoinable());
  EXPECT_EQ(runs.load(), 0);
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerName, TheKernelKeepsTheFirstFifteenBytes) {
  tStatus status;
  const Observed seen = runAndObserve(0, "qo-a-rather-long-thread-name", status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(seen.name, "qo-a-rather-lon");
  EXPECT_EQ(seen.name.size(), 15u);
}

TEST(ThreadControllerName, AFifteenByteNameIsKeptWhole) {
  tStatus status;
  const Observed seen = runAndObserve(0, "qo-fifteen-byte", status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(seen.name, "qo-fifteen-byte");
}

TEST(ThreadControllerName, NullNameUsesTheComponentName) {
  tStatus status;
  const Observed seen = runAndObserve(0, nullptr, status);
  ASSERT_EQ(status.code, 0);
  EXPECT_EQ(seen.name, "qovorlixatomics");
}

TEST(ThreadControllerName, TheNameIsSetBeforeTheBodyRuns) {
  // The observation is the body's first action, so a name set later would be missed.
  tStatus status;
  const Observed seen = runAndObserve(0, "qo-early-name", status);
  EXPECT_EQ(seen.name, "qo-early-name");
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerJoin, ASecondJoinDoesNothing) {
  FunctionBody body([] {});
  tThreadController controller;
  tStatus status;
  controller.start(&body, &status);
  controller.join();
  controller.join();  // must not join a stale thread id
  EXPECT_FALSE(controller.isJoinable());
}

TEST(ThreadControllerJoin, JoinWithoutStartDoesNothing) {
  tThreadController controller;
  controller.join();
  EXPECT_FALSE(controller.isRunning());
}

TEST(ThreadControllerJoin, JoinWaitsForTheBody) {
  std::atomic<bool> finished{false};
  FunctionBody body([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    finished = true;
  });
  tThreadController controller;
  tStatus status;
  controller.start(&body, &status);
  controller.join();
  EXPECT_TRUE(finished.load());
}

// ---------------------------------------------------------------------------------------------

TEST(ThreadControllerDestruction, ADestroyedControllerJoinsItsRunningThreadFirst) {
  tEvent release;
  ASSERT_TRUE(threadtest::created(release, false));
  std::atomic<bool> finished{false};
  FunctionBody body([&] {
    release.wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    finished = true;
  });
  std::thread releaser;
  {
    tThreadController controller;
    tStatus status;
    controller.start(&body, 0, "qo-test-dtor", &status);
    ASSERT_EQ(status.code, 0);
    releaser = threadtest::setLater(release, 30, "qo-test-rel");
    EXPECT_FALSE(finished.load());
  }  // destroyed while the body still waits
  EXPECT_TRUE(finished.load());
  releaser.join();
}

TEST(ThreadControllerDestruction, AControllerDestroyedByItsOwnBodyDetachesInsteadOfDeadlocking) {
  tEvent done;
  ASSERT_TRUE(threadtest::created(done, false));
  auto* controller = new tThreadController;
  FunctionBody body([&] {
    delete controller;  // the body owns its controller here
    done.set();
  });
  tStatus status;
  controller->start(&body, 0, "qo-test-self", &status);
  ASSERT_EQ(status.code, 0);
  EXPECT_TRUE(done.waitFor(5000)) << "the self-destroying body did not finish";
  // The detached thread ends right after the set; give it a moment to leave the body.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// ---------------------------------------------------------------------------------------------

std::mutex gAssertionMutex;
std::vector<std::string> gAssertionTexts;
void recordAssertion(const char*, const char* file, int, const char* text) {
  std::lock_guard<std::mutex> hold(gAssertionMutex);
  gAssertionTexts.push_back(std::string(file) + ": " + text);
}
void discardLine(const char*) {}

TEST(ThreadControllerBodyFailure, AnExceptionLeavingTheBodyIsReportedAndEndsOnlyThatThread) {
  {
    std::lock_guard<std::mutex> hold(gAssertionMutex);
    gAssertionTexts.clear();
  }
  auto previousHandler = apal::setAssertionHandler(recordAssertion);
  auto previousOutput = apal::setTraceOutput(discardLine);
  FunctionBody body([] { throw std::runtime_error("body gave up"); });
  tThreadController controller;
  tStatus status;
  controller.start(&body, &status);
  controller.join();
  apal::setAssertionHandler(previousHandler);
  apal::setTraceOutput(previousOutput);
  ASSERT_EQ(status.code, 0);
  std::lock_guard<std::mutex> hold(gAssertionMutex);
  ASSERT_EQ(gAssertionTexts.size(), 1u);
  EXPECT_EQ(gAssertionTexts[0], "quarks/thread: body gave up");
}

}  // namespace
