// The device item's pure mappings: FPGA classes of part names, dated values and the host's
// firmware states.
#include <gtest/gtest.h>

#include "source/tNextVorlixItem.h"

using namespace VorlixSysapiExpert;

// (Version texts, revision letters and link rates are checked against boards in the simulator.)
TEST(DeviceItemMappings, FpgaClasses) {
  const std::pair<const char*, std::uint32_t> parts[] = {
      {"KU15P", 4}, {"KU11P", 4},   {"KU035", 3}, {"KU15PX", 3}, {"VU11P", 5},
      {"VU9", 0},   {"XC7K325", 0}, {"", 0},      {"xKU15P", 0}, {"VU11PX", 0}};
  for (auto [part, cls] : parts) EXPECT_EQ(fpgaClassOf(part), cls) << part;
}

TEST(DeviceItemMappings, DatedValuesAndFirmwareStates) {
  EXPECT_EQ(timestampOf(kNeverSet).seconds, 0);
  EXPECT_EQ(timestampOf(3870000000u).seconds, 3870000000);
  EXPECT_EQ(timestampOf(3870000000u).fraction, 0u);
  const struct {
    bool busy;
    std::int32_t percent;
    bool second, failed;
    std::int32_t state;
  } rows[] = {{true, 0, false, false, -1},   {true, 40, true, false, -2},
              {false, 0, true, false, 5},    {false, 0, false, false, -1},
              {false, 100, false, false, 2}, {false, 30, false, false, 5},
              {false, 0, false, true, 5},    {true, 0, false, true, -1}};
  for (const auto& r : rows)
    EXPECT_EQ(firmwareStateOf(r.busy, r.percent, r.second, r.failed), r.state)
        << r.busy << r.percent << r.second << r.failed;
}
