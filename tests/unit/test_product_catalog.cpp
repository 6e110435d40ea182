// The product catalog: its tables against the shape the family's data must have, the lookups,
// and the one-time creation record.
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qo/err/Exception.h"
#include "source/Constants.h"

using namespace VorlixSysapiExpert;

namespace {

struct tRow {
  std::uint32_t product;
  std::string prefix, model, part;
};
// clang-format off
const std::vector<tRow> kProducts = {
#define QO_PRODUCT(id, prefix, model, part) {id, prefix, model, part},
#include "source/catalog/ProductTable.def"
#undef QO_PRODUCT
};
// clang-format on
struct tModule {
  std::uint32_t module, revision;
  std::string model, variant;
};
// clang-format off
const std::vector<tModule> kModules = {
#define QO_MODULE(id, revision, model, variant) {id, revision, model, variant},
#include "source/catalog/ModuleTable.def"
#undef QO_MODULE
};
// clang-format on
struct tVendor {
  std::uint32_t vendor;
  std::string name;
};
// clang-format off
const std::vector<tVendor> kVendors = {
#define QO_VENDOR(id, name) {id, name},
#include "source/catalog/VendorNames.def"
#undef QO_VENDOR
};
// clang-format on

}  // namespace

TEST(ProductCatalogData, ProductRowsHaveTheFamilysShape) {
  ASSERT_EQ(kProducts.size(), 17u);
  std::map<std::string, int> prefixes, parts;
  std::set<std::uint32_t> ids;
  for (const auto& r : kProducts) {
    ++prefixes[r.prefix];
    ++parts[r.part];
    EXPECT_TRUE(ids.insert(r.product).second) << std::hex << r.product;
  }
  EXPECT_EQ(prefixes, (std::map<std::string, int>{{"PXIe-", 14}, {"PCIe-", 3}}));
  EXPECT_EQ(parts, (std::map<std::string, int>{{"KU025", 1},
                                               {"KU035", 4},
                                               {"KU040", 3},
                                               {"KU060", 5},
                                               {"KU11P", 1},
                                               {"KU15P", 2},
                                               {"VU11P", 1}}));
  // Every PCIe board repeats a PXIe model number with the same FPGA part.
  for (const auto& pcie : kProducts) {
    if (pcie.prefix != "PCIe-") continue;
    bool twin = false;
    for (const auto& pxie : kProducts)
      twin |= pxie.prefix == "PXIe-" && pxie.model == pcie.model && pxie.part == pcie.part;
    EXPECT_TRUE(twin) << pcie.model;
  }
}

TEST(ProductCatalogData, ModuleRowsHaveTheFamilysShape) {
  ASSERT_EQ(kModules.size(), 42u);
  std::set<std::uint32_t> ids, revisions;
  std::set<std::pair<std::uint32_t, std::uint32_t>> keys;
  std::set<std::string> variants;
  for (const auto& m : kModules) {
    ids.insert(m.module);
    revisions.insert(m.revision);
    variants.insert(m.variant);
    EXPECT_EQ(m.module >> 16, kMakerVendorId) << std::hex << m.module;
    EXPECT_TRUE(keys.insert({m.module, m.revision}).second) << std::hex << m.module;
  }
  EXPECT_EQ(ids.size(), 26u);
  EXPECT_EQ(revisions, (std::set<std::uint32_t>{1, 2, 3, 4, 5, 6, 8, 9, 19, 101, 102}));
  const std::set<std::string> expected = {"",
                                          "AC",
                                          "DC",
                                          "3 GHz",
                                          "1.6 GHz",
                                          "FLTR",
                                          "32 In/32 Out",
                                          "64 In",
                                          "64 Out",
                                          "8 In - 954 Deserializer",
                                          "8 Out - 953 Serializer",
                                          "4 In 4 Out - 953/954 SerDes",
                                          "8 In - 638 Deserializer",
                                          "8 Out - 635 Serializer",
                                          "4 In 4 Out - 635/638 SerDes",
                                          "8 In - 9702 Deserializer",
                                          "8 Out - 971 Serializer",
                                          "4 In 4 Out - 971/9702 SerDes",
                                          "8 In - 9296A Deserializer",
                                          "8 Out - 9295A Serializer",
                                          "4 In 4 Out - 9295A/9296A SerDes",
                                          "8 In - 96716A Deserializer",
                                          "8 Out - 96717 Serializer",
                                          "8 Out - 96717F Serializer",
                                          "4 In 4 Out - 96717/96716A SerDes",
                                          "4 In 4 Out - 96717F/96716A SerDes",
                                          "4 In - 96792A Deserializer",
                                          "4 Out - 96793 Serializer",
                                          "4 In 4 Out - 96792A/96793 SerDes",
                                          "2 In 2 Out - 96793/96792A SerDes"};
  EXPECT_EQ(variants, expected);
}

TEST(ProductCatalogData, VendorRowsStartWithTheMakerAndAreDistinct) {
  ASSERT_EQ(kVendors.size(), 94u);
  EXPECT_EQ(kVendors[0].vendor, kMakerVendorId);
  EXPECT_EQ(kVendors[0].name, "Qorvath");
  std::set<std::uint32_t> ids;
  std::set<std::string> names;
  for (const auto& v : kVendors) {
    EXPECT_LE(v.vendor, 0xFFFFu);
    EXPECT_TRUE(ids.insert(v.vendor).second) << std::hex << v.vendor;
    EXPECT_TRUE(names.insert(v.name).second) << v.name;
  }
}

TEST(ProductCatalog, IsBuiltOnceWithEveryTable) {
  tProductCatalog& a = getProductCatalog();
  tProductCatalog& b = getProductCatalog();
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(a.productCount(), 17u);
  EXPECT_EQ(a.moduleCount(), 42u);
  EXPECT_GE(a.moduleModelCount(), 5u);
  EXPECT_GE(a.vendorCount(), 94u);
}

TEST(ProductCatalog, ProductNamesAndParts) {
  tProductCatalog catalog;
  std::string name, part = "untouched";
  EXPECT_TRUE(catalog.getProductName(0x7B10, name, part));
  EXPECT_EQ(name, "PXIe-VX210");
  EXPECT_EQ(part, "KU035");
  EXPECT_TRUE(catalog.getProductName(0x7B80, name, part));
  EXPECT_EQ(name, "PCIe-VX210");

  part = "untouched";
  EXPECT_FALSE(catalog.getProductName(0x7BFF, name, part));
  EXPECT_EQ(name, "Unknown");
  EXPECT_EQ(part, "untouched");
}

TEST(ProductCatalog, ModelTextForms) {
  const struct {
    const char* form;
    std::uint32_t product, module, revision;
    bool longForm;
    bool found;
    const char* text;
    // clang-format off
  } cases[] = {
      {"no catalogued module: the board's own model number", 0x7B10, 0, 0, true, true,
       "QO PXIe-VX210"},
      {"module with a variant, long form", 0x7B10, 0x5C710101, 1, true, true,
       "QO PXIe-QM-110 (AC - KU035)"},
      {"module with a variant, short form without the flag", 0x7B10, 0x5C710101, 1, false, true,
       "QO PXIe-QM-110 (KU035)"},
      {"another revision's variant", 0x7B13, 0x5C710101, 2, true, true,
       "QO PXIe-QM-110 (DC - KU060)"},
      {"empty variant: the short form even with the flag", 0x7B80, 0x5C710103, 2, true, true,
       "QO PCIe-QM-130 (KU035)"},
      {"revision miss: the board's model number", 0x7B12, 0x5C710101, 3, true, true,
       "QO PXIe-VX212"},
      {"unknown product", 0x7BFF, 0x5C710101, 1, true, false, "Unknown"},
  };
  // clang-format on
  tProductCatalog catalog;
  std::string text;
  for (const auto& c : cases) {
    EXPECT_EQ(catalog.getModelText(c.product, c.module, c.revision, c.longForm, text), c.found)
        << c.form;
    EXPECT_EQ(text, c.text) << c.form;
  }
}

TEST(ProductCatalog, OtherVendorModuleTest) {
  tProductCatalog catalog;
  EXPECT_FALSE(catalog.isOtherVendorModule(0x7B10, 0x5C710101, 1));  // catalogued
  EXPECT_TRUE(catalog.isOtherVendorModule(0x7B10, 0x5C710101, 3));   // revision miss
  EXPECT_TRUE(catalog.isOtherVendorModule(0x7B14, 0x3C5D0042, 1));   // other vendor
  EXPECT_FALSE(catalog.isOtherVendorModule(0x7BFF, 0x3C5D0042, 1));  // unknown product
  auto variant = catalog.findModuleVariant(0x5C710102, 102);
  ASSERT_TRUE(variant.has_value());
  EXPECT_EQ(variant->variant, "1.6 GHz");
  EXPECT_FALSE(catalog.findModuleVariant(0x5C710102, 103).has_value());
}

namespace {
struct tCreations {
  std::atomic<int> calls{0};
  int failFirst = 0;        // creations that report an error
  bool throwFirst = false;  // the first creation throws
};
void countingCreate(void* context, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status) {
  auto* c = static_cast<tCreations*>(context);
  int n = ++c->calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (c->throwFirst && n == 1) throw std::runtime_error("first creation throws");
  if (n <= c->failFirst) status->setCode(-52000, "qovorlixa", "test", 1);
}
}  // namespace

TEST(ProductCatalogOnce, ConcurrentCallersCreateOnce) {
  detail::tOnceRecord record;
  tCreations creations;
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&] { detail::runOnce(record, countingCreate, &creations); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(creations.calls.load(), 1);
  EXPECT_EQ(record.done.load(), 1);
  EXPECT_EQ(record.busy.load(), 0);
}

TEST(ProductCatalogOnce, FailedCreationIsThrownAndTriedAgain) {
  detail::tOnceRecord record;
  tCreations creations;
  creations.failFirst = 1;
  try {
    detail::runOnce(record, countingCreate, &creations);
    FAIL() << "expected a qoerr::Exception";
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52000);
  }
  EXPECT_EQ(record.done.load(), 0);
  EXPECT_EQ(record.busy.load(), 0);
  detail::runOnce(record, countingCreate, &creations);
  EXPECT_EQ(creations.calls.load(), 2);
  EXPECT_EQ(record.done.load(), 1);
}

TEST(ProductCatalogOnce, ThrowingCreationClearsBusy) {
  detail::tOnceRecord record;
  tCreations creations;
  creations.throwFirst = true;
  EXPECT_THROW(detail::runOnce(record, countingCreate, &creations), std::runtime_error);
  EXPECT_EQ(record.busy.load(), 0);
  EXPECT_EQ(record.done.load(), 0);
  detail::runOnce(record, countingCreate, &creations);
  EXPECT_EQ(record.done.load(), 1);
}
