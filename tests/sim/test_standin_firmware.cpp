// The firmware stand-in inside a simulated machine, reached through the library's lazy loader
// (by name, as the firmware updater reaches the platform library): updates run in the
// simulator and their progress is reported until they finish; injected failures are the
// update's result.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "QosimClient.h"
#include "source/platform/PlatformLibraries.h"

namespace {

using VorlixSysapiExpert::firmwareLibrary;

constexpr std::int32_t kNoProgress = -304425;
constexpr char kTarget[] = "PXIe-VX210_KU035";

struct Progress {
  std::int32_t status = 0;
  std::int32_t percent = -1;
  std::uint8_t first = 7;
  std::uint8_t second = 7;
};
Progress progressOf(const std::string& device) {
  Progress p;
  p.status =
      firmwareLibrary().getFirmwareUpdateProgress(device.c_str(), &p.percent, &p.first, &p.second);
  return p;
}

std::string kelName(const qosim::BoardDesc& board) {
  return "KEL" + board.device.substr(8);  // "qovorlix<n>": device number n
}

std::vector<std::uint8_t> image(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return bytes;
}

class StandinFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &set_.add().withDefaults();
    ASSERT_TRUE(set_.plug().ok());
    name_ = kelName(*board_);
  }
  // Starts an update on a worker; its result is the future's value.
  std::future<std::int32_t> startUpdate(const std::vector<std::uint8_t>& bytes, int flag = 0) {
    return std::async(std::launch::async, [this, &bytes, flag] {
      return firmwareLibrary().updateFirmware(name_.c_str(), kTarget, bytes.size(), bytes.data(),
                                              flag);
    });
  }

  qosim::BoardSet set_;
  qosim::BoardDesc* board_ = nullptr;
  std::string name_;
};

TEST_F(StandinFirmware, BeforeTheFirstUpdateThereIsNoProgressAndTheOutputsStay) {
  const Progress p = progressOf(name_);
  EXPECT_EQ(p.status, kNoProgress);
  EXPECT_EQ(p.percent, -1);
  EXPECT_EQ(p.first, 7);
  EXPECT_EQ(p.second, 7);
}

TEST_F(StandinFirmware, AnUpdateRunsToTheEndWhileProgressFollowsIt) {
  ASSERT_TRUE(set_.client().firmwareConfig(board_->device, 400).ok());
  const std::vector<std::uint8_t> bytes = image(4096);
  auto update = startUpdate(bytes, 1);
  // While it runs: busy, percent between 0 and 100, rising.
  bool sawBusy = false;
  std::int32_t last = 0;
  while (update.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    const Progress p = progressOf(name_);
    if (p.status == kNoProgress) continue;  // not started in the simulator yet
    ASSERT_EQ(p.status, 0);
    if (p.first == 1) {
      sawBusy = true;
      EXPECT_GE(p.percent, last);
      EXPECT_LE(p.percent, 100);
      last = p.percent;
    }
  }
  EXPECT_EQ(update.get(), 0);
  EXPECT_TRUE(sawBusy);
  const Progress done = progressOf(name_);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.percent, 100);
  EXPECT_EQ(done.first, 0) << "busy clears when the update is finished";
  EXPECT_EQ(done.second, 1) << "the new image waits for the next power cycle";

  // What the simulator received: the target, the size, the flag and the image's hash.
  const auto model = set_.client().getBoard(board_->device);
  ASSERT_TRUE(model.ok()) << model.error;
  const auto& state = model.value.at("firmwareState");
  EXPECT_EQ(state.at("target"), kTarget);
  EXPECT_EQ(state.at("size"), 4096);
  EXPECT_EQ(state.at("flag"), 1);
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 0x100000001b3ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  EXPECT_EQ(state.at("hash"), hex);
}

TEST_F(StandinFirmware, AnInjectedFailureIsTheUpdatesResult) {
  ASSERT_TRUE(set_.client().firmwareConfig(board_->device, 100).ok());
  ASSERT_TRUE(
      set_.client().firmwareFault(board_->device, qosim::FirmwareFaultSpec{-52024, 30, 1}).ok());
  const std::vector<std::uint8_t> bytes = image(100);
  EXPECT_EQ(firmwareLibrary().updateFirmware(name_.c_str(), kTarget, bytes.size(), bytes.data(), 0),
            -52024);
  const Progress p = progressOf(name_);
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.first, 0);
  EXPECT_EQ(p.second, 0) << "no new image after a failed update";
}

TEST_F(StandinFirmware, ASecondUpdateWhileOneRunsIsRefusedAsBusy) {
  ASSERT_TRUE(set_.client().firmwareConfig(board_->device, 600).ok());
  const std::vector<std::uint8_t> bytes = image(64);
  auto first = startUpdate(bytes);
  while (progressOf(name_).first != 1) {
    ASSERT_NE(first.wait_for(std::chrono::milliseconds(2)), std::future_status::ready);
  }
  EXPECT_EQ(firmwareLibrary().updateFirmware(name_.c_str(), kTarget, bytes.size(), bytes.data(), 0),
            -52031);
  EXPECT_EQ(first.get(), 0);
}

TEST_F(StandinFirmware, AnUnknownBoardIsNotFound) {
  const std::vector<std::uint8_t> bytes = image(16);
  EXPECT_EQ(firmwareLibrary().updateFirmware("KEL4000000", kTarget, bytes.size(), bytes.data(), 0),
            -52006);
  std::int32_t percent = 5;
  std::uint8_t first = 5;
  std::uint8_t second = 5;
  EXPECT_EQ(firmwareLibrary().getFirmwareUpdateProgress("KEL4000000", &percent, &first, &second),
            -52006);
  EXPECT_EQ(percent, 5);
}

}  // namespace
