// The boards the simulated-machine benchmarks plug (bench/sim/BenchBoards.h): every one gets a
// PCI address no plugged board holds, however many a run plugs, and is complete enough that the
// library serves it (an item is made for each, none is left out).
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bench/sim/BenchBoards.h"
#include "QosimClient.h"
#include "source/tItemFactory.h"
#include "sysapicpp/cache/ItemCache.h"

namespace {

std::string pciAddress(const qosim::BoardDesc& b) {
  return std::to_string(b.busProperties.at("pciBusNumber")) + ":" +
         std::to_string(b.busProperties.at("pciDeviceNumber")) + "." +
         std::to_string(b.busProperties.at("pciFunctionNumber"));
}

std::size_t itemsServed() {
  VorlixSysapiExpert::tItemFactory factory;
  sysapicpp::ItemCache cache(&factory);
  cache.refresh();
  std::vector<std::string> names;
  cache.getItemNames(names);
  return names.size();
}

TEST(BenchBoards, EveryPlugFindsAFreeAddressAndEveryBoardIsServed) {
  struct Case {
    const char* what;
    std::size_t held;    // plugged first and kept for the whole case
    std::size_t cycled;  // then plugged and unplugged one at a time
  };
  const std::vector<Case> cases = {
      {"one board held while 200 come and go (past the client's 176 buses)", 1, 200},
      {"64 boards held while 40 come and go", 64, 40},
  };
  auto connected = qosim::Client::connect();
  ASSERT_TRUE(connected.ok()) << connected.error;
  qosim::Client& client = connected.value;
  const std::size_t before = itemsServed();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qosim::BoardSet held;
    std::set<std::string> addresses;
    for (std::size_t i = 0; i < c.held; ++i)
      addresses.insert(pciAddress(qobench::benchBoard(held.add())));
    EXPECT_EQ(addresses.size(), c.held);
    ASSERT_TRUE(held.plug().ok());
    EXPECT_EQ(itemsServed(), before + c.held);
    for (std::size_t i = 0; i < c.cycled; ++i) {
      qosim::BoardDesc board;
      board.device = qosim::uniqueDeviceName();
      qobench::benchBoard(board);
      EXPECT_EQ(addresses.count(pciAddress(board)), 0u) << pciAddress(board);
      const qosim::Status st = client.plug(board);
      ASSERT_TRUE(st.ok()) << "plug " << i << ": " << st.error;
      if (i % 50 == 0) {
        EXPECT_EQ(itemsServed(), before + c.held + 1) << board.device;
      }
      ASSERT_TRUE(client.unplug(board.device).ok());
    }
  }
  EXPECT_EQ(itemsServed(), before);
}

}  // namespace
