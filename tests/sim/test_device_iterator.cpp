// The /proc interface iterator against the simulated machine's /proc/driver tree. Every test
// builds the exact entries it needs under /proc/driver/qo (devices named after this process,
// removed afterwards), so the machine's own boards never change the results.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "qoapal/status/tStatus.h"
#include "tests/sim/InsideMachine.h"
#include "tests/common/PlatformNames.h"

namespace fs = std::filesystem;
using apal::tDeviceInterfaceIterator;
using apal::tStatus;

namespace {

void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
  ASSERT_TRUE(out.good()) << path;
}

class DeviceInterfaceTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simcheck::insideMachine({"/proc/driver"}));
    std::error_code ignored;
    fs::create_directories(apal::driver::kProcRoot, ignored);
    prefix_ = "qotest" + std::to_string(::getpid()) + "_";
    interface_ = "qotestif" + std::to_string(::getpid());
  }

  void TearDown() override {
    for (const fs::path& device : created_) {
      std::error_code ignored;
      fs::remove_all(device, ignored);
    }
  }

  std::string device(const std::string& name) const { return prefix_ + name; }

  fs::path deviceDir(const std::string& name) {
    const fs::path dir = fs::path(apal::driver::kProcRoot) / device(name);
    if (!fs::exists(dir)) created_.push_back(dir);
    fs::create_directories(dir / apal::driver::kDeviceInterfacesDir);
    fs::create_directories(dir / apal::driver::kBusPropertiesDir);
    return dir;
  }

  // deviceInterfaces/<entry> directory with an interfacePath file (when given).
  fs::path entry(const std::string& deviceName, const std::string& entryName,
                 const std::string* interfacePath = nullptr) {
    const fs::path dir = deviceDir(deviceName) / apal::driver::kDeviceInterfacesDir / entryName;
    fs::create_directories(dir);
    if (interfacePath != nullptr) writeFile(dir / apal::driver::kInterfacePathFile, *interfacePath);
    return dir;
  }

  fs::path entry(const std::string& deviceName, const std::string& entryName,
                 const std::string& interfacePath) {
    return entry(deviceName, entryName, &interfacePath);
  }

  std::vector<std::string> deviceNames(tDeviceInterfaceIterator& iterator, tStatus& status) {
    std::vector<std::string> names;
    for (; !iterator.isEnd(); iterator.next()) {
      std::string name;
      iterator.getDeviceName(name, &status);
      names.push_back(name);
    }
    return names;
  }

  std::string prefix_;
  std::string interface_;
  std::vector<fs::path> created_;
};

}  // namespace

TEST_F(DeviceInterfaceTree, UnknownInterfaceIsAtItsEndWithStatusUnchanged) {
  entry("a", interface_ + "\\0\\0", "/dev/qo/x");
  tStatus status;
  tDeviceInterfaceIterator iterator((interface_ + "_absent").c_str(), &status);
  EXPECT_TRUE(iterator.isEnd());
  EXPECT_EQ(status.code, 0);
  EXPECT_STREQ(status.file, "");
}

TEST_F(DeviceInterfaceTree, FindsTheInterfaceOnEveryDeviceInOrder) {
  entry("c", interface_ + "\\0\\0", "/dev/qo/c");
  entry("a", interface_ + "\\0\\0", "/dev/qo/a");
  entry("b", interface_ + "\\1\\7", "/dev/qo/b");
  // Not this interface: a longer name, no backslash after the name, another interface.
  entry("d", interface_ + "x\\0\\0", "/dev/qo/d");
  entry("e", interface_, "/dev/qo/e");
  entry("f", "routing_routing\\0\\0", "/dev/qo/f");
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  EXPECT_EQ(deviceNames(iterator, status),
            (std::vector<std::string>{device("a"), device("b"), device("c")}));
  EXPECT_EQ(status.code, 0);
}

TEST_F(DeviceInterfaceTree, OneDeviceConstructorStaysOnThatDevice) {
  entry("a", interface_ + "\\0\\0", "/dev/qo/a0");
  entry("a", interface_ + "\\1\\0", "/dev/qo/a1");
  entry("b", interface_ + "\\0\\0", "/dev/qo/b0");
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), device("a").c_str(), &status);
  std::vector<std::string> paths;
  char buffer[tDeviceInterfaceIterator::kInterfacePathSize];
  for (; !iterator.isEnd(); iterator.next()) {
    ASSERT_GT(iterator.readInterfacePath(buffer, &status), 0u);
    paths.emplace_back(buffer);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/qo/a0", "/dev/qo/a1"}));
  EXPECT_EQ(status.code, 0);
}

TEST_F(DeviceInterfaceTree, MainInterfaceOnOneDevice) {
  entry("main", std::string(apal::driver::kMainInterface) + "\\0\\0", "/dev/qo/main");
  tStatus status;
  tDeviceInterfaceIterator iterator(apal::driver::kMainInterface, device("main").c_str(), &status);
  ASSERT_FALSE(iterator.isEnd());
  std::string name;
  iterator.getDeviceName(name, &status);
  EXPECT_EQ(name, device("main"));
  iterator.next();
  EXPECT_TRUE(iterator.isEnd());
  EXPECT_EQ(status.code, 0);
}

TEST_F(DeviceInterfaceTree, NonDirectoryMatchesAreIgnored) {
  deviceDir("file");
  writeFile(fs::path(apal::driver::kProcRoot) / device("file") / "deviceInterfaces" /
                (interface_ + "\\0\\0"),
            "a file, not an entry");
  entry("dir", interface_ + "\\0\\0", "/dev/qo/dir");
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  EXPECT_EQ(deviceNames(iterator, status), (std::vector<std::string>{device("dir")}));

  tDeviceInterfaceIterator onlyFile(interface_.c_str(), device("file").c_str(), &status);
  EXPECT_TRUE(onlyFile.isEnd());
  EXPECT_EQ(status.code, 0);
}

TEST_F(DeviceInterfaceTree, MatcherCharactersInNamesDoNotWidenTheMatch) {
  entry("1", interface_ + "\\0\\0", "/dev/qo/one");
  entry("[1]", interface_ + "\\0\\0", "/dev/qo/bracket");
  tStatus status;
  // Unescaped, "[1]" would be a character class matching the device "...1".
  tDeviceInterfaceIterator bracket(interface_.c_str(), device("[1]").c_str(), &status);
  EXPECT_EQ(deviceNames(bracket, status), (std::vector<std::string>{device("[1]")}));
  tDeviceInterfaceIterator star(interface_.c_str(), "*", &status);
  EXPECT_TRUE(star.isEnd());
  tDeviceInterfaceIterator question(interface_.c_str(), device("?").c_str(), &status);
  EXPECT_TRUE(question.isEnd());
  // The interface name is literal as well.
  const std::string wildcardInterface = interface_.substr(0, 4) + "*";
  tDeviceInterfaceIterator wide(wildcardInterface.c_str(), &status);
  EXPECT_TRUE(wide.isEnd());
  EXPECT_EQ(status.code, 0);

  tStatus escape;
  tDeviceInterfaceIterator parent(interface_.c_str(), "..", &escape);
  EXPECT_TRUE(parent.isEnd());
  EXPECT_EQ(escape.code, Codes::kInvalidParameter);
}

TEST_F(DeviceInterfaceTree, InterfacePathOf255BytesIsAcceptedAnd256Refused) {
  const std::string longest(255, 'p');
  entry("a", interface_ + "\\0\\0", longest);
  entry("b", interface_ + "\\0\\0", longest + "p");
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  char buffer[tDeviceInterfaceIterator::kInterfacePathSize];
  ASSERT_FALSE(iterator.isEnd());
  EXPECT_EQ(iterator.readInterfacePath(buffer, &status), 256u);
  EXPECT_EQ(std::string(buffer), longest);
  EXPECT_EQ(status.code, 0);

  iterator.next();
  ASSERT_FALSE(iterator.isEnd());
  std::memset(buffer, 'Z', sizeof buffer);
  EXPECT_EQ(iterator.readInterfacePath(buffer, &status), 0u);
  EXPECT_EQ(status.code, Codes::kBufferTooSmall);
  EXPECT_EQ(buffer[0], 'Z');  // nothing copied
}

TEST_F(DeviceInterfaceTree, InterfacePathEmptyFileAndMissingFile) {
  entry("a", interface_ + "\\0\\0", std::string());
  entry("b", interface_ + "\\0\\0");  // no interfacePath
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  char buffer[tDeviceInterfaceIterator::kInterfacePathSize];
  EXPECT_EQ(iterator.readInterfacePath(buffer, &status), 1u);
  EXPECT_STREQ(buffer, "");
  iterator.next();
  EXPECT_EQ(iterator.readInterfacePath(buffer, &status), 0u);
  EXPECT_EQ(status.code, Codes::kNotFound);
  EXPECT_STREQ(status.file, "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper");
}

TEST_F(DeviceInterfaceTree, BusPropertyCapacityFourCopiesCapacityTwoRefusesButReportsSize) {
  entry("a", interface_ + "\\0\\0", "/dev/qo/a");
  writeFile(deviceDir("a") / "busProperties" / "pciBusNumber", std::string("\x2A\x00\x00\x00", 4));
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  std::uint32_t bus = 0;
  std::size_t size = 0;
  iterator.readBusProperty("pciBusNumber", &bus, sizeof bus, &size, &status);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(bus, 42u);

  unsigned char small[2] = {0xEE, 0xEE};
  size = 0;
  iterator.readBusProperty("pciBusNumber", small, sizeof small, &size, &status);
  EXPECT_EQ(status.code, Codes::kBufferTooSmall);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(small[0], 0xEE);
  EXPECT_EQ(small[1], 0xEE);

  tStatus noDestination;
  size = 0;
  iterator.readBusProperty("pciBusNumber", nullptr, 4, &size, &noDestination);
  EXPECT_EQ(noDestination.code, Codes::kBufferTooSmall);
  EXPECT_EQ(size, 4u);
}

TEST_F(DeviceInterfaceTree, DeviceFilesAreReadFromTheEntrysDevice) {
  entry("a", interface_ + "\\0\\0", "/dev/qo/a");
  entry("b", interface_ + "\\0\\0", "/dev/qo/b");
  writeFile(deviceDir("a") / "busProperties" / "pcieLinkWidth", std::string("\x04\0\0\0", 4));
  writeFile(deviceDir("b") / "busProperties" / "pcieLinkWidth", std::string("\x08\0\0\0", 4));
  fs::create_directories(deviceDir("b") / "otherGroup");
  writeFile(deviceDir("b") / "otherGroup" / "value", "xyz");
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  std::uint32_t width = 0;
  iterator.readBusProperty("pcieLinkWidth", &width, sizeof width, nullptr, &status);
  EXPECT_EQ(width, 4u);
  iterator.next();
  iterator.readBusProperty("pcieLinkWidth", &width, sizeof width, nullptr, &status);
  EXPECT_EQ(width, 8u);
  char text[8] = {};
  std::size_t size = 0;
  iterator.readDeviceFile("otherGroup", "value", text, sizeof text, &size, &status);
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(text, "xyz");
  EXPECT_EQ(status.code, 0);

  tStatus missing;
  iterator.readBusProperty("pcieMaxLinkWidth", &width, sizeof width, &size, &missing);
  EXPECT_EQ(missing.code, Codes::kNotFound);

  tStatus traversal;
  iterator.readDeviceFile("..", "x", text, sizeof text, &size, &traversal);
  EXPECT_EQ(traversal.code, Codes::kInvalidParameter);

  iterator.next();
  ASSERT_TRUE(iterator.isEnd());
  tStatus atEnd;
  iterator.readBusProperty("pcieLinkWidth", &width, sizeof width, &size, &atEnd);
  EXPECT_EQ(atEnd.code, Codes::kNotFound);
}

TEST_F(DeviceInterfaceTree, OverLongFilesAreReadUpTo4096Bytes) {
  std::string big(5000, 'b');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  entry("a", interface_ + "\\0\\0", big);
  writeFile(deviceDir("a") / "busProperties" / "blob", big);
  tStatus status;
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  std::vector<char> destination(8192, '\0');
  std::size_t size = 0;
  iterator.readBusProperty("blob", destination.data(), destination.size(), &size, &status);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(size, 4096u);
  EXPECT_EQ(std::string(destination.data(), 4096), big.substr(0, 4096));
  EXPECT_EQ(destination[4096], '\0');

  char buffer[tDeviceInterfaceIterator::kInterfacePathSize];
  EXPECT_EQ(iterator.readInterfacePath(buffer, &status), 0u);
  EXPECT_EQ(status.code, Codes::kBufferTooSmall);
}

TEST_F(DeviceInterfaceTree, StatusInErrorFindsNothing) {
  entry("a", interface_ + "\\0\\0", "/dev/qo/a");
  tStatus status;
  status.setCode(Codes::kIoError, "c", "earlier", 4);
  tDeviceInterfaceIterator iterator(interface_.c_str(), &status);
  EXPECT_TRUE(iterator.isEnd());
  EXPECT_EQ(status.code, Codes::kIoError);
  EXPECT_STREQ(status.file, "earlier");
}
