// The device expert's presence notifier in a simulated machine: real /dev/qo events through the
// inotify dispatcher, real enumeration through the family's library (stand-in), items of a
// no-op kind. Boards plugged and unplugged reach the host sink as kind 1 and kind 2 notices with
// their item names, on the presence worker, and the cache follows at the next operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QosimClient.h"
#include "qoapal/trace/qosdbg.h"
#include "source/SystemAPIExpert.h"
#include "source/tItemFactory.h"
#include "sysapicpp/NotificationHandler.h"
#include "tests/common/NoOpItem.h"
#include "tests/common/RecordingHandler.h"

namespace {

using namespace std::chrono_literals;

using Recorder = qotest::RecordingHandler;

std::unique_ptr<sysapicpp::ItemFactory> noOpItemFactory() {
  return std::make_unique<VorlixSysapiExpert::tItemFactory>(
      [](const std::string& name, VorlixSysapiExpert::tDeviceListHolder&) {
        return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new qotest::NoOpItem(name));
      });
}

// Items of no-op kind, except for the board named here: no item can be built for it.
std::string gUnbuildable;
std::unique_ptr<sysapicpp::ItemFactory> partlyBuildingFactory() {
  return std::make_unique<VorlixSysapiExpert::tItemFactory>(
      [](const std::string& name, VorlixSysapiExpert::tDeviceListHolder&) {
        if (name == gUnbuildable) throw std::runtime_error("board unreadable");
        return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new qotest::NoOpItem(name));
      });
}

std::string gTrace;
void captureTrace(const char* text) { gTrace += text; }

std::string itemOf(const std::string& device) {
  return "KEL" + device.substr(std::string("qovorlix").size());
}

TEST(PresenceNotifierOnMachine, PlugAndUnplugReachTheHostAndTheCache) {
  Recorder sink;
  VorlixSysapiExpert::SystemAPIExpert expert(&sink, &noOpItemFactory);
  ASSERT_FALSE(expert.presenceNotifier().status().isFatal());
  std::vector<std::string> names;
  expert.getItemNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"KEL0", "KEL1", "KEL2", "KEL4"}));

  qosim::BoardSet set;
  set.add().withDefaults();
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::string itemA = itemOf(set.board(0).device), itemB = itemOf(set.board(1).device);
  ASSERT_TRUE(sink.waitFor(1, itemA));
  const auto dump = [&] {
    std::string text = itemA + " " + itemB + ":";
    for (const auto& n : sink.notices()) {
      text += " [" + std::to_string(n.kind);
      for (const auto& name : n.names) text += " " + name;
      text += "]";
    }
    return text + " failed passes " +
           std::to_string(expert.presenceNotifier().worker().failedPasses());
  };
  ASSERT_TRUE(sink.waitFor(1, itemB)) << dump();
  names.clear();
  expert.getItemNames(names);
  EXPECT_EQ(std::count(names.begin(), names.end(), itemA), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), itemB), 1);

  ASSERT_TRUE(set.unplug().ok());
  ASSERT_TRUE(sink.waitFor(2, itemA)) << dump();
  ASSERT_TRUE(sink.waitFor(2, itemB)) << dump();
  names.clear();
  expert.getItemNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"KEL0", "KEL1", "KEL2", "KEL4"}));
  for (const auto& n : sink.notices()) {
    EXPECT_NE(n.thread, std::this_thread::get_id());
    // No board was reported added twice or removed while it was present.
    EXPECT_TRUE(n.kind == 1 || n.kind == 2);
  }
  EXPECT_EQ(expert.presenceNotifier().worker().failedPasses(), 0u);
}

TEST(PresenceNotifierOnMachine, AFailingEnumerationAbandonsOnlyThatPass) {
  Recorder sink;
  VorlixSysapiExpert::SystemAPIExpert expert(&sink, &noOpItemFactory);
  std::vector<std::string> names;
  expert.getItemNames(names);
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(client.value.enumFault("", "refresh", -52024).ok());
  qosim::BoardSet set;
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::string itemA = itemOf(set.board(0).device);
  for (int i = 0; i < 200 && expert.presenceNotifier().worker().failedPasses() == 0; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_GT(expert.presenceNotifier().worker().failedPasses(), 0u);
  ASSERT_TRUE(client.value.enumFault("", "refresh", std::nullopt).ok());
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  EXPECT_TRUE(sink.waitFor(1, itemOf(set.board(1).device)));
  EXPECT_TRUE(sink.waitFor(1, itemA));
}

// A board the library lists but no item can be built for is never announced (not at the event's
// pass nor at the confirming ones) and traced once; the board beside it is announced once.
TEST(PresenceNotifierOnMachine, ABoardWithoutItemIsNotAnnouncedAndTracedOnce) {
  Recorder sink;
  qosim::BoardSet set;
  set.add().withDefaults();
  set.add().withDefaults();
  gUnbuildable = itemOf(set.board(1).device);
  gTrace.clear();
  auto previous = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(captureTrace);
  {
    VorlixSysapiExpert::SystemAPIExpert expert(&sink, &partlyBuildingFactory);
    std::vector<std::string> names;
    expert.getItemNames(names);
    ASSERT_TRUE(set.plug().ok());
    const std::string served = itemOf(set.board(0).device);
    ASSERT_TRUE(sink.waitFor(1, served));
    // The event's passes and both confirming passes (20 ms and 200 ms of quiet) are over.
    const auto& worker = expert.presenceNotifier().worker();
    for (int i = 0; i < 300 && worker.completedPasses() < 3; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(400ms);
    ASSERT_GE(worker.completedPasses(), 3u);
    std::map<std::pair<int, std::string>, int> told;
    for (const auto& n : sink.notices())
      for (const auto& name : n.names) ++told[{n.kind, name}];
    EXPECT_EQ((told[{1, served}]), 1);
    EXPECT_EQ((told[{1, gUnbuildable}]), 0);
    EXPECT_EQ((told[{2, gUnbuildable}]), 0);
    names.clear();
    expert.getItemNames(names);
    EXPECT_EQ(std::count(names.begin(), names.end(), gUnbuildable), 0);
  }
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(previous);
  std::size_t traced = 0;
  const std::string line = gUnbuildable + " left out";
  for (auto at = gTrace.find(line); at != std::string::npos; at = gTrace.find(line, at + 1))
    ++traced;
  EXPECT_EQ(traced, 1u) << gTrace;
  gUnbuildable.clear();
}

}  // namespace
