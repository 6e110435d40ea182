// The road from the /proc tree to an open interface node: the iterator finds the entry, reads
// the node path, and the proxy opens the node in /dev/qo and exchanges data with it. The tests
// build their own entries and nodes (FIFOs and plain files) inside the simulated machine and
// remove them afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/sim/InsideMachine.h"
#include "tests/unit/ProxyTesting.h"
#include "tests/common/PlatformNames.h"

namespace fs = std::filesystem;
using apal::tDeviceInterfaceIterator;
using apal::tDeviceInterfaceProxy;
using apal::tStatus;

namespace {

class InterfaceNodes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simcheck::insideMachine({"/proc/driver", "/dev"}));
    std::error_code ignored;
    fs::create_directories(apal::driver::kProcRoot, ignored);
    fs::create_directories(apal::driver::kNodeDirectory, ignored);
    device_ = "qotest" + std::to_string(::getpid()) + "_proxy";
    deviceDir_ = fs::path(apal::driver::kProcRoot) / device_;
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(deviceDir_, ignored);
    for (const fs::path& node : nodes_) fs::remove(node, ignored);
  }

  // A routing interface entry on the test device whose interfacePath names `node`.
  void publish(const std::string& instance, const fs::path& node) {
    const fs::path entry = deviceDir_ / "deviceInterfaces" /
                           (std::string(apal::driver::kRoutingInterface) + "\\" + instance + "\\0");
    fs::create_directories(entry);
    std::ofstream(entry / "interfacePath") << node.string();
  }

  fs::path nodePath(const std::string& instance) {
    const fs::path node = fs::path(apal::driver::kNodeDirectory) /
                          (device_ + "\\" + apal::driver::kRoutingInterface + "\\" + instance);
    nodes_.push_back(node);
    return node;
  }

  // A FIFO node of routing instance `instance`, published on the test device; empty when the
  // FIFO cannot be made.
  fs::path publishedFifo(const std::string& instance) {
    const fs::path node = nodePath(instance);
    if (::mkfifo(node.c_str(), 0600) != 0) return {};
    publish(instance, node);
    return node;
  }

  // Interface paths of the test device's routing entries, in order.
  std::vector<std::string> discover(tStatus& status) {
    std::vector<std::string> paths;
    tDeviceInterfaceIterator iterator(apal::driver::kRoutingInterface, device_.c_str(), &status);
    char buffer[tDeviceInterfaceIterator::kInterfacePathSize];
    for (; !iterator.isEnd(); iterator.next()) {
      if (iterator.readInterfacePath(buffer, &status) == 0) break;
      paths.emplace_back(buffer);
    }
    return paths;
  }

  std::string device_;
  fs::path deviceDir_;
  std::vector<fs::path> nodes_;
};

}  // namespace

TEST_F(InterfaceNodes, FoundNodeOpensAndCarriesData) {
  const fs::path node = publishedFifo("0");
  ASSERT_FALSE(node.empty());
  tStatus status;
  const auto paths = discover(status);
  ASSERT_EQ(paths, std::vector<std::string>{node.string()});

  tDeviceInterfaceProxy proxy;
  proxy.open(paths[0].c_str(), &status);
  ASSERT_TRUE(proxy.isOpen());
  EXPECT_EQ(proxytest::echoed(proxy, "request", status), "request");
}

TEST_F(InterfaceNodes, NodeThatIsNoDeviceRefusesCallsAsUnsupported) {
  const fs::path node = nodePath("0");
  std::ofstream(node) << "plain file";
  publish("0", node);
  tStatus status;
  const auto paths = discover(status);
  ASSERT_EQ(paths.size(), 1u);
  tDeviceInterfaceProxy proxy;
  proxy.openDefault(paths[0].c_str(), &status);
  ASSERT_EQ(status.code, 0);
  std::uint32_t response[4] = {};
  EXPECT_EQ(proxy.call(qodrv::vorlixtarrow::kOp0406Command, nullptr, 0, response, sizeof response,
                       &status),
            0u);
  EXPECT_EQ(status.code, Codes::kUnsupported);
  EXPECT_STREQ(status.file, "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy");

  // Once the status holds the error, further operations do nothing.
  char buffer[4];
  EXPECT_EQ(proxy.read(buffer, sizeof buffer, &status), -1);
  EXPECT_EQ(status.code, Codes::kUnsupported);
}

TEST_F(InterfaceNodes, VanishedNodeIsNotFound) {
  publish("0", nodePath("gone"));  // published, never created
  tStatus status;
  const auto paths = discover(status);
  ASSERT_EQ(paths.size(), 1u);
  tDeviceInterfaceProxy proxy;
  proxy.open(paths[0].c_str(), &status);
  EXPECT_FALSE(proxy.isOpen());
  EXPECT_EQ(status.code, Codes::kNotFound);
}

TEST_F(InterfaceNodes, ReopenAfterCloseAndIndependentProxies) {
  const fs::path node = publishedFifo("0");
  ASSERT_FALSE(node.empty());
  tStatus status;
  const auto paths = discover(status);
  ASSERT_EQ(paths.size(), 1u);

  tDeviceInterfaceProxy first, second;
  first.open(paths[0].c_str(), &status);
  second.open(paths[0].c_str(), &status);
  ASSERT_TRUE(first.isOpen() && second.isOpen());
  EXPECT_NE(first.descriptor(), second.descriptor());
  // Both descriptors reach the same node.
  EXPECT_EQ(first.write("ab", 2, &status), 2);
  char got[4] = {};
  EXPECT_EQ(second.read(got, 2, &status), 2);
  EXPECT_STREQ(got, "ab");

  first.close();
  EXPECT_FALSE(first.isOpen());
  EXPECT_TRUE(second.isOpen());
  EXPECT_EQ(second.write("c", 1, &status), 1);  // the other proxy is unaffected
  first.open(paths[0].c_str(), &status);
  ASSERT_TRUE(first.isOpen());
  EXPECT_EQ(first.read(got, 1, &status), 1);
  EXPECT_EQ(got[0], 'c');
  EXPECT_EQ(status.code, 0);
}

TEST_F(InterfaceNodes, SeveralInstancesOfOneInterface) {
  const fs::path a = nodePath("0");
  const fs::path b = nodePath("1");
  std::ofstream(a) << "A";
  std::ofstream(b) << "B";
  publish("0", a);
  publish("1", b);
  tStatus status;
  const auto paths = discover(status);
  ASSERT_EQ(paths, (std::vector<std::string>{a.string(), b.string()}));
  for (std::size_t i = 0; i < paths.size(); ++i) {
    tDeviceInterfaceProxy proxy;
    proxy.open(paths[i].c_str(), &status);
    char c = 0;
    EXPECT_EQ(proxy.read(&c, 1, &status), 1);
    EXPECT_EQ(c, i == 0 ? 'A' : 'B');
  }
  EXPECT_EQ(status.code, 0);
}
