// The I/O module database as a whole on one hostile description file: the input becomes
// <scratch>/qo-vorlix/iomodules/module.fam (the first byte picks the name: ".fam" is read, the
// other names never), a fresh catalog over that data root loads it at its first miss, and the
// lookups must agree with what the file says.
//
// Checks: the loader reads a file only when its name ends in ".fam"; it adds at most the two
// rows the file's "common" and "general" sections describe, each with an identifier of two
// characters (skipped) and one to eight hex digits (a section whose identifier reads otherwise
// drops the file); rows already present win; a lookup of a row from the file returns its text
// exactly.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzBytes.h"
#include "source/Constants.h"
#include "source/tIniReader.h"

namespace {

using qofuzz::check;
using VorlixSysapiExpert::tIniReader;
using VorlixSysapiExpert::tProductCatalog;

// A scratch data root made once per process and removed at its exit (a plain array: it must
// outlive every static destructor that runs before the exit handler).
const char* scratchRoot() {
  static char root[4096];
  static const bool made = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(root, sizeof root, "%s/qo-fuzz-modules-XXXXXX", tmp != nullptr ? tmp : "/tmp");
    check(::mkdtemp(root) != nullptr);
    check(std::system(("mkdir -p '" + std::string(root) + "/qo-vorlix/iomodules'").c_str()) == 0);
    std::atexit([] { (void)std::system(("rm -rf '" + std::string(root) + "'").c_str()); });
    return true;
  }();
  check(made);
  return root;
}

std::string dataRoot() { return scratchRoot(); }
std::string noDataRoot() { return "/nonexistent/qo-fuzz"; }

struct tRow {
  std::uint32_t module = 0;
  std::uint32_t vendor = 0;
  std::string manufacturer;
  std::string model;
};

// Two characters skipped, then 1..8 hex digits (either case), read independently of the loader.
std::optional<std::uint32_t> identifierOf(const std::string& text) {
  if (text.size() < 3 || text.size() > 10) return std::nullopt;
  for (std::size_t i = 2; i < text.size(); ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16));
}

// The rows the file contributes; nothing when it is dropped.
std::vector<tRow> expectedRows(const tIniReader& ini) {
  std::vector<tRow> rows;
  for (const char* section : {"common", "general"}) {
    const auto id = ini.get(section, "IOModuleID");
    const auto manufacturer = ini.get(section, "Manufacturer");
    const auto model = ini.get(section, "Model");
    if (!id || !manufacturer || !model) continue;
    const auto module = identifierOf(*id);
    const auto vendor = identifierOf(id->substr(0, 6));
    if (!module || !vendor) return {};
    rows.push_back({*module, *vendor, *manufacturer, *model});
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool readable = (data[0] & 1) == 0;
  const std::string directory = std::string(scratchRoot()) + "/qo-vorlix/iomodules/";
  const std::string path = directory + (readable ? "module.fam" : "module.fam.bak");
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    check(file.good());
  }

  static tProductCatalog builtin(&noDataRoot);  // its loads find nothing: built-in tables only
  static const std::size_t builtinModels = builtin.moduleModelCount();
  static const std::size_t builtinVendors = builtin.vendorCount();

  tProductCatalog catalog(&dataRoot);
  std::string text;
  (void)catalog.getVendorName(0xFFFFFFFFu, text);  // a miss: loads the database once
  check(catalog.databaseLoads() == 1);
  check(catalog.moduleModelCount() <= builtinModels + 2);
  check(catalog.vendorCount() <= builtinVendors + 2);

  tIniReader ini;
  const std::vector<tRow> rows =
      readable && ini.parse(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1))
          ? expectedRows(ini)
          : std::vector<tRow>();
  if (rows.empty()) {
    check(catalog.moduleModelCount() == builtinModels && catalog.vendorCount() == builtinVendors);
  }
  // A row of the file is found as written unless an earlier row (built-in or the file's own
  // first section) holds its key.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const tRow& row = rows[i];
    std::string model, before;
    const bool known = builtin.getModuleModel(0, row.module, before);
    const bool firstInFile = i == 0 || rows[0].module != row.module;
    check(catalog.getModuleModel(0, row.module, model));
    if (!known && firstInFile) check(model == row.model);
    if (known) check(model == before);
    std::string vendor, builtinVendor;
    const bool vendorKnown = builtin.getVendorName(row.vendor, builtinVendor);
    check(catalog.getVendorName(row.vendor, vendor));
    if (vendorKnown)
      check(vendor == builtinVendor);
    else if (i == 0 || rows[0].vendor != row.vendor)
      check(vendor == row.manufacturer);
  }
  std::remove(path.c_str());
  return 0;
}
