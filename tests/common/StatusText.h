// A platform status record as a failure message shows it: its code and where it was set.
#pragma once

#include <string>

#include "qoapal/status/tStatus.h"

namespace testsupport {

// "<code> from <component> <file>:<line>".
inline std::string statusText(const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus& status) {
  return std::to_string(status.code) + " from " + status.component + " " + status.file + ":" +
         std::to_string(status.line);
}

}  // namespace testsupport
