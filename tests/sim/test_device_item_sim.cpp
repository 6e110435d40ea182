// Device items against boards the tests describe: every static tag against the description,
// both identity paths, FPGA classes, link rates, the dynamic groups, diagnostics, firmware, and
// each driver method failing in the driver and in the transport.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <thread>
#include <variant>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qo/err/Exception.h"
#include "qoapal/trace/qosdbg.h"
#include "source/tNextVorlixItem.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/cache/ItemCache.h"
#include "qodrv/qoDriverConstants.h"

using namespace VorlixSysapiExpert;
using namespace std::string_literals;
namespace blocks = nQOVORLIXATOMICSAE_23_3::nInterfaceProxy_vorlixtarrow;
struct Stamp {  // a timestamp tag's seconds (fraction 0)
  std::int64_t seconds;
  bool operator==(const Stamp&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Stamp& t) {
    return os << t.seconds << " s";
  }
};
using Value = std::variant<bool, std::int32_t, std::uint32_t, std::string, double, Stamp>;
using Tags = std::map<std::uint32_t, Value>;
using ItemHandle = sysapicpp::SharedPtrHelper<sysapicpp::Item>;

namespace {

sysapicpp::PropertyBagHandle bagOf(sysapicpp::Item& item) {
  ImxSysPropertyBag* raw = item.getPropertyBag();
  sysapicpp::PropertyBagHandle bag(raw);
  raw->Release();
  return bag;
}

// Each tag holds the value with the type given (a getter of another type fails).
void expectTags(sysapicpp::Item& item, const Tags& tags) {
  const sysapicpp::PropertyBagHandle bag = bagOf(item);
  for (const auto& [tag, want] : tags) {
    SCOPED_TRACE(testing::Message() << item.getName() << " tag 0x" << std::hex << tag);
    try {
      Value got;
      switch (want.index()) {
        case 0:
          got = bag.getBool(tag);
          break;
        case 1:
          got = bag.getInt32(tag);
          break;
        case 2:
          got = bag.getUInt32(tag);
          break;
        case 3:
          got = bag.getString(tag);
          break;
        case 4:
          got = bag.getDouble(tag);
          break;
        default:
          got = Stamp{bag.getTimestamp(tag).fraction == 0 ? bag.getTimestamp(tag).seconds : -1};
      }
      EXPECT_EQ(got, want);
    } catch (const sysapicpp::HResultException& e) {
      ADD_FAILURE() << "read failed: " << std::hex << e.code();
    }
  }
}

template <typename Response>
qosim::Bytes failing(std::int32_t status) {
  Response response{};
  response.status = status;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&response);
  return qosim::Bytes(p, p + sizeof response);
}
struct Fault {
  const char* method;
  std::uint32_t command;
  qosim::Bytes driverAnswer;  // the method's response with status -52099
};
#define QO_FAULT(op) \
  Fault { #op, blocks::kCommand_##op, failing < blocks::tResponse_##op>(-52099) }

// Runs `check` once with the method failing in the driver and once in the transport.
template <typename Check>
void forBothFailures(qosim::Client& client, const std::string& target, const Fault& fault,
                     Check check) {
  for (bool transport : {false, true}) {
    SCOPED_TRACE(testing::Message() << fault.method << (transport ? " transport" : " driver"));
    qosim::ResponseRule rule;
    rule.target = target;
    rule.command = fault.command;
    if (transport)
      rule.errnoValue = 5;  // EIO
    else
      rule.output = fault.driverAnswer;
    ASSERT_TRUE(client.setResponse(rule).ok());
    check();
    ASSERT_TRUE(client.clearResponses().ok());
  }
}

struct ImageBytes final : ImxSysBinaryImage {
  explicit ImageBytes(std::size_t size) : bytes(size, 0x5A) {}
  HRESULT QueryInterface(const GUID*, void**) override { return E_NOTIMPL; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetSize(unsigned* size) override { return *size = unsigned(bytes.size()), S_OK; }
  HRESULT GetData(void** data) override { return *data = bytes.data(), S_OK; }
  std::vector<std::uint8_t> bytes;
};

std::string gTrace;
void captureTrace(const char* text) { gTrace += text; }

class DeviceItemSim : public ::testing::Test {
 protected:
  void TearDown() override { client().clearResponses(); }
  qosim::Client& client() { return boards_.client(); }
  static std::string nameOf(const qosim::BoardDesc& b) { return "KEL" + b.device.substr(8); }
  // The item of a plugged board through the production factory (null when left out).
  ItemHandle item(const qosim::BoardDesc& b) {
    auto items = factory_.createItems({nameOf(b)});
    return items.empty() ? nullptr : items[0];
  }
  qosim::BoardDesc& plugOne(const nlohmann::json& fields) {
    auto& b = boards_.add().withDefaults();
    for (auto& [k, v] : fields.items()) b.withField(k, v);
    EXPECT_TRUE(boards_.plug().ok());
    return b;
  }
  qosim::BoardSet boards_;
  tItemFactory factory_;  // the production factory over the enumeration stand-in
};

struct IdentityCase {
  const char* label;
  std::uint32_t product;
  nlohmann::json fields;  // model fields beyond the defaults
  std::uint32_t rate, maxRate;
  bool routing;
  Tags expected;  // beside (and over) the tags every board has
};

}  // namespace

TEST_F(DeviceItemSim, StaticTagsFollowTheBoardDescription) {
  const std::string board = "board serial";  // marks the board's own serial in the table
  // clang-format off
  const IdentityCase cases[] = {
      {"maker's catalogued module", 0x7B18,
       {{"module", {{"id", 0x5C710102}, {"revision", 2}, {"serial", 0xA10033}}},
        {"moduleRecord", {0, 0, 0, 0, 0, 0, 254}}},
       1, 3, false,
       {{0x1003000, qodrv::vorlixtarrow::kMakerVendorId}, {0x1004000, "Qorvath"s}, {0x1006000, "QO PXIe-QM-120 (1.6 GHz - KU15P)"s},
        {0x1007000, board}, {0x1008000, true}, {0x19012000, 0x5C710102u}, {0x19013000, 2u},
        {0x1900E000, false}, {0x19000000, 6u}, {0x19001000, 4u}, {0x19014000, "PXIe-VX222"s},
        {0x1079000, 0}, {0x1078000, 2}, {0x1048000, -2}}},
      {"other vendor's module", 0x7B13,
       {{"module", {{"id", 0x164476CD}, {"revision", 1}, {"serial", 0xC0FFEE}}}, {"hardwareRevision", 0}},
       4, 0, true,
       {{0x1003000, 0x1644u}, {0x1004000, "Harrow Aster Instruments"s}, {0x1006000, "AT-1120"s},
        {0x1007000, "00C0FFEE"s}, {0x1008000, false}, {0x19012000, 0x164476CDu}, {0x19013000, 1u},
        {0x1900E000, true}, {0x19001000, 3u}, {0x19014000, "PXIe-VX213"s}, {0x1079000, -1},
        {0x1078000, -1}, {0x1075000, "Unknown"s}}},
      {"maker's uncatalogued module", 0x7B19,
       {{"module", {{"id", 0x5C710201}, {"revision", 3}, {"serial", 0x12345678}}}, {"vendorId", 0x1D2C}},
       2, 2, false,
       {{0x1003000, qodrv::vorlixtarrow::kMakerVendorId}, {0x1004000, "Qorvath"s}, {0x1006000, "QM-900 Breakout"s},
        {0x1007000, board}, {0x1008000, true}, {0x1900E000, true}, {0x19001000, 5u},
        {0x1079000, 1}, {0x1078000, 1}}},
      {"no module", 0x7B80, {{"module", nullptr}}, 3, 3, false,
       {{0x1003000, qodrv::vorlixtarrow::kMakerVendorId}, {0x1006000, "QO PCIe-VX210"s}, {0x1007000, board},
        {0x19012000, 0u}, {0x19013000, 0u}, {0x19001000, 3u}, {0x19014000, "PCIe-VX210"s},
        {0x1079000, 2}, {0x1078000, 2}}},
      {"unreadable module", 0x7B10,
       {{"module", {{"unreadable", true}, {"status", -52024}}}, {"vendorId", 0x1D2C}}, 2, 3, false,
       {{0x1003000, 0x1D2Cu}, {0x1004000, "Qorvath"s}, {0x1006000, "QO PXIe-VX210"s},
        {0x1007000, board}, {0x1008000, false}, {0x19012000, 0xFFFFFFFFu}, {0x19013000, 255u},
        {0x1900E000, true}}},
      {"other vendor's module without serial", 0x7B14,
       {{"module", {{"id", 0x164476CF}, {"revision", 1}, {"serial", 0}}}}, 2, 3, false,
       {{0x1003000, qodrv::vorlixtarrow::kMakerVendorId}, {0x1004000, "Qorvath"s}, {0x1006000, "QO PXIe-VX214"s},
        {0x1007000, board}, {0x1900E000, true}}},
      {"unknown vendor's module", 0x7B10,  // the broken module file describes nothing
       {{"module", {{"id", 0x77770001}, {"revision", 1}, {"serial", 5}}}}, 2, 3, false,
       {{0x1003000, qodrv::vorlixtarrow::kMakerVendorId}, {0x1006000, "QO PXIe-VX210"s}, {0x1007000, board}, {0x1900E000, true}}},
      {"unknown product", 0x7BFF, {{"module", nullptr}}, 2, 3, false,
       {{0x1006000, "Unknown"s}, {0x1900E000, false}, {0x19000000, 0u}, {0x19001000, 0u},
        {0x16002000, ""s}}},
  };
  // clang-format on
  ASSERT_TRUE(client().setModuleFile("broken.fam", "\x01[[[\nIOModuleID=zz\nModel\n"s).ok());
  std::uint32_t serial = 0x5100AB00;
  for (const IdentityCase& c : cases) {
    auto& b = boards_.add()
                  .withDefaults()
                  .withProduct(c.product)
                  .withSerial(++serial)
                  .withField("description", "Vorlix "s + c.label)
                  .withField("chassisSlot", 7)
                  .withFirmwareVersion(0x01238012)
                  .withField("hardwareRevision", 2);
    for (auto& [k, v] : c.fields.items()) b.withField(k, v);
    b.busProperties["pcieTransferRate"] = c.rate;
    b.busProperties["pcieMaxTransferRate"] = c.maxRate;
    if (c.routing) b.withRouting();
  }
  ASSERT_TRUE(boards_.plug().ok());
  std::vector<std::string> names;
  factory_.getItemNames(names);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const IdentityCase* c = &cases[i];
    qosim::BoardDesc* b = &boards_.board(i);
    SCOPED_TRACE(c->label);
    const std::string name = nameOf(*b);
    // Only products the catalog knows are listed; any board can still be made an item.
    EXPECT_EQ(std::count(names.begin(), names.end(), name), c->product == 0x7BFF ? 0 : 1);
    ItemHandle it = item(*b);
    ASSERT_TRUE(it);
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", b->fields["serial"].get<unsigned>());
    Tags expected = {{0x102A000, 0x40000000},
                     {0x101C000, 1},
                     {0x101E000, "qovorlix2"s},
                     {0x1054000, true},
                     {0x1018000, b->busProperties["pciBusNumber"]},
                     {0x1019000, 0u},
                     {0x101A000, 0u},
                     {0x103F000, 1},
                     {0x100A000, "Vorlix "s + c->label},
                     {0x1030000, 4},
                     {0x1031000, 8},
                     {0x100B000, 7},
                     {0x107A000, 0u},
                     {0x1048000, 1},
                     {0x1600A000, b->device},
                     {0x16002000, "libqovorlixtarrowu.so"s},
                     {0x16003000, ""s},
                     {0x1002000, 1u},
                     {0x1086000, 1u},
                     {0x1020000, true},
                     {0x1010000, false},
                     {0x1014000, false},
                     {0x104A000, true},
                     {0x108D000, 1u},
                     {0x104B000, "*.zip"s},
                     {0x1028000, false},
                     {0x1001000, true},
                     {0x1024000, 1},
                     {0x102F000, "1.2.3b18"s},
                     {0x1075000, "B"s},
                     {0x101D000, name},
                     {0x1005000, c->product},
                     {0x103E000, c->product},
                     {0x1004000, "Qorvath"s},
                     {0x1008000, true},
                     {0x19000000, 6u}};
    if (c->routing) expected[0x16003000] = "/dev/qo/" + b->device + "\\routing_routing\\0";
    for (const auto& [tag, value] : c->expected)
      expected[tag] = value == Value(board) ? Value(std::string(serialText)) : value;
    expectTags(*it, expected);
    EXPECT_EQ(bagOf(*it).hasTag(0x19014000), c->product != 0x7BFF);
    auto& device = dynamic_cast<tNextVorlixItem&>(*it);
    EXPECT_EQ(device.deviceInterfacePath(),
              "/dev/qo/" + b->device + "\\qovorlixtarrowk_vorlixtarrow\\0");
  }
  ASSERT_TRUE(client().setModuleFile("broken.fam", std::nullopt).ok());
}

TEST_F(DeviceItemSim, DynamicGroupsAreReadAgainPerRequest) {
  auto& b = plugOne({{"temperature", 70},
                     {"temperatureLimit", {60, 95}},
                     {"fans", {1000, 2000, 3000}},
                     {"dated0", {{"seconds", 3870000000u}, {"value", 12}}},
                     {"dated1", {{"seconds", nullptr}, {"value", 4}}},
                     {"firmwareVersion", 0x0130C0FF}});
  ItemHandle it = item(b);
  ASSERT_TRUE(it);
  const struct {
    std::vector<std::uint32_t> request;
    bool result;
    Tags expected;
    // clang-format off
  } rows[] = {
      {{0x1016000}, true, {{0x1015000, Stamp{3870000000}}, {0x1016000, 12.0}, {0x1069000, -1}}},
      {{0x19011000}, true, {{0x1900F000, Stamp{0}}, {0x19010000, 4.0}, {0x19011000, -1}}},
      {{0x1067000}, true, {{0x1064000, 1}, {0x1065000, "FPGA Temperature"s}, {0x102E000, 70.0},
                           {0x1067000, 60.0}, {0x1089000, 3}}},
      {{0x1062000}, true, {{0x1061000, 3}, {0x1062002, "Baseboard Fan 2"s}, {0x1063001, 2000u},
                           {0x1088002, 0}}},
      {{0x102F000}, true, {{0x102F000, "1.3.0f255"s}}},
      {{0x1014000, 0x1063000}, false, {{0x1061000, 3}}},
  };
  // clang-format on
  for (const auto& row : rows) {
    EXPECT_EQ(it->refreshProperties(row.request), row.result);
    expectTags(*it, row.expected);
  }
  EXPECT_TRUE(std::isnan(bagOf(*it).getDouble(0x1066000)));
  // Nothing is kept between requests: the next refresh sees the board's new readings.
  ASSERT_TRUE(
      client()
          .setBoardFields(b.device, {{"temperature", 60}, {"fans", nlohmann::json::array()}})
          .ok());
  EXPECT_TRUE(it->refreshProperties({0x1089000, 0x1061000}));
  expectTags(*it, {{0x102E000, 60.0}, {0x1089000, 0}, {0x1061000, 0}});
}

TEST_F(DeviceItemSim, DiagnosticModesAndResults) {
  auto& b = plugOne({});
  ItemHandle it = item(b);
  ASSERT_TRUE(it);
  std::string text = "untouched";
  it->runDiagnostic(0, text);
  EXPECT_EQ(text, "untouched");
  ASSERT_TRUE(client().clearLog().ok());
  EXPECT_THROW(it->runDiagnostic(2, text), sysapicpp::InvalidModeException);
  EXPECT_TRUE(client().readLog().value.empty());  // refused before the driver is asked
  ASSERT_TRUE(client().setBoardField(b.device, "diagnostic", 0).ok());
  EXPECT_THROW(it->runDiagnostic(0, text), sysapicpp::FailException);
  forBothFailures(client(), b.device, QO_FAULT(op0400),
                  [&] { EXPECT_THROW(it->runDiagnostic(0, text), qoerr::Exception); });
}

TEST_F(DeviceItemSim, EachDriverMethodFailureGivesItsFallback) {
  auto& b = plugOne({{"module", {{"id", 0x5C710101}, {"revision", 1}, {"serial", 7}}},
                     {"moduleRecord", {0, 0, 0, 0, 0, 0, 9}},
                     {"op0406", -304312}});
  ItemHandle it = item(b);
  ASSERT_TRUE(it);
  it->prepareProperties();
  expectTags(*it, {{0x1073000, 0x10000u}, {0x1900B000, 1u}, {0x1048000, 9}});
  // Refreshes report false and keep going.
  for (const Fault& f :
       {QO_FAULT(op0300), QO_FAULT(op0301), QO_FAULT(op0304), QO_FAULT(op0305), QO_FAULT(op0402),
        QO_FAULT(op0405), QO_FAULT(op0407), QO_FAULT(op0408), QO_FAULT(op0701)})
    forBothFailures(client(), b.device, f, [&] {
      EXPECT_FALSE(it->refreshProperties({0x1015000, 0x19010000, 0x102E000, 0x1063000, 0x102F000}));
    });
  // A failed version read replaces the version text with that of the zero result, as the
  // static collection does: the old text must not read as current.
  for (bool transport : {false, true}) {
    SCOPED_TRACE(transport ? "transport" : "driver");
    const Fault f = QO_FAULT(op0701);
    qosim::ResponseRule rule;
    rule.target = b.device;
    rule.command = f.command;
    if (transport)
      rule.errnoValue = 5;  // EIO
    else
      rule.output = f.driverAnswer;
    ASSERT_TRUE(it->refreshProperties({0x102F000}));
    ASSERT_NE(bagOf(*it).getString(0x102F000), "0.0.0d0");  // the board's own version
    ASSERT_TRUE(client().setResponse(rule).ok());
    EXPECT_FALSE(it->refreshProperties({0x102F000}));
    expectTags(*it, {{0x102F000, "0.0.0d0"s}});
    ASSERT_TRUE(client().clearResponses().ok());
  }
  // Preparation keeps the last values.
  ASSERT_TRUE(client().setBoardField(b.device, "op0406", -304313).ok());
  forBothFailures(client(), b.device, QO_FAULT(op0406), [&] {
    it->prepareProperties();
    expectTags(*it, {{0x1073000, 0x10000u}, {0x1900B000, 1u}});
  });
  // Construction: module reads and the record fall back; version and revision leave the board out.
  for (const Fault& f : {QO_FAULT(op0600), QO_FAULT(op0601), QO_FAULT(op0602)})
    forBothFailures(client(), b.device, f, [&] {
      ItemHandle again = item(b);
      ASSERT_TRUE(again);
      expectTags(*again,
                 {{0x19012000, 0xFFFFFFFFu}, {0x19013000, 255u}, {0x1006000, "QO PXIe-VX210"s}});
    });
  forBothFailures(client(), b.device, QO_FAULT(op0604), [&] {
    ItemHandle again = item(b);
    ASSERT_TRUE(again);
    expectTags(*again, {{0x1048000, 1}});
  });
  for (const Fault& f : {QO_FAULT(op0700), QO_FAULT(op0701)})
    forBothFailures(client(), b.device, f, [&] { EXPECT_FALSE(item(b)); });
}

TEST_F(DeviceItemSim, FirmwareUpdateThroughTheItem) {
  auto& b = plugOne({{"firmware", {{"durationMs", 200}}}});
  ItemHandle it = item(b);
  ASSERT_TRUE(it);
  std::int32_t state = 0, percent = -5;
  std::string text;
  it->getFirmwareUpdateStatus(state, percent, text);
  EXPECT_EQ(state, 2);
  EXPECT_EQ(percent, -5);
  ImageBytes image(4096), empty(0);
  sysapicpp::BinaryImageHandle handle(&image), emptyHandle(&empty);
  EXPECT_THROW(it->updateFirmware(nameOf(b), false, "", handle),
               sysapicpp::FirmwareWrongStateException);
  EXPECT_EQ(it->beginFirmwareUpdate(), nameOf(b));
  EXPECT_EQ(it->beginFirmwareUpdate(), nameOf(b));
  EXPECT_THROW(it->updateFirmware("KEL0", false, "", handle), sysapicpp::InvalidArgException);
  EXPECT_THROW(it->updateFirmware(nameOf(b), false, "", emptyHandle),
               sysapicpp::InvalidArgException);
  auto runToEnd = [&] {
    it->updateFirmware(nameOf(b), true, "", handle);
    std::set<std::int32_t> states;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      it->getFirmwareUpdateStatus(state, percent, text);
      states.insert(state);
    } while ((state == -1 || state == -2) && std::chrono::steady_clock::now() < deadline);
    return states;
  };
  std::set<std::int32_t> seen = runToEnd();
  EXPECT_TRUE(seen.count(-2)) << "no progress seen while busy";
  EXPECT_EQ(state, 5);  // done, power cycle pending (second flag)
  EXPECT_EQ(percent, 100);
  EXPECT_EQ(text, "");
  ASSERT_TRUE(client().powerCycle(b.device).ok());
  it->getFirmwareUpdateStatus(state, percent, text);
  EXPECT_EQ(state, 2);
  ASSERT_TRUE(client().firmwareFault(b.device, qosim::FirmwareFaultSpec{-7, 30, 1}).ok());
  runToEnd();
  EXPECT_EQ(state, 5);
  EXPECT_EQ(text, "Error: -7");
  // A failure before any progress reads as ended too, not as an update about to start.
  ASSERT_TRUE(client().firmwareFault(b.device, qosim::FirmwareFaultSpec{-8, 0, 1}).ok());
  runToEnd();
  EXPECT_EQ(state, 5);
  EXPECT_EQ(percent, 0);
  EXPECT_EQ(text, "Error: -8");
}

// A board removed while its firmware update runs: its item is destroyed (which waits for the
// platform library's update call) outside the cache's map lock, so calls for the other board
// do not wait for the update to end.
TEST_F(DeviceItemSim, RemovingABoardInAnUpdateHoldsUpNoOtherCall) {
  boards_.add().withDefaults().withField("firmware", {{"durationMs", 3000}});
  boards_.add().withDefaults();
  ASSERT_TRUE(boards_.plug().ok());
  auto &updating = boards_.board(0), &other = boards_.board(1);
  sysapicpp::ItemCache cache(&factory_);
  cache.refresh();
  ImageBytes image(4096);
  sysapicpp::BinaryImageHandle handle(&image);
  {
    ItemHandle it = cache.getItem(nameOf(updating));
    ASSERT_EQ(it->beginFirmwareUpdate(), nameOf(updating));
    it->updateFirmware(nameOf(updating), true, "", handle);
  }
  // The removal notice alone: the simulated library ends an update at once when its board is
  // unplugged, a real one need not, so the board stays and its update call keeps running.
  cache.notifyItemChange(2, nameOf(updating));
  using Clock = std::chrono::steady_clock;
  const auto removalStart = Clock::now();
  std::thread removal([&] { cache.refresh(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the removal is under way
  const auto before = Clock::now();
  std::vector<std::string> names;
  cache.getItemNames(names);
  ItemHandle still = cache.getItem(nameOf(other));
  still->invalidate();
  EXPECT_NO_THROW(bagOf(*still));
  const auto callTime = Clock::now() - before;
  removal.join();
  // The premise: the removal did wait for the update (else nothing was shown).
  ASSERT_GT(Clock::now() - removalStart, std::chrono::milliseconds(1500));
  EXPECT_LT(callTime, std::chrono::milliseconds(1000));
  EXPECT_EQ(std::count(names.begin(), names.end(), nameOf(other)), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), nameOf(updating)), 0);
}

TEST_F(DeviceItemSim, BrokenBoardsAreLeftOutAndTriedAgain) {
  boards_.add().withDefaults().withProduct(0x7B11);
  boards_.add().withDefaults().withProduct(0x7B12).busProperties.erase("pcieLinkWidth");
  boards_.add().withDefaults().withProduct(0x7B15).withEnumFault("readU32.10", -52024);
  boards_.add().withDefaults().withProduct(0x7B16);
  ASSERT_TRUE(boards_.plug().ok());
  auto &good = boards_.board(0), &noLink = boards_.board(1), &badAttribute = boards_.board(2),
       &vanishing = boards_.board(3);
  std::vector<std::string> listed;
  factory_.getItemNames(listed);  // still sees the board that vanishes now
  ItemHandle gone = item(vanishing);
  ASSERT_TRUE(gone);
  gone->prepareProperties();
  ASSERT_TRUE(client().unplug(vanishing.device).ok());
  // Its item stays usable: preparation keeps the values, driver operations fail.
  gone->prepareProperties();
  EXPECT_FALSE(gone->refreshProperties({0x102E000}));
  std::string text;
  EXPECT_THROW(gone->runDiagnostic(0, text), qoerr::Exception);
  expectTags(*gone, {{0x101F000, vanishing.device}, {0x1005000, 0x7B16u}});
  gTrace.clear();
  auto previous = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(captureTrace);
  auto items = factory_.createItems(listed);
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::setTraceOutput(previous);
  std::vector<std::string> names;
  for (auto& i : items) names.push_back(i->getName());
  for (const auto* b : {&good, &noLink, &badAttribute, &vanishing})
    EXPECT_EQ(std::count(names.begin(), names.end(), nameOf(*b)), b == &good ? 1 : 0) << b->device;
  for (const char* served : {"KEL0", "KEL1", "KEL2"})
    EXPECT_EQ(std::count(names.begin(), names.end(), served), 1) << served;
  EXPECT_NE(gTrace.find(nameOf(noLink) + " left out"), std::string::npos) << gTrace;
  ASSERT_TRUE(client().plug(vanishing).ok());  // the set unplugs what it plugged
  // Not remembered: the next board event asks for the board again, and once readable it is
  // served.
  sysapicpp::ItemCache cache(&factory_);
  cache.refresh();
  EXPECT_TRUE(cache.hasItem(nameOf(good)));
  EXPECT_FALSE(cache.hasItem(nameOf(badAttribute)));
  ASSERT_TRUE(client().enumFault(badAttribute.device, "readU32.10", std::nullopt).ok());
  cache.addItemsToCreate({nameOf(badAttribute), nameOf(noLink)});
  cache.refresh();
  EXPECT_TRUE(cache.hasItem(nameOf(badAttribute)));
  EXPECT_FALSE(cache.hasItem(nameOf(noLink)));
}
