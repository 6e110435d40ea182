#include "qo/dsc/osdep/AbsTimeToString.h"

#include <limits>
#include <type_traits>

#include "qo/dsc/exception.h"

namespace qo::dsc {
namespace {

static_assert(std::is_signed_v<std::time_t> && sizeof(std::time_t) == 8,
              "time_t holds signed 64-bit seconds");

constexpr std::uint64_t kHalfSecond = std::uint64_t{1} << 63;

[[noreturn]] void raiseOutOfRange(std::uint32_t line) {
  throw exception::OutOfRange(line, exception::kAbsTimeToStringSource);
}

}  // namespace

std::int64_t timestampToPosixSeconds(const mxSysAttrTimestampUTC& timestamp, bool round) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (timestamp.seconds < kMin + kTimestampEpochOffset) {
    raiseOutOfRange(kTimestampToLocalTimeLine);
  }
  std::int64_t seconds = timestamp.seconds - kTimestampEpochOffset;
  if (round) {
    const bool up = timestamp.fraction > kHalfSecond ||
                    (timestamp.fraction == kHalfSecond && (seconds & 1) != 0);
    // seconds is at most INT64_MAX - kTimestampEpochOffset here, so this cannot overflow.
    if (up) ++seconds;
  }
  return seconds;
}

std::tm timestampToLocalTime(const mxSysAttrTimestampUTC& timestamp, bool round) {
  const std::time_t seconds = static_cast<std::time_t>(timestampToPosixSeconds(timestamp, round));
  std::tm result{};
  if (localtime_r(&seconds, &result) == nullptr) {
    raiseOutOfRange(kTimestampToLocalTimeLine);
  }
  return result;
}

mxSysAttrTimestampUTC localTimeToTimestamp(const std::tm& localTime) {
  std::tm copy = localTime;
  // mktime answers -1 both for an error and for 1969-12-31 23:59:59 UTC; it fills tm_wday only
  // on success, so a value it never produces tells the two apart.
  copy.tm_wday = -1;
  const std::time_t seconds = std::mktime(&copy);
  if (seconds == static_cast<std::time_t>(-1) && copy.tm_wday == -1) {
    raiseOutOfRange(kLocalTimeToTimestampLine);
  }
  const std::int64_t posix = static_cast<std::int64_t>(seconds);
  if (posix > std::numeric_limits<std::int64_t>::max() - kTimestampEpochOffset) {
    raiseOutOfRange(kLocalTimeToTimestampLine);
  }
  return mxSysAttrTimestampUTC{0, posix + kTimestampEpochOffset};
}

}  // namespace qo::dsc
