// The simulator's side of the platform stand-in contract: the per-board enumeration
// publications and the machine's generation, enumeration faults, the firmware engine, the data
// directory with the module files, and the validation of board files.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/common/CommandOutcome.h"
#include "tests/common/FileText.h"

namespace {

using testsupport::readFile;

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kModuleDir[] = "/dev/.qosim/data/qo-vorlix/iomodules";

std::uint32_t attribute(const std::string& device, unsigned n) {
  const std::string b =
      readFile("/proc/driver/qo/" + device + "/.kel/attributes/" + std::to_string(n));
  EXPECT_EQ(b.size(), 4u) << device << " attribute " << n;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < b.size() && i < 4; ++i)
    v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[i])) << (8 * i);
  return v;
}
std::uint64_t generation() { return std::stoull(readFile("/proc/driver/qo/.kel/generation")); }

TEST(QosimEnumeration, PublicationsFollowTheModel) {
  qosim::BoardSet set;
  auto& b =
      set.add().withDefaults().withProduct(0x7B12).withSerial(0xA1B2C3D4).withDeviceNumber(77);
  b.withBusProperty("pciBusNumber", 0x33)
      .withBusProperty("pciDeviceNumber", 2)
      .withBusProperty("pciFunctionNumber", 1);
  b.withField("chassisSlot", 6)
      .withField("busType", 2)
      .withField("description", "QO PXIe-VX212")
      .withField("primaryName", "left slot")
      .withField("enumeration", {{"attributes", {{"7", 9}}}});
  const std::uint64_t before = generation();
  ASSERT_TRUE(set.plug().ok());
  EXPECT_GT(generation(), before);
  EXPECT_EQ(attribute(b.device, 1), 77u);
  EXPECT_EQ(attribute(b.device, 2), 0x7B12u);
  EXPECT_EQ(attribute(b.device, 3), qodrv::vorlixtarrow::kMakerVendorId);
  EXPECT_EQ(attribute(b.device, 4), 0xA1B2C3D4u);
  EXPECT_EQ(attribute(b.device, 10), 0x33u);
  EXPECT_EQ(attribute(b.device, 11), 2u);
  EXPECT_EQ(attribute(b.device, 12), 1u);
  EXPECT_EQ(attribute(b.device, 0x1C), 6u);
  EXPECT_EQ(attribute(b.device, 0x1E), 2u);
  EXPECT_EQ(attribute(b.device, 0x4A), 1u);
  EXPECT_EQ(attribute(b.device, 7), 9u);
  EXPECT_EQ(readFile(b.procDir() + "/.kel/strings/5"), "QO PXIe-VX212");
  EXPECT_EQ(readFile(b.procDir() + "/.kel/primaryName"), "left slot");
  EXPECT_EQ(readFile(b.procDir() + "/.kel/secondaryName"), b.device);

  // A change of a published field replaces the publications and moves the generation.
  std::uint64_t g = generation();
  ASSERT_TRUE(set.client().setBoardField(b.device, "productId", 0x7B13).ok());
  EXPECT_EQ(attribute(b.device, 2), 0x7B13u);
  EXPECT_GT(generation(), g);
  g = generation();
  ASSERT_TRUE(set.client().setBoardField(b.device, "temperature", 50).ok());
  EXPECT_EQ(generation(), g);  // not an enumeration publication
  ASSERT_TRUE(set.unplug().ok());
  EXPECT_GT(generation(), g);
  EXPECT_FALSE(fs::exists(b.procDir()));
}

TEST(QosimEnumeration, DefaultsComeFromTheDeviceName) {
  qosim::BoardSet set;
  auto& b = set.add().withDefaults();
  ASSERT_TRUE(set.plug().ok());
  const std::uint32_t n =
      static_cast<std::uint32_t>(std::stoul(b.device.substr(std::string("qovorlix").size())));
  EXPECT_EQ(attribute(b.device, 1), n);
  EXPECT_EQ(attribute(b.device, 4), 0x51000000u + n);
  // A second board with the same device number is refused.
  qosim::BoardSet other;
  other.add(b.device + "x").withDefaults().withDeviceNumber(n);
  qosim::Status st = other.plug();
  EXPECT_NE(st.error.find("device number " + std::to_string(n) + " is already used"),
            std::string::npos)
      << st;
}

TEST(QosimEnumeration, FaultsAreWrittenAndCleared) {
  qosim::BoardSet set;
  auto& b = set.add().withDefaults().withEnumFault("readU32.2", -52006);
  ASSERT_TRUE(set.plug().ok());
  EXPECT_EQ(readFile(b.procDir() + "/.kel/faults/readU32.2"), "-52006");
  auto& c = set.client();
  std::uint64_t g = generation();
  ASSERT_TRUE(c.enumFault(b.device, "openSession", -52008).ok());
  EXPECT_EQ(readFile(b.procDir() + "/.kel/faults/openSession"), "-52008");
  EXPECT_GT(generation(), g);
  ASSERT_TRUE(c.enumFault(b.device, "readU32.2", std::nullopt).ok());
  EXPECT_FALSE(fs::exists(b.procDir() + "/.kel/faults/readU32.2"));
  g = generation();
  ASSERT_TRUE(c.enumFault("", "refresh", -52023).ok());
  EXPECT_EQ(readFile("/proc/driver/qo/.kel/faults/refresh"), "-52023");
  EXPECT_EQ(generation(), g);  // a machine-wide fault changes no board
  ASSERT_TRUE(c.enumFault("", "refresh", std::nullopt).ok());
  EXPECT_FALSE(fs::exists("/proc/driver/qo/.kel/faults/refresh"));
  EXPECT_NE(c.enumFault("", "openSession", -1).error.find("not a machine-wide"), std::string::npos);
  EXPECT_NE(c.enumFault(b.device, "readU32.x", -1).error.find("not a board enumeration operation"),
            std::string::npos);
  EXPECT_NE(c.enumFault("qovorlix999", "deviceAt", -1).error.find("not plugged"),
            std::string::npos);
}

// ---- firmware -----------------------------------------------------------------------------------

class QosimFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults().withDeviceNumber(4242).withFirmwareVersion(0x01000001);
    ASSERT_TRUE(set_.plug().ok());
  }
  qosim::Client& client() { return set_.client(); }
  // Polls until the update finished (bounded; the update takes durationMs).
  qosim::FirmwareProgressInfo waitFinished() {
    qosim::FirmwareProgressInfo p;
    for (int i = 0; i < 500; ++i) {
      auto r = client().firmwareProgress("KEL4242");
      EXPECT_TRUE(r.ok()) << r.error;
      p = r.value;
      if (p.finished) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return p;
  }
  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
};

TEST_F(QosimFirmware, NoProgressBeforeTheFirstUpdate) {
  auto p = client().firmwareProgress("KEL4242");
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(p.value.status, -304425);
  EXPECT_FALSE(p.value.busy);
  EXPECT_FALSE(p.value.second);
  auto r = client().request({{"request", "firmware-progress"}, {"device", "KEL9999"}});
  EXPECT_NE(r.error.find("no board answers"), std::string::npos) << r.error;
}

TEST_F(QosimFirmware, UpdateRunsToHundredThenTheImageLoadsAtPowerCycle) {
  ASSERT_TRUE(client().firmwareConfig("KEL4242", 150, 0x01020304).ok());
  auto started =
      client().firmwareUpdate("KEL4242", "PXIe-VX210_KU035", 4096, 0, "0123456789abcdef");
  ASSERT_TRUE(started.ok()) << started.error;
  EXPECT_EQ(started.value, 150u);
  auto p = client().firmwareProgress("KEL4242");
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value.status, 0);
  if (!p.value.finished) {  // the second request answers "busy" with its status
    EXPECT_TRUE(p.value.busy);
    EXPECT_LT(p.value.percent, 100u);
    auto again =
        client().request({{"request", "firmware-update"}, {"device", "KEL4242"}, {"size", 1}});
    EXPECT_NE(again.error.find("already running"), std::string::npos) << again.error;
  }
  p.value = waitFinished();
  EXPECT_TRUE(p.value.finished);
  EXPECT_EQ(p.value.percent, 100u);
  EXPECT_FALSE(p.value.busy);
  EXPECT_TRUE(p.value.second);
  EXPECT_EQ(p.value.result, 0);
  EXPECT_EQ(client().getBoard(board_->device).value.at("firmwareVersion"), 0x01000001u);  // not yet
  ASSERT_TRUE(client().powerCycle(board_->device).ok());
  EXPECT_EQ(client().getBoard(board_->device).value.at("firmwareVersion"), 0x01020304u);
  EXPECT_FALSE(client().firmwareProgress("KEL4242").value.second);
}

TEST_F(QosimFirmware, BusyRefusalCarriesTheStatus) {
  ASSERT_TRUE(client().firmwareConfig(board_->device, 60000).ok());
  ASSERT_TRUE(client().firmwareUpdate("KEL4242", "t", 1).ok());
  // The raw answer holds the status the stand-in passes on.
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok());
  auto r = c.value.request({{"request", "firmware-update"}, {"device", "KEL4242"}, {"size", 1}});
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error.find("already running"), std::string::npos);
  auto p = client().firmwareProgress("KEL4242");
  EXPECT_TRUE(p.value.busy);
  EXPECT_FALSE(p.value.finished);
  EXPECT_NE(client().firmwareUpdate("KEL77777", "t", 1).error.find("no board answers"),
            std::string::npos);
}

TEST_F(QosimFirmware, InjectedFailureStopsAtItsPercentOnce) {
  ASSERT_TRUE(client().firmwareConfig("KEL4242", 100).ok());
  ASSERT_TRUE(client().firmwareFault("KEL4242", qosim::FirmwareFaultSpec{-7, 30, 1}).ok());
  ASSERT_TRUE(client().firmwareUpdate("KEL4242", "t", 10).ok());
  auto p = waitFinished();
  EXPECT_TRUE(p.finished);
  EXPECT_EQ(p.percent, 30u);
  EXPECT_EQ(p.result, -7);
  EXPECT_FALSE(p.busy);
  EXPECT_FALSE(p.second);
  ASSERT_TRUE(client().firmwareUpdate("KEL4242", "t", 10).ok());  // the fault was for one update
  p = waitFinished();
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.percent, 100u);
  EXPECT_NE(client()
                .firmwareFault("KEL4242", qosim::FirmwareFaultSpec{-7, 101, 1})
                .error.find("atPercent"),
            std::string::npos);
  EXPECT_NE(client()
                .firmwareFault("KEL4242", qosim::FirmwareFaultSpec{0, 10, 1})
                .error.find("must not be 0"),
            std::string::npos);
}

// A progress fault fails the polls from its percent while the update runs; the update succeeds.
TEST_F(QosimFirmware, AProgressFaultFailsThePollsNotTheUpdate) {
  ASSERT_TRUE(client().firmwareConfig("KEL4242", 200).ok());
  ASSERT_TRUE(
      client().firmwareFault("KEL4242", qosim::FirmwareFaultSpec{-52024, 20, 1, "progress"}).ok());
  ASSERT_TRUE(client().firmwareUpdate("KEL4242", "t", 10).ok());
  bool failedWhileBusy = false;
  for (int i = 0; i < 500; ++i) {
    auto p = client().firmwareProgress("KEL4242");
    ASSERT_TRUE(p.ok()) << p.error;
    if (p.value.finished) break;
    if (p.value.status == -52024)
      failedWhileBusy = p.value.busy && p.value.percent >= 20;
    else
      EXPECT_LT(p.value.percent, 20u) << "from its percent every poll fails";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(failedWhileBusy);
  auto p = waitFinished();
  EXPECT_EQ(p.status, 0) << "a finished update's polls answer again";
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.percent, 100u);
  EXPECT_NE(client()
                .firmwareFault("KEL4242", qosim::FirmwareFaultSpec{-7, 10, 1, "sometimes"})
                .error.find("operation"),
            std::string::npos);
}

// ---- data directory -----------------------------------------------------------------------------

TEST(QosimDataDirectory, ModuleFilesComeAndGoByName) {
  ASSERT_TRUE(fs::is_directory(kModuleDir));
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(c.value.setModuleFile("extra.fam", "[general]\nIOModuleID=0x3C5D0043\n").ok());
  EXPECT_EQ(readFile(std::string(kModuleDir) + "/extra.fam"), "[general]\nIOModuleID=0x3C5D0043\n");
  ASSERT_TRUE(c.value.setModuleFile("extra.fam", std::nullopt).ok());
  EXPECT_FALSE(fs::exists(std::string(kModuleDir) + "/extra.fam"));
  for (const char* bad : {"../x.fam", "a/b.fam", "", ".hidden.fam"})
    EXPECT_FALSE(c.value.setModuleFile(bad, "x").ok()) << bad;
  EXPECT_FALSE(fs::exists("/dev/.qosim/data/qo-vorlix/x.fam"));
  // A board brings its own module file along; it stays installed after the board leaves.
  qosim::BoardSet set;
  set.add().withDefaults().withField("moduleFiles",
                                     json::array({{{"name", "own.fam"}, {"text", "t"}}}));
  ASSERT_TRUE(set.plug().ok());
  EXPECT_EQ(readFile(std::string(kModuleDir) + "/own.fam"), "t");
  ASSERT_TRUE(set.unplug().ok());
  EXPECT_TRUE(fs::exists(std::string(kModuleDir) + "/own.fam"));
}

// ---- board files
// ----------------------------------------------------------------------------------

using qotest::checkBoards;
using qotest::Outcome;

// A board file's entry for one interface, {"name": "..."}.
std::string interfaceEntry(const char* name) { return std::string(R"({"name": ")") + name + "\"}"; }

std::string board(const std::string& extra, const std::string& device = "qovorlix7") {
  return R"({"device": ")" + device + R"(", "interfaces": [)" +
         interfaceEntry(qodrv::vorlixtarrow::kInterfaceName) + "]" +
         (extra.empty() ? "" : ", " + extra) + "}";
}

TEST(QosimBoardFile, ModelFieldsAreValidatedWithClearErrors) {
  const struct {
    std::string file;
    std::string message;
    // clang-format off
  } cases[] = {
      {R"({"boards": [)" + board(R"("productId": "0xZZ")") + "]}", "\"0xZZ\" is not an unsigned number"},
      {R"({"boards": [)" + board(R"("vendorId": 70000)") + "]}", "larger than 65535"},
      {R"({"boards": [)" + board(R"("fans": [1, -2])") + "]}", "\"fans\"[1]: must not be negative"},
      {R"({"boards": [)" + board(R"("temperatureLimit": [1, 2, 3])") + "]}", "one or two limits"},
      {R"({"boards": [)" + board(R"("temperature": [])") + "]}", "needs at least one value"},
      {R"({"boards": [)" + board(R"("module": {"revision": 1})") + "]}", "\"id\" is missing"},
      {R"({"boards": [)" + board(R"("module": "gone")") + "]}", "\"absent\" or \"unreadable\""},
      {R"({"boards": [)" + board(R"("moduleRecord": [1, 2])") + "]}", "must be 7 numbers"},
      {R"({"boards": [)" + board(R"("moduleRecord": [1, 2, 3, 4, 5, 6, 256])") + "]}", "larger than 255"},
      {R"({"boards": [)" + board(R"("topographyName": ")" + std::string(128, 'n') + "\"") + "]}",
       "longer than 127 bytes"},
      {R"({"boards": [)" + board(R"("dated0": {"second": 1})") + "]}", "unknown key \"second\""},
      {R"({"boards": [)" + board(R"("enumeration": {"faults": {"bogus": -1}})") + "]}",
       "not an enumeration operation"},
      {R"({"boards": [)" + board(R"("fanSpeed": {"index": 0, "value": 1})") + "]}", "run-time change"},
      {R"({"boards": [)" + board(R"("moduleFiles": [{"name": "../x.fam", "text": ""}])") + "]}",
       "must not contain '/' or \"..\""},
      {R"({"boards": [)" + board("") + ", " + board("", "other7") + "]}", "device number 7 is already used by qovorlix7"},
      {R"({"boards": [)" + board(R"("busProperties": {"pciBusNumber": 3})") + ", " +
           board(R"("busProperties": {"pciBusNumber": 3})", "qovorlix8") + "]}",
       "PCI address 3:0.0 is already used by qovorlix7"},
      {R"({"boards": [], "moduleFiles": [{"name": "a/b", "text": ""}]})", "must not contain '/'"},
      {R"({"boards": [], "enumeration": {"faults": {"deviceAt": -1}}})", "machine-wide"},
      {R"({"boards": [], "moduleFiles": [{"name": "a.fam"}]})", "\"text\" is missing"},
  };
  // clang-format on
  for (const auto& c : cases) {
    Outcome o = checkBoards(c.file);
    EXPECT_EQ(o.status, 65) << c.file << "\n" << o.output;
    EXPECT_NE(o.output.find(c.message), std::string::npos) << c.file << "\n" << o.output;
  }
  Outcome good =
      checkBoards(R"({"boards": [)" + board(R"("module": {"id": "0x5C710101"}, "fans": [])") +
                  R"(], "moduleFiles": [{"name": "a.fam", "text": "[common]"}]})");
  EXPECT_EQ(good.status, 0) << good.output;
  EXPECT_NE(good.output.find("module file a.fam"), std::string::npos) << good.output;
}

}  // namespace
