// The delayed expert: identity without a device expert, creation on first use exactly once,
// option hand-over, failed creation and destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "source/SystemAPIExpert.h"
#include "source/SystemAPIExpertInfo.h"
#include "sysapicpp/DelayedExpert.h"
#include "sysapicpp/HResultException.h"
#include "qo/err/Exception.h"
#include "tests/common/FakeItemFactory.h"

namespace {

struct Counters {
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> failuresLeft{0};
  std::atomic<int> delayMs{0};
  std::atomic<std::uint32_t> option{0xFFFFFFFFu};
  std::atomic<int> setOptionCalls{0};
  std::atomic<int> operations{0};
  sysapicpp::SyncNotificationHandler* context = nullptr;
};
Counters* gCounters = nullptr;

struct TestInfo {
  static GUID guid() { return GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}; }
  static std::string name() { return "name"; }
  static std::string version() { return "1.2.3"; }
  static std::string identifier() { return "ident"; }
};

// Built on the shipped expert (over a machine without boards) so only counting is added here.
class CountingExpert : public VorlixSysapiExpert::SystemAPIExpert {
 public:
  explicit CountingExpert(sysapicpp::SyncNotificationHandler* context)
      : SystemAPIExpert(context, qotest::fakeFactories(std::make_shared<qotest::FakeBoards>())) {
    if (const int ms = gCounters->delayMs.load(); ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (gCounters->failuresLeft.load() > 0) {
      --gCounters->failuresLeft;
      throw std::runtime_error("cannot start");
    }
    gCounters->context = context;
    ++gCounters->created;
  }
  ~CountingExpert() override { ++gCounters->destroyed; }
  void setOption(std::uint32_t value) override {
    ++gCounters->setOptionCalls;
    gCounters->option = value;
  }
  void getItemNames(std::vector<std::string>& names) override {
    ++gCounters->operations;
    names.push_back("KEL0");
  }
};

using Delayed = sysapicpp::DelayedExpert<CountingExpert, TestInfo>;

class DelayedExpertTest : public ::testing::Test {
 protected:
  void SetUp() override { gCounters = new Counters(); }
  void TearDown() override {
    delete gCounters;
    gCounters = nullptr;
  }
};

class DelayedExpertIdentity : public DelayedExpertTest {};

TEST_F(DelayedExpertIdentity, AnsweredFromTheDescriptionOnly) {
  Delayed d(nullptr);
  EXPECT_TRUE(d.getExpertGuid() == TestInfo::guid());
  EXPECT_EQ(d.getExpertName(), "name");
  EXPECT_EQ(d.getExpertVersion(), "1.2.3");
  EXPECT_EQ(d.getExpertIdentifier(), "ident");
  EXPECT_FALSE(d.hasDeviceExpert());
  EXPECT_EQ(gCounters->created.load(), 0);
}

TEST_F(DelayedExpertIdentity, ProductionDescription) {
  using Info = VorlixSysapiExpert::SystemAPIExpertInfo;
  EXPECT_TRUE(Info::guid() == CLSID_VorlixSysApiExpert);
  EXPECT_EQ(Info::name(), "qovorlix2");
  EXPECT_EQ(Info::identifier(), "qovorlix2");
  EXPECT_EQ(Info::version(), "23.3.0");
}

class DelayedExpertCreation : public DelayedExpertTest {};

TEST_F(DelayedExpertCreation, FirstOperationCreatesWithContextAndOption) {
  sysapicpp::SyncNotificationHandler handler(nullptr);
  Delayed d(&handler);
  d.setOption(5);
  EXPECT_FALSE(d.hasDeviceExpert());
  EXPECT_EQ(d.option(), 5u);
  std::vector<std::string> names;
  d.getItemNames(names);
  EXPECT_EQ(names, std::vector<std::string>{"KEL0"});
  EXPECT_TRUE(d.hasDeviceExpert());
  EXPECT_EQ(gCounters->context, &handler);
  EXPECT_EQ(gCounters->option.load(), 5u);
  d.getItemNames(names);
  EXPECT_EQ(gCounters->created.load(), 1);
  d.setOption(6);  // passed on to the existing device expert, then stored
  EXPECT_EQ(gCounters->option.load(), 6u);
  EXPECT_EQ(d.option(), 6u);
  EXPECT_EQ(gCounters->setOptionCalls.load(), 2);
}

TEST_F(DelayedExpertCreation, InitialOptionIsZero) {
  Delayed d(nullptr);
  std::vector<std::string> names;
  d.getItemNames(names);
  EXPECT_EQ(gCounters->option.load(), 0u);
}

TEST_F(DelayedExpertCreation, FailedCreationStoresNothingAndIsRetried) {
  Delayed d(nullptr);
  gCounters->failuresLeft = 1;
  std::vector<std::string> names;
  EXPECT_THROW(d.getItemNames(names), std::runtime_error);
  EXPECT_FALSE(d.hasDeviceExpert());
  EXPECT_EQ(gCounters->operations.load(), 0);
  d.getItemNames(names);
  EXPECT_TRUE(d.hasDeviceExpert());
  EXPECT_EQ(gCounters->created.load(), 1);
}

TEST_F(DelayedExpertCreation, DestructionDeletesTheDeviceExpert) {
  { Delayed d(nullptr); }
  EXPECT_EQ(gCounters->destroyed.load(), 0);
  {
    Delayed d(nullptr);
    std::vector<std::string> names;
    d.getItemNames(names);
  }
  EXPECT_EQ(gCounters->destroyed.load(), 1);
}

TEST_F(DelayedExpertCreation, TranslationCreatesTheDeviceExpertAndMapsDeviceStatus) {
  Delayed d(nullptr);
  HRESULT hr = S_OK;
  std::string text = "x";
  try {
    throw qoerr::Exception::withError(-52010, {"source/test", 1, nullptr, "kTest"});
  } catch (...) {
    text.clear();
    hr = d.translateException(text);
  }
  EXPECT_EQ(hr, static_cast<HRESULT>(0x80040383u));
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(d.hasDeviceExpert());
}

// A subclass may make the device expert itself.
class OverridingDelayed : public Delayed {
 public:
  using Delayed::Delayed;
  sysapicpp::Expert* createExpert(sysapicpp::SyncNotificationHandler* context) override {
    ++made;
    return Delayed::createExpert(context);
  }
  int made = 0;
};

TEST_F(DelayedExpertCreation, CreationGoesThroughTheVirtualFactory) {
  OverridingDelayed d(nullptr);
  std::vector<std::string> names;
  d.getItemNames(names);
  d.getItemNames(names);
  EXPECT_EQ(d.made, 1);
}

class DelayedExpertConcurrency : public DelayedExpertTest {};

TEST_F(DelayedExpertConcurrency, ConcurrentFirstCallsCreateExactlyOne) {
  gCounters->delayMs = 10;
  Delayed d(nullptr);
  constexpr int kThreads = 6;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      std::vector<std::string> names;
      d.getItemNames(names);
      if (ready.load() % 2 == 0) d.setOption(static_cast<std::uint32_t>(ready.load()));
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(gCounters->created.load(), 1);
  EXPECT_EQ(gCounters->operations.load(), kThreads);
}

}  // namespace
