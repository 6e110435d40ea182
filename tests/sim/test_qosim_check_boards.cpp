// What `qosim check-boards` says about valid board files the library will not serve in full,
// the bus properties a board without "busProperties" is published with, and boards named as the
// hosts name them (KEL<n>) in control requests.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "QosimClient.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/CommandOutcome.h"
#include "tests/common/FileText.h"

namespace {

using testsupport::readFile;

using nlohmann::json;
using qotest::checkBoards;
using qotest::Outcome;

// A board file's entry for one interface, {"name": "..."}.
std::string interfaceEntry(const char* name) { return std::string(R"({"name": ")") + name + "\"}"; }

const std::string kMainOnly = "[" + interfaceEntry(qodrv::vorlixtarrow::kInterfaceName) + "]";

std::string board(const std::string& fields, const std::string& interfaces = kMainOnly) {
  return R"({"boards": [{"device": "qovorlix7", "interfaces": )" + interfaces +
         (fields.empty() ? "" : ", " + fields) + "}]}";
}

const char kAllSeven[] =
    R"("busProperties": {"pciBusNumber": 7, "pciDeviceNumber": 0, "pciFunctionNumber": 0,
        "pcieLinkWidth": 4, "pcieMaxLinkWidth": 8, "pcieTransferRate": 2, "pcieMaxTransferRate": 3})";

TEST(QosimCheckBoards, WarnsAboutWhatTheLibraryLeavesOut) {
  const std::string routing = "[" + interfaceEntry(qodrv::vorlixtarrow::kInterfaceName) + ", " +
                              interfaceEntry(qodrv::routing::kInterfaceName) + "]";
  const struct {
    std::string file;
    std::string warning;  // empty: none
    // clang-format off
  } cases[] = {
      {board(""), ""},  // the default bus properties are the seven
      {board(kAllSeven), ""},
      {board(R"("productId": "0x7B82")"), ""},
      {board(R"("productId": "0x7BFF")"), "left out: product 0x7BFF is not in the library's catalog"},
      {board(R"("supported": 2)"), "left out: \"supported\" is 2, not 1"},
      {board(R"("busProperties": {"pciBusNumber": 7})"),
       "left out: bus properties pciDeviceNumber, pciFunctionNumber, pcieLinkWidth, pcieMaxLinkWidth, "
       "pcieTransferRate, pcieMaxTransferRate missing"},
      {board(R"("busProperties": {"pciBusNumber": 7, "pciDeviceNumber": 0, "pciFunctionNumber": 0,
                "pcieLinkWidth": {"hex": "0400"}, "pcieMaxLinkWidth": 8, "pcieTransferRate": 2,
                "pcieMaxTransferRate": 3})"),
       "not 4 bytes: pcieLinkWidth (2 bytes)"},
      {board("", "[" + interfaceEntry(qodrv::routing::kInterfaceName) + "]"),
       "left out: no interface \"" + std::string(qodrv::vorlixtarrow::kInterfaceName) + "\""},
      {board("", "[" + interfaceEntry(qodrv::vorlixtarrow::kInterfaceName) + R"(, {"name": "spare_spare"}])"),
       "not served: interface \"spare_spare\" is no driver interface"},
      {board("", routing), "not served: topography \"vorlix-matrix\" is none of the simulated topographies"},
      {board(R"("topographyName": "vorlix-matrix-b")", routing), ""},
      {board(R"("driverFaults": [{"method": "op0701", "errno": 5}])"), "left out: driver fault op0701 fails every call"},
      {board(R"("driverFaults": [{"method": "op0700", "status": -52030, "count": 1}])"),
       "may be left out: driver fault op0700 fails its first call"},
      {board(R"("driverFaults": [{"method": "op0701", "errno": 5, "afterCalls": 1}])"), ""},
      {board(R"("driverFaults": [{"method": "op0701", "status": 3}])"), ""},  // a warning status
      {board(R"("enumeration": {"faults": {"readU32.2": -52006}})"), "may be left out: enumeration fault readU32.2"},
      {R"({"enumeration": {"faults": {"refresh": -52006}}, "boards": []})",
       "the machine: may be left out: machine-wide enumeration fault refresh"},
  };
  // clang-format on
  for (const auto& c : cases) {
    Outcome o = checkBoards(c.file);
    EXPECT_EQ(o.status, 0) << c.file << "\n" << o.output;  // valid: warnings only
    if (c.warning.empty()) {
      EXPECT_EQ(o.output.find("warning"), std::string::npos) << c.file << "\n" << o.output;
    } else {
      EXPECT_NE(o.output.find("qosim: warning: board file "), std::string::npos) << c.file << "\n"
                                                                                 << o.output;
      EXPECT_NE(o.output.find(c.warning), std::string::npos) << c.file << "\n" << o.output;
    }
  }
}

TEST(QosimCheckBoards, StrictFailsOnWarningsOnly) {
  const std::string path = "/dev/.qosim/strict.json";
  for (const auto& [file, status] :
       {std::pair{board(R"("productId": "0x7BFF")"), 1}, std::pair{board(""), 0}}) {
    std::ofstream(path) << file;
    Outcome o = qotest::runCommand(std::string(QOSIM_PATH) + " check-boards --strict " + path);
    EXPECT_EQ(o.status, status) << file << "\n" << o.output;
  }
}

std::string le32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

TEST(QosimBusProperties, ABoardWithoutThemIsPublishedWithTheDefaults) {
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok()) << c.error;
  const json given = {{"device", "qovorlix171"},
                      {"interfaces", {{{"name", qodrv::vorlixtarrow::kInterfaceName}}}}};
  ASSERT_TRUE(c.value.request({{"cmd", "plug"}, {"board", given}}).ok());
  const std::string dir = "/proc/driver/qo/qovorlix171/busProperties/";
  const std::pair<const char*, std::uint32_t> expected[] = {
      {"pciBusNumber", 171},     {"pciDeviceNumber", 0},  {"pciFunctionNumber", 0},
      {"pcieLinkWidth", 4},      {"pcieMaxLinkWidth", 8}, {"pcieTransferRate", 2},
      {"pcieMaxTransferRate", 3}};
  for (const auto& [name, value] : expected) EXPECT_EQ(readFile(dir + name), le32(value)) << name;
  // The model's PCI attributes follow the published properties.
  auto got = c.value.request({{"cmd", "get"}, {"device", "qovorlix171"}});
  ASSERT_TRUE(got.ok()) << got.error;
  EXPECT_EQ(got.value["board"]["pci"]["bus"], 171);
  EXPECT_TRUE(c.value.request({{"cmd", "unplug"}, {"device", "qovorlix171"}}).ok());

  // Given ones are published exactly as given, none added.
  json partial = given;
  partial["busProperties"] = {{"pciBusNumber", 9}};
  ASSERT_TRUE(c.value.request({{"cmd", "plug"}, {"board", partial}}).ok());
  EXPECT_EQ(readFile(dir + "pciBusNumber"), le32(9));
  EXPECT_EQ(readFile(dir + "pcieLinkWidth"), "");
  EXPECT_TRUE(c.value.request({{"cmd", "unplug"}, {"device", "KEL171"}}).ok());
}

TEST(QosimControl, BoardsAreNamedAsTheHostsNameThem) {
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok()) << c.error;
  const struct {
    std::string name;
    std::string device;  // what the request reached; empty: refused
  } cases[] = {{"KEL1", "qovorlix1"},
               {"kel1", "qovorlix1"},
               {"qovorlix1", "qovorlix1"},
               {"KEL4", "qovorlix4"},
               {"KEL01", ""},
               {"KEL99", ""},
               {"KEL", ""}};
  for (const auto& k : cases) {
    auto got = c.value.request({{"cmd", "get"}, {"device", k.name}});
    EXPECT_EQ(got.ok(), !k.device.empty()) << k.name << " " << got.error;
    if (got.ok()) {
      EXPECT_EQ(got.value["board"]["device"], k.device) << k.name;
    }
  }
  // A rule's target: a board by either name; a node name stays what it is.
  auto rule = c.value.request({{"cmd", "respond"},
                               {"target", "KEL2"},
                               {"command", qodrv::vorlixtarrow::kOp0406Command},
                               {"status", -1}});
  ASSERT_TRUE(rule.ok()) << rule.error;
  const std::string node = "qovorlix1\\qovorlixtarrowk_vorlixtarrow\\0";
  ASSERT_TRUE(c.value
                  .request({{"cmd", "respond"},
                            {"target", node},
                            {"command", qodrv::vorlixtarrow::kOp0406Command},
                            {"status", -1}})
                  .ok());
  auto rules = c.value.request({{"cmd", "responses"}});
  ASSERT_TRUE(rules.ok());
  ASSERT_EQ(rules.value["rules"].size(), 2u);
  EXPECT_EQ(rules.value["rules"][0]["target"], "qovorlix2");
  EXPECT_EQ(rules.value["rules"][1]["target"], node);
  EXPECT_TRUE(c.value.clearResponses().ok());
}

}  // namespace
