// One answer of FirmwareUpdater::getProgress, as the firmware tests poll it (with a fake
// firmware library here, with the simulated machine's stand-in in tests/sim).
#pragma once

#include <cstdint>
#include <string>

#include "source/FirmwareUpdater.h"

namespace firmwaretest {

struct Progress {
  std::int32_t status = 0;
  bool busy = false;
  std::int32_t percent = -1;  // getProgress always writes it
  bool second = false;
  std::string message;
};

inline Progress poll(VorlixSysapiExpert::FirmwareUpdater& updater) {
  Progress p;
  p.status = updater.getProgress(p.busy, p.percent, p.second, p.message);
  return p;
}

}  // namespace firmwaretest
