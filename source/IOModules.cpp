// I/O module identification: the catalog's two tables of other vendors' modules, and their
// one-time extension from the module description files in <data root>/qo-vorlix/iomodules.
//
// A description file is an INI text (tIniReader) whose "common" and "general" sections, in this
// order, each contribute one module row and one vendor row when they hold "IOModuleID",
// "Manufacturer" and "Model". "IOModuleID" is "0x" followed by one to eight hexadecimal digits;
// the module is that number, the vendor the number formed by its first four digits. A file whose
// identifier does not read that way is skipped whole. Only regular files whose name ends in
// ".fam" (exactly; subdirectories are not searched) are read. Rows already present win.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "qosysq/stdpath/stdpath.h"
#include "source/Constants.h"
#include "source/tIniReader.h"

namespace VorlixSysapiExpert {

namespace {

constexpr char kModuleDirectory[] = "/qo-vorlix/iomodules";

bool parseHexDigits(std::string_view digits, std::uint32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : digits) {
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    v = (v << 4) | d;
  }
  value = v;
  return true;
}

struct tModuleRow {
  std::uint32_t module = 0;
  std::uint32_t vendor = 0;
  std::string manufacturer;
  std::string model;
};

// The rows a file contributes, in section order; false when the file is to be skipped.
bool rowsOf(const tIniReader& ini, std::vector<tModuleRow>& rows) {
  for (const char* section : {"common", "general"}) {
    auto id = ini.get(section, "IOModuleID");
    auto manufacturer = ini.get(section, "Manufacturer");
    auto model = ini.get(section, "Model");
    if (!id || !manufacturer || !model) continue;
    // The two characters before the digits are skipped, not checked: files in the field write
    // "0x" and "0X" alike.
    if (id->size() < 2) return false;
    std::string_view digits = std::string_view(*id).substr(2);
    tModuleRow row;
    if (!parseHexDigits(digits, row.module) || !parseHexDigits(digits.substr(0, 4), row.vendor))
      return false;
    row.manufacturer = *manufacturer;
    row.model = *model;
    rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace

bool tProductCatalog::insertModuleModel(std::uint32_t module, const std::string& model) {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return moduleModels_.emplace(module, model).second;
}

bool tProductCatalog::insertVendorName(std::uint32_t vendor, const std::string& name) {
  boost::unique_lock<boost::mutex> lock(tableLock_);
  return vendorNames_.emplace(vendor, name).second;
}

void tProductCatalog::loadModuleDatabase() {
  namespace fs = std::filesystem;
  const fs::path directory = fs::path(dataRoot_() + kModuleDirectory);
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  if (ec) return;  // no database on this machine
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& entry = *it;
    std::error_code typeError;
    if (!entry.is_regular_file(typeError) || typeError) continue;
    if (entry.path().extension().native() != ".fam") continue;
    tIniReader ini;
    if (!ini.load(entry.path().native())) continue;
    std::vector<tModuleRow> rows;
    if (!rowsOf(ini, rows)) continue;
    for (const tModuleRow& row : rows) {
      insertModuleModel(row.module, row.model);
      insertVendorName(row.vendor, row.manufacturer);
    }
  }
}

void tProductCatalog::ensureDatabaseLoaded() {
  boost::unique_lock<boost::mutex> lock(databaseLock_);
  if (databaseLoaded_ == 0) {
    // Counted even when the load added nothing, so the directory is scanned once per process;
    // a load that throws (no data root) is not counted and is tried again by the next miss.
    loadModuleDatabase();
    ++databaseLoaded_;
  }
}

unsigned tProductCatalog::databaseLoads() const {
  boost::unique_lock<boost::mutex> lock(databaseLock_);
  return databaseLoaded_;
}

bool tProductCatalog::getVendorName(std::uint32_t vendor, std::string& name) {
  auto found = find(vendorNames_, vendor);
  if (!found) {
    ensureDatabaseLoaded();
    found = find(vendorNames_, vendor);
  }
  if (!found) {
    name = kMakerName;
    return false;
  }
  name = *found;
  return true;
}

bool tProductCatalog::getModuleModel(std::uint32_t product, std::uint32_t module,
                                     std::string& model) {
  auto found = find(moduleModels_, module);
  if (!found) {
    ensureDatabaseLoaded();
    found = find(moduleModels_, module);
  }
  if (found) {
    model = *found;
    return true;
  }
  getModelText(product, module, 0, true, model);
  return false;
}

}  // namespace VorlixSysapiExpert
