// Writes a firmware image into one board through the family's firmware library, on a worker
// thread of its own, and reports progress when the host polls.
//
// The updater is both the body (iThread) and the controller (tThreadController) of its worker.
// start() and getProgress() run on host threads, serialised by the owning item's firmware lock;
// run() runs on the worker. The worker writes only the message and, last, the "worker ended"
// flag (an atomic), so the message has a lock of its own (a leaf: nothing else is locked while
// it is held). The destructor joins the worker before any member is released, so the image copy
// outlives the library call.
//
// An update that ends before the library has any progress to report (the progress call answers
// kNoProgress throughout) does not stay busy: once its worker has ended, the updater is finished
// with the worker's message, and a new update may start. A worker that cannot start leaves the
// updater finished too, with "Error: " and the status. While the worker is inside the library's
// update call, a "not busy" progress report is an earlier update's and is not taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qoapal/protons/thread/tThreadController.h"
#include "qoapal/quarks/thread/iThread.h"
#include "sysapicpp/propbag/BinaryImageHandle.h"

namespace VorlixSysapiExpert {

// The two calls of the firmware library the updater makes (their shapes are the library's).
class iFirmwareLibrary {
 public:
  virtual ~iFirmwareLibrary() = default;
  virtual std::int32_t updateFirmware(const char* deviceName, const char* targetName,
                                      std::uint64_t imageSize, const void* imageData, int flag) = 0;
  virtual std::int32_t getFirmwareUpdateProgress(const char* deviceName, std::int32_t* percent,
                                                 std::uint8_t* first, std::uint8_t* second) = 0;
};

// The platform's firmware library, loaded at first use (source/platform/PlatformLibraries).
iFirmwareLibrary& platformFirmwareLibrary();

class FirmwareUpdater : public nQOVORLIXATOMICSAE_23_3::nQOAPAL000::iThread,
                        public nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tThreadController {
 public:
  static constexpr char kSourceName[] = "source/FirmwareUpdater";
  static constexpr int kLineInvalidImage = 34;
  static constexpr int kLineWrongState = 46;
  static constexpr int kLineBadImage = 56;
  static constexpr std::int32_t kNoProgress = -304425;
  static constexpr char kThreadName[] = "qovorlixatomicsae";

  // `library` must outlive the updater; by default the platform's.
  FirmwareUpdater(std::string itemName, std::string targetDescription,
                  iFirmwareLibrary& library = platformFirmwareLibrary());
  ~FirmwareUpdater() override;
  FirmwareUpdater(const FirmwareUpdater&) = delete;
  FirmwareUpdater& operator=(const FirmwareUpdater&) = delete;

  // Copies the image and starts the worker. Throws InvalidArgException (null data or empty
  // image), FirmwareWrongStateException (the library reports an update in progress),
  // FirmwareBadImageException (the image became unreadable while it was copied),
  // HResultException (a failing image call) or qoerr::Exception (the worker cannot start).
  void start(const sysapicpp::BinaryImageHandle& image, std::uint8_t updateFlag);
  // The library's progress status; the outputs are the values kept from the last report that
  // was not kNoProgress, and the message of the last finished update.
  std::int32_t getProgress(bool& busy, std::int32_t& percent, bool& second, std::string& message);

  // The target name the library receives for a target description.
  static std::string targetNameOf(const std::string& targetDescription);

  void run() override;

 private:
  void setErrorMessage(std::int64_t status);

  iFirmwareLibrary& library_;
  std::vector<std::uint8_t> image_;
  std::string itemName_;
  std::string targetDescription_;
  std::int32_t percent_ = 0;
  bool second_ = false;
  bool busy_ = false;
  std::uint8_t updateFlag_ = 0;
  std::string message_;  // guarded by messageLock_
  std::mutex messageLock_;
  // Set by start() before the worker starts, cleared by the worker as its last step.
  std::atomic<bool> workerActive_{false};
};

}  // namespace VorlixSysapiExpert
