// Delivery of item notices to the host's sink: synchronously on the caller's thread, and
// asynchronously through the task queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sysapicpp/AsyncNotificationHandler.h"
#include "sysapicpp/SyncNotificationHandler.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/interfaces/ImxSysEnumStringList.h"
#include "sysapicpp/interfaces/ImxSysNotificationSink.h"
#include "sysapicpp/tasks/TaskQueue.h"

using namespace sysapicpp;

namespace {

ImxSysExpert* const kExpert = reinterpret_cast<ImxSysExpert*>(0x1000);

// A host sink: counts references, records every notice it receives.
class TestSink final : public ImxSysNotificationSink {
 public:
  enum class Mode { kRecord, kFail, kThrowInt, kThrowStd };
  struct Notice {
    ImxSysExpert* expert;
    std::int32_t kind;
    std::vector<std::wstring> names;
    std::thread::id thread;
  };

  explicit TestSink(Mode mode = Mode::kRecord) : mode_(mode) {}

  HRESULT QueryInterface(const GUID*, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }

  HRESULT Notify(ImxSysExpert* expert, std::int32_t kind, ImxSysEnumStringList* names) override {
    refsDuringCall = refs.load();
    if (onNotify) onNotify();
    if (mode_ == Mode::kThrowInt) throw 7;
    if (mode_ == Mode::kThrowStd) throw std::runtime_error("sink broke");
    Notice n{expert, kind, {}, std::this_thread::get_id()};
    for (;;) {
      wchar_t* item = nullptr;
      unsigned fetched = 0;
      if (names->Next(1, &item, &fetched) != S_OK || fetched != 1) break;
      n.names.emplace_back(item);
      CqoBStr::free(item);
    }
    {
      std::lock_guard<std::mutex> g(m);
      notices.push_back(std::move(n));
    }
    cv.notify_all();
    return mode_ == Mode::kFail ? E_FAIL : S_OK;
  }

  std::vector<Notice> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> g(m);
    cv.wait_for(g, std::chrono::seconds(10), [&] { return notices.size() >= count; });
    return notices;
  }

  std::atomic<int> refs{1};  // the test's own reference
  std::atomic<int> refsDuringCall{0};
  std::function<void()> onNotify;
  std::mutex m;
  std::condition_variable cv;
  std::vector<Notice> notices;

 private:
  Mode mode_;
};

// A queue that records what it is given and runs nothing until asked.
class RecordingQueue final : public TaskQueue {
 public:
  void enqueue(const Task& task) override { tasks.push_back(task.clone()); }
  void runAll() {
    for (auto& t : tasks) t->safeRun();
    tasks.clear();
  }
  std::vector<std::unique_ptr<Task>> tasks;
};

}  // namespace

TEST(SyncNotificationDelivery, WithoutSinkNothingHappens) {
  SyncNotificationHandler handler(kExpert);
  EXPECT_FALSE(handler.isListening(1, {"KEL0"}));
  handler.notify(1, std::vector<std::string>{"KEL0"});  // must not crash or call anything
}

TEST(SyncNotificationDelivery, SinkReceivesExpertKindAndNamesWithReferencesBalanced) {
  TestSink sink;
  {
    SyncNotificationHandler handler(kExpert);
    handler.setSink(&sink);
    EXPECT_EQ(sink.refs, 2);
    EXPECT_TRUE(handler.isListening(3, {}));
    handler.notify(1, std::vector<std::string>{"KEL0", "KEL1"});
    handler.notify(2, std::string("KEL\xC3\xA9"));
    auto notices = sink.waitFor(2);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].expert, kExpert);
    EXPECT_EQ(notices[0].kind, 1);
    EXPECT_EQ(notices[0].names, (std::vector<std::wstring>{L"KEL0", L"KEL1"}));
    EXPECT_EQ(notices[1].kind, 2);
    EXPECT_EQ(notices[1].names, std::vector<std::wstring>{L"KEL\u00E9"});
    EXPECT_EQ(sink.refsDuringCall, 3);  // the delivery holds its own reference
    EXPECT_EQ(sink.refs, 2);
  }
  EXPECT_EQ(sink.refs, 1);  // the handler's destruction drops the sink
}

TEST(SyncNotificationDelivery, EmptyListStillReachesTheSink) {
  TestSink sink;
  SyncNotificationHandler handler(kExpert);
  handler.setSink(&sink);
  handler.notify(1, std::vector<std::string>{});
  auto notices = sink.waitFor(1);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_TRUE(notices[0].names.empty());
  handler.clearSink();
}

TEST(SyncNotificationDelivery, FailingOrThrowingSinkLosesOnlyThatNotice) {
  for (auto mode : {TestSink::Mode::kFail, TestSink::Mode::kThrowInt, TestSink::Mode::kThrowStd}) {
    TestSink broken(mode);
    TestSink good;
    SyncNotificationHandler handler(kExpert);
    handler.setSink(&broken);
    handler.notify(1, std::vector<std::string>{"KEL0"});
    EXPECT_EQ(broken.refs, 2) << "the delivery's extra reference must be released";
    handler.setSink(&good);
    EXPECT_EQ(broken.refs, 1);
    handler.notify(2, std::vector<std::string>{"KEL0"});
    EXPECT_EQ(good.waitFor(1).size(), 1u);
    handler.clearSink();
    EXPECT_EQ(good.refs, 1);
  }
}

TEST(SyncNotificationDelivery, MalformedNameLosesTheNoticeNotTheHandler) {
  TestSink sink;
  SyncNotificationHandler handler(kExpert);
  handler.setSink(&sink);
  handler.notify(1, std::vector<std::string>{std::string("\xC0\x80", 2)});
  EXPECT_TRUE(sink.notices.empty());
  EXPECT_EQ(sink.refs, 2);
  handler.notify(1, std::vector<std::string>{"KEL0"});
  EXPECT_EQ(sink.waitFor(1).size(), 1u);
  handler.clearSink();
}

TEST(SyncNotificationDelivery, NoticesAfterClearingAreDropped) {
  TestSink sink;
  SyncNotificationHandler handler(kExpert);
  handler.setSink(&sink);
  handler.setSink(nullptr);
  EXPECT_EQ(sink.refs, 1);
  handler.notify(1, std::vector<std::string>{"KEL0"});
  EXPECT_TRUE(sink.notices.empty());
}

TEST(SyncNotificationDelivery, SinkMayClearItselfFromInsideNotify) {
  TestSink sink;
  SyncNotificationHandler handler(kExpert);
  handler.setSink(&sink);
  sink.onNotify = [&] { handler.clearSink(); };  // re-enters the handler on the same thread
  handler.notify(1, std::vector<std::string>{"KEL0"});
  EXPECT_EQ(sink.waitFor(1).size(), 1u);
  EXPECT_FALSE(handler.hasSink());
  EXPECT_EQ(sink.refs, 1);
}

TEST(SyncNotificationDelivery, ReplacingTheSinkWaitsForADeliveryInProgress) {
  TestSink first;
  TestSink second;
  SyncNotificationHandler handler(kExpert);
  handler.setSink(&first);
  std::promise<void> inside;
  std::promise<void> proceed;
  std::shared_future<void> proceedFuture = proceed.get_future().share();
  first.onNotify = [&] {
    inside.set_value();
    proceedFuture.wait();
  };
  std::thread deliverer([&] { handler.notify(1, std::vector<std::string>{"KEL0"}); });
  inside.get_future().wait();
  std::atomic<bool> replaced{false};
  std::thread replacer([&] {
    handler.setSink(&second);
    replaced = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(replaced) << "the sink in use was replaced during its delivery";
  EXPECT_GE(first.refs, 2);
  proceed.set_value();
  deliverer.join();
  replacer.join();
  EXPECT_TRUE(replaced);
  EXPECT_EQ(first.refs, 1);
  handler.clearSink();
  EXPECT_EQ(second.refs, 1);
}

TEST(AsyncNotificationDelivery, QueuesNothingWithoutListenerOrNames) {
  SyncNotificationHandler target(kExpert);
  RecordingQueue queue;
  AsyncNotificationHandler handler(&target, &queue);
  handler.notify(1, std::vector<std::string>{"KEL0"});
  EXPECT_TRUE(queue.tasks.empty()) << "no sink registered: no task";
  TestSink sink;
  target.setSink(&sink);
  handler.notify(1, std::vector<std::string>{});
  EXPECT_TRUE(queue.tasks.empty()) << "empty list: no task";
  EXPECT_TRUE(handler.isListening(1, {}));
  target.clearSink();
}

TEST(AsyncNotificationDelivery, QueuedTaskCarriesItsOwnCopyOfTheNames) {
  SyncNotificationHandler target(kExpert);
  TestSink sink;
  target.setSink(&sink);
  RecordingQueue queue;
  AsyncNotificationHandler handler(&target, &queue);
  {
    std::vector<std::string> names{"KEL3", "KEL4"};
    handler.notify(3, names);
    names.clear();
  }
  ASSERT_EQ(queue.tasks.size(), 1u);
  EXPECT_TRUE(sink.notices.empty()) << "nothing is delivered before the task runs";
  queue.runAll();
  auto notices = sink.waitFor(1);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].kind, 3);
  EXPECT_EQ(notices[0].names, (std::vector<std::wstring>{L"KEL3", L"KEL4"}));
  target.clearSink();
}

TEST(AsyncNotificationDelivery, DeliversOnAWorkerThread) {
  SyncNotificationHandler target(kExpert);
  TestSink sink;
  target.setSink(&sink);
  {
    ThreadedTaskQueue<2> queue("qo-test-notify");
    AsyncNotificationHandler handler(&target, &queue);
    handler.notify(3, std::string("KEL0"));
    auto notices = sink.waitFor(1);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].thread, std::this_thread::get_id());
    EXPECT_EQ(notices[0].names, std::vector<std::wstring>{L"KEL0"});
  }
  target.clearSink();
  EXPECT_EQ(sink.refs, 1);
}
