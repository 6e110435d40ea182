// The configuration face end to end: the built library loaded with dlopen by a test host, exactly
// as the configuration host loads it, inside a simulated machine. Boards, properties, refreshes
// (synchronous, and asynchronous with its pending answer and item-changed notice), diagnostics,
// firmware updates, hotplug while a host thread reads, destruction while a sink calls back, a
// failing enumeration library, and every thread joined at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "QosimClient.h"
#include "tests/common/ProcessThreads.h"
#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/host_client.h"

namespace {

using namespace hostabi;
using namespace std::chrono_literals;

constexpr unsigned kTemperatureTag = 0x102E000;  // read from the driver on request

using testsupport::threadCount;
using testsupport::threadCountSettled;

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

class ExpertOnMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    auto client = qosim::Client::connect();
    ASSERT_TRUE(client.ok()) << client.status();
    client_ = std::move(client.value);
    // A sanitizer runtime starts a helper thread with the first thread of the process: start
    // (and join) one first, so the baseline already counts it.
    std::thread([] {}).join();
    threadsBefore_ = threadCount();
    ASSERT_TRUE(lib_.load()) << lib_.error();
    create();
  }
  void TearDown() override {
    if (e_ != nullptr) destroy();
    lib_.close();
  }
  void create() {
    auto make = lib_.expertFactory();
    ASSERT_NE(make, nullptr);
    void* p = nullptr;
    ASSERT_EQ(make(&p), kS_OK);
    e_ = static_cast<ImxSysExpert2*>(p);
    ASSERT_EQ(faces_.ask(e_), kS_OK);
    ASSERT_EQ(e_->vtbl->Initialize(e_), kS_OK);
    ASSERT_EQ(faces_.plugPlay->vtbl->SetNotificationSink(faces_.plugPlay, sink_.asSink()), kS_OK);
  }
  // Shutdown and the final Release: every thread of the library is joined by then.
  void destroy() {
    EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
    faces_.release();
    EXPECT_EQ(release(e_), 0u);
    e_ = nullptr;
    EXPECT_EQ(sink_.references(), 1);
    // Every library thread is joined by now (a sanitizer's own helper thread counted in the
    // baseline may have ended meanwhile, so the count can only be lower).
    EXPECT_LE(threadCountSettled(threadsBefore_), threadsBefore_);
  }
  std::vector<BagRow> rowsOf(const std::string& item, HRESULT* result = nullptr) {
    const HostText name(item);
    void* bag = nullptr;
    const HRESULT hr = e_->vtbl->GetPropertyBag(e_, name, &bag);
    if (result != nullptr) *result = hr;
    if (hr != kS_OK) return {};
    auto rows = bagRows(static_cast<ImxSysPropertyBag*>(bag));
    release(bag);
    return rows;
  }
  static const BagRow* row(const std::vector<BagRow>& rows, unsigned tag) {
    for (const BagRow& r : rows)
      if (r.tag == tag) return &r;
    return nullptr;
  }
  bool noticeFor(int kind, const std::string& name, int ms = 5000) {
    return sink_.waitFor(
        [&](const RecordingSink::Notice& n) { return n.kind == kind && contains(n.names, name); },
        ms);
  }

  qosim::Client client_;
  std::size_t threadsBefore_ = 0;
  testsupport::LibraryUnderTest lib_;
  ImxSysExpert2* e_ = nullptr;
  testsupport::ExpertInterfaces faces_;
  RecordingSink sink_;
};

TEST_F(ExpertOnMachine, ListsTheBoardsOfKnownProductsAndReadsTheirProperties) {
  HRESULT listed = 0;
  const auto names = itemNames(e_, &listed);
  ASSERT_EQ(listed, kS_OK);
  // qovorlix3's product is unknown to the catalog: it is no item.
  EXPECT_EQ(names, (std::vector<std::string>{"KEL0", "KEL1", "KEL2", "KEL4"}));
  for (const std::string& name : names) {
    HRESULT hr = 0;
    const auto rows = rowsOf(name, &hr);
    EXPECT_EQ(hr, kS_OK) << name;
    EXPECT_GT(rows.size(), 10u) << name;
  }
  const auto rows = rowsOf("KEL0");
  ASSERT_NE(row(rows, 0x101D000), nullptr);
  EXPECT_EQ(row(rows, 0x101D000)->value, "\"KEL0\"");
  HRESULT hr = 0;
  EXPECT_TRUE(rowsOf("KEL3", &hr).empty());
  EXPECT_EQ(hr, kItemNotExist);
}

struct RefreshCase {
  const char* label;
  int flag;
  HRESULT answer;
};

class ExpertRefreshOnMachine : public ExpertOnMachine,
                               public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(ExpertRefreshOnMachine, NewReadingAndAnItemChangedNoticeOnALibraryThread) {
  const RefreshCase& c = GetParam();
  ASSERT_TRUE(client_.setBoardField("qovorlix1", "temperature", 71).ok());
  const HostText name("KEL1");
  const unsigned tags[] = {kTemperatureTag};
  void* bag = nullptr;
  EXPECT_EQ(e_->vtbl->GetPropertyBagWithRefresh(e_, name, 1, tags, c.flag, &bag), c.answer);
  if (c.answer == kS_OK) {
    ASSERT_NE(bag, nullptr);
    const auto rows = bagRows(static_cast<ImxSysPropertyBag*>(bag));
    release(bag);
    ASSERT_NE(row(rows, kTemperatureTag), nullptr);
    EXPECT_EQ(row(rows, kTemperatureTag)->value, "71.000");
  } else {
    EXPECT_EQ(bag, nullptr);
  }
  ASSERT_TRUE(noticeFor(3, "KEL1"));
  const auto notices = sink_.notices();
  EXPECT_EQ(notices.front().names, std::vector<std::string>{"KEL1"});
  EXPECT_NE(notices.front().thread, std::this_thread::get_id());
  // After the background refresh the plain bag carries the new reading.
  const auto after = rowsOf("KEL1");
  const BagRow* reading = row(after, kTemperatureTag);
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(reading->value, "71.000");
}

INSTANTIATE_TEST_SUITE_P(Modes, ExpertRefreshOnMachine,
                         ::testing::Values(RefreshCase{"synchronous", 0, kS_OK},
                                           RefreshCase{"asynchronous", 1, kRefreshPending}),
                         [](const auto& test) { return std::string(test.param.label); });

TEST_F(ExpertOnMachine, DiagnosticPassesInMode0AndRepeatsARejectedMode) {
  const HostText name("KEL0");
  wchar_t* text = nullptr;
  EXPECT_EQ(faces_.diagnostic->vtbl->RunDiagnostic(faces_.diagnostic, name, 0, &text), kS_OK);
  takeHostText(text);
  text = nullptr;
  EXPECT_EQ(faces_.diagnostic->vtbl->RunDiagnostic(faces_.diagnostic, name, 2, &text),
            static_cast<HRESULT>(0x00040370u));
  takeHostText(text);
  const HostText missing("KEL9");
  EXPECT_EQ(faces_.diagnostic->vtbl->RunDiagnostic(faces_.diagnostic, missing, 0, nullptr),
            kItemNotExist);
}

struct FirmwareCase {
  const char* label;
  bool fault;
};

class ExpertFirmwareOnMachine : public ExpertOnMachine,
                                public ::testing::WithParamInterface<FirmwareCase> {};

TEST_P(ExpertFirmwareOnMachine, UpdatePolledToItsEnd) {
  const FirmwareCase& c = GetParam();
  ASSERT_TRUE(client_.firmwareConfig("qovorlix2", 200).ok());
  if (c.fault) {
    qosim::FirmwareFaultSpec fault;
    fault.status = -52024;
    fault.atPercent = 40;
    ASSERT_TRUE(client_.firmwareFault("qovorlix2", fault).ok());
  }
  const HostText name("KEL2");
  int state = 7;
  EXPECT_EQ(faces_.firmware->vtbl->GetFirmwareUpdateStatus(faces_.firmware, name, &state, nullptr,
                                                           nullptr),
            kS_OK);
  EXPECT_EQ(state, 2);  // no update begun yet
  wchar_t* target = nullptr;
  ASSERT_EQ(faces_.firmware->vtbl->BeginFirmwareUpdate(faces_.firmware, name, 0, 0, &target),
            kS_OK);
  EXPECT_EQ(takeHostText(target), "KEL2");
  HostImage image("vx-firmware.bin", std::vector<unsigned char>(4096, 0x5A));
  const HostText other("KEL1"), empty("");
  EXPECT_EQ(faces_.firmware->vtbl->UpdateFirmware(faces_.firmware, name, other, 0, empty,
                                                  image.asImage()),
            kE_INVALIDARG);
  ASSERT_EQ(
      faces_.firmware->vtbl->UpdateFirmware(faces_.firmware, name, name, 0, empty, image.asImage()),
      kS_OK);
  EXPECT_EQ(image.references(), 1);  // the library keeps its own copy, not the host's image
  int percent = 0;
  std::string message;
  std::vector<int> seen;
  for (int i = 0; i < 500; ++i) {
    wchar_t* text = nullptr;
    ASSERT_EQ(faces_.firmware->vtbl->GetFirmwareUpdateStatus(faces_.firmware, name, &state,
                                                             &percent, &text),
              kS_OK);
    message = takeHostText(text);
    if (seen.empty() || seen.back() != percent) seen.push_back(percent);
    // Busy: -1 (nothing written yet) or -2 (writing); anything else: the update has ended.
    if (i > 0 && state != -1 && state != -2) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(state, 5);  // ended; the board keeps the old image running until power-cycled
  if (c.fault) {
    EXPECT_EQ(percent, 40);
    EXPECT_FALSE(message.empty());
  } else {
    EXPECT_EQ(percent, 100);
  }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ExpertFirmwareOnMachine,
                         ::testing::Values(FirmwareCase{"completes", false},
                                           FirmwareCase{"injectedFailure", true}),
                         [](const auto& test) { return std::string(test.param.label); });

TEST_F(ExpertOnMachine, HotplugWhileAHostThreadReadsNoticesAndTheCacheFollows) {
  ASSERT_EQ(itemNames(e_).size(), 4u);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, failures{0};
  std::thread reader([&] {
    while (!stop.load()) {
      HRESULT hr = 0;
      rowsOf("KEL0", &hr);
      ++reads;
      if (hr != kS_OK) ++failures;
    }
  });
  qosim::BoardSet set(std::move(client_));
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::string item = "KEL" + set.board(0).device.substr(std::string("qovorlix").size());
  EXPECT_TRUE(noticeFor(1, item)) << item;
  EXPECT_TRUE(contains(itemNames(e_), item));
  HRESULT hr = 0;
  EXPECT_FALSE(rowsOf(item, &hr).empty());
  ASSERT_TRUE(set.unplug().ok());
  EXPECT_TRUE(noticeFor(2, item));
  EXPECT_FALSE(contains(itemNames(e_), item));
  rowsOf(item, &hr);
  EXPECT_EQ(hr, kItemNotExist);
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  for (const auto& n : sink_.notices()) {
    EXPECT_TRUE(n.kind == 1 || n.kind == 2) << n.kind;
    EXPECT_NE(n.thread, std::this_thread::get_id());
  }
}

// A host that only listens (no request after the first) hears a board arrive once and leave
// once, although every event is followed by confirming passes.
TEST_F(ExpertOnMachine, AHostThatOnlyListensHearsEachArrivalAndRemovalOnce) {
  ASSERT_EQ(itemNames(e_).size(), 4u);
  qosim::BoardSet set(std::move(client_));
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::string item = "KEL" + set.board(0).device.substr(std::string("qovorlix").size());
  ASSERT_TRUE(noticeFor(1, item)) << item;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the confirming passes
  ASSERT_TRUE(set.unplug().ok());
  EXPECT_TRUE(noticeFor(2, item)) << item;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int arrivals = 0, removals = 0;
  for (const auto& n : sink_.notices()) {
    if (!contains(n.names, item)) continue;
    arrivals += n.kind == 1 ? 1 : 0;
    removals += n.kind == 2 ? 1 : 0;
  }
  EXPECT_EQ(arrivals, 1);
  EXPECT_EQ(removals, 1);
}

// A sink that calls back into the object from inside a notice (on a library thread) while the
// host thread releases the object: the expert must still be destroyed on a host thread, without
// a hang and with every thread joined.
TEST_F(ExpertOnMachine, FinalReleaseWhileTheSinkCallsBackFromALibraryThread) {
  std::atomic<bool> inNotice{false};
  std::atomic<int> callbacks{0};
  sink_.onNotice = [&](void* expert, const RecordingSink::Notice& n) {
    if (n.kind != 3) return;
    inNotice = true;
    auto* self = static_cast<ImxSysExpert2*>(expert);
    for (int i = 0; i < 5; ++i) {
      const HostText name("KEL0");
      void* bag = nullptr;
      if (self->vtbl->GetPropertyBag(self, name, &bag) == kS_OK) release(bag);
      ++callbacks;
    }
  };
  const HostText name("KEL0");
  const unsigned tags[] = {kTemperatureTag};
  void* bag = nullptr;
  ASSERT_EQ(e_->vtbl->GetPropertyBagWithRefresh(e_, name, 1, tags, 1, &bag), kRefreshPending);
  for (int i = 0; i < 500 && !inNotice.load(); ++i) std::this_thread::sleep_for(2ms);
  ASSERT_TRUE(inNotice.load());
  faces_.release();
  EXPECT_EQ(release(e_), 0u);  // no Shutdown first: the final Release cleans up
  e_ = nullptr;
  EXPECT_EQ(callbacks.load(), 5);
  EXPECT_EQ(sink_.references(), 1);
  EXPECT_LE(threadCountSettled(threadsBefore_), threadsBefore_);
}

// The host's last reference let go by its sink inside a notice, on the library's worker: the
// object is destroyed off that thread once the notice has returned, the sink is released and
// every thread of the expert ends (only the destruction thread stays until the library unloads).
TEST_F(ExpertOnMachine, LastReferenceReleasedByTheSinkInsideANotice) {
  faces_.release();
  ImxSysExpert2* expert = std::exchange(e_, nullptr);
  expert->vtbl->AddRef(expert);  // the reference the sink will let go of
  std::atomic<bool> hostLetGo{false}, released{false};
  std::atomic<std::thread::id> releasedOn{};
  sink_.onNotice = [&](void*, const RecordingSink::Notice& n) {
    if (n.kind != 3 || released.exchange(true)) return;
    for (int i = 0; i < 2500 && !hostLetGo.load(); ++i) std::this_thread::sleep_for(2ms);
    releasedOn = std::this_thread::get_id();
    EXPECT_EQ(release(expert), 0u);
  };
  const HostText name("KEL0");
  const unsigned tags[] = {kTemperatureTag};
  void* bag = nullptr;
  ASSERT_EQ(expert->vtbl->GetPropertyBagWithRefresh(expert, name, 1, tags, 1, &bag),
            kRefreshPending);
  EXPECT_EQ(release(expert), 1u);
  hostLetGo = true;
  bool done = false;
  for (int i = 0; i < 2500 && !done; ++i) {
    done = sink_.references() == 1 && threadCount() <= threadsBefore_ + 1;
    if (!done) std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(released.load());
  EXPECT_NE(releasedOn.load(), std::this_thread::get_id());
  EXPECT_TRUE(done) << "sink references " << sink_.references() << ", threads " << threadCount()
                    << " (before " << threadsBefore_ << ")";
}

TEST_F(ExpertOnMachine, AFailingEnumerationLibraryLeavesTheExpertServing) {
  ASSERT_EQ(itemNames(e_).size(), 4u);
  // Every enumeration of the presence notifier fails now: boards plugged meanwhile are missed...
  ASSERT_TRUE(client_.enumFault("", "refresh", -52024).ok());
  qosim::BoardSet set(std::move(client_));
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  std::this_thread::sleep_for(300ms);
  const std::string firstItem = "KEL" + set.board(0).device.substr(std::string("qovorlix").size());
  EXPECT_FALSE(contains(itemNames(e_), firstItem));
  // ...while the items already known keep serving.
  HRESULT hr = 0;
  EXPECT_FALSE(rowsOf("KEL1", &hr).empty());
  EXPECT_EQ(hr, kS_OK);
  // Once the library recovers, the next board event finds both boards.
  ASSERT_TRUE(set.client().enumFault("", "refresh", std::nullopt).ok());
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::string secondItem = "KEL" + set.board(1).device.substr(std::string("qovorlix").size());
  EXPECT_TRUE(noticeFor(1, secondItem));
  EXPECT_TRUE(noticeFor(1, firstItem, 100));
  const auto names = itemNames(e_);
  EXPECT_TRUE(contains(names, firstItem));
  EXPECT_TRUE(contains(names, secondItem));
}

TEST_F(ExpertOnMachine, AnExpertThatCannotStartAnswersAndTheNextOperationRetries) {
  destroy();
  ASSERT_TRUE(client_.enumFault("", "initialize", -52003).ok());
  create();
  HRESULT hr = 0;
  EXPECT_TRUE(itemNames(e_, &hr).empty());
  EXPECT_LT(hr, 0);
  ASSERT_TRUE(client_.enumFault("", "initialize", std::nullopt).ok());
  EXPECT_EQ(itemNames(e_, &hr).size(), 4u);
  EXPECT_EQ(hr, kS_OK);
}

}  // namespace
