// qovorlixapi: firmware updates of Vorlix boards.
//
//   qoVorlix_UpdateFirmware(device, target, size, data, flag)
//       Writes the image data[0..size) into the board named `device` ("KEL<n>") for the target
//       `target`; returns when the update is finished. 0 on success, a negative status
//       otherwise (kInvalidParameter for a null text, null data or an empty image).
//   qoVorlix_GetFirmwareUpdateProgress(device, &percent, &first, &second)
//       Progress of the board's update: percent, first flag (an update is running), second
//       flag (a new image waits for the board's next power cycle). kNoProgress when there is
//       nothing to report; the outputs are then left untouched.
#pragma once

#include <cstdint>

extern "C" {
std::int32_t qoVorlix_UpdateFirmware(const char* device, const char* target, std::uint64_t size,
                                     const void* data, int flag);
std::int32_t qoVorlix_GetFirmwareUpdateProgress(const char* device, std::int32_t* percent,
                                                std::uint8_t* first, std::uint8_t* second);
}

namespace qovorlixapi {
inline constexpr std::int32_t kNoProgress = -304425;
inline constexpr std::int32_t kInvalidParameter = -52005;

using tUpdateFirmware = std::int32_t (*)(const char*, const char*, std::uint64_t, const void*, int);
using tGetFirmwareUpdateProgress = std::int32_t (*)(const char*, std::int32_t*, std::uint8_t*,
                                                    std::uint8_t*);
inline constexpr char kLibraryName[] = "libqovorlixapi.so.1";
}  // namespace qovorlixapi
