#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qo/dsc/NumericCast.h"
#include "qo/dsc/SafeInteger.h"
#include "qo/dsc/exception.h"

namespace {

namespace ex = qo::dsc::exception;

// ---------------------------------------------------------------------------------------------
TEST(DscExceptions, ReportFixedTextsAndCodes) {
  struct Row {
    std::unique_ptr<ex::Exception> e;
    const char* text;
    std::uint32_t code;
  };
  Row rows[] = {
      {std::make_unique<ex::Exception>(1, "f"), "unspecified exception", 0xFFFFFFFFu},
      {std::make_unique<ex::OutOfRange>(1, "f"), "Out of range", 0x8ABC7007u},
      {std::make_unique<ex::InvalidArgument>(1, "f"), "Invalid argument(s)", 0x8ABC700Fu},
      {std::make_unique<ex::BufferOverflow>(1, "f"), "Buffer overflowed", 0x8ABC7017u},
      {std::make_unique<ex::InvalidLocale>(1, "f"), "Invalid locale", 0x8ABC7024u},
      {std::make_unique<ex::InvalidSequence>(1, "f"), "Invalid UTF8 encoding sequence",
       0x8ABC7030u},
  };
  for (const Row& row : rows) {
    const std::exception& base = *row.e;
    EXPECT_STREQ(base.what(), row.text);
    EXPECT_EQ(row.e->code(), row.code) << row.text;
  }
}

TEST(DscExceptions, CarryTheRaiseSite) {
  const ex::BufferOverflow e(125, "qo/dsc/SafeInteger");
  EXPECT_EQ(e.line(), 125u);
  EXPECT_STREQ(e.file(), "qo/dsc/SafeInteger");
  const ex::OutOfRange unnamed(3, nullptr);
  EXPECT_STREQ(unnamed.file(), "");
}

// ---------------------------------------------------------------------------------------------
TEST(NumericCastNarrowing, PassesValuesThatFit) {
  EXPECT_EQ(qo::dsc::hostStringLength(0), 0u);
  EXPECT_EQ(qo::dsc::hostStringLength(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_EQ(qo::dsc::numericCast<std::int32_t>(std::int64_t{-5}), -5);
  EXPECT_EQ(qo::dsc::numericCast<std::uint8_t>(255u), 255u);
}

TEST(NumericCastNarrowing, RefusesValuesThatDoNotFit) {
  try {
    qo::dsc::hostStringLength(std::size_t{0x100000000u});
    FAIL() << "no exception";
  } catch (const ex::OutOfRange& e) {
    EXPECT_EQ(e.line(), 67u);
    EXPECT_STREQ(e.file(), "qo/dsc/NumericCast");
    EXPECT_EQ(e.code(), 0x8ABC7007u);
  }
  EXPECT_THROW(qo::dsc::numericCast<std::uint32_t>(-1), ex::OutOfRange);
  EXPECT_THROW(qo::dsc::numericCast<std::uint8_t>(256), ex::OutOfRange);
  EXPECT_THROW(qo::dsc::numericCast<std::int32_t>(std::numeric_limits<std::int64_t>::min()),
               ex::OutOfRange);
}

// ---------------------------------------------------------------------------------------------
TEST(SafeIntegerGrowth, DoublesAndCoversTheWantedCount) {
  using qo::dsc::checkedGrowCapacity;
  EXPECT_EQ(checkedGrowCapacity(0, 1), 1u);
  EXPECT_EQ(checkedGrowCapacity(4, 5), 8u);
  EXPECT_EQ(checkedGrowCapacity(4, 20), 20u);
  EXPECT_EQ(checkedGrowCapacity(8, 5), 8u);
  // Doubling is kept below the limit instead of refusing a count that still fits.
  EXPECT_EQ(checkedGrowCapacity(0x80000000u, 0x80000001u), 0xFFFFFFFEu);
  EXPECT_EQ(checkedGrowCapacity(0xFFFFFFFDu, 0xFFFFFFFEu), 0xFFFFFFFEu);
}

TEST(SafeIntegerGrowth, RefusesACapacityReachingTheLimit) {
  try {
    qo::dsc::checkedGrowCapacity(0xFFFFFFFEu, 0xFFFFFFFFu);
    FAIL() << "no exception";
  } catch (const ex::OutOfRange& e) {
    EXPECT_EQ(e.line(), 125u);
    EXPECT_STREQ(e.file(), "qo/dsc/SafeInteger");
  }
  EXPECT_THROW(qo::dsc::checkedGrowCapacity(0, std::numeric_limits<std::size_t>::max()),
               ex::OutOfRange);
}

TEST(SafeIntegerGrowth, PushBackAppendsInOrder) {
  qo::dsc::WideStringVector names;
  for (int i = 0; i < 100; ++i) qo::dsc::checkedPushBack(names, std::to_wstring(i));
  ASSERT_EQ(names.size(), 100u);
  EXPECT_EQ(names.front(), L"0");
  EXPECT_EQ(names[57], L"57");
  EXPECT_EQ(names.back(), L"99");
}

}  // namespace
