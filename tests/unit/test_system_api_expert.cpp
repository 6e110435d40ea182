// The device expert over fake boards: item operations through the cache, the refresh with and
// without asynchronous permission, not-implemented operations, translation, the presence pass
// and its thread pair, and where the expert is destroyed.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qo/err/Exception.h"
#include "qoapal/protons/device_notification/tPnPThread.h"
#include "qoapal/trace/qosdbg.h"
#include "source/DevicePresenceNotifier.h"
#include "source/SystemAPIExpert.h"
#include "source/SystemAPIExpertInfo.h"
#include "sysapicpp/DeferredDestruction.h"
#include "sysapicpp/DelayedExpert.h"
#include "sysapicpp/ExpertAdapter.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/interfaces/ImxSysNotificationSink.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"
#include "tests/common/FakeItemFactory.h"
#include "tests/common/RecordingHandler.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using VorlixSysapiExpert::SystemAPIExpert;
using namespace std::chrono_literals;

// Waits up to two seconds for `done`.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 400; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

// A board item: tags below 0x100 are kept current (kind 1), others need a read (kind 2).
class BoardItem final : public qotest::NoOpItem {
 public:
  explicit BoardItem(std::string name) : NoOpItem(std::move(name)) {}
  int getTagUpdateKind(std::uint32_t tag) override { return tag < 0x100 ? 1 : 2; }
  void invalidate() override { ++invalidations; }
  void prepareProperties() override { std::this_thread::sleep_for(prepareDelay); }
  bool refreshProperties(const std::vector<std::uint32_t>& tags) override {
    std::lock_guard<std::mutex> g(lock);
    refreshed.push_back(tags);
    return refreshAnswer;
  }
  ImxSysPropertyBag* getPropertyBag() override {
    ImxSysPropertyBag4* bag = nullptr;
    if (CmxDynamicPropertyBag::create(&bag) < 0) throw std::bad_alloc();
    bag->SetUInt32(0x10, 7);
    return bag;
  }
  void commitProperties(const std::string& text, std::int32_t, std::string& out) override {
    out = text;  // names the item to invalidate
  }
  void runDiagnostic(std::int32_t mode, std::string& text) override {
    if (mode == 9) throw qoerr::Exception::withError(-52010, {"source/test", 1, nullptr, "k"});
    text = "ran " + getName();
  }
  std::string beginFirmwareUpdate() override { return getName(); }
  void getFirmwareUpdateStatus(std::int32_t& state, std::int32_t& percent,
                               std::string& text) override {
    state = 2;
    percent = 40;
    text = "busy";
  }

  std::atomic<int> invalidations{0};
  std::mutex lock;
  std::vector<std::vector<std::uint32_t>> refreshed;
  bool refreshAnswer = true;
  std::chrono::milliseconds prepareDelay{0};
};

using qotest::RecordingHandler;

class SystemAPIExpertTest : public ::testing::Test {
 protected:
  SystemAPIExpertTest() {
    boards->maker = [this](const std::string& name) {
      auto* item = new BoardItem(name);
      std::lock_guard<std::mutex> g(itemsLock);
      items.push_back(item);
      return sysapicpp::SharedPtrHelper<sysapicpp::Item>(item);
    };
  }
  BoardItem* itemNamed(const std::string& name) {
    std::lock_guard<std::mutex> g(itemsLock);
    for (BoardItem* item : items)
      if (item->getName() == name) return item;
    return nullptr;
  }

  std::shared_ptr<qotest::FakeBoards> boards = std::make_shared<qotest::FakeBoards>();
  RecordingHandler handler;
  std::mutex itemsLock;
  std::vector<BoardItem*> items;  // not owned (the cache owns them)
};

HRESULT codeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const sysapicpp::HResultException& e) {
    return e.code();
  } catch (const qoerr::ExceptionBase& e) {
    return static_cast<HRESULT>(0xDE000000u) | (static_cast<std::uint32_t>(-e.code()) & 0xFFFFu);
  }
  return S_OK;
}

TEST_F(SystemAPIExpertTest, EmptyMachineListsNothing) {
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  std::vector<std::string> names;
  expert.getItemNames(names);
  std::vector<ImxSysPropertyBag*> bags;
  expert.getAllPropertyBags(bags);
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(bags.empty());
  EXPECT_EQ(expert.getExpertIdentifier(), "qovorlix2");
  EXPECT_EQ(expert.getExpertName(), "");
}

TEST_F(SystemAPIExpertTest, NamesInByteOrderAndOneBagPerItem) {
  for (const char* n : {"KEL2", "KEL10", "KEL0"}) boards->plug(n);
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  std::vector<std::string> names{"kept"};
  expert.getItemNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "KEL0", "KEL10", "KEL2"}));
  std::vector<ImxSysPropertyBag*> bags;
  expert.getAllPropertyBags(bags);
  ASSERT_EQ(bags.size(), 3u);
  for (ImxSysPropertyBag* bag : bags) {
    unsigned value = 0;
    EXPECT_EQ(bag->GetUInt32(0x10, &value), S_OK);
    EXPECT_EQ(value, 7u);
    bag->Release();
  }
  // Nothing changed: later operations do not enumerate again.
  const int enumerations = boards->enumerations.load();
  names.clear();
  expert.getItemNames(names);
  EXPECT_EQ(boards->enumerations.load(), enumerations);
}

TEST_F(SystemAPIExpertTest, EveryItemOperationOfAnUnknownNameFailsWithItemNotExist) {
  boards->plug("KEL0");
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  std::vector<std::uint32_t> tags{0x200};
  std::string text;
  std::int32_t state = 0, value = 0;
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"getPropertyBag", [&] { expert.getPropertyBag("KEL7"); }},
      {"getPropertyBagWithRefresh", [&] { expert.getPropertyBagWithRefresh("KEL7", tags, true); }},
      {"commitPropertyBag", [&] { expert.commitPropertyBag("KEL7", "", 0, text); }},
      {"runDiagnostic", [&] { expert.runDiagnostic("KEL7", 0, text); }},
      {"beginFirmwareUpdate", [&] { expert.beginFirmwareUpdate("KEL7", false, 0); }},
      {"firmwareOperation3", [&] { expert.firmwareOperation3("KEL7", "", false, ""); }},
      {"firmwareOperation4", [&] { expert.firmwareOperation4("KEL7", ""); }},
      {"getFirmwareUpdateStatus",
       [&] { expert.getFirmwareUpdateStatus("KEL7", state, value, text); }},
  };
  for (const auto& [name, call] : operations)
    EXPECT_EQ(codeOf(call), sysapicpp::ItemNotExistException::kCode) << name;
  EXPECT_EQ(itemNamed("KEL0")->invalidations.load(), 0);
}

TEST_F(SystemAPIExpertTest, ItemOperationsReachTheNamedItem) {
  boards->plug("KEL0");
  boards->plug("KEL1");
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  std::string text;
  expert.runDiagnostic("KEL1", 0, text);
  EXPECT_EQ(text, "ran KEL1");
  EXPECT_EQ(expert.beginFirmwareUpdate("KEL0", true, 3), "KEL0");
  std::int32_t state = 0, percent = 0;
  expert.getFirmwareUpdateStatus("KEL0", state, percent, text);
  EXPECT_EQ(state, 2);
  EXPECT_EQ(percent, 40);
  // A committed text names the item to invalidate.
  std::string out;
  expert.commitPropertyBag("KEL0", "KEL1", 0, out);
  EXPECT_EQ(out, "KEL1");
  EXPECT_EQ(itemNamed("KEL1")->invalidations.load(), 1);
  EXPECT_EQ(itemNamed("KEL0")->invalidations.load(), 0);
}

TEST_F(SystemAPIExpertTest, UnsupportedOperationsNameTheirLine) {
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  sysapicpp::PropertyBagHandle none;  // holds no bag: the operations never look at it
  std::set<std::uint32_t> tagSet;
  std::string text;
  std::int32_t value = 0;
  const std::vector<std::pair<int, std::function<void()>>> operations = {
      {85, [&] { expert.extendedOperation1("KEL0", none, tagSet, text); }},
      {90, [&] { expert.extendedOperation2("KEL0", none, value, text); }},
      {100, [&] { expert.diagnosticOperation1("KEL0", 1); }},
      {105, [&] { expert.diagnosticOperation3("KEL0", text); }},
      {135, [&] { expert.unsupportedOperation1(); }},
      {146, [&] { expert.unsupportedOperation2(); }},
  };
  for (const auto& [line, call] : operations) {
    try {
      call();
      ADD_FAILURE() << "line " << line << " did not raise";
    } catch (const sysapicpp::NotImplException& e) {
      const std::string details = e.details();
      EXPECT_NE(details.find("source/VorlixSysAPIExpert"), std::string::npos) << details;
      EXPECT_NE(details.find("\"line\":" + std::to_string(line)), std::string::npos) << details;
    }
  }
}

struct RefreshCase {
  const char* label;
  std::vector<std::uint32_t> tags;
  bool asynchronous;
  bool itemAnswers;
  HRESULT result;                            // of the call
  std::vector<std::uint32_t> refreshedWith;  // empty: no refresh
  bool notified;                             // a kind-3 notice follows
};

class ExpertRefresh : public SystemAPIExpertTest,
                      public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(ExpertRefresh, RefreshesReadTagsOnlyAndNotifyOnAWorker) {
  const RefreshCase& c = GetParam();
  boards->plug("KEL3");
  auto expert = std::make_unique<SystemAPIExpert>(&handler, qotest::fakeFactories(boards));
  std::vector<std::string> names;
  expert->getItemNames(names);
  BoardItem* item = itemNamed("KEL3");
  ASSERT_NE(item, nullptr);
  item->refreshAnswer = c.itemAnswers;
  std::vector<std::uint32_t> tags = c.tags;
  ImxSysPropertyBag* bag = nullptr;
  const HRESULT hr =
      codeOf([&] { bag = expert->getPropertyBagWithRefresh("KEL3", tags, c.asynchronous); });
  EXPECT_EQ(hr, c.result);
  EXPECT_EQ(bag != nullptr, c.result == S_OK);
  if (bag != nullptr) bag->Release();
  EXPECT_EQ(item->invalidations.load(), 1);
  if (c.notified) {
    ASSERT_TRUE(eventually([&] { return !handler.notices().empty(); }));
    const auto notices = handler.notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, 3);
    EXPECT_EQ(notices[0].names, std::vector<std::string>{"KEL3"});
    EXPECT_NE(notices[0].thread, std::this_thread::get_id());
  }
  // Destruction joins the workers: every queued task has run. The item outlives it (below).
  sysapicpp::SharedPtrHelper<sysapicpp::Item> keep = expert->cache().getItem("KEL3");
  expert.reset();
  std::lock_guard<std::mutex> g(item->lock);
  if (c.refreshedWith.empty()) {
    EXPECT_TRUE(item->refreshed.empty());
  } else {
    ASSERT_EQ(item->refreshed.size(), 1u);
    EXPECT_EQ(item->refreshed[0], c.refreshedWith);
  }
  if (!c.notified) {
    EXPECT_TRUE(handler.notices().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpertRefresh,
    ::testing::Values(
        RefreshCase{"no tags", {}, true, true, S_OK, {}, false},
        RefreshCase{"kept current only", {0x10, 0x20}, true, true, S_OK, {}, false},
        RefreshCase{"synchronous: read tags only, in order",
                    {0x300, 0x10, 0x200, 0x300},
                    false,
                    true,
                    S_OK,
                    {0x300, 0x200, 0x300},
                    true},
        RefreshCase{
            "synchronous, read incomplete: no notice", {0x300}, false, false, S_OK, {0x300}, false},
        RefreshCase{"asynchronous: pending, whole list in the background",
                    {0x10, 0x300},
                    true,
                    false,
                    sysapicpp::RefreshPendingException::kCode,
                    {0x10, 0x300},
                    true}),
    [](const auto& test) {
      std::string name = test.param.label;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(SystemAPIExpertTest, EachAsynchronousRequestQueuesOneMoreUpdate) {
  boards->plug("KEL0");
  auto expert = std::make_unique<SystemAPIExpert>(&handler, qotest::fakeFactories(boards));
  for (int i = 0; i < 3; ++i) {
    std::vector<std::uint32_t> tags{0x400};
    EXPECT_EQ(codeOf([&] { expert->getPropertyBagWithRefresh("KEL0", tags, true); }),
              sysapicpp::RefreshPendingException::kCode);
  }
  BoardItem* item = itemNamed("KEL0");
  sysapicpp::SharedPtrHelper<sysapicpp::Item> keep = expert->cache().getItem("KEL0");
  expert.reset();  // runs every queued update and joins the workers
  std::lock_guard<std::mutex> g(item->lock);
  EXPECT_EQ(item->refreshed.size(), 3u);
  EXPECT_EQ(handler.notices().size(), 3u);
}

TEST_F(SystemAPIExpertTest, TranslatesDeviceStatusesAndPassesOthersOn) {
  SystemAPIExpert expert(&handler, qotest::fakeFactories(boards));
  const std::vector<std::pair<std::int32_t, HRESULT>> table = {
      {0, S_OK},
      {-52000, E_OUTOFMEMORY},
      {-52002, E_NOTIMPL},
      {-52006, sysapicpp::ItemNotExistException::kCode},
      {-52010, sysapicpp::kDeviceFailureB},
      {-52027, sysapicpp::kDeviceFailureA},
      {1, E_FAIL},
      {-52003, E_FAIL}};
  std::string text;
  for (const auto& [status, expected] : table) {
    try {
      throw qoerr::Exception::withError(status, {"source/test", 1, nullptr, "kTest"});
    } catch (...) {
      EXPECT_EQ(expert.translateException(text), expected) << status;
    }
  }
  try {
    throw sysapicpp::ItemNotExistException({"t", 1, nullptr});
  } catch (...) {
    EXPECT_THROW(expert.translateException(text), sysapicpp::ItemNotExistException);
  }
  EXPECT_TRUE(text.empty());
}

// --- The presence pass -------------------------------------------------------------------------

// Records the cache-side calls of a pass between the sink's.
class RecordingCache final : public sysapicpp::ItemCacheInterface {
 public:
  explicit RecordingCache(std::vector<std::string>* log) : log_(log) {}
  void refresh() override { log_->push_back("cache refresh"); }
  void getItemNames(std::vector<std::string>&) override {}
  bool isEmpty() override { return items.empty(); }
  sysapicpp::SharedPtrHelper<sysapicpp::Item> getItem(const std::string&) override { return {}; }
  // Holds an item for every name queued for creation except the unbuildable ones.
  bool hasItem(const std::string& name) override {
    return created.count(name) != 0 && unbuildable.count(name) == 0;
  }
  std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> getAllItems() override {
    if (failGetAll) throw std::runtime_error("cache broken");
    return items;
  }
  void addItemsToCreate(const std::vector<std::string>&) override {}
  void addItemToCreate(const std::string&) override {}
  void addItemsToInvalidate(const std::vector<std::string>&) override {}
  void addItemToInvalidate(const std::string&) override {}
  void addItemsToRemove(const std::vector<std::string>&) override {}
  void addItemToRemove(const std::string&) override {}
  void notifyItemChange(std::int32_t, const std::string&) override {}
  void notifyItemsChange(std::int32_t kind, const std::vector<std::string>& names) override {
    std::string entry = "cache " + std::to_string(kind) + ":";
    for (const auto& n : names) entry += " " + n;
    log_->push_back(entry);
    if (kind == 1) created.insert(names.begin(), names.end());
  }
  std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> items;
  std::set<std::string> created, unbuildable;
  bool failGetAll = false;

 private:
  std::vector<std::string>* log_;
};

class LoggingSink final : public sysapicpp::NotificationHandler {
 public:
  explicit LoggingSink(std::vector<std::string>* log) : log_(log) {}
  using NotificationHandler::notify;
  void notify(std::int32_t kind, const std::vector<std::string>& names) override {
    std::string entry = "host " + std::to_string(kind) + ":";
    for (const auto& n : names) entry += " " + n;
    log_->push_back(entry);
  }
  bool isListening(std::int32_t, const std::vector<std::string>&) override { return true; }

 private:
  std::vector<std::string>* log_;
};

struct PassCase {
  std::vector<std::string> cached;
  std::vector<std::string> present;
  std::vector<std::string> log;
  std::set<std::string> unbuildable = {};  // listed, but no item can be built
};

class PresencePass : public ::testing::TestWithParam<PassCase> {};

TEST_P(PresencePass, RemovedBeforeAddedCacheBeforeHost) {
  const PassCase& c = GetParam();
  std::vector<std::string> log;
  RecordingCache cache(&log);
  cache.unbuildable = c.unbuildable;
  for (const auto& n : c.cached)
    cache.items.push_back(sysapicpp::SharedPtrHelper<sysapicpp::Item>(new qotest::NoOpItem(n)));
  auto boards = std::make_shared<qotest::FakeBoards>();
  for (const auto& n : c.present) boards->plug(n);
  LoggingSink sink(&log);
  VorlixSysapiExpert::DevicePresenceNotifier::Op op{
      std::make_unique<qotest::FakeItemFactory>(boards), &cache, &sink};
  op();
  EXPECT_EQ(log, c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PresencePass,
    ::testing::Values(
        PassCase{{},
                 {},
                 {"cache refresh", "cache 2:", "host 2:", "cache 1:", "cache refresh", "host 1:"}},
        PassCase{{"KEL0", "KEL1"},
                 {"KEL1", "KEL10", "KEL2"},
                 {"cache refresh", "cache 2: KEL0", "host 2: KEL0", "cache 1: KEL10 KEL2",
                  "cache refresh", "host 1: KEL10 KEL2"}},
        PassCase{{"KEL3", "KEL1"},
                 {"KEL1", "KEL3"},
                 {"cache refresh", "cache 2:", "host 2:", "cache 1:", "cache refresh", "host 1:"}},
        // Only what the cache could build an item for is announced.
        PassCase{{},
                 {"KEL4", "KEL5"},
                 {"cache refresh", "cache 2:", "host 2:", "cache 1: KEL4 KEL5", "cache refresh",
                  "host 1: KEL5"},
                 {"KEL4"}}));

struct DifferenceCase {
  std::vector<std::string> oldNames, newNames, removed, added;
};

class PresenceDifference : public ::testing::TestWithParam<DifferenceCase> {};

// Names compare as sets: a device number two boards report is one name, not a fresh arrival.
TEST_P(PresenceDifference, NamesCompareAsSets) {
  const DifferenceCase& c = GetParam();
  std::vector<std::string> removed, added;
  VorlixSysapiExpert::DevicePresenceNotifier::difference(c.oldNames, c.newNames, removed, added);
  EXPECT_EQ(removed, c.removed);
  EXPECT_EQ(added, c.added);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PresenceDifference,
    ::testing::Values(DifferenceCase{{"KEL1"}, {"KEL1", "KEL1"}, {}, {}},
                      DifferenceCase{{}, {"KEL2", "KEL2", "KEL10"}, {}, {"KEL10", "KEL2"}},
                      DifferenceCase{{"KEL3", "KEL3"}, {}, {"KEL3"}, {}},
                      DifferenceCase{
                          {"KEL1", "KEL4"}, {"KEL4", "KEL5", "KEL4"}, {"KEL1"}, {"KEL5"}}));

// A dispatcher the test drives: events are pushed from outside.
class ScriptedDispatcher {
 public:
  static std::mutex lock;
  static std::condition_variable wake;
  static int events;
  static bool failConstruction;
  static int failingWaits;  // this many waits (over all dispatchers) fail before any succeeds
  static int built;
  static ScriptedDispatcher* live;

  ScriptedDispatcher(const char* const* names, std::size_t count,
                     nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status) {
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(names[0], qodrv::vorlixtarrow::kInterfaceName);
    if (failConstruction) status->setCode(-52008, "qovorlixatomicsae", "test", 1);
    std::lock_guard<std::mutex> g(lock);
    live = this;
    ++built;
  }
  ~ScriptedDispatcher() {
    std::lock_guard<std::mutex> g(lock);
    live = nullptr;
  }
  void wait(bool* changed, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status) {
    std::unique_lock<std::mutex> g(lock);
    if (failingWaits > 0 && !cancelled_) {
      --failingWaits;
      status->setCode(-52003, "qovorlixatomicsae", "test", 2);
      *changed = false;
      return;
    }
    wake.wait(g, [&] { return cancelled_ || events > 0 || status->isFatal(); });
    *changed = !cancelled_ && !status->isFatal();
    if (*changed) --events;
  }
  void cancel() {
    std::lock_guard<std::mutex> g(lock);
    cancelled_ = true;
    wake.notify_all();
  }
  static void push(int count) {
    std::lock_guard<std::mutex> g(lock);
    events += count;
    wake.notify_all();
  }

 private:
  bool cancelled_ = false;
};
std::mutex ScriptedDispatcher::lock;
std::condition_variable ScriptedDispatcher::wake;
int ScriptedDispatcher::events = 0;
bool ScriptedDispatcher::failConstruction = false;
int ScriptedDispatcher::failingWaits = 0;
int ScriptedDispatcher::built = 0;
ScriptedDispatcher* ScriptedDispatcher::live = nullptr;

// Counts passes; can block the first pass until released, and throw on chosen passes.
struct CountingOp {
  std::atomic<int> passes{0};
  std::atomic<int> throwOnPass{-1};
  std::mutex gate;
  void operator()() {
    std::lock_guard<std::mutex> g(gate);
    const int pass = ++passes;
    if (pass == throwOnPass.load()) throw std::runtime_error("enumeration failed");
  }
};

using TestPnP =
    nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tPnPThreadTemplate<ScriptedDispatcher, char, CountingOp>;

class PresenceThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedDispatcher::events = 0;
    ScriptedDispatcher::failConstruction = false;
    ScriptedDispatcher::failingWaits = 0;
    ScriptedDispatcher::built = 0;
  }
};

TEST_F(PresenceThreads, EventsDuringAPassAddPassesAndAFailedPassIsOnlyThatPass) {
  CountingOp op;
  op.throwOnPass = 2;
  {
    TestPnP pnp(&op, VorlixSysapiExpert::DevicePresenceNotifier::kWatchedInterfaces, 1);
    ASSERT_FALSE(pnp.status().isFatal());
    {
      // Hold the first pass: three more events arrive meanwhile and must not be lost.
      std::unique_lock<std::mutex> hold(op.gate);
      ScriptedDispatcher::push(1);
      ASSERT_TRUE(eventually([&] { return pnp.reportedEvents() == 1; }));
      ScriptedDispatcher::push(3);
      ASSERT_TRUE(eventually([&] { return pnp.reportedEvents() == 4; }));
    }
    // Four passes, then (quiet) two confirming passes.
    ASSERT_TRUE(eventually(
        [&] { return pnp.worker().completedPasses() + pnp.worker().failedPasses() == 6; }));
    EXPECT_EQ(pnp.worker().failedPasses(), 1u);
    // The worker lives on: the next event runs a fresh pass (and the confirming ones).
    ScriptedDispatcher::push(1);
    ASSERT_TRUE(eventually([&] { return pnp.worker().completedPasses() == 8; }));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(pnp.worker().completedPasses(), 8u);  // no pass without an event after that
  }
  EXPECT_EQ(op.passes.load(), 9);
  EXPECT_EQ(ScriptedDispatcher::live, nullptr);
}

TEST_F(PresenceThreads, ShutdownWithoutEventsRunsNoPass) {
  CountingOp op;
  {
    TestPnP pnp(&op, VorlixSysapiExpert::DevicePresenceNotifier::kWatchedInterfaces, 1);
    EXPECT_FALSE(pnp.status().isFatal());
  }
  EXPECT_EQ(op.passes.load(), 0);
  EXPECT_EQ(ScriptedDispatcher::live, nullptr);
}

std::string gPnPTrace;
void capturePnPTrace(const char* text) { gPnPTrace += text; }

int builtDispatchers() {
  std::lock_guard<std::mutex> g(ScriptedDispatcher::lock);
  return ScriptedDispatcher::built;
}

// A dispatcher whose wait keeps failing is traced once and rebuilt after a back-off; the
// rebuilt one runs a pass (changes made meanwhile) and reports later events. A shutdown
// during a back-off ends it at once.
TEST_F(PresenceThreads, ALastingWaitFailureIsTracedOnceAndTheDispatcherRebuilt) {
  struct Row {
    int failingWaits;
    bool shutdownInBackOff;
  } rows[] = {{1, false}, {3, false}, {1000, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failingWaits);
    SetUp();
    ScriptedDispatcher::failingWaits = row.failingWaits;
    gPnPTrace.clear();
    auto previous = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(capturePnPTrace);
    CountingOp op;
    auto pnp = std::make_unique<TestPnP>(
        &op, VorlixSysapiExpert::DevicePresenceNotifier::kWatchedInterfaces, 1);
    ASSERT_FALSE(pnp->status().isFatal());
    if (row.shutdownInBackOff) {
      // 100 + 200 + 400 ms of back-off behind, 800 ms ahead.
      ASSERT_TRUE(eventually([&] { return builtDispatchers() >= 4; }));
      const auto before = std::chrono::steady_clock::now();
      pnp.reset();
      EXPECT_LT(std::chrono::steady_clock::now() - before, 600ms);
    } else {
      ASSERT_TRUE(eventually([&] { return builtDispatchers() == row.failingWaits + 1; }));
      ASSERT_TRUE(eventually([&] { return pnp->worker().completedPasses() >= 1; }));
      const std::uint64_t before = pnp->worker().completedPasses();
      ScriptedDispatcher::push(1);  // a board plugged after the outage
      ASSERT_TRUE(eventually([&] { return pnp->reportedEvents() == 1; }));
      ASSERT_TRUE(eventually([&] { return pnp->worker().completedPasses() > before; }));
      pnp.reset();
    }
    nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(previous);
    EXPECT_EQ(ScriptedDispatcher::live, nullptr);
    std::size_t traced = 0;
    for (std::size_t at = gPnPTrace.find("rebuilding"); at != std::string::npos;
         at = gPnPTrace.find("rebuilding", at + 1))
      ++traced;
    EXPECT_EQ(traced, 1u) << gPnPTrace;
  }
}

TEST_F(PresenceThreads, AFailingDispatcherIsReportedAndBothThreadsEnd) {
  ScriptedDispatcher::failConstruction = true;
  CountingOp op;
  {
    TestPnP pnp(&op, VorlixSysapiExpert::DevicePresenceNotifier::kWatchedInterfaces, 1);
    EXPECT_EQ(pnp.status().code, -52008);
  }
  EXPECT_EQ(op.passes.load(), 0);
}

// --- Where the expert is destroyed -------------------------------------------------------------

std::shared_ptr<qotest::FakeBoards> gBoards;

class TestDeviceExpert final : public SystemAPIExpert {
 public:
  explicit TestDeviceExpert(sysapicpp::SyncNotificationHandler* context)
      : SystemAPIExpert(context, qotest::fakeFactories(gBoards)) {}
  ~TestDeviceExpert() override {
    destroyedOnLibraryThread =
        nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tThreadController::onControlledThread();
    ++destroyed;
  }
  static std::atomic<int> destroyed;
  static std::atomic<bool> destroyedOnLibraryThread;
};
std::atomic<int> TestDeviceExpert::destroyed{0};
std::atomic<bool> TestDeviceExpert::destroyedOnLibraryThread{false};

using TestObject = CQOComObject<sysapicpp::ExpertAdapter<
    sysapicpp::DelayedExpert<TestDeviceExpert, VorlixSysapiExpert::SystemAPIExpertInfo>>>;

// A host sink that calls back into the expert object from inside the notice, slowly.
class CallingBackSink final : public ImxSysNotificationSink {
 public:
  HRESULT QueryInterface(const GUID*, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }
  HRESULT Notify(ImxSysExpert* expert, std::int32_t, ImxSysEnumStringList*) override {
    inNotice = true;
    ImxSysPropertyBag* bag = nullptr;
    // The operation holds the expert while the host thread shuts it down.
    const HRESULT hr = static_cast<ImxSysExpert2*>(expert)->GetPropertyBag(L"KEL0", &bag);
    if (bag != nullptr) bag->Release();
    callbackResult = hr;
    if (alsoShutdown) static_cast<ImxSysExpert2*>(expert)->Shutdown();
    return S_OK;
  }
  std::atomic<int> refs{1};
  std::atomic<bool> inNotice{false};
  std::atomic<HRESULT> callbackResult{0x7FFFFFFF};
  bool alsoShutdown = false;
};

class ExpertDestruction : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    gBoards = std::make_shared<qotest::FakeBoards>();
    gBoards->maker = [](const std::string& name) {
      auto* item = new BoardItem(name);
      item->prepareDelay = 150ms;  // the call-back's operation is still running at shutdown
      return sysapicpp::SharedPtrHelper<sysapicpp::Item>(item);
    };
    gBoards->plug("KEL0");
    TestDeviceExpert::destroyed = 0;
    TestDeviceExpert::destroyedOnLibraryThread = false;
  }
  void TearDown() override { gBoards.reset(); }
};

// 0: Shutdown on the host thread while the sink's call-back runs on a task worker;
// 1: the final Release instead; 2: Initialize (replacing the expert);
// 3: the sink itself calls Shutdown from the worker.
TEST_P(ExpertDestruction, NeverOnItsOwnThreadsAndEveryThreadJoined) {
  const int scenario = GetParam();
  TestObject* object = nullptr;
  ASSERT_EQ(TestObject::CreateInstance(&object), S_OK);
  object->AddRef();
  ImxSysExpert2* host = object;
  ASSERT_EQ(host->Initialize(), S_OK);
  CallingBackSink sink;
  sink.alsoShutdown = scenario == 3;
  ASSERT_EQ(static_cast<ImxSysExpertPlugPlay*>(object)->SetNotificationSink(&sink), S_OK);
  const unsigned tag = 0x500;
  ImxSysPropertyBag* bag = nullptr;
  ASSERT_EQ(host->GetPropertyBagWithRefresh(L"KEL0", 1, &tag, 1, &bag),
            sysapicpp::RefreshPendingException::kCode);
  ASSERT_TRUE(eventually([&] { return sink.inNotice.load(); }));
  switch (scenario) {
    case 0:
    case 3:
      EXPECT_EQ(host->Shutdown(), S_OK);
      break;
    case 1:
      EXPECT_EQ(host->Release(), 0u);
      object = nullptr;
      break;
    case 2:
      EXPECT_EQ(host->Initialize(), S_OK);
      break;
  }
  if (scenario != 3) {
    // The host thread returned only after the expert (and its workers) were gone.
    EXPECT_EQ(TestDeviceExpert::destroyed.load(), 1);
  }
  sysapicpp::drainDeferredDestructions();
  EXPECT_TRUE(eventually([&] { return TestDeviceExpert::destroyed.load() == 1; }));
  EXPECT_FALSE(TestDeviceExpert::destroyedOnLibraryThread.load());
  EXPECT_EQ(sink.callbackResult.load(), S_OK);
  if (object != nullptr) object->Release();
  EXPECT_EQ(sink.refs.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ExpertDestruction, ::testing::Values(0, 1, 2, 3));

}  // namespace

namespace {

// Out-values the host relies on are written on failure paths too.
TEST_F(ExpertDestruction, StatusAndChangedAreWrittenOnEveryPath) {
  TestObject* object = nullptr;
  ASSERT_EQ(TestObject::CreateInstance(&object), S_OK);
  object->AddRef();
  ASSERT_EQ(object->Initialize(), S_OK);
  auto* fw = static_cast<ImxSysExpertFirmware*>(object);
  const std::vector<std::pair<const wchar_t*, HRESULT>> cases = {
      {L"KEL0", S_OK}, {L"KEL9", sysapicpp::ItemNotExistException::kCode}};
  for (const auto& [name, expected] : cases) {
    int state = 77, percent = 77;
    wchar_t* text = nullptr;
    EXPECT_EQ(fw->GetFirmwareUpdateStatus(name, &state, &percent, &text), expected);
    EXPECT_EQ(state, expected == S_OK ? 2 : 0);
    CqoBStr::free(text);
    int changed = 77;
    wchar_t* out = nullptr;
    EXPECT_EQ(object->CommitPropertyBag(name, L"", 0, &changed, &out), expected);
    EXPECT_EQ(changed, 0);
    CqoBStr::free(out);
  }
  EXPECT_EQ(object->Release(), 0u);
}

}  // namespace
