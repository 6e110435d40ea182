// Boards plugged into the simulated machine through its control client, seen by the platform
// layer the way the device expert sees them: the interface iterator finds what the simulated
// driver published under /proc/driver/qo and the proxy opens the node it names; the device
// notification dispatcher hears boards come and go in /dev/qo, and /dev/qo itself vanish and
// come back.
#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/StatusText.h"
#include "tests/common/PlatformNames.h"

namespace {

using testsupport::statusText;

namespace drv = apal::driver;
using apal::tDeviceInterfaceIterator;
using apal::tDeviceInterfaceProxy;
using apal::tDeviceNodeEvent;
using apal::tNotificationDispatcher;
using apal::tStatus;
using qosim::Bytes;

constexpr char kOtherInterface[] = "qotest_other_interface";

// ---- the iterator over what the simulator published -------------------------------------------

TEST(IteratorOnPluggedBoards, InterfacePathOpensInTheProxyAndReachesTheBoard) {
  qosim::BoardSet set;
  auto& board = set.add().withDefaults().withInterface(drv::kRoutingInterface, "3", "1", "7");
  ASSERT_TRUE(set.plug().ok());

  tStatus status;
  tDeviceInterfaceIterator routing(drv::kRoutingInterface, board.device.c_str(), &status);
  ASSERT_FALSE(routing.isEnd()) << statusText(status);
  char path[tDeviceInterfaceIterator::kInterfacePathSize];
  const std::size_t length = routing.readInterfacePath(path, &status);
  ASSERT_EQ(status.code, 0) << statusText(status);
  EXPECT_EQ(std::string(path), board.nodePath(drv::kRoutingInterface));
  EXPECT_EQ(length, board.nodePath(drv::kRoutingInterface).size() + 1);
  EXPECT_EQ(std::string(routing.entryPath()),
            board.procDir() + "/deviceInterfaces/" + drv::kRoutingInterface + "\\3\\1");
  std::string device;
  routing.getDeviceName(device, &status);
  EXPECT_EQ(device, board.device);
  routing.next();
  EXPECT_TRUE(routing.isEnd());

  // The path found is a node the proxy opens, and a call on it reaches that very node.
  tDeviceInterfaceProxy proxy;
  proxy.open(path, &status);
  ASSERT_TRUE(proxy.isOpen()) << statusText(status);
  ASSERT_TRUE(set.client().clearLog().ok());
  std::uint8_t out[8];
  EXPECT_EQ(proxy.call(qodrv::routing::kQueryU32Command, nullptr, 0, out, sizeof out, &status),
            8u);  // queryU32
  EXPECT_EQ(status.code, 0) << statusText(status);
  auto log = set.client().readLog(true);
  ASSERT_TRUE(log.ok()) << log.error;
  ASSERT_EQ(log.value.size(), 1u);
  EXPECT_EQ(log.value[0].node, board.nodeName(drv::kRoutingInterface));
}

TEST(IteratorOnPluggedBoards, BusPropertiesEqualTheBoardDescription) {
  qosim::BoardSet set;
  auto& board = set.add().withDefaults();
  board.busProperties["pciBusNumber"] = 0x1A;
  board.busProperties["pcieTransferRate"] = 0xFFFFFFFFu;
  board.withRawBusProperty("serialNumber", Bytes{0xDE, 0xC0, 0xAD, 0x0B, 0x01, 0x02});
  ASSERT_TRUE(set.plug().ok());

  tStatus status;
  tDeviceInterfaceIterator iterator(drv::kMainInterface, board.device.c_str(), &status);
  ASSERT_FALSE(iterator.isEnd()) << statusText(status);
  ASSERT_EQ(board.busProperties.size(), std::size(drv::kBusProperties));
  for (const char* name : drv::kBusProperties) {
    std::uint32_t value = 0xEEEEEEEEu;
    std::size_t size = 0;
    iterator.readBusProperty(name, &value, sizeof value, &size, &status);
    EXPECT_EQ(status.code, 0) << name << " " << statusText(status);
    EXPECT_EQ(size, drv::kBusPropertySize) << name;
    EXPECT_EQ(value, board.busProperties.at(name)) << name;
  }
  std::uint8_t raw[16] = {};
  std::size_t size = 0;
  iterator.readBusProperty("serialNumber", raw, sizeof raw, &size, &status);
  EXPECT_EQ(status.code, 0) << statusText(status);
  EXPECT_EQ(Bytes(raw, raw + size), board.rawBusProperties.at("serialNumber"));

  // A capacity below the property's size is refused, the size still reported.
  std::uint8_t small[4] = {};
  tStatus tooSmall;
  iterator.readBusProperty("serialNumber", small, sizeof small, &size, &tooSmall);
  EXPECT_EQ(tooSmall.code, Codes::kBufferTooSmall);
  EXPECT_EQ(size, 6u);
}

TEST(IteratorOnPluggedBoards, AllDevicesIteratorMatchesTheMachinesBoardList) {
  qosim::BoardSet set;
  set.add().withDefaults();
  set.add().withInterface(drv::kRoutingInterface);  // no main interface
  set.add().withDefaults().withInterface(drv::kMainInterface, "1", "0", "1");
  ASSERT_TRUE(set.plug().ok());

  auto list = set.client().list();
  ASSERT_TRUE(list.ok()) << list.error;
  // Expected: every node of the main interface of every plugged board, as interface paths.
  std::multiset<std::string> expected;
  for (const auto& board : list.value["boards"]) {
    for (const auto& node : board["nodes"]) {
      const std::string name = node.get<std::string>();
      const std::string prefix =
          board["device"].get<std::string>() + "\\" + drv::kMainInterface + "\\";
      if (name.rfind(prefix, 0) == 0)
        expected.insert(std::string(drv::kNodeDirectory) + "/" + name);
    }
  }
  tStatus status;
  std::multiset<std::string> found;
  tDeviceInterfaceIterator iterator(drv::kMainInterface, &status);
  char path[tDeviceInterfaceIterator::kInterfacePathSize];
  for (; !iterator.isEnd(); iterator.next()) {
    ASSERT_GT(iterator.readInterfacePath(path, &status), 0u) << statusText(status);
    found.insert(path);
  }
  EXPECT_EQ(status.code, 0) << statusText(status);
  EXPECT_EQ(found, expected);
  EXPECT_EQ(found.count(set.board(2).nodePath(drv::kMainInterface)), 1u);
  EXPECT_EQ(found.count(std::string(drv::kNodeDirectory) + "/" + set.board(2).device + "\\" +
                        drv::kMainInterface + "\\1"),
            1u);

  // After the unplug the boards are gone from the tree as well.
  const std::string gone = set.board(0).device;
  ASSERT_TRUE(set.unplug().ok());
  tDeviceInterfaceIterator after(drv::kMainInterface, gone.c_str(), &status);
  EXPECT_TRUE(after.isEnd());
  EXPECT_EQ(status.code, 0);
}

// ---- the dispatcher hearing hotplug -----------------------------------------------------------

// Runs dispatcher.wait on a thread of its own; a wait that reports nothing within the time limit
// fails the test (the dispatcher is cancelled so the thread ends).
class DispatcherOnHotplug : public ::testing::Test {
 protected:
  void SetUp() override {
    auto c = qosim::Client::connect();
    ASSERT_TRUE(c.ok()) << "these tests run inside the simulated machine (qosim run): " << c.error;
    client_ = std::move(c.value);
    auto list = client_.listDevices();
    ASSERT_TRUE(list.ok()) << list.error;
  }
  void TearDown() override {
    // /dev/qo is always back when a test ends.
    auto list = client_.list();
    if (list.ok() && !list.value.value("devQo", true)) {
      EXPECT_TRUE(client_.createDevQo().ok());
    }
  }

  static bool waitEvent(tNotificationDispatcher& dispatcher, tDeviceNodeEvent& event,
                        tStatus& status, int seconds = 10) {
    auto result = std::async(std::launch::async, [&] {
      ::pthread_setname_np(::pthread_self(), "qo-test-wait");
      bool changed = false;
      dispatcher.wait(&changed, &event, &status);
      return changed;
    });
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      ADD_FAILURE() << "no event within " << seconds << " seconds";
      dispatcher.cancel();
    }
    return result.get();
  }

  // The devices whose main-interface node is in /dev/qo now, by node count.
  std::map<std::string, int> mainNodesByDevice() {
    std::map<std::string, int> out;
    auto list = client_.list();
    EXPECT_TRUE(list.ok()) << list.error;
    for (const auto& board : list.value["boards"]) {
      for (const auto& node : board["nodes"]) {
        const std::string name = node.get<std::string>();
        const auto first = name.find('\\');
        if (first == std::string::npos) continue;
        const auto second = name.find('\\', first + 1);
        if (name.substr(first + 1, second - first - 1) == drv::kMainInterface)
          ++out[board["device"].get<std::string>()];
      }
    }
    return out;
  }

  qosim::Client client_;
};

TEST_F(DispatcherOnHotplug, PlugAndUnplugAreReportedWithTheirKind) {
  const char* names[] = {drv::kMainInterface};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  ASSERT_EQ(status.code, 0) << statusText(status);
  ASSERT_TRUE(dispatcher.watchesNodeDirectory());

  qosim::BoardSet set;
  auto& board = set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  EXPECT_EQ(event.valid, 1);
  EXPECT_EQ(std::string(event.device), board.device);
  EXPECT_STREQ(event.interface, drv::kMainInterface);

  ASSERT_TRUE(set.unplug().ok());
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted);
  EXPECT_EQ(std::string(event.device), board.device);
  EXPECT_STREQ(event.interface, drv::kMainInterface);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
  EXPECT_EQ(status.code, 0) << statusText(status);
}

TEST_F(DispatcherOnHotplug, BoardsWithoutTheInterfaceAreIgnored) {
  const char* names[] = {drv::kMainInterface};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  ASSERT_EQ(status.code, 0) << statusText(status);

  // First a board that only has other interfaces, then one with the main interface: the first
  // event handed out is the second board's, and nothing else is queued.
  qosim::BoardSet others;
  others.add().withInterface(drv::kRoutingInterface).withInterface(kOtherInterface);
  ASSERT_TRUE(others.plug().ok());
  qosim::BoardSet mains;
  auto& main = mains.add().withDefaults().withInterface(kOtherInterface);
  ASSERT_TRUE(mains.plug().ok());
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(std::string(event.device), main.device);
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  ASSERT_TRUE(others.unplug().ok());
  ASSERT_TRUE(mains.unplug().ok());
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(std::string(event.device), main.device);
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);

  // A dispatcher for the other interface hears exactly the boards that offer it.
  const char* otherNames[] = {kOtherInterface};
  tNotificationDispatcher other(otherNames, 1, &status);
  qosim::BoardSet again;
  auto& plain = again.add().withDefaults();
  auto& offering = again.add().withInterface(kOtherInterface);
  (void)plain;
  ASSERT_TRUE(again.plug().ok());
  ASSERT_TRUE(waitEvent(other, event, status));
  EXPECT_EQ(std::string(event.device), offering.device);
  EXPECT_STREQ(event.interface, kOtherInterface);
  EXPECT_EQ(other.pendingCount(), 0u);
  EXPECT_EQ(status.code, 0) << statusText(status);
}

TEST_F(DispatcherOnHotplug, NodeDirectoryRemovedAndCreatedThroughTheClient) {
  qosim::BoardSet set;
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::map<std::string, int> present = mainNodesByDevice();
  ASSERT_FALSE(present.empty());
  int total = 0;
  for (const auto& [device, count] : present) total += count;

  const char* names[] = {drv::kMainInterface};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  ASSERT_EQ(status.code, 0) << statusText(status);

  // Removal: one deletion per main node, then the dispatcher no longer watches /dev/qo.
  ASSERT_TRUE(client_.removeDevQo().ok());
  std::map<std::string, int> deleted;
  tDeviceNodeEvent event;
  for (int i = 0; i < total; ++i) {
    ASSERT_TRUE(waitEvent(dispatcher, event, status)) << i;
    EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted) << event.device;
    EXPECT_STREQ(event.interface, drv::kMainInterface);
    ++deleted[event.device];
  }
  EXPECT_EQ(deleted, present);

  // A board plugged while /dev/qo is gone is not reported yet (its node has nowhere to go).
  qosim::BoardSet late;
  auto& lateBoard = late.add().withDefaults();
  ASSERT_TRUE(late.plug().ok());
  EXPECT_EQ(dispatcher.pendingCount(), 0u);

  // Creation: the dispatcher finds /dev/qo again and reports every main node in it. A node
  // that appears while the dispatcher rescans the new directory may be reported twice (by the
  // rescan and by its own event); every node is reported, and as created.
  ASSERT_TRUE(client_.createDevQo().ok());
  std::map<std::string, int> expected = present;
  expected[lateBoard.device] = 1;
  std::map<std::string, int> created;
  std::set<std::string> seen;
  while (seen.size() < expected.size()) {
    ASSERT_TRUE(waitEvent(dispatcher, event, status));
    EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated) << event.device;
    EXPECT_EQ(expected.count(event.device), 1u) << "unexpected device " << event.device;
    seen.insert(event.device);
    ++created[event.device];
  }
  for (const auto& [device, count] : created) EXPECT_LE(count, 2 * expected[device]) << device;
  EXPECT_TRUE(dispatcher.watchesNodeDirectory());

  // And keeps watching: an unplug afterwards is heard.
  tDeviceNodeEvent drained;
  while (dispatcher.pendingCount() > 0) ASSERT_TRUE(waitEvent(dispatcher, drained, status));
  ASSERT_TRUE(late.unplug().ok());
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted);
  EXPECT_EQ(std::string(event.device), lateBoard.device);
  EXPECT_EQ(status.code, 0) << statusText(status);
}

TEST_F(DispatcherOnHotplug, CancelEndsAWaitThatNoBoardEnds) {
  const char* names[] = {drv::kMainInterface};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 1, &status);
  auto waiting = std::async(std::launch::async, [&] {
    ::pthread_setname_np(::pthread_self(), "qo-test-wait");
    bool changed = true;
    dispatcher.wait(&changed, &status);
    return changed;
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  dispatcher.cancel();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
  // Later plugs are not reported any more.
  qosim::BoardSet set;
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  bool changed = true;
  dispatcher.wait(&changed, &status);
  EXPECT_FALSE(changed);
  EXPECT_EQ(status.code, 0);
}

}  // namespace
