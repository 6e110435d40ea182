// The firmware updater against a scripted firmware library: refusals, the private image copy,
// the worker's target name and error message, and progress kept across "no progress" answers.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qo/err/Exception.h"
#include "source/FirmwareUpdater.h"
#include "sysapicpp/HResultException.h"
#include "tests/unit/FirmwareProgress.h"

using namespace VorlixSysapiExpert;

namespace {

// A host image over a byte vector; the failing results are chosen by the test.
class FakeImage final : public ImxSysBinaryImage {
 public:
  explicit FakeImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  HRESULT QueryInterface(const GUID*, void**) override { return E_NOTIMPL; }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT GetSize(unsigned* size) override {
    ++sizeCalls;
    if (sizeResult != S_OK) return sizeResult;
    *size = static_cast<unsigned>(bytes_.size());
    return S_OK;
  }
  HRESULT GetData(void** data) override {
    ++dataCalls;
    *data = nullData ? nullptr : bytes_.data();
    return S_OK;
  }
  int refs_ = 0;
  int sizeCalls = 0, dataCalls = 0;
  HRESULT sizeResult = S_OK;
  bool nullData = false;
  std::vector<std::uint8_t> bytes_;
};

// The library's two calls, scripted: progress answers come from the fields; an update blocks
// until released when `holdUpdate` is set.
class FakeLibrary final : public iFirmwareLibrary {
 public:
  std::int32_t updateFirmware(const char* device, const char* target, std::uint64_t size,
                              const void* data, int flag) override {
    std::unique_lock<std::mutex> lock(mutex);
    device_ = device;
    target_ = target;
    image_.assign(static_cast<const std::uint8_t*>(data),
                  static_cast<const std::uint8_t*>(data) + size);
    flag_ = flag;
    ++updates;
    cv.wait(lock, [&] { return !holdUpdate; });
    return updateStatus;
  }
  std::int32_t getFirmwareUpdateProgress(const char* device, std::int32_t* percent,
                                         std::uint8_t* first, std::uint8_t* second) override {
    std::lock_guard<std::mutex> lock(mutex);
    progressDevice_ = device;
    if (progressStatus == FirmwareUpdater::kNoProgress) return progressStatus;
    *percent = percentValue;
    *first = firstFlag;
    *second = secondFlag;
    return progressStatus;
  }
  // Later progress answers: `percent` with the first flag `first` (whether the library says it
  // is busy), under the lock the worker's calls take.
  void answerProgress(std::int32_t percent, std::uint8_t first) {
    std::lock_guard<std::mutex> lock(mutex);
    progressStatus = 0;
    percentValue = percent;
    firstFlag = first;
  }
  // Later progress calls report nothing new.
  void answerNoProgress() {
    std::lock_guard<std::mutex> lock(mutex);
    progressStatus = FirmwareUpdater::kNoProgress;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      holdUpdate = false;
    }
    cv.notify_all();
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool holdUpdate = false;
  std::int32_t updateStatus = 0;
  std::int32_t progressStatus = 0;
  std::int32_t percentValue = 0;
  std::uint8_t firstFlag = 0, secondFlag = 0;
  int updates = 0;
  std::string device_, target_, progressDevice_;
  std::vector<std::uint8_t> image_;
  int flag_ = -1;
};

using firmwaretest::poll;
using firmwaretest::Progress;

template <typename E>
void expectRaised(const std::function<void()>& f, int line) {
  try {
    f();
    FAIL() << "nothing thrown";
  } catch (const E& e) {
    EXPECT_EQ(e.code(), E::kCode);
    EXPECT_NE(std::string(e.details()).find("\"line\":" + std::to_string(line)), std::string::npos)
        << e.details();
    EXPECT_NE(std::string(e.details()).find("source/FirmwareUpdater"), std::string::npos);
  }
}

}  // namespace

TEST(FirmwareUpdaterTarget, DescriptionBecomesTargetName) {
  EXPECT_EQ(FirmwareUpdater::targetNameOf("QO PXIe-VX210 (KU035)"), "PXIe-VX210_KU035");
  EXPECT_EQ(FirmwareUpdater::targetNameOf("QO PXIe-QM-110 (KU060)"), "PXIe-QM-110_KU060");
  EXPECT_EQ(FirmwareUpdater::targetNameOf("Unknown"), "Unknown");
  EXPECT_EQ(FirmwareUpdater::targetNameOf("QO\tPCIe-VX213"), "PCIe-VX213");
}

TEST(FirmwareUpdaterStart, EmptyOrNullImageIsRefusedAndLeavesTheUpdaterIdle) {
  FakeLibrary library;
  FirmwareUpdater updater("KEL0", "QO PXIe-VX210", library);
  FakeImage empty({});
  expectRaised<sysapicpp::InvalidArgException>(
      [&] { updater.start(sysapicpp::BinaryImageHandle(&empty), 0); },
      FirmwareUpdater::kLineInvalidImage);
  FakeImage nullData({1, 2, 3});
  nullData.nullData = true;
  expectRaised<sysapicpp::InvalidArgException>(
      [&] { updater.start(sysapicpp::BinaryImageHandle(&nullData), 0); },
      FirmwareUpdater::kLineInvalidImage);
  EXPECT_EQ(library.updates, 0);
  Progress p = poll(updater);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.percent, 0);
}

TEST(FirmwareUpdaterStart, FailingImageCallPassesItsResult) {
  FakeLibrary library;
  FirmwareUpdater updater("KEL0", "QO PXIe-VX210", library);
  FakeImage image({1, 2, 3});
  image.sizeResult = static_cast<HRESULT>(0x80070005u);
  try {
    updater.start(sysapicpp::BinaryImageHandle(&image), 0);
    FAIL() << "nothing thrown";
  } catch (const sysapicpp::HResultException& e) {
    EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070005u));
  }
}

TEST(FirmwareUpdaterStart, UpdateInProgressIsRefused) {
  FakeLibrary library;
  library.firstFlag = 1;  // the library reports busy
  library.percentValue = 40;
  FirmwareUpdater updater("KEL3", "QO PXIe-VX210", library);
  FakeImage image({9, 9});
  expectRaised<sysapicpp::FirmwareWrongStateException>(
      [&] { updater.start(sysapicpp::BinaryImageHandle(&image), 0); },
      FirmwareUpdater::kLineWrongState);
  EXPECT_EQ(library.updates, 0);
  EXPECT_EQ(library.progressDevice_, "KEL3");
}

TEST(FirmwareUpdaterRun, CopiesTheImageAndPassesNameTargetAndFlag) {
  FakeLibrary library;
  FirmwareUpdater updater("KEL7", "QO PXIe-VX214 (KU060)", library);
  std::vector<std::uint8_t> bytes(100000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  FakeImage image(bytes);
  updater.start(sysapicpp::BinaryImageHandle(&image), 1);
  image.bytes_.assign(image.bytes_.size(), 0);  // the host may reuse its buffer at once
  updater.join();
  EXPECT_EQ(library.device_, "KEL7");
  EXPECT_EQ(library.target_, "PXIe-VX214_KU060");
  EXPECT_EQ(library.flag_, 1);
  EXPECT_EQ(library.image_, bytes);
  Progress p = poll(updater);
  EXPECT_EQ(p.message, "");
}

TEST(FirmwareUpdaterProgress, NoProgressKeepsTheLastValuesAndFailureGivesTheMessage) {
  FakeLibrary library;
  library.holdUpdate = true;
  library.updateStatus = -7;
  FirmwareUpdater updater("KEL1", "QO PXIe-VX210", library);
  FakeImage image({1, 2, 3, 4});

  library.progressStatus = FirmwareUpdater::kNoProgress;
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  Progress p = poll(updater);
  EXPECT_EQ(p.status, FirmwareUpdater::kNoProgress);
  EXPECT_TRUE(p.busy);  // set by start, kept
  EXPECT_EQ(p.percent, 0);

  library.answerProgress(55, 1);
  p = poll(updater);
  EXPECT_TRUE(p.busy);
  EXPECT_EQ(p.percent, 55);
  library.answerNoProgress();
  p = poll(updater);
  EXPECT_EQ(p.percent, 55);

  library.release();
  updater.join();
  library.answerProgress(60, 0);
  p = poll(updater);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.message, "Error: -7");

  // A new update clears the message.
  library.updateStatus = 0;
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  updater.join();
  p = poll(updater);
  EXPECT_EQ(p.message, "");
  EXPECT_EQ(library.updates, 2);
}

TEST(FirmwareUpdaterProgress, UpdateThatNeverReportedIsFinishedOnceItsWorkerEnds) {
  FakeLibrary library;
  library.holdUpdate = true;
  library.updateStatus = -9;
  library.progressStatus = FirmwareUpdater::kNoProgress;  // nothing to report, ever
  FirmwareUpdater updater("KEL4", "QO PXIe-VX210", library);
  FakeImage image({1, 2});
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  EXPECT_TRUE(poll(updater).busy);  // the worker is still inside the library
  library.answerProgress(100, 0);   // an earlier update's "finished at 100" is not this one's
  Progress stale = poll(updater);
  EXPECT_TRUE(stale.busy);
  EXPECT_EQ(stale.percent, 0);
  library.answerNoProgress();
  library.release();
  updater.join();
  Progress p = poll(updater);
  EXPECT_FALSE(p.busy);
  EXPECT_EQ(p.message, "Error: -9");
  library.updateStatus = 0;
  updater.start(sysapicpp::BinaryImageHandle(&image), 0);
  updater.join();
  EXPECT_EQ(library.updates, 2);
  EXPECT_EQ(poll(updater).message, "");
}

TEST(FirmwareUpdaterLifetime, DestructionWaitsForTheWorker) {
  FakeLibrary library;
  library.holdUpdate = true;
  std::vector<std::uint8_t> bytes(4096, 0xA5);
  FakeImage image(bytes);
  std::thread releaser;
  {
    FirmwareUpdater updater("KEL2", "QO PXIe-VX210", library);
    updater.start(sysapicpp::BinaryImageHandle(&image), 0);
    releaser = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      library.release();
    });
  }  // joins the worker, which still reads the copy
  releaser.join();
  EXPECT_EQ(library.image_, bytes);
}
