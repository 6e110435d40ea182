// I/O module identification on the simulated machine: the relocation stand-in moves the data
// root to the machine's data folder, where the default chassis installs the description file of
// its other-vendor module.
#include <string>

#include <gtest/gtest.h>

#include "qosysq/stdpath/stdpath.h"
#include "source/Constants.h"

using namespace VorlixSysapiExpert;

TEST(IOModulesSim, OtherVendorModuleOfTheDefaultChassisIsNamedFromItsFile) {
  EXPECT_EQ(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::getDataRootDirectory(), "/dev/.qosim/data");
  tProductCatalog& catalog = getProductCatalog();
  std::string text;
  EXPECT_TRUE(catalog.isOtherVendorModule(0x7B14, 0x3C5D0042, 1));
  EXPECT_TRUE(catalog.getModuleModel(0x7B14, 0x3C5D0042, text));
  EXPECT_EQ(text, "TX-420");
  EXPECT_TRUE(catalog.getVendorName(0x3C5D, text));
  EXPECT_EQ(text, "Tessaly Instruments");
  // The maker's own module of qovorlix0 is the catalog's.
  EXPECT_FALSE(catalog.isOtherVendorModule(0x7B10, 0x5C710101, 1));
  EXPECT_TRUE(catalog.getModelText(0x7B10, 0x5C710101, 1, true, text));
  EXPECT_EQ(text, "QO PXIe-QM-110 (AC - KU035)");
  EXPECT_EQ(catalog.databaseLoads(), 1u);
}
