// The simulated machine publishes its boards as the driver does: the /proc tree matches the
// board file, and the /dev/qo nodes open read-write and keep what is written to them.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "QosimClient.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/FileText.h"

namespace {

using testsupport::readFile;

namespace fs = std::filesystem;
using nlohmann::json;

json defaultBoards() { return json::parse(readFile(QO_SOURCE_DIR "/sim/boards/default.json")); }

TEST(QosimProcTree, MatchesTheDefaultBoardFile) {
  json boards = defaultBoards().at("boards");
  ASSERT_EQ(boards.size(), 5u);
  std::size_t devices = 0;
  for (const auto& e : fs::directory_iterator("/proc/driver/qo"))
    if (e.path().filename().string()[0] != '.') ++devices;
  EXPECT_EQ(devices, boards.size());
  for (const auto& b : boards) {
    const std::string device = b.at("device");
    const std::string dir = "/proc/driver/qo/" + device;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    for (const auto& i : b.at("interfaces")) {
      const std::string name = i.at("name");
      const std::string entry = dir + "/deviceInterfaces/" + name + "\\" + std::string(i.at("a")) +
                                "\\" + std::string(i.at("b"));
      ASSERT_TRUE(fs::is_directory(entry)) << entry;
      EXPECT_EQ(readFile(entry + "/interfacePath"),
                "/dev/qo/" + device + "\\" + name + "\\" + std::string(i.at("node")));
    }
    std::size_t props = 0;
    for (const auto& p : b.at("busProperties").items()) {
      ++props;
      const std::string bytes = readFile(dir + "/busProperties/" + p.key());
      ASSERT_EQ(bytes.size(), 4u) << p.key();
      std::uint32_t v = 0;
      for (int k = 3; k >= 0; --k)
        v = v << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(k)]);
      EXPECT_EQ(v, p.value().get<std::uint32_t>()) << device << " " << p.key();
    }
    EXPECT_EQ(props, 7u);
  }
  // The routing interface is offered by two boards.
  EXPECT_TRUE(
      fs::exists("/proc/driver/qo/qovorlix1/deviceInterfaces/routing_routing\\0\\0/interfacePath"));
  EXPECT_TRUE(
      fs::exists("/proc/driver/qo/qovorlix4/deviceInterfaces/routing_routing\\0\\0/interfacePath"));
  EXPECT_FALSE(fs::exists("/proc/driver/qo/qovorlix0/deviceInterfaces/routing_routing\\0\\0"));
}

TEST(QosimProcTree, RawBusPropertiesAreWrittenAsGiven) {
  qosim::BoardSet set;
  auto& b = set.add();
  b.withInterface(qodrv::vorlixtarrow::kInterfaceName).withRawBusProperty("odd", {1, 2, 3});
  b.withBusProperty("pciBusNumber", 0x01020304);
  qosim::Status st = set.plug();
  ASSERT_TRUE(st.ok()) << st;
  EXPECT_EQ(readFile(b.procDir() + "/busProperties/odd"), std::string("\x01\x02\x03", 3));
  EXPECT_EQ(readFile(b.procDir() + "/busProperties/pciBusNumber"),
            std::string("\x04\x03\x02\x01", 4));
}

TEST(QosimDevNodes, EveryInterfacePathOpensReadWrite) {
  std::size_t nodes = 0;
  for (const auto& e : fs::directory_iterator("/dev/qo")) {
    ++nodes;
    int fd = ::open(e.path().c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0) << e.path() << ": " << std::strerror(errno);
    if (fd >= 0) ::close(fd);
  }
  EXPECT_EQ(nodes, 7u);
  for (const auto& d : fs::directory_iterator("/proc/driver/qo"))
    if (d.path().filename().string()[0] != '.')
      for (const auto& i : fs::directory_iterator(d.path() / "deviceInterfaces")) {
        const std::string path = readFile((i.path() / "interfacePath").string());
        EXPECT_TRUE(fs::exists(path)) << path;
        EXPECT_TRUE(fs::is_regular_file(path)) << path;  // the FUSE node behind the /dev/qo entry
      }
}

TEST(QosimDevNodes, WrittenBytesAreReadBackAndLogged) {
  qosim::BoardSet set;
  auto& b = set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  ASSERT_TRUE(set.client().clearLog().ok());
  int fd = ::open(b.nodePath(qodrv::vorlixtarrow::kInterfaceName).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const char text[] = "simulated";
  ASSERT_EQ(::pwrite(fd, text, sizeof text, 100), static_cast<ssize_t>(sizeof text));
  char back[sizeof text] = {};
  // A second descriptor, so the bytes come from the node and not from this file position.
  int fd2 = ::open(b.nodePath(qodrv::vorlixtarrow::kInterfaceName).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd2, 0);
  ASSERT_EQ(::pread(fd2, back, sizeof back, 100), static_cast<ssize_t>(sizeof back));
  EXPECT_STREQ(back, text);
  ::close(fd2);
  ::close(fd);
  auto log = set.client().readLog();
  ASSERT_TRUE(log.ok()) << log.error;
  bool sawWrite = false;
  for (const auto& e : log.value)
    if (e.op == "write" && e.offset == 100 && e.input == qosim::Bytes(text, text + sizeof text) &&
        e.node == b.nodeName(qodrv::vorlixtarrow::kInterfaceName))
      sawWrite = true;
  EXPECT_TRUE(sawWrite);
}

TEST(QosimStandardDev, CommonNodesStillWorkUnderTheSimulatedDev) {
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  EXPECT_EQ(::write(null, "x", 1), 1);
  ::close(null);
  int urandom = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(urandom, 0);
  char buf[16];
  EXPECT_EQ(::read(urandom, buf, sizeof buf), static_cast<ssize_t>(sizeof buf));
  ::close(urandom);
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0) << std::strerror(errno);
  EXPECT_EQ(::grantpt(master), 0);
  EXPECT_EQ(::unlockpt(master), 0);
  const char* slave = ::ptsname(master);
  ASSERT_NE(slave, nullptr);
  int s = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(s, 0) << slave << ": " << std::strerror(errno);
  if (s >= 0) ::close(s);
  ::close(master);
  EXPECT_TRUE(fs::is_symlink("/dev/fd"));
  EXPECT_TRUE(fs::exists("/dev/fuse"));  // a nested simulated machine needs it
}

}  // namespace
