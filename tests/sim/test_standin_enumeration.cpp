// The device-enumeration stand-in inside a simulated machine, reached the way the device
// expert reaches the platform library: loaded by its name through the library's lazy loader.
// It lists what the simulated driver publishes, follows boards plugged and unplugged, and
// answers the failures injected for one board or for the whole machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "QosimClient.h"
#include "qoapal/status/tStatus.h"
#include "source/platform/PlatformLibraries.h"
#include "tests/common/ProcessThreads.h"
#include "tests/common/StatusText.h"
#include "tests/common/PlatformNames.h"

namespace {

using testsupport::statusText;

using qokeldevenum::iKelAttributeReader;
using qokeldevenum::iKelDevice;
using qokeldevenum::iKelDeviceList;
using qokeldevenum::iKelSession;
using VorlixSysapiExpert::enumerationLibrary;
using VorlixSysapiExpert::platformStatus;

constexpr std::uint32_t kDeviceNumber = 1;
constexpr std::uint32_t kProductId = 2;
constexpr std::uint32_t kSerial = 4;
constexpr std::uint32_t kDescription = 5;

// An attribute read through a session and reader, released again (reader first).
struct Read {
  std::uint32_t value = 0;
  std::int64_t code = 0;
};
Read readAttribute(iKelDevice* device, std::uint32_t attribute) {
  apal::tStatus status;
  Read r;
  iKelSession* session = device->openSession(0, platformStatus(&status));
  iKelAttributeReader* reader =
      session != nullptr ? session->getAttributeReader(0, platformStatus(&status)) : nullptr;
  if (reader != nullptr) r.value = reader->readU32(attribute, platformStatus(&status));
  if (reader != nullptr) reader->release();
  if (session != nullptr) session->release();
  r.code = status.code;
  return r;
}

class StandinEnumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(enumerationLibrary().initialize(), 0);
    ASSERT_EQ(enumerationLibrary().getAllKelDevices(list_), 0);
    ASSERT_NE(list_, nullptr);
    refresh();
  }
  void TearDown() override {
    if (list_ != nullptr) list_->release();
    EXPECT_EQ(enumerationLibrary().finalize(), 0);
    auto client = qosim::Client::connect();
    if (client.ok()) {
      for (const char* op : {"initialize", "getAllKelDevices", "hasChanged", "refresh"})
        client.value.enumFault("", op, std::nullopt);
    }
  }

  void refresh() {
    apal::tStatus status;
    list_->refresh(platformStatus(&status));
    ASSERT_EQ(status.code, 0) << statusText(status);
  }
  bool hasChanged() {
    apal::tStatus status;
    const bool changed = list_->hasChanged(platformStatus(&status));
    EXPECT_EQ(status.code, 0) << statusText(status);
    return changed;
  }
  iKelDevice* deviceAt(std::uint32_t i) {
    apal::tStatus status;
    iKelDevice* device = list_->deviceAt(i, 0, platformStatus(&status));
    EXPECT_EQ(status.code, 0) << statusText(status);
    return device;
  }
  // Device numbers of the list, in list order.
  std::vector<std::uint32_t> numbers() {
    std::vector<std::uint32_t> result;
    for (std::uint32_t i = 0; i < list_->count(); ++i) {
      const Read r = readAttribute(deviceAt(i), kDeviceNumber);
      EXPECT_EQ(r.code, 0) << "index " << i;
      result.push_back(r.value);
    }
    return result;
  }
  // The device object of device number n, or null.
  iKelDevice* byNumber(std::uint32_t n) {
    for (std::uint32_t i = 0; i < list_->count(); ++i) {
      iKelDevice* device = deviceAt(i);
      if (device != nullptr && readAttribute(device, kDeviceNumber).value == n) return device;
    }
    return nullptr;
  }
  static std::uint32_t numberOf(const qosim::BoardDesc& board) {
    return static_cast<std::uint32_t>(std::stoul(board.device.substr(8)));  // "qovorlix<n>"
  }

  iKelDeviceList* list_ = nullptr;
};

// ---- the boards of the machine ---------------------------------------------------------------

TEST_F(StandinEnumeration, ListsEveryPublishedBoardInDeviceNumberOrder) {
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok()) << client.error;
  const auto devices = client.value.listDevices();
  ASSERT_TRUE(devices.ok()) << devices.error;
  const std::vector<std::uint32_t> listed = numbers();
  EXPECT_EQ(listed.size(), devices.value.size());
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_FALSE(hasChanged()) << "nothing changed since the refresh";
}

TEST_F(StandinEnumeration, AttributesNamesAndTheDescriptionAreTheBoards) {
  qosim::BoardSet set;
  auto& board = set.add().withDefaults().withProduct(0x7B14).withSerial(0x0BADCAFE);
  board.withField("primaryName", "Bench slot 7").withField("description", "QO PXIe-VX214 (KU060)");
  ASSERT_TRUE(set.plug().ok());
  refresh();
  iKelDevice* device = byNumber(numberOf(board));
  ASSERT_NE(device, nullptr);
  EXPECT_STREQ(device->getPrimaryName(), "Bench slot 7");
  EXPECT_STREQ(device->getSecondaryName(), board.device.c_str());
  EXPECT_EQ(readAttribute(device, kProductId).value, 0x7B14u);
  EXPECT_EQ(readAttribute(device, kSerial).value, 0x0BADCAFEu);

  apal::tStatus status;
  iKelSession* session = device->openSession(0, platformStatus(&status));
  ASSERT_NE(session, nullptr) << statusText(status);
  iKelAttributeReader* reader = session->getAttributeReader(0, platformStatus(&status));
  ASSERT_NE(reader, nullptr) << statusText(status);
  char text[256];
  EXPECT_EQ(reader->readString(kDescription, text, sizeof text, platformStatus(&status)), 21u);
  EXPECT_STREQ(text, "QO PXIe-VX214 (KU060)");
  EXPECT_EQ(status.code, 0) << statusText(status);
  // A text longer than the buffer is cut and reported.
  char small[8];
  EXPECT_EQ(reader->readString(kDescription, small, sizeof small, platformStatus(&status)), 7u);
  EXPECT_STREQ(small, "QO PXIe");
  EXPECT_EQ(status.code, -52019);
  // An attribute the board does not publish is not found.
  apal::tStatus missing;
  EXPECT_EQ(reader->readU32(999, platformStatus(&missing)), 0u);
  EXPECT_EQ(missing.code, -52006);
  EXPECT_STREQ(missing.component, "qokeldeve");
  reader->release();
  session->release();
}

// ---- hotplug --------------------------------------------------------------------------------

TEST_F(StandinEnumeration, FollowsBoardsPluggedAndUnplugged) {
  const std::vector<std::uint32_t> before = numbers();
  std::vector<iKelDevice*> objectsBefore;
  for (std::uint32_t i = 0; i < list_->count(); ++i) objectsBefore.push_back(deviceAt(i));
  EXPECT_FALSE(hasChanged());

  qosim::BoardSet set;
  auto& board = set.add().withDefaults().withField("primaryName", "Hotplugged");
  ASSERT_TRUE(set.plug().ok());
  const std::uint32_t number = numberOf(board);
  EXPECT_TRUE(hasChanged());
  EXPECT_EQ(list_->count(), before.size()) << "the list changes only at a refresh";
  refresh();
  EXPECT_FALSE(hasChanged());
  const std::vector<std::uint32_t> plugged = numbers();
  ASSERT_EQ(plugged.size(), before.size() + 1);
  EXPECT_NE(std::find(plugged.begin(), plugged.end(), number), plugged.end());
  // The boards that stayed keep their device objects.
  for (iKelDevice* device : objectsBefore) {
    bool kept = false;
    for (std::uint32_t i = 0; i < list_->count(); ++i) kept = kept || deviceAt(i) == device;
    EXPECT_TRUE(kept);
  }
  iKelDevice* gone = byNumber(number);
  ASSERT_NE(gone, nullptr);

  ASSERT_TRUE(set.unplug().ok());
  EXPECT_TRUE(hasChanged());
  refresh();
  EXPECT_EQ(numbers(), before);
  // The object of the unplugged board stays valid until the list is released; the board
  // itself is gone.
  EXPECT_STREQ(gone->getPrimaryName(), "Hotplugged");
  apal::tStatus status;
  EXPECT_EQ(gone->openSession(0, platformStatus(&status)), nullptr);
  EXPECT_EQ(status.code, -52006) << statusText(status);
}

TEST_F(StandinEnumeration, ABoardPluggedAgainIsANewDeviceObject) {
  qosim::BoardSet first;
  auto& board = first.add().withDefaults();
  ASSERT_TRUE(first.plug().ok());
  const std::string device = board.device;
  refresh();
  iKelDevice* old = byNumber(numberOf(board));
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(first.unplug().ok());

  qosim::BoardSet again;
  again.add(device).withDefaults().withField("primaryName", "Second life");
  ASSERT_TRUE(again.plug().ok());
  ASSERT_EQ(again.board(0).device, device);
  refresh();
  iKelDevice* fresh = byNumber(numberOf(again.board(0)));
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old);
  EXPECT_STREQ(fresh->getPrimaryName(), "Second life");
}

// A list that is not refreshed after an unplug (nothing asks it, or its last refresh read the
// generation before the unplug had ended) still holds the gone board; its descriptor is closed
// by whatever notices the board gone first: a read through the list's object, a read through a
// reader kept from before, or the refresh of another list of the process, also of a list that
// never saw the board.
TEST_F(StandinEnumeration, ABoardGoneIsClosedInEveryListByWhateverNoticesItFirst) {
  enum class Notice {
    ReadThroughTheList,
    ReadThroughAKeptReader,
    AnotherListsRefresh,
    ANewListsFirstRefresh
  };
  for (const Notice notice : {Notice::ReadThroughTheList, Notice::ReadThroughAKeptReader,
                              Notice::AnotherListsRefresh, Notice::ANewListsFirstRefresh}) {
    SCOPED_TRACE(static_cast<int>(notice));
    iKelDeviceList* other = nullptr;
    ASSERT_EQ(enumerationLibrary().getAllKelDevices(other), 0);
    qosim::BoardSet set;
    auto& board = set.add().withDefaults();
    ASSERT_TRUE(set.plug().ok());
    refresh();
    apal::tStatus status;
    const bool otherSawIt = notice != Notice::ANewListsFirstRefresh;
    if (otherSawIt) other->refresh(platformStatus(&status));  // both lists hold the directory
    ASSERT_EQ(status.code, 0) << statusText(status);
    const std::size_t directories = otherSawIt ? 2 : 1;
    iKelDevice* device = byNumber(numberOf(board));
    ASSERT_NE(device, nullptr);
    iKelSession* session = device->openSession(0, platformStatus(&status));
    ASSERT_NE(session, nullptr) << statusText(status);
    iKelAttributeReader* reader = session->getAttributeReader(0, platformStatus(&status));
    ASSERT_NE(reader, nullptr) << statusText(status);
    const std::size_t held = testsupport::descriptorCount();

    ASSERT_TRUE(set.unplug().ok());
    EXPECT_EQ(testsupport::descriptorCount(), held) << "nothing has looked yet";
    switch (notice) {
      case Notice::ReadThroughTheList:
        EXPECT_EQ(readAttribute(device, kSerial).code, -52006);
        break;
      case Notice::ReadThroughAKeptReader:
        reader->readU32(kSerial, platformStatus(&status));
        EXPECT_EQ(status.code, -52006) << statusText(status);
        break;
      case Notice::AnotherListsRefresh:
      case Notice::ANewListsFirstRefresh:
        other->refresh(platformStatus(&status));
        EXPECT_EQ(status.code, 0) << statusText(status);
        break;
    }
    // A list refreshed for the first time has opened the directories of the boards it lists.
    const std::size_t opened = otherSawIt ? 0 : other->count();
    EXPECT_EQ(testsupport::descriptorCount(), held - directories + opened)
        << "one directory per list";
    // The objects stay valid and answer as a gone board; later refreshes change nothing.
    apal::tStatus again;
    reader->readU32(kSerial, platformStatus(&again));
    EXPECT_EQ(again.code, -52006) << statusText(again);
    reader->release();
    session->release();
    refresh();
    other->refresh(platformStatus(&again));
    EXPECT_EQ(testsupport::descriptorCount(), held - directories + opened);
    other->release();
  }
}

TEST_F(StandinEnumeration, AChangedNameIsReadAtTheNextRefreshAndEarlierTextsStayValid) {
  qosim::BoardSet set;
  auto& board = set.add().withDefaults().withField("primaryName", "Before");
  ASSERT_TRUE(set.plug().ok());
  refresh();
  iKelDevice* device = byNumber(numberOf(board));
  ASSERT_NE(device, nullptr);
  const char* before = device->getPrimaryName();
  ASSERT_TRUE(set.client().setBoardField(board.device, "primaryName", "After").ok());
  EXPECT_TRUE(hasChanged());
  refresh();
  EXPECT_EQ(byNumber(numberOf(board)), device) << "the same board keeps its object";
  EXPECT_STREQ(device->getPrimaryName(), "After");
  EXPECT_STREQ(before, "Before");
}

// ---- injected failures -------------------------------------------------------------------------

TEST_F(StandinEnumeration, ADeviceAtFaultFailsOnlyThatBoard) {
  qosim::BoardSet set;
  set.add().withDefaults();
  set.add().withDefaults().withEnumFault("deviceAt", -52024);
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const auto& a = set.board(0);  // (references into the set are stable only once all are added)
  const auto& b = set.board(1);
  const auto& c = set.board(2);
  refresh();
  int failures = 0;
  std::vector<std::uint32_t> reached;
  for (std::uint32_t i = 0; i < list_->count(); ++i) {
    apal::tStatus status;
    iKelDevice* device = list_->deviceAt(i, 0, platformStatus(&status));
    if (device == nullptr) {
      ++failures;
      EXPECT_EQ(status.code, -52024);
      EXPECT_STREQ(status.component, "qokeldeve");
      EXPECT_STREQ(status.file, "qokeldevenum/KelDeviceList");
      continue;
    }
    EXPECT_EQ(status.code, 0) << statusText(status);
    reached.push_back(readAttribute(device, kDeviceNumber).value);
  }
  EXPECT_EQ(failures, 1);
  auto has = [&](std::uint32_t n) {
    return std::find(reached.begin(), reached.end(), n) != reached.end();
  };
  EXPECT_TRUE(has(numberOf(a)));
  EXPECT_FALSE(has(numberOf(b)));
  EXPECT_TRUE(has(numberOf(c)));
}

TEST_F(StandinEnumeration, AFaultOfTheDeviceNumberReadDoesNotChangeTheListOrder) {
  qosim::BoardSet set;
  set.add().withDefaults().withField("primaryName", "low").withEnumFault("readU32.1", -52024);
  set.add().withDefaults().withField("primaryName", "high");
  ASSERT_TRUE(set.plug().ok());
  refresh();
  int low = -1;
  int high = -1;
  for (std::uint32_t i = 0; i < list_->count(); ++i) {
    const std::string name = deviceAt(i)->getPrimaryName();
    if (name == "low") low = static_cast<int>(i);
    if (name == "high") high = static_cast<int>(i);
  }
  ASSERT_GE(low, 0);
  EXPECT_EQ(high, low + 1) << "ordered by the published device number";
  EXPECT_EQ(readAttribute(deviceAt(static_cast<std::uint32_t>(low)), kDeviceNumber).code, -52024)
      << "the caller's read still answers the fault";
}

TEST_F(StandinEnumeration, SessionReaderAndAttributeFaultsAnswerTheirStatus) {
  qosim::BoardSet set;
  auto& board = set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  refresh();
  iKelDevice* device = byNumber(numberOf(board));
  ASSERT_NE(device, nullptr);
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok()) << client.error;

  ASSERT_TRUE(client.value.enumFault(board.device, "readU32.2", -52007).ok());
  EXPECT_EQ(readAttribute(device, kProductId).code, -52007);
  EXPECT_EQ(readAttribute(device, kDeviceNumber).code, 0) << "other attributes still read";
  ASSERT_TRUE(client.value.enumFault(board.device, "getAttributeReader", -52026).ok());
  EXPECT_EQ(readAttribute(device, kDeviceNumber).code, -52026);
  ASSERT_TRUE(client.value.enumFault(board.device, "openSession", -52031).ok());
  EXPECT_EQ(readAttribute(device, kDeviceNumber).code, -52031);
  ASSERT_TRUE(client.value.enumFault(board.device, "openSession", std::nullopt).ok());
  ASSERT_TRUE(client.value.enumFault(board.device, "getAttributeReader", std::nullopt).ok());
  ASSERT_TRUE(client.value.enumFault(board.device, "readU32.2", std::nullopt).ok());
  EXPECT_EQ(readAttribute(device, kDeviceNumber).code, 0);
}

TEST_F(StandinEnumeration, MachineWideFaultsFailTheListOperations) {
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok()) << client.error;
  const std::uint32_t count = list_->count();

  ASSERT_TRUE(client.value.enumFault("", "hasChanged", -52024).ok());
  apal::tStatus status;
  EXPECT_FALSE(list_->hasChanged(platformStatus(&status)));
  EXPECT_EQ(status.code, -52024);
  EXPECT_STREQ(status.component, "qokeldeve");

  // A failed refresh keeps the list as it was.
  qosim::BoardSet set;
  set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  ASSERT_TRUE(client.value.enumFault("", "refresh", -52008).ok());
  apal::tStatus refreshStatus;
  list_->refresh(platformStatus(&refreshStatus));
  EXPECT_EQ(refreshStatus.code, -52008);
  EXPECT_EQ(list_->count(), count);

  ASSERT_TRUE(client.value.enumFault("", "hasChanged", std::nullopt).ok());
  ASSERT_TRUE(client.value.enumFault("", "refresh", std::nullopt).ok());
  EXPECT_TRUE(hasChanged());
  refresh();
  EXPECT_EQ(list_->count(), count + 1);

  ASSERT_TRUE(client.value.enumFault("", "initialize", -52000).ok());
  ASSERT_TRUE(client.value.enumFault("", "getAllKelDevices", -52013).ok());
  EXPECT_EQ(enumerationLibrary().initialize(), -52000);
  iKelDeviceList* other = nullptr;
  EXPECT_EQ(enumerationLibrary().getAllKelDevices(other), -52013);
  EXPECT_EQ(other, nullptr);
}

}  // namespace
