// The product catalog: turns the numbers that identify a board (product identifier, I/O module
// identifier and revision, module vendor) into the texts the configuration host shows. One
// process-wide object, built on first use from the tables in source/catalog/*.def and
// afterwards only read, except that the two I/O module tables grow once when the module
// description files installed on the machine are loaded (source/IOModules.cpp).
//
// Locks: `tableLock` guards every search and insertion in the four maps and is held only for
// that; `databaseLock` is held while the module description files are loaded (the load takes
// `tableLock` per insertion). Order: databaseLock before tableLock, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <boost/thread/mutex.hpp>

#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"

namespace VorlixSysapiExpert {

// The board maker's own 16-bit PCI vendor identifier.
inline constexpr std::uint32_t kMakerVendorId = qodrv::vorlixtarrow::kMakerVendorId;
// The manufacturer text of the board maker.
inline constexpr char kMakerName[] = "Qorvath";
// What a product the catalog does not know is called.
inline constexpr char kUnknownProduct[] = "Unknown";

struct tProductEntry {
  std::string busPrefix;
  std::string modelNumber;
  std::string fpgaPart;
};

struct tModuleVariantEntry {
  std::string modelNumber;
  std::string variant;
};

class tProductCatalog {
 public:
  // `dataRoot` answers the data root directory under which the module description files live
  // (the standard directory table's by default; tests give their own).
  using tDataRootFunction = std::string (*)();
  explicit tProductCatalog(tDataRootFunction dataRoot = nullptr);
  tProductCatalog(const tProductCatalog&) = delete;
  tProductCatalog& operator=(const tProductCatalog&) = delete;

  std::optional<tProductEntry> findProduct(std::uint32_t product) const;
  std::optional<tModuleVariantEntry> findModuleVariant(std::uint32_t module,
                                                       std::uint32_t revision) const;

  // name = bus prefix + model number and fpgaPart = the product's part when known (true);
  // name = "Unknown", fpgaPart untouched otherwise (false).
  bool getProductName(std::uint32_t product, std::string& name, std::string& fpgaPart) const;
  // True when the product is known with an FPGA part and {module, revision} is not one of the
  // maker's catalogued modules.
  bool isOtherVendorModule(std::uint32_t product, std::uint32_t module,
                           std::uint32_t revision) const;
  // "QO " + bus prefix + body, body being the board's model number, or the catalogued module's
  // model number with "(variant - part)" / "(part)". "Unknown" and false for an unknown product.
  bool getModelText(std::uint32_t product, std::uint32_t module, std::uint32_t revision,
                    bool withVariant, std::string& text) const;

  // Other vendors' modules (source/IOModules.cpp). The first miss loads the module description
  // files once per process.
  bool getVendorName(std::uint32_t vendor, std::string& name);
  bool getModuleModel(std::uint32_t product, std::uint32_t module, std::string& model);

  // Table sizes and loads, for tests and diagnostics.
  std::size_t productCount() const;
  std::size_t moduleCount() const;
  std::size_t moduleModelCount() const;
  std::size_t vendorCount() const;
  unsigned databaseLoads() const;

 private:
  template <typename Map, typename Key>
  std::optional<typename Map::mapped_type> find(const Map& map, const Key& key) const {
    boost::unique_lock<boost::mutex> lock(tableLock_);
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
  }
  void loadModuleDatabase();
  void ensureDatabaseLoaded();
  bool insertModuleModel(std::uint32_t module, const std::string& model);
  bool insertVendorName(std::uint32_t vendor, const std::string& name);

  tDataRootFunction dataRoot_;
  std::map<std::uint32_t, tProductEntry> productTable_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, tModuleVariantEntry> moduleTable_;
  std::map<std::uint32_t, std::string> moduleModels_;
  std::map<std::uint32_t, std::string> vendorNames_;
  mutable boost::mutex tableLock_;
  mutable boost::mutex databaseLock_;
  unsigned databaseLoaded_ = 0;  // guarded by databaseLock_
};

// The catalog, created on the first call (a thread that finds another one creating it waits in
// 10 ms steps). A failed creation throws and is tried again by the next call.
tProductCatalog& getProductCatalog();

namespace detail {
// The once-record behind getProductCatalog, exposed so that its waiting and retry rules can be
// tested with a creation function of the test's choosing.
struct tOnceRecord {
  std::atomic<int> done{0};
  std::atomic<int> busy{0};
};
// Runs `create` exactly once across threads (status-reporting creation: a negative code leaves
// the record not done and is thrown as qoerr::Exception; an exception leaves it not done too).
void runOnce(tOnceRecord& record,
             void (*create)(void* context, nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status),
             void* context);
}  // namespace detail

}  // namespace VorlixSysapiExpert
