// The library's component name, written into every status record and exception context.
#pragma once

namespace nQOVORLIXATOMICSAE_23_3 {
inline constexpr char kComponentName[] = "qovorlixatomicsae";
}  // namespace nQOVORLIXATOMICSAE_23_3
