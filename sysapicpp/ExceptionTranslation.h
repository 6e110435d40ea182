// How failures become host result codes. Both functions must be called from inside a catch
// handler: they rethrow the exception in flight to look at it.
#pragma once

#include <cstdint>

#include "sysapicpp/com/types.h"

namespace sysapicpp {

// Result code of a device-layer status number:
//   0 -> S_OK; -52000 -> 0x8007000E; -52002 -> 0x80004001; -52006 -> 0x80040375;
//   -52009, -52010, -52020 -> 0x80040383; -52027 -> 0x80040382; any other -> 0x80004005.
HRESULT hresultFromStatusNumber(std::int32_t statusNumber) noexcept;

// The device expert's translation: a qoerr::ExceptionBase in flight is mapped by its status
// number; any other exception propagates unchanged (rethrown).
HRESULT translateDeviceException();

// The boundary's own classification, first match wins: std::bad_alloc -> 0x8007000E;
// HResultException -> its code; any other std::exception -> 0x80004005; a thrown int -> that
// value when negative, 0x80004005 otherwise; anything else -> 0x80004005. Never throws. The
// one classification of the exported boundaries (the expert factory and the adapter).
HRESULT classifyCurrentException() noexcept;

}  // namespace sysapicpp
