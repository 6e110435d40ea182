// The platform layer's namespaces under the short names the tests use: `apal` for the layer and
// `Codes` for its status codes.
#pragma once

#include "qoapal/status/tStatus.h"

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;
using Codes = nQOVORLIXATOMICSAE_23_3::nQOAPALS100::tStatus;
