#include "Firmware.h"

namespace qosim {

using nlohmann::json;

bool FirmwareEngine::start(SteadyTime now, std::uint32_t durationMs, std::string target,
                           std::uint64_t size, std::uint32_t flag, std::string hash,
                           std::optional<std::uint32_t> newVersion) {
  if (running(now)) return false;
  started_ = true;
  start_ = now;
  durationMs_ = durationMs;
  target_ = std::move(target);
  size_ = size;
  flag_ = flag;
  hash_ = std::move(hash);
  newVersion_ = newVersion;
  loadedAtPowerCycle_ = false;
  failStatus_.reset();
  if (fault_) {
    failStatus_ = fault_->status;
    failAtPercent_ = fault_->atPercent;
    failProgressOnly_ = fault_->progressOnly;
    if (fault_->remaining > 0 && --fault_->remaining == 0) fault_.reset();
  }
  return true;
}

FirmwareProgress FirmwareEngine::progress(SteadyTime now) const {
  FirmwareProgress p;
  if (!started_) return p;
  p.known = true;
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
  const std::uint64_t elapsed = elapsedMs < 0 ? 0 : static_cast<std::uint64_t>(elapsedMs);
  const std::uint64_t duration = durationMs_;
  if (failStatus_ && !failProgressOnly_) {
    const std::uint64_t failAt = duration * failAtPercent_ / 100;
    if (elapsed >= failAt) {
      p.percent = failAtPercent_;
      p.finished = true;
      p.result = *failStatus_;
      return p;
    }
  } else if (elapsed >= duration) {
    p.percent = 100;
    p.finished = true;
    p.second = !loadedAtPowerCycle_;
    return p;
  }
  p.busy = true;
  p.percent =
      duration == 0
          ? 0
          : static_cast<std::uint32_t>(std::min<std::uint64_t>(elapsed * 100 / duration, 99));
  if (failStatus_ && failProgressOnly_ && p.percent >= failAtPercent_) p.pollStatus = *failStatus_;
  return p;
}

std::optional<std::uint32_t> FirmwareEngine::powerCycle(SteadyTime now) {
  FirmwareProgress p = progress(now);
  if (!p.finished || p.result != 0 || loadedAtPowerCycle_) return std::nullopt;
  loadedAtPowerCycle_ = true;
  return newVersion_;
}

json FirmwareEngine::toJson(SteadyTime now) const {
  FirmwareProgress p = progress(now);
  json j{{"started", p.known}, {"percent", p.percent},   {"busy", p.busy},
         {"second", p.second}, {"finished", p.finished}, {"result", p.result}};
  if (started_) {
    j["target"] = target_;
    j["size"] = size_;
    j["flag"] = flag_;
    j["hash"] = hash_;
    j["durationMs"] = durationMs_;
  }
  if (fault_)
    j["fault"] = {{"status", fault_->status},
                  {"atPercent", fault_->atPercent},
                  {"count", fault_->remaining},
                  {"operation", fault_->progressOnly ? "progress" : "update"}};
  return j;
}

}  // namespace qosim
