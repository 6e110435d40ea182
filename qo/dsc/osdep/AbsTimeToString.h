// Conversion between the host's timestamps and calendar time in the local time zone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace qo::dsc {

// The host's UTC timestamp: a binary fraction of a second (2^64 units per second), then whole
// seconds counted from 1904-01-01 00:00:00 UTC. Crosses the host boundary as 16 bytes.
struct mxSysAttrTimestampUTC {
  std::uint64_t fraction;
  std::int64_t seconds;
};
static_assert(sizeof(mxSysAttrTimestampUTC) == 16);
static_assert(offsetof(mxSysAttrTimestampUTC, fraction) == 0);
static_assert(offsetof(mxSysAttrTimestampUTC, seconds) == 8);

// Seconds from 1904-01-01 to 1970-01-01.
inline constexpr std::int64_t kTimestampEpochOffset = 2082844800;

// Lines reported by the OutOfRange exceptions of the two conversions.
inline constexpr std::uint32_t kTimestampToLocalTimeLine = 71;
inline constexpr std::uint32_t kLocalTimeToTimestampLine = 97;

// POSIX seconds of `timestamp`. Without `round` the fraction is dropped; with `round` a
// fraction above one half rounds up and exactly one half rounds to the even second. Raises
// OutOfRange when the result does not fit in 64 bits.
std::int64_t timestampToPosixSeconds(const mxSysAttrTimestampUTC& timestamp, bool round);

// `timestamp` broken down in the local time zone (thread-safe). Raises OutOfRange when the
// system cannot represent the time.
std::tm timestampToLocalTime(const mxSysAttrTimestampUTC& timestamp, bool round);

// The timestamp (fraction 0) of a local calendar time, normalised as mktime does; tm_isdst is
// taken as given (negative: let the system decide). Raises OutOfRange when the time cannot be
// represented.
mxSysAttrTimestampUTC localTimeToTimestamp(const std::tm& localTime);

}  // namespace qo::dsc
