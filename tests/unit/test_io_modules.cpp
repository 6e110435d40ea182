// I/O module identification: built-in rows, the one-time load of the module description files,
// and the INI reader under those files.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "source/Constants.h"
#include "source/tIniReader.h"

using namespace VorlixSysapiExpert;
namespace fs = std::filesystem;

namespace {

std::string gDataRoot;
std::string testDataRoot() { return gDataRoot; }

class IOModuleDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qo-iomodules-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    gDataRoot = root_;
    dir_ = root_ + "/qo-vorlix/iomodules";
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(root_); }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  static std::string famText(const std::string& section, const std::string& id,
                             const std::string& maker, const std::string& model) {
    return "[" + section + "]\nIOModuleID=" + id + "\nManufacturer=" + maker + "\nModel=" + model +
           "\n";
  }
  std::string root_, dir_;
};

}  // namespace

TEST_F(IOModuleDatabase, BuiltInRowsAnswerWithoutLoading) {
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_TRUE(catalog.getVendorName(kMakerVendorId, text));
  EXPECT_EQ(text, "Qorvath");
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0xAB310002, text));
  EXPECT_EQ(text, "DSL32T");
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x164476CF, text));
  EXPECT_EQ(text, "AT-1212");
  EXPECT_EQ(catalog.databaseLoads(), 0u);
}

TEST_F(IOModuleDatabase, FileRowsFoundAfterTheFirstMissAndScannedOnce) {
  write("tessaly.fam", famText("common", "0x3C5D0042", "Tessaly Instruments", "TX-420"));
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_TRUE(catalog.getModuleModel(0x7B14, 0x3C5D0042, text));
  EXPECT_EQ(text, "TX-420");
  EXPECT_TRUE(catalog.getVendorName(0x3C5D, text));
  EXPECT_EQ(text, "Tessaly Instruments");
  EXPECT_EQ(catalog.databaseLoads(), 1u);

  // A file added later is not seen: a second miss does not rescan.
  write("late.fam", famText("common", "0x3C5D0043", "Tessaly Instruments", "TX-430"));
  EXPECT_FALSE(catalog.getModuleModel(0x7B14, 0x3C5D0043, text));
  EXPECT_EQ(text, "QO PXIe-VX214");
  EXPECT_FALSE(catalog.getVendorName(0x3D00, text));
  EXPECT_EQ(text, "Qorvath");
  EXPECT_EQ(catalog.databaseLoads(), 1u);
}

TEST_F(IOModuleDatabase, OnlyLowerCaseFamFilesDirectlyInTheDirectory) {
  write("upper.FAM", famText("common", "0x3C5D0001", "Upper", "U-1"));
  write("noext", famText("common", "0x3C5D0002", "NoExt", "N-1"));
  fs::create_directories(dir_ + "/sub.fam");
  std::ofstream(dir_ + "/sub.fam/inner.fam") << famText("common", "0x3C5D0003", "Inner", "I-1");
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_FALSE(catalog.getModuleModel(0x7B10, 0x3C5D0001, text));
  EXPECT_FALSE(catalog.getModuleModel(0x7B10, 0x3C5D0002, text));
  EXPECT_FALSE(catalog.getModuleModel(0x7B10, 0x3C5D0003, text));
  EXPECT_EQ(text, "QO PXIe-VX210");
}

TEST_F(IOModuleDatabase, TwoSectionsAddTwoRowsCommonWinsOnTheSameModule) {
  write("two.fam", famText("common", "0x3C5D0010", "Common Maker", "C-10") +
                       famText("GENERAL", "0x4E1F0011", "General Maker", "G-11"));
  write("same.fam", famText("Common", "0x7A2B0020", "First", "F-20") +
                        famText("general", "0x7A2B0020", "Second", "S-20"));
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x3C5D0010, text));
  EXPECT_EQ(text, "C-10");
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x4E1F0011, text));
  EXPECT_EQ(text, "G-11");
  EXPECT_TRUE(catalog.getVendorName(0x4E1F, text));
  EXPECT_EQ(text, "General Maker");
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x7A2B0020, text));
  EXPECT_EQ(text, "F-20");
  EXPECT_TRUE(catalog.getVendorName(0x7A2B, text));
  EXPECT_EQ(text, "First");
}

TEST_F(IOModuleDatabase, BuiltInRowsWinOverFiles) {
  write("clash.fam", famText("common", "0xAB310002", "Somebody", "Other Model") +
                         famText("general", "0x5C710999", "Not The Maker", "QX"));
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x5C710999, text));  // triggers the load
  EXPECT_EQ(text, "QX");
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0xAB310002, text));
  EXPECT_EQ(text, "DSL32T");
  EXPECT_TRUE(catalog.getVendorName(kMakerVendorId, text));
  EXPECT_EQ(text, "Qorvath");
}

TEST_F(IOModuleDatabase, BrokenFilesAreSkippedAndTheRestLoads) {
  write("empty.fam", "");
  write("binary.fam", std::string("[common]\nIOModuleID=0x3C5D0030\0\x01\xff", 33) +
                          "\nManufacturer=B\nModel=B-1\n");
  write("short.fam", famText("common", "0", "Short", "S-1"));
  write("nonhex.fam", famText("common", "0x3C5DZZ31", "NonHex", "N-1"));
  write("long.fam", famText("common", "0x3C5D003200", "Long", "L-1"));
  write("missing.fam", "[common]\nIOModuleID=0x3C5D0033\nModel=M-1\n");
  write("noheader.fam", "[common\nIOModuleID=0x3C5D0034\nManufacturer=H\nModel=H-1\n");
  write("huge.fam", famText("common", "0x3C5D0035", "Huge", "H-2") +
                        std::string(tIniReader::kMaxFileSize, ';'));
  write("dupkeys.fam",
        "[common]\nIOModuleID=0x3C5D0036\nModel=D-1\nmodel=D-2\n"
        "Manufacturer=Dup\n[common]\nModel=D-3\n");
  write("good.fam", famText("common", "0x3C5D0037", "Good", "G-1"));
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x3C5D0037, text));
  EXPECT_EQ(text, "G-1");
  for (std::uint32_t id :
       {0x3C5D0030u, 0x3C5D0031u, 0x3C5D0032u, 0x3C5D0033u, 0x3C5D0034u, 0x3C5D0035u})
    EXPECT_FALSE(catalog.getModuleModel(0x7B10, id, text)) << std::hex << id;
  // Repeated keys and sections keep the first value.
  EXPECT_TRUE(catalog.getModuleModel(0x7B10, 0x3C5D0036, text));
  EXPECT_EQ(text, "D-1");
}

// The two characters before the digits are skipped unread: "0X" files are read like "0x" ones.
TEST_F(IOModuleDatabase, TheIdentifierPrefixIsSkippedNotChecked) {
  struct Row {
    const char* file;
    const char* id;
    std::uint32_t module;
    bool found;
  };
  const Row rows[] = {{"lower.fam", "0x3C5D0041", 0x3C5D0041, true},
                      {"upper.fam", "0X3C5D0042", 0x3C5D0042, true}};
  for (const Row& row : rows) write(row.file, famText("common", row.id, "Prefix Maker", "P-1"));
  tProductCatalog catalog(testDataRoot);
  std::string text;
  for (const Row& row : rows) {
    EXPECT_EQ(catalog.getModuleModel(0x7B10, row.module, text), row.found) << row.id;
  }
}

TEST_F(IOModuleDatabase, MissingDirectoryAddsNothingAndCountsAsLoaded) {
  fs::remove_all(root_ + "/qo-vorlix");
  tProductCatalog catalog(testDataRoot);
  std::string text;
  EXPECT_FALSE(catalog.getVendorName(0x3C5D, text));
  EXPECT_EQ(text, "Qorvath");
  EXPECT_FALSE(catalog.getModuleModel(0x7BFF, 0x3C5D0042, text));
  EXPECT_EQ(text, "Unknown");
  EXPECT_EQ(catalog.databaseLoads(), 1u);
}

TEST(IniReader, SectionsKeysCommentsAndCase) {
  tIniReader ini;
  ASSERT_TRUE(
      ini.parse("\xEF\xBB\xBF; leading comment\r\n[Common]\r\n  IOModuleID = 0x1 \r\n"
                "; Model=hidden\n[general]\nkey=a=b\nnot an entry\n=novalue\n"));
  EXPECT_EQ(ini.get("common", "iomoduleid").value_or("?"), "0x1");
  EXPECT_EQ(ini.get("GENERAL", "KEY").value_or("?"), "a=b");
  EXPECT_FALSE(ini.get("common", "Model").has_value());
  EXPECT_FALSE(ini.get("general", "").has_value());
  EXPECT_EQ(ini.size(), 2u);
}

TEST(IniReader, RefusesWhatIsNotText) {
  tIniReader ini;
  EXPECT_FALSE(ini.parse(std::string("[a]\nk=v\0w\n", 11)));
  EXPECT_FALSE(ini.parse("[a]\nk=\xC3\x28\n"));      // malformed UTF-8
  EXPECT_FALSE(ini.parse("[a]\nk=\xED\xA0\x80\n"));  // encoded surrogate
  EXPECT_FALSE(ini.parse("[a\nk=v\n"));              // unclosed section header
  EXPECT_EQ(ini.size(), 0u);
  EXPECT_TRUE(ini.parse(""));
  EXPECT_FALSE(ini.load("/nonexistent/qo-test.fam"));
  EXPECT_FALSE(ini.load("/tmp"));  // not a regular file
}
