// Boards come and go: plugging and unplugging through the control socket changes /proc and
// /dev/qo in the order watchers rely on, and /dev/qo itself can disappear and come back.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"

namespace {

namespace fs = std::filesystem;
namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;

struct Event {
  std::uint32_t mask;
  std::string name;
  bool procTreeReady;  // state of the device's /proc tree when the event was read
};

// Reads the inotify events available within `ms` milliseconds.
std::vector<Event> readEvents(int fd, int ms, const std::string& procDir) {
  std::vector<Event> out;
  alignas(inotify_event) char buf[4096];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    for (char* q = buf; q < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(q);
      out.push_back({ev->mask, ev->len ? ev->name : "", fs::exists(procDir)});
      q += sizeof(inotify_event) + ev->len;
    }
  }
  return out;
}

TEST(QosimHotplug, PlugPublishesProcTreeThenNodes) {
  int in = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, "/dev/qo", IN_CREATE | IN_DELETE | IN_DELETE_SELF), 0);
  qosim::BoardSet set;
  auto& b = set.add().withDefaults().withInterface(drv::kRoutingInterface);
  qosim::Status st = set.plug();
  ASSERT_TRUE(st.ok()) << st;
  EXPECT_TRUE(fs::exists(b.procDir() + "/busProperties/pcieLinkWidth"));
  EXPECT_TRUE(fs::exists(b.nodePath(drv::kMainInterface)));
  EXPECT_TRUE(fs::exists(b.nodePath(drv::kRoutingInterface)));
  auto events = readEvents(in, 200, b.procDir());
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_TRUE(e.mask & IN_CREATE);
    EXPECT_TRUE(e.procTreeReady) << e.name;
  }
  auto devices = set.client().listDevices();
  ASSERT_TRUE(devices.ok());
  EXPECT_NE(std::find(devices.value.begin(), devices.value.end(), b.device), devices.value.end());

  // Unplug: the nodes disappear; an open descriptor of the node fails with ENODEV.
  int fd = ::open(b.nodePath(drv::kMainInterface).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string procDir = b.procDir(), nodePath = b.nodePath(drv::kMainInterface);
  ASSERT_TRUE(set.unplug().ok());
  EXPECT_FALSE(fs::exists(procDir));
  EXPECT_FALSE(fs::exists(nodePath));
  events = readEvents(in, 200, procDir);
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) EXPECT_TRUE(e.mask & IN_DELETE);
  drv::tCallBlock block{};
  EXPECT_EQ(::ioctl(fd, qodrv::vorlixtarrow::kOp0901Command, &block), -1);
  EXPECT_EQ(errno, ENODEV);
  ::close(fd);
  ::close(in);
}

TEST(QosimHotplug, BuilderUnplugsWhenDestroyed) {
  std::string dir;
  {
    qosim::BoardSet set;
    set.add().withDefaults();
    ASSERT_TRUE(set.plug().ok());
    dir = set.boards()[0].procDir();
    ASSERT_TRUE(fs::exists(dir));
  }
  EXPECT_FALSE(fs::exists(dir));
}

TEST(QosimHotplug, BuilderNamesAreUniqueAndCollisionsAreSkipped) {
  qosim::BoardSet a, b;
  a.add().withDefaults();
  b.add().withDefaults();
  ASSERT_TRUE(a.plug().ok());
  ASSERT_TRUE(b.plug().ok());
  EXPECT_NE(a.boards()[0].device, b.boards()[0].device);
  // A name taken by a board plugged by someone else is replaced by the next free one.
  const std::string next =
      "qovorlix" + std::to_string(std::stoi(b.boards()[0].device.substr(8)) + 1);
  qosim::BoardSet other;
  other.add(next).withDefaults();
  ASSERT_TRUE(other.plug().ok());
  qosim::BoardSet c;
  c.add().withDefaults();
  ASSERT_TRUE(c.plug().ok()) << "made-up name collided";
  EXPECT_NE(c.boards()[0].device, next);
}

TEST(QosimHotplug, PlugFailuresAreClear) {
  qosim::Client& c = []() -> qosim::Client& {
    static qosim::Client client = qosim::Client::connect().value;
    return client;
  }();
  qosim::BoardDesc dup;
  dup.device = "qovorlix0";
  dup.withInterface(drv::kMainInterface);
  qosim::Status st = c.plug(dup);
  EXPECT_NE(st.error.find("already plugged"), std::string::npos) << st;
  st = c.plugJson({{"device", "bad/name"}, {"interfaces", {{{"name", "x"}}}}});
  EXPECT_NE(st.error.find("not allowed"), std::string::npos) << st;
  st = c.plugJson({{"device", "qovorlix77"}, {"interfaces", nlohmann::json::array()}});
  EXPECT_NE(st.error.find("interfaces"), std::string::npos) << st;
  st = c.unplug("qovorlix99");
  EXPECT_NE(st.error.find("not plugged"), std::string::npos) << st;
  // One device per PCI address: qovorlix0 sits at 4:0.0.
  st = c.plugJson({{"device", "qovorlix78"},
                   {"interfaces", {{{"name", "x"}}}},
                   {"busProperties", {{"pciBusNumber", 4}}}});
  EXPECT_NE(st.error.find("PCI address 4:0.0 is already used by qovorlix0"), std::string::npos)
      << st;
  EXPECT_FALSE(fs::exists("/proc/driver/qo/qovorlix77"));
  EXPECT_FALSE(fs::exists("/proc/driver/qo/qovorlix78"));
}

TEST(QosimHotplug, DevQoCanBeRemovedAndRecreated) {
  int in = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, "/dev", IN_CREATE | IN_DELETE), 0);
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok()) << client.error;
  ASSERT_TRUE(client.value.removeDevQo().ok());
  EXPECT_FALSE(fs::exists("/dev/qo"));
  EXPECT_FALSE(client.value.removeDevQo().ok());
  // A board plugged meanwhile shows up when /dev/qo comes back.
  qosim::BoardSet set;
  auto& b = set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  EXPECT_TRUE(fs::exists(b.procDir()));
  ASSERT_TRUE(client.value.createDevQo().ok());
  EXPECT_TRUE(fs::exists(b.nodePath(drv::kMainInterface)));
  EXPECT_TRUE(fs::exists("/dev/qo/qovorlix0\\qovorlixtarrowk_vorlixtarrow\\0"));
  auto events = readEvents(in, 200, b.procDir());
  bool deleted = false, created = false;
  for (const auto& e : events) {
    if (e.name != "qo") continue;
    deleted = deleted || (e.mask & IN_DELETE);
    created = created || (e.mask & IN_CREATE);
  }
  EXPECT_TRUE(deleted);
  EXPECT_TRUE(created);  // created in place (IN_CREATE), not renamed into place
  ::close(in);
}

}  // namespace
