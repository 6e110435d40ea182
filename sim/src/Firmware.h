// The simulated firmware engine of one board: a timed update whose progress is computed from the
// time elapsed since it started (steady clock; no thread of its own), optional injected failures
// at a given percentage, and the "second" flag that tells the new image is loaded at the board's
// next power cycle. Driven by the control requests firmware-update, firmware-progress,
// firmware-fault, firmware-config and power-cycle (sim/README.md); the firmware stand-in library
// speaks to them (platform/include/qostandin/qoPlatformStandinContract.h).
//
// Not thread-safe on its own: the Machine holds its mutex around every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qosim {

using SteadyTime = std::chrono::steady_clock::time_point;

struct FirmwareFault {
  std::int32_t status = 0;
  std::uint32_t atPercent = 50;  // 0..100
  long remaining = 1;            // updates that fail; -1 = until cleared
  // "progress": the update itself succeeds, but from atPercent until it finishes every
  // progress poll answers `status` instead of the progress.
  bool progressOnly = false;
};

struct FirmwareProgress {
  bool known = false;  // false before the board's first update (kNoFirmwareProgress)
  std::uint32_t percent = 0;
  bool busy = false;
  bool second = false;
  bool finished = false;
  std::int32_t result = 0;
  std::int32_t pollStatus = 0;  // what the progress poll answers (an injected progress fault)
};

class FirmwareEngine {
 public:
  // Starts an update; fails (returns false) when one is still running at `now`.
  bool start(SteadyTime now, std::uint32_t durationMs, std::string target, std::uint64_t size,
             std::uint32_t flag, std::string hash, std::optional<std::uint32_t> newVersion);
  FirmwareProgress progress(SteadyTime now) const;
  bool running(SteadyTime now) const { return progress(now).busy; }
  void setFault(std::optional<FirmwareFault> fault) { fault_ = fault; }
  const std::optional<FirmwareFault>& fault() const { return fault_; }
  // The board's power cycle: a successfully written image becomes the running one. Returns the
  // version word it carries (if any) and clears the "second" flag.
  std::optional<std::uint32_t> powerCycle(SteadyTime now);
  nlohmann::json toJson(SteadyTime now) const;

 private:
  bool started_ = false;
  SteadyTime start_{};
  std::uint32_t durationMs_ = 0;
  std::optional<std::int32_t> failStatus_;  // the injected failure of the current update
  std::uint32_t failAtPercent_ = 0;
  bool failProgressOnly_ = false;    // the injected failure hits the progress polls only
  bool loadedAtPowerCycle_ = false;  // a power cycle happened after the last successful update
  std::string target_, hash_;
  std::uint64_t size_ = 0;
  std::uint32_t flag_ = 0;
  std::optional<std::uint32_t> newVersion_;
  std::optional<FirmwareFault> fault_;
};

}  // namespace qosim
