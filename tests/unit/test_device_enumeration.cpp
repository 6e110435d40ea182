// The /proc interface iterator's machine-independent parts: match patterns (escaping, refused
// names, the 4096-byte limit), entry-name splitting, device names from entry paths, and the
// "status in error does nothing" rule. Walking a real tree is tested in tests/sim.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper.h"
#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/PlatformNames.h"

namespace helper = apal::linuxDevEnumHelper;
using apal::tDeviceInterfaceIterator;
using apal::tStatus;

namespace {

std::string pattern(const char* device, const char* interfaceName, tStatus& status) {
  char buffer[helper::kPatternSize];
  std::memset(buffer, 'x', sizeof buffer);
  if (!helper::buildMatchPattern(buffer, sizeof buffer, device, interfaceName, &status)) {
    EXPECT_EQ(buffer[0], '\0');
    return "<refused>";
  }
  return buffer;
}

}  // namespace

TEST(MatchPattern, AllDevicesAndOneDevice) {
  tStatus status;
  // The pattern's "\\*" is a literal backslash followed by the wildcard.
  EXPECT_EQ(pattern(nullptr, qodrv::routing::kInterfaceName, status),
            "/proc/driver/qo/*/deviceInterfaces/routing_routing\\\\*");
  EXPECT_EQ(pattern("KEL3", qodrv::vorlixtarrow::kInterfaceName, status),
            "/proc/driver/qo/KEL3/deviceInterfaces/qovorlixtarrowk_vorlixtarrow\\\\*");
  EXPECT_EQ(status.code, 0);
}

TEST(MatchPattern, MatcherCharactersInNamesAreEscaped) {
  tStatus status;
  EXPECT_EQ(pattern("dev[1]", "a*b?c", status),
            "/proc/driver/qo/dev\\[1\\]/deviceInterfaces/a\\*b\\?c\\\\*");
  EXPECT_EQ(pattern("*", "x\\y", status), "/proc/driver/qo/\\*/deviceInterfaces/x\\\\y\\\\*");
  EXPECT_EQ(status.code, 0);
}

TEST(MatchPattern, NamesThatAreNotOneEntryAreRefused) {
  const char* badDevices[] = {"", ".", "..", "a/b", "/"};
  for (const char* device : badDevices) {
    tStatus status;
    EXPECT_EQ(pattern(device, qodrv::routing::kInterfaceName, status), "<refused>") << device;
    EXPECT_EQ(status.code, Codes::kInvalidParameter) << device;
    EXPECT_STREQ(status.file, "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper");
  }
  const char* badInterfaces[] = {nullptr, "", "../x", "a/b"};
  for (const char* name : badInterfaces) {
    tStatus status;
    EXPECT_EQ(pattern(nullptr, name, status), "<refused>");
    EXPECT_EQ(status.code, Codes::kInvalidParameter);
  }
  // Dots inside an interface entry name are literal text.
  tStatus status;
  EXPECT_EQ(pattern(nullptr, "..", status), "/proc/driver/qo/*/deviceInterfaces/..\\\\*");
}

TEST(MatchPattern, PatternThatDoesNotFitIsRefusedNotCut) {
  // "/proc/driver/qo/*/deviceInterfaces/" is 35 characters, the tail "\\*" 3, the NUL 1.
  constexpr std::size_t kFixed = 35 + 3 + 1;
  const std::string fits(helper::kPatternSize - kFixed, 'n');
  tStatus status;
  const std::string built = pattern(nullptr, fits.c_str(), status);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(built.size(), helper::kPatternSize - 1);

  const std::string tooLong = fits + "n";
  tStatus refused;
  EXPECT_EQ(pattern(nullptr, tooLong.c_str(), refused), "<refused>");
  EXPECT_EQ(refused.code, Codes::kInvalidParameter);

  // An escaped character needs two bytes: one escape too many no longer fits.
  std::string escaped(helper::kPatternSize - kFixed - 1, 'n');
  escaped += '*';
  tStatus escapedStatus;
  EXPECT_EQ(pattern(nullptr, escaped.c_str(), escapedStatus), "<refused>");
  EXPECT_EQ(escapedStatus.code, Codes::kInvalidParameter);

  const std::string hugeDevice(10000, 'd');
  tStatus deviceStatus;
  EXPECT_EQ(pattern(hugeDevice.c_str(), qodrv::routing::kInterfaceName, deviceStatus), "<refused>");
  EXPECT_EQ(deviceStatus.code, Codes::kInvalidParameter);
}

TEST(InterfaceIteratorConstruction, OverLongNameGivesInvalidParameterAndAnEmptyIterator) {
  const std::string tooLong(5000, 'i');
  tStatus status;
  tDeviceInterfaceIterator iterator(tooLong.c_str(), &status);
  EXPECT_TRUE(iterator.isEnd());
  EXPECT_EQ(iterator.entryPath(), nullptr);
  EXPECT_EQ(status.code, Codes::kInvalidParameter);

  tStatus nullDevice;
  tDeviceInterfaceIterator oneDevice(qodrv::routing::kInterfaceName, nullptr, &nullDevice);
  EXPECT_TRUE(oneDevice.isEnd());
  EXPECT_EQ(nullDevice.code, Codes::kInvalidParameter);
  EXPECT_STREQ(nullDevice.file, "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator");
}

TEST(InterfaceIteratorConstruction, UnknownInterfaceIsAtItsEndWithStatusUnchanged) {
  tStatus status;
  tDeviceInterfaceIterator iterator("qo_unit_test_interface_nobody_offers", &status);
  EXPECT_TRUE(iterator.isEnd());
  iterator.next();  // harmless at the end
  EXPECT_TRUE(iterator.isEnd());
  EXPECT_EQ(status.code, 0);
  EXPECT_STREQ(status.file, "");
}

TEST(InterfaceIteratorAtEnd, ReadsReportNotFoundAndCopyNothing) {
  tStatus status;
  tDeviceInterfaceIterator iterator("qo_unit_test_interface_nobody_offers", &status);
  ASSERT_TRUE(iterator.isEnd());

  char path[tDeviceInterfaceIterator::kInterfacePathSize];
  std::memset(path, 'Z', sizeof path);
  EXPECT_EQ(iterator.readInterfacePath(path, &status), 0u);
  EXPECT_EQ(status.code, Codes::kNotFound);
  EXPECT_EQ(path[0], 'Z');

  tStatus fileStatus;
  unsigned char value[4] = {1, 2, 3, 4};
  std::size_t size = 99;
  iterator.readBusProperty("pciBusNumber", value, sizeof value, &size, &fileStatus);
  EXPECT_EQ(fileStatus.code, Codes::kNotFound);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(value[0], 1);

  tStatus nameStatus;
  std::string name = "stale";
  iterator.getDeviceName(name, &nameStatus);
  EXPECT_EQ(nameStatus.code, Codes::kNotFound);
  EXPECT_EQ(name, "");
}

TEST(InterfaceIteratorStatusInError, DoesNothing) {
  tStatus status;
  status.setCode(Codes::kTimedOut, "c", "earlier/origin", 3);
  tDeviceInterfaceIterator iterator(qodrv::routing::kInterfaceName, &status);
  EXPECT_TRUE(iterator.isEnd());

  char path[tDeviceInterfaceIterator::kInterfacePathSize] = "untouched";
  EXPECT_EQ(iterator.readInterfacePath(path, &status), 0u);
  EXPECT_STREQ(path, "untouched");
  std::size_t size = 77;
  iterator.readDeviceFile("busProperties", "pciBusNumber", nullptr, 0, &size, &status);
  EXPECT_EQ(size, 77u);
  std::string name = "kept";
  iterator.getDeviceName(name, &status);
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(status.code, Codes::kTimedOut);
  EXPECT_STREQ(status.file, "earlier/origin");
  EXPECT_EQ(status.line, 3u);

  tDeviceInterfaceIterator withoutStatus(qodrv::routing::kInterfaceName, nullptr);
  EXPECT_TRUE(withoutStatus.isEnd());
}

namespace {

// What splitEntryName makes of a copy of `entry`: "device|interface|rest" (the device part where
// the name starts, the rest after the interface part's end), or "unsplit: <name>" when both parts
// are null, with the name as it then stands.
std::string splitOf(const char* entry) {
  std::vector<char> name(entry, entry + std::strlen(entry) + 1);
  const auto [first, second] = tDeviceInterfaceIterator::splitEntryName(name.data());
  if (first == nullptr && second == nullptr) return std::string("unsplit: ") + name.data();
  if (first == nullptr || second == nullptr) return "one part null";
  if (first != name.data()) return "device part not at the start";
  return std::string(first) + "|" + second + "|" + (second + std::strlen(second) + 1);
}

}  // namespace

TEST(EntryNameSplitting, SplitsAtFirstTwoBackslashes) {
  EXPECT_EQ(splitOf("KEL0\\qovorlixtarrowk_vorlixtarrow\\0\\extra"),
            "KEL0|qovorlixtarrowk_vorlixtarrow|0\\extra");
}

TEST(EntryNameSplitting, EmptyFieldsAreKept) { EXPECT_EQ(splitOf("\\\\"), "||"); }

TEST(EntryNameSplitting, MissingBackslashGivesNullsAndLeavesTheName) {
  EXPECT_EQ(splitOf("KEL0\\routing_routing"), "unsplit: KEL0\\routing_routing");
  EXPECT_EQ(splitOf("plain"), "unsplit: plain");

  auto [e, f] = tDeviceInterfaceIterator::splitEntryName(nullptr);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(f, nullptr);
}

TEST(DeviceNameFromEntryPath, CutsRootAndMarker) {
  struct Case {
    const char* path;
    const char* device;
  } cases[] = {
      {"/proc/driver/qo/KEL0/deviceInterfaces/routing_routing\\0\\0", "KEL0"},
      {"/proc/driver/qo/a/deviceInterfaces/b/deviceInterfaces/c", "a"},  // first marker
      {"/proc/driver/qo/KEL7", "KEL7"},                                  // no marker
      {"/elsewhere/KEL1/deviceInterfaces/x", "/elsewhere/KEL1"},         // root kept
      {"/proc/driver/qo/", ""},
      {"/proc/driver/qo", "/proc/driver/qo"},  // 15 characters: not the root prefix
      {"", ""},
  };
  for (const Case& c : cases) {
    tStatus status;
    std::string out = "previous";
    helper::deviceNameFromEntryPath(c.path, out, &status);
    EXPECT_EQ(out, c.device) << c.path;
    EXPECT_EQ(status.code, 0);
  }
  tStatus status;
  std::string out = "previous";
  helper::deviceNameFromEntryPath(nullptr, out, &status);
  EXPECT_EQ(out, "");
}

TEST(PlainEntryNames, RefusesWhatCouldLeaveTheDirectory) {
  EXPECT_TRUE(helper::isPlainEntryName("busProperties"));
  EXPECT_TRUE(helper::isPlainEntryName("..."));
  EXPECT_TRUE(helper::isPlainEntryName(".hidden"));
  EXPECT_FALSE(helper::isPlainEntryName(nullptr));
  EXPECT_FALSE(helper::isPlainEntryName(""));
  EXPECT_FALSE(helper::isPlainEntryName("."));
  EXPECT_FALSE(helper::isPlainEntryName(".."));
  EXPECT_FALSE(helper::isPlainEntryName("a/b"));
}

TEST(SmallFileReads, MissingFileIsNotFoundAfterRetries) {
  tStatus status;
  char buffer[helper::kMaxFileRead];
  EXPECT_EQ(helper::readSmallFile("/nonexistent-qo-unit/file", buffer, &status), -1);
  EXPECT_EQ(status.code, Codes::kNotFound);
  EXPECT_STREQ(status.file, "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper");
}

TEST(SmallFileReads, ReadErrorIsIoError) {
  // A directory opens read-only but cannot be read.
  tStatus status;
  char buffer[helper::kMaxFileRead];
  EXPECT_EQ(helper::readSmallFile("/", buffer, &status), -1);
  EXPECT_EQ(status.code, Codes::kIoError);
}
