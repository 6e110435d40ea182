// The firmware updater against the firmware stand-in in the simulated machine: an update runs
// to 100 percent, a busy board refuses a second start, an injected failure becomes the message.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "source/FirmwareUpdater.h"
#include "sysapicpp/HResultException.h"
#include "tests/unit/FirmwareProgress.h"

using namespace VorlixSysapiExpert;

namespace {

class ImageBytes final : public ImxSysBinaryImage {
 public:
  explicit ImageBytes(std::size_t size) : bytes_(size) {
    for (std::size_t i = 0; i < size; ++i) bytes_[i] = static_cast<std::uint8_t>(i);
  }
  HRESULT QueryInterface(const GUID*, void**) override { return E_NOTIMPL; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetSize(unsigned* size) override {
    *size = static_cast<unsigned>(bytes_.size());
    return S_OK;
  }
  HRESULT GetData(void** data) override {
    *data = bytes_.data();
    return S_OK;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

using firmwaretest::poll;
using firmwaretest::Progress;

// Polls until the update is no longer busy; the percentages seen on the way.
std::vector<std::int32_t> waitUntilIdle(FirmwareUpdater& updater, Progress& last) {
  std::vector<std::int32_t> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    last = poll(updater);
    seen.push_back(last.percent);
  } while (last.busy && std::chrono::steady_clock::now() < deadline);
  return seen;
}

}  // namespace

TEST(FirmwareUpdaterSim, NothingToReportBeforeTheFirstUpdate) {
  FirmwareUpdater updater("KEL0", "QO PXIe-QM-110 (KU035)");
  Progress p = poll(updater);
  EXPECT_EQ(p.status, FirmwareUpdater::kNoProgress);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.percent, 0);
}

TEST(FirmwareUpdaterSim, UpdateRunsToCompletionAndRefusesASecondStartMeanwhile) {
  auto connected = qosim::Client::connect();
  ASSERT_TRUE(connected.ok()) << connected.error;
  qosim::Client& client = connected.value;
  ASSERT_TRUE(client.firmwareConfig("qovorlix0", 400).ok());
  FirmwareUpdater updater("KEL0", "QO PXIe-QM-110 (KU035)");
  ImageBytes image(64 * 1024);
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);

  // Wait for the library to report the update, then a second start is refused.
  Progress p;
  for (int i = 0; i < 200 && !(p.status == 0 && p.busy); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    p = poll(updater);
  }
  ASSERT_TRUE(p.busy);
  try {
    updater.start(sysapicpp::BinaryImageHandle(&image), 0);
    FAIL() << "a second start was accepted";
  } catch (const sysapicpp::FirmwareWrongStateException& e) {
    EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80040385u));
  }

  auto seen = waitUntilIdle(updater, p);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.message, "");
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  updater.join();
  auto board = client.getBoard("qovorlix0");
  ASSERT_TRUE(board.ok()) << board.error;
}

TEST(FirmwareUpdaterSim, InjectedFailureBecomesTheMessage) {
  auto connected = qosim::Client::connect();
  ASSERT_TRUE(connected.ok()) << connected.error;
  qosim::Client& client = connected.value;
  qosim::FirmwareFaultSpec fault;
  fault.status = -7;
  fault.atPercent = 30;
  ASSERT_TRUE(client.firmwareFault("qovorlix1", fault).ok());
  FirmwareUpdater updater("KEL1", "QO PXIe-VX214");
  ImageBytes image(4096);
  updater.start(sysapicpp::BinaryImageHandle(&image), 1);
  updater.join();  // the library call returns when the update has ended
  Progress p;
  waitUntilIdle(updater, p);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.message, "Error: -7");
  EXPECT_LT(p.percent, 100);
}

TEST(FirmwareUpdaterSim, UnknownBoardIsReportedByTheLibrary) {
  FirmwareUpdater updater("KEL77", "Unknown");
  ImageBytes image(16);
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  updater.join();
  Progress p = poll(updater);
  EXPECT_EQ(p.message, "Error: -52006");
  // Finished, not busy for good: another update may start.
  EXPECT_FALSE(p.busy);
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  updater.join();
  EXPECT_FALSE(poll(updater).busy);
}
