#include "source/FirmwareUpdater.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <regex>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "source/platform/PlatformLibraries.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

using nQOVORLIXATOMICSAE_23_3::kComponentName;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {
sysapicpp::tRaiseContext at(int line) {
  return sysapicpp::tRaiseContext{FirmwareUpdater::kSourceName, line, kComponentName};
}
}  // namespace

namespace {
// The platform's firmware library behind the updater's two calls (loaded at first use; a missing
// library raises PlatformLibraryMissingException 0x8007007E from the call that needs it).
class tPlatformFirmwareLibrary final : public iFirmwareLibrary {
 public:
  std::int32_t updateFirmware(const char* deviceName, const char* targetName,
                              std::uint64_t imageSize, const void* imageData, int flag) override {
    return firmwareLibrary().updateFirmware(deviceName, targetName, imageSize, imageData, flag);
  }
  std::int32_t getFirmwareUpdateProgress(const char* deviceName, std::int32_t* percent,
                                         std::uint8_t* first, std::uint8_t* second) override {
    return firmwareLibrary().getFirmwareUpdateProgress(deviceName, percent, first, second);
  }
};
}  // namespace

iFirmwareLibrary& platformFirmwareLibrary() {
  static tPlatformFirmwareLibrary library;
  return library;
}

FirmwareUpdater::FirmwareUpdater(std::string itemName, std::string targetDescription,
                                 iFirmwareLibrary& library)
    : library_(library),
      itemName_(std::move(itemName)),
      targetDescription_(std::move(targetDescription)) {}

FirmwareUpdater::~FirmwareUpdater() {
  // The worker may still be inside the library with the image copy: wait before releasing it.
  join();
}

void FirmwareUpdater::start(const sysapicpp::BinaryImageHandle& image, std::uint8_t updateFlag) {
  if (image.data() == nullptr || image.size() == 0)
    throw sysapicpp::InvalidArgException(at(kLineInvalidImage));

  bool busy = false;
  std::int32_t percent = 0;
  bool second = false;
  std::string message;
  getProgress(busy, percent, second, message);
  if (busy) throw sysapicpp::FirmwareWrongStateException(at(kLineWrongState));

  // The worker of the previous update may still be finishing (the library can report "not
  // busy" a moment before its update call returns): it is joined before its image is replaced.
  join();

  try {
    const std::uint32_t size = image.size();
    image_.resize(size);
    const void* data = image.data();
    if (data == nullptr && size != 0) throw sysapicpp::FirmwareBadImageException(at(kLineBadImage));
    if (size != 0) std::memcpy(image_.data(), data, size);
  } catch (const qoerr::Exception&) {
    throw sysapicpp::FirmwareBadImageException(at(kLineBadImage));
  }

  updateFlag_ = updateFlag;
  {
    std::lock_guard<std::mutex> lock(messageLock_);
    message_.clear();
  }
  percent_ = 0;
  busy_ = true;

  tStatus status;
  workerActive_.store(true, std::memory_order_release);
  tThreadController::start(this, 0, kThreadName, &status);
  if (status.isFatal()) {
    // No worker: the update is over before it began, and the next one may start.
    workerActive_.store(false, std::memory_order_release);
    busy_ = false;
    setErrorMessage(status.code);
    qoerr::throwIfFailed(status);
  }
}

void FirmwareUpdater::setErrorMessage(std::int64_t status) {
  char text[32];
  std::snprintf(text, sizeof text, "Error: %lld", static_cast<long long>(status));
  std::lock_guard<std::mutex> lock(messageLock_);
  message_ = text;
}

std::int32_t FirmwareUpdater::getProgress(bool& busy, std::int32_t& percent, bool& second,
                                          std::string& message) {
  std::int32_t reported = 0;
  std::uint8_t first = 0, secondFlag = 0;
  const std::int32_t status =
      library_.getFirmwareUpdateProgress(itemName_.c_str(), &reported, &first, &secondFlag);
  const bool workerActive = workerActive_.load(std::memory_order_acquire);
  if (status != kNoProgress) {
    // The library's update call returns only when the update has ended: a "not busy" report
    // while the worker is still inside it belongs to an earlier update (the new one has not
    // reached the library yet) and is not taken.
    if (first != 0 || !workerActive) {
      percent_ = reported;
      busy_ = first != 0;
      second_ = secondFlag != 0;
    }
  } else if (busy_ && !workerActive) {
    // The worker has ended and the library never reported this update: it is finished (its
    // message, read below, was written before the worker ended).
    busy_ = false;
  }
  busy = busy_;
  percent = percent_;
  second = second_;
  {
    std::lock_guard<std::mutex> lock(messageLock_);
    message = message_;
  }
  return status;
}

std::string FirmwareUpdater::targetNameOf(const std::string& targetDescription) {
  static const std::regex whitespace("[\\s]", std::regex::ECMAScript);
  static const std::regex removed("[()]|QO_", std::regex::ECMAScript);
  std::string target = std::regex_replace(targetDescription, whitespace, "_");
  return std::regex_replace(target, removed, "");
}

void FirmwareUpdater::run() {
  std::int32_t status = 0;
  try {
    const std::string target = targetNameOf(targetDescription_);
    status = library_.updateFirmware(itemName_.c_str(), target.c_str(), image_.size(),
                                     image_.data(), updateFlag_);
  } catch (const sysapicpp::HResultException& e) {
    status = e.code();  // the library could not be reached: reported like its own failure
  } catch (const std::bad_alloc&) {
    // The update never reached the library; it still has to end, or the item stays busy.
    status = static_cast<std::int32_t>(nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus::kMemoryFull);
  }
  try {
    if (status != 0) setErrorMessage(status);
  } catch (const std::bad_alloc&) {
    // without its message: the end of the update below matters more
  }
  workerActive_.store(false, std::memory_order_release);
}

}  // namespace VorlixSysapiExpert
