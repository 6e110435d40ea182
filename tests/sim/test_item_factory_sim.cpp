// The item factory against the simulated machine through the enumeration stand-in: names of the
// boards whose products the catalog knows, refresh only on change, skipped boards, hotplug, and
// items made for names.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qo/err/Exception.h"
#include "source/platform/PlatformLibraries.h"
#include "source/tItemFactory.h"
#include "tests/common/NoOpItem.h"

using namespace VorlixSysapiExpert;

namespace {

// An item that only knows its name; the factory's maker looks its board up like a device item.
using NamedItem = qotest::NoOpItem;

sysapicpp::SharedPtrHelper<sysapicpp::Item> makeNamedItem(const std::string& name,
                                                          tDeviceListHolder& holder) {
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus status;
  holder.refreshDeviceList(&status);
  qoerr::throwIfFailed(status);
  if (!holder.findDevice(name))
    throw qoerr::Exception::withError(-52005, {"test", 1, "qovorlixatomicsae", nullptr});
  return sysapicpp::SharedPtrHelper<sysapicpp::Item>(new NamedItem(name));
}

tEnumerationLibrary& enumeration() {
  static tEnumerationLibrary library;  // found by SONAME (the tests carry a RUNPATH)
  return library;
}

std::vector<std::string> namesOf(tItemFactory& factory) {
  std::vector<std::string> names;
  factory.getItemNames(names);
  return names;
}

class ItemFactorySim : public ::testing::Test {
 protected:
  qosim::Client& client() { return boards_.client(); }
  qosim::BoardSet boards_;
};

}  // namespace

TEST_F(ItemFactorySim, DefaultMachineListsExactlyTheKnownProducts) {
  tItemFactory factory(makeNamedItem, enumeration());
  EXPECT_EQ(namesOf(factory), (std::vector<std::string>{"KEL0", "KEL1", "KEL2", "KEL4"}));
}

TEST_F(ItemFactorySim, HotplugIsSeenAfterAChangeAndNothingIsReadWithoutOne) {
  tItemFactory factory(makeNamedItem, enumeration());
  auto before = namesOf(factory);
  EXPECT_EQ(namesOf(factory), before);

  auto& board = boards_.add().withDefaults().withProduct(0x7B13).withDeviceNumber(42);
  ASSERT_TRUE(boards_.plug().ok());
  auto after = namesOf(factory);
  EXPECT_EQ(after.size(), before.size() + 1);
  EXPECT_NE(std::find(after.begin(), after.end(), "KEL42"), after.end());
  // While nothing changes, the same devices are used again: a fault on refreshing the list is
  // not even met.
  ASSERT_TRUE(client().enumFault("", "refresh", -52008).ok());
  EXPECT_EQ(namesOf(factory), after);

  ASSERT_TRUE(client().unplug(board.device).ok());
  // The change is noticed, and the refresh fault now reaches the caller.
  try {
    namesOf(factory);
    FAIL() << "expected the refresh failure";
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52008);
  }
  ASSERT_TRUE(client().enumFault("", "refresh", std::nullopt).ok());
  EXPECT_EQ(namesOf(factory), before);
}

TEST_F(ItemFactorySim, BoardsThatCannotBeReadAreSkipped) {
  boards_.add().withDefaults().withProduct(0x7B11).withDeviceNumber(50).withEnumFault("deviceAt",
                                                                                      -52008);
  boards_.add().withDefaults().withProduct(0x7B12).withDeviceNumber(51).withEnumFault("readU32.1",
                                                                                      -52006);
  boards_.add().withDefaults().withProduct(0x7B16).withDeviceNumber(52).withEnumFault("openSession",
                                                                                      -52024);
  boards_.add().withDefaults().withProduct(0x7B19).withDeviceNumber(53);
  ASSERT_TRUE(boards_.plug().ok());
  tItemFactory factory(makeNamedItem, enumeration());
  EXPECT_EQ(namesOf(factory), (std::vector<std::string>{"KEL0", "KEL1", "KEL2", "KEL4", "KEL53"}));
}

TEST_F(ItemFactorySim, HasChangedFailureIsThrown) {
  ASSERT_TRUE(client().enumFault("", "hasChanged", -52008).ok());
  tItemFactory factory(makeNamedItem, enumeration());
  try {
    namesOf(factory);
    FAIL() << "expected the hasChanged failure";
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52008);
  }
  ASSERT_TRUE(client().enumFault("", "hasChanged", std::nullopt).ok());
  EXPECT_EQ(namesOf(factory).size(), 4u);
}

TEST_F(ItemFactorySim, ConstructionFailsWithTheLibraryStatus) {
  ASSERT_TRUE(client().enumFault("", "getAllKelDevices", -52006).ok());
  try {
    tItemFactory factory(makeNamedItem, enumeration());
    FAIL() << "expected the list failure";
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52006);
  }
  ASSERT_TRUE(client().enumFault("", "getAllKelDevices", std::nullopt).ok());
  tItemFactory factory(makeNamedItem, enumeration());
  EXPECT_EQ(namesOf(factory).size(), 4u);
}

TEST_F(ItemFactorySim, EmptyMachineGivesNoNames) {
  auto listed = client().list();
  ASSERT_TRUE(listed.ok()) << listed.error;
  for (const auto& board : listed.value["boards"])
    ASSERT_TRUE(client().unplug(board["device"].get<std::string>()).ok());
  {
    tItemFactory factory(makeNamedItem, enumeration());
    EXPECT_TRUE(namesOf(factory).empty());
  }
  // The machine as it was, for the tests that follow in the same machine.
  for (const auto& board : listed.value["boards"])
    ASSERT_TRUE(client().plugJson(board["description"]).ok());
}

TEST_F(ItemFactorySim, ItemsAreMadeForNamesAndAnUnknownNameIsLeftOut) {
  tItemFactory factory(makeNamedItem, enumeration());
  auto items = factory.createItems({"KEL2", "KEL0"});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->getName(), "KEL2");
  EXPECT_EQ(items[1]->getName(), "KEL0");
  // The unknown product's board is still found by name (the catalog is not asked here).
  EXPECT_NE(factory.holder().findDevice("KEL3"), nullptr);
  // A name without a board is left out; the others are still made.
  items = factory.createItems({"KEL1", "KEL99", "KEL0"});
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->getName(), "KEL1");
  EXPECT_EQ(items[1]->getName(), "KEL0");
}
