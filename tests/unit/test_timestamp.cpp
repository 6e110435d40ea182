#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "qo/dsc/exception.h"
#include "qo/dsc/osdep/AbsTimeToString.h"

namespace {

using qo::dsc::localTimeToTimestamp;
using qo::dsc::mxSysAttrTimestampUTC;
using qo::dsc::timestampToLocalTime;
using qo::dsc::timestampToPosixSeconds;
namespace ex = qo::dsc::exception;

constexpr std::int64_t kEpoch = 2082844800;
constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Runs each test in a fixed time zone and restores the process's zone afterwards.
class InZone : public testing::Test {
 protected:
  void use(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    use("UTC0");
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

void expectCalendar(const std::tm& tm, int year, int month, int day, int hour, int minute,
                    int second) {
  EXPECT_EQ(tm.tm_year + 1900, year);
  EXPECT_EQ(tm.tm_mon + 1, month);
  EXPECT_EQ(tm.tm_mday, day);
  EXPECT_EQ(tm.tm_hour, hour);
  EXPECT_EQ(tm.tm_min, minute);
  EXPECT_EQ(tm.tm_sec, second);
}

// ---------------------------------------------------------------------------------------------
TEST(TimestampLayout, IsFractionThenSeconds) {
  mxSysAttrTimestampUTC ts{0x1122334455667788u, -2};
  unsigned char raw[16];
  static_assert(sizeof raw == sizeof ts);
  std::memcpy(raw, &ts, sizeof ts);
  EXPECT_EQ(raw[0], 0x88);  // little-endian fraction first
  EXPECT_EQ(raw[8], 0xFE);  // then the seconds
  EXPECT_EQ(raw[15], 0xFF);
}

// ---------------------------------------------------------------------------------------------
using TimestampToLocalTime = InZone;

TEST_F(TimestampToLocalTime, PosixEpochIsStartOf1970) {
  expectCalendar(timestampToLocalTime({0, kEpoch}, false), 1970, 1, 1, 0, 0, 0);
  expectCalendar(timestampToLocalTime({0, 0}, false), 1904, 1, 1, 0, 0, 0);
  expectCalendar(timestampToLocalTime({0, kEpoch + 1700000000}, false), 2023, 11, 14, 22, 13, 20);
}

TEST_F(TimestampToLocalTime, BreaksDownInTheLocalZone) {
  use("XST-2");  // two hours east of UTC, no daylight saving
  expectCalendar(timestampToLocalTime({0, kEpoch}, false), 1970, 1, 1, 2, 0, 0);
  use("XST5");
  expectCalendar(timestampToLocalTime({0, kEpoch}, false), 1969, 12, 31, 19, 0, 0);
}

TEST_F(TimestampToLocalTime, DropsTheFractionWithoutRounding) {
  expectCalendar(timestampToLocalTime({~std::uint64_t{0}, kEpoch}, false), 1970, 1, 1, 0, 0, 0);
}

TEST_F(TimestampToLocalTime, RoundsAboveHalfUpAndHalfToEven) {
  EXPECT_EQ(timestampToPosixSeconds({kHalf + 1, kEpoch + 10}, true), 11);
  EXPECT_EQ(timestampToPosixSeconds({kHalf - 1, kEpoch + 10}, true), 10);
  EXPECT_EQ(timestampToPosixSeconds({kHalf, kEpoch + 10}, true), 10);  // even stays
  EXPECT_EQ(timestampToPosixSeconds({kHalf, kEpoch + 11}, true), 12);  // odd goes to even
  EXPECT_EQ(timestampToPosixSeconds({kHalf, kEpoch - 3}, true), -2);
  EXPECT_EQ(timestampToPosixSeconds({kHalf, kEpoch - 4}, true), -4);
  EXPECT_EQ(timestampToPosixSeconds({kHalf + 1, kEpoch + 11}, false), 11);
  expectCalendar(timestampToLocalTime({kHalf, kEpoch + 59}, true), 1970, 1, 1, 0, 1, 0);
}

TEST_F(TimestampToLocalTime, RefusesTimesOutsideTheRange) {
  for (const mxSysAttrTimestampUTC ts :
       {mxSysAttrTimestampUTC{0, kMin}, mxSysAttrTimestampUTC{0, kMin + kEpoch - 1},
        mxSysAttrTimestampUTC{0, kMax}, mxSysAttrTimestampUTC{~std::uint64_t{0}, kMax}}) {
    try {
      timestampToLocalTime(ts, true);
      FAIL() << "no exception for " << ts.seconds;
    } catch (const ex::OutOfRange& e) {
      EXPECT_EQ(e.line(), 71u);
      EXPECT_STREQ(e.file(), "qo/dsc/osdep/AbsTimeToString");
    }
  }
  // The largest timestamps still convert to seconds; only the calendar refuses them.
  EXPECT_EQ(timestampToPosixSeconds({~std::uint64_t{0}, kMax}, true), kMax - kEpoch + 1);
  EXPECT_THROW(timestampToPosixSeconds({0, kMin}, false), ex::OutOfRange);
  EXPECT_EQ(timestampToPosixSeconds({~std::uint64_t{0}, kMax}, false), kMax - kEpoch);
  EXPECT_EQ(timestampToPosixSeconds({0, kMin + kEpoch}, false), kMin);
}

// ---------------------------------------------------------------------------------------------
using LocalTimeToTimestamp = InZone;

TEST_F(LocalTimeToTimestamp, InvertsTheBreakdown) {
  for (const char* zone : {"UTC0", "XST-2", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    use(zone);
    for (std::int64_t seconds :
         {std::int64_t{0}, kEpoch - 1, kEpoch, kEpoch + 1711846800, kEpoch + 1730000000}) {
      const std::tm tm = timestampToLocalTime({0, seconds}, false);
      const mxSysAttrTimestampUTC back = localTimeToTimestamp(tm);
      EXPECT_EQ(back.seconds, seconds) << zone;
      EXPECT_EQ(back.fraction, 0u);
    }
  }
}

TEST_F(LocalTimeToTimestamp, OneSecondBeforeThePosixEpochIsNotAnError) {
  std::tm tm{};
  tm.tm_year = 69;
  tm.tm_mon = 11;
  tm.tm_mday = 31;
  tm.tm_hour = 23;
  tm.tm_min = 59;
  tm.tm_sec = 59;
  EXPECT_EQ(localTimeToTimestamp(tm).seconds, kEpoch - 1);
}

TEST_F(LocalTimeToTimestamp, RefusesUnrepresentableTimes) {
  std::tm tm{};
  // The months carry the year beyond what the calendar fields can hold.
  tm.tm_year = std::numeric_limits<int>::max();
  tm.tm_mon = std::numeric_limits<int>::max();
  tm.tm_mday = 1;
  EXPECT_THROW(localTimeToTimestamp(tm), ex::OutOfRange);
}

}  // namespace
