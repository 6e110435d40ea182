// The device notification dispatcher watching the simulated machine's /dev and /dev/qo. Each
// test moves the machine's own /dev/qo aside, builds exactly the directory and nodes it needs,
// and puts the original back afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/sim/InsideMachine.h"
#include "tests/common/PlatformNames.h"

namespace fs = std::filesystem;
using apal::tDeviceNodeEvent;
using apal::tNotificationDispatcher;
using apal::tStatus;

namespace {

constexpr const auto& kMain = qodrv::vorlixtarrow::kInterfaceName;
const fs::path kQo = apal::driver::kNodeDirectory;
const char* const kMainOnly[] = {kMain};

class NodeDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simcheck::insideMachine({"/dev"}));
    saved_ = "/dev/.qo-saved-" + std::to_string(::getpid());
    std::error_code error;
    if (fs::exists(kQo)) {
      fs::rename(kQo, saved_, error);
      ASSERT_FALSE(error) << "cannot move the machine's /dev/qo aside: " << error.message();
      moved_ = true;
    }
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(kQo, ignored);
    for (const fs::path& extra : extras_) fs::remove(extra, ignored);
    if (moved_) fs::rename(saved_, kQo, ignored);
  }

  static void makeNodeDirectory() { ASSERT_TRUE(fs::create_directory(kQo)); }

  static void createNode(const std::string& name) {
    std::ofstream(kQo / name) << "";
    ASSERT_TRUE(fs::exists(kQo / name)) << name;
  }

  static void removeNode(const std::string& name) { ASSERT_TRUE(fs::remove(kQo / name)) << name; }

  static std::string node(const std::string& device, const std::string& interface) {
    return device + "\\" + interface + "\\0";
  }

  // Waits for one event; a dispatcher that reports nothing within 10 s fails the test instead of
  // hanging it (it is cancelled then).
  static bool waitEvent(tNotificationDispatcher& dispatcher, tDeviceNodeEvent& event,
                        tStatus& status) {
    auto result = std::async(std::launch::async, [&] {
      bool changed = false;
      dispatcher.wait(&changed, &event, &status);
      return changed;
    });
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "no event within 10 seconds";
      dispatcher.cancel();
    }
    return result.get();
  }

  // Creates the main interface's node of `device` and waits for the dispatcher to report it.
  static ::testing::AssertionResult appears(tNotificationDispatcher& dispatcher,
                                            const std::string& device, tDeviceNodeEvent& event,
                                            tStatus& status) {
    createNode(node(device, kMain));
    if (!waitEvent(dispatcher, event, status)) return ::testing::AssertionFailure() << "no event";
    if (device != event.device)
      return ::testing::AssertionFailure() << "event of " << event.device << ", not " << device;
    return ::testing::AssertionSuccess();
  }

  fs::path saved_;
  bool moved_ = false;
  std::vector<fs::path> extras_;
};

}  // namespace

TEST_F(NodeDirectory, MatchingNodeCreatedAndDeletedYieldsOneEventEach) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  ASSERT_EQ(status.code, 0) << status.file << ":" << status.line;
  EXPECT_TRUE(dispatcher.watchesNodeDirectory());

  createNode(node("KEL0", kMain));
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  EXPECT_EQ(event.valid, 1);
  EXPECT_STREQ(event.device, "KEL0");
  EXPECT_STREQ(event.interface, kMain);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);

  removeNode(node("KEL0", kMain));
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted);
  EXPECT_STREQ(event.device, "KEL0");
  EXPECT_EQ(status.code, 0);
}

TEST_F(NodeDirectory, NodesOfOtherInterfacesAreFilteredOut) {
  makeNodeDirectory();
  const char* names[] = {qodrv::routing::kInterfaceName, kMain};
  tStatus status;
  tNotificationDispatcher dispatcher(names, 2, &status);
  ASSERT_EQ(status.code, 0);
  createNode(node("KEL0", "other_interface"));
  createNode(std::string("KEL0\\") + kMain);  // one backslash: no interface part
  createNode(std::string("KEL0\\") + kMain + "x\\0");
  createNode("plain");
  removeNode(node("KEL0", "other_interface"));
  createNode(node("KEL1", kMain));
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  EXPECT_STREQ(event.device, "KEL1");
  EXPECT_STREQ(event.interface, kMain);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);  // nothing else was queued

  createNode(node("KEL2", qodrv::routing::kInterfaceName));
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_STREQ(event.device, "KEL2");
  EXPECT_STREQ(event.interface, qodrv::routing::kInterfaceName);
}

TEST_F(NodeDirectory, NodesOutsideTheNodeDirectoryAreNotInterfaceNodes) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  const fs::path stray = fs::path("/dev") / node("STRAY", kMain);
  extras_.push_back(stray);
  std::ofstream(stray) << "";
  tDeviceNodeEvent event;
  ASSERT_TRUE(appears(dispatcher, "KEL3", event, status));
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
}

TEST_F(NodeDirectory, NodesPresentAtConstructionAreNotReported) {
  makeNodeDirectory();
  createNode(node("OLD", kMain));
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  tDeviceNodeEvent event;
  ASSERT_TRUE(appears(dispatcher, "NEW", event, status));
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
}

TEST_F(NodeDirectory, CreatedLaterWithNodesAlreadyInside) {
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  ASSERT_EQ(status.code, 0) << "a missing /dev/qo is not an error";
  EXPECT_FALSE(dispatcher.watchesNodeDirectory());

  makeNodeDirectory();
  createNode(node("KEL5", kMain));
  createNode(node("KEL5", "other_interface"));
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  EXPECT_STREQ(event.device, "KEL5");
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
  EXPECT_TRUE(dispatcher.watchesNodeDirectory());

  // The new directory is watched from now on.
  ASSERT_TRUE(appears(dispatcher, "KEL6", event, status));
  EXPECT_EQ(status.code, 0);
}

TEST_F(NodeDirectory, RemovedAndCreatedAgain) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  tDeviceNodeEvent event;
  ASSERT_TRUE(appears(dispatcher, "A", event, status));

  // The board goes: its node, then the directory.
  removeNode(node("A", kMain));
  ASSERT_TRUE(fs::remove(kQo));
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kDeleted);
  EXPECT_STREQ(event.device, "A");

  // It comes back with a node already inside.
  makeNodeDirectory();
  createNode(node("B", kMain));
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_EQ(event.kind, tDeviceNodeEvent::kCreated);
  EXPECT_STREQ(event.device, "B");
  EXPECT_TRUE(dispatcher.watchesNodeDirectory());

  ASSERT_TRUE(appears(dispatcher, "C", event, status));
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
  EXPECT_EQ(status.code, 0) << status.file << ":" << status.line;
}

TEST_F(NodeDirectory, RemovedAndCreatedAgainBeforeTheDispatcherLooks) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  ASSERT_TRUE(fs::remove(kQo));
  makeNodeDirectory();
  tDeviceNodeEvent event;
  ASSERT_TRUE(appears(dispatcher, "D", event, status));
  ASSERT_TRUE(appears(dispatcher, "E", event, status));
  EXPECT_EQ(status.code, 0);
}

TEST_F(NodeDirectory, CancelBeforeWaitReturnsAtOnceAndSecondCancelWritesNothing) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  createNode(node("KEL0", kMain));  // an event is available, but cancel wins
  dispatcher.cancel();
  dispatcher.cancel();
  EXPECT_EQ(dispatcher.pendingCancelBytes(), 1u);
  bool changed = true;
  dispatcher.wait(&changed, &status);
  EXPECT_FALSE(changed);
  EXPECT_EQ(status.code, 0);
}

TEST_F(NodeDirectory, AtMostEightSpareNodesAreKept) {
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  // A directory that appears with twelve nodes queues twelve events at once.
  makeNodeDirectory();
  std::vector<std::string> expected;
  for (int i = 10; i < 22; ++i) {
    expected.push_back("KEL" + std::to_string(i));
    createNode(node(expected.back(), kMain));
  }
  tDeviceNodeEvent event;
  std::vector<std::string> devices;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  devices.emplace_back(event.device);
  EXPECT_EQ(dispatcher.pendingCount(), 11u);
  for (int i = 1; i < 12; ++i) {
    ASSERT_TRUE(waitEvent(dispatcher, event, status)) << i;
    devices.emplace_back(event.device);
    EXPECT_LE(dispatcher.spareCount(), tNotificationDispatcher::kMaxSpareNodes);
  }
  std::sort(devices.begin(), devices.end());  // directory order is the file system's
  EXPECT_EQ(devices, expected);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
  EXPECT_EQ(dispatcher.spareCount(), tNotificationDispatcher::kMaxSpareNodes);

  // Spare nodes are reused.
  ASSERT_TRUE(appears(dispatcher, "AGAIN", event, status));
  EXPECT_EQ(dispatcher.spareCount(), tNotificationDispatcher::kMaxSpareNodes);
}

TEST_F(NodeDirectory, AnyInterfaceEntryAcceptsEveryNodeAnotherEmptyNameDoesNot) {
  makeNodeDirectory();
  const char* all[] = {apal::kAnyInterface};
  static const char otherEmpty[1] = "";
  const char* empty[] = {otherEmpty};
  tStatus status;
  tNotificationDispatcher everything(all, 1, &status);
  tNotificationDispatcher emptyName(empty, 1, &status);
  ASSERT_EQ(status.code, 0);

  createNode("plain");
  createNode(node("KEL0", "whatever"));
  createNode("KEL1\\\\0");  // empty interface part
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(everything, event, status));
  EXPECT_STREQ(event.device, "");
  EXPECT_STREQ(event.interface, "plain");
  ASSERT_TRUE(waitEvent(everything, event, status));
  EXPECT_STREQ(event.device, "KEL0");
  EXPECT_STREQ(event.interface, "whatever");
  ASSERT_TRUE(waitEvent(everything, event, status));
  EXPECT_STREQ(event.device, "KEL1");
  EXPECT_STREQ(event.interface, "");

  ASSERT_TRUE(waitEvent(emptyName, event, status));
  EXPECT_STREQ(event.device, "KEL1");
  EXPECT_EQ(emptyName.pendingCount(), 0u);
  EXPECT_EQ(status.code, 0);
}

TEST_F(NodeDirectory, LongestNodeNamesAreRead) {
  makeNodeDirectory();
  tStatus status;
  tNotificationDispatcher dispatcher(kMainOnly, 1, &status);
  std::string longest = node("LONG", kMain);
  longest.append(NAME_MAX - longest.size(), 'r');
  ASSERT_EQ(longest.size(), static_cast<std::size_t>(NAME_MAX));
  createNode(longest);
  createNode(node("NEXT", kMain));
  tDeviceNodeEvent event;
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_STREQ(event.device, "LONG");
  ASSERT_TRUE(waitEvent(dispatcher, event, status));
  EXPECT_STREQ(event.device, "NEXT");
  EXPECT_EQ(status.code, 0) << status.file << ":" << status.line;
}
